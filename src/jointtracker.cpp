#include "jointtracker.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kMinF0 = 70.0;       // lower values are no candidates
constexpr int kCands = 4;             // candidates per frame
constexpr int kPaths = 2;             // simultaneous paths, one per slot
constexpr int kFirstCoast = 1 + kCands;  // index of the first coasting state of a path
constexpr int kIdStep = 5;            // each new track takes its slot's counter plus this
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSemitonesPerOctave = 12.0;

bool usable(double f0) { return std::isfinite(f0) && f0 >= kMinF0; }

// How ambiguous group 2 is: the candidates it offered beyond its first
// (columns 2 and 3 filled).
int ambiguity(const double* candidates) {
    return usable(candidates[2]) + usable(candidates[3]);
}

// True when f0 is one of the candidates, also once both are rounded to
// single precision as the result files store them.
bool holds_candidate(const double* candidates, double f0) {
    for (int c = 0; c < kCands; ++c)
        if (usable(candidates[c]) && static_cast<float>(candidates[c]) == static_cast<float>(f0))
            return true;
    return false;
}

double semitones(double a, double b) { return kSemitonesPerOctave * std::fabs(std::log2(a / b)); }

}  // namespace

// ---------------------------------------------------------------------------
// The search

JointSearch::JointSearch(const JointCosts& costs, int lag)
    : costs_(costs), lag_(std::max(lag, 1)) {
    costs_.maxCoast = std::clamp(costs_.maxCoast, 0, kMaxCoast);
    paths_ = kFirstCoast + kCands * costs_.maxCoast;
    const int joint = paths_ * paths_;
    dist_.assign(joint, kInf);
    dist_[0] = 0.0;  // before the first frame both paths are off
    next_.resize(joint);
    half_.resize(joint);
    halfArg_.resize(joint);
    preds_.resize(paths_);
    lastValue_.assign(paths_, 0.0);
    prevLive_.assign(1, 0);
}

int JointSearch::state(PathMode mode, int column, int coasted) const {
    switch (mode) {
        case PathMode::Off: return 0;
        case PathMode::On: return 1 + column;
        case PathMode::Coast: break;
    }
    return kFirstCoast + (coasted - 1) * kCands + column;
}

PathStep JointSearch::step_of(const Frame& f, int s) const {
    PathStep p;
    p.f0 = f.value[s];
    if (s == 0) return p;
    if (s < kFirstCoast) {
        p.mode = PathMode::On;
        p.column = s - 1;
        return p;
    }
    p.mode = PathMode::Coast;
    p.column = (s - kFirstCoast) % kCands;
    p.coasted = (s - kFirstCoast) / kCands + 1;
    return p;
}

// The F0 each path state holds in the new frame; 0.0 where the state is
// off or cannot be: on a column without a candidate, coasting from nothing,
// or coasting on a value that is itself a candidate of the frame.
void JointSearch::path_values(const double* candidates, std::vector<double>& value) const {
    value.assign(paths_, 0.0);
    for (int c = 0; c < kCands; ++c) {
        if (usable(candidates[c])) value[state(PathMode::On, c, 0)] = candidates[c];
        for (int k = 1; k <= costs_.maxCoast; ++k) {
            const int from = k == 1 ? state(PathMode::On, c, 0) : state(PathMode::Coast, c, k - 1);
            const double held = lastValue_[from];
            if (held > 0.0 && !holds_candidate(candidates, held))
                value[state(PathMode::Coast, c, k)] = held;
        }
    }
}

void JointSearch::node_costs(const double* candidates, const std::vector<double>& value,
                             std::vector<double>& node) const {
    node.assign(paths_, kInf);
    node[0] = 0.0;
    const int unclear = ambiguity(candidates);
    for (int s = 1; s < paths_; ++s) {
        if (value[s] <= 0.0) continue;
        if (s >= kFirstCoast) {
            const int coasted = (s - kFirstCoast) / kCands + 1;
            node[s] = costs_.coastCost + costs_.coastGrowth * (coasted - 1);
            continue;
        }
        const int column = s - 1;
        const double penalty = unclear * costs_.ambiguityPenalty[column == 0 ? 0 : 1];
        node[s] = penalty - costs_.columnReward[column];
    }
}

// The states a path can be in, with their values: off and those holding an F0.
void JointSearch::live_states(const std::vector<double>& value, std::vector<int>& live) const {
    live.clear();
    for (int s = 0; s < paths_; ++s)
        if (s == 0 || value[s] > 0.0) live.push_back(s);
}

// preds_: for each live state y of the new frame (values value), the live
// states x of the frame before (values before) it can follow, in ascending
// order, with the cost of one path going from x to y.
void JointSearch::transitions(const std::vector<double>& before,
                              const std::vector<double>& value) {
    for (const int y : live_) {
        std::vector<Pred>& in = preds_[y];
        in.clear();
        if (y == 0) {
            for (const int x : prevLive_) in.push_back({x, x == 0 ? 0.0 : costs_.switchOff});
        } else if (y < kFirstCoast) {
            in.push_back({0, costs_.switchOn});
            for (const int x : prevLive_) {
                if (x == 0) continue;
                const int gap = x < kFirstCoast ? 1 : (x - kFirstCoast) / kCands + 2;
                const double d = semitones(value[y], before[x]);
                if (d > costs_.maxJump * gap) continue;
                const double e = std::max(0.0, d - costs_.jumpFree * gap);
                in.push_back({x, costs_.jumpWeight * e * e / gap});
            }
        } else {
            // Coasting continues the same column's on state or shorter coast.
            in.push_back({y < kFirstCoast + kCands ? y - kFirstCoast + 1 : y - kCands, 0.0});
        }
    }
}

// One frame of the min-plus recursion over the joint state (a, b), with the
// transition cost split by path: first the least cost over path 1's state
// before for each (path-0 state before, path-1 state now), then over path
// 0's state before.
void JointSearch::step(const std::vector<double>& node, Frame& frame) {
    const int P = paths_;
    for (const int a : prevLive_) {
        const double* from = &dist_[a * P];
        for (const int y : live_) {
            double best = kInf;
            int arg = 0;
            for (const Pred& p : preds_[y]) {
                const double v = from[p.state] + p.cost;
                if (v < best) {
                    best = v;
                    arg = p.state;
                }
            }
            half_[a * P + y] = best;
            halfArg_[a * P + y] = static_cast<uint16_t>(arg);
        }
    }
    std::fill(next_.begin(), next_.end(), kInf);
    frame.back.assign(P * P, 0);
    for (const int ya : live_) {
        for (const int yb : live_) {
            double best = kInf;
            int arg = 0;
            for (const Pred& p : preds_[ya]) {
                const double v = p.cost + half_[p.state * P + yb];
                if (v < best) {
                    best = v;
                    arg = p.state;
                }
            }
            const int j = ya * P + yb;
            next_[j] = best + node[ya] + node[yb];
            frame.back[j] = static_cast<uint16_t>(arg * P + halfArg_[arg * P + yb]);
        }
    }
}

// Adds the cost of the two paths' closeness to next_.
void JointSearch::add_closeness(const std::vector<double>& value) {
    const int P = paths_;
    for (int ya = 1; ya < P; ++ya) {
        if (value[ya] <= 0.0) continue;
        for (int yb = 1; yb < P; ++yb) {
            if (value[yb] <= 0.0) continue;
            double& v = next_[ya * P + yb];
            if (value[ya] == value[yb]) {
                v = kInf;
                continue;
            }
            const double d = semitones(value[ya], value[yb]);
            if (d < costs_.closeSemitones) v += costs_.closeCost * (1.0 - d / costs_.closeSemitones);
            const double e = std::fabs(d - kSemitonesPerOctave);
            if (e < costs_.octaveSemitones) v += costs_.octaveCost * (1.0 - e / costs_.octaveSemitones);
        }
    }
}

void JointSearch::push(const double* candidates) {
    if (finished_) return;
    Frame frame;
    path_values(candidates, frame.value);
    std::vector<double> node;
    node_costs(candidates, frame.value, node);
    live_states(frame.value, live_);
    transitions(lastValue_, frame.value);
    step(node, frame);
    add_closeness(frame.value);
    const double low = *std::min_element(next_.begin(), next_.end());
    for (double& v : next_) v -= low;
    offset_ += low;
    dist_.swap(next_);
    lastValue_ = frame.value;
    prevLive_.swap(live_);
    held_.push_back(std::move(frame));
    ++frames_;
    if (lag_ != kFullTraceback && held_.size() >= 2 * static_cast<size_t>(lag_)) decide(lag_, best_state());
}

int JointSearch::best_state() const {
    return static_cast<int>(std::min_element(dist_.begin(), dist_.end()) - dist_.begin());
}

// Traces back from joint state last of the newest frame and decides the
// oldest count held frames; the rest of the search is then held to them.
void JointSearch::decide(int count, int last) {
    const int n = static_cast<int>(held_.size());
    std::vector<int> states(n);
    int s = last;
    for (int i = n - 1; i >= 0; --i) {
        states[i] = s;
        s = held_[i].back[s];
    }
    for (int i = 0; i < count; ++i) {
        JointStep step;
        for (int p = 0; p < kPaths; ++p) {
            const int ps = p == 0 ? states[i] / paths_ : states[i] % paths_;
            step.path[p] = step_of(held_[i], ps);
        }
        decided_.push_back(step);
    }
    if (count < n) pin(states[count - 1], count);
    held_.erase(held_.begin(), held_.begin() + count);
}

// Rules out every joint state of the newest frame whose best path does not
// pass through state decided in held_[count - 1], the newest decided frame,
// so that later frames continue the decided paths.
void JointSearch::pin(int decided, int count) {
    const int n = static_cast<int>(held_.size());
    for (int j = 0; j < static_cast<int>(dist_.size()); ++j) {
        if (dist_[j] == kInf) continue;
        int s = j;
        for (int i = n - 1; i >= count; --i) s = held_[i].back[s];
        if (s != decided) dist_[j] = kInf;
    }
}

void JointSearch::finish() {
    if (finished_) return;
    finished_ = true;
    if (held_.empty()) {
        cost_ = offset_ + dist_[0];
        return;
    }
    for (int a = 0; a < paths_; ++a)
        for (int b = 0; b < paths_; ++b)
            dist_[a * paths_ + b] += (a != 0 ? costs_.switchOff : 0.0) +
                                     (b != 0 ? costs_.switchOff : 0.0);
    const int best = best_state();
    cost_ = offset_ + dist_[best];
    decide(static_cast<int>(held_.size()), best);
}

void JointSearch::take(std::vector<JointStep>& out) {
    out.insert(out.end(), decided_.begin(), decided_.end());
    decided_.clear();
}

// ---------------------------------------------------------------------------
// The tracker

namespace {

// The channel group whose candidate a column holds: 0 for group 1 (column
// 0), 1 for group 2 (columns 1-3).
int channel_group(int column) { return column == 0 ? 0 : 1; }

// Writes decided frames into the tables, numbering each run of a path's
// on and coasting frames as one track of its slot, or several where the
// costs' cuts split it. The two paths are interchangeable between frames
// where both are off; in each stretch of frames where one is on, the path
// that starts it goes to slot 0 (the lower F0 when both start it).
struct TrackWriter {
    IntMatrix& labels;
    Matrix& tracks;
    const JointCosts& costs;
    TrackWriter(IntMatrix& l, Matrix& t, const JointCosts& c) : labels(l), tracks(t), costs(c) {}

    int counter[kPaths] = {1, 1};
    PathStep last[kPaths];     // each slot's step in the frame before
    int group[kPaths] = {0, 0};   // the channel group of the slot's track
    int otherRun[kPaths] = {0, 0};  // frames in a row on the other group, up to this one
    bool swapped = false;
    int frame = 0;

    // True when the running track of slot p ends before step s.
    bool cut_before(int p, const PathStep& s) const {
        if (s.mode != PathMode::On) return false;
        const PathStep& b = last[p];
        if (b.mode == PathMode::Coast)
            return costs.cutAfterCoast > 0 && b.coasted >= costs.cutAfterCoast;
        return costs.cutJump > 0.0 && semitones(s.f0, b.f0) > costs.cutJump;
    }

    void start(int p, int first, const PathStep& s) {
        counter[p] += kIdStep;
        group[p] = channel_group(s.column);
        otherRun[p] = 0;
        for (int f = first; f <= frame; ++f) labels[f][p] = counter[p];
    }

    // Counts the frames on the other group; after cutGroupRun of them the
    // track is cut where they began.
    void follow_group(int p, const PathStep& s) {
        if (s.mode != PathMode::On || channel_group(s.column) == group[p]) {
            otherRun[p] = 0;
            return;
        }
        if (++otherRun[p] == costs.cutGroupRun) start(p, frame - costs.cutGroupRun + 1, s);
    }

    void write_slot(int p, const PathStep& s) {
        if (s.mode == PathMode::Off) {
            last[p] = s;
            return;
        }
        tracks[frame][p] = s.f0;
        if (last[p].mode == PathMode::Off || cut_before(p, s)) {
            start(p, frame, s);
        } else {
            labels[frame][p] = counter[p];
            follow_group(p, s);
        }
        last[p] = s;
    }

    void write(const std::vector<JointStep>& steps) {
        for (const JointStep& step : steps) {
            const bool on0 = step.path[0].mode != PathMode::Off;
            const bool on1 = step.path[1].mode != PathMode::Off;
            if (last[0].mode == PathMode::Off && last[1].mode == PathMode::Off)
                swapped = on1 && (!on0 || step.path[1].f0 < step.path[0].f0);
            for (int p = 0; p < kPaths; ++p) write_slot(p, step.path[swapped ? 1 - p : p]);
            ++frame;
        }
    }

    // Moves slot 1's identifiers above every identifier slot 0 gave out.
    void offset_slot1() {
        for (int f = 0; f < frame; ++f)
            if (labels[f][1] > 0) labels[f][1] += counter[0];
    }
};

}  // namespace

JointTracker::JointTracker(const JointCosts& costs, int lag) : costs_(costs), lag_(lag) {}
JointTracker::~JointTracker() = default;

void JointTracker::track(const Matrix& f0Candidates, int nframes, IntMatrix& f0Labels,
                         Matrix& f0Tracks) {
    JointSearch search(costs_, lag_);
    TrackWriter out(f0Labels, f0Tracks, costs_);
    std::vector<JointStep> steps;
    for (int f = 0; f < nframes; ++f) {
        search.push(f0Candidates[f].data());
        search.take(steps);
        out.write(steps);
        steps.clear();
    }
    search.finish();
    search.take(steps);
    out.write(steps);
    out.offset_slot1();
}
