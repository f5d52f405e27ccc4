#!/usr/bin/python3
"""Times corlune.analyze against the program on the same recording: runs
alternate (the program, then analyze on the samples, then analyze_file), and
the medians and their ratio are printed, with the peak resident memory of
each (the program's from /usr/bin/time; the package's in a fresh interpreter
that reads the samples of a 16-bit WAV, resets its peak and analyses them:
its peak minus what it held before).

    PYTHONPATH=build/python /usr/bin/python3 -P bench/python_bench.py \\
        --exe build/corlune --seconds 60 --runs 7 [--threads 1] [--wav FILE]

Without --wav, a two-voice recording of --seconds at --rate Hz is generated
(16-bit WAV in a temporary directory). Identity is checked on the way: the
arrays must equal the program's files byte for byte.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

import corlune

SUFFIXES = ("frmseg", "f0cands", "f0tracks", "groups", "mask", "f0labels")
MEMORY_PROBE = """
import sys, wave, numpy as np, corlune

def kib(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))

with wave.open(sys.argv[1]) as w:   # 16-bit mono
    srate, x = w.getframerate(), np.frombuffer(w.readframes(w.getnframes()), "<i2") / 32768.0
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")                     # the peak starts again from here
before = kib("VmRSS")
res = corlune.analyze(x, srate, threads=int(sys.argv[2]))
print(before, kib("VmHWM"))
"""

def two_voices(srate, seconds):
    t = np.arange(int(srate * seconds)) / srate
    x = np.zeros_like(t)
    for f0, depth, level in ((120.0, 20.0, 0.25), (210.0, 30.0, 0.18)):
        phase = 2 * np.pi * np.cumsum(f0 + depth * np.sin(2 * np.pi * 0.3 * t)) / srate
        for h in range(1, 16):
            x += level / h * np.sin(h * phase)
    x += 0.01 * np.random.default_rng(1).standard_normal(len(t))
    return np.round(np.clip(x, -1, 1) * 32767).astype("<i2")


def write_wav(path, pcm, srate):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(srate)
        w.writeframes(pcm.tobytes())


def run_program(exe, wav, out, threads):
    """Wall seconds of one run of the program, and its peak RSS in MB (from
    /usr/bin/time: a child of this interpreter would inherit its peak)."""
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", exe, "--quiet", f"--threads={threads}",
                           wav, out], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{exe} failed on {wav}: {done.stderr}")
    return seconds, int(done.stderr.split()[-1]) / 1024


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def check_identity(res, prefix):
    for s in SUFFIXES:
        with open(f"{prefix}.{s}", "rb") as f:
            if f.read() != getattr(res, s).tobytes():
                sys.exit(f"{s} differs from the program's file")


def package_memory(wav, threads):
    """Peak RSS in MB that analyze adds to an interpreter holding the samples."""
    out = subprocess.run([sys.executable, "-P", "-c", MEMORY_PROBE, wav, str(threads)],
                         check=True, capture_output=True, text=True).stdout.split()
    before, after = (int(v) / 1024 for v in out)
    return before, after


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, help="the corlune program to compare with")
    parser.add_argument("--wav", help="recording to analyse (default: generated)")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rate", type=int, default=16000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        wav = args.wav
        if wav is None:
            wav = os.path.join(tmp, "bench.wav")
            write_wav(wav, two_voices(args.rate, args.seconds), args.rate)
        out = os.path.join(tmp, "out")
        os.mkdir(out)
        prefix = os.path.join(out, os.path.splitext(os.path.basename(wav))[0])
        x, srate = corlune.read_audio(wav)
        times = {"program": [], "analyze": [], "analyze_file": []}
        rss = []
        for _ in range(args.runs):
            seconds, peak = run_program(args.exe, wav, out, args.threads)
            times["program"].append(seconds)
            rss.append(peak)
            seconds, res = timed(lambda: corlune.analyze(x, srate, threads=args.threads))
            times["analyze"].append(seconds)
            check_identity(res, prefix)
            seconds, res = timed(lambda: corlune.analyze_file(wav, threads=args.threads))
            times["analyze_file"].append(seconds)
            del res
        before, after = package_memory(wav, args.threads)
    audio = len(x) / srate
    base = statistics.median(times["program"])
    print(f"{audio:.1f} s at {srate} Hz, {args.threads} thread(s), {args.runs} alternating runs")
    for name, values in times.items():
        m = statistics.median(values)
        print(f"{name:13s} median {m:7.3f} s  (min {min(values):.3f}, max {max(values):.3f})"
              f"  ratio to the program {m / base:.3f}")
    print(f"peak RSS: program {statistics.median(rss):.1f} MB; analyze adds {after - before:.1f} MB "
          f"to an interpreter holding the samples ({before:.1f} MB before, peak {after:.1f} MB)")


if __name__ == "__main__":
    main()
