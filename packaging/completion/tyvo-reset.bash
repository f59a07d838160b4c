# bash completion for tyvo-reset                           -*- shell-script -*-
# Self-contained: works with or without the bash-completion package.

# _tyvo_split: sets _tyvo_opt (the option a value is being completed for, or
# empty), _tyvo_cur (the word, or the part after "=") and _tyvo_pre (what to
# put before each candidate when "=" is not a word break).
_tyvo_split() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    _tyvo_opt= _tyvo_cur=$cur _tyvo_pre= _tyvo_eq=
    if [[ $cur == "=" ]]; then
        _tyvo_opt=$prev _tyvo_cur= _tyvo_eq=1
    elif [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
        _tyvo_opt=${COMP_WORDS[COMP_CWORD - 2]} _tyvo_eq=1
    elif [[ $cur == --*=* ]]; then
        _tyvo_opt=${cur%%=*} _tyvo_cur=${cur#*=} _tyvo_pre=${cur%%=*}= _tyvo_eq=1
    else
        _tyvo_opt=$prev
    fi
}

# _tyvo_reply WORDS...: the candidates among WORDS that begin with _tyvo_cur.
_tyvo_reply() {
    local word
    COMPREPLY=()
    for word in "$@"; do
        [[ $word == "$_tyvo_cur"* ]] && COMPREPLY+=("$_tyvo_pre$word")
    done
    return 0
}

_tyvo_reset() {
    local options="-h --help --version --config --simulate --simulate= --firmware-dir -l --list --json
                   -y --yes --wait --verify --progress -q --quiet"
    # The scenarios tyvo-reset --simulate passes on to tyvo-sim.
    local scenarios="restore stage1-failure stage2-failure stage2-unplug programmer-lost verify-rewrite verify-stuck
        verify-unsupported devices controller controller-update embedded"
    _tyvo_split
    case $_tyvo_opt in
        --simulate)
            # An optional value: only --simulate=SCENARIO takes one.
            if [[ -n $_tyvo_eq ]]; then
                _tyvo_reply $scenarios
                return
            fi
            ;;
        --firmware-dir)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$_tyvo_cur")
            return
            ;;
        --config)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$_tyvo_cur")
            return
            ;;
        --progress)
            _tyvo_reply auto plain none
            return
            ;;
        --wait)
            COMPREPLY=()
            return
            ;;
    esac
    _tyvo_reply $options
    # "--simulate=" waits for its value.
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
    return 0
}
complete -F _tyvo_reset tyvo-reset
