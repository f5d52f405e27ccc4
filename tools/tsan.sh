#!/usr/bin/env bash
# Builds the threaded parts under ThreadSanitizer and runs them: the worker
# pool's and the streaming analysis's tests, and the program on the bundled
# example (also separating its voices) and on standard input with three
# threads. Fails on any data race or other report. (FFTW and libsndfile
# are not instrumented; what they do inside a call is not seen, the calls
# themselves are.)
# Usage: tools/tsan.sh   (JOBS=N sets the build parallelism, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORLUNE_TSAN=ON -DCORLUNE_WERROR=ON \
  -DCORLUNE_BENCH=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target corlune test_workerpool test_streamanalysis
export TSAN_OPTIONS="halt_on_error=1 exitcode=66"
"$build/tests/test_workerpool"
"$build/tests/test_streamanalysis" --gtest_filter='*ThreadCount*:*Timer*'
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/corlune" --threads=3 examples/twovoice.wav "$tmp"
"$build/corlune" --threads=2 --name=piped - "$tmp" < examples/twovoice.wav
"$build/corlune" --threads=2 --separate examples/twovoice.wav "$tmp"
echo "tsan: no reports"
