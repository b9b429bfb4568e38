#!/bin/sh
# Runs inside the guest (busybox sh): readerctl on serial ports of real
# drivers. ttyS1 is a 16550 and the ttyUSB ports FTDI adapters, all of QEMU,
# joined to readersim lines on the host that answer only at the rate of this
# boot (readertool_baud on the kernel's command line); ttyACM0 is the host
# side of a CDC-ACM gadget (g_serial on dummy_hcd) whose ttyGS0 is relayed to
# a readersim line in the guest. Prints one "guest: ok" or "guest: FAIL" line
# per check; the exit status is the number of failed checks.
DATA=/opt/readertool/data
SCRIPT=$DATA/short_rs232.txt
failed=0
RATE=$(sed -n 's/.*readertool_baud=\([0-9]*\).*/\1/p' /proc/cmdline)

ok() { echo "guest: ok   $*"; }
bad() {
  echo "guest: FAIL $*"
  failed=$((failed + 1))
}

# Waits up to $2 tenths of a second until the command $1 succeeds.
wait_for() {
  i=0
  while [ $i -lt "$2" ]; do
    eval "$1" && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# The ttyUSB node of the adapter with USB serial number $1, read from sysfs
# (the enumeration order is not the order on the command line). Empty when
# there is none. Its device is the port under the USB interface under the
# USB device, which holds the serial number.
usb_tty() {
  for t in /sys/class/tty/ttyUSB*; do
    [ -e "$t/device" ] || continue
    d=$(readlink -f "$t/device")
    if [ "$(cat "$d/../../serial" 2>/dev/null)" = "$1" ]; then
      echo "${t##*/}"
      return
    fi
  done
}

# The COM name of a node, through the fixed ranges of the COM map.
com_of() {
  case $1 in
    ttyS*) echo "COM$((${1#ttyS} + 1))" ;;
    ttyUSB*) echo "COM$((${1#ttyUSB} + 33))" ;;
    ttyACM*) echo "COM$((${1#ttyACM} + 65))" ;;
    *) echo "no-port" ;;
  esac
}

# ctl WANT TEXT COM ARGS...: readerctl on COM at this boot's rate; its exit
# status must be WANT and the log of its result line hold TEXT (empty: any).
ctl() {
  want=$1 text=$2 com=$3
  shift 3
  readerctl --json --interface rs232 --port "$com" --baud "$RATE" "$@" >/tmp/ctl.out 2>/tmp/ctl.err
  rc=$?
  what="$com $RATE: readerctl $* -> $rc"
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
  tail -n 20 /tmp/ctl.out /tmp/ctl.err
  return 1
}

# ---- the ports ----
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
# ftdi_sio binds about half a second after it loads; the gadget's port comes
# with the ACM function once the dummy host has enumerated it.
wait_for '[ -n "$(usb_tty RT-PLAIN)" ] && [ -n "$(usb_tty RT-UNPLUG)" ]' 100
wait_for '[ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ]' 100
USB=$(usb_tty RT-PLAIN)
UNPLUG=$(usb_tty RT-UNPLUG)
if [ -n "$USB" ] && [ -n "$UNPLUG" ]; then
  ok "adapters: RT-PLAIN is $USB ($(com_of "$USB")), RT-UNPLUG is $UNPLUG ($(com_of "$UNPLUG"))"
else
  bad "adapters: RT-PLAIN '$USB', RT-UNPLUG '$UNPLUG'; ttys: $(ls /sys/class/tty | grep USB | tr '\n' ' ')"
fi

# CDC-ACM: readersim on a pseudo-terminal here, relayed byte for byte to the
# gadget's ttyGS0 (both ends raw). No rate reaches this reader: the gadget
# only records the line coding its host asks for.
ACM_SIM=
if [ -e /dev/ttyGS0 ]; then
  readersim --restart-ms 500 --boot-entry-ms 300 --baud 0 >/tmp/acm-sim.out 2>&1 &
  ACM_SIM=$!
  wait_for 'grep -q "readersim: ready" /tmp/acm-sim.out' 50
  PTS=$(awk '/^readersim: serial line / {print $4}' /tmp/acm-sim.out)
  cat /dev/ttyGS0 >"$PTS" &
  RELAY_IN=$!
  stty -F /dev/ttyGS0 raw -echo
  cat "$PTS" >/dev/ttyGS0 &
  RELAY_OUT=$!
  ok "CDC-ACM: ttyACM0 (COM65) relayed through ttyGS0 to readersim on $PTS"
else
  bad "CDC-ACM: no ttyGS0/ttyACM0: $(ls /dev | grep -i 'acm\|gs')"
fi

# ---- one table: what runs at every rate, then what runs once ----
# A row: the case name, then its action.
cases="
reset-uart    ctl 0 'End of Load Default Setting' COM2 reset-default
load-uart     ctl 0 '100% Done and Rebooting' COM2 load $SCRIPT
reset-usb     ctl 0 'End of Load Default Setting' $(com_of "$USB") reset-default
load-usb      ctl 0 '100% Done and Rebooting' $(com_of "$USB") load $SCRIPT
"
if [ "$RATE" = 115200 ]; then
  cases="$cases
list-ports    check_list
reset-acm     ctl 0 'End of Load Default Setting' COM65 reset-default
load-acm      ctl 0 '100% Done and Rebooting' COM65 load $SCRIPT
busy          check_busy
no-uart       ctl 2 'no such device' COM3 reset-default
unplug        check_unplug
"
fi

# list-ports: the console (COM1), the UART (COM2), the adapters and the
# CDC-ACM port; ttyS2 and ttyS3 are placeholders with no UART behind them,
# and opening one fails as "no such device".
check_list() {
  readerctl list-ports >/tmp/list.out 2>&1
  names=$(awk '{print $1}' /tmp/list.out | tr '\n' ' ')
  for want in COM1 COM2 "$(com_of "$USB")" "$(com_of "$UNPLUG")" COM65; do
    case " $names" in
      *" $want "*) ;;
      *) bad "list-ports lacks $want: $names"; return ;;
    esac
  done
  case " $names" in
    *" COM3 "* | *" COM4 "*) bad "list-ports offers a port with no UART: $names" ;;
    *) ok "list-ports: $names" ;;
  esac
}

# A second readerctl on the port a first one holds is refused at once, and
# told which process holds it; the first run is not disturbed.
check_busy() {
  readerctl --interface rs232 --port COM2 --baud "$RATE" --trace=/tmp/first.trace load "$SCRIPT" >/tmp/first.out 2>&1 &
  first=$!
  # Its first exchange is traced once the port is open.
  wait_for '[ -s /tmp/first.trace ]' 200 || bad "busy: the first run never traced an exchange"
  # The reason names the first run as the port's holder.
  ctl 2 "held by process $first (readerctl)" COM2 reset-default
  wait $first
  rc=$?
  if [ $rc -eq 0 ]; then ok "busy: the first run ended with 0"; else bad "busy: the first run ended with $rc"; tail -n 5 /tmp/first.out; fi
}

# The reader behind the second adapter is unplugged after three answers: the
# run ends with 1 well within 20 s and the adapter's node goes away.
check_unplug() {
  [ -n "$UNPLUG" ] || { bad "unplug: no adapter"; return; }
  start=$(date +%s)
  ctl 1 '' "$(com_of "$UNPLUG")" load "$SCRIPT"
  took=$(($(date +%s) - start))
  if [ $took -le 20 ]; then ok "unplug: ended after ${took}s"; else bad "unplug: ended after ${took}s"; fi
  if wait_for "[ ! -e /dev/$UNPLUG ]" 50; then ok "unplug: /dev/$UNPLUG is gone"; else bad "unplug: /dev/$UNPLUG still there"; fi
}

while read -r name action; do
  [ -n "$name" ] || continue
  echo "guest: case $name"
  eval "$action" </dev/null
done <<EOF
$cases
EOF

[ -n "$ACM_SIM" ] && kill $RELAY_IN $RELAY_OUT $ACM_SIM 2>/dev/null
echo "guest: $failed failed at $RATE baud"
exit $failed
