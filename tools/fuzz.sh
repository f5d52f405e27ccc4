#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time on its seed corpus. Usage: tools/fuzz.sh [SECONDS_PER_TARGET]
# (JOBS=N sets the build parallelism, default 2). Inputs that add coverage are
# kept in build-fuzz/corpus-<target>/ and reused by the next run. A crash, a
# broken invariant, a leak or an input slower than 10 s is written to
# build-fuzz/artifacts/ and makes the script fail, after all targets ran.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
jobs=${JOBS:-2}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORLUNE_FUZZ=ON -DCORLUNE_SANITIZE=ON -DCORLUNE_TESTS=OFF -DCORLUNE_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target fuzz_wavreader fuzz_pipeline fuzz_float32 fuzz_samples fuzz_resynth

mkdir -p "$build/artifacts"
failed=()
run() {  # target corpus max_len
  local work="$build/corpus-$1" log="$build/fuzz-$1.log"
  mkdir -p "$work"
  echo "== fuzz_$1: ${secs}s =="
  if "$build/fuzz/fuzz_$1" "$work" "fuzz/corpus/$2" -max_total_time="$secs" -max_len="$3" \
       -timeout=10 -artifact_prefix="$build/artifacts/$1-" -print_final_stats=1 >"$log" 2>&1; then
    grep -E '^Done|^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$log"
  else
    # A finding's report starts at its first error line.
    awk '/violated:|ERROR:|ALARM:/ { p = 1 } p' "$log" | head -n 80
    echo "fuzz_$1 FAILED (full log: $log)"
    failed+=("$1")
  fi
}
run wavreader wav 4096
run pipeline wav 8192
run float32 float32 1024
run samples samples 16384
run resynth resynth 8192

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
