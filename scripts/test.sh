#!/usr/bin/env bash
# Builds everything and runs every test: the unit, peer, sound and UI tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded tests again under ThreadSanitizer, each benchmark
# once, briefly, so none of them rots (timings are never judged here), and the fuzz targets for a
# bounded time. Ends with one summary line of the test counts.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# A compiler cache, where one is installed, shares objects between checkouts and runs; the build
# works the same without it. Paths are hashed relative to the checkout, so any clone hits.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Runs ctest with the given arguments, keeping its output for the summary.
run_ctest() {
  local name=$1
  shift
  ctest "$@" 2>&1 | tee "$logs/$name.log"
  return "${PIPESTATUS[0]}"
}

echo "== dev (ASan + UBSan)"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
run_ctest dev --preset dev -j "$jobs"

echo "== tsan (threaded tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
run_ctest tsan --preset tsan -j "$jobs"

echo "== benchmarks (one short run each)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target benchmarks
shopt -s nullglob
for bench in build/release/bench/*_bench; do
  "$bench" --benchmark_min_time=0.01 >/dev/null
  echo "ran $(basename "$bench")"
done

echo "== fuzzing (bounded runs)"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} bash scripts/fuzz.sh

passed=0
failed=0
for log in "$logs"/*.log; do
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  [ -n "$line" ] || continue
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo "summary: $passed passed, $failed failed"
