#!/usr/bin/env bash
# Compiles every shared source and header for Windows with <windows.h>
# included first (syntax and types only, nothing is linked), so that shared
# code never comes to depend on one operating system or clash with the
# Windows headers. The files of one OS (platform/posix, platform/linux,
# cli/posix, ...), the Qt window and the Linux-only simulated reader are not
# shared and are not checked.
#   usage: check-shared-syntax.sh [SOURCE_DIR]
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$cxx" >/dev/null; then
  echo "check-shared-syntax: $cxx is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

cd "$src"
mapfile -t files < <(find platform link transport update script app ui cli -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
# A header is checked through a one-line file that includes it, as its users do.
stub=$(mktemp -d)
trap 'rm -rf "$stub"' EXIT
# The same definitions and warnings as the Windows build (CMakeLists.txt).
flags=(-std=c++20 -Wall -Wextra -Wno-unused-parameter -Wno-format -Werror
       -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0A00
       -DREADERTOOL_VERSION_MAJOR=1 -DREADERTOOL_VERSION_MINOR=0 -DREADERTOOL_VERSION_PATCH=0
       -I "$src")
# <windows.h> is read once, into a precompiled header that every file starts with.
printf '#include <windows.h>\n' >"$stub/first.h"
"$cxx" "${flags[@]}" -x c++-header "$stub/first.h" -o "$stub/first.h.gch"
flags+=(-fsyntax-only -include "$stub/first.h")
log="$stub/log"
# Two at a time: the machine has two cores and the check is CPU-bound.
export STUB="$stub"
printf '%s\n' "${files[@]}" | xargs -P 2 -I{} sh -c '
  f="$1"; shift
  unit="$f"
  case "$f" in *.h) unit="$STUB/$(echo "$f" | tr / _).cpp"; printf "#include \"%s\"\n" "$f" >"$unit";; esac
  if ! out=$("$@" "$unit" 2>&1); then printf "FAIL %s\n%s\n" "$f" "$out"; exit 0; fi
  [ -z "$out" ] || printf "%s\n" "$out"
' _ {} "$cxx" "${flags[@]}" >"$log"
if grep -q '^FAIL ' "$log"; then
  cat "$log"
  echo "check-shared-syntax: $(grep -c '^FAIL ' "$log") of ${#files[@]} shared files do not compile for Windows" >&2
  exit 1
fi
echo "check-shared-syntax: ${#files[@]} shared files compile for Windows with <windows.h> first"
