#include "spines.h"

#include <algorithm>
#include <cmath>

#include "frametests.h"

namespace {

// The dendrite histogram covers the lags minLag + 3 .. maxLag - 3.
constexpr int kHistogramInset = 3;
// Channels whose dendrite lies this close to a spine support it, Hz.
constexpr double kSupportHz = 1.0;
// A spine needs at least this many supporting channels.
constexpr int kMinSupport = 3;
// A spine moves to its channels' summary peak within this distance, Hz.
constexpr double kSpineMoveHz = 5.0;
// Twice a spine is looked for this many lags on either side.
constexpr int kDoubleSearchLags = 5;
// Spines this close are one periodicity (<=), Hz.
constexpr double kOnePeriodicityHz = 3.0;
// A spine this close to twice the other's lag is its octave (<), Hz.
constexpr double kOctaveHz = 2.0;
// A channel's tolerance: this share of the spine frequency ...
constexpr double kSpineShare = 0.05;
// ... and its search range around a spine: this share.
constexpr double kSpineRangeShare = 0.1;
// A row whose peak near spine 0 is below this share of its lag 0 is too weak.
constexpr double kWeakRow = 0.1;
// Above this centre frequency a channel resolves the period only to within
// a lag, and the spine lag moves to its larger neighbour, Hz.
constexpr double kLagResolvedHz = 740.0;
// Above this centre frequency a channel joins the spine where its row is larger, Hz.
constexpr double kHighChannelHz = 3650.0;
// A row follows a spine lag whose value is above this share of its peak
// near the spine ...
constexpr double kNearPeak = 0.95;
// ... and above this share of its lag 0.
constexpr double kFollowsZeroLag = 0.5;
// Margin of a channel's distance to a spine beside the tolerance, Hz.
constexpr double kMarginHz = 1.0;

// Sum of the histogram bins over the lags lo .. hi (bins outside ignored),
// accumulated in single precision.
float histogram_score(const std::vector<double>& hist, int base, int lo, int hi) {
    const int L = static_cast<int>(hist.size());
    float acc = 0.0f;
    for (int b = lo - base; b <= hi - base; ++b)
        if (b >= 0 && b < L) acc = static_cast<float>(static_cast<double>(acc) + hist[b]);
    return acc;
}

// Sets lag[s + 2] to the summary's maximum near twice lag[s].
void double_spine(const double* summary, int maxLag, Spines& sp, int s) {
    const int d = 2 * sp.lag[s];
    sp.lag[s + 2] = d;
    if (d + kDoubleSearchLags < maxLag) {
        int lag;
        find_max(summary, d - kDoubleSearchLags, d + kDoubleSearchLags, lag);
        sp.lag[s + 2] = lag;
    } else {
        sp.lag[s + 2] = std::min(d, maxLag - 1);
    }
}

// Spines of one periodicity, or an octave apart, become one.
void merge_spines(Spines& sp, int srate) {
    const int s0 = sp.lag[0];
    const int s1 = sp.lag[1];
    if (hz_apart(srate, s0, s1) <= kOnePeriodicityHz) {
        sp.count = 1;  // one periodicity: the first spine stays
    } else if (hz_apart(srate, s0, 2 * s1) < kOctaveHz) {
        // The first spine is the second's lower octave: keep the shorter period.
        sp.lag[0] = sp.lag[1];
        sp.lag[2] = sp.lag[3];
        sp.count = 1;
    } else if (hz_apart(srate, s1, 2 * s0) < kOctaveHz) {
        sp.count = 1;  // the second spine is the first's lower octave
    }
}

// True when row r follows lag h: its value there is near the peak rangeMax
// and a good share of its lag 0.
bool follows(const double* r, int h, double rangeMax) {
    return r[h] / rangeMax > kNearPeak && r[h] / r[0] > kFollowsZeroLag;
}

// The spine lag moved to its larger neighbour; idx becomes that lag when
// the row follows it.
int toward_larger_neighbour(const double* r, int lag, double rangeMax, int& idx) {
    int h = lag;
    if (r[lag - 1] > r[lag])
        h = lag - 1;
    else if (r[lag + 1] > r[lag])
        h = lag + 1;
    if (follows(r, h, rangeMax)) idx = h;
    return h;
}

// A channel's label from its distances e1, e2 (Hz) to the spines.
int decide_label(const double* r, double tol, double e1, double e2, double max1, double max2,
                 int l, int j, int s2, bool twoSpines) {
    if (tol > e1 && (e2 > e1 || max1 > max2)) return r[l] > r[s2] ? SPINE_1 : SPINE_2;
    if (tol > e2 && (e1 > e2 || max2 > max1)) return SPINE_2;
    if (twoSpines) {
        if (r[0] > kSilenceFloor) return r[l] > r[j] ? SPINE_1 : SPINE_2;
        return 0;
    }
    return SPINE_2;
}

}  // namespace

const LagRange* OneHzRangeTable::ranges(const LagGeometry& g, int base, int count) {
    const int key[3] = {g.srate, base, g.maxLag};
    if (!std::equal(key, key + 3, key_) || static_cast<int>(table_.size()) < count) {
        // The ranges depend on nothing else: the table serves every frame.
        table_.resize(std::max(count, 0));
        for (int k = 0; k < count; ++k) table_[k] = lags_within_hz(g, base + k, kSupportHz);
        std::copy(key, key + 3, key_);
    }
    return table_.data();
}

Spines locate_spines(const int* dendrites, const double* weights, int nchans, int peakLag,
                     const LagGeometry& g, OneHzRangeTable& table) {
    const int base = g.minLag + kHistogramInset;
    const int L = (g.maxLag - kHistogramInset) - base + 1;

    // Histogram of dendrite lags, each channel voting with its weight.
    std::vector<double> hist(L > 0 ? L : 0, 0.0);
    for (int c = 0; c < nchans; ++c) {
        const int d = dendrites[c];
        if (d >= base && d <= base + L - 1) hist[d - base] += weights ? weights[c] : 1.0;
    }

    Spines sp;
    sp.count = 1;
    sp.lag[0] = -1;
    sp.lag[1] = -1;
    const LagRange* ranges = table.ranges(g, base, L);
    auto score = [&](int tau) {
        const LagRange& r = ranges[tau - base];
        return histogram_score(hist, base, r.lo, r.hi);
    };

    if (L > 2) {
        float best = 0.0f;
        for (int k = 2; k < L; ++k) {
            const float s = score(base + k);
            if (s > best) {
                best = s;
                sp.lag[0] = k;
            }
        }
    }
    if (sp.lag[0] == -1) {
        // No dendrite agreement: the summary's own period is the only spine.
        sp.lag[0] = peakLag;
        sp.fallback = true;
        return sp;
    }
    sp.lag[0] = base + sp.lag[0];

    // Clear the first spine's neighbourhood before looking for a second one.
    const LagRange near = lags_within_hz(g, sp.lag[0], kSupportHz);
    for (int lag = near.lo; lag <= near.hi; ++lag)
        if (lag - base >= 0 && lag - base < L) hist[lag - base] = 0.0;

    // The second spine is neither the first again nor its octave.
    float best = 0.0f;
    for (int j = 0; j < L; ++j) {
        const int tau = base + j;
        const float s = score(tau);
        if (s > best && hz_apart(g.srate, sp.lag[0], tau) > kCloseHz &&
            hz_apart(g.srate, sp.lag[0], tau / 2) > kCloseHz) {
            best = s;
            sp.lag[1] = j;
        }
    }
    if (sp.lag[1] != -1) {
        sp.count = 2;
        sp.lag[1] = base + sp.lag[1];
    }
    return sp;
}

void adjust_spines(Spines& sp, const FrameRows& normalised, const int* dendrites,
                   const double* frameSummary, int peakLag, const LagGeometry& g,
                   double* summary, int* support) {
    const int nchans = normalised.nchans;
    auto fall_back = [&]() {
        sp.lag[0] = peakLag;
        sp.fallback = true;
        sp.count = 1;
        double_spine(frameSummary, g.maxLag, sp, 0);
    };
    if (sp.fallback) {
        double_spine(frameSummary, g.maxLag, sp, 0);
        return;
    }

    // Support: channels whose dendrite lies within 1 Hz of a spine.
    const LagRange r0 = lags_within_hz(g, sp.lag[0], kSupportHz);
    LagRange r1{0, 0};
    if (sp.count > 1) r1 = lags_within_hz(g, sp.lag[1], kSupportHz);
    if (nchans <= 0) return fall_back();
    int support1 = 0, support2 = 0;
    for (int c = 0; c < nchans; ++c) {
        const int d = dendrites[c];
        if (r0.lo <= d && d <= r0.hi) {
            support[c] = SPINE_1;
            ++support1;
        } else if (sp.count > 1 && r1.lo <= d && d <= r1.hi) {
            support[c] = SPINE_2;
            ++support2;
        }
    }
    if (support1 < kMinSupport) return fall_back();
    if (support2 < kMinSupport) sp.count = 1;

    // Move each spine to the peak of its own channels' summary within 5 Hz.
    group_summary(normalised, support, SPINE_1, summary);
    LagRange r = lags_within_hz(g, sp.lag[0], kSpineMoveHz);
    find_max(summary, r.lo, r.hi, sp.lag[0]);
    double_spine(summary, g.maxLag, sp, 0);
    if (sp.count == 1) return;

    // A second spine at the very end of the range has no peak to move to.
    if (sp.lag[1] + 2 >= g.maxLag) {
        sp.count = 1;
        return;
    }
    group_summary(normalised, support, SPINE_2, summary);
    r = lags_within_hz(g, sp.lag[1], kSpineMoveHz);
    find_max(summary, r.lo, r.hi, sp.lag[1]);
    double_spine(summary, g.maxLag, sp, 1);

    merge_spines(sp, g.srate);
}

void assign_channels(const FrameRows& normalised, const double* cfs, const Spines& sp,
                     const LagGeometry& g, int* groups) {
    const int nchans = normalised.nchans;
    const double srate = g.srate;
    const int s0 = sp.lag[0], s1 = sp.lag[1], s2 = sp.lag[2];
    std::fill(groups, groups + nchans, 0);

    // Lags within 10 % of each spine frequency; tol is 5 % of the lower one.
    double tol = srate * kSpineShare / s0;
    const LagRange r0 = lags_within_hz(g, s0, tol + tol);
    LagRange r1{0, 0};
    if (sp.count > 1) {
        const double tol1 = kSpineShare * srate / s1;
        tol = std::min(tol, tol1);
        r1 = lags_within_hz(g, s1, srate * kSpineRangeShare / s1);
    }

    for (int c = 0; c < nchans; ++c) {
        const double* r = normalised.rows[c];
        const double cf = cfs[c];
        int idx;
        const double max1 = find_max(r, r0.lo, r0.hi, idx);
        if (r[0] == 0.0 || max1 / r[0] < kWeakRow) continue;  // too weak to examine

        // High channels resolve the period only to within a lag.
        int l = s0;
        if (cf > kLagResolvedHz) l = toward_larger_neighbour(r, l, max1, idx);
        const double e1 = (max1 > 0.0 && follows(r, l, max1))
                              ? std::min(tol - kMarginHz, hz_apart(g.srate, idx, l))
                              : tol + kMarginHz;
        if (sp.count <= 1) {
            groups[c] = decide_label(r, tol, e1, tol + kMarginHz, max1, 0.0, l, 0, s2, false);
            continue;
        }

        const double max2 = find_max(r, r1.lo, r1.hi, idx);
        int j = s1;
        if (cf > kLagResolvedHz) j = toward_larger_neighbour(r, j, max2, idx);
        double e2 = hz_apart(g.srate, idx, j);
        if (max2 > 0.0 && follows(r, j, max2)) {
            e2 = std::min(tol - kMarginHz, e2);
            if (r[j] > r[l]) e2 = std::min(e1, e2);
        }
        if (cf > kHighChannelHz)
            groups[c] = r[l] > r[j] ? SPINE_1 : SPINE_2;
        else
            groups[c] = decide_label(r, tol, e1, e2, max1, max2, l, j, s2, true);
    }
}
