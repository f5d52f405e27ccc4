#include "frameanalysis.h"

#include "frametests.h"

FrameAnalysis analyse_frame(const FrameInput& in, const LagGeometry& g, FrameScratch& scratch) {
    FrameAnalysis a;
    a.labels.assign(in.raw.nchans > 0 ? in.raw.nchans : 0, 0);
    mark(scratch.timer, Stage::FrameTests);
    if (is_silent_frame(in.raw)) {
        mark(scratch.timer, Stage::Idle);
        return a;
    }
    a.summary.resize(in.raw.nlags);
    weighted_summary(in.raw, in.weights, a.summary.data());
    const Voicing voicing = voicing_of(a.summary.data(), g);
    a.peakLag = voicing.peakLag;
    if (voicing.unvoiced) {
        a.kind = FrameKind::Unvoiced;
        mark(scratch.timer, Stage::Idle);
        return a;
    }
    const FrameRows normalised = normalise_frame(in.raw, scratch);
    mark(scratch.timer, Stage::Dendrites);
    const GaborKernels kernels = frame_kernels(normalised, scratch);
    group_frame(in, normalised, kernels, g, scratch, a);
    mark(scratch.timer, Stage::Idle);
    return a;
}

FrameRows normalise_frame(const FrameRows& raw, FrameScratch& scratch) {
    const size_t nchans = static_cast<size_t>(raw.nchans), nlags = static_cast<size_t>(raw.nlags);
    if (scratch.normalised.size() < nchans * nlags) scratch.normalised.resize(nchans * nlags);
    scratch.rows.resize(nchans);
    scratch.outRows.resize(nchans);
    for (size_t c = 0; c < nchans; ++c) {
        scratch.outRows[c] = scratch.normalised.data() + c * nlags;
        scratch.rows[c] = scratch.outRows[c];
    }
    normalise_rows(raw, scratch.outRows.data(), scratch.width());
    return {scratch.rows.data(), raw.nchans, raw.nlags};
}

GaborKernels frame_kernels(const FrameRows& normalised, FrameScratch& scratch) {
    if (scratch.kernels.nlags() != normalised.nlags)
        scratch.kernels = GaborKernelTable(normalised.nlags);
    scratch.real.resize(normalised.nchans);
    scratch.imag.resize(normalised.nchans);
    for (int c = 0; c < normalised.nchans; ++c) {
        const double* taps =
            scratch.kernels.kernel(twice_period(normalised.rows[c], normalised.nlags));
        scratch.real[c] = taps;
        scratch.imag[c] = taps + kGaborHalf;
    }
    return {scratch.real.data(), scratch.imag.data()};
}

void group_frame(const FrameInput& in, const FrameRows& normalised, const GaborKernels& kernels,
                 const LagGeometry& g, FrameScratch& scratch, FrameAnalysis& a) {
    const int nchans = in.raw.nchans;
    a.dendrites.assign(nchans, 0);
    scratch.search.find(normalised, kernels, g.minLag, g.maxLag, scratch.width(),
                        a.dendrites.data());
    a.spines = locate_spines(a.dendrites.data(), in.weights, nchans, a.peakLag, g, scratch.ranges);

    mark(scratch.timer, Stage::Spines);
    a.assignment.assign(nchans, 0);
    if (scratch.summary.size() < static_cast<size_t>(in.raw.nlags))
        scratch.summary.resize(in.raw.nlags);
    adjust_spines(a.spines, normalised, a.dendrites.data(), a.summary.data(), a.peakLag, g,
                  scratch.summary.data(), a.assignment.data());
    // A fallback spine beyond the search range carries no usable period.
    if (a.spines.fallback && a.peakLag > g.maxLag) {
        a.kind = FrameKind::Ungrouped;
        return;
    }
    assign_channels(normalised, in.cfs, a.spines, g, a.assignment.data());

    mark(scratch.timer, Stage::Candidates);
    const bool merged = group_candidates(in.raw, in.weights, a.assignment.data(), g,
                                         scratch.summary.data(), a.candidates);
    frame_labels(a.assignment.data(), nchans, merged, a.labels.data());
    a.kind = FrameKind::Grouped;
}
