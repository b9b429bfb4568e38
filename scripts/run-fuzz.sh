#!/usr/bin/env bash
# Builds every libFuzzer target (the "fuzz" preset, clang) and runs each for
# SECONDS seconds (default 20) against a scratch copy of its seed corpus in
# fuzz/corpus/<target>/, so the committed seeds stay as they are.
# Exits non-zero when any target crashes, hangs, leaks or trips a sanitizer;
# the input that did it is kept in build-fuzz/artifacts/.
#
#   bash scripts/run-fuzz.sh 600                  # ten minutes per target
#   FUZZ_TARGETS=fuzz_hid_response bash scripts/run-fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
jobs="${FUZZ_BUILD_JOBS:-2}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_all -j"$jobs"

artifacts="build-fuzz/artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

targets="${FUZZ_TARGETS:-}"
if [ -z "$targets" ]; then
  for src in fuzz/fuzz_*.cpp; do targets="$targets $(basename "$src" .cpp)"; done
fi

failed=0
for name in $targets; do
  bin="build-fuzz/fuzz/$name"
  corpus="$work/$name"
  mkdir -p "$corpus"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  echo "== $name: ${seconds}s =="
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done)' "$work/$name.log" || true
  else
    echo "!! $name failed; the last lines of its log:"
    tail -40 "$work/$name.log"
    failed=1
  fi
done
exit "$failed"
