#!/usr/bin/env bash
# Builds everything and runs every test: the unit, peer, sound and UI tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded tests again under ThreadSanitizer, and each
# benchmark once, briefly, so none of them rots. Timings are never judged here.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== dev (ASan + UBSan)"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"

echo "== tsan (threaded tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

echo "== benchmarks (one short run each)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target benchmarks
shopt -s nullglob
for bench in build/release/bench/*_bench; do
  "$bench" --benchmark_min_time=0.01 >/dev/null
  echo "ran $(basename "$bench")"
done

echo "== fuzzing (bounded runs)"
bash scripts/fuzz.sh
