// F0 candidates of corlune's grouping, on one grouped frame: each channel
// group's weighted summary of the raw rows gives its candidates (one for
// group 1, up to three for group 2), the two groups are cross-checked, and
// groups that carry the same F0 merge.
//
//     double cand[kCandidates] = {};                 // 0.0: none
//     const bool merged = group_candidates(raw, weights, groups, lags, summary, cand);
//     frame_labels(groups, nchans, merged, labels);  // the frame's .frmseg row
#pragma once

#include "framerows.h"
#include "geometry.h"

// Candidates per frame: column 0 of group 1, columns 1 .. 3 of group 2.
constexpr int kCandidates = 4;

// The candidates of the groups (labels 1 and 2 in groups) of a frame, each
// from its members' weighted summary of the raw rows (weights null: 1.0
// each) when the group has at least two members; summary (nlags values) is
// work space. cand holds the four candidates; those a group does not set
// keep their value (0.0 for a fresh frame). Returns true when both groups
// carry the same F0 (group 2's candidates are then cleared).
bool group_candidates(const FrameRows& raw, const double* weights, const int* groups,
                      const LagGeometry& g, double* summary, double* cand);

// The frame's labels: its groups, with group 2 relabelled 1 when merged.
void frame_labels(const int* groups, int nchans, bool merged, int* labels);
