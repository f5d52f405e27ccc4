#include "candidates.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "frametests.h"

namespace {

// Peak window of the candidates' summaries, lags.
constexpr int kCandidatePeakWidth = 15;
// A group needs this many members for candidates.
constexpr int kMinMembers = 2;
// Group 2's second and third peaks count when above this share of its highest.
constexpr double kRunnerUp = 0.9;

// Candidate 0: the highest peak of group 1's summary, in single precision.
void group1_candidate(const double* summary, const LagGeometry& g, double* cand) {
    int peaks[kMaxPeaks];
    const int n = pick_peaks(summary, g.nlags, kCandidatePeakWidth, g.minLag, peaks, kMaxPeaks);
    if (n == 0) return;
    double highest = 0.0;
    int lag = peaks[0];
    for (int i = 0; i < n; ++i) {
        if (summary[peaks[i]] > highest) {
            highest = summary[peaks[i]];
            lag = peaks[i];
        }
    }
    cand[0] = lag_hz_single(g.srate, lag);
}

// Clears a group-2 candidate that repeats the strongest one or lies at its
// lower octave.
void drop_if_near_first(double* cand, int i) {
    if (std::fabs(cand[1] - 2 * cand[i]) < kCloseHz) cand[i] = 0.0;
    if (std::fabs(cand[1] - cand[i]) < kCloseHz) cand[i] = 0.0;
}

// Candidates 1 to 3: group 2's highest peaks, or without a peak its
// summary's maximum. Which precision a candidate uses matters: the
// tracker's F0 values are matched back to the candidates bit for bit.
void group2_candidates(const double* summary, const LagGeometry& g, double* cand) {
    int peaks[kMaxPeaks];
    const int n = pick_peaks(summary, g.nlags, kCandidatePeakWidth, g.minLag, peaks, kMaxPeaks);
    if (n == 0) {
        int lag;
        // The last lag read is maxLag itself, kept inside the summary.
        find_max(summary, g.minLag, std::min(g.maxLag, g.nlags - 1), lag);
        cand[1] = lag_hz_single(g.srate, lag);
        return;
    }
    // Rank by height; of equal heights the later (longer-lag) peak ranks higher.
    std::pair<double, int> ranked[kMaxPeaks];
    for (int i = 0; i < n; ++i) ranked[i] = {summary[peaks[i]], i};
    std::sort(ranked, ranked + n);
    const double top = ranked[n - 1].first;

    cand[1] = lag_hz_double(g.srate, peaks[ranked[n - 1].second]);
    if (n >= 2 && ranked[n - 2].first > kRunnerUp * top) {
        cand[2] = lag_hz_double(g.srate, peaks[ranked[n - 2].second]);
        drop_if_near_first(cand, 2);
    }
    if (n >= 3 && ranked[n - 3].first > kRunnerUp * top) {
        cand[3] = lag_hz_single(g.srate, peaks[ranked[n - 3].second]);
        drop_if_near_first(cand, 3);
    }
}

// Group 2's candidates against group 1's; true when both groups carry the
// same F0.
bool cross_check(double* cand) {
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

}  // namespace

bool group_candidates(const FrameRows& raw, const double* weights, const int* groups,
                      const LagGeometry& g, double* summary, double* cand) {
    int members1 = 0, members2 = 0;
    for (int c = 0; c < raw.nchans; ++c) {
        if (groups[c] == SPINE_1)
            ++members1;
        else if (groups[c] != 0)
            ++members2;
    }
    if (members1 >= kMinMembers) {
        weighted_group_summary(raw, weights, groups, SPINE_1, summary);
        group1_candidate(summary, g, cand);
    }
    if (members2 >= kMinMembers) {
        weighted_group_summary(raw, weights, groups, SPINE_2, summary);
        group2_candidates(summary, g, cand);
    }
    return cross_check(cand);
}

void frame_labels(const int* groups, int nchans, bool merged, int* labels) {
    for (int c = 0; c < nchans; ++c)
        labels[c] = groups[c] == 0 ? 0 : (merged ? static_cast<int>(SPINE_1) : groups[c]);
}
