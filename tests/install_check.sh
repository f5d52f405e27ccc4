#!/bin/sh
# Installs the build into a temporary prefix and runs what a user runs from
# there: corlune on a generated recording, corlune-view on its results (with
# the Python modules found relative to the installed script), and the man
# page when one was made. Usage: install_check.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
bin=$tmp/prefix/bin
test -x "$bin/corlune"
test -x "$bin/corlune-view"
test -x "$bin/corlune-score"
test -f "$tmp/prefix/share/doc/corlune/README.md"
test -x "$tmp/prefix/share/corlune/slurm_array.sh"
"$bin/corlune" --version | head -n 1 | grep -q '^corlune '
mkdir "$tmp/out"
cp "$src/examples/twovoice.wav" "$tmp/utt.wav"
# The installed viewer runs from anywhere, without the source tree.
cd "$tmp"
"$bin/corlune" utt.wav out
"$bin/corlune-view" out/utt | grep -q '^frames'
"$bin/corlune-score" --json utt.wav "$src/examples/twovoice.src1.wav" \
    "$src/examples/twovoice.src2.wav" | grep -q '"voices":'
if [ -f "$build/corlune.1" ]; then
    test -f "$tmp/prefix/share/man/man1/corlune.1"
    grep -q 'fB.-.-channel' "$tmp/prefix/share/man/man1/corlune.1"
fi
echo "install check passed"
