// Spines and channel assignment of corlune's grouping, on one voiced frame:
// the dendrite lags vote for the frame's periods (at most two "spines"), the
// spines move to the peaks of their supporting channels' summaries, and
// every channel is assigned to the spine its normalised row follows (label
// 1 or 2) or to none (0).
//
//     OneHzRangeTable ranges;                        // one per thread
//     Spines sp = locate_spines(dendrites, weights, nchans, peakLag, lags, ranges);
//     adjust_spines(sp, normalised, dendrites, frameSummary, peakLag, lags, summary, groups);
//     if (!sp.fallback || peakLag <= lags.maxLag)
//         assign_channels(normalised, cfs, sp, lags, groups);
//
// frameSummary is the all-channel summary of the voicing test: when the
// dendrites do not agree, the spine falls back to its peak lag and doubles
// on it.
#pragma once

#include <vector>

#include "framerows.h"
#include "geometry.h"

// The spines of a frame.
struct Spines {
    int lag[4] = {0, 0, 0, 0};  // lag[0], lag[1]: the spines (-1: none); lag[2], lag[3]:
                                // the summary's maximum near twice each
    int count = 2;              // spines in use, 1 or 2
    bool fallback = false;      // the summary's peak lag stands in for the spines
};

// lags_within_hz(g, lag, 1.0) for a run of lags, kept from frame to frame
// while the geometry stays. A table is one thread's.
class OneHzRangeTable {
public:
    // The ranges of the lags base .. base + count - 1: element k is base + k's.
    const LagRange* ranges(const LagGeometry& g, int base, int count);

private:
    int key_[3] = {0, 0, 0};  // srate, base and maxLag of the table
    std::vector<LagRange> table_;
};

// The spines the dendrites vote for. Each channel's dendrite adds its weight
// (1.0 with weights null) to a histogram of the lags minLag + 3 .. maxLag -
// 3; spine 0 is the lag whose 1 Hz neighbourhood gathers most votes (summed
// in single precision), spine 1 the next one beyond that neighbourhood that
// is neither the first again nor its octave. Without any vote the spine
// falls back to peakLag (fallback set, count 1).
Spines locate_spines(const int* dendrites, const double* weights, int nchans, int peakLag,
                     const LagGeometry& g, OneHzRangeTable& ranges);

// Keeps a spine only with more than two channels whose dendrite lies within
// 1 Hz of it (spine 0 falls back to peakLag otherwise), moves each spine to
// the peak of its channels' normalised summary within 5 Hz, sets lag[2],
// lag[3] near twice the spines (on frameSummary after a fallback) and
// merges spines of one periodicity or an octave apart. support receives the
// supporting channels' labels; summary (nlags values) is work space.
void adjust_spines(Spines& sp, const FrameRows& normalised, const int* dendrites,
                   const double* frameSummary, int peakLag, const LagGeometry& g,
                   double* summary, int* support);

// The label of every channel, 0, 1 or 2, from how its normalised row
// follows the spines: the distance in Hz of its own peak near each spine,
// the row's value there, and for high channels the larger neighbour lag.
void assign_channels(const FrameRows& normalised, const double* cfs, const Spines& sp,
                     const LagGeometry& g, int* groups);
