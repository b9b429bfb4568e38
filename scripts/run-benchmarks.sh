#!/usr/bin/env bash
# Builds in release mode and runs the benchmarks; prints one table with each
# row beside its protocol floor or its goal (docs/PERFORMANCE.md explains the
# rows, the floors and the last results). Not part of the tests.
#
#   bash scripts/run-benchmarks.sh [--rows LIST] [--size N] [--no-deps]
#
#   --rows LIST  a subset, e.g. 5,7 for a quick look (default: every row;
#                row 4 comes from the runs of rows 1-3, row 6 from row 1)
#   --size N     firmware image size in bytes, 286721-358400 (default 358400);
#                the smallest makes rows 1-3 and 5 about a fifth shorter
#   --no-deps    do not run scripts/install-deps.sh first
#
# Every row runs once. The whole table takes about a quarter of an hour, most
# of it the reader protocol's own waits. The exit status is 0 when every row
# meets its goal.
set -euo pipefail
cd "$(dirname "$0")/.."

rows=""
size=358400
deps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) rows="$2"; shift 2 ;;
    --size) size="$2"; shift 2 ;;
    --no-deps) deps=0; shift ;;
    *) echo "usage: $0 [--rows LIST] [--size N] [--no-deps]" >&2; exit 64 ;;
  esac
done

if [ "$deps" = 1 ]; then bash scripts/install-deps.sh; fi

# Build output goes to standard error: standard output is the table.
cmake --preset release >&2
cmake --build --preset release -j"$(nproc)" --target readerbench >&2

build=build-release
data=$build/bench-data
work=$build/bench-work
mkdir -p "$data" "$work"
# The image and its two scripts, made by the simulated reader's generator.
"$build/sim/readersim" gen-image "$data/image.bin" --size "$size" >/dev/null
"$build/sim/readersim" gen-script "$data/image.bin" "$data/update_rs232.txt" --kind rs232 >/dev/null
"$build/sim/readersim" gen-script "$data/image.bin" "$data/update_usbhid.txt" --kind usbhid >/dev/null

args=(--bin "$build" --data "$data" --work "$work")
if [ -n "$rows" ]; then args+=(--rows "$rows"); fi
status=0
"$build/bench/readerbench" "${args[@]}" | tee "$work/table.txt" || status=$?
echo "(table kept in $work/table.txt; logs and traces of each row in $work)"
exit "$status"
