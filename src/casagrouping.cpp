#include "casagrouping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "geometry.h"
#include "matrixfile.h"
#include "vectors.h"

namespace {

using vec::f64x2;

// a[k] / d capped at 1.0 for k = from .. n - 1 as far as whole vectors go;
// returns the first k not done. Division is correctly rounded at every
// width, and the cap is a lane-wise select. The divider limits this loop: it
// handles four or eight lanes in about the time of two.
struct DivideCapped {
    static constexpr vec::Width kWidest = vec::Width::Avx512;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(const double* a, double d, double* out,
                                                 int from, int n) {
        using V = vec::Doubles<W>;
        constexpr int lanes = vec::kLanes<V>;
        V divisor, one;
        vec::set_all(divisor, d);
        vec::set_all(one, 1.0);
        int k = from;
        for (; k + lanes <= n; k += lanes) {
            V v;
            vec::load(v, a + k);
            v = v / divisor;
            v = v > one ? one : v;
            vec::store(out + k, v);
        }
        return k;
    }
};

// The width of the grouping's vector loops (defined beside GroupingScratch).
vec::Width allowed_width(const GroupingScratch& s);

constexpr int kMaxPeaks = 32;          // peaks kept per summary autocorrelation
constexpr int kGaborHalf = 30;         // taps on each side of a Gabor kernel's centre
constexpr double kSilenceFloor = 0.00001;
constexpr double kCloseHz = 3.0;       // candidates closer than this are one F0
constexpr double kMaskFloor = 0.501;   // mask of a claimed unit far off its track

}  // namespace

CASAGrouping::CASAGrouping(const AcgModel& m, PitchTracker& t)
    : model(m), tracker(t),
      frmSegments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      f0Candidates(m.nframes, std::vector<double>(4, 0.0)),
      f0Labels(m.nframes, std::vector<int>(2, 0)),
      f0Tracks(m.nframes, std::vector<double>(2, 0.0)),
      fragments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      mask(m.nframes, std::vector<double>(m.param.nchans, 0.0)),
      sumAcg(m.nlags, 0.0),
      currAcg(m.param.nchans, std::vector<double>(m.nlags, 0.0)),
      gaborReal(m.param.nchans, std::vector<double>(kGaborHalf, 0.0)),
      gaborImag(m.param.nchans, std::vector<double>(kGaborHalf, 0.0)),
      minLag(lag_geometry(m.srate, m.nlags).minLag),
      maxLag(lag_geometry(m.srate, m.nlags).maxLag),
      scratch_(std::make_shared<GroupingScratch>()) {}

CASAGrouping::~CASAGrouping() = default;

// ---------------------------------------------------------------------------
// Frame loop and per-frame pipeline

void CASAGrouping::generate_fragments(const Matrix* x) {
    weights = x;
    spectral_integrate();
    tracker.track(f0Candidates, model.nframes, f0Labels, f0Tracks);
    form_fragments();
}

void CASAGrouping::spectral_integrate() {
    for (currFrame = 0; currFrame < model.nframes; ++currFrame) {
        if (is_silent()) continue;
        if (is_unvoiced()) continue;
        normalise_current_acg();
        group_channels();
    }
}

void CASAGrouping::group_channels() {
    const int nchans = model.param.nchans;
    updateGabor();

    std::vector<int> dendrites(nchans, 0);
    extract_dendrites(dendrites);

    std::vector<int> spines(4, 0);
    int spineCount = 2;
    bool fallback = locate_dendrites(dendrites, spines, spineCount);

    std::vector<int> channelGroups(nchans, 0);
    adjust_spines(dendrites, channelGroups, fallback, spines, spineCount);

    // A fallback spine beyond the search range carries no usable period.
    if (!fallback || peakLag <= maxLag) {
        assign_channels(spines, spineCount, channelGroups);
        update_FrmSeg_F0Cand(channelGroups);
    }
}

// ---------------------------------------------------------------------------
// Frame tests and primitives

double CASAGrouping::weight(int c) const {
    if (!weights) return 1.0;
    const std::vector<double>& row = weights->at(currFrame);
    if (row.size() < static_cast<size_t>(model.param.nchans))
        throw std::out_of_range("weight row shorter than the number of channels");
    return row[c];
}

bool CASAGrouping::is_silent() {
    const int nchans = model.param.nchans;
    if (nchans <= 0 || model.nlags <= 0) return true;
    const size_t at = static_cast<size_t>(currFrame) * model.nlags;
    double loudest = 0.0;
    int where = 0;
    for (int c = 0; c < nchans; ++c) {
        const double v = model.acg[c][at];
        if (v > loudest) {
            loudest = v;
            where = c;
        }
    }
    // Energy concentrated in the lowest channel is hum or rumble, not voice.
    return loudest < kSilenceFloor || !(loudest > 0.0) || where == 0;
}

bool CASAGrouping::is_unvoiced() {
    sum_acg();
    peakLag = -1;
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 20, minLag, peaks, kMaxPeaks);
    if (n == 0) return true;
    double highest = 0.0;
    for (int i = 0; i < n; ++i) {
        if (sumAcg[peaks[i]] > highest) {
            highest = sumAcg[peaks[i]];
            peakLag = peaks[i];
        }
    }
    if (peakLag < minLag + 3) return true;
    return highest / sumAcg[0] < 0.5;
}

void CASAGrouping::normalise_current_acg() {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    for (int c = 0; c < model.param.nchans; ++c) {
        const double* a = model.acg[c].data() + at;
        double* row = currAcg[c].data();
        row[0] = 1.0;
        const double d = a[0] > 0.0 ? a[0] : 1.0;
        int k = vec::dispatch<DivideCapped>(allowed_width(*scratch_), a, d, row, 1, nlags);
        for (; k < nlags; ++k) {
            const double v = a[k] / d;
            row[k] = v > 1.0 ? 1.0 : v;
        }
    }
}

void CASAGrouping::sum_acg() {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        const double w = weight(c);
        const double* a = model.acg[c].data() + at;
        for (int k = 0; k < nlags; ++k) sumAcg[k] = w * a[k] + sumAcg[k];
    }
}

int CASAGrouping::pick_peaks(const double* data, int n, int width, int start, int* peaks,
                             int maxPeaks) {
    const int skip = static_cast<int>(std::floor(width / 3.0));
    if (!(data[0] > 0.0) || maxPeaks <= 0) return 0;
    const int half = static_cast<int>(std::ceil(width * 0.5));
    const double threshold = 0.4 * data[0];
    int count = 0;
    for (int c = start; c < n - half - 1; ++c) {
        // A peak is above the threshold (so above 0.0) and the maximum of
        // its window: nothing in the window exceeds it.
        const double v = data[c];
        if (!(v > threshold)) continue;
        bool top = true;
        for (int k = c - half; k <= c + half && top; ++k) top = !(data[k] > v);
        if (!top) continue;
        peaks[count++] = c;
        if (count >= maxPeaks) return count;
        c += skip;
    }
    return count;
}

double CASAGrouping::find_max(const double* p, int from, int to, int& idx) {
    idx = from;
    double best = 0.0;
    for (int i = from; i <= to; ++i) {
        if (p[i] > best) {
            best = p[i];
            idx = i;
        }
    }
    return best;
}

double CASAGrouping::find_max(const double* p, int from, int to) {
    int idx;
    return find_max(p, from, to, idx);
}

void CASAGrouping::rangeInHz(int lag, double tolHz, int& lo, int& hi) const {
    const LagRange r = lags_within_hz(lags(), lag, tolHz);
    lo = r.lo;
    hi = r.hi;
}

double CASAGrouping::calc_distHz(int a, int b) const {
    return hz_apart(model.srate, a, b);
}

// ---------------------------------------------------------------------------
// Gabor dendrites and spines

namespace {

// Lags of a channel's first strong peak, first weak peak before it, and
// first trough, over the lags 2 .. nlags - 11; 0 where there is none.
struct RowFeatures {
    int peak = 0;
    int weak = 0;
    int trough = 0;
};

RowFeatures first_features(const std::vector<double>& r, int nlags) {
    RowFeatures f;
    for (int k = 2; k < nlags - 10; ++k) {
        if (r[k] > r[k - 1] && r[k] > r[k + 1]) {
            if (r[k] > 0.3 * r[0]) {
                if (f.peak == 0) f.peak = k;
            } else if (f.peak == 0 && f.weak == 0) {
                f.weak = k;
            }
        }
        if (r[k] < r[k - 1] && r[k] < r[k + 1] && f.trough == 0) f.trough = k;
        if (f.peak != 0 && f.trough != 0) break;  // the weak peak can no longer change
    }
    return f;
}

}  // namespace

// The dendrite search of the inner channels is the program's hottest loop:
// for every voiced frame, every lag of the search range and every inner
// channel it sums 5 rows x 61 taps of the Gabor filter. Only the lag of the
// largest energy is kept, and that lag must be the one the straightforward
// double-precision sums give, to the last bit. So the search runs in two
// passes:
//
//  1. An approximate pass in single precision, four or eight lags per
//     vector, gives every lag's response with a proven error bound
//     (bound_error below).
//  2. The lags whose energy could still be the largest under that bound are
//     evaluated exactly, with the operations of the straightforward sums in
//     their order, and the first strict maximum among them is the answer.
//
// The exact maximum is always among the lags of step 2, and so is every lag
// that ties with it, so the answer is the same lag as a full exact scan.
// Rows with values the bound does not cover (not finite, or huge) and
// channels with many candidates take a full exact scan instead.
struct GroupingScratch {
    // Lags minLag + m, m = 0 .. lags - 1, are candidates (the last lag of the
    // range is not); rows are padded to whole blocks and by kGaborHalf zeros
    // on each side, so that no access needs a bounds test.
    int lags = 0;
    int padded = 0;
    int stride = 0;
    std::vector<double> rowsD;    // padded rows of currAcg, for full exact scans
    std::vector<float> rowsF;     // nchans padded rows of currAcg in single precision
    std::vector<double> rowMax;   // largest magnitude in each padded row
    std::vector<char> rowSafe;    // row within the limits of the error bound
    std::vector<float> kernF;     // per channel: 30 cosine then 30 sine taps, single
    std::vector<double> kernAbs;  // per channel: sums of |cosine taps|, |sine taps|
    std::vector<int> kernReach;   // per channel: offsets 1 .. reach have a tap of note
    std::vector<double> kernDropped;  // per channel: sums of |cosine|, |sine| beyond reach
    std::vector<int> rowReach;    // per row: the largest reach of the kernels it meets
    std::vector<char> kernSafe;   // kernel within the limits of the error bound
    std::vector<float> reF, imF;  // per channel and padded lag: approximate responses
    std::vector<float> ring;      // tap sums and differences of five rows, one block
    std::vector<double> energy;   // exact energies of a full scan
    std::vector<int> candidates;
    vec::Width widthCap = vec::Width::Avx512;  // widest vectors the grouping may use

    // Gabor kernels by period (index 2p), computed once per run.
    int kernelLags = -1;
    std::vector<double> kernels;
    std::vector<char> kernelReady;

    // rangeInHz(lag, 1.0) for the lags of the dendrite histogram.
    int rangeKey[3] = {0, 0, 0};  // srate, first lag and maxLag of the table
    std::vector<int> rangeLo, rangeHi;
};

namespace {

// The width of the grouping's vector loops: the process's, at most the cap.
vec::Width allowed_width(const GroupingScratch& s) {
    return std::min(vec::active_width(), s.widthCap);
}

}  // namespace

namespace {

// Lags per block of the single-precision pass: the tap sums of five rows
// for one block (the ring, 5 x 30 x 2 x 24 floats) stay in the L1 cache.
constexpr int kBlockF = 24;
constexpr int kRingRow = 2 * kGaborHalf * kBlockF;  // floats of one ring slot
constexpr int kBlockD = 8;     // lags per block of the exact pass
constexpr int kMaxCandidates = 12;
// Values beyond this magnitude (2^20) leave the error bound's assumptions.
constexpr double kBoundLimit = 1048576.0;

// The period of a channel's autocorrelation: the mean of twice its first
// trough and its first peak, as twice that mean (an integer).
int twice_period(const std::vector<double>& r, int nlags) {
    const RowFeatures f = first_features(r, nlags);
    return 2 * f.trough + (f.peak != 0 ? f.peak : f.weak);
}

// The 30 cosine and 30 sine taps of the Gabor kernel of period p.
void gabor_kernel(double p, double* taps) {
    const double sigma = p * 0.4;
    const double sigma2 = sigma * sigma;
    for (int t = 0; t < kGaborHalf; ++t) {
        const double x = t - kGaborHalf;
        const double g = std::exp(((x * -0.5) * x) / sigma2);
        const double theta = x * 6.283185307179586 / p;
        taps[t] = std::cos(theta) * g;
        taps[kGaborHalf + t] = std::sin(theta) * g;
    }
}

// The kernel for twice the period 2P, from the cache; p = P, at least 1.
const double* cached_kernel(GroupingScratch& s, int nlags, int twiceP) {
    const int key = twiceP >= 2 ? twiceP : 2;
    if (s.kernelLags != nlags) {
        // Periods come from lags below nlags: 2P < 3 nlags.
        const size_t keys = 3 * static_cast<size_t>(nlags > 0 ? nlags : 0) + 3;
        s.kernels.assign(keys * 2 * kGaborHalf, 0.0);
        s.kernelReady.assign(keys, 0);
        s.kernelLags = nlags;
    }
    if (static_cast<size_t>(key) >= s.kernelReady.size()) {
        s.kernels.resize((key + 1) * 2 * kGaborHalf, 0.0);
        s.kernelReady.resize(key + 1, 0);
    }
    double* taps = &s.kernels[static_cast<size_t>(key) * 2 * kGaborHalf];
    if (!s.kernelReady[key]) {
        gabor_kernel(key * 0.5, taps);
        s.kernelReady[key] = 1;
    }
    return taps;
}

bool within_bound_limits(double v) { return std::fabs(v) <= kBoundLimit; }

// Sizes the scratch for the search range minLag .. maxLag - 1.
void set_geometry(GroupingScratch& s, int nchans, int minLag, int maxLag) {
    s.lags = std::max(0, maxLag - minLag - 1);
    s.padded = (s.lags + kBlockF - 1) / kBlockF * kBlockF;
    s.stride = s.padded + 2 * kGaborHalf;
    const size_t cells = static_cast<size_t>(nchans) * s.stride;
    if (s.rowsF.size() < cells) s.rowsF.resize(cells);
    const size_t lagsAll = static_cast<size_t>(nchans) * s.padded;
    if (s.reF.size() < lagsAll) {
        s.reF.resize(lagsAll);
        s.imF.resize(lagsAll);
    }
    s.rowMax.resize(nchans);
    s.rowSafe.resize(nchans);
    s.kernF.resize(static_cast<size_t>(nchans) * 2 * kGaborHalf);
    s.kernAbs.resize(2 * static_cast<size_t>(nchans));
    s.kernSafe.resize(nchans);
    s.kernReach.resize(nchans);
    s.kernDropped.resize(2 * static_cast<size_t>(nchans));
    s.rowReach.resize(nchans);
    s.ring.resize(5 * kRingRow);
    s.energy.resize(s.padded);
}

// What the dendrite search reads of the grouping.
struct GaborInputs {
    const CASAGrouping::Matrix& acg;   // currAcg
    const CASAGrouping::Matrix& real;  // gaborReal
    const CASAGrouping::Matrix& imag;  // gaborImag
    int minLag;
    int nlags;
};

// The part of row d that a padded row holds: entry j of a padded row is the
// lag minLag - kGaborHalf + j; entries from .. to - 1 lie in the row, the
// others are 0.0, the value the straightforward sums use outside the row.
struct PaddedSpan {
    int first;  // lag of entry 0
    int from;
    int to;
};

PaddedSpan padded_span(const GroupingScratch& s, const GaborInputs& in, int d) {
    const int have = std::min(in.nlags, static_cast<int>(in.acg[d].size()));
    const int first = in.minLag - kGaborHalf;
    const int from = std::clamp(-first, 0, s.stride);
    return {first, from, std::clamp(have - first, from, s.stride)};
}

// Row d in double precision, for a full exact scan.
void pad_row_exact(GroupingScratch& s, const GaborInputs& in, int d) {
    const PaddedSpan p = padded_span(s, in, d);
    if (s.rowsD.size() < s.rowsF.size()) s.rowsD.resize(s.rowsF.size());
    double* out = &s.rowsD[static_cast<size_t>(d) * s.stride];
    const double* row = in.acg[d].data() + p.first;
    std::fill(out, out + p.from, 0.0);
    std::copy(row + p.from, row + p.to, out + p.from);
    std::fill(out + p.to, out + s.stride, 0.0);
}

// Converts row[j], j = from .. to - 1, to single precision as far as whole
// vectors go; raises largest to the largest magnitude met and clears safe
// where a value lies outside the limits of the error bound (NaN does).
// Returns the first j not done. The conversion is short but runs for every
// row of every voiced frame; the widest vectors halve or quarter its steps.
struct ConvertRow {
    static constexpr vec::Width kWidest = vec::Width::Avx512;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(const double* row, float* out, int from, int to,
                                                 double& largest, bool& safe) {
        using V = vec::Doubles<W>;
        using VF = vec::FloatsLike<V>;
        constexpr int lanes = vec::kLanes<V>;
        V limit;
        vec::set_all(limit, kBoundLimit);
        V big = V{};
        vec::Mask<V> outside{};
        int j = from;
        for (; j + lanes <= to; j += lanes) {
            V v;
            vec::load(v, row + j);
            VF f;
            vec::convert(v, f);
            vec::store(out + j, f);
            V a = v;
            vec::clear_signs(a);  // |v|, as fabs gives it
            big = a > big ? a : big;
            outside |= ~(a <= limit);
        }
        for (int i = 0; i < lanes; ++i) {
            largest = std::max(largest, big[i]);
            safe &= outside[i] == 0;
        }
        return j;
    }
};

// Row d in single precision for the approximate pass, with its largest
// magnitude and whether every value lies within the limits of the error
// bound (NaN does not). An unsafe row's single-precision values are never
// used: every channel that meets it takes the full exact scan.
void pad_row_approximate(GroupingScratch& s, const GaborInputs& in, int d) {
    const PaddedSpan p = padded_span(s, in, d);
    const double* row = in.acg[d].data() + p.first;
    float* out = &s.rowsF[static_cast<size_t>(d) * s.stride];
    std::fill(out, out + p.from, 0.0f);
    double largest = 0.0;
    bool safe = true;
    int j = vec::dispatch<ConvertRow>(allowed_width(s), row, out, p.from, p.to, largest, safe);
    for (; j < p.to; ++j) {
        out[j] = static_cast<float>(row[j]);
        largest = std::max(largest, std::fabs(row[j]));
        safe &= within_bound_limits(row[j]);
    }
    std::fill(out + p.to, out + s.stride, 0.0f);
    s.rowMax[d] = safe ? largest : 0.0;
    s.rowSafe[d] = safe;
}

// Single-precision copies of every channel's kernel, one tap per vector;
// the sums of the taps' magnitudes; and the reach of the kernel: a narrow
// Gaussian leaves the outer taps below 2^-24, and the approximate pass skips
// them, their magnitudes added to its error bound.
void prepare_kernels(GroupingScratch& s, const CASAGrouping::Matrix& real,
                     const CASAGrouping::Matrix& imag, int nchans) {
    constexpr double kNegligible = 0x1p-24;
    for (int c = 0; c < nchans; ++c) {
        float* k = &s.kernF[static_cast<size_t>(c) * 2 * kGaborHalf];
        double sumRe = 0.0, sumIm = 0.0, dropRe = 0.0, dropIm = 0.0;
        int reach = 0;
        bool ok = true;
        for (int t = 0; t < kGaborHalf; ++t) {  // offsets 30 down to 1
            const double kr = real[c][t], ki = imag[c][t];
            ok &= within_bound_limits(kr) && within_bound_limits(ki);
            k[t] = static_cast<float>(ok ? kr : 0.0);
            k[kGaborHalf + t] = static_cast<float>(ok ? ki : 0.0);
            sumRe += std::fabs(kr);
            sumIm += std::fabs(ki);
            if (reach == 0 && (std::fabs(kr) >= kNegligible || std::fabs(ki) >= kNegligible))
                reach = kGaborHalf - t;
            if (reach == 0) {
                dropRe += std::fabs(kr);
                dropIm += std::fabs(ki);
            }
        }
        s.kernAbs[2 * c] = sumRe;
        s.kernAbs[2 * c + 1] = sumIm;
        s.kernDropped[2 * c] = dropRe;
        s.kernDropped[2 * c + 1] = dropIm;
        s.kernReach[c] = reach;
        s.kernSafe[c] = ok;
    }
}

// The approximate pass is written once for a vector type V of single-
// precision lanes and runs in 4 lanes (SSE2) or 8 (AVX and wider). Its width
// changes only the speed: the approximate responses merely select the lags
// to evaluate exactly, and every lane's rounding is covered by the same
// bound.
template <typename V>
[[gnu::always_inline]] inline void multiply_add(V& acc, const float* p, const V& k) {
    V v;
    vec::load(v, p);
    acc += v * k;
}

// For one block of lags, the sums D[tau + n] + D[tau - n] and differences
// D[tau + n] - D[tau - n] of data row d, n = 1 .. 30, in single precision.
template <typename V>
[[gnu::always_inline]] inline void tap_sums(const GroupingScratch& s, int d, int m0, float* out) {
    constexpr int lanes = sizeof(V) / sizeof(float);
    const float* P = &s.rowsF[static_cast<size_t>(d) * s.stride + kGaborHalf + m0];
    for (int n = 1; n <= s.rowReach[d]; ++n) {
        float* sum = out + (n - 1) * 2 * kBlockF;
        for (int j = 0; j < kBlockF; j += lanes) {
            V a, b;
            vec::load(a, P + j + n);
            vec::load(b, P + j - n);
            vec::store(sum + j, V(a + b));
            vec::store(sum + kBlockF + j, V(a - b));
        }
    }
}

// Approximate responses of channel c for one block of lags, from the tap
// sums of its five data rows (ring slot d % 5 holds row d).
template <typename V>
[[gnu::always_inline]] inline void approximate_block(GroupingScratch& s, int c, int m0) {
    constexpr int lanes = sizeof(V) / sizeof(float), vecs = kBlockF / lanes;
    V re[vecs] = {}, im[vecs] = {};
    for (int i = 0; i < 5; ++i) {
        const int d = c + 2 - i;
        const float* sums = &s.ring[(d % 5) * kRingRow];
        const float* kr = &s.kernF[static_cast<size_t>(c - 2 + i) * 2 * kGaborHalf];
        const float* ki = kr + kGaborHalf;
        for (int n = s.kernReach[c - 2 + i]; n >= 1; --n) {
            const V r = V{} + kr[kGaborHalf - n], q = V{} + ki[kGaborHalf - n];
            const float* sum = sums + (n - 1) * 2 * kBlockF;
            for (int j = 0; j < vecs; ++j) {
                multiply_add(re[j], sum + lanes * j, r);
                multiply_add(im[j], sum + kBlockF + lanes * j, q);
            }
        }
        const float* centre = &s.rowsF[static_cast<size_t>(d) * s.stride + kGaborHalf + m0];
        for (int j = 0; j < vecs; ++j) {
            V v;
            vec::load(v, centre + lanes * j);
            re[j] += v;
        }
    }
    const size_t at = static_cast<size_t>(c) * s.padded + m0;
    for (int j = 0; j < vecs; ++j) {
        vec::store(&s.reF[at + lanes * j], re[j]);
        vec::store(&s.imF[at + lanes * j], im[j]);
    }
}

// Approximate responses of the channels cLo .. cHi (inner channels) at all
// lags. Data row d serves the channels d - 2 .. d + 2; walking the channels
// downwards, each row's tap sums are made once per block and kept in a ring
// of five.
template <typename V>
[[gnu::always_inline]] inline void approximate_pass(GroupingScratch& s, int cLo, int cHi) {
    // Row d meets the kernels of the channels d - 2 .. d + 2 and needs its
    // tap sums only as far as the widest of them reaches.
    for (int d = cLo - 2; d <= cHi + 2; ++d) {
        s.rowReach[d] = 0;
        for (int c = std::max(cLo, d - 2); c <= std::min(cHi, d + 2); ++c)
            s.rowReach[d] = std::max(s.rowReach[d], s.kernReach[2 * c - d]);
    }
    for (int m0 = 0; m0 < s.padded; m0 += kBlockF) {
        for (int d = cHi + 2; d > cHi - 2; --d) tap_sums<V>(s, d, m0, &s.ring[(d % 5) * kRingRow]);
        for (int c = cHi; c >= cLo; --c) {
            tap_sums<V>(s, c - 2, m0, &s.ring[((c - 2) % 5) * kRingRow]);
            approximate_block<V>(s, c, m0);
        }
    }
}

// (An AVX-512 copy of the pass was measured and saved too little to keep.)
struct ApproximatePass {
    static constexpr vec::Width kWidest = vec::Width::Avx;
    template <vec::Width W>
    [[gnu::always_inline]] static inline void run(GroupingScratch& s, int cLo, int cHi) {
        approximate_pass<vec::Floats<W>>(s, cLo, cHi);
    }
};

void approximate_responses(GroupingScratch& s, int cLo, int cHi) {
    vec::dispatch<ApproximatePass>(allowed_width(s), s, cLo, cHi);
}

// The exact energy re^2 + im^2 of channel c at lag minLag + m: the
// straightforward sums, operation by operation and in their order (pairs
// i = 0 .. 4, offsets 30 down to 1, then the centre tap).
double exact_energy(const GaborInputs& in, int c, int m) {
    const int tau = in.minLag + m;
    double re = 0.0, im = 0.0;
    for (int i = 0; i < 5; ++i) {
        const std::vector<double>& D = in.acg[c + 2 - i];
        const int have = std::min(in.nlags, static_cast<int>(D.size()));
        auto at = [&](int lag) { return lag >= 0 && lag < have ? D[lag] : 0.0; };
        const std::vector<double>& kr = in.real[c - 2 + i];
        const std::vector<double>& ki = in.imag[c - 2 + i];
        for (int n = kGaborHalf; n >= 1; --n) {
            const int t = kGaborHalf - n;
            const double a = at(tau + n), b = at(tau - n);
            re += (a + b) * kr[t];
            im += (a - b) * ki[t];
        }
        re += at(tau);
    }
    return re * re + im * im;
}

// Exact energies of channel c at every lag, eight lags at a time; each lane
// performs exact_energy's operations in the same order.
void exact_energies(GroupingScratch& s, const GaborInputs& in, int c) {
    for (int d = c - 2; d <= c + 2; ++d) pad_row_exact(s, in, d);
    for (int m0 = 0; m0 < s.padded; m0 += kBlockD) {
        f64x2 re[4] = {}, im[4] = {};
        for (int i = 0; i < 5; ++i) {
            const double* P =
                &s.rowsD[static_cast<size_t>(c + 2 - i) * s.stride + kGaborHalf + m0];
            const std::vector<double>& kr = in.real[c - 2 + i];
            const std::vector<double>& ki = in.imag[c - 2 + i];
            for (int n = kGaborHalf; n >= 1; --n) {
                f64x2 r, q;
                vec::set_all(r, kr[kGaborHalf - n]);
                vec::set_all(q, ki[kGaborHalf - n]);
                for (int j = 0; j < 4; ++j) {
                    f64x2 a, b;
                    vec::load(a, P + 2 * j + n);
                    vec::load(b, P + 2 * j - n);
                    re[j] += (a + b) * r;
                    im[j] += (a - b) * q;
                }
            }
            for (int j = 0; j < 4; ++j) {
                f64x2 centre;
                vec::load(centre, P + 2 * j);
                re[j] += centre;
            }
        }
        for (int j = 0; j < 4; ++j)
            vec::store(&s.energy[m0 + 2 * j], f64x2(re[j] * re[j] + im[j] * im[j]));
    }
}

// The first lag offset m with the strictly largest energy, 0 when none
// exceeds 0.
int first_maximum(const double* energy, int lags) {
    double best = 0.0;
    int bestM = 0;
    for (int m = 0; m < lags; ++m) {
        if (energy[m] > best) {
            best = energy[m];
            bestM = m;
        }
    }
    return bestM;
}

// The full exact scan of channel c.
int exact_search(GroupingScratch& s, const GaborInputs& in, int c) {
    exact_energies(s, in, c);
    return first_maximum(s.energy.data(), s.lags);
}

// Bound on |approximate - exact| of a response whose terms add up, in
// magnitude, to at most total. Each term of the exact sums passes through
// at most 157 roundings in double precision (the tap sum, the product and
// 155 additions), and the approximate one through at most 160 in single
// precision (four more for rounding data and taps and the tap sum's
// inputs); the bound of recursive summation, gamma_k = k u / (1 - k u),
// gives 9.6e-6 x total for both together. The factor used, 2^-15, is three
// times that; the absolute term covers underflow, which the relative
// bound does not (under 2^-120 for values within kBoundLimit).
double bound_error(double total) { return total * 0x1p-15 + 0x1p-100; }

// Bounds on the exact energies of the lags m = 0 .. lags - 1 from the
// approximate responses re, im and their error bounds, as far as whole
// vectors go: high[m] receives the upper bound, and floor rises to the
// largest lower bound. The margins of 2^-40 cover the rounding of these
// products and of the exact energy. Returns the first m not done.
struct EnergyBounds {
    static constexpr vec::Width kWidest = vec::Width::Avx512;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(const float* re, const float* im, int lags,
                                                 double errRe, double errIm, double* high,
                                                 double& floor) {
        using V = vec::Doubles<W>;
        using VF = vec::FloatsLike<V>;
        constexpr int lanes = vec::kLanes<V>;
        V eRe, eIm, down, up;
        vec::set_all(eRe, errRe);
        vec::set_all(eIm, errIm);
        vec::set_all(down, 1.0 - 0x1p-40);
        vec::set_all(up, 1.0 + 0x1p-40);
        const V zero = V{};
        V lowest = zero;
        int m = 0;
        for (; m + lanes <= lags; m += lanes) {
            VF fr, fq;
            vec::load(fr, re + m);
            vec::load(fq, im + m);
            V r, q;
            vec::convert(fr, r);
            vec::convert(fq, q);
            vec::clear_signs(r);  // magnitudes
            vec::clear_signs(q);
            const V rLow = r - eRe, qLow = q - eIm;
            const V rl = rLow > zero ? rLow : zero, ql = qLow > zero ? qLow : zero;
            const V low = (rl * rl + ql * ql) * down;
            lowest = low > lowest ? low : lowest;
            const V rh = r + eRe, qh = q + eIm;
            const V h = (rh * rh + qh * qh) * up;
            vec::store(high + m, h);
        }
        for (int i = 0; i < lanes; ++i) floor = std::max(floor, lowest[i]);
        return m;
    }
};

// The lag offset of channel c's largest Gabor energy, from the approximate
// responses and the exact energies of the lags they leave in question.
int dendrite_offset(GroupingScratch& s, const GaborInputs& in, int c) {
    double totalRe = 0.0, totalIm = 0.0, droppedRe = 0.0, droppedIm = 0.0;
    for (int i = 0; i < 5; ++i) {
        const int d = c + 2 - i, k = c - 2 + i;
        if (!s.rowSafe[d] || !s.kernSafe[k]) return exact_search(s, in, c);
        // |D[tau + n]| + |D[tau - n]| <= 2 max|D|; the centre tap is 1.
        totalRe += s.rowMax[d] * (2.0 * s.kernAbs[2 * k] + 1.0);
        totalIm += s.rowMax[d] * (2.0 * s.kernAbs[2 * k + 1]);
        droppedRe += s.rowMax[d] * (2.0 * s.kernDropped[2 * k]);
        droppedIm += s.rowMax[d] * (2.0 * s.kernDropped[2 * k + 1]);
    }
    const double errRe = bound_error(totalRe) + droppedRe * (1.0 + 0x1p-40);
    const double errIm = bound_error(totalIm) + droppedIm * (1.0 + 0x1p-40);
    const float* re = &s.reF[static_cast<size_t>(c) * s.padded];
    const float* im = &s.imF[static_cast<size_t>(c) * s.padded];

    // The exact energy of lag m lies in [low(m), high(m)]; the margins of
    // 2^-40 cover the rounding of these products and of the exact energy.
    // Lags whose high is below the largest low cannot hold the maximum.
    double* high = s.energy.data();
    double floor = 0.0;
    int m = vec::dispatch<EnergyBounds>(allowed_width(s), re, im, s.lags, errRe, errIm, high,
                                        floor);
    for (; m < s.lags; ++m) {
        const double r = std::fabs(re[m]), q = std::fabs(im[m]);
        const double rl = std::max(0.0, r - errRe), ql = std::max(0.0, q - errIm);
        floor = std::max(floor, (rl * rl + ql * ql) * (1.0 - 0x1p-40));
        high[m] = ((r + errRe) * (r + errRe) + (q + errIm) * (q + errIm)) * (1.0 + 0x1p-40);
    }
    s.candidates.clear();
    for (m = 0; m < s.lags; ++m) {
        if (high[m] < floor) continue;
        if (static_cast<int>(s.candidates.size()) == kMaxCandidates) return exact_search(s, in, c);
        s.candidates.push_back(m);
    }
    // A lone candidate with a positive floor needs no exact sum: the lag
    // whose low bound is the floor has a high bound above it, so it is that
    // candidate; its exact energy is at least the floor, and every other
    // lag's is below it, so it is the strict maximum.
    if (s.candidates.size() == 1 && floor > 0.0) return s.candidates[0];
    double best = 0.0;
    int bestM = 0;
    for (const int m : s.candidates) {
        const double e = exact_energy(in, c, m);
        if (e > best) {
            best = e;
            bestM = m;
        }
    }
    return bestM;
}

}  // namespace

void CASAGrouping::updateGabor() {
    const int nlags = model.nlags;
    for (int c = 0; c < model.param.nchans; ++c) {
        const double* taps = cached_kernel(*scratch_, nlags, twice_period(currAcg[c], nlags));
        std::copy(taps, taps + kGaborHalf, gaborReal[c].begin());
        std::copy(taps + kGaborHalf, taps + 2 * kGaborHalf, gaborImag[c].begin());
    }
}

void CASAGrouping::allow_wide_vectors(bool allow) {
    scratch_->widthCap = allow ? vec::Width::Avx512 : vec::Width::Sse2;
}

int CASAGrouping::gabor_conv2(int c) {
    GroupingScratch& s = *scratch_;
    set_geometry(s, model.param.nchans, minLag, maxLag);
    const GaborInputs in{currAcg, gaborReal, gaborImag, minLag, model.nlags};
    return minLag + exact_search(s, in, c);
}

void CASAGrouping::extract_dendrites(std::vector<int>& dendrites) {
    const int nchans = model.param.nchans;
    // The two channels at each edge lack neighbours: they take their own maximum.
    for (int i = 0; i < 2; ++i) {
        for (const int c : {i, nchans - 1 - i}) {
            if (c < 0 || c >= nchans) continue;
            int lag;
            find_max(currAcg[c].data(), minLag, maxLag - 1, lag);
            dendrites[c] = lag;
        }
    }
    if (nchans < 5) return;

    GroupingScratch& s = *scratch_;
    set_geometry(s, nchans, minLag, maxLag);
    const GaborInputs in{currAcg, gaborReal, gaborImag, minLag, model.nlags};
    for (int d = 0; d < nchans; ++d) pad_row_approximate(s, in, d);
    prepare_kernels(s, gaborReal, gaborImag, nchans);
    approximate_responses(s, 2, nchans - 3);
    for (int c = 2; c <= nchans - 3; ++c) dendrites[c] = minLag + dendrite_offset(s, in, c);
}

namespace {

// Sum of the histogram bins over the lags lo .. hi (bins outside ignored),
// accumulated in single precision.
float histogram_score(const std::vector<double>& hist, int base, int lo, int hi) {
    const int L = static_cast<int>(hist.size());
    float acc = 0.0f;
    for (int b = lo - base; b <= hi - base; ++b)
        if (b >= 0 && b < L) acc = static_cast<float>(static_cast<double>(acc) + hist[b]);
    return acc;
}

}  // namespace

CASAGrouping::OneHzRanges CASAGrouping::one_hz_ranges(int base, int count) {
    GroupingScratch& s = *scratch_;
    const int key[3] = {model.srate, base, maxLag};
    if (!std::equal(key, key + 3, s.rangeKey) || static_cast<int>(s.rangeLo.size()) < count) {
        // rangeInHz depends on nothing else: the table serves every frame.
        s.rangeLo.resize(std::max(count, 0));
        s.rangeHi.resize(std::max(count, 0));
        for (int k = 0; k < count; ++k) rangeInHz(base + k, 1.0, s.rangeLo[k], s.rangeHi[k]);
        std::copy(key, key + 3, s.rangeKey);
    }
    return {s.rangeLo.data(), s.rangeHi.data()};
}

bool CASAGrouping::locate_dendrites(const std::vector<int>& dendrites, std::vector<int>& spines,
                                    int& spineCount) {
    const int base = minLag + 3;
    const int L = maxLag - minLag - 5;

    // Histogram of dendrite lags, each channel voting with its weight.
    std::vector<double> hist(L > 0 ? L : 0, 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        const int d = dendrites[c];
        if (d >= base && d <= base + L - 1) hist[d - base] += weight(c);
    }

    spineCount = 1;
    spines[0] = -1;
    spines[1] = -1;
    const OneHzRanges ranges = one_hz_ranges(base, L);
    auto score = [&](int tau) {
        return histogram_score(hist, base, ranges.lo[tau - base], ranges.hi[tau - base]);
    };

    if (L > 2) {
        float best = 0.0f;
        for (int k = 2; k < L; ++k) {
            const float s = score(base + k);
            if (s > best) {
                best = s;
                spines[0] = k;
            }
        }
    }
    if (spines[0] == -1) {
        // No dendrite agreement: the summary's own period is the only spine.
        spines[0] = peakLag;
        return true;
    }
    spines[0] = base + spines[0];

    // Clear the first spine's neighbourhood before looking for a second one.
    int lo, hi;
    rangeInHz(spines[0], 1.0, lo, hi);
    for (int lag = lo; lag <= hi; ++lag)
        if (lag - base >= 0 && lag - base < L) hist[lag - base] = 0.0;

    // The second spine is neither the first again nor its octave.
    float best = 0.0f;
    for (int j = 0; j < L; ++j) {
        const int tau = base + j;
        const float s = score(tau);
        if (s > best && calc_distHz(spines[0], tau) > kCloseHz &&
            calc_distHz(spines[0], tau / 2) > kCloseHz) {
            best = s;
            spines[1] = j;
        }
    }
    if (spines[1] != -1) {
        spineCount = 2;
        spines[1] = base + spines[1];
    }
    return false;
}

// ---------------------------------------------------------------------------
// Spine adjustment and channel assignment

void CASAGrouping::sum_acg(const std::vector<int>& channelGroups, SPINE_GROUPS group) {
    const int nlags = model.nlags;
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        if (channelGroups[c] != group) continue;
        const std::vector<double>& r = currAcg[c];
        for (int k = 0; k < nlags; ++k) sumAcg[k] += r[k];
    }
}

namespace {

// Sets spines[s + 2] to the summary's maximum near twice spines[s].
void double_spine(const std::vector<double>& sumAcg, int maxLag, std::vector<int>& spines,
                  int s) {
    const int d = 2 * spines[s];
    spines[s + 2] = d;
    if (d + 5 < maxLag) {
        int lag;
        CASAGrouping::find_max(sumAcg.data(), d - 5, d + 5, lag);
        spines[s + 2] = lag;
    } else {
        spines[s + 2] = std::min(d, maxLag - 1);
    }
}

}  // namespace

void CASAGrouping::adjust_spines(const std::vector<int>& dendrites,
                                 std::vector<int>& channelGroups, bool& fallback,
                                 std::vector<int>& spines, int& spineCount) {
    const int nchans = model.param.nchans;
    auto fall_back = [&]() {
        spines[0] = peakLag;
        fallback = true;
        spineCount = 1;
        double_spine(sumAcg, maxLag, spines, 0);  // on the all-channel summary
    };
    if (fallback) {
        double_spine(sumAcg, maxLag, spines, 0);
        return;
    }

    // Support: channels whose dendrite lies within 1 Hz of a spine.
    int lo0, hi0, lo1 = 0, hi1 = 0;
    rangeInHz(spines[0], 1.0, lo0, hi0);
    if (spineCount > 1) rangeInHz(spines[1], 1.0, lo1, hi1);
    if (nchans <= 0) return fall_back();
    int support1 = 0, support2 = 0;
    for (int c = 0; c < nchans; ++c) {
        const int d = dendrites[c];
        if (lo0 <= d && d <= hi0) {
            channelGroups[c] = SPINE_1;
            ++support1;
        } else if (spineCount > 1 && lo1 <= d && d <= hi1) {
            channelGroups[c] = SPINE_2;
            ++support2;
        }
    }
    if (support1 <= 2) return fall_back();
    if (support2 <= 2) spineCount = 1;

    // Move each spine to the peak of its own channels' summary within 5 Hz.
    int lo, hi;
    sum_acg(channelGroups, SPINE_1);
    rangeInHz(spines[0], 5.0, lo, hi);
    find_max(sumAcg.data(), lo, hi, spines[0]);
    double_spine(sumAcg, maxLag, spines, 0);
    if (spineCount == 1) return;

    if (spines[1] + 2 >= maxLag) {
        spineCount = 1;
        return;
    }
    sum_acg(channelGroups, SPINE_2);
    rangeInHz(spines[1], 5.0, lo, hi);
    find_max(sumAcg.data(), lo, hi, spines[1]);
    double_spine(sumAcg, maxLag, spines, 1);

    merge_spines(spines, spineCount);
}

void CASAGrouping::merge_spines(std::vector<int>& spines, int& spineCount) const {
    const int s0 = spines[0];
    const int s1 = spines[1];
    if (calc_distHz(s0, s1) <= 3.0) {
        spineCount = 1;  // one periodicity: the first spine stays
    } else if (calc_distHz(s0, 2 * s1) < 2.0) {
        // The first spine is the second's lower octave: keep the shorter period.
        spines[0] = spines[1];
        spines[2] = spines[3];
        spineCount = 1;
    } else if (calc_distHz(s1, 2 * s0) < 2.0) {
        spineCount = 1;  // the second spine is the first's lower octave
    }
}

int CASAGrouping::toward_larger_neighbour(const std::vector<double>& r, int lag, double rangeMax,
                                          int& idx) const {
    int h = lag;
    if (r[lag - 1] > r[lag])
        h = lag - 1;
    else if (r[lag + 1] > r[lag])
        h = lag + 1;
    if (r[h] / rangeMax > 0.95 && r[h] / r[0] > 0.5) idx = h;
    return h;
}

void CASAGrouping::assign_channels(const std::vector<int>& spines, int spineCount,
                                   std::vector<int>& channelGroups) {
    const int nchans = model.param.nchans;
    const double srate = model.srate;
    const int s0 = spines[0], s1 = spines[1], s2 = spines[2];
    std::fill(channelGroups.begin(), channelGroups.end(), 0);

    // Lags within 10 % of each spine frequency; tol is 5 % of the lower one.
    double tol = srate * 0.05 / s0;
    int lo0, hi0, lo1 = 0, hi1 = 0;
    rangeInHz(s0, tol + tol, lo0, hi0);
    if (spineCount > 1) {
        const double tol1 = 0.05 * srate / s1;
        tol = std::min(tol, tol1);
        rangeInHz(s1, srate * 0.1 / s1, lo1, hi1);
    }

    for (int c = 0; c < nchans; ++c) {
        const std::vector<double>& r = currAcg[c];
        const double cf = model.cfs[c];
        int idx;
        const double max1 = find_max(r.data(), lo0, hi0, idx);
        if (r[0] == 0.0 || max1 / r[0] < 0.1) continue;  // too weak to examine

        // High channels resolve the period only to within a lag.
        int l = s0;
        if (cf > 740.0) l = toward_larger_neighbour(r, l, max1, idx);
        const double e1 = (max1 > 0.0 && r[l] / max1 > 0.95 && r[l] / r[0] > 0.5)
                              ? std::min(tol - 1.0, calc_distHz(idx, l))
                              : tol + 1.0;
        if (spineCount <= 1) {
            channelGroups[c] = decide_label(r, tol, e1, tol + 1.0, max1, 0.0, l, 0, s2, false);
            continue;
        }

        const double max2 = find_max(r.data(), lo1, hi1, idx);
        int j = s1;
        if (cf > 740.0) j = toward_larger_neighbour(r, j, max2, idx);
        double e2 = calc_distHz(idx, j);
        if (max2 > 0.0 && r[j] / max2 > 0.95 && r[j] / r[0] > 0.5) {
            e2 = std::min(tol - 1.0, e2);
            if (r[j] > r[l]) e2 = std::min(e1, e2);
        }
        if (cf > 3650.0)
            channelGroups[c] = r[l] > r[j] ? SPINE_1 : SPINE_2;
        else
            channelGroups[c] = decide_label(r, tol, e1, e2, max1, max2, l, j, s2, true);
    }
}

int CASAGrouping::decide_label(const std::vector<double>& r, double tol, double e1, double e2,
                               double max1, double max2, int l, int j, int s2,
                               bool twoSpines) const {
    if (tol > e1 && (e2 > e1 || max1 > max2)) return r[l] > r[s2] ? SPINE_1 : SPINE_2;
    if (tol > e2 && (e1 > e2 || max2 > max1)) return SPINE_2;
    if (twoSpines) {
        if (r[0] > kSilenceFloor) return r[l] > r[j] ? SPINE_1 : SPINE_2;
        return 0;
    }
    return SPINE_2;
}

// ---------------------------------------------------------------------------
// Frame segments and F0 candidates

void CASAGrouping::sum_acg(SPINE_GROUPS group) {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    const std::vector<int>& labels = frmSegments[currFrame];
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        if (labels[c] != group) continue;
        const double w = weight(c);
        const double* a = model.acg[c].data() + at;
        for (int k = 0; k < nlags; ++k) sumAcg[k] += w * a[k];
    }
}

void CASAGrouping::update_FrmSeg_F0Cand(const std::vector<int>& channelGroups) {
    const int nchans = model.param.nchans;
    std::vector<int>& seg = frmSegments[currFrame];
    std::vector<double>& cand = f0Candidates[currFrame];

    // The labels go in first: the pooled functions select channels by them.
    int members1 = 0, members2 = 0;
    for (int c = 0; c < nchans; ++c) {
        const int g = channelGroups[c];
        if (g == 0) continue;
        if (g == SPINE_1)
            ++members1;
        else
            ++members2;
        seg[c] = g;
    }
    if (members1 >= 2) group1_candidate(cand);
    if (members2 >= 2) group2_candidates(cand);

    const bool merged = cross_check_candidates(cand);
    for (int c = 0; c < nchans; ++c) {
        if (channelGroups[c] == 0)
            seg[c] = 0;
        else if (merged)
            seg[c] = SPINE_1;
    }
}

void CASAGrouping::group1_candidate(std::vector<double>& cand) {
    sum_acg(SPINE_1);
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 15, minLag, peaks, kMaxPeaks);
    if (n == 0) return;
    double highest = 0.0;
    int lag = peaks[0];
    for (int i = 0; i < n; ++i) {
        if (sumAcg[peaks[i]] > highest) {
            highest = sumAcg[peaks[i]];
            lag = peaks[i];
        }
    }
    cand[0] = lag_hz_single(model.srate, lag);
}

namespace {

// Clears a group-2 candidate that repeats the strongest one or lies at its
// lower octave.
void drop_if_near_first(std::vector<double>& cand, int i) {
    if (std::fabs(cand[1] - 2 * cand[i]) < kCloseHz) cand[i] = 0.0;
    if (std::fabs(cand[1] - cand[i]) < kCloseHz) cand[i] = 0.0;
}

}  // namespace

void CASAGrouping::group2_candidates(std::vector<double>& cand) {
    sum_acg(SPINE_2);
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 15, minLag, peaks, kMaxPeaks);
    if (n == 0) {
        int lag;
        // The last lag read is maxLag itself, kept inside the summary.
        find_max(sumAcg.data(), minLag, std::min(maxLag, model.nlags - 1), lag);
        cand[1] = lag_hz_single(model.srate, lag);
        return;
    }
    // Rank by height; of equal heights the later (longer-lag) peak ranks higher.
    std::pair<double, int> ranked[kMaxPeaks];
    for (int i = 0; i < n; ++i) ranked[i] = {sumAcg[peaks[i]], i};
    std::sort(ranked, ranked + n);
    const double top = ranked[n - 1].first;

    // Which precision a candidate uses matters: the tracker's F0 values are
    // matched back to the candidates bit for bit.
    cand[1] = lag_hz_double(model.srate, peaks[ranked[n - 1].second]);
    if (n >= 2 && ranked[n - 2].first > 0.9 * top) {
        cand[2] = lag_hz_double(model.srate, peaks[ranked[n - 2].second]);
        drop_if_near_first(cand, 2);
    }
    if (n >= 3 && ranked[n - 3].first > 0.9 * top) {
        cand[3] = lag_hz_single(model.srate, peaks[ranked[n - 3].second]);
        drop_if_near_first(cand, 3);
    }
}

bool CASAGrouping::cross_check_candidates(std::vector<double>& cand) const {
    if (!(cand[0] > 0.0)) return false;
    bool merged = false;
    if (cand[1] > 0.0 && std::fabs(cand[0] - cand[1]) < kCloseHz) {
        // Both groups carry the same F0.
        cand[1] = cand[2] = cand[3] = 0.0;
        merged = true;
    }
    // Group 2's other candidates must not repeat group 1's F0, half or double.
    for (int i = 2; i <= 3; ++i) {
        if (cand[i] > 0.0 && (std::fabs(cand[0] - cand[i]) < kCloseHz ||
                              std::fabs(cand[0] - 2 * cand[i]) < kCloseHz ||
                              std::fabs(2 * cand[0] - cand[i]) < kCloseHz))
            cand[i] = 0.0;
    }
    return merged;
}

// ---------------------------------------------------------------------------
// Fragments and mask

void CASAGrouping::form_fragments() {
    const double srate = model.srate;
    for (int i = 0; i < model.nframes; ++i) {
        for (int j = 0; j < 2; ++j) {
            const int label = f0Labels[i][j];
            if (label <= 0) continue;
            const double t = f0Tracks[i][j];
            const std::vector<double>& cand = f0Candidates[i];
            if (t == cand[0]) claim_group(i, SPINE_1, t, label);
            if (t == cand[1] || t == cand[2] || t == cand[3]) {
                // A period beyond the search range: the group is claimed at the floor.
                if (period_lags(srate, t) > maxLag)
                    claim_group_at_floor(i, label);
                else
                    claim_group(i, SPINE_2, t, label);
            }
        }
    }
}

void CASAGrouping::claim_group_at_floor(int frame, int label) {
    for (int k = 0; k < model.param.nchans; ++k) {
        if (frmSegments[frame][k] != SPINE_2) continue;
        fragments[frame][k] = label;
        mask[frame][k] = kMaskFloor;
    }
}

void CASAGrouping::claim_group(int frame, SPINE_GROUPS group, double t, int label) {
    const int nlags = model.nlags;
    const LagRange near = lags_near_f0(model.srate, nlags, t);
    const int lo = near.lo, hi = near.hi;
    const size_t at = static_cast<size_t>(frame) * nlags;
    for (int k = 0; k < model.param.nchans; ++k) {
        if (frmSegments[frame][k] != group) continue;
        fragments[frame][k] = label;
        // The channel's own period near the track's: first strongest lag within 20 Hz.
        int best = lo;
        double highest = 0.0;
        for (int l = lo; l <= hi; ++l) {
            const double v = model.acg[k][at + l];
            if (v > highest) {
                highest = v;
                best = l;
            }
        }
        mask[frame][k] = mask_value(t, best);
    }
}

double CASAGrouping::mask_value(double t, int bestLag) const {
    const double d = std::fabs(t - lag_hz_single(model.srate, bestLag));
    // Logistic in the deviation, 0.5 at 20 Hz, evaluated in single precision.
    const float x = static_cast<float>((20.0 - d) * -0.15);
    const float m = 1.0f / (::expf(x) + 1.0f);
    return m < 0.5f ? kMaskFloor : static_cast<double>(m);
}

bool CASAGrouping::fragment_labels_wrap() const {
    for (const auto& row : fragments)
        for (const int v : row)
            if (v < -32768 || v > 32767) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Result writers

bool CASAGrouping::write_frmSegments(const char* filename) const {
    return write_int16_matrix(filename, frmSegments);
}

bool CASAGrouping::write_f0Candidates(const char* filename) const {
    return write_float32_matrix(filename, f0Candidates);
}

bool CASAGrouping::write_f0Tracks(const char* filename) const {
    return write_float32_matrix(filename, f0Tracks);
}

bool CASAGrouping::write_fragments(const char* filename) const {
    return write_int16_matrix(filename, fragments);
}

bool CASAGrouping::write_mask(const char* filename) const {
    return write_float32_matrix(filename, mask);
}

bool CASAGrouping::write_f0Labels(const char* filename) const {
    return write_int16_matrix(filename, f0Labels);
}
