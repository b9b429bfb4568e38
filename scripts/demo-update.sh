#!/usr/bin/env bash
# The main job: a real firmware update of the simulated reader with readerctl,
# from the sample files the build made.
#
#   bash scripts/demo-update.sh BUILD_DIR [usb|rs232]
#
# usb (the default): readersim serves the reader on the HID simulator socket
# and readerctl updates it with update_usbhid.txt (about a minute and a half).
# rs232: readersim serves it on a pseudo-terminal linked as COM1 in a private
# READERTOOL_COM_DIR, and readerctl updates it at 115200 baud with
# update_rs232.txt (about two and a half minutes: every exchange on the
# serial line costs the tool's fixed waits).
#
# Everything lives in a temporary folder that is removed at the end, and
# readersim is stopped whatever happens.
set -euo pipefail

build=${1:-build}
mode=${2:-usb}
sim="$build/sim/readersim"
ctl="$build/cli/readerctl"
case "$mode" in
  usb) script="$build/samples/update_usbhid.txt" ;;
  rs232) script="$build/samples/update_rs232.txt" ;;
  *) echo "usage: $0 BUILD_DIR [usb|rs232]" >&2; exit 64 ;;
esac
for f in "$sim" "$ctl" "$script"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing; build first (cmake --preset default && cmake --build --preset default)" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/readertool-demo.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  exec 3<&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# readersim says where it serves and then "readersim: ready"; its output goes
# through a FIFO so that the wait for that line needs no polling.
mkfifo "$work/sim.out"
if [ "$mode" = usb ]; then
  "$sim" --hid int64 --hid-socket "$work/reader.sock" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  export READERTOOL_HID_SIM="$work/reader.sock"
  ctl_args=(--interface usb load "$script")
  what="USB HID (simulator socket)"
else
  mkdir "$work/com"
  "$sim" --com 1 --com-dir "$work/com" --baud 115200 >"$work/sim.out" 2>&1 &
  sim_pid=$!
  export READERTOOL_COM_DIR="$work/com"
  ctl_args=(--interface rs232 --port COM1 --baud 115200 load "$script")
  what="RS-232 (pseudo-terminal as COM1, 115200 baud)"
fi
exec 3<"$work/sim.out"
ready=no
while IFS= read -r -t 15 line <&3; do
  echo "  $line"
  if [ "$line" = "readersim: ready" ]; then
    ready=yes
    break
  fi
done
if [ "$ready" != yes ]; then
  echo "demo: readersim did not get ready" >&2
  exit 1
fi

echo "== readerctl ${ctl_args[*]}"
start=$(date +%s)
status=0
"$ctl" "${ctl_args[@]}" || status=$?
seconds=$(( $(date +%s) - start ))

echo
echo "== summary"
echo "  reader:    the simulated reader (readersim) over $what"
echo "  script:    $script"
echo "  time:      ${seconds} s"
if [ "$status" -eq 0 ]; then
  echo "  result:    firmware updated (readerctl exit status 0)"
else
  echo "  result:    the update did not succeed (readerctl exit status $status)"
fi
exit "$status"
