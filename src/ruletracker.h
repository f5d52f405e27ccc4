// Pitch tracking of corlune: the PitchTracker interface and RuleTracker, which
// links per-frame F0 candidates into at most two simultaneous F0 tracks.
//
// Contract of track(): f0Candidates holds at least nframes rows of at least 4
// candidates (Hz; below 70 Hz means none). f0Labels and f0Tracks hold at least
// nframes rows of at least 2 entries and must arrive zeroed; track() writes
// them in place (never resizes them): per frame and slot, the track
// identifier (0 = empty) and the track's F0 (0.0 = empty). Every non-zero F0
// written is bit for bit one of that frame's candidates.
#pragma once

#include <vector>

class PitchTracker {
public:
    virtual ~PitchTracker();
    virtual void track(const std::vector<std::vector<double>>& f0Candidates, int nframes,
                       std::vector<std::vector<int>>& f0Labels,
                       std::vector<std::vector<double>>& f0Tracks) = 0;
};

class RuleTracker : public PitchTracker {
public:
    ~RuleTracker() override;
    void track(const std::vector<std::vector<double>>& f0Candidates, int nframes,
               std::vector<std::vector<int>>& f0Labels,
               std::vector<std::vector<double>>& f0Tracks) override;

    // Clears candidates 2 and 3 of rows 0 .. nframes - 1 when they lie within
    // 6 Hz of an earlier candidate of the same row.
    void remove_closeCands(std::vector<std::vector<double>>& cands, int nframes);
};
