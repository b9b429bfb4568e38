#!/usr/bin/env bash
# readerctl.exe end to end under Wine, against the Linux readersim on a
# pseudo-terminal that Wine knows as COM7 (a link "com7" in the prefix's
# dosdevices folder), with the Linux readerctl as the reference:
#   - version, a usage error (status 64), a port that is not a COM name,
#     list-ports, a reset-default whose output pipe is closed early;
#   - a script update (samples/update_rs232.txt) and a legacy image download
#     (--chklegacy, samples/firmware.bin, reader firmware below 3.00.001) at
#     115200 baud, whose final logs must equal the Linux readerctl's final
#     logs of the same runs byte for byte;
#   - Ctrl-C in the bootloader wait: Wine turns SIGINT into the console's
#     CTRL_C_EVENT; status 130 and where the reader was left;
#   - the installer: a silent per-user install, its files and Start-menu
#     entries, a silent uninstall that removes them (when the installer was
#     made).
#
#   usage: readerctl-wine-tests.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
# LINUX_BUILD_DIR has readersim, readerctl and the samples; WINDOWS_BUILD_DIR
# has cli/readerctl.exe and, from the target windows_packages, the installer.
# Uses $WINEPREFIX when set, else a prefix of its own that it removes.
# Prints "N passed, N failed" last; the exit status is 1 when any failed.
set -uo pipefail

linux_build=$(cd "${1:?usage: $0 LINUX_BUILD_DIR WINDOWS_BUILD_DIR}" && pwd)
windows_build=$(cd "${2:?usage: $0 LINUX_BUILD_DIR WINDOWS_BUILD_DIR}" && pwd)
wine=${WINE:-}
if [ -z "$wine" ]; then
  for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wine=$w; break; fi
  done
fi
[ -n "$wine" ] || { echo "readerctl-wine-tests: no wine64 (Debian: wine64)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

sim="$linux_build/sim/readersim"
ctl="$linux_build/cli/readerctl"
exe="$windows_build/cli/readerctl.exe"
samples="$linux_build/samples"
for f in "$sim" "$ctl" "$exe" "$samples/update_rs232.txt" "$samples/firmware.bin"; do
  [ -e "$f" ] || { echo "readerctl-wine-tests: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/readerctl-wine.XXXXXX)
# A prefix of the test's own, removed with its folder, unless one is given.
[ -n "${WINEPREFIX:-}" ] || export WINEPREFIX="$work/prefix"
export WINEDEBUG=${WINEDEBUG:--all}
# No window is ever needed; keep Wine from asking for Mono or Gecko.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

sim_pid=""
own_server=0
cleanup() {
  stop_sim
  if [ "$own_server" = 1 ]; then "$wineserver" -k >/dev/null 2>&1 || true; fi
  WINEPREFIX="$work/install-prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; [ $# -gt 1 ] && printf '%s\n' "$2" | sed 's/^/    /'; }

# Reads lines from descriptor $1 until one equals (or, with "~", contains)
# $2, for at most $3 seconds; every read blocks with that deadline.
read_until() {
  local fd=$1 want=$2 secs=$3 line end=$((SECONDS + $3)) left
  while left=$((end - SECONDS)); [ "$left" -gt 0 ]; do
    IFS= read -r -t "$left" line <&"$fd" || return 1
    case "$want" in
      "~"*) [[ $line == *"${want#\~}"* ]] && return 0 ;;
      *) [ "$line" = "$want" ] && return 0 ;;
    esac
  done
  return 1
}

# readersim on a pseudo-terminal, linked as com7 in the prefix's dosdevices
# (Wine's COM7) — the same folder is the Linux readerctl's COM folder.
start_sim() {
  stop_sim
  local fifo="$work/sim.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  "$sim" --com 7 --com-dir "$WINEPREFIX/dosdevices" --restart-ms 100 --boot-entry-ms 100 "$@" >"$fifo" 2>&1 &
  sim_pid=$!
  exec {sim_fd}<"$fifo"
  if ! read_until "$sim_fd" "readersim: ready" 20; then
    echo "readersim did not start" >&2
    return 1
  fi
  # From here on its output is only drained.
  cat <&"$sim_fd" >>"$work/sim.log" &
  exec {sim_fd}<&-
}
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
  rm -f "$WINEPREFIX/dosdevices/com7"
}

# ---- a Wine prefix -----------------------------------------------------------
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 120 "$wineserver" -w
fi
# One server for all the runs, started before any pseudo-terminal is linked,
# so that it never takes one as its controlling terminal (and is hung up
# with it); when one already serves the prefix, that one stays.
own_server=0
if "$wineserver" -p >/dev/null 2>&1; then
  own_server=1
  # The first program starts Wine's own services, which stay and keep the
  # output they were given: let them have none of the tests' pipes.
  timeout 120 "$wine" cmd.exe /c exit >/dev/null 2>&1
fi

# ---- version, usage error ----------------------------------------------------
out=$(timeout 60 "$wine" "$exe" version 2>"$work/err")
rc=$?
want=$("$ctl" version)
if [ $rc = 0 ] && [ "$out" = "$want" ]; then
  pass "version reads the program's own version resource: $out"
else
  fail "version" "status $rc, got '$out', want '$want'; $(cat "$work/err")"
fi

timeout 60 "$wine" "$exe" --baud 1200 load x.txt >"$work/out" 2>"$work/err"
rc=$?
if [ $rc = 64 ] && grep -q "^readerctl: " "$work/err" && grep -q "Usage: readerctl" "$work/err" && [ ! -s "$work/out" ]; then
  pass "a usage error exits with 64 and shows the usage"
else
  fail "usage error" "status $rc; $(cat "$work/err")"
fi

timeout 60 "$wine" "$exe" --interface rs232 --port /dev/ttyS0 load x.txt >"$work/out" 2>"$work/err"
rc=$?
if [ $rc = 2 ] && grep -q "is not a serial port" "$work/err"; then
  pass "a port that is not a COM name is refused"
else
  fail "port that is not a COM name" "status $rc; $(cat "$work/err")"
fi

# ---- list-ports ----------------------------------------------------------------
# The list is the serial drivers' registry entries, and no port is opened to
# make it. Wine writes those entries for the ports it found at start-up only;
# COM7 came later, so the test registers it as a driver would.
if start_sim; then
  timeout 120 "$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial7' /t REG_SZ /d COM7 /f \
    >/dev/null 2>&1
  out=$(timeout 120 "$wine" "$exe" list-ports 2>"$work/err")
  rc=$?
  if [ $rc = 0 ] && printf '%s\n' "$out" | grep -qxF 'COM7  \\.\COM7' &&
    ! printf '%s\n' "$out" | grep -vqE '^COM[0-9]+  \\\\\.\\COM[0-9]+$'; then
    pass "list-ports shows the simulated reader's port as 'COM7  \\\\.\\COM7'"
  else
    fail "list-ports" "status $rc; out: $out; err: $(cat "$work/err")"
  fi
  # A reader of the output that goes away loses the output, not the run.
  timeout 120 "$wine" "$exe" --interface rs232 --port COM7 --baud 115200 reset-default 2>"$work/err" |
    head -c 1 >/dev/null
  rc=${PIPESTATUS[0]}
  if [ "$rc" = 0 ] && grep -q "^readerctl: reset-default: success" "$work/err"; then
    pass "a closed output pipe does not end a reset-default"
  else
    fail "closed output pipe" "status $rc; $(tail -n 3 "$work/err")"
  fi
  # Two readers at once, one child readerctl.exe each: COM7 answers, COM9
  # has nothing behind it; the summary names both. A fresh reader: the one
  # above may still be restarting.
  start_sim || fail "batch: readersim did not start"
  timeout 180 "$wine" "$exe" --interface rs232 --baud 115200 --port COM7 --port COM9 reset-default \
    >"$work/out" 2>"$work/err"
  rc=$?
  if [ $rc = 2 ] && grep -q "^\[COM7\] Open RS232 interface success" "$work/out" &&
    grep -qE "^COM7  +success +0 " "$work/out" && grep -qE "^COM9  +the link could not be opened +2 " "$work/out"; then
    pass "a batch on two ports: each reader's result in the summary, status 2"
  else
    fail "batch on two ports" "status $rc; $(cat "$work/out" "$work/err" | tail -n 8)"
  fi
else
  fail "list-ports: readersim did not start"
fi

# ---- the same runs on Windows and on Linux: the final logs must be equal --------
# $1 name, then readersim's options up to "--", then readerctl's arguments.
same_final_log() {
  local name=$1 sim_args=() arg
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
  shift
  local args=(--json --interface rs232 --port COM7 --baud 115200 "$@")

  start_sim "${sim_args[@]}" || { fail "$name: readersim did not start"; return; }
  timeout 900 "$wine" "$exe" "${args[@]}" >"$work/win.json" 2>"$work/win.err"
  local rc_win=$?
  start_sim "${sim_args[@]}" || { fail "$name: readersim did not start"; return; }
  READERTOOL_COM_DIR="$WINEPREFIX/dosdevices" timeout 900 "$ctl" "${args[@]}" >"$work/linux.json" 2>"$work/linux.err"
  local rc_linux=$?
  stop_sim

  # The result event carries the whole final log, JSON-escaped: equal lines
  # are equal logs, byte for byte.
  local win_result linux_result
  win_result=$(tail -n 1 "$work/win.json")
  linux_result=$(tail -n 1 "$work/linux.json")
  if [ $rc_win = 0 ] && [ $rc_linux = 0 ] && [[ $win_result == '{"event":"result","ok":true,"code":0,"log":"'* ]] &&
    [ "$win_result" = "$linux_result" ]; then
    pass "$name: status 0 and the same final log as on Linux ($(printf '%s' "$win_result" | wc -c) bytes)"
  else
    fail "$name" "Windows status $rc_win, Linux status $rc_linux
Windows: $(printf '%s' "$win_result" | head -c 600)
Linux:   $(printf '%s' "$linux_result" | head -c 600)
$(diff <(printf '%s' "$win_result" | sed 's/\\r\\n/\n/g') <(printf '%s' "$linux_result" | sed 's/\\r\\n/\n/g') |
  grep -v -e '% Done$' | head -30)
Windows standard error: $(tail -n 5 "$work/win.err")"
  fi
}

same_final_log "script update over COM7" -- load "$samples/update_rs232.txt"
# readersim's default firmware (2.10.005) is below 3.00.001: a legacy reader.
same_final_log "legacy image download over COM7" --fw-version 2.10.005 -- --chklegacy load "$samples/firmware.bin"

# ---- Ctrl-C ----------------------------------------------------------------------
# Wine delivers SIGINT to the process's console control handlers as
# CTRL_C_EVENT. The stop comes in the five-second wait for the bootloader
# that follows "Enter bootloader mode success!" in a legacy download.
if start_sim; then
  fifo="$work/ctl.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  "$wine" "$exe" --json --interface rs232 --port COM7 --baud 115200 --chklegacy load "$samples/firmware.bin" \
    >"$fifo" 2>"$work/ctrlc.err" &
  ctl_pid=$!
  exec {ctl_fd}<"$fifo"
  if read_until "$ctl_fd" "~Enter bootloader mode success!" 120; then
    kill -INT "$ctl_pid"
    # Reading to the end has the run's own deadline: a stop ends every wait.
    timeout 60 cat <&"$ctl_fd" >"$work/ctrlc.json"
    wait "$ctl_pid"
    rc=$?
    if [ $rc = 130 ] && grep -q "reader may be left in its bootloader" "$work/ctrlc.err" &&
      [[ $(tail -n 1 "$work/ctrlc.json") == '{"event":"result","ok":false,"code":130,'* ]]; then
      pass "Ctrl-C in the bootloader wait: status 130 and where the reader was left"
    else
      fail "Ctrl-C" "status $rc; $(tail -n 3 "$work/ctrlc.err")"
    fi
  else
    fail "Ctrl-C: the run did not reach the bootloader wait" "$(tail -n 3 "$work/ctrlc.err")"
  fi
  kill -KILL "$ctl_pid" 2>/dev/null
  wait "$ctl_pid" 2>/dev/null
  exec {ctl_fd}<&-
  stop_sim
else
  fail "Ctrl-C: readersim did not start"
fi

# ---- the installer ---------------------------------------------------------------
# In a prefix of its own, whose server ends with its last program: the
# uninstaller copies itself away and returns at once, and "wineserver -w"
# waits for that copy to end.
install_test() {
  local setup=$1 zip=$2 rc missing version
  export WINEPREFIX="$work/install-prefix"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 120 "$wineserver" -w
  win_var() { "$wine" cmd.exe /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
  unix_of() { "$wine" winepath.exe -u "$1" 2>/dev/null | tr -d '\r'; }
  local inst menu
  inst=$(unix_of "$(win_var LOCALAPPDATA)\\Programs\\readertool")
  menu=$(unix_of "$(win_var APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs\\readertool")
  timeout 300 "$wine" "$setup" /S
  rc=$?
  timeout 120 "$wineserver" -w
  missing=""
  for f in readerctl.exe README.txt uninstall.exe; do [ -f "$inst/$f" ] || missing+=" $inst/$f"; done
  [ -f "$menu/readertool README.lnk" ] || missing+=" $menu/readertool README.lnk"
  # The window and its Start-menu entry, when the build made the window.
  if [ -n "$zip" ] && cmake -E tar tf "$zip" 2>/dev/null | grep -qx 'readertool.exe'; then
    [ -f "$inst/readertool.exe" ] || missing+=" $inst/readertool.exe"
    [ -f "$menu/readertool.lnk" ] || missing+=" $menu/readertool.lnk"
  fi
  if [ $rc = 0 ] && [ -n "$inst" ] && [ -z "$missing" ]; then
    pass "silent per-user install: programs in $inst, Start-menu entries in $menu"
  else
    fail "silent install" "status $rc; missing:$missing"
  fi
  version=$(timeout 60 "$wine" "$inst/readerctl.exe" version 2>/dev/null)
  if [[ $version == "readerctl "* ]]; then
    pass "the installed readerctl.exe runs: $version"
  else
    fail "installed readerctl.exe" "$version"
  fi

  timeout 300 "$wine" "$inst/uninstall.exe" /S
  rc=$?
  timeout 120 "$wineserver" -w
  if [ $rc = 0 ] && [ -n "$inst" ] && [ ! -e "$inst" ] && [ ! -e "$menu" ]; then
    pass "silent uninstall removes the programs and the Start-menu entries"
  else
    fail "silent uninstall" "status $rc; left: $(ls -A "$inst" "$menu" 2>&1 | tr '\n' ' ')"
  fi
}

setup=$(ls -t "$windows_build"/readertool-*-setup.exe 2>/dev/null | head -n 1)
if [ -z "$setup" ]; then
  echo "SKIP the installer: none in $windows_build (cmake --build $windows_build --target windows_packages)"
else
  (install_test "$setup" "$(ls -t "$windows_build"/readertool-*-windows-x64.zip 2>/dev/null | head -n 1)") | tee "$work/install.log"
  passed=$((passed + $(grep -c '^PASS ' "$work/install.log")))
  failed=$((failed + $(grep -c '^FAIL ' "$work/install.log")))
fi

echo "readerctl-wine-tests: $passed passed, $failed failed"
[ "$failed" = 0 ]
