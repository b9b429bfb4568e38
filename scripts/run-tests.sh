#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and
# end-to-end tests, the same tests again under AddressSanitizer and
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
