#!/usr/bin/env bash
# Installs the Python package the way the README says, offline, from a clean
# clone of the committed tree into a fresh virtual environment that sees
# Debian's numpy, pybind11 and setuptools, then runs the README's Python
# quick start as written from the clone's root with the environment's
# interpreter, and corlune-view as pip installed it. The package must come
# from the environment, not from the source tree.
# Usage: tools/pip-check.sh   (CI runs it after `make test`; about two minutes)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

git clone -q "$src" "$tmp/clone"
/usr/bin/python3 -m venv --system-site-packages "$tmp/venv"
# As documented: no package index, the build requirements from Debian.
"$tmp/venv/bin/pip" install -q --no-index --no-build-isolation "$tmp/clone"

cd "$tmp/clone"
mv python python.moved   # nothing may be imported from the sources
awk '/<!-- python-quickstart -->/ {on = 1; next}
     on && /^```python/ {code = 1; next}
     code && /^```/ {exit}
     code {print}' README.md > "$tmp/quickstart.py"
test -s "$tmp/quickstart.py"
"$tmp/venv/bin/python" "$tmp/quickstart.py"
"$tmp/venv/bin/python" -c 'import corlune, sys; assert corlune.__file__.startswith(sys.prefix), corlune.__file__'
"$tmp/venv/bin/corlune-view" out/twovoice-py | grep -q '^frames'
echo "pip check passed"
