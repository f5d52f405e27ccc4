#!/usr/bin/python3
"""Runs the C++ program and the independent reference on generated signals
and compares the five result files byte for byte.

    /usr/bin/python3 tests/reference/crosscheck.py CORLUNE_EXE [--count N] [--seed S]
    /usr/bin/python3 tests/reference/crosscheck.py CORLUNE_EXE --wav FILE...

Each signal mixes one to three gliding harmonic voices (random F0s from 70
to 400 Hz, random spectral tilt and gating) with optional noise, at a
random sample rate. Prints one line per signal and ends with
"N passed, N failed"; exit status 1 when any file differs.
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from selfcheck import write_wav  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SUFFIXES = ("frmseg", "f0cands", "f0tracks", "groups", "mask")
RATES = (8000, 11025, 16000, 22050, 32000, 44100, 48000)


def voice(rng, srate, n):
    f0a, f0b = rng.uniform(70.0, 400.0, 2)
    t = np.arange(n)
    f0 = f0a + (f0b - f0a) * t / max(1, n - 1)
    phase = np.cumsum(2.0 * np.pi * f0 / srate)
    tilt = rng.uniform(0.5, 1.5)
    x = np.zeros(n)
    for h in range(1, 60):
        x += np.where(h * f0 < 0.45 * srate, np.sin(h * phase) / h ** tilt, 0.0)
    period = int(srate * rng.uniform(0.15, 0.6))
    gate = (t % period) < period * rng.uniform(0.4, 1.0)
    return x * gate * rng.uniform(0.05, 0.4) / 2.0


def signal(rng):
    srate = int(rng.choice(RATES))
    n = int(srate * rng.uniform(0.3, 1.5))
    x = sum(voice(rng, srate, n) for _ in range(rng.integers(1, 4)))
    if rng.random() < 0.5:
        x = x + rng.standard_normal(n) * rng.uniform(0.001, 0.05)
    return x, srate


def compare(exe, wav, work):
    """Names of the result files that differ (empty when all agree)."""
    out = {}
    for who in ("cpp", "ref"):
        out[who] = os.path.join(work, who)
        os.makedirs(out[who], exist_ok=True)
    subprocess.run([exe, wav, out["cpp"]], check=True)
    subprocess.run([sys.executable, os.path.join(HERE, "corlune_ref.py"), wav, out["ref"]],
                   check=True)
    stem = os.path.splitext(os.path.basename(wav))[0]
    differ = []
    for s in SUFFIXES:
        with open(os.path.join(out["cpp"], stem + "." + s), "rb") as a, \
                open(os.path.join(out["ref"], stem + "." + s), "rb") as b:
            if a.read() != b.read():
                differ.append(s)
    return differ


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--count", type=int, default=4)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--wav", nargs="*", default=[])
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    passed = failed = 0
    with tempfile.TemporaryDirectory() as work:
        wavs = list(args.wav)
        for i in range(args.count if not wavs else 0):
            x, srate = signal(rng)
            wavs.append(os.path.join(work, "sig%03d_%d.wav" % (i, srate)))
            write_wav(wavs[-1], x, srate)
        for wav in wavs:
            differ = compare(args.exe, wav, work)
            print("%-24s %s" % (os.path.basename(wav), "same" if not differ else
                                "DIFFER: " + " ".join(differ)))
            passed += not differ
            failed += bool(differ)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
