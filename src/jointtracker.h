// Joint pitch tracking of corlune: JointTracker, a PitchTracker that keeps
// two simultaneous pitches by one min-plus (Viterbi) search over the joint
// state of two paths through the frames, and JointSearch, that search fed
// frame by frame with a fixed-lag traceback.
//
//     IntMatrix labels(nframes, std::vector<int>(2, 0));
//     Matrix tracks(nframes, std::vector<double>(2, 0.0));
//     JointTracker().track(candidates, nframes, labels, tracks);
//
// The model. In each frame each of the two paths is
//   - off;
//   - on one of the frame's four candidates (values below 70 Hz or not
//     finite are none);
//   - or coasting: holding the F0 of the candidate it was last on, for at
//     most JointCosts::maxCoast frames in a row, in frames where that value
//     is not itself a candidate, not even in single precision (there the
//     path is on it instead).
// The pair of paths chosen is the one of least total cost, summed over the
// frames and both paths (JointCosts names each term):
//   - on a candidate: minus the candidate's worth: columnReward of its
//     column, less its group's ambiguityPenalty for each of the frame's
//     columns 2 and 3 that is filled (group 2 ambiguous);
//   - coasting: coastCost per frame, plus coastGrowth for each frame the
//     path has coasted before it;
//   - switching on (also in the first frame) and off (also after the last
//     frame): switchOn and switchOff;
//   - a jump between the F0s a path holds in two frames g frames apart
//     (g = 1, or more across coasted frames), d semitones: jumpWeight x
//     e^2 / g with e = max(0, d - jumpFree x g); jumps of more than
//     maxJump x g semitones are not allowed;
//   - both paths holding F0s less than closeSemitones apart, d:
//     closeCost x (1 - d / closeSemitones); both holding the same F0 (the
//     same candidate) is not allowed; F0s about an octave apart, within
//     octaveSemitones of 12 (e = |d - 12|): octaveCost x (1 - e /
//     octaveSemitones), for a voice and its period doubled, the commonest
//     spurious second pitch.
// The search is deterministic: of equal costs it keeps the state that comes
// first (off, the candidates in column order, then coasting; path 0's
// state before path 1's).
//
// The contract with the tables (as RuleTracker's, ruletracker.h, which
// the rest of this paragraph only extends): each continuous run of on and
// coasting frames of a path is one track, or several where the run is cut,
// numbered as the rule tracker numbers them (slot 0: 6, 11, 16, ... in
// order of start; slot 1 the same plus slot 0's final counter); identifiers
// have no gaps. A path's run is cut (JointCosts::cutJump, cutAfterCoast,
// cutGroupRun) where it may have passed from one talker to another: at a
// step of more than cutJump semitones between two frames on candidates, on
// the first candidate after a coast, and at the first frame of a run of
// cutGroupRun frames on the other channel group's candidates (column 0 is
// group 1's, columns 1-3 group 2's). A path runs on through two talkers'
// crossing or a talker's pause when that is cheapest, but the voice
// grouping (voices.h) assigns whole tracks, so each piece is better a track
// of its own. A coasted frame never starts a track. A path keeps its
// slot, except that the two paths are interchangeable between frames where
// both are off: in each stretch of frames where either is on, the path
// that starts it (of two that start together, the lower F0) is in slot 0,
// so a lone track is always in slot 0. A frame where the track is on a
// candidate writes that candidate bit for bit, so the track claims that
// candidate's channel group. A coasted frame writes the track's
// last candidate F0, which is never one of that frame's candidates (so in
// the result files too a coasted frame is one whose F0 is none of its
// frame's candidates), and the track's identifier: the track goes on
// through the frame (one run of one label in one slot) but claims no unit
// there.
//
// Memory: the search holds at most 2 x lag frames (under a kilobyte each
// at the default maxCoast) whatever the input's length: every lag frames
// it traces back from the best state and decides the oldest lag frames,
// which then constrain every later choice, so the decided paths are always
// a valid pair. With a lag of kFullTraceback nothing is decided before
// the last frame: the exact optimum, with memory that grows with the
// input.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "ruletracker.h"

// The costs of the search. Rewards and costs are in one arbitrary unit;
// semitones are 12 log2 of an F0 ratio. The values are those chosen by
// bench/tune_trackers.py on the tuning part of the benchmark's scenes,
// except switchOn and the cuts, chosen there by the separation they give
// (bench/evaluate_trackers.py --set).
struct JointCosts {
    double columnReward[4] = {1.05, 1.03, 1.6, 1.6};  // a candidate's worth by column
    // Less worth for each of columns 2-3 filled (group 2 ambiguous): of the
    // group 1 candidate (column 0) and of group 2's (columns 1-3).
    double ambiguityPenalty[2] = {0.2, 0.5};
    double switchOn = 2.8;          // starting a track
    double switchOff = 2.8;         // ending a track
    double jumpWeight = 0.92;       // per squared semitone of a jump beyond jumpFree, per frame
    double jumpFree = 0.07;         // semitones per frame that a jump makes at no cost
    double maxJump = 0.6;           // semitones per frame: the largest jump
    double coastCost = 0.5;         // per coasted frame...
    double coastGrowth = 0.05;      // ... plus this for each frame coasted before it
    int maxCoast = 3;               // coasted frames in a row, 0 .. kMaxCoast
    double closeSemitones = 0.08;   // paths closer than this pay...
    double closeCost = 1.0;         // ... up to this (at the same F0 they may not be)
    double octaveSemitones = 0.43;  // paths closer than this to an octave apart pay...
    double octaveCost = 0.9;        // ... up to this: one voice and its period doubled
    // Where a path's run is cut into separate tracks. Cuts only number the
    // tracks; the search and its paths are the same without them. 0: never.
    double cutJump = 0.3;  // semitones: a step larger than this between two frames on candidates
    int cutAfterCoast = 1;  // back on a candidate after at least this many coasted frames
    int cutGroupRun = 3;    // this many frames in a row on the other channel group's candidates
};

// The longest coast JointCosts::maxCoast may ask for.
constexpr int kMaxCoast = 8;
// A lag that decides nothing before the last frame.
constexpr int kFullTraceback = std::numeric_limits<int>::max();
// Frames of lookahead before the tracker decides a frame.
constexpr int kDefaultLag = 100;

// What one path does in one frame.
enum class PathMode : uint8_t { Off, On, Coast };

// One path in one decided frame.
struct PathStep {
    PathMode mode = PathMode::Off;
    int column = -1;  // On: the candidate's column; Coast: the column it was last on
    int coasted = 0;  // Coast: frames coasted so far, this one included
    double f0 = 0.0;  // Hz: the candidate (On) or the one held (Coast); 0.0 off
};

// Both paths in one decided frame.
struct JointStep {
    PathStep path[2];
};

// The search, frame by frame: push() each frame's candidates, finish()
// after the last; decided frames come out of take() in order, each once.
class JointSearch {
public:
    // lag >= 1 (or kFullTraceback); costs.maxCoast within 0 .. kMaxCoast.
    explicit JointSearch(const JointCosts& costs = JointCosts(), int lag = kDefaultLag);

    // The next frame's four candidates, Hz.
    void push(const double* candidates);
    // After the last frame: every frame still held is decided.
    void finish();
    // Moves the frames decided since the last call to out (appended).
    void take(std::vector<JointStep>& out);

    // After finish(): the total cost of the decided pair of paths.
    double cost() const { return cost_; }
    // Frames pushed, and frames held now (pushed but not yet decided).
    long long frames() const { return frames_; }
    int held() const { return static_cast<int>(held_.size()); }

private:
    struct Frame {
        std::vector<double> value;     // per path state: the F0 it holds (0: infeasible or off)
        std::vector<uint16_t> back;    // per joint state: the joint state before it
    };
    int state(PathMode mode, int column, int coasted) const;
    void path_values(const double* candidates, std::vector<double>& value) const;
    void node_costs(const double* candidates, const std::vector<double>& value,
                    std::vector<double>& node) const;
    void live_states(const std::vector<double>& value, std::vector<int>& live) const;
    void transitions(const std::vector<double>& before, const std::vector<double>& value);
    void step(const std::vector<double>& node, Frame& frame);
    void add_closeness(const std::vector<double>& value);
    int best_state() const;
    void decide(int count, int last);
    void pin(int decided, int count);
    PathStep step_of(const Frame& f, int s) const;

    JointCosts costs_;
    int lag_;
    int paths_;                  // states of one path: off, 4 on, 4 x maxCoast coasting
    std::vector<double> dist_;   // per joint state: least cost of reaching it (less offset_)
    std::vector<double> next_;   // work space of one step: the next dist_
    std::vector<double> half_;   // work: per (path-0 state before, path-1 state now)
    std::vector<uint16_t> halfArg_;
    struct Pred {
        int state;    // a path state of the frame before
        double cost;  // of going from it to the state of the new frame
    };
    std::vector<std::vector<Pred>> preds_;  // per path state of the new frame
    std::vector<int> live_, prevLive_;      // path states holding an F0 (and off), new and before
    std::vector<double> lastValue_;  // values of the newest frame's path states
    std::deque<Frame> held_;     // frames pushed but not decided, oldest first
    std::vector<JointStep> decided_;
    double offset_ = 0.0;        // cost subtracted from dist_ so far
    double cost_ = 0.0;
    long long frames_ = 0;
    bool finished_ = false;
};

// A PitchTracker on JointSearch; same arguments and tables as RuleTracker.
class JointTracker : public PitchTracker {
public:
    explicit JointTracker(const JointCosts& costs = JointCosts(), int lag = kDefaultLag);
    ~JointTracker() override;
    void track(const Matrix& f0Candidates, int nframes, IntMatrix& f0Labels,
               Matrix& f0Tracks) override;

private:
    JointCosts costs_;
    int lag_;
};
