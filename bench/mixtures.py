#!/usr/bin/python3
"""Two-talker mixtures with their premixed sources and known F0, for scoring
separations and pitch tracks.

Each mixture is named KIND-LEVEL-SEED, e.g. crossing+6-3:
  KIND   what the two voices do (see KINDS below): synthetic voices (harmonic
         complexes under formant-like envelopes, in syllables) or two espeak-ng
         voices reading different sentences;
  LEVEL  source 1's level over source 2's in dB (-6, 0, +6), over the whole
         signals;
  SEED   0 .. 5; seeds 0 .. 2 form the tuning part, 3 .. 5 the held-out test
         part (`--split tune` / `--split test`): tune on one, report the other.

Source 1 is the voice that starts lower in F0. The mixture is the sum of the
sources, sample for sample, scaled so that its peak is 0.5 of full scale (the
sources carry the same scale). Everything depends only on the name and the
rate, so a mixture is the same wherever it is made.

    bench/mixtures.py list [--split tune|test|all]
    bench/mixtures.py make [--rate 16000] [--split tune|test|all] DIR [NAME ...]

`make` writes, per mixture, DIR/NAME.mix.wav, NAME.src1.wav, NAME.src2.wav
(mono 32-bit float) and NAME.f0.json: the frames of the analysis (10 ms shift,
30 ms window; frame j covers samples (j+1)S-W .. (j+1)S-1) with each source's
true F0 in Hz at the centre of each frame's window, 0 where the source is
silent or its envelope below a tenth of its peak; null for espeak-ng voices,
whose F0 is not known here. As a module: mixture(name, rate) returns the same
as a dict of numpy arrays.

Needs numpy; the speech kinds also need espeak-ng and sox.
"""
import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

LEVELS = (-6, 0, 6)
SEEDS = range(6)
TUNE_SEEDS = (0, 1, 2)
PEAK = 0.5

# Synthetic kinds: (description, F0 contour maker). Each maker takes a random
# generator and the duration and returns two functions of time (s) -> F0 (Hz)
# and the onset delay of voice 2 (s).


def _apart(rng, dur):
    a0, b0 = rng.uniform(95, 125), rng.uniform(185, 235)
    da, db = rng.uniform(-15, 15), rng.uniform(-25, 25)
    return (lambda t: a0 + da * t / dur), (lambda t: b0 + db * t / dur), 0.0


def _crossing(rng, dur):
    lo, hi = rng.uniform(100, 120), rng.uniform(190, 230)
    return (lambda t: lo + (hi - lo) * t / dur), (lambda t: hi + (lo - hi) * t / dur), 0.0


def _gliding(rng, dur):
    a0, b0 = rng.uniform(100, 115), rng.uniform(195, 215)
    fa, fb = rng.uniform(0.3, 0.6), rng.uniform(0.3, 0.6)
    return (lambda t: a0 * (1.0 + 0.2 * math.sin(2 * math.pi * fa * t)),
            lambda t: b0 * (1.0 + 0.2 * math.sin(2 * math.pi * fb * t + 1.0)), 0.0)


def _staggered(rng, dur):
    a0, b0 = rng.uniform(100, 130), rng.uniform(180, 230)
    return (lambda t: a0 * (1.0 - 0.1 * t / dur)), (lambda t: b0 * (1.0 + 0.1 * t / dur)), \
        rng.uniform(0.6, 1.0)


def _vibrato(rng, dur):
    a0, b0 = rng.uniform(100, 130), rng.uniform(180, 230)
    ra, rb = rng.uniform(4.5, 6.5), rng.uniform(4.5, 6.5)
    return (lambda t: a0 * (1.0 + 0.04 * math.sin(2 * math.pi * ra * t)),
            lambda t: b0 * (1.0 + 0.05 * math.sin(2 * math.pi * rb * t)), 0.0)


def _same_range(rng, dur):
    a0, b0 = rng.uniform(110, 125), rng.uniform(125, 145)
    fa, fb = rng.uniform(0.4, 0.8), rng.uniform(0.4, 0.8)
    return (lambda t: a0 * (1.0 + 0.12 * math.sin(2 * math.pi * fa * t)),
            lambda t: b0 * (1.0 + 0.12 * math.sin(2 * math.pi * fb * t + 2.0)), 0.0)


SYNTHETIC = {
    "apart": ("F0 ranges apart (about 110 and 210 Hz), slow drifts", _apart),
    "crossing": ("one rises and one falls through the other's range, crossing midway", _crossing),
    "gliding": ("both glide by +-20 % in ranges apart (80 to 140 and 155 to 260 Hz)", _gliding),
    "staggered": ("voice 2 starts 0.6 to 1.0 s after voice 1 and ends later", _staggered),
    "vibrato": ("4 to 5 % vibrato at 4.5 to 6.5 Hz on both", _vibrato),
    "same-range": ("both within about 100 to 160 Hz, with different contours", _same_range),
}

# Speech kinds: two espeak-ng voices (voice, pitch parameter).
SPEECH = {
    "speech-mf": ("espeak-ng, a male and a female voice", ("en-us+m3", 45), ("en-us+f3", 55)),
    "speech-mm": ("espeak-ng, two male voices of different pitch", ("en-us+m1", 25), ("en-gb+m4", 60)),
}
KINDS = dict({k: v[0] for k, v in SYNTHETIC.items()}, **{k: v[0] for k, v in SPEECH.items()})
# The kinds whose talkers' F0 ranges overlap or cross: where telling the
# voices apart by F0 range is expected to fail.
OVERLAPPING = ("crossing", "same-range", "speech-mm")

SENTENCES = [
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It is easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
    "The juice of lemons makes fine punch.",
    "The box was thrown beside the parked truck.",
    "Four hours of steady work faced us.",
    "A large size in stockings is hard to sell.",
    "The boy was there when the sun rose.",
    "A rod is used to catch pink salmon.",
    "The source of the huge river is the clear spring.",
]

# Vowel-like formant sets: (centre Hz, bandwidth Hz, level).
VOWELS = [
    [(730, 90, 1.0), (1090, 110, 0.5), (2440, 160, 0.25)],
    [(270, 60, 1.0), (2290, 100, 0.4), (3010, 170, 0.3)],
    [(530, 80, 1.0), (1840, 100, 0.5), (2480, 150, 0.25)],
    [(570, 80, 1.0), (840, 90, 0.7), (2410, 160, 0.2)],
    [(300, 60, 1.0), (870, 90, 0.5), (2240, 150, 0.2)],
    [(640, 90, 1.0), (1190, 110, 0.6), (2390, 160, 0.25)],
    [(440, 70, 1.0), (1020, 100, 0.6), (2240, 150, 0.25)],
]


def parse_name(name):
    """(kind, level dB, seed) of a mixture name KIND-LEVEL-SEED."""
    kind, sep, rest = name.rpartition("-")
    seed = int(rest)
    for level in LEVELS:
        tag = f"{level:+d}" if level else "0"
        if kind.endswith(tag) and kind[: -len(tag)] in KINDS:
            return kind[: -len(tag)], level, seed
    raise ValueError(f"not a mixture name: {name}")


def names(split="all"):
    seeds = {"tune": TUNE_SEEDS, "test": tuple(s for s in SEEDS if s not in TUNE_SEEDS),
             "all": tuple(SEEDS)}[split]
    return [f"{kind}{level:+d}-{seed}" if level else f"{kind}0-{seed}"
            for kind in KINDS for level in LEVELS for seed in seeds]


def split_of(name):
    return "tune" if parse_name(name)[2] in TUNE_SEEDS else "test"


def _rng(name, part):
    # A seed from the name and the part only (not Python's salted hash).
    h = 2166136261
    for ch in f"{name}/{part}".encode():
        h = ((h ^ ch) * 16777619) & 0xFFFFFFFF
    return np.random.default_rng(h)


def _syllables(rng, start, end):
    """Syllable-like bursts (on, off, vowel, level) filling start .. end."""
    out, t = [], start
    while True:
        dur = rng.uniform(0.15, 0.40)
        if t + dur > end:
            break
        out.append((t, t + dur, int(rng.integers(len(VOWELS))), 10 ** (rng.uniform(-3, 3) / 20)))
        t += dur + rng.uniform(0.04, 0.15)
    return out


def _envelope(gain_at, formants, f):
    g = np.zeros_like(f)
    for centre, bandwidth, level in formants:
        g += level / (1.0 + ((f - centre) / bandwidth) ** 2)
    return gain_at * g * 200.0 / np.maximum(f, 200.0)


def _synthetic_voice(rng, rate, n, f0_of, start, end):
    """A harmonic voice: F0 contour f0_of(t), syllables within start .. end s.
    Returns the samples and the envelope (0 .. 1) and F0 per sample."""
    t = np.arange(n) / rate
    f0 = np.array([f0_of(x) for x in t])
    phase = 2 * np.pi * np.cumsum(f0) / rate
    top = min(7000.0, 0.45 * rate)
    x = np.zeros(n)
    env = np.zeros(n)
    ramp = 0.02
    for on, off, vowel, level in _syllables(rng, start, end):
        i0, i1 = int(on * rate), min(n, int(off * rate))
        tt = t[i0:i1]
        a = np.minimum(1.0, np.minimum((tt - on) / ramp, (off - tt) / ramp))
        a = 0.5 - 0.5 * np.cos(np.pi * np.clip(a, 0.0, 1.0))
        seg = np.zeros(i1 - i0)
        h = 1
        while True:
            fh = h * f0[i0:i1]
            if fh.min() >= top:
                break
            gain = _envelope(1.0, VOWELS[vowel], fh) * (fh < top)
            seg += gain * np.sin(h * phase[i0:i1])
            h += 1
        x[i0:i1] += level * a * seg
        env[i0:i1] = np.maximum(env[i0:i1], a)
    return x, env, f0


def _frame_f0(rate, n, env, f0):
    shift, window = int(round(rate * 0.01)), int(round(rate * 0.03))
    frames = -(-n // shift)
    centres = [(j + 1) * shift - window // 2 for j in range(frames)]
    out = []
    for c in centres:
        voiced = 0 <= c < n and env[c] >= 0.1
        out.append(round(float(f0[c]), 3) if voiced else 0.0)
    return shift, window, frames, out


def _espeak(text, voice, pitch, rate, workdir, tag):
    raw, res = os.path.join(workdir, tag + ".raw.wav"), os.path.join(workdir, tag + ".wav")
    subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-s", "150", "-w", raw, text],
                   check=True)
    # At half the level, so that the resampler's overshoot never clips.
    subprocess.run(["sox", "-D", "-v", "0.5", raw, "-e", "floating-point", "-b", "32", res, "rate",
                    "-v", str(rate)], check=True)
    with open(res, "rb") as f:
        data = f.read()
    return _float_wav_samples(data)


def _float_wav_samples(data):
    """Samples of a mono 32-bit float WAV image (as sox writes them)."""
    pos = 12
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], int.from_bytes(data[pos + 4:pos + 8], "little")
        if tag == b"data":
            return np.frombuffer(data[pos + 8:pos + 8 + size], dtype="<f4").astype(np.float64)
        pos += 8 + size + (size & 1)
    raise ValueError("no data chunk")


def _speech_sources(kind, seed, rate):
    _, (va, pa), (vb, pb) = SPEECH[kind]
    rng = _rng(f"{kind}-{seed}", "text")
    i, j = rng.choice(len(SENTENCES), size=2, replace=False)
    with tempfile.TemporaryDirectory() as tmp:
        a = _espeak(SENTENCES[i], va, pa, rate, tmp, "a")
        b = _espeak(SENTENCES[j], vb, pb, rate, tmp, "b")
    delay = int(rate * rng.uniform(0.0, 0.3))
    n = max(len(a), len(b) + delay)
    s1, s2 = np.zeros(n), np.zeros(n)
    s1[:len(a)] = a
    s2[delay:delay + len(b)] = b
    return s1, s2, None, None


def _synthetic_sources(kind, seed, rate):
    dur = 3.0
    rng = _rng(f"{kind}-{seed}", "voices")
    fa, fb, delay = SYNTHETIC[kind][1](rng, dur)
    n = int(rate * (dur + delay))
    a, env_a, f0_a = _synthetic_voice(rng, rate, n, fa, 0.1, dur - 0.1)
    b, env_b, f0_b = _synthetic_voice(rng, rate, n, lambda t: fb(t - delay), 0.1 + delay,
                                      dur + delay - 0.1)
    return a, b, (env_a, f0_a), (env_b, f0_b)


def mixture(name, rate):
    """The mixture `name` at `rate` Hz: a dict with mix, src1, src2 (float64
    arrays), f0 (frames x 2 list, or None), shift, window, frames and the
    name's parts."""
    kind, level, seed = parse_name(name)
    if kind in SPEECH:
        s1, s2, t1, t2 = _speech_sources(kind, seed, rate)
    else:
        s1, s2, t1, t2 = _synthetic_sources(kind, seed, rate)
    r1, r2 = np.sqrt(np.mean(s1 ** 2)), np.sqrt(np.mean(s2 ** 2))
    s1 = s1 * (10 ** (level / 20) * r2 / r1)
    scale = PEAK / np.max(np.abs(s1 + s2))
    s1, s2 = (s1 * scale).astype(np.float32), (s2 * scale).astype(np.float32)
    # The mixture as stored is the float32 sum of the stored sources.
    mix = (s1 + s2).astype(np.float32)
    n = len(mix)
    shift, window = int(round(rate * 0.01)), int(round(rate * 0.03))
    frames = -(-n // shift)
    f0 = None
    if t1 is not None:
        f0 = list(zip(_frame_f0(rate, n, *t1)[3], _frame_f0(rate, n, *t2)[3]))
    return {"name": name, "kind": kind, "level_db": level, "seed": seed, "split": split_of(name),
            "rate": rate, "mix": mix.astype(np.float64), "src1": s1.astype(np.float64),
            "src2": s2.astype(np.float64), "shift": shift, "window": window, "frames": frames,
            "f0": f0}


def write_float_wav(path, samples, rate):
    data = np.asarray(samples, dtype="<f4").tobytes()
    fmt = (3).to_bytes(2, "little") + (1).to_bytes(2, "little") + rate.to_bytes(4, "little") + \
        (rate * 4).to_bytes(4, "little") + (4).to_bytes(2, "little") + (32).to_bytes(2, "little")
    body = b"WAVE" + b"fmt " + len(fmt).to_bytes(4, "little") + fmt + b"data" + \
        len(data).to_bytes(4, "little") + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + len(body).to_bytes(4, "little") + body)


def write(m, outdir):
    """Writes the WAVs and the F0 file of mixture dict m into outdir; returns
    the path prefix."""
    prefix = os.path.join(outdir, m["name"])
    for part in ("mix", "src1", "src2"):
        write_float_wav(f"{prefix}.{part}.wav", m[part], m["rate"])
    meta = {k: m[k] for k in ("name", "kind", "level_db", "seed", "split", "rate", "shift",
                              "window", "frames")}
    if m["f0"] is None:
        meta["f0_1"] = meta["f0_2"] = None
    else:
        meta["f0_1"] = [a for a, _ in m["f0"]]
        meta["f0_2"] = [b for _, b in m["f0"]]
    with open(prefix + ".f0.json", "w") as f:
        json.dump(meta, f)
        f.write("\n")
    return prefix


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    ls = sub.add_parser("list", help="names of the mixtures and what their kinds are")
    ls.add_argument("--split", choices=("tune", "test", "all"), default="all")
    mk = sub.add_parser("make", help="write mixtures into DIR")
    mk.add_argument("dir")
    mk.add_argument("--rate", type=int, default=16000)
    mk.add_argument("--split", choices=("tune", "test", "all"), default="all")
    mk.add_argument("names", nargs="*", help="mixtures to make (default: all of the split)")
    args = ap.parse_args()
    if args.command == "list":
        for kind, text in KINDS.items():
            print(f"# {kind}: {text}")
        for name in names(args.split):
            print(name, split_of(name))
        return 0
    if any(parse_name(n)[0] in SPEECH for n in (args.names or names(args.split))):
        for tool in ("espeak-ng", "sox"):
            if shutil.which(tool) is None:
                print(f"mixtures.py: {tool} is needed for the speech mixtures", file=sys.stderr)
                return 1
    os.makedirs(args.dir, exist_ok=True)
    for name in args.names or names(args.split):
        print(write(mixture(name, args.rate), args.dir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
