#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time on its seed corpus. Usage: tools/fuzz.sh [SECONDS_PER_TARGET]
# Crashes are written to build-fuzz/artifacts/ and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORLUNE_FUZZ=ON -DCORLUNE_SANITIZE=ON -DCORLUNE_TESTS=OFF -DCORLUNE_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_wavreader fuzz_pipeline fuzz_float32

mkdir -p "$build/artifacts"
run() {  # target corpus max_len
  local work="$build/corpus-$1"
  mkdir -p "$work"
  echo "== fuzz_$1: ${secs}s =="
  "$build/fuzz/fuzz_$1" "$work" "fuzz/corpus/$2" -max_total_time="$secs" -max_len="$3" \
    -artifact_prefix="$build/artifacts/$1-" -print_final_stats=1 2>&1 | tail -n 12
}
run wavreader wav 4096
run pipeline wav 8192
run float32 float32 1024
