#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and
# end-to-end tests, the Windows build with its tests under Wine, the same
# tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of every fuzz target.
# Exits non-zero on any failure or sanitizer finding.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

echo "== build (debug) =="
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
echo "== tests (debug) =="
ctest --preset default

echo "== shared code compiles for Windows =="
bash tests/windows/check-shared-syntax.sh

echo "== Windows build and tests (Wine) =="
# Part of every run: a machine without the cross compiler or Wine fails
# here instead of quietly leaving the Windows programs untested.
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres /usr/lib/wine/wine64 /usr/lib/wine/wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "run-tests: $tool is missing; scripts/install-deps.sh installs it" >&2
    exit 1
  fi
done
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
bash tests/windows/run-windows-tests.sh

echo "== build (address + undefined behaviour sanitizers) =="
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
echo "== tests (sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan

if [ -f fuzz/CMakeLists.txt ] && [ -x scripts/run-fuzz.sh ]; then
  echo "== fuzz (short runs) =="
  bash scripts/run-fuzz.sh "${FUZZ_SECONDS:-20}"
fi
echo "== all tests passed =="
