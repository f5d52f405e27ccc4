#include "frametests.h"

#include <algorithm>
#include <cmath>

namespace {

// Peak window of the voicing test, lags.
constexpr int kVoicingPeakWidth = 20;
// A voiced frame's highest summary peak lies this many lags beyond minLag or more.
constexpr int kVoicingMinLagMargin = 3;
// ... and reaches this share of the summary's lag 0.
constexpr double kVoicingPeakRatio = 0.5;
// A peak exceeds this share of lag 0.
constexpr double kPeakThreshold = 0.4;

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

}  // namespace

bool is_silent_frame(const FrameRows& raw) {
    if (raw.nchans <= 0 || raw.nlags <= 0) return true;
    double loudest = 0.0;
    int where = 0;
    for (int c = 0; c < raw.nchans; ++c) {
        const double v = raw.rows[c][0];
        if (v > loudest) {
            loudest = v;
            where = c;
        }
    }
    // Energy concentrated in the lowest channel is hum or rumble, not voice.
    return loudest < kSilenceFloor || !(loudest > 0.0) || where == 0;
}

void weighted_summary(const FrameRows& raw, const double* weights, double* summary) {
    std::fill(summary, summary + raw.nlags, 0.0);
    for (int c = 0; c < raw.nchans; ++c) {
        const double w = weights ? weights[c] : 1.0;
        const double* a = raw.rows[c];
        for (int k = 0; k < raw.nlags; ++k) summary[k] = w * a[k] + summary[k];
    }
}

Voicing voicing_of(const double* summary, const LagGeometry& g) {
    Voicing v{true, -1};
    int peaks[kMaxPeaks];
    const int n = pick_peaks(summary, g.nlags, kVoicingPeakWidth, g.minLag, peaks, kMaxPeaks);
    if (n == 0) return v;
    double highest = 0.0;
    for (int i = 0; i < n; ++i) {
        if (summary[peaks[i]] > highest) {
            highest = summary[peaks[i]];
            v.peakLag = peaks[i];
        }
    }
    if (v.peakLag < g.minLag + kVoicingMinLagMargin) return v;
    v.unvoiced = highest / summary[0] < kVoicingPeakRatio;
    return v;
}

void normalise_rows(const FrameRows& raw, double* const* out, vec::Width width) {
    const int nlags = raw.nlags;
    for (int c = 0; c < raw.nchans; ++c) {
        const double* a = raw.rows[c];
        double* row = out[c];
        row[0] = 1.0;
        const double d = a[0] > 0.0 ? a[0] : 1.0;
        int k = vec::dispatch<DivideCapped>(width, a, d, row, 1, nlags);
        for (; k < nlags; ++k) {
            const double v = a[k] / d;
            row[k] = v > 1.0 ? 1.0 : v;
        }
    }
}

void group_summary(const FrameRows& rows, const int* labels, int group, double* summary) {
    std::fill(summary, summary + rows.nlags, 0.0);
    for (int c = 0; c < rows.nchans; ++c) {
        if (labels[c] != group) continue;
        const double* r = rows.rows[c];
        for (int k = 0; k < rows.nlags; ++k) summary[k] += r[k];
    }
}

void weighted_group_summary(const FrameRows& raw, const double* weights, const int* labels,
                            int group, double* summary) {
    std::fill(summary, summary + raw.nlags, 0.0);
    for (int c = 0; c < raw.nchans; ++c) {
        if (labels[c] != group) continue;
        const double w = weights ? weights[c] : 1.0;
        const double* a = raw.rows[c];
        for (int k = 0; k < raw.nlags; ++k) summary[k] += w * a[k];
    }
}

int pick_peaks(const double* data, int n, int width, int start, int* peaks, int maxPeaks) {
    const int skip = static_cast<int>(std::floor(width / 3.0));
    if (!(data[0] > 0.0) || maxPeaks <= 0) return 0;
    const int half = static_cast<int>(std::ceil(width * 0.5));
    const double threshold = kPeakThreshold * data[0];
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

double find_max(const double* p, int from, int to, int& idx) {
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
