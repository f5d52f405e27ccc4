// The results of corlune's grouping of a signal, kept frame by frame in
// compact form while the signal streams through, and what becomes of them
// once it has ended: the tracker's run over all candidates, the fragments
// and the soft mask, and the six result files.
//
// A frame is reduced, while its autocorrelogram is in memory, to what the
// tracker and the fragments need (ReducedFrame): the channels' group labels,
// the four F0 candidates, and for each grouped channel the best lag near
// each candidate of its group (best_lags_near in fragments.h). A track's F0
// is always bit for bit one of its frame's candidates, so the claims of
// claim_frame() can be made later from those lags alone. Fragments and mask
// values are not stored: each writer forms them frame by frame.
//
//     FrameResults results(32, lag_geometry(16000, 240));
//     ReducedFrame r;
//     r.reduce(raw, analysis, 16000);       // per frame, on any thread
//     results.append(r);                    // in frame order
//     RuleTracker tracker;
//     results.track(tracker);               // after the last frame
//     results.write_mask("utt.mask");       // and the other writers
//
// A frame costs about 330 bytes at 32 channels (least_bytes_per_frame() is
// the part that every frame takes), wherever the signal's sample rate; the
// agreements kept for the voices labelled by pitch add 40 bytes a frame and
// 32 bytes per candidate of a voiced frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "candidates.h"
#include "frameanalysis.h"
#include "framerows.h"
#include "geometry.h"
#include "matrix.h"
#include "pitchlabels.h"
#include "ruletracker.h"

// What the tracker and the fragments need of one analysed frame.
struct ReducedFrame {
    std::vector<int> labels;             // per channel 0, 1, 2: the .frmseg row
    double candidates[kCandidates] = {};  // the .f0cands row, Hz (0.0: none)
    // Per channel in order: one best lag (near candidate 0) for a channel of
    // group 1, three (near candidates 1, 2, 3) for one of group 2, none
    // otherwise; 0 where the candidate is 0.0.
    std::vector<std::uint16_t> bestLags;
    // When withAgreement: each channel's agreement with each nonzero
    // candidate (candidate_agreement in pitchlabels.h), kCandidates rows.
    bool withAgreement = false;
    std::vector<float> agreement;

    // The reduction of a frame analysed from raw (a's labels and candidates
    // where it was grouped; all zeros otherwise).
    void reduce(const FrameRows& raw, const FrameAnalysis& a, int srate);

private:
    std::vector<int> best_;  // one candidate's best lags per channel
};

class FrameResults {
public:
    // nchans channels; g: the lags of the frames' autocorrelogram.
    FrameResults(int nchans, const LagGeometry& g);

    // Bytes that every frame takes at least, for nchans channels.
    static std::size_t least_bytes_per_frame(int nchans);

    // Keeps each frame's agreements with its candidates (the frames
    // appended must carry them), for the voices labelled by pitch.
    void keep_pitch_evidence() { evidence_ = std::make_unique<PitchEvidence>(nchans_); }
    // The agreements kept, or null.
    const PitchEvidence* pitch_evidence() const { return evidence_.get(); }

    // Appends the next frame.
    void append(const ReducedFrame& r);

    int frames() const { return static_cast<int>(candidates_.size()); }
    int channels() const { return nchans_; }

    // Links all candidates into tracks (the tracker's tables start zeroed),
    // after the last frame.
    void track(PitchTracker& tracker);

    // The tracker's tables, after track(): nframes rows of 2 slots.
    const IntMatrix& f0_labels() const { return f0Labels_; }
    const Matrix& f0_tracks() const { return f0Tracks_; }
    const Matrix& f0_candidates() const { return candidates_; }

    // Calls out(frame, frag, mask) for every frame in order with its
    // fragment labels and mask values (nchans each), after track().
    using FragmentRow = std::function<void(int frame, const int* frag, const double* mask)>;
    void form_fragments(const FragmentRow& out) const;

    // True when a fragment label lies outside the int16 range of ".groups"
    // (known after track()).
    bool fragment_labels_wrap() const { return wrap_; }

    // The result tables in memory, after track(): each pointer, when not
    // null, receives frames() rows in row-major order, in the values and
    // element types of the result files (int16: the low 16 bits; float32:
    // each double rounded), plus the fragment labels and slot identifiers
    // whole. One pass forms the fragments for groups, mask and ids.
    struct Tables {
        std::int16_t* frmseg = nullptr;    // x nchans
        float* f0cands = nullptr;          // x kCandidates
        float* f0tracks = nullptr;         // x 2
        std::int16_t* groups = nullptr;    // x nchans
        float* mask = nullptr;             // x nchans
        std::int16_t* f0labels = nullptr;  // x 2
        std::int64_t* ids = nullptr;       // x nchans: the fragment labels, never wrapped
        std::int64_t* slot_ids = nullptr;  // x 2: the slots' track identifiers, never wrapped
    };
    void copy_tables(const Tables& t) const;

    // Result writers: headerless row-major int16 or float32 matrices, one row
    // per frame. Each returns false, after one line on standard error naming
    // the path, when the file cannot be opened, written or closed.
    bool write_frmSegments(const char* filename) const;
    bool write_f0Candidates(const char* filename) const;
    bool write_f0Tracks(const char* filename) const;
    bool write_fragments(const char* filename) const;
    bool write_mask(const char* filename) const;
    bool write_f0Labels(const char* filename) const;

private:
    int nchans_;
    LagGeometry lags_;
    std::deque<std::uint8_t> labels_;       // nframes x nchans
    std::deque<std::uint16_t> bestLags_;    // ReducedFrame::bestLags of every frame, in order
    Matrix candidates_;                     // nframes x kCandidates: the tracker's input
    IntMatrix f0Labels_;
    Matrix f0Tracks_;
    bool wrap_ = false;
    std::unique_ptr<PitchEvidence> evidence_;
};
