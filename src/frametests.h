// Frame tests and summary autocorrelations of corlune's grouping, on one
// frame: whether it is silent, its weighted summary over all channels and
// whether that summary is voiced (with its highest peak), the channels' rows
// normalised by their lag 0, the summaries of one group of channels, and
// the peak picking and maximum search the later stages use on rows and
// summaries.
//
//     if (is_silent_frame(raw)) ...;
//     std::vector<double> summary(raw.nlags);
//     weighted_summary(raw, weights, summary.data());      // weights may be null
//     const Voicing v = voicing_of(summary.data(), lags);  // v.unvoiced, v.peakLag
//     normalise_rows(raw, normalisedRows, vec::active_width());
#pragma once

#include "framerows.h"
#include "geometry.h"
#include "vectors.h"

// Channel-group labels; 0 means no group.
enum SPINE_GROUPS { SPINE_1 = 1, SPINE_2 = 2 };

// A frame whose loudest lag 0 is below this is silent.
constexpr double kSilenceFloor = 0.00001;
// Peaks kept per summary autocorrelation.
constexpr int kMaxPeaks = 32;
// Two F0s (or the frequencies of two lags) closer than this are one, Hz.
constexpr double kCloseHz = 3.0;

// True when the frame is silent: its loudest channel (largest lag 0) is
// below the floor, not positive, or the lowest channel (energy there is hum
// or rumble, not voice). A frame without channels or lags is silent.
bool is_silent_frame(const FrameRows& raw);

// summary[k] = sum over channels of weight x row[k], k < nlags, channels in
// order (weights null: 1.0 each).
void weighted_summary(const FrameRows& raw, const double* weights, double* summary);

// The voicing test of a frame's summary.
struct Voicing {
    bool unvoiced;
    int peakLag;  // lag of the highest summary peak from minLag on, -1 for none
};

// Unvoiced when the summary has no peak (window 20 lags) from minLag on,
// when its highest peak lies within 3 lags of minLag, or when that peak is
// below half of lag 0.
Voicing voicing_of(const double* summary, const LagGeometry& g);

// out[c][k] = min(raw[c][k] / raw[c][0], 1.0) for k >= 1, out[c][0] = 1.0;
// a row whose lag 0 is not positive is divided by 1.0.
void normalise_rows(const FrameRows& raw, double* const* out, vec::Width width);

// summary[k] = sum of the rows of the channels labelled group, k < nlags,
// unweighted (for normalised rows).
void group_summary(const FrameRows& rows, const int* labels, int group, double* summary);

// summary[k] = sum of weight x row[k] over the channels labelled group
// (weights null: 1.0 each), for raw rows.
void weighted_group_summary(const FrameRows& raw, const double* weights, const int* labels,
                            int group, double* summary);

// Peaks of data[0 .. n - 1] from start on: above 40 % of data[0] and the
// maximum of their window (width / 2 rounded up on each side); after a peak
// width / 3 lags are skipped. Writes at most maxPeaks lags to peaks and
// returns their count (0 when data[0] is not positive).
int pick_peaks(const double* data, int n, int width, int start, int* peaks, int maxPeaks);

// The first largest positive value of p[from .. to] and its index (from when
// none is positive); 0.0 when none is.
double find_max(const double* p, int from, int to, int& idx);
