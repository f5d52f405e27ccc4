#!/usr/bin/python3
"""Scores corlune's two pitch trackers, the rule tracker and the joint
tracker, side by side on generated scenes with a reference F0 per voice.

    bench/evaluate_trackers.py [--split tune|test|all] [--work DIR] [--jobs 2]
        [--set NAME=VALUE ...] [--lag N] [--no-separation] [--json FILE]
        [--compare-lag] [--tool PROGRAM]

The scenes:
  - the two-talker mixtures of bench/mixtures.py (synthetic voices with
    known F0: apart, crossing, gliding, staggered, vibrato, same-range; and
    espeak-ng pairs), each at -6, 0 and +6 dB;
  - continuous harmonic complexes on the F0 contours of the synthetic
    kinds (complex-KIND-LEVEL-SEED: no syllables, so both voices sound
    throughout);
  - noise alone (noise-KIND-SEED: white, pink, brown and amplitude-modulated
    pink noise, 3 s);
  - one talker in noise (innoise-TALKER-SNR-SEED: a synthetic voice or an
    espeak-ng voice in pink or modulated noise at 0, +6 and +12 dB SNR).
Seeds 0 .. 2 form the tuning part, 3 .. 5 the held-out part, as in
mixtures.py. The espeak-ng voices' F0 is measured on each clean recording by
Praat (bench/f0_praat.praat), at the analysis frames' centres.

Per frame the reference says which voices are present. Metrics, each a share
of frames, "within 20 %" meaning |F0 - reference| <= 0.2 x reference:
  both20     double-voiced frames whose two written F0s are both voices'
             (one each, within 20 %); cands: the same for two different
             candidates of the frame, what a tracker that never coasts can
             reach
  found20    one-voice frames where some written F0 is the voice's
  second     one-voice frames with two pitches written (a spurious second)
  silent     mixture frames with no voice, with any pitch written
  noise      noise-only frames (noise alone, or a talker in noise where
             the talker is silent) with any pitch written
A frame counts as one-voice or voiceless only when the absent voice is
absent for 2 frames on either side too (onsets and offsets are neither).
Tracks: a track (one label in one slot, a run of frames) belongs to the
voice whose reference its F0 follows in more than half of its frames;
tracks/voice is the mean count per voice and scene, len the median length
in frames, mixed the share of tracks that belong to no voice; runs/voice is
the reference's own count of voiced runs, what a tracker that never breaks
a voiced run would make. Separation (mixtures only; corlune-score's
measures through the library, one analysis and each tracker's fragments):
SI-SDR gains in dB of the voice grouping, ideal sequential grouping and the
ideal binary mask, averaged over the two voices.
"""
import argparse
import concurrent.futures
import json
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mixtures  # noqa: E402

RATE = 16000
MARGIN = 2          # frames around a voice that are neither one-voice nor voiceless
NEAR = 0.2          # "within 20 %"
TRACKERS = ("rule", "joint")

NOISES = ("white", "pink", "brown", "modulated")
TALKERS = ("synth", "speech")
SNRS = (0, 6, 12)


# ---------------------------------------------------------------------------
# The scenes beyond the mixtures: noise alone and one talker in noise

def extra_names(split="all"):
    seeds = {"tune": mixtures.TUNE_SEEDS,
             "test": tuple(s for s in mixtures.SEEDS if s not in mixtures.TUNE_SEEDS),
             "all": tuple(mixtures.SEEDS)}[split]
    out = ["complex-" + n for n in mixtures.names(split)
           if mixtures.parse_name(n)[0] in mixtures.SYNTHETIC]
    out += [f"noise-{k}-{s}" for k in NOISES for s in seeds]
    out += [f"innoise-{t}+{snr}-{s}" for t in TALKERS for snr in SNRS for s in seeds]
    return out


def _noise(kind, rng, n, rate):
    white = rng.standard_normal(n)
    if kind == "white":
        return white
    spectrum = np.fft.rfft(white)
    f = np.maximum(np.fft.rfftfreq(n, 1.0 / rate), 20.0)
    x = np.fft.irfft(spectrum / (f if kind == "brown" else np.sqrt(f)), n)
    if kind == "modulated":
        t = np.arange(n) / rate
        x *= 1.0 + 0.8 * np.sin(2 * np.pi * rng.uniform(1.0, 4.0) * t + rng.uniform(0, 6.3))
    return x


def _complex(rate, n, f0_of, start, end):
    """A continuous harmonic complex with a speech-like tilt (-6 dB per
    octave) from start to end s, 20 ms ramps; its samples, envelope and F0
    per sample."""
    t = np.arange(n) / rate
    f0 = np.array([f0_of(x) for x in t])
    phase = 2 * np.pi * np.cumsum(f0) / rate
    env = np.clip(np.minimum(t - start, end - t) / 0.02, 0.0, 1.0)
    x = np.zeros(n)
    for h in range(1, 200):
        fh = h * f0
        if fh.min() >= min(7000.0, 0.45 * rate):
            break
        x += (fh < 0.45 * rate) * np.sin(h * phase) / h
    return x * env, env, f0


def complex_scene(name, rate):
    """Two continuous harmonic complexes on the F0 contours of a synthetic
    mixture kind (complex-KIND-LEVEL-SEED)."""
    kind, level, seed = mixtures.parse_name(name[len("complex-"):])
    dur = 3.0
    fa, fb, delay = mixtures.SYNTHETIC[kind][1](mixtures._rng(name, "voices"), dur)
    n = int(rate * (dur + delay))
    a, env_a, f0_a = _complex(rate, n, fa, 0.1, dur - 0.1)
    b, env_b, f0_b = _complex(rate, n, lambda t: fb(t - delay), 0.1 + delay, dur + delay - 0.1)
    a *= 10 ** (level / 20) * np.sqrt(np.mean(b ** 2) / np.mean(a ** 2))
    f0 = list(zip(mixtures._frame_f0(rate, n, env_a, f0_a)[3],
                  mixtures._frame_f0(rate, n, env_b, f0_b)[3]))
    return a, b, f0, level, seed


def extra_scene(name, rate):
    """A scene dict as mixtures.mixture gives (mix, src1, src2, f0 ...)."""
    if name.startswith("complex-"):
        voice, noise, f0, level, seed = complex_scene(name, rate)
        return _scene(name, rate, voice, noise, f0, level, seed)
    parts = name.split("-")
    seed = int(parts[-1])
    rng = mixtures._rng(name, "scene")
    if parts[0] == "noise":
        n = 3 * rate
        voice, f0 = np.zeros(n), [0.0] * (-(-n // int(round(rate * 0.01))))
        noise = _noise(parts[1], rng, n, rate)
        level = None
    else:
        talker, snr = parts[1].split("+")
        level = int(snr)
        if talker == "synth":
            a0 = rng.uniform(95, 230)
            n = 3 * rate
            voice, env, f0s = mixtures._synthetic_voice(
                rng, rate, n, lambda t: a0 * (1.0 + 0.1 * math.sin(2 * math.pi * 0.5 * t)), 0.1, 2.9)
            f0 = mixtures._frame_f0(rate, n, env, f0s)[3]
        else:
            kinds = list(mixtures.SPEECH)
            _, va, vb = mixtures.SPEECH[kinds[seed % len(kinds)]]
            v, p = (va, vb)[seed // len(kinds) % 2]
            text = mixtures.SENTENCES[int(rng.integers(len(mixtures.SENTENCES)))]
            with tempfile.TemporaryDirectory() as tmp:
                voice = mixtures._espeak(text, v, p, rate, tmp, "a")
            n = len(voice)
            f0 = None
        noise = _noise(("pink", "modulated")[seed % 2], rng, n, rate)
        noise *= np.sqrt(np.mean(voice ** 2) / np.mean(noise ** 2)) / 10 ** (level / 20)
    return _scene(name, rate, voice, noise, None if f0 is None else [(a, 0.0) for a in f0],
                  level, seed)


def _scene(name, rate, src1, src2, f0, level, seed):
    """The scene dict of two sources, scaled as mixtures.py scales them."""
    shift, window = int(round(rate * 0.01)), int(round(rate * 0.03))
    scale = mixtures.PEAK / np.max(np.abs(src1 + src2))
    src1, src2 = (src1 * scale).astype(np.float32), (src2 * scale).astype(np.float32)
    mix = (src1 + src2).astype(np.float32)
    return {"name": name, "kind": scene_info(name)[0], "level_db": level, "seed": seed,
            "split": "tune" if seed in mixtures.TUNE_SEEDS else "test", "rate": rate,
            "mix": mix.astype(np.float64), "src1": src1.astype(np.float64),
            "src2": src2.astype(np.float64), "shift": shift, "window": window,
            "frames": -(-len(mix) // shift), "f0": f0}


def is_extra(name):
    """True for the scenes of this script (complexes, noise, a talker in noise)."""
    return name.startswith(("complex-", "noise-", "innoise-"))


def is_noisy(name):
    return name.startswith(("noise-", "innoise-"))


def scene_info(name):
    """(kind, seed) of a scene name."""
    if name.startswith("complex-"):
        kind, _, seed = mixtures.parse_name(name[len("complex-"):])
        return "complex-" + kind, seed
    if is_extra(name):
        parts = name.split("-")
        kind = parts[0] + ("-" + parts[1].split("+")[0] if parts[0] != "noise" else "")
        seed = int(parts[-1])
        return kind, seed
    kind, _, seed = mixtures.parse_name(name)
    return kind, seed


# ---------------------------------------------------------------------------
# Files: scenes, references, tracker runs

def ensure_scene(name, directory):
    prefix = os.path.join(directory, name)
    if not all(os.path.exists(f"{prefix}.{p}") for p in ("mix.wav", "src1.wav", "src2.wav",
                                                         "f0.json")):
        scene = extra_scene(name, RATE) if is_extra(name) else mixtures.mixture(name, RATE)
        mixtures.write(scene, directory)
    return prefix


def praat_f0(wav, frames, shift, window, rate, out):
    subprocess.run(["praat", "--run", os.path.join(HERE, "f0_praat.praat"), wav, out,
                    str(frames), str(shift / rate), str((shift - window / 2) / rate)],
                   check=True, capture_output=True)
    with open(out) as f:
        values = [float(line) for line in f if line.strip()]
    if len(values) != frames:
        raise RuntimeError(f"praat gave {len(values)} values for {frames} frames: {wav}")
    return values


def reference(prefix):
    """frames x 2 reference F0s (0 = voice absent) of a scene."""
    path = prefix + ".ref.json"
    if os.path.exists(path):
        with open(path) as f:
            return np.array(json.load(f))
    with open(prefix + ".f0.json") as f:
        meta = json.load(f)
    if meta["f0_1"] is not None:
        ref = np.column_stack([meta["f0_1"], meta["f0_2"]])
    else:
        args = (meta["frames"], meta["shift"], meta["window"], meta["rate"])
        name = os.path.basename(prefix)
        cols = [praat_f0(prefix + ".src1.wav", *args, prefix + ".praat1.txt")]
        cols.append([0.0] * meta["frames"] if is_extra(name)
                    else praat_f0(prefix + ".src2.wav", *args, prefix + ".praat2.txt"))
        ref = np.column_stack(cols)
    with open(path, "w") as f:
        json.dump(ref.tolist(), f)
    return ref


def run_trackers(tool, prefix, sets, lag, separation):
    args = [tool]
    for s in sets:
        args += ["--set", s]
    if lag is not None:
        args += ["--lag", str(lag)]
    args.append(prefix + ".mix.wav")
    if separation:
        args += [prefix + ".src1.wav", prefix + ".src2.wav"]
    out = subprocess.run(args, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{tool} failed on {prefix}: {out.stderr.strip()}")
    return json.loads(out.stdout)


def write_candidates(rows, work):
    """Each scene's candidates as a text file for corlune_trackers
    --candidates (full precision); returns the paths."""
    paths = []
    for r in rows:
        path = os.path.join(work, r["name"] + ".cands.txt")
        with open(path, "w") as f:
            for c in r["result"]["candidates"]:
                f.write(" ".join(repr(float(x)) for x in c) + "\n")
        paths.append(path)
    return paths


def compare_lag(tool, rows, work, sets, lag):
    """Frames where the joint tracker's fixed-lag result differs from its
    full traceback's, over all scenes: (frames, differing frames, scenes
    with a difference)."""
    args = [tool, "--candidates", "--both"] + [a for s in sets for a in ("--set", s)]
    if lag is not None:
        args += ["--lag", str(lag)]
    out = subprocess.run(args + write_candidates(rows, work), capture_output=True, text=True,
                         check=True)
    frames = differ = scenes = 0
    for line in out.stdout.splitlines():
        r = json.loads(line)
        fixed, full = np.array(r["joint"]["f0"]), np.array(r["full"]["f0"])
        same = np.all(fixed == full, axis=1) & np.all(
            np.array(r["joint"]["labels"]) == np.array(r["full"]["labels"]), axis=1)
        frames += len(same)
        differ += int(np.count_nonzero(~same))
        scenes += int(not same.all())
    return frames, differ, scenes


# ---------------------------------------------------------------------------
# Metrics

def near(f0, ref):
    return (f0 > 0) & (ref > 0) & (np.abs(f0 - ref) <= NEAR * ref)


def grow(flags, margin):
    """flags widened by margin frames on either side."""
    out = flags.copy()
    for k in range(1, margin + 1):
        out[k:] |= flags[:-k]
        out[:-k] |= flags[k:]
    return out


def frame_classes(ref):
    present = ref > 0
    around = np.column_stack([grow(present[:, k], MARGIN) for k in (0, 1)])
    both = present[:, 0] & present[:, 1]
    one = [present[:, k] & ~around[:, 1 - k] for k in (0, 1)]
    none = ~around[:, 0] & ~around[:, 1]
    return both, one, none


def both_within(f0, ref):
    straight = near(f0[:, 0], ref[:, 0]) & near(f0[:, 1], ref[:, 1])
    crossed = near(f0[:, 0], ref[:, 1]) & near(f0[:, 1], ref[:, 0])
    return straight | crossed


def any_of(values, ref_col):
    return np.any([near(values[:, k], ref_col) for k in range(values.shape[1])], axis=0)


def cands_both_within(cands, ref):
    """Frames where two different candidates are within 20 % of one voice each."""
    out = np.zeros(len(ref), bool)
    for i in range(cands.shape[1]):
        for j in range(cands.shape[1]):
            if i != j:
                out |= near(cands[:, i], ref[:, 0]) & near(cands[:, j], ref[:, 1])
    return out


def track_runs(f0, labels):
    """(slot, first, last) of each run of one label in one slot."""
    runs = []
    for s in (0, 1):
        lab = np.where(f0[:, s] > 0, labels[:, s], 0)
        edges = np.flatnonzero(np.diff(np.concatenate(([0], lab, [0]))) != 0)
        runs += [(s, a, b - 1) for a, b in zip(edges[:-1], edges[1:]) if lab[a] != 0]
    return runs


def voiced_runs(col):
    edges = np.diff(np.concatenate(([0], (col > 0).astype(np.int8), [0])))
    return int(np.count_nonzero(edges == 1))


def track_stats(f0, labels, ref):
    per_voice = [[], []]
    mixed = 0
    for s, a, b in track_runs(f0, labels):
        seg, n = f0[a:b + 1, s], b - a + 1
        hits = [np.count_nonzero(near(seg, ref[a:b + 1, k])) for k in (0, 1)]
        k = int(np.argmax(hits))
        if hits[k] * 2 > n:
            per_voice[k].append(n)
        else:
            mixed += 1
    return per_voice, mixed


def scene_metrics(name, result, ref, trackers=TRACKERS):
    """Counts of one scene for each tracker of trackers."""
    cands = np.array(result["candidates"])
    both, one, none = frame_classes(ref)
    silent_kind = "noise" if is_noisy(name) else "silent"
    out = {}
    voices = [k for k in (0, 1) if np.any(ref[:, k] > 0)]
    for t in trackers:
        f0 = np.array(result[t]["f0"])
        labels = np.array(result[t]["labels"])
        pitches = np.count_nonzero(f0 > 0, axis=1)
        m = {"both_n": int(both.sum()), "both20": int(both_within(f0, ref)[both].sum()),
             "cands20": int(cands_both_within(cands, ref)[both].sum()),
             "one_n": 0, "found20": 0, "second": 0,
             "silent_n": 0, "silent": 0, "noise_n": 0, "noise": 0}
        for k in (0, 1):
            m["one_n"] += int(one[k].sum())
            m["found20"] += int(any_of(f0, ref[:, k])[one[k]].sum())
            m["second"] += int((pitches[one[k]] == 2).sum())
        m[silent_kind + "_n"] = int(none.sum())
        m[silent_kind] = int((pitches[none] > 0).sum())
        per_voice, mixed = track_stats(f0, labels, ref)
        m["nvoices"] = len(voices)
        m["tracks"] = sum(len(per_voice[k]) for k in voices)
        m["lengths"] = [n for k in voices for n in per_voice[k]]
        m["mixed"] = mixed
        m["runs"] = sum(voiced_runs(ref[:, k]) for k in voices)
        m["seconds"] = result[t]["seconds"]
        if "voices" in result[t]:
            for key in ("voices", "ideal_grouping", "ibm"):
                g = result[t][key]["si_sdr_gain"]
                m[key] = None if None in g else float(np.mean(g))
        out[t] = m
    return out


# ---------------------------------------------------------------------------
# Tables

COUNTS = ("both_n", "both20", "cands20", "one_n", "found20", "second", "silent_n", "silent",
          "noise_n", "noise", "tracks", "mixed", "runs", "nvoices")


def pool(rows, tracker):
    s = {k: 0 for k in COUNTS}
    s["lengths"], s["sep"] = [], {"voices": [], "ideal_grouping": [], "ibm": []}
    for r in rows:
        m = r["metrics"][tracker]
        for k in COUNTS:
            s[k] += m[k]
        s["lengths"] += m["lengths"]
        for key in s["sep"]:
            if m.get(key) is not None:
                s["sep"][key].append(m[key])
    return s


def pct(a, b):
    return 100.0 * a / b if b else float("nan")


def summary(rows, tracker):
    s = pool(rows, tracker)
    tracks = s["tracks"] + s["mixed"]
    return {"both20": pct(s["both20"], s["both_n"]), "cands20": pct(s["cands20"], s["both_n"]),
            "found20": pct(s["found20"], s["one_n"]), "second": pct(s["second"], s["one_n"]),
            "silent": pct(s["silent"], s["silent_n"]), "noise": pct(s["noise"], s["noise_n"]),
            "tracks_per_voice": s["tracks"] / s["nvoices"] if s["nvoices"] else float("nan"),
            "runs_per_voice": s["runs"] / s["nvoices"] if s["nvoices"] else float("nan"),
            "median_len": float(np.median(s["lengths"])) if s["lengths"] else float("nan"),
            "mixed": pct(s["mixed"], tracks),
            "sep": {k: float(np.mean(v)) if v else float("nan") for k, v in s["sep"].items()},
            "frames": {k: s[k] for k in ("both_n", "one_n", "silent_n", "noise_n")}}


def fmt(v, width=6, digits=1):
    return f"{v:{width}.{digits}f}" if isinstance(v, float) and math.isfinite(v) else f"{'-':>{width}}"


HEADER = (f"{'':22} {'':6} {'both20':>6} {'cands':>6} {'found20':>7} {'second':>6} "
          f"{'silent':>6} {'noise':>6} {'trk/v':>5} {'runs/v':>6} {'len':>4} {'mixed':>5}  "
          f"{'SI-SDR gain: voices':>19} {'ideal':>6} {'IBM':>6}")


def print_table(title, groups):
    print(f"\n{title}")
    print(HEADER)
    for label, rows in groups:
        if not rows:
            continue
        for t in TRACKERS:
            s = summary(rows, t)
            sep = s["sep"]
            print(f"{label if t == TRACKERS[0] else '':22} {t:6} {fmt(s['both20'])} "
                  f"{fmt(s['cands20'])} {fmt(s['found20'], 7)} {fmt(s['second'])} "
                  f"{fmt(s['silent'])} {fmt(s['noise'])} {fmt(s['tracks_per_voice'], 5)} "
                  f"{fmt(s['runs_per_voice'], 6)} {fmt(s['median_len'], 4, 0)} {fmt(s['mixed'], 5)}  "
                  f"{fmt(sep['voices'], 19, 2)} {fmt(sep['ideal_grouping'], 6, 2)} "
                  f"{fmt(sep['ibm'], 6, 2)}")


def groups_of(rows):
    synthetic = [r for r in rows if r["kind"] in mixtures.SYNTHETIC]
    speech = [r for r in rows if r["kind"] in mixtures.SPEECH]
    complexes = [r for r in rows if r["kind"].startswith("complex-")]
    kinds = list(mixtures.KINDS) + ["noise", "innoise-synth", "innoise-speech"]
    out = [(k, [r for r in rows if r["kind"] == k]) for k in kinds]
    out += [("synthetic mixtures", synthetic), ("espeak-ng mixtures", speech),
            ("all mixtures", synthetic + speech),
            ("noise and in noise", [r for r in rows if is_noisy(r["name"])])]
    out += [(k, [r for r in complexes if r["kind"] == k])
            for k in dict.fromkeys(r["kind"] for r in complexes)]
    out.append(("all complexes", complexes))
    return out


# ---------------------------------------------------------------------------

def evaluate(names, work, tool, sets, lag, separation, jobs):
    def one(name):
        prefix = ensure_scene(name, work)
        ref = reference(prefix)
        result = run_trackers(tool, prefix, sets, lag, separation and not is_noisy(name))
        kind, seed = scene_info(name)
        return {"name": name, "kind": kind, "seed": seed,
                "split": "tune" if seed in mixtures.TUNE_SEEDS else "test",
                "metrics": scene_metrics(name, result, ref), "result": result}
    with concurrent.futures.ThreadPoolExecutor(jobs) as ex:
        return list(ex.map(one, names))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tool", default="build/bench/corlune_trackers")
    ap.add_argument("--split", choices=("tune", "test", "all"), default="all")
    ap.add_argument("--work", help="directory for the scenes (kept and reused)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--set", action="append", default=[], help="a joint tracker cost NAME=VALUE")
    ap.add_argument("--lag", type=int, help="the joint tracker's lag (0: full traceback)")
    ap.add_argument("--no-separation", action="store_true", help="skip the separation scores")
    ap.add_argument("--json", help="write each scene's metrics here, a line each")
    ap.add_argument("--compare-lag", action="store_true",
                    help="also compare the joint tracker's fixed-lag result with its full traceback")
    args = ap.parse_args()

    names = mixtures.names(args.split) + extra_names(args.split)
    tmp = None if args.work else tempfile.TemporaryDirectory()
    work = args.work or tmp.name
    os.makedirs(work, exist_ok=True)
    rows = evaluate(names, work, args.tool, args.set, args.lag, not args.no_separation, args.jobs)
    if args.json:
        with open(args.json, "w") as f:
            for r in rows:
                f.write(json.dumps({k: r[k] for k in ("name", "kind", "seed", "split", "metrics")},
                                   default=lambda v: v.item())  # numpy scalars
                        + "\n")
    splits = ("tune", "test") if args.split == "all" else (args.split,)
    for split in splits:
        print_table(f"split {split} ({RATE} Hz)", groups_of([r for r in rows if r["split"] == split]))
    seconds = {t: sum(r["metrics"][t]["seconds"] for r in rows) for t in TRACKERS}
    frames = sum(r["result"]["frames"] for r in rows)
    if args.compare_lag:
        n, differ, scenes = compare_lag(args.tool, rows, work, args.set, args.lag)
        print(f"\njoint tracker, fixed lag against full traceback: {differ} of {n} frames "
              f"differ, in {scenes} of {len(rows)} scenes")
    print(f"\ntracker time over {frames} frames ({frames / 100:.0f} s of audio): " +
          ", ".join(f"{t} {seconds[t]:.3f} s (RTF {seconds[t] * 100 / frames:.5f})" for t in TRACKERS))
    if tmp:
        tmp.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
