# bash completion for tyvo-sim                             -*- shell-script -*-
# Self-contained: works with or without the bash-completion package.

# The scenarios, from the program's own --help (the list grows with the
# emulation); the built-in names when it cannot be asked.
_tyvo_sim_scenarios() {
    local program=$1 listed
    listed=$("$program" --help 2>/dev/null | sed -n '/^Scenarios:/,/^$/s/^  \([a-z0-9-]\{1,\}\) .*/\1/p')
    if [[ -n $listed ]]; then
        printf '%s\n' "$listed"
    else
        printf '%s\n' restore stage1-failure stage2-failure stage2-unplug fault programmer-lost verify-rewrite \
            verify-stuck verify-unsupported controller controller-update embedded devices
    fi
}

_tyvo_sim() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i
    COMPREPLY=()
    # After "--" come the program and its arguments.
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == "--" ]]; then
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
        fi
    done
    local option=$prev pre=
    if [[ $cur == "=" ]]; then
        cur=
    elif [[ $prev == "=" ]]; then
        option=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        option=${cur%%=*} pre=${cur%%=*}= cur=${cur#*=}
    fi
    case $option in
        --scenario)
            local name
            for name in $(_tyvo_sim_scenarios "${COMP_WORDS[0]}"); do
                [[ $name == "$cur"* ]] && COMPREPLY+=("$pre$name")
            done
            return 0
            ;;
        --devices)
            # A comma-separated list: complete the item after the last comma.
            local done=${cur%"${cur##*,}"} item
            for item in boot-loader boot-programmer controller embedded; do
                [[ $item == "${cur##*,}"* ]] && COMPREPLY+=("$pre$done$item")
            done
            return 0
            ;;
        --fault) return 0 ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "--scenario --fault --timing --slow-flash --devices --verbose -h --help --" -- "$cur")
    return 0
}
complete -F _tyvo_sim tyvo-sim
