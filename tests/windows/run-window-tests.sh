#!/usr/bin/env bash
# The Windows operator window's tests, under Wine on a virtual X display
# (xvfb-run): the window cannot be made without a display.
#
#   run-window-tests.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR] [SCREENSHOT.png]
#
# 1. test_win32_window.exe: the window from the program's own resources,
#    driven by its logic in the test process (caption, layout, Esc, About...).
# 2. readertool.exe against readersim (from the Linux build) through a Wine
#    COM port: the port's pseudo-terminal is linked as COMn in the prefix's
#    dosdevices; the test hooks choose RS232 and that port, click Load and
#    answer the file dialog with a short RS-232 update script. The run must
#    start, end, and show the reader's answers in the link trace.
# 3. With SCREENSHOT.png: the window as it looks after that run.
#
# WINDOWS_BUILD_DIR defaults to build-windows (configured with the test
# hooks, READERTOOL_WINDOW_TEST_HOOKS=ON), LINUX_BUILD_DIR to build. The
# Wine prefix lives in WINDOWS_BUILD_DIR/wine-window unless
# READERTOOL_WINDOW_PREFIX names another; it is made on first use. Calibri,
# Courier New and Arial are not in Wine: the prefix maps them to their
# metric-compatible stand-ins, so the layout stays as designed.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
winbuild=$(realpath -m "${1:-$src/build-windows}")
linbuild=$(realpath -m "${2:-$src/build}")
shot=${3:+$(realpath -m "$3")}

if [ -z "${READERTOOL_IN_XVFB:-}" ]; then
  command -v xvfb-run >/dev/null || { echo "run-window-tests: xvfb-run is missing (package xvfb)" >&2; exit 1; }
  exec xvfb-run -a -s "-screen 0 1024x768x24" env READERTOOL_IN_XVFB=1 bash "$0" "$winbuild" "$linbuild" ${shot:+"$shot"}
fi

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || { echo "run-window-tests: wine64 is missing" >&2; exit 1; }
export WINEPREFIX=${READERTOOL_WINDOW_PREFIX:-$winbuild/wine-window}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

test_exe=$winbuild/ui/win32/test_win32_window.exe
tool_exe=$winbuild/ui/win32/readertool.exe
sim=$linbuild/sim/readersim
for f in "$test_exe" "$tool_exe"; do
  [ -f "$f" ] || { echo "run-window-tests: $f is not built" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the prefix ----
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run-window-tests: making the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -w
fi
subst='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
for pair in "Calibri=Carlito" "Courier New=Liberation Mono" "Arial=Liberation Sans"; do
  "$wine" reg add "$subst" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f >/dev/null 2>&1
done
# No window manager runs on the virtual display: Wine draws the window
# frames itself, so that the caption shows in the screenshot.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wineserver" -w

failed=0

# ---- 1. the window in process ----
echo "run-window-tests: test_win32_window.exe"
if ! timeout 300 "$wine" "$test_exe" 2>"$work/test.err"; then
  cat "$work/test.err" >&2
  echo "run-window-tests: FAILED test_win32_window.exe" >&2
  failed=1
fi

# ---- 2. Load against readersim through a Wine COM port ----
com=7
if [ ! -x "$sim" ]; then
  echo "run-window-tests: SKIPPED the Load run: $sim is not built (Linux build)" >&2
else
  "$sim" gen-samples "$work/samples" >/dev/null
  # The sample RS-232 update script cut short: enter the bootloader, its
  # version, erase, two blocks, and the restart.
  bash "$src/scripts/shorten-script.sh" 5 "$work/samples/update_rs232.txt" "$work/update_rs232.txt"

  mkdir -p "$work/com"
  mkfifo "$work/sim.out"
  "$sim" --pty --com "$com" --com-dir "$work/com" --restart-ms 200 > "$work/sim.out" &
  sim_pid=$!
  exec 3< "$work/sim.out"
  ready=""
  while read -r -t 10 line <&3; do
    if [ "$line" = "readersim: ready" ]; then ready=1; break; fi
  done
  if [ -z "$ready" ]; then
    echo "run-window-tests: FAILED readersim did not start" >&2
    failed=1
  else
    # Wine opens COMn through the prefix's dosdevices link. The window lists
    # the ports the serial drivers registered, which Wine does only for the
    # ports it found at start-up: the test registers COMn as a driver would.
    ln -sfn "$(readlink -f "$work/com/com$com")" "$WINEPREFIX/dosdevices/com$com"
    "$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\Serial$com" /t REG_SZ /d "COM$com" /f \
      >/dev/null 2>&1
    grab=$work/window.bmp
    echo "run-window-tests: readertool.exe Load on COM$com"
    READERTOOL_TEST_PORT="COM$com" \
    READERTOOL_TEST_CLICK=load \
    READERTOOL_TEST_CHOOSE_FILE="Z:${work//\//\\}\\update_rs232.txt" \
    READERTOOL_TEST_GRAB="Z:${grab//\//\\}" \
    READERTOOL_TRACE="Z:${work//\//\\}\\trace.txt" \
      timeout 180 "$wine" "$tool_exe" > "$work/tool.out" 2>"$work/tool.err" || true
    cat "$work/tool.out"
    if ! grep -q "readertool: run started" "$work/tool.out" || ! grep -q "readertool: run ended" "$work/tool.out"; then
      echo "run-window-tests: FAILED the Load run did not start and end" >&2
      failed=1
    elif ! grep -q "rs232 < " "$work/trace.txt" 2>/dev/null; then
      echo "run-window-tests: FAILED no answer of the reader in the trace" >&2
      failed=1
    fi
    if [ -n "$shot" ] && [ -f "$grab" ]; then
      mkdir -p "$(dirname "$shot")"
      python3 "$src/tests/windows/bmp-to-png.py" "$grab" "$shot"
      echo "run-window-tests: screenshot $shot"
    fi
    rm -f "$WINEPREFIX/dosdevices/com$com"
  fi
fi

[ "$failed" = 0 ] && echo "run-window-tests: passed"
exit "$failed"
