# The checks of make test-kernel, sourced by the guest's init. Each check_X
# runs in a subshell of its own with its work folder in $W, drives the
# release build of the tool as a user would (Enter presses on its standard
# input, the controller plugged in and out by signals to the device
# program), and returns non-zero with the reason on its output when
# something does not hold.

TOOL=$BUILD/app/tyvo-reset
GADGET=$BUILD/sim/gadget/tyvo-fx3-gadget
# The tool finds its firmware files beside itself; the plain controller
# image the flash is compared against lies there too.
FIRMWARE=$BUILD/app
EXPECTED=$TREE/tests/kernel/expected
USER_NAME=tyvo-user

check_limit() {
  case $1 in
    user-without-rule) echo 60 ;;
    *) echo 150 ;;
  esac
}

note() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
fail() {
  echo "FAILED: $*"
  for f in stdout stderr gadget.out gadget.err; do
    [ -s "$W/$f" ] && { echo "--- $f"; cat "$W/$f"; }
  done
  return 1
}

# await FILE TEXT [COUNT [SECONDS]]: until FILE has COUNT lines holding TEXT.
await() {
  _file=$1 _text=$2 _count=${3:-1} _limit=${4:-60}
  _end=$(( $(date +%s) + _limit ))
  while :; do
    _seen=$(grep -cF -- "$_text" "$_file" 2>/dev/null)
    [ "${_seen:-0}" -ge "$_count" ] && return 0
    [ "$(date +%s)" -ge "$_end" ] && { echo "no \"$_text\" (x$_count) in $(basename "$_file") after $_limit s"; return 1; }
    sleep 0.1
  done
}

# The device program, ready and off the bus; extra arguments are its own.
start_gadget() {
  "$GADGET" --image "$FIRMWARE/app1.img" --flash-out "$W/flash.bin" --verbose "$@" \
    >"$W/gadget.out" 2>"$W/gadget.err" &
  GADGET_PID=$!
  echo "$GADGET_PID" >>"$W/pids"
  await "$W/gadget.out" ready 1 10
}

plug_in() { note "plug in"; kill -USR1 "$GADGET_PID"; }

stop_gadget() {
  kill -TERM "$GADGET_PID" 2>/dev/null
  wait "$GADGET_PID"
}

# start_tool [USER]: the tool with its standard input on a FIFO held open
# on descriptor 3, run by root or by USER. (The FIFO lives in /tmp: the
# results folder is shared over 9p, which has no FIFOs.)
start_tool() {
  fifo=/tmp/$(basename "$W")-stdin
  rm -f "$fifo"
  mkfifo "$fifo"
  if [ -n "${1:-}" ]; then
    mkdir -p "/tmp/home-$1" && chown "$1" "/tmp/home-$1"
    setpriv --reuid="$1" --regid="$1" --init-groups env HOME="/tmp/home-$1" "$TOOL" \
      <"$fifo" >"$W/stdout" 2>"$W/stderr" &
  else
    HOME=/tmp/home-root ${TOOL_WRAP:-} "$TOOL" <"$fifo" >"$W/stdout" 2>"$W/stderr" &
  fi
  TOOL_PID=$!
  echo "$TOOL_PID" >>"$W/pids"
  exec 3>"$fifo"
}

press_enter() { note "Enter"; echo >&3; }

# Through the box to the plug-in request, then the controller goes in.
dialogue_to_plug_in() {
  await "$W/stdout" "Press Enter to continue." 1 20 || return 1
  press_enter
  await "$W/stdout" "Please plug in your Tyvo Controller." 1 20 || return 1
  sleep 0.5
  plug_in
}

# The closing prompt answered, and the tool gone within the time.
quit_tool() {
  await "$W/stdout" "Resume Tracking" 1 "${1:-90}" || return 1
  press_enter
  for _ in $(seq 100); do
    kill -0 "$TOOL_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$TOOL_PID" 2>/dev/null && { echo "the tool did not end after Enter"; return 1; }
  wait "$TOOL_PID"
  _status=$?
  [ $_status -eq 0 ] || { echo "the tool ended with status $_status"; return 1; }
}

# The user's lines, without the log server's time-stamped ones (their place
# among the user's depends on the log thread; see logging/LogLineFormat.h).
compare_transcript() {
  grep -Ev '^\[[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] ' "$W/stdout" >"$W/transcript.txt"
  diff -u "$EXPECTED/$1" "$W/transcript.txt" || { echo "the console dialogue differs from $1"; return 1; }
}

compare_flash() {
  "$GADGET" --compare "$W/flash.bin" --image "$FIRMWARE/app1.img"
}

# A failed attempt: the failure line, then out and in again after a pause,
# as tyvo-sim's restore scenarios do, and the whole restore.
restore_after_failure() {
  await "$W/stdout" " when restoring firmware (" 1 90 || return 1
  sleep 0.3
  plug_in
  quit_tool || return 1
}

check_restore() {
  start_gadget || return 1
  start_tool
  dialogue_to_plug_in || { fail "dialogue"; return 1; }
  plugged=$(date +%s%N)
  await "$W/stdout" "Firmware update succeeded." 1 90 || { fail "restore"; return 1; }
  succeeded=$(date +%s%N)
  quit_tool || { fail "quit"; return 1; }
  stop_gadget
  compare_transcript restore.txt || { fail "transcript"; return 1; }
  compare_flash || { fail "flash"; return 1; }
  {
    echo "tool: plug-in to \"Firmware update succeeded.\" $(( (succeeded - plugged) / 1000000 )) ms"
    grep "restore through the kernel" "$W/gadget.out"
  } >"$W/timing.txt"
  cat "$W/timing.txt"
}

# A fault on the first plug-in, then a replug and the whole restore.
restore_with_fault() {
  expected=$1
  shift
  start_gadget "$@" || return 1
  start_tool
  dialogue_to_plug_in || { fail "dialogue"; return 1; }
  restore_after_failure || { fail "restore after the failure"; return 1; }
  stop_gadget
  compare_transcript "$expected" || { fail "transcript"; return 1; }
  compare_flash || { fail "flash"; return 1; }
}

# Pulled out while answering a read-back of the boot loader: the request is
# in flight when the device goes.
check_unplug_stage1() {
  restore_with_fault failure-stage1.txt --fault 1:unplug:2@A0 --fault-direction in
}

# Pulled out right after a flash write of the boot programmer: the kernel
# has acknowledged that write, so the tool meets the unplug on its next
# request.
check_unplug_stage2() {
  restore_with_fault failure-stage2.txt --fault 2:unplug:75@C2 --fault-direction out
}

# The boot loader stalls a read-back of the last pass (the tool reads each
# block back several times and only the last pass counts).
check_stall_stage1() {
  restore_with_fault failure-stage1.txt --fault 1:stall:3@A0 --fault-direction in
}

add_user() {
  id "$USER_NAME" >/dev/null 2>&1 || useradd --no-create-home --groups plugdev "$USER_NAME"
}

# An ordinary user of the plugdev group, before the project's udev rule is
# installed: the device node is root's, the stage cannot open it, and
# standard error says how to fix that.
check_user_without_rule() {
  add_user
  rm -f /etc/udev/rules.d/70-tyvo-reset.rules
  udevadm control --reload-rules
  start_gadget || return 1
  start_tool "$USER_NAME"
  dialogue_to_plug_in || { fail "dialogue"; return 1; }
  await "$W/stderr" "permission denied opening the controller" 1 30 || { fail "no permission hint"; return 1; }
  await "$W/stdout" "..." 1 10 || { fail "no \"...\" line"; return 1; }
  grep -F "sudo cp " "$W/stderr" | grep -q "70-tyvo-reset.rules" || { fail "the hint names no rule to install"; return 1; }
  ls -l /dev/bus/usb/*/* | tail -n 2
  kill "$TOOL_PID"
  stop_gadget
  cat "$W/stderr"
}

# The same user with the rule installed: the whole restore.
check_user_with_rule() {
  add_user
  cp "$TREE/packaging/udev/70-tyvo-reset.rules" /etc/udev/rules.d/
  udevadm control --reload-rules
  start_gadget || return 1
  start_tool "$USER_NAME"
  dialogue_to_plug_in || { fail "dialogue"; return 1; }
  quit_tool || { fail "restore as $USER_NAME"; return 1; }
  ls -l /dev/bus/usb/*/* | tail -n 2
  stop_gadget
  compare_transcript restore.txt || { fail "transcript"; return 1; }
  compare_flash || { fail "flash"; return 1; }
}

# Whatever a check left running (it may have been stopped by its limit):
# the processes it started, by the ids it noted.
cleanup_after_check() {
  [ -f "$W/pids" ] || return 0
  for pid in $(cat "$W/pids"); do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in $(cat "$W/pids"); do kill -KILL "$pid" 2>/dev/null; done
  return 0
}

UVC_GADGET=$BUILD/sim/gadget/tyvo-uvc-gadget

# A controller in normal operation, as a camera on gadgetfs: uvcvideo makes
# a video node of it, and the tool identifies, authenticates and sets it up
# and takes its frames through V4L2. The tool never ends by itself here; it
# is ended once the camera has streamed 50 frames.
check_controller() {
  modprobe gadgetfs || { fail "cannot load gadgetfs"; return 1; }
  mkdir -p /dev/gadget
  mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget || { fail "cannot mount gadgetfs"; return 1; }
  # gadgetfs lets the host go on as soon as a control write's data is in,
  # and drops that write when the host's next request comes before the
  # camera program has read it. On one processor, with the camera program
  # at real-time priority, the program always runs first.
  TOOL_WRAP="taskset -c 0"
  start_tool
  await "$W/stdout" "Press Enter to continue." 1 20 || { fail "dialogue"; return 1; }
  press_enter
  await "$W/stdout" "Please plug in your Tyvo Controller." 1 20 || { fail "dialogue"; return 1; }
  sleep 0.5
  note "plug in the camera"
  taskset -c 0 "$UVC_GADGET" --verbose >"$W/gadget.out" 2>"$W/gadget.err" &
  GADGET_PID=$!
  echo "$GADGET_PID" >>"$W/pids"
  await "$W/gadget.out" "frames 50" 1 120 || { fail "fewer than 50 frames streamed"; return 1; }
  await "$W/stdout" "Firmware is up to date." 1 20 || { fail "no firmware verdict"; return 1; }
  ls -l /dev/video* 2>&1
  kill "$TOOL_PID"
  wait "$TOOL_PID"
  stop_gadget
  cat "$W/gadget.out"
  grep -q "authenticated: yes" "$W/gadget.out" || { fail "the tool did not authenticate the controller"; return 1; }
  # A failed authentication or calibration read is logged as critical.
  if grep -F "[Critical]" "$W/stdout"; then fail "the tool logged a critical failure"; return 1; fi
  compare_transcript controller.txt || { fail "transcript"; return 1; }
}
