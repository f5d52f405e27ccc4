#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# only when they are missing. With --ci it adds the sanitizer, fuzzing and
# memory-checking tools; with --slurm, Slurm and munge for
# tools/slurm-check.sh, which starts daemons of its own (where a service
# manager runs, the packages also enable the system's munge service). Needs
# root (or sudo) on a fresh machine.
set -euo pipefail

pkgs=(build-essential cmake pkg-config libfftw3-dev libsndfile1-dev zlib1g-dev help2man libgtest-dev libgmock-dev
      python3 python3-numpy python3-matplotlib python3-dev pybind11-dev python3-pybind11
      python3-setuptools python3-wheel python3-pip python3-venv)
for option in "$@"; do
  case $option in
    --ci) pkgs+=(clang libclang-rt-14-dev valgrind) ;;
    --slurm) pkgs+=(slurm-wlm munge) ;;
    *) echo "usage: $0 [--ci] [--slurm]" >&2; exit 2 ;;
  esac
done

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
