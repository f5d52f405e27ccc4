// Fragments and the soft mask of corlune's grouping: each track claims, in
// every frame of its run, the channel group whose candidate its F0 is (bit
// for bit), and every unit of that group takes the track's label and a mask
// value from how far the unit's own period near the F0 lies from it.
//
// The claim needs the autocorrelogram only through the best lags of a
// frame's channels near an F0, so it is split in two: best_lags_near()
// reads one frame's raw rows (a streaming caller runs it for each of the
// frame's candidates while the frame is in memory), and claim_frame() works
// from those values.
//
//     std::vector<int> best(nchans);
//     best_lags_near(raw, labels, SPINE_1, cand[0], srate, best.data());
//     ...                                           // later, after tracking:
//     claim_frame(labels, cand, trackLabels, trackF0s, lags, nchans, bestLags, frag, mask);
#pragma once

#include <functional>

#include "framerows.h"
#include "geometry.h"

// Mask value of a claimed unit whose period is far from its track's F0.
constexpr double kMaskFloor = 0.501;

// For each channel c labelled group: best[c] = the first lag with the
// largest positive raw value within 20 Hz of f0 (the range's first lag
// when none is positive). Other channels' entries are left alone.
void best_lags_near(const FrameRows& raw, const int* labels, int group, double f0, int srate,
                    int* best);

// The mask value of a unit whose best lag is bestLag under a track at f0:
// a logistic of the distance in Hz, 0.5 at 20 Hz, in single precision;
// kMaskFloor below 0.5.
double mask_value(double f0, int bestLag, int srate);

// best_lags_near() of one frame's channels labelled group near f0.
using BestLags = std::function<const int*(int group, double f0)>;

// The claims of one frame's two track slots (label 0: empty), slot 0 first:
// a track whose F0 is candidate 0 claims group 1; one whose F0 is candidate
// 1, 2 or 3 claims group 2, at kMaskFloor without a search when its period
// lies beyond maxLag. Claimed units get the label in frag and a mask value
// in mask; a later claim overwrites an earlier one.
void claim_frame(const int* labels, const double* cand, const int* trackLabels,
                 const double* trackF0s, const LagGeometry& g, int nchans,
                 const BestLags& bestLags, int* frag, double* mask);
