#!/bin/sh
# Runs inside the guest (busybox sh): readersim on uhid, readerctl on the
# kernel's hidraw driver. Prints one "guest: ok" or "guest: FAIL" line per
# check; the exit status is the number of failed checks (0 = all passed).
DATA=/opt/readertool/data
SCRIPT=$DATA/short_rs232.txt
VID=0000F3A5
PID=00000A02
failed=0
SIM=
mode=

ok() { echo "guest: ok   $*"; }
bad() {
  echo "guest: FAIL $*"
  failed=$((failed + 1))
}

# The hidraw node of the simulated reader, found the way the tool finds it:
# by HID_ID (bus 0003 = USB) in sysfs. Empty when there is none.
hidraw_node() {
  for u in /sys/class/hidraw/hidraw*/device/uevent; do
    [ -f "$u" ] || continue
    if grep -q "^HID_ID=0003:$VID:$PID\$" "$u"; then
      n=${u#/sys/class/hidraw/}
      echo "/dev/${n%%/*}"
      return
    fi
  done
}

# Waits up to $2 tenths of a second until the command $1 succeeds: the hidraw
# node appears and goes asynchronously after uhid creates or destroys the
# device, and busybox has nothing to wait on for it.
wait_for() {
  i=0
  while [ $i -lt "$2" ]; do
    eval "$1" && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# Starts readersim on uhid in mode $1 with the options after it.
start_sim() {
  mode=$1
  shift
  readersim --hid "$mode" --uhid --restart-ms 500 "$@" >/tmp/sim.out 2>&1 &
  SIM=$!
  if wait_for 'grep -q "readersim: ready" /tmp/sim.out' 50 && wait_for '[ -n "$(hidraw_node)" ]' 50; then
    ok "$mode $*: readersim on uhid is $(hidraw_node)"
    return 0
  fi
  bad "$mode $*: no hidraw node for readersim"
  cat /tmp/sim.out
  stop_sim
  return 1
}

# Stops readersim: it must end with status 0 and take the device with it.
stop_sim() {
  [ -n "$SIM" ] || return
  kill -TERM "$SIM"
  wait "$SIM"
  rc=$?
  SIM=
  if [ $rc -eq 0 ] && wait_for '[ -z "$(hidraw_node)" ]' 50; then
    ok "$mode: readersim stopped, device removed"
  else
    bad "$mode: readersim exit status $rc, node '$(hidraw_node)'"
    cat /tmp/sim.out
  fi
}

# The report descriptor the kernel read from the device, as hex.
descriptor_hex() {
  n=$(hidraw_node)
  hexdump -v -e '1/1 "%02x"' "/sys/class/hidraw/${n#/dev/}/device/report_descriptor"
}

# readerctl --json ARGS: $1 the expected exit status, $2 a text its log must
# hold (empty: none), then readerctl's arguments. The last JSON line must be
# the result with that code.
ctl() {
  want=$1 text=$2
  shift 2
  readerctl --json "$@" >/tmp/ctl.out 2>/tmp/ctl.err
  rc=$?
  what="$mode: readerctl $* -> $rc"
  result=$(grep '"event": *"result"' /tmp/ctl.out | tail -n 1)
  if [ $rc -ne "$want" ]; then
    bad "$what, want $want"
  elif ! echo "$result" | grep -q "\"code\": *$want"; then
    bad "$what, result line '$result'"
  elif [ -n "$text" ] && ! echo "$result" | grep -qF "$text"; then
    bad "$what, log without '$text'"
  else
    ok "$what"
    return 0
  fi
  tail -n 20 /tmp/ctl.out /tmp/ctl.err /tmp/sim.out
  return 1
}

# No reader yet: the connect step fails, nothing hangs.
mode=none
ctl 2 "" load "$SCRIPT"

# Each report mode: the descriptor the kernel sees, the reader in the list,
# then a script run (enter the bootloader, reconnect, bootloader version,
# erase, first block).
for m in int64 count65 feature8; do
  start_sim $m || continue
  d=$(descriptor_hex)
  case $m in
    int64) want=850109 ;;       # report ID 1 = segment tag 1, then its input field
    count65) want=954081 ;;     # 64 input bytes, unnumbered
    feature8) want=9507b1 ;;    # 7 feature bytes
  esac
  case $d in
    *$want*) ok "$m: report descriptor ($((${#d} / 2)) bytes)" ;;
    *) bad "$m: report descriptor $d" ;;
  esac
  if readerctl --json list-readers | grep -q "\"path\": *\"$(hidraw_node)\""; then
    ok "$m: readerctl list-readers finds $(hidraw_node)"
  else
    bad "$m: readerctl list-readers: $(readerctl --json list-readers)"
  fi
  ctl 0 "100% Done and Rebooting" load "$SCRIPT"
  stop_sim
done

# Reset default with the judged variant (04-F0): the reader restarts and
# answers pings again.
start_sim int64 && {
  ctl 0 "End of Load Default Setting ( 04-F0)" --r2def-04f0 reset-default
  stop_sim
}

# Failure paths: the reader refuses the reset; the reader is unplugged (the
# uhid device destroyed) in the middle of a run.
start_sim count65 --status 04-F0=01 && {
  ctl 1 "[Err] Reset to Default (04-F0) Failed" --r2def-04f0 reset-default
  stop_sim
}
start_sim int64 --disconnect-after 3 && {
  ctl 1 "" load "$SCRIPT"
  if [ -z "$(hidraw_node)" ]; then ok "int64: unplugged reader's node is gone"; else bad "int64: node still there"; fi
  stop_sim
}

# uhid drops what its 32-event queue cannot hold; no run may have lost a report.
if dmesg | grep -q "Output queue is full"; then
  bad "the kernel dropped output reports: $(dmesg | grep -c 'Output queue is full') times"
else
  ok "no output report dropped by uhid"
fi

echo "guest: $failed failed"
exit $failed
