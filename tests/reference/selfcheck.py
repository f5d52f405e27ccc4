#!/usr/bin/python3
"""Smoke check of the reference implementation.

Checks known values of the building blocks, then analyses a synthetic
two-voice utterance (two gliding harmonic complexes) and prints what it
found: frames, grouped frames, tracks and their F0 ranges. Exit status 1 on
any failed check.

    /usr/bin/python3 tests/reference/selfcheck.py
"""

import math
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # leave no cache files in the source tree
sys.path.insert(0, HERE)
import corlune_ref as ref  # noqa: E402

FAILURES = []
PASSED = []


def check(cond, what):
    if cond:
        PASSED.append(what)
    else:
        FAILURES.append(what)
        print("FAIL:", what)


def close(a, b, rel=1e-5):
    return abs(a - b) <= rel * max(abs(a), abs(b))


class FakeModel:
    """Just the shape of a computed model, for the grouping's helpers."""

    def __init__(self, srate, nlags, nframes=0, nchans=32):
        self.srate, self.nlags, self.nframes, self.nchans = srate, nlags, nframes, nchans
        self.acg = np.zeros((nchans, nframes, nlags))
        self.cfs = ref.centre_frequencies(50.0, 8000.0, nchans)


# -- front end ------------------------------------------------------------

def check_front_end():
    w3 = ref.window_hann(3)
    check(close(w3[0], 0.5, 1e-15) and w3[1] == 1.0 and w3[2] == w3[0], "Hann window of 3 points")
    w4 = ref.window_hann(4)
    check(all(close(a, b) for a, b in zip(w4, [0.345492, 0.904508, 0.904508, 0.345492]))
          and w4[0] == w4[3], "Hann window of 4 points")
    cfs = ref.centre_frequencies(50.0, 8000.0, 32)
    expect = [50.00, 82.17, 118.05, 158.07, 5701.52, 6385.71, 7148.83, 8000.00]
    got = cfs[:4] + cfs[-4:]
    check(all(abs(a - b) < 0.006 for a, b in zip(got, expect)), "ERB-rate centre frequencies")
    impulse = [1.0] + [0.0] * 9
    out = ref.gammatone_bank([1000.0], impulse, 16000)[0]
    check(close(out[0], 2.64545e-06) and close(out[1], 1.85419e-05), "gammatone impulse response")
    check(ref.gammatone_bank([300.0, 3000.0], [0.0] * 50, 16000).max() == 0.0,
          "gammatone of silence")


def scalar_gammatone(cf, x, fs):
    k = ref.gammatone_coefficients(cf, fs)
    c1, c2, c3, c4, c5 = k["c1"], k["c2"], k["c3"], k["c4"], k["c5"]
    p = [0.0] * 4
    pi = [0.0] * 4
    cs, sn = 1.0, 0.0
    out = []
    for v in x:
        p0 = cs * v + c1 * p[0] + c2 * p[1] + c3 * p[2] + c4 * p[3]
        p0i = sn * v + c1 * pi[0] + c2 * pi[1] + c3 * pi[2] + c4 * pi[3]
        p0 = 0.0 if abs(p0) < 1e-200 else p0
        p0i = 0.0 if abs(p0i) < 1e-200 else p0i
        ur = p0 + c1 * p[0] + c5 * p[1]
        ui = p0i + c1 * pi[0] + c5 * pi[1]
        y = (ur * cs + ui * sn) * k["gain"]
        out.append(0.0 if y < 0 else y)
        p = [p0] + p[:3]
        pi = [p0i] + pi[:3]
        cs, sn = cs * k["cosw"] + sn * k["sinw"], sn * k["cosw"] - cs * k["sinw"]
    return out


def check_vectorised_filters():
    """The channel-parallel gammatone and Gabor convolution give the same
    bits as one-channel scalar loops."""
    rng = np.random.default_rng(3)
    x = (rng.standard_normal(3000) * 0.2).tolist()
    bank = ref.gammatone_bank([120.0, 2500.0], x, 16000)
    check(bank[0].tolist() == scalar_gammatone(120.0, x, 16000)
          and bank[1].tolist() == scalar_gammatone(2500.0, x, 16000),
          "vectorised gammatone is bit-identical")
    g = ref.Grouping(FakeModel(16000, 240, nchans=8))
    cur = np.minimum(np.abs(rng.standard_normal((8, 240))), 1.0)
    cur[:, 0] = 1.0
    g.currAcg, g.currRows = cur, cur.tolist()
    g.update_gabor()
    energy = g.gabor_energy()
    same = True
    for c in range(2, 6):
        re = [0.0] * (g.maxLag - g.minLag)
        im = [0.0] * (g.maxLag - g.minLag)
        for i in range(5):
            data, kern = cur[c + 2 - i].tolist(), c - 2 + i
            for n in range(30, 0, -1):
                for m, tau in enumerate(range(g.minLag, g.maxLag)):
                    a = data[tau + n] if tau + n < 240 else 0.0
                    b = data[tau - n] if tau - n >= 0 else 0.0
                    re[m] += (a + b) * g.gaborReal[kern][30 - n]
                    im[m] += (a - b) * g.gaborImag[kern][30 - n]
            for m, tau in enumerate(range(g.minLag, g.maxLag)):
                re[m] += data[tau]
        same = same and energy[c - 2].tolist() == [u * u + v * v for u, v in zip(re, im)]
    check(same, "vectorised Gabor convolution is bit-identical")


def direct_acg(frame, nlags):
    n = len(frame)
    r = [sum(frame[m] * frame[(m + k) % n] for m in range(n)) for k in range(nlags)]
    return [math.sqrt(v / (n - k)) if v > 0 else 0.0 for k, v in enumerate(r)]


def check_autocorrelogram(srate, seconds):
    """The FFT path against the circular autocorrelation summed directly,
    compared before the square root (near-zero lags amplify rounding)."""
    rng = np.random.default_rng(7)
    x = (rng.standard_normal(int(srate * seconds)) * 0.1).tolist()
    model = ref.Model(nchans=3)
    model.compute(x, srate)
    shift = ref.c_round(srate * 10 / 1000.0)
    win = ref.c_round(srate * 30 / 1000.0)
    check(model.nlags == win // 2 and model.nframes == math.ceil(len(x) / shift),
          "frame and lag counts at %d Hz" % srate)
    padded = x + [0.0] * (shift * model.nframes - len(x))
    filt = ref.gammatone_bank(model.cfs, padded, srate)
    h = ref.window_hann(win)
    worst = 0.0
    for c in range(3):
        buf = [0.0] * (win - shift) + filt[c].tolist()
        for j in (0, model.nframes - 1):
            frame = [buf[j * shift + k] * h[k] for k in range(win)]
            want = [v * v for v in direct_acg(frame, model.nlags)]
            got = [v * v for v in model.acg[c, j]]
            worst = max(worst, max(abs(a - b) for a, b in zip(got, want)) / max(want))
    check(worst < 1e-12, "autocorrelogram at %d Hz (W=%d) matches direct sums: %.2g"
          % (srate, win, worst))


# -- grouping primitives and candidates -------------------------------------

def check_primitives():
    g16 = ref.Grouping(FakeModel(16000, 240))
    g8 = ref.Grouping(FakeModel(8000, 120))
    check((g16.minLag, g16.maxLag, g8.minLag, g8.maxLag) == (41, 223, 21, 111),
          "search ranges at 16 and 8 kHz")
    check(g16.range_in_hz(100, 1.0) == (99, 101), "rangeInHz(100, 1 Hz)")
    check(g16.range_in_hz(100, 5.0) == (96, 104), "rangeInHz(100, 5 Hz)")
    check(g16.dist_hz(80, 160) == 100.0, "calc_distHz(80, 160)")
    check([ref.c_round(v) for v in (2.5, -2.5, 0.49999999999999994, 220.5)] == [3, -3, 0, 221],
          "C rounding")

    plateau = [1.0] + [0.0] * 30 + [0.8] * 6 + [0.0] * 40
    check(ref.pick_peaks(plateau, len(plateau), 15, 10, 32) == [31],
          "plateau of skip + 1 lags gives one peak")
    plateau = [1.0] + [0.0] * 30 + [0.8] * 7 + [0.0] * 40
    check(ref.pick_peaks(plateau, len(plateau), 15, 10, 32) == [31, 37],
          "plateau longer than skip + 1 lags gives a second peak")
    check(ref.pick_peaks([0.0] + [1.0] * 80, 81, 15, 10, 32) == [], "no peaks when lag 0 is 0")

    real, _ = ref.gabor_kernel(1.0)
    check(close(real[29], 0.0439, 1e-2) and close(real[28], 0.0000037, 3e-2),
          "narrow Gabor kernel of a channel without period")
    # falls to a trough at 40, weak peak at 60, trough at 62, strong peak at 82
    r = ([1.0 - k / 40.0 for k in range(41)] + [0.01 * k for k in range(1, 21)]
         + [0.15, 0.1] + [0.1 + 0.89 * k / 20.0 for k in range(1, 21)])
    r += [0.99 - 0.001 * k for k in range(1, 240 - len(r) + 1)]
    check(ref.channel_period(r, 240) == 81.0, "period from trough 40 and strong peak 82")

    check(ref.f32_quotient(16000, 123) == 130.081298828125, "single-precision F0 of lag 123")
    check(16000 / 123 == 130.08130081300814, "double-precision F0 of lag 123")
    masks = [ref.mask_value(16000, lag, t) for lag, t in
             ((100, 160.0), (98, 160.0), (89, 160.0), (94, 150.0), (123, 150.0))]
    want = [0.95257, 0.92485, 0.50843, 0.501, 0.50305]
    check(masks[3] == 0.501 and all(close(a, b, 2e-5) for a, b in zip(masks, want)),
          "mask values %s" % masks)
    check(ref.expf(np.float32(-3.0)) == np.float32(0.049787067), "expf from the C library")


# -- tracker ----------------------------------------------------------------

def run_tracker(rows):
    n = len(rows)
    labels = [[0, 0] for _ in range(n)]
    tracks = [[0.0, 0.0] for _ in range(n)]
    ref.track([list(r) + [0.0] * (4 - len(r)) for r in rows], n, labels, tracks)
    return labels, tracks


def check_tracker():
    labels, tracks = run_tracker([[105, 107.5], [100, 101, 107], [99, 106], []])
    check(labels == [[6, 12]] * 3 + [[0, 0]], "worked example identifiers %s" % labels)
    check(tracks == [[105, 107.5], [100, 107], [99, 106], [0, 0]], "worked example F0s")

    labels, tracks = run_tracker([[100], [107.99], [115.98]])
    check([l[0] for l in labels] == [6, 6, 6], "links just under 8 Hz")
    labels, _ = run_tracker([[100], [108], [116]])
    check(labels == [[0, 0]] * 3, "no link at exactly 8 Hz")

    rows = [[100, 150, 103, 0], [100, 150, 106, 0], [100, 103, 0, 0]]
    ref.remove_close_cands(rows, 3)
    check([r[2] for r in rows] == [0.0, 106, 0.0] and rows[2][1] == 103, "close-candidate removal")

    supported = [[204]] * 3 + [[], []] + [[101], [103]] + [[]] * 4
    labels, _ = run_tracker(supported)
    check(labels[5][0] == 11 and labels[6][0] == 11, "short track supported at half of 204 Hz")
    lonely = [[]] * 5 + [[101], [103]] + [[]] * 4
    labels, _ = run_tracker(lonely)
    check(all(l == [0, 0] for l in labels), "short unsupported track removed")

    rows = [[100, 200], [101, 201], [102, 202], [], [300], [301], [302]]
    labels, _ = run_tracker(rows)
    ids = sorted({i for l in labels for i in l if i})
    check(ids == [6, 11, 17], "identifiers of two slot-0 tracks and one slot-1 track: %s" % ids)


# -- two-voice utterance ---------------------------------------------------------

def harmonic_voice(srate, n, f0a, f0b, peak):
    phase = 0.0
    x = np.zeros(n)
    for t in range(n):
        f0 = f0a + (f0b - f0a) * t / (n - 1)
        phase += 2 * math.pi * f0 / srate
        h = np.arange(1, int(0.45 * srate / f0) + 1)
        x[t] = np.sum(np.sin(h * phase) / h)
    return x * (peak / np.max(np.abs(x)))


def write_two_voices(path, srate=16000, seconds=1.0):
    n = int(srate * seconds)
    x = harmonic_voice(srate, n, 110.0, 130.0, 0.3) + harmonic_voice(srate, n, 190.0, 170.0, 0.3)
    write_wav(path, x, srate)


def write_wav(path, x, srate):
    """Writes samples in -1 .. 1 as a mono 16-bit WAV file."""
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(srate)
        w.writeframes(pcm.tobytes())


def read_matrix(path, ncols, dtype):
    return np.fromfile(path, dtype=dtype).reshape(-1, ncols)


def print_tracks(labels, tracks):
    found = {}
    for f, (row_l, row_t) in enumerate(zip(labels, tracks)):
        for s in (0, 1):
            if row_l[s]:
                found.setdefault((row_l[s], s), []).append((f, row_t[s]))
    for (ident, s), pts in sorted(found.items()):
        f0s = [v for _, v in pts]
        print("  track %3d (slot %d): frames %2d .. %2d, F0 %.1f .. %.1f Hz"
              % (ident, s, pts[0][0], pts[-1][0], min(f0s), max(f0s)))


def check_two_voices():
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "twovoice.wav")
        write_two_voices(wav)
        subprocess.run([sys.executable, os.path.join(HERE, "corlune_ref.py"), wav, tmp],
                       check=True)
        prefix = os.path.join(tmp, "twovoice")
        seg = read_matrix(prefix + ".frmseg", 32, "<i2")
        cands = read_matrix(prefix + ".f0cands", 4, "<f4")
        tracks = read_matrix(prefix + ".f0tracks", 2, "<f4")
        groups = read_matrix(prefix + ".groups", 32, "<i2")
        mask = read_matrix(prefix + ".mask", 32, "<f4")
        _, grouping = ref.analyse(wav)
    check(np.array_equal(tracks, np.array(grouping.f0Tracks, dtype="<f4")),
          "track file equals the in-process tracks")
    nframes = seg.shape[0]
    print("frames: %d, grouped frames: %d, frames with candidates: %d"
          % (nframes, int(np.sum(seg.any(axis=1))), int(np.sum(cands.any(axis=1)))))
    ids = sorted(set(groups[groups > 0].tolist()))
    print("fragment labels:", ids)
    print("tracks:")
    print_tracks(grouping.f0Labels, grouping.f0Tracks)
    claimed = mask[groups > 0]
    print("claimed units: %d, mask %.4f .. %.4f" % (claimed.size, claimed.min(), claimed.max()))
    check(nframes == 100, "100 frames for one second")
    check(np.all(mask[groups == 0] == 0.0) and np.all(claimed >= 0.5), "mask values by claim")
    high = tracks[:, 0][tracks[:, 0] > 0]
    low = tracks[:, 1][tracks[:, 1] > 0]
    check(len(high) > 80 and np.all((high > 160) & (high < 200)), "slot 0 follows the 190->170 voice")
    check(len(low) > 60 and np.all((low > 100) & (low < 140)), "slot 1 follows the 110->130 voice")


def main():
    check_front_end()
    check_vectorised_filters()
    check_autocorrelogram(16000, 0.05)
    check_autocorrelogram(44100, 0.02)
    check_primitives()
    check_tracker()
    check_two_voices()
    print("%d passed, %d failed" % (len(PASSED), len(FAILURES)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
