#!/usr/bin/env bash
# Runs the Windows tests under Wine: every test program of the Windows build
# through ctest, then the serial line against the Linux readersim through a
# COM port of the Wine prefix, then readerctl.exe end to end
# (readerctl-wine-tests.sh), then the operator window on a virtual display
# (run-window-tests.sh).
#   usage: run-windows-tests.sh [SOURCE_DIR]
# Needs the Windows build (cmake --preset windows; cmake --build --preset
# windows) and the Linux readersim (build/sim/readersim; built here if
# missing). The Wine prefix is made once under build-windows and kept.
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
build="$src/build-windows"
wine=${READERTOOL_WINE:-/usr/lib/wine/wine64}
wineserver=${READERTOOL_WINESERVER:-/usr/lib/wine/wineserver}
com_port=7

fail() { echo "run-windows-tests: $*" >&2; exit 1; }
[ -x "$wine" ] || fail "$wine is missing (scripts/install-deps.sh installs wine64)"
[ -x "$wineserver" ] || fail "$wineserver is missing (scripts/install-deps.sh installs wine64)"
[ -f "$build/CTestTestfile.cmake" ] || fail "no Windows build in $build (cmake --preset windows)"
[ -x "$build/tests/serial_sim_test.exe" ] || fail "serial_sim_test.exe is not built (cmake --build --preset windows)"
readersim="$src/build/sim/readersim"
if [ ! -x "$readersim" ]; then
  [ -f "$src/build/CMakeCache.txt" ] || cmake --preset default -S "$src" >/dev/null
  cmake --build "$src/build" -j2 --target readersim
fi

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: the tests need neither, and asking for them would stall.
export WINEDLLOVERRIDES="mscoree,mshtml="

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com$com_port"
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run-windows-tests: making the Wine prefix $WINEPREFIX (once)"
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -u >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log"; fail "wineboot failed"; }
  "$wineserver" -w
fi

# One wineserver for the whole run, started before the COM port exists: each
# program then starts quickly, and the server never takes the pseudo-terminal
# as its controlling terminal.
"$wineserver" -k 2>/dev/null || true  # one left over from an interrupted run
"$wineserver" -p >"$build/wineserver.log" 2>&1
# The first program starts Wine's own services, which stay and keep the
# output they were given: a file here, not ctest's pipes (ctest would wait
# for them to close until its time-out).
"$wine" cmd.exe /c exit >>"$build/wineserver.log" 2>&1

echo "== Windows test programs (ctest under Wine) =="
(cd "$src" && ctest --preset windows)

echo "== Windows serial line against readersim on COM$com_port =="
rm -f "$WINEPREFIX/dosdevices/com$com_port"
"$readersim" serve --com "$com_port" --com-dir "$WINEPREFIX/dosdevices" >"$build/readersim.log" 2>&1 &
sim_pid=$!
# readersim makes the link once its pseudo-terminal is ready.
for _ in $(seq 100); do
  [ -L "$WINEPREFIX/dosdevices/com$com_port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$build/readersim.log"; fail "readersim ended"; }
  sleep 0.1
done
[ -L "$WINEPREFIX/dosdevices/com$com_port" ] || { cat "$build/readersim.log"; fail "readersim made no com$com_port"; }
READERTOOL_TEST_COM_PORT=$com_port "$wine" "$build/tests/serial_sim_test.exe"

# ---- readerctl.exe end to end ---------------------------------------------------
# tests/windows/readerctl-wine-tests.sh starts readersim on the same COM port
# itself, so the one above goes first. It compares with the Linux readerctl's
# runs and installs the Windows packages, which are built here.
echo "== readerctl.exe end to end under Wine against readersim on COM$com_port =="
kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
sim_pid=""
rm -f "$WINEPREFIX/dosdevices/com$com_port"
cmake --build "$src/build" -j2 --target readerctl readersim readersim_samples
cmake --build "$build" -j2 --target windows_packages
bash "$src/tests/windows/readerctl-wine-tests.sh" "$src/build" "$build"

# ---- the operator window ---------------------------------------------------------
# In a prefix of its own with the design fonts mapped, on a virtual display.
echo "== readertool.exe under Wine on Xvfb =="
bash "$src/tests/windows/run-window-tests.sh" "$build" "$src/build"

echo "run-windows-tests: all Windows tests passed"
