// Pitch tracking of corlune: the PitchTracker interface and RuleTracker, which
// links per-frame F0 candidates into at most two simultaneous F0 tracks.
//
//     IntMatrix labels(nframes, std::vector<int>(2, 0));
//     Matrix tracks(nframes, std::vector<double>(2, 0.0));
//     RuleTracker().track(candidates, nframes, labels, tracks);
//
// Contract of track(): f0Candidates holds at least nframes rows of at least 4
// candidates (Hz; below 70 Hz means none). f0Labels and f0Tracks hold at least
// nframes rows of at least 2 entries and must arrive zeroed; track() writes
// them in place (never resizes them): per frame and slot, the track
// identifier (0 = empty) and the track's F0 (0.0 = empty). A non-zero F0
// written is bit for bit one of that frame's candidates, and the track
// claims that candidate's channels; a tracker may also carry a track across
// a frame on a value that is none of the frame's candidates, not even in
// single precision (JointTracker's coasting), where the track claims
// nothing. RuleTracker writes candidates only. Only rows
// 0 .. nframes - 1 are used. Slot 0 numbers its tracks 6, 11, 16, ...
// in order of their start; slot 1 uses the same sequence plus slot 0's final
// counter (1 + 5 x the tracks slot 0 ever started), so identifiers are unique
// but may have gaps where short tracks were removed. The tracker keeps no
// state between calls; calling it again on filled tables does not give the
// same result.
#pragma once

#include <vector>

#include "matrix.h"

class PitchTracker {
public:
    virtual ~PitchTracker();
    virtual void track(const Matrix& f0Candidates, int nframes, IntMatrix& f0Labels,
                       Matrix& f0Tracks) = 0;
};

class RuleTracker : public PitchTracker {
public:
    ~RuleTracker() override;
    void track(const Matrix& f0Candidates, int nframes, IntMatrix& f0Labels,
               Matrix& f0Tracks) override;

    // Clears candidates 2 and 3 of rows 0 .. nframes - 1 when they lie within
    // 6 Hz of an earlier candidate of the same row.
    void remove_closeCands(Matrix& cands, int nframes);
};
