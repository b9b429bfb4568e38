#!/usr/bin/env bash
# Makes docs/screenshot.png: the operator window after a firmware update of
# the simulated reader over USB HID, drawn on Qt's offscreen platform (no
# display needed).
#
#   bash scripts/screenshot.sh [BUILD_DIR] [OUTPUT.png]
#
# BUILD_DIR (default: build) must hold ui/qt/readertool and sim/readersim.
# The run uses a short update script (the sample script's first commands,
# three blocks and the restart), so it takes about ten seconds. The picture
# is the window's inside; the offscreen platform draws no window frame.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
out=${2:-docs/screenshot.png}
tool=$build/ui/qt/readertool
sim=$build/sim/readersim
for prog in "$tool" "$sim"; do
  [ -x "$prog" ] || { echo "screenshot: $prog is not built" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The update script: header, enter bootloader, bootloader version, erase,
# three blocks, then the sample's last command (restart).
"$sim" gen-samples "$work/samples" >/dev/null
bash scripts/shorten-script.sh 6 "$work/samples/update_usbhid.txt" "$work/update_usbhid.txt"

# One simulated reader: on the HID simulator socket for the run, and on a
# pseudo-terminal so that the window finds a serial port at start-up.
mkdir -p "$work/com"
mkfifo "$work/sim.out"
"$sim" --hid int64 --hid-socket "$work/reader.sock" --pty --com 1 --com-dir "$work/com" > "$work/sim.out" &
sim_pid=$!
exec 3< "$work/sim.out"
ready=""
while read -r -t 10 line <&3; do
  if [ "$line" = "readersim: ready" ]; then ready=1; break; fi
done
[ -n "$ready" ] || { echo "screenshot: readersim did not start" >&2; exit 1; }

mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=offscreen \
READERTOOL_COM_DIR="$work/com" \
READERTOOL_HID_SIM="$work/reader.sock" \
READERTOOL_TEST_CHOOSE_FILE="$work/update_usbhid.txt" \
READERTOOL_TEST_CLICK=load \
READERTOOL_TEST_GRAB="$out" \
  timeout 120 "$tool" | tee "$work/tool.out"
grep -q "readertool: grabbed" "$work/tool.out" || { echo "screenshot: no picture was made" >&2; exit 1; }
echo "screenshot: $out"
