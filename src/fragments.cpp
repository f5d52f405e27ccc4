#include "fragments.h"

#include <cmath>

#include "frametests.h"

namespace {

// Slope of the mask's logistic, per Hz of distance.
constexpr double kMaskSlope = -0.15;

// Claims the units of group with the track's label and their mask values.
void claim_group(const int* labels, int group, double f0, int label, const int* best, int srate,
                 int nchans, int* frag, double* mask) {
    for (int k = 0; k < nchans; ++k) {
        if (labels[k] != group) continue;
        frag[k] = label;
        mask[k] = mask_value(f0, best[k], srate);
    }
}

// Claims group 2's units at the floor.
void claim_group_at_floor(const int* labels, int label, int nchans, int* frag, double* mask) {
    for (int k = 0; k < nchans; ++k) {
        if (labels[k] != SPINE_2) continue;
        frag[k] = label;
        mask[k] = kMaskFloor;
    }
}

}  // namespace

void best_lags_near(const FrameRows& raw, const int* labels, int group, double f0, int srate,
                    int* best) {
    const LagRange near = lags_near_f0(srate, raw.nlags, f0);
    for (int k = 0; k < raw.nchans; ++k) {
        if (labels[k] != group) continue;
        // The channel's own period near the track's: first strongest lag within 20 Hz.
        const double* row = raw.rows[k];
        int lag = near.lo;
        double highest = 0.0;
        for (int l = near.lo; l <= near.hi; ++l) {
            if (row[l] > highest) {
                highest = row[l];
                lag = l;
            }
        }
        best[k] = lag;
    }
}

double mask_value(double f0, int bestLag, int srate) {
    const double d = std::fabs(f0 - lag_hz_single(srate, bestLag));
    // Logistic in the deviation, 0.5 at 20 Hz, evaluated in single precision.
    const float x = static_cast<float>((kClaimHz - d) * kMaskSlope);
    const float m = 1.0f / (::expf(x) + 1.0f);
    return m < 0.5f ? kMaskFloor : static_cast<double>(m);
}

void claim_frame(const int* labels, const double* cand, const int* trackLabels,
                 const double* trackF0s, const LagGeometry& g, int nchans,
                 const BestLags& bestLags, int* frag, double* mask) {
    for (int j = 0; j < 2; ++j) {
        const int label = trackLabels[j];
        if (label <= 0) continue;
        const double t = trackF0s[j];
        if (t == cand[0])
            claim_group(labels, SPINE_1, t, label, bestLags(SPINE_1, t), g.srate, nchans, frag,
                        mask);
        if (t == cand[1] || t == cand[2] || t == cand[3]) {
            // A period beyond the search range: the group is claimed at the floor.
            if (period_lags(g.srate, t) > g.maxLag)
                claim_group_at_floor(labels, label, nchans, frag, mask);
            else
                claim_group(labels, SPINE_2, t, label, bestLags(SPINE_2, t), g.srate, nchans,
                            frag, mask);
        }
    }
}
