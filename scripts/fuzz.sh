#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 16 under AddressSanitizer and UndefinedBehaviorSanitizer
# in build/fuzz, and runs each target fuzz/<name>_fuzz for a bounded time (FUZZ_SECONDS, default
# 30) on a scratch copy of its committed seed corpus fuzz/corpus/<name>/. Any crash or sanitizer
# report fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=build/fuzz

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
  -DOMBRIX_FUZZ=ON -DOMBRIX_SANITIZE=address,undefined \
  -DOMBRIX_BUILD_TESTS=OFF -DOMBRIX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_targets

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")_fuzz
  work=$(mktemp -d)
  cp "$seeds"* "$work"/
  echo "fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=65536 -artifact_prefix="$build/$target-" "$work" >"$build/$target.log" 2>&1; then
    tail -n 60 "$build/$target.log"
    rm -rf "$work"
    echo "fuzz: $target failed; the input is in $build/" >&2
    exit 1
  fi
  grep -E '^Done|#[0-9]+.*DONE' "$build/$target.log" | tail -n 1 || true
  rm -rf "$work"
done
