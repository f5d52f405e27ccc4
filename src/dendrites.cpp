#include "dendrites.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "frametests.h"

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
struct DendriteSearch::Buffers {
    // Lags minLag + m, m = 0 .. lags - 1, are candidates (the last lag of the
    // range is not); rows are padded to whole blocks and by kGaborHalf zeros
    // on each side, so that no access needs a bounds test.
    int lags = 0;
    int padded = 0;
    int stride = 0;
    std::vector<double> rowsD;    // padded rows, for full exact scans
    std::vector<float> rowsF;     // nchans padded rows in single precision
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
};

namespace {

using Buffers = DendriteSearch::Buffers;
using vec::f64x2;

// Lags per block of the single-precision pass: the tap sums of five rows
// for one block (the ring, 5 x 30 x 2 x 24 floats) stay in the L1 cache.
constexpr int kBlockF = 24;
constexpr int kRingRow = 2 * kGaborHalf * kBlockF;  // floats of one ring slot
constexpr int kBlockD = 8;     // lags per block of the exact pass
constexpr int kMaxCandidates = 12;
// Values beyond this magnitude (2^20) leave the error bound's assumptions.
constexpr double kBoundLimit = 1048576.0;

bool within_bound_limits(double v) { return std::fabs(v) <= kBoundLimit; }

// Sizes the scratch for the search range minLag .. maxLag - 1.
void set_geometry(Buffers& s, int nchans, int minLag, int maxLag) {
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

// What the dendrite search reads: the frame's normalised rows, the
// channels' kernels and the first lag of the search.
struct GaborInputs {
    const FrameRows& rows;
    const GaborKernels& kernels;
    int minLag;
};

// The part of a row that its padded row holds: entry j of a padded row is
// the lag minLag - kGaborHalf + j; entries from .. to - 1 lie in the row,
// the others are 0.0, the value the straightforward sums use outside it.
struct PaddedSpan {
    int first;  // lag of entry 0
    int from;
    int to;
};

PaddedSpan padded_span(const Buffers& s, const GaborInputs& in) {
    const int have = in.rows.nlags;
    const int first = in.minLag - kGaborHalf;
    const int from = std::clamp(-first, 0, s.stride);
    return {first, from, std::clamp(have - first, from, s.stride)};
}

// Row d in double precision, for a full exact scan.
void pad_row_exact(Buffers& s, const GaborInputs& in, int d) {
    const PaddedSpan p = padded_span(s, in);
    if (s.rowsD.size() < s.rowsF.size()) s.rowsD.resize(s.rowsF.size());
    double* out = &s.rowsD[static_cast<size_t>(d) * s.stride];
    const double* row = in.rows.rows[d] + p.first;
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
void pad_row_approximate(Buffers& s, const GaborInputs& in, int d, vec::Width width) {
    const PaddedSpan p = padded_span(s, in);
    const double* row = in.rows.rows[d] + p.first;
    float* out = &s.rowsF[static_cast<size_t>(d) * s.stride];
    std::fill(out, out + p.from, 0.0f);
    double largest = 0.0;
    bool safe = true;
    int j = vec::dispatch<ConvertRow>(width, row, out, p.from, p.to, largest, safe);
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
void prepare_kernels(Buffers& s, const GaborKernels& kernels, int nchans) {
    constexpr double kNegligible = 0x1p-24;
    for (int c = 0; c < nchans; ++c) {
        float* k = &s.kernF[static_cast<size_t>(c) * 2 * kGaborHalf];
        double sumRe = 0.0, sumIm = 0.0, dropRe = 0.0, dropIm = 0.0;
        int reach = 0;
        bool ok = true;
        for (int t = 0; t < kGaborHalf; ++t) {  // offsets 30 down to 1
            const double kr = kernels.real[c][t], ki = kernels.imag[c][t];
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
[[gnu::always_inline]] inline void tap_sums(const Buffers& s, int d, int m0, float* out) {
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
[[gnu::always_inline]] inline void approximate_block(Buffers& s, int c, int m0) {
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
[[gnu::always_inline]] inline void approximate_pass(Buffers& s, int cLo, int cHi) {
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
    [[gnu::always_inline]] static inline void run(Buffers& s, int cLo, int cHi) {
        approximate_pass<vec::Floats<W>>(s, cLo, cHi);
    }
};

void approximate_responses(Buffers& s, int cLo, int cHi, vec::Width width) {
    vec::dispatch<ApproximatePass>(width, s, cLo, cHi);
}

// The exact energy re^2 + im^2 of channel c at lag minLag + m: the
// straightforward sums, operation by operation and in their order (pairs
// i = 0 .. 4, offsets 30 down to 1, then the centre tap).
double exact_energy(const GaborInputs& in, int c, int m) {
    const int tau = in.minLag + m;
    double re = 0.0, im = 0.0;
    for (int i = 0; i < 5; ++i) {
        const double* D = in.rows.rows[c + 2 - i];
        const int have = in.rows.nlags;
        auto at = [&](int lag) { return lag >= 0 && lag < have ? D[lag] : 0.0; };
        const double* kr = in.kernels.real[c - 2 + i];
        const double* ki = in.kernels.imag[c - 2 + i];
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
void exact_energies(Buffers& s, const GaborInputs& in, int c) {
    for (int d = c - 2; d <= c + 2; ++d) pad_row_exact(s, in, d);
    for (int m0 = 0; m0 < s.padded; m0 += kBlockD) {
        f64x2 re[4] = {}, im[4] = {};
        for (int i = 0; i < 5; ++i) {
            const double* P =
                &s.rowsD[static_cast<size_t>(c + 2 - i) * s.stride + kGaborHalf + m0];
            const double* kr = in.kernels.real[c - 2 + i];
            const double* ki = in.kernels.imag[c - 2 + i];
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

// The full exact scan of channel c: the reference the search is checked
// against, and the fallback where the bound does not decide.
int exact_search(Buffers& s, const GaborInputs& in, int c) {
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
int dendrite_offset(Buffers& s, const GaborInputs& in, int c, vec::Width width) {
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
    int m = vec::dispatch<EnergyBounds>(width, re, im, s.lags, errRe, errIm, high, floor);
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

DendriteSearch::DendriteSearch() : buffers_(std::make_unique<Buffers>()) {}

DendriteSearch::~DendriteSearch() = default;

void DendriteSearch::find(const FrameRows& rows, const GaborKernels& kernels, int minLag,
                          int maxLag, vec::Width width, int* dendrites) {
    const int nchans = rows.nchans;
    // The two channels at each edge lack neighbours: they take their own maximum.
    for (int i = 0; i < 2; ++i) {
        for (const int c : {i, nchans - 1 - i}) {
            if (c < 0 || c >= nchans) continue;
            int lag;
            find_max(rows.rows[c], minLag, maxLag - 1, lag);
            dendrites[c] = lag;
        }
    }
    if (nchans < 5) return;

    Buffers& s = *buffers_;
    set_geometry(s, nchans, minLag, maxLag);
    const GaborInputs in{rows, kernels, minLag};
    for (int d = 0; d < nchans; ++d) pad_row_approximate(s, in, d, width);
    prepare_kernels(s, kernels, nchans);
    approximate_responses(s, 2, nchans - 3, width);
    for (int c = 2; c <= nchans - 3; ++c) dendrites[c] = minLag + dendrite_offset(s, in, c, width);
}

int DendriteSearch::exact_scan(const FrameRows& rows, const GaborKernels& kernels, int c,
                               int minLag, int maxLag) {
    Buffers& s = *buffers_;
    set_geometry(s, rows.nchans, minLag, maxLag);
    const GaborInputs in{rows, kernels, minLag};
    return minLag + exact_search(s, in, c);
}
