#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# only when they are missing. With --ci it adds the sanitizer, fuzzing and
# memory-checking tools. Needs root (or sudo) on a fresh machine.
set -euo pipefail

pkgs=(build-essential cmake pkg-config libfftw3-dev libsndfile1-dev zlib1g-dev help2man libgtest-dev libgmock-dev
      python3 python3-numpy python3-matplotlib)
if [ "${1:-}" = "--ci" ]; then
  pkgs+=(clang libclang-rt-14-dev valgrind)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
