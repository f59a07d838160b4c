#!/bin/sh
# PID 1 of the guest of make test-kernel, once the root is the host's (read
# only, under a tmpfs overlay). Brings up what the checks need of a Linux
# machine (loopback, configfs, the gadget modules, udev), runs the checks
# named on the kernel command line one by one, each with its own time limit,
# and powers off. Everything the host reads back goes to /results.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
R=/results
exec >"$R/guest.log" 2>&1

arg() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
TREE=$(arg tyvo.tree)
BUILD=$(arg tyvo.build)
CHECKS=$(arg tyvo.checks | tr , ' ')
export TREE BUILD R
# The devices are programs on this machine behind dummy_hcd: the tool may load
# the build's synthetic firmware images into them (it checks that the module
# is loaded).
export TYVO_EMULATED_BUS=dummy_hcd

ts() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
finish() {
  ts "guest done"
  dmesg >"$R/dmesg.txt"
  sync
  /bin/busybox poweroff -f
}

ts "guest up, kernel $(uname -r)"
mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
# The tool's log server and service links listen on the loopback address.
ip link set lo up 2>/dev/null || busybox ip link set lo up
hostname tyvo-guest

for m in dummy_hcd libcomposite usb_f_fs; do
  modprobe "$m" || { ts "cannot load $m"; echo "setup fail" >"$R/setup.status"; finish; }
done
mount -t configfs none /sys/kernel/config
# libusb's hot-plug follows udev's events: without udevd running, a device
# that re-enumerates is never seen to come back. No trigger of what is
# already there: it would load drivers for every emulated PCI device, and
# the checks only need the USB devices that come later.
/lib/systemd/systemd-udevd --daemon
udevadm settle -t 30
ts "udc: $(ls /sys/class/udc)"
echo "setup pass" >"$R/setup.status"

. "$TREE/tests/kernel/checks.sh"

for name in $CHECKS; do
  W=$R/$name
  mkdir -p "$W"
  ts "check $name: start"
  # Each check in a subshell of its own, bounded; what it left running goes
  # with it.
  ( "check_$(echo "$name" | tr - _)" ) >"$W/check.log" 2>&1 &
  pid=$!
  limit=$(check_limit "$name")
  ( sleep "$limit" && kill -TERM $pid 2>/dev/null && echo "time limit of $limit s reached" >"$W/timeout" ) &
  watchdog=$!
  wait $pid
  status=$?
  kill $watchdog 2>/dev/null
  cleanup_after_check
  if [ -f "$W/timeout" ]; then
    echo "fail" >"$W/status"
  elif [ $status -eq 0 ]; then
    echo "pass" >"$W/status"
  else
    echo "fail" >"$W/status"
  fi
  ts "check $name: $(cat "$W/status")"
done
finish
