#!/usr/bin/env bash
# Runs corlune on the bundled example under valgrind's memcheck; fails on any
# memory error or leak. Needs a built build/corlune (make test or make demo).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --quiet --error-exitcode=3 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=all build/corlune examples/twovoice.wav "$out"
echo "memcheck: no errors, no leaks"
