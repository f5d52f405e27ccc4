#!/usr/bin/python3
"""Independent second implementation of corlune, used to cross-check the C++
results byte for byte.

    /usr/bin/python3 corlune_ref.py INWAV OUTDIR [--acg FILE]

writes OUTDIR/<stem>.frmseg, .f0cands, .f0tracks, .groups and .mask; --acg
also writes the autocorrelogram as raw little-endian float64, channel-major
(for channel, for frame, for lag).

Every double-precision step is one Python float (IEEE double) operation in
the order of the formula; single-precision steps use numpy.float32 scalars;
exp, cos, sin, log10 and pow come from the C library (the math module, and
expf through ctypes); the FFT is the system FFTW library through ctypes, so
that the results can match the C++ program bit for bit.
"""

import argparse
import ctypes
import math
import os
import struct
import sys

import numpy as np

# ---------------------------------------------------------------------------
# Scalar helpers with C semantics
# ---------------------------------------------------------------------------

_libm = ctypes.CDLL("libm.so.6")
_libm.expf.restype = ctypes.c_float
_libm.expf.argtypes = [ctypes.c_float]


def c_round(x):
    """C round(): halves away from zero; returns an int."""
    if x < 0:
        return -c_round(-x)
    f = math.floor(x)
    return f + 1 if x - f >= 0.5 else f  # x - floor(x) is exact


def c_div(a, b):
    """C integer division: truncates toward zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def f32(x):
    return np.float32(x)


def f32_quotient(a, b):
    """a / b in single precision (both operands rounded to float), widened."""
    return float(f32(a) / f32(b))


def f32_dist(a, b):
    """|a - b| with both values rounded to float and the difference in float."""
    return float(abs(f32(a) - f32(b)))


def expf(x):
    return f32(_libm.expf(float(x)))


def ieee_div(a, b):
    """a / b with IEEE results for a zero divisor (inf, -inf or nan)."""
    if b == 0.0:
        if a == 0.0 or a != a:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def first_max(p, lo, hi):
    """Running maximum from 0.0 over p[lo..hi], strictly greater replaces.

    Returns (maximum, position); (0.0, lo) when nothing exceeds 0 or lo > hi.
    """
    best, idx = 0.0, lo
    for i in range(lo, hi + 1):
        if p[i] > best:
            best, idx = p[i], i
    return best, idx


# ---------------------------------------------------------------------------
# WAV input
# ---------------------------------------------------------------------------

def read_wav(path):
    """Samples (doubles scaled by 1/32768) and sample rate of a 44-byte-header
    16-bit WAV file; the header fields are taken at their fixed offsets."""
    with open(path, "rb") as fh:
        data = fh.read()
    if data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("not a RIFF WAVE file: %s" % path)
    srate = struct.unpack_from("<i", data, 24)[0]
    bits = struct.unpack_from("<h", data, 34)[0]
    size = struct.unpack_from("<i", data, 40)[0]
    width = c_div(bits, 8)
    count = c_div(size, width) if width != 0 else 0
    count = max(0, min(count, (len(data) - 44) // 2))
    pcm = np.frombuffer(data, dtype="<i2", count=count, offset=44)
    return [float(v) * 3.0517578125e-05 for v in pcm], srate


# ---------------------------------------------------------------------------
# FFTW through ctypes
# ---------------------------------------------------------------------------

FFTW_R2HC = 0
FFTW_HC2R = 1
FFTW_ESTIMATE = 64

_fftw = ctypes.CDLL("libfftw3.so.3")
_fftw.fftw_malloc.restype = ctypes.c_void_p
_fftw.fftw_malloc.argtypes = [ctypes.c_size_t]
_fftw.fftw_free.restype = None
_fftw.fftw_free.argtypes = [ctypes.c_void_p]
_fftw.fftw_plan_r2r_1d.restype = ctypes.c_void_p
_fftw.fftw_plan_r2r_1d.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                   ctypes.c_int, ctypes.c_uint]
_fftw.fftw_execute.restype = None
_fftw.fftw_execute.argtypes = [ctypes.c_void_p]
_fftw.fftw_destroy_plan.restype = None
_fftw.fftw_destroy_plan.argtypes = [ctypes.c_void_p]


class FftPair:
    """The forward (time -> half-complex spectrum) and backward plans of one
    transform length, on two fftw_malloc arrays shared by every frame."""

    def __init__(self, n):
        self.n = n
        self._ptime = _fftw.fftw_malloc(8 * n)
        self._pspec = _fftw.fftw_malloc(8 * n)
        self.time = self._view(self._ptime)
        self.spectrum = self._view(self._pspec)
        self.fwd = _fftw.fftw_plan_r2r_1d(n, self._ptime, self._pspec, FFTW_R2HC, FFTW_ESTIMATE)
        self.bwd = _fftw.fftw_plan_r2r_1d(n, self._pspec, self._ptime, FFTW_HC2R, FFTW_ESTIMATE)

    def _view(self, ptr):
        buf = ctypes.cast(ptr, ctypes.POINTER(ctypes.c_double))
        return np.ctypeslib.as_array(buf, shape=(self.n,))

    def close(self):
        _fftw.fftw_destroy_plan(self.fwd)
        _fftw.fftw_destroy_plan(self.bwd)
        self.time = self.spectrum = None
        _fftw.fftw_free(self._ptime)
        _fftw.fftw_free(self._pspec)


# ---------------------------------------------------------------------------
# Auditory front end
# ---------------------------------------------------------------------------

def erb_rate(f):
    return 21.4 * math.log10(0.00437 * f + 1)


def centre_frequencies(lowcf, highcf, nchans):
    e_lo, e_hi = erb_rate(lowcf), erb_rate(highcf)
    step = (e_hi - e_lo) / (nchans - 1) if nchans >= 2 else 0.0
    return [(math.pow(10.0, (e_lo + i * step) / 21.4) - 1) / 0.00437 for i in range(nchans)]


def gammatone_coefficients(cf, fs):
    tpt = 2 * math.pi / fs
    erb = 24.7 * (0.00437 * cf + 1)
    a = erb * tpt * 1.019
    q = math.exp(-a)
    # Every coefficient is evaluated left to right as written, one double
    # operation at a time: c2 = -6 x q x q is (-6 q) q, c4 = -q x q x q x q
    # is (((-q) q) q) q.
    w = tpt * cf
    return {"gain": a * a * a * a / 3, "c1": 4 * q, "c2": -6 * q * q,
            "c3": 4 * q * q * q, "c4": -q * q * q * q, "c5": 4 * q * q, "cosw": math.cos(w), "sinw": math.sin(w)}


def gammatone_bank(cfs, x, fs):
    """Half-wave rectified gammatone outputs, one row per centre frequency.

    The channels are independent, so the per-sample recursion runs on
    vectors across channels: every element sees the same operation sequence
    as the scalar filter.
    """
    coef = [gammatone_coefficients(cf, fs) for cf in cfs]
    col = {k: np.array([c[k] for c in coef]) for k in coef[0]}
    c1, c2, c3, c4, c5 = col["c1"], col["c2"], col["c3"], col["c4"], col["c5"]
    gain, cosw, sinw = col["gain"], col["cosw"], col["sinw"]
    nch = len(cfs)
    zero = np.zeros(nch)
    p1r = p2r = p3r = p4r = p1i = p2i = p3i = p4i = zero
    cs, sn = np.ones(nch), np.zeros(nch)
    out = np.empty((len(x), nch))
    for t, xt in enumerate(x):
        p0r = cs * xt + c1 * p1r + c2 * p2r + c3 * p3r + c4 * p4r
        p0i = sn * xt + c1 * p1i + c2 * p2i + c3 * p3i + c4 * p4i
        p0r = np.where(np.abs(p0r) < 1e-200, 0.0, p0r)
        p0i = np.where(np.abs(p0i) < 1e-200, 0.0, p0i)
        ur = p0r + c1 * p1r + c5 * p2r
        ui = p0i + c1 * p1i + c5 * p2i
        out[t] = (ur * cs + ui * sn) * gain
        p4r, p3r, p2r, p1r = p3r, p2r, p1r, p0r
        p4i, p3i, p2i, p1i = p3i, p2i, p1i, p0i
        cs, sn = cs * cosw + sn * sinw, sn * cosw - cs * sinw
    out = np.where(out < 0, 0.0, out)
    return np.ascontiguousarray(out.T)


def window_hann(n):
    half = (n + 1) // 2
    w = [0.5 * (1 - math.cos(2 * math.pi * (k + 1) / (n + 1))) for k in range(half)]
    return w + [w[n - 1 - k] for k in range(half, n)]


class Model:
    """The autocorrelogram of one signal: acg[c, f, k] for channel, frame, lag."""

    def __init__(self, lowcf=50.0, highcf=8000.0, nchans=32, win_ms=30, shift_ms=10):
        self.lowcf, self.highcf, self.nchans = lowcf, highcf, nchans
        self.win_ms, self.shift_ms = win_ms, shift_ms
        self.nlags = self.nframes = self.srate = 0
        self.cfs = [0.0] * nchans
        self.acg = None

    def compute(self, samples, srate):
        self.srate = srate
        shift = c_round(srate * self.shift_ms / 1000.0)
        self.nframes = math.ceil(len(samples) / shift)
        win = c_round(srate * self.win_ms / 1000.0)
        self.nlags = win // 2
        total = shift * self.nframes
        signal = list(samples) + [0.0] * (total - len(samples))
        self.cfs = centre_frequencies(self.lowcf, self.highcf, self.nchans)
        self.acg = np.zeros((self.nchans, self.nframes, self.nlags))
        if self.nframes == 0:
            return
        filtered = gammatone_bank(self.cfs, signal, srate)
        fft = FftPair(win)
        try:
            h = np.array(window_hann(win))
            denom = np.array([float(win * (win - k)) for k in range(self.nlags)])
            lead = np.zeros(win - shift)
            for c in range(self.nchans):
                buf = np.concatenate([lead, filtered[c]])
                for j in range(self.nframes):
                    frame = buf[j * shift:j * shift + win] * h
                    self.acg[c, j] = frame_autocorrelation(fft, frame, denom, self.nlags)
        finally:
            fft.close()


def frame_autocorrelation(fft, frame, denom, nlags):
    """sqrt(R(k) / (W - k)) for k < nlags from the circular autocorrelation
    of one windowed frame, by power spectrum and unnormalised inverse."""
    n = fft.n
    fft.time[:] = frame
    _fftw.fftw_execute(fft.fwd)
    s = fft.spectrum
    m = (n + 1) // 2 - 1
    re = s[1:m + 1].copy()
    im = s[n - m:n][::-1].copy()
    s[1:m + 1] = re * re + im * im
    s[n - m:n] = 0.0
    s[0] = s[0] * s[0]
    if n % 2 == 0:
        s[n // 2] = s[n // 2] * s[n // 2]
    _fftw.fftw_execute(fft.bwd)
    v = fft.time[:nlags].copy()
    with np.errstate(invalid="ignore"):
        return np.where(v > 0, np.sqrt(v / denom), 0.0)


# ---------------------------------------------------------------------------
# Rule-based pitch tracker
# ---------------------------------------------------------------------------

MIN_F0 = 70.0


def remove_close_cands(rows, nframes):
    for f in range(nframes):
        r = rows[f]
        if abs(r[2] - r[0]) < 6.0 or abs(r[2] - r[1]) < 6.0:
            r[2] = 0.0
        if abs(r[3] - r[0]) < 6.0 or abs(r[3] - r[1]) < 6.0 or abs(r[3] - r[2]) < 6.0:
            r[3] = 0.0


def nearest(values, x, indices):
    """Index of the entry (>= 70 Hz) nearest to x among indices, searched from
    distance 9.0 and index 0 with strict improvement; (index, distance)."""
    best, b = 9.0, 0
    for i in indices:
        if values[i] >= MIN_F0:
            d = f32_dist(x, values[i])
            if d < best:
                best, b = d, i
    return b, best


def link_target(cur, a, nxt):
    """Index of the next-frame entry that candidate a of the current frame
    links to, or None."""
    x = cur[a]
    b, d_b = nearest(nxt, x, range(4))
    if d_b >= 8.0:
        return None
    d_later = 9.0
    for a2 in range(a + 1, 4):
        if cur[a2] >= MIN_F0:
            d = f32_dist(nxt[b], cur[a2])
            if d < d_later:
                d_later = d
    if d_later >= d_b:
        return b
    if b <= 1:
        return None
    b2, d2 = nearest(nxt, x, range(b - 1))
    return None if d2 >= 8.0 else b2


def record_link(i, x, y, labels, tracks, counter):
    for s in (0, 1):
        if x == tracks[i][s]:
            tracks[i + 1][s] = y
            labels[i + 1][s] = labels[i][s]
            return
    for s in (0, 1):
        if tracks[i][s] == 0.0:
            counter[s] += 5
            tracks[i][s], tracks[i + 1][s] = x, y
            labels[i][s] = labels[i + 1][s] = counter[s]
            return


def supported(v, u):
    return min(f32_dist(v, u), f32_dist(v, u / 2), f32_dist(v, 2 * u)) < 11.0


def prune_short_tracks(nframes, labels, tracks, counter):
    for s in (0, 1):
        pos = 0
        for t in range(6, counter[s] + 1, 5):
            count, e, fr = 0, -1, pos
            while fr < nframes:
                ident = labels[fr][s]
                if ident == t:
                    count, e = count + 1, fr
                elif ident != 0:
                    break
                fr += 1
            pos = fr
            if count == 0 or count >= 3:
                continue
            st = e + 1 - count
            keep = False
            for m in (0, 1):
                if st >= 3 and supported(tracks[st][s], tracks[st - 3][m]):
                    keep = True
                if e <= nframes - 4 and supported(tracks[e][s], tracks[e + 3][m]):
                    keep = True
            if not keep:
                for fr2 in (st, e):
                    tracks[fr2][s] = 0.0
                    labels[fr2][s] = 0


def track(cands, nframes, labels, tracks):
    """Fills labels (ints) and tracks (Hz), nframes rows of 2, in place."""
    table = [list(r) for r in cands]
    remove_close_cands(table, nframes)
    for f in range(nframes):
        table[f].sort()
    counter = [1, 1]
    for i in range(nframes - 1):
        nxt = list(table[i + 1])
        for a in range(4):
            x = table[i][a]
            if x < MIN_F0:
                continue
            b = link_target(table[i], a, nxt)
            if b is None:
                continue
            record_link(i, x, nxt[b], labels, tracks, counter)
            nxt[b] = 0.0
    prune_short_tracks(nframes, labels, tracks, counter)
    for f in range(nframes):
        if labels[f][1] > 0:
            labels[f][1] += counter[0]


# ---------------------------------------------------------------------------
# CASA grouping
# ---------------------------------------------------------------------------

def pick_peaks(data, n, width, start, max_peaks):
    skip = int(math.floor(width / 3.0))
    if not data[0] > 0:
        return []
    half = int(math.ceil(width * 0.5))
    threshold = 0.4 * data[0]
    peaks = []
    c = start
    while c < n - half - 1:
        m = max(0.0, max(data[c - half:c + half + 1]))
        if data[c] == m and data[c] > threshold:
            peaks.append(c)
            if len(peaks) == max_peaks:
                return peaks
            c += skip
        c += 1
    return peaks


def gabor_kernel(p):
    """Cosine and sine taps at offsets -30 .. -1 for the period p."""
    sigma2 = (p * 0.4) * (p * 0.4)
    real, imag = [], []
    for t in range(30):
        x = float(t - 30)
        g = math.exp(((x * -0.5) * x) / sigma2)
        theta = x * 6.283185307179586 / p
        real.append(math.cos(theta) * g)
        imag.append(math.sin(theta) * g)
    return real, imag


def channel_period(r, nlags):
    """Mean of twice the first trough and the first strong (else weak) peak."""
    peak = weak = trough = 0
    for k in range(2, nlags - 10):
        if peak == 0 and r[k] > r[k - 1] and r[k] > r[k + 1]:
            if r[k] > 0.3 * r[0]:
                peak = k
            elif weak == 0:
                weak = k
        if trough == 0 and r[k] < r[k - 1] and r[k] < r[k + 1]:
            trough = k
        if peak and trough:
            break
    return (2 * trough + (peak if peak != 0 else weak)) * 0.5


def mask_value(srate, lag, t):
    """Logistic agreement of a channel's own F0 (srate / lag) with the track
    F0 t, floored at 0.501 for deviations beyond 20 Hz."""
    est = f32_quotient(srate, lag)
    d = abs(t - est)
    x = f32((20.0 - d) * -0.15)
    m = f32(1.0) / (expf(x) + f32(1.0))
    return 0.501 if m < 0.5 else float(m)


class Grouping:
    """Channel groups, F0 candidates, tracks, fragments and mask of one
    utterance, frame by frame over a computed Model."""

    def __init__(self, model):
        self.m = model
        self.nch, self.nframes, self.nlags = model.nchans, model.nframes, model.nlags
        self.srate = model.srate
        self.frmSegments = [[0] * self.nch for _ in range(self.nframes)]
        self.f0Candidates = [[0.0] * 4 for _ in range(self.nframes)]
        self.f0Labels = [[0, 0] for _ in range(self.nframes)]
        self.f0Tracks = [[0.0, 0.0] for _ in range(self.nframes)]
        self.fragments = [[0] * self.nch for _ in range(self.nframes)]
        self.mask = [[0.0] * self.nch for _ in range(self.nframes)]
        self.minLag = int(math.ceil(self.srate / 400.0)) + 1
        self.maxLag = int(c_round(self.srate / 71.4)) - 1
        if self.nlags < self.maxLag:
            self.maxLag = self.nlags
        self.currFrame = 0
        self.peakLag = 0
        self.sumAcg = [0.0] * self.nlags
        self._kernels = {}

    # -- frame loop ---------------------------------------------------------

    def generate_fragments(self):
        for f in range(self.nframes):
            self.currFrame = f
            if self.is_silent() or self.is_unvoiced():
                continue
            self.normalise_current_acg()
            self.group_channels()
        self.currFrame = self.nframes
        track(self.f0Candidates, self.nframes, self.f0Labels, self.f0Tracks)
        self.form_fragments()

    def group_channels(self):
        self.update_gabor()
        dendrites = self.extract_dendrites()
        spines = [0, 0, 0, 0]
        fallback, count = self.locate_dendrites(dendrites, spines)
        groups = [0] * self.nch
        fallback, count = self.adjust_spines(dendrites, groups, fallback, spines, count)
        if not fallback or self.peakLag <= self.maxLag:
            self.assign_channels(spines, count, groups)
            self.update_frmseg_f0cand(groups)

    # -- frame tests and primitives -------------------------------------------

    def is_silent(self):
        if self.nch <= 0:
            return True
        lag0 = self.m.acg[:, self.currFrame, 0]
        best, pos = 0.0, 0
        for c in range(self.nch):
            if lag0[c] > best:
                best, pos = float(lag0[c]), c
        return best < 0.00001 or not best > 0 or pos == 0

    def is_unvoiced(self):
        s = np.zeros(self.nlags)
        for c in range(self.nch):
            s = 1.0 * self.m.acg[c, self.currFrame] + s
        self.sumAcg = s.tolist()
        self.peakLag = -1
        peaks = pick_peaks(self.sumAcg, self.nlags, 20, self.minLag, 32)
        if not peaks:
            return True
        best = 0.0
        for p in peaks:
            if self.sumAcg[p] > best:
                best, self.peakLag = self.sumAcg[p], p
        if self.peakLag < self.minLag + 3:
            return True
        return self.sumAcg[self.peakLag] / self.sumAcg[0] < 0.5

    def normalise_current_acg(self):
        raw = self.m.acg[:, self.currFrame, :]
        d = np.where(raw[:, 0] > 0, raw[:, 0], 1.0)
        cur = raw / d[:, None]
        cur[cur > 1.0] = 1.0
        cur[:, 0] = 1.0
        self.currAcg = cur
        self.currRows = cur.tolist()

    def range_in_hz(self, lag, tol_hz):
        p = float(lag * self.srate)
        lo = int(math.floor(p / (self.srate + lag * tol_hz)))
        hi = int(math.ceil(p / (self.srate - lag * tol_hz)))
        if hi >= self.maxLag:
            hi = self.maxLag - 1
        return lo, hi

    def dist_hz(self, a, b):
        return abs(self.srate / a - self.srate / b)

    # -- Gabor dendrites ---------------------------------------------------------

    def update_gabor(self):
        real, imag = [], []
        for r in self.currRows:
            P = channel_period(r, self.nlags)
            p = P if P >= 1.0 else 1.0
            if p not in self._kernels:
                self._kernels[p] = gabor_kernel(p)
            kr, ki = self._kernels[p]
            real.append(kr)
            imag.append(ki)
        self.gaborReal, self.gaborImag = np.array(real), np.array(imag)

    def gabor_energy(self):
        """Gabor energy of every inner channel (rows) over minLag .. maxLag-1.

        All inner channels are convolved at once; each element accumulates its
        five mirrored (data, kernel) pairs, offsets 30 down to 1, then the
        centre tap, in that order.
        """
        nch, lo, hi = self.nch, self.minLag, self.maxLag
        inner = nch - 4
        pad = np.zeros((nch, self.nlags + 60))
        pad[:, 30:30 + self.nlags] = self.currAcg
        re = np.zeros((inner, hi - lo))
        im = np.zeros((inner, hi - lo))
        for i in range(5):
            data = pad[4 - i:4 - i + inner]
            gr = self.gaborReal[i:i + inner]
            gi = self.gaborImag[i:i + inner]
            for n in range(30, 0, -1):
                t = 30 - n
                a = data[:, 30 + lo + n:30 + hi + n]
                b = data[:, 30 + lo - n:30 + hi - n]
                re += (a + b) * gr[:, t:t + 1]
                im += (a - b) * gi[:, t:t + 1]
            re += data[:, 30 + lo:30 + hi]
        return re * re + im * im

    def extract_dendrites(self):
        nch = self.nch
        dendrites = [0] * nch
        for i in (0, 1):
            for c in (i, nch - 1 - i):
                dendrites[c] = first_max(self.currRows[c], self.minLag, self.maxLag - 1)[1]
        if nch > 4:
            energy = self.gabor_energy()
            for c in range(2, nch - 2):
                e = energy[c - 2].tolist()
                dendrites[c] = self.minLag + first_max(e, 0, len(e) - 2)[1]
        return dendrites

    def spine_score(self, hist, base, tau):
        lo, hi = self.range_in_hz(tau, 1.0)
        acc = f32(0.0)
        for lag in range(lo, hi + 1):
            b = lag - base
            if 0 <= b < len(hist):
                acc = f32(float(acc) + hist[b])
        return float(acc)

    def locate_dendrites(self, dendrites, spines):
        """Sets spines[0..1]; returns (fallback flag, spine count)."""
        base = self.minLag + 3
        n = self.maxLag - self.minLag - 5
        hist = [0.0] * max(n, 0)
        for d in dendrites:
            if base <= d <= base + n - 1:
                hist[d - base] = hist[d - base] + 1.0
        spines[0] = spines[1] = -1
        if n <= 2:
            return self.spine_fallback(spines)
        best = 0.0
        for k in range(2, n):
            score = self.spine_score(hist, base, base + k)
            if score > best:
                best, spines[0] = score, k
        if spines[0] == -1:
            return self.spine_fallback(spines)
        spines[0] += base
        lo, hi = self.range_in_hz(spines[0], 1.0)
        for lag in range(lo, hi + 1):
            if 0 <= lag - base < n:
                hist[lag - base] = 0.0
        best = 0.0
        for j in range(n):
            tau = base + j
            score = self.spine_score(hist, base, tau)
            if (score > best and self.dist_hz(spines[0], tau) > 3.0
                    and self.dist_hz(spines[0], tau // 2) > 3.0):
                best, spines[1] = score, j
        if spines[1] == -1:
            return False, 1
        spines[1] += base
        return False, 2

    def spine_fallback(self, spines):
        spines[0] = self.peakLag
        return True, 1

    # -- spine adjustment and channel assignment ------------------------------------

    def sum_normalised(self, groups, g):
        s = np.zeros(self.nlags)
        for c in range(self.nch):
            if groups[c] == g:
                s = s + self.currAcg[c]
        self.sumAcg = s.tolist()

    def double_spine(self, spines, s):
        d = 2 * spines[s]
        spines[s + 2] = d
        if d + 5 < self.maxLag:
            spines[s + 2] = first_max(self.sumAcg, d - 5, d + 5)[1]
        else:
            spines[s + 2] = min(d, self.maxLag - 1)

    def adjust_spines(self, dendrites, groups, fallback, spines, count):
        """Returns (fallback flag, spine count)."""
        if fallback:
            self.double_spine(spines, 0)
            return True, count
        lo0, hi0 = self.range_in_hz(spines[0], 1.0)
        lo1, hi1 = self.range_in_hz(spines[1], 1.0)
        if self.nch <= 0:
            return self.adjust_fallback(spines)
        support = [0, 0, 0]
        for c, d in enumerate(dendrites):
            if lo0 <= d <= hi0:
                groups[c] = 1
                support[1] += 1
            elif count > 1 and lo1 <= d <= hi1:
                groups[c] = 2
                support[2] += 1
        if support[1] <= 2:
            return self.adjust_fallback(spines)
        if support[2] <= 2:
            count = 1
        self.sum_normalised(groups, 1)
        lo, hi = self.range_in_hz(spines[0], 5.0)
        spines[0] = first_max(self.sumAcg, lo, hi)[1]
        self.double_spine(spines, 0)
        if count == 1:
            return False, 1
        if not spines[1] + 2 < self.maxLag:
            return False, 1
        self.sum_normalised(groups, 2)
        lo, hi = self.range_in_hz(spines[1], 5.0)
        spines[1] = first_max(self.sumAcg, lo, hi)[1]
        self.double_spine(spines, 1)
        return False, self.merge_spines(spines)

    def merge_spines(self, spines):
        s0, s1 = spines[0], spines[1]
        if self.dist_hz(s0, s1) <= 3.0:
            return 1
        if self.dist_hz(s0, 2 * s1) < 2.0:
            spines[0], spines[2] = spines[1], spines[3]
            return 1
        if self.dist_hz(s1, 2 * s0) < 2.0:
            return 1
        return 2

    def adjust_fallback(self, spines):
        spines[0] = self.peakLag
        self.double_spine(spines, 0)
        return True, 1

    @staticmethod
    def move_to_neighbour(r, lag):
        if r[lag - 1] > r[lag]:
            return lag - 1
        if r[lag + 1] > r[lag]:
            return lag + 1
        return lag

    def assign_channels(self, spines, count, groups):
        s0, s1, s2 = spines[0], spines[1], spines[2]
        srate = self.srate
        for c in range(self.nch):
            groups[c] = 0
        tol = srate * 0.05 / s0
        lo0, hi0 = self.range_in_hz(s0, tol + tol)
        lo1 = hi1 = 0
        if count > 1:
            tol1 = 0.05 * srate / s1
            tol = min(tol, tol1)
            lo1, hi1 = self.range_in_hz(s1, srate * 0.1 / s1)
        for c in range(self.nch):
            groups[c] = self.channel_label(c, count, s0, s1, s2, tol, (lo0, hi0, lo1, hi1))

    def channel_label(self, c, count, s0, s1, s2, tol, ranges):
        lo0, hi0, lo1, hi1 = ranges
        r = self.currRows[c]
        cf = self.m.cfs[c]
        max1, idx = first_max(r, lo0, hi0)
        if r[0] == 0 or max1 / r[0] < 0.1:
            return 0
        l = s0
        if cf > 740.0:
            l = self.move_to_neighbour(r, l)
            if ieee_div(r[l], max1) > 0.95 and r[l] / r[0] > 0.5:
                idx = l
        if max1 > 0 and ieee_div(r[l], max1) > 0.95 and r[l] / r[0] > 0.5:
            e1 = min(tol - 1.0, self.dist_hz(idx, l))
        else:
            e1 = tol + 1.0
        if count == 1:
            e2, max2, j = tol + 1.0, 0.0, None
        else:
            max2, idx = first_max(r, lo1, hi1)
            j = s1
            if cf > 740.0:
                j = self.move_to_neighbour(r, j)
                if ieee_div(r[j], max2) > 0.95 and r[j] / r[0] > 0.5:
                    idx = j
            e2 = self.dist_hz(idx, j)
            if max2 > 0 and ieee_div(r[j], max2) > 0.95 and r[j] / r[0] > 0.5:
                e2 = min(tol - 1.0, e2)
                if r[j] > r[l]:
                    e2 = min(e1, e2)
            if cf > 3650.0:
                return 1 if r[l] > r[j] else 2
        if tol > e1 and (e2 > e1 or max1 > max2):
            return 1 if r[l] > r[s2] else 2
        if tol > e2 and (e1 > e2 or max2 > max1):
            return 2
        if count > 1:
            if r[0] > 0.00001:
                return 1 if r[l] > r[j] else 2
            return 0
        return 2

    # -- frame segments and F0 candidates ---------------------------------------------

    def sum_raw_group(self, g):
        f = self.currFrame
        s = np.zeros(self.nlags)
        for c in range(self.nch):
            if self.frmSegments[f][c] == g:
                s = s + 1.0 * self.m.acg[c, f]
        self.sumAcg = s.tolist()

    def update_frmseg_f0cand(self, groups):
        f = self.currFrame
        seg, cand = self.frmSegments[f], self.f0Candidates[f]
        counts = [0, 0, 0]
        for c, g in enumerate(groups):
            if g != 0:
                counts[g] += 1
                seg[c] = g
        if counts[1] >= 2:
            self.group1_candidate(cand)
        if counts[2] >= 2:
            self.group2_candidates(cand)
        merged = self.cross_check(cand)
        for c, g in enumerate(groups):
            if g == 0:
                seg[c] = 0
            elif merged:
                seg[c] = 1

    def group1_candidate(self, cand):
        self.sum_raw_group(1)
        s = self.sumAcg
        peaks = pick_peaks(s, self.nlags, 15, self.minLag, 32)
        if not peaks:
            return
        best, lag = 0.0, peaks[0]
        for p in peaks:
            if s[p] > best:
                best, lag = s[p], p
        cand[0] = f32_quotient(self.srate, lag)

    def group2_candidates(self, cand):
        self.sum_raw_group(2)
        s = self.sumAcg
        peaks = pick_peaks(s, self.nlags, 15, self.minLag, 32)
        n = len(peaks)
        if n == 0:
            lag = first_max(s, self.minLag, self.maxLag)[1]
            cand[1] = f32_quotient(self.srate, lag)
            return
        ranked = sorted((s[p], i) for i, p in enumerate(peaks))
        top = ranked[-1][0]
        cand[1] = self.srate / peaks[ranked[-1][1]]
        if n >= 2 and ranked[-2][0] > 0.9 * top:
            cand[2] = self.srate / peaks[ranked[-2][1]]
            self.drop_near_first(cand, 2)
        if n >= 3 and ranked[-3][0] > 0.9 * top:
            cand[3] = f32_quotient(self.srate, peaks[ranked[-3][1]])
            self.drop_near_first(cand, 3)

    @staticmethod
    def drop_near_first(cand, i):
        if abs(cand[1] - 2 * cand[i]) < 3.0:
            cand[i] = 0.0
        if abs(cand[1] - cand[i]) < 3.0:
            cand[i] = 0.0

    @staticmethod
    def cross_check(cand):
        merged = False
        if not cand[0] > 0.0:
            return merged
        if cand[1] > 0.0 and abs(cand[0] - cand[1]) < 3.0:
            cand[1] = cand[2] = cand[3] = 0.0
            merged = True
        for i in (2, 3):
            if cand[i] > 0.0 and (abs(cand[0] - cand[i]) < 3.0
                                  or abs(cand[0] - 2 * cand[i]) < 3.0
                                  or abs(2 * cand[0] - cand[i]) < 3.0):
                cand[i] = 0.0
        return merged

    # -- fragments and mask ----------------------------------------------------------

    def form_fragments(self):
        for i in range(self.nframes):
            cand = self.f0Candidates[i]
            for j in (0, 1):
                label = self.f0Labels[i][j]
                if label <= 0:
                    continue
                t = self.f0Tracks[i][j]
                if t == cand[0]:
                    self.claim(i, 1, t, label)
                if t == cand[1] or t == cand[2] or t == cand[3]:
                    if c_round(self.srate / t) > self.maxLag:
                        for k in range(self.nch):
                            if self.frmSegments[i][k] == 2:
                                self.fragments[i][k] = label
                                self.mask[i][k] = 0.501
                        continue
                    self.claim(i, 2, t, label)

    def claim(self, i, g, t, label):
        lo = int(c_round(self.srate / (t + 20.0)))
        hi = int(c_round(self.srate / (t - 20.0)))
        hi = min(hi, self.nlags - 1)
        for k in range(self.nch):
            if self.frmSegments[i][k] != g:
                continue
            self.fragments[i][k] = label
            row = self.m.acg[k, i]
            best, top = lo, 0.0
            if lo <= hi:
                for lag in range(lo, hi + 1):
                    if row[lag] > top:
                        top, best = row[lag], lag
            self.mask[i][k] = mask_value(self.srate, best, t)


# ---------------------------------------------------------------------------
# Result files and driver
# ---------------------------------------------------------------------------

def write_matrix(path, rows, ncols, dtype):
    arr = np.array(rows, dtype=np.float64 if dtype == "<f4" else np.int64)
    arr = arr.reshape(len(rows), ncols).astype(dtype)
    with open(path, "wb") as fh:
        fh.write(arr.tobytes())


def output_prefix(inwav, outdir):
    name = os.fsencode(inwav)
    name = name[name.rfind(b"/") + 1:]
    base = name[:len(name) - 4] if len(name) >= 4 else name
    out = os.fsencode(outdir)
    if not out.endswith(b"/"):
        out += b"/"
    return out + base


def analyse(inwav):
    samples, srate = read_wav(inwav)
    model = Model()
    model.compute(samples, srate)
    grouping = Grouping(model)
    grouping.generate_fragments()
    return model, grouping


def write_results(grouping, prefix):
    nch = grouping.nch
    write_matrix(prefix + b".frmseg", grouping.frmSegments, nch, "<i2")
    write_matrix(prefix + b".f0cands", grouping.f0Candidates, 4, "<f4")
    write_matrix(prefix + b".f0tracks", grouping.f0Tracks, 2, "<f4")
    write_matrix(prefix + b".groups", grouping.fragments, nch, "<i2")
    write_matrix(prefix + b".mask", grouping.mask, nch, "<f4")


def main(argv):
    ap = argparse.ArgumentParser(description="Independent second implementation of corlune.")
    ap.add_argument("inwav")
    ap.add_argument("outdir")
    ap.add_argument("--acg", metavar="FILE",
                    help="also write the autocorrelogram as float64, channel-major")
    args = ap.parse_args(argv)
    model, grouping = analyse(args.inwav)
    write_results(grouping, output_prefix(args.inwav, args.outdir))
    if args.acg:
        with open(args.acg, "wb") as fh:
            fh.write(model.acg.astype("<f8").tobytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
