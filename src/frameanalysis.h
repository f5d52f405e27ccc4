// The analysis of one frame by corlune's grouping, as one step that takes
// values and returns one: the silence and voicing tests, the normalised
// rows, the Gabor kernels, the dendrites, the spines, the channel
// assignment and the F0 candidates with the frame's labels. It reads only
// its inputs (one frame's raw rows, its weights and the centre frequencies)
// and writes only its result and its scratch, so frames can be analysed at
// the same time on different threads, each with a FrameScratch of its own.
//
//     FrameScratch scratch;                                // one per thread
//     const FrameInput in{raw, weights, cfs};              // weights may be null
//     const FrameAnalysis a = analyse_frame(in, lag_geometry(srate, nlags), scratch);
//     if (a.kind == FrameKind::Grouped) use(a.labels, a.candidates);
#pragma once

#include <algorithm>
#include <vector>

#include "candidates.h"
#include "dendrites.h"
#include "framerows.h"
#include "gabor.h"
#include "geometry.h"
#include "spines.h"
#include "stagetimer.h"
#include "vectors.h"

// What one frame's analysis reads.
struct FrameInput {
    FrameRows raw;           // the frame's raw autocorrelogram rows
    const double* weights;   // raw.nchans channel weights, or null for 1.0 each
    const double* cfs;       // raw.nchans centre frequencies, Hz, ascending
};

enum class FrameKind {
    Silent,     // no further test
    Unvoiced,   // the summary's periodicity is too weak
    Ungrouped,  // voiced, but the fallback spine lies beyond the search range
    Grouped,    // labels and candidates set
};

// The result of one frame's analysis, with the intermediate values of its
// stages (empty where the analysis stopped before them).
struct FrameAnalysis {
    FrameKind kind = FrameKind::Silent;
    std::vector<double> summary;   // weighted summary over all channels (nlags values)
    int peakLag = -1;              // its highest peak from minLag on, -1 for none
    std::vector<int> dendrites;    // per channel
    Spines spines;
    std::vector<int> assignment;   // channel groups as assigned, before a merge
    std::vector<int> labels;       // per channel 0, 1, 2: the frame's .frmseg row
    double candidates[kCandidates] = {};  // the frame's .f0cands row, Hz (0.0: none)
};

// The work space of one thread's frame analyses, reused from frame to
// frame; it holds nothing a result depends on beyond the call that fills it.
struct FrameScratch {
    vec::Width widthCap = vec::Width::Avx512;  // widest vectors its frames may use
    StageTimer* timer = nullptr;               // optional timing hook

    GaborKernelTable kernels;   // kernels by period, kept while nlags stays
    DendriteSearch search;
    OneHzRangeTable ranges;
    std::vector<double> normalised;  // nchans x nlags normalised rows
    std::vector<double> summary;     // a group's summary
    std::vector<const double*> rows, real, imag;
    std::vector<double*> outRows;

    // The width of this scratch's vector loops: the process's, at most widthCap.
    vec::Width width() const { return std::min(vec::active_width(), widthCap); }
};

FrameAnalysis analyse_frame(const FrameInput& in, const LagGeometry& g, FrameScratch& scratch);

// The steps of analyse_frame after the voicing test, for callers that hold
// the normalised rows and kernels themselves.

// The frame's rows normalised by their lag 0, in the scratch (valid until
// its next use).
FrameRows normalise_frame(const FrameRows& raw, FrameScratch& scratch);

// Each channel's Gabor kernel for its normalised row, from the scratch's
// table (valid while the scratch lives).
GaborKernels frame_kernels(const FrameRows& normalised, FrameScratch& scratch);

// Dendrites, spines, assignment, candidates and labels of a voiced frame;
// a.summary and a.peakLag must hold the voicing test's summary and peak,
// and a.labels nchans zeros.
void group_frame(const FrameInput& in, const FrameRows& normalised, const GaborKernels& kernels,
                 const LagGeometry& g, FrameScratch& scratch, FrameAnalysis& a);
