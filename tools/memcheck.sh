#!/usr/bin/env bash
# Runs corlune under valgrind's memcheck on the bundled example (twice, the
# second time with --sync and two threads over the set the first
# published; a third and a fourth time separating its voices, by fragment
# and by pitch), on a copy cut short inside its header (a run refused by
# the reader), on a stereo FLAC file of
# the fuzzing seeds, and on the example piped into standard input with
# three threads and the joint tracker; corlune-score on the example and
# its sources, and on sources it refuses; and the sample arrays of the
# Python package (test_signalsource); fails on any memory error or leak. Needs a built
# $BUILD/corlune and $BUILD/corlune-score (default build/, made by make
# test or make demo).
#
# FFTW keeps its planner's tables until the process exits; those blocks are
# still reachable at exit by design and are the only ones let through.
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${BUILD:-build}/corlune
score=${BUILD:-build}/corlune-score
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/out"
cat >"$tmp/fftw.supp" <<'EOF'
{
   fftw-planner-tables-held-until-exit
   Memcheck:Leak
   match-leak-kinds: reachable
   ...
   obj:*/libfftw3.so*
}
EOF

memcheck_program() {  # program expected-status args...
  local program=$1 want=$2 status=0
  shift 2
  valgrind --quiet --error-exitcode=3 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --suppressions="$tmp/fftw.supp" "$program" "$@" >/dev/null || status=$?
  if [ "$status" -ne "$want" ]; then
    echo "memcheck: $(basename "$program") $* exited with $status, expected $want (3: memory error or leak)"
    exit 1
  fi
}
memcheck() { memcheck_program "$exe" "$@"; }

memcheck 0 examples/twovoice.wav "$tmp/out"
memcheck 0 --sync --threads=2 examples/twovoice.wav "$tmp/out"   # replaces the set just published
head -c 40 examples/twovoice.wav >"$tmp/cut.wav"
memcheck 1 "$tmp/cut.wav" "$tmp/out"
memcheck 0 --mix fuzz/corpus/wav/stereo8k.flac "$tmp/out"
memcheck 0 --threads=3 --tracker=joint --name=piped - "$tmp/out" < <(cat examples/twovoice.wav)
memcheck 0 --separate --threads=2 examples/twovoice.wav "$tmp/out"
memcheck 0 --separate=pitch examples/twovoice.wav "$tmp/out"
memcheck_program "$score" 0 examples/twovoice.wav examples/twovoice.src1.wav examples/twovoice.src2.wav
memcheck_program "$score" 1 examples/twovoice.wav examples/twovoice.src1.wav examples/twovoice.src1.wav
# Arrays in memory as the Python package hands them over: every element
# type, strides forwards and backwards, refused samples.
status=0
valgrind --quiet --error-exitcode=3 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=all --suppressions="$tmp/fftw.supp" \
  "${BUILD:-build}/tests/test_signalsource" --gtest_brief=1 \
  --gtest_filter='SampleView.*:SignalSource.ABad*:SignalSource.EveryView*' || status=$?
if [ "$status" -ne 0 ]; then
  echo "memcheck: test_signalsource exited with $status (3: memory error or leak)"
  exit 1
fi
echo "memcheck: no errors, no leaks"
