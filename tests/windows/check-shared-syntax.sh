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
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Wno-unused-parameter -Werror
       -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX
       -DREADERTOOL_VERSION_MAJOR=1 -DREADERTOOL_VERSION_MINOR=0 -DREADERTOOL_VERSION_PATCH=0
       -include windows.h -I "$src")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Two at a time: the machine has two cores and the check is CPU-bound.
printf '%s\n' "${files[@]}" | xargs -P 2 -I{} sh -c '
  f="$1"; shift
  case "$f" in *.h) lang="-x c++";; *) lang="";; esac
  if ! out=$("$@" $lang "$f" 2>&1); then printf "FAIL %s\n%s\n" "$f" "$out"; exit 0; fi
  [ -z "$out" ] || printf "%s\n" "$out"
' _ {} "$cxx" "${flags[@]}" >"$log"
if grep -q '^FAIL ' "$log"; then
  cat "$log"
  echo "check-shared-syntax: $(grep -c '^FAIL ' "$log") of ${#files[@]} shared files do not compile for Windows" >&2
  exit 1
fi
echo "check-shared-syntax: ${#files[@]} shared files compile for Windows with <windows.h> first"
