#include "ruletracker.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kMinF0 = 70.0;         // lower values are no candidates
constexpr double kDuplicateHz = 6.0;    // closer candidates of one frame are duplicates
constexpr float kLinkHz = 8.0f;         // a link needs a distance below this
constexpr float kSearchStartHz = 9.0f;  // start of every nearest-candidate search
constexpr float kSupportHz = 11.0f;     // a short track needs a neighbour closer than this
constexpr int kSupportOffset = 3;       // frames between a short track and its support
constexpr int kMinKeptLength = 3;       // tracks this long are always kept
constexpr int kIdStep = 5;              // each new track takes its slot's counter plus this
constexpr int kFirstId = 1 + kIdStep;   // identifier of the first track of a slot
constexpr int kCands = 4;               // candidates per frame
constexpr int kSlots = 2;               // simultaneous tracks per frame
constexpr int kNoTarget = -1;

// Distance of two F0 values as the linking and pruning rules measure it: both
// values rounded to single precision, the magnitude of their difference.
float dist_hz(double a, double b) {
    return std::fabs(static_cast<float>(a) - static_cast<float>(b));
}

// The caller's output tables and the identifier counters of one call.
struct TrackTables {
    IntMatrix& labels;
    Matrix& tracks;
    int counter[kSlots];
};

// Index of the entry among list[0 .. end - 1] (values of 70 Hz or more only)
// nearest to x. Starts from index 0 at the search-start distance and takes an
// entry only when strictly closer, so the lower index wins a tie. The best
// distance goes to dist.
int nearest_entry(const std::vector<double>& list, int end, double x, float& dist) {
    int best = 0;
    dist = kSearchStartHz;
    for (int k = 0; k < end; ++k) {
        if (list[k] < kMinF0) continue;
        const float d = dist_hz(x, list[k]);
        if (d < dist) {
            dist = d;
            best = k;
        }
    }
    return best;
}

// Smallest distance between y and the candidates of row after index a.
float later_rival_distance(const std::vector<double>& row, int a, double y) {
    float dist = kSearchStartHz;
    for (int k = a + 1; k < kCands; ++k) {
        if (row[k] < kMinF0) continue;
        const float d = dist_hz(y, row[k]);
        if (d < dist) dist = d;
    }
    return dist;
}

// The next-frame entry that current candidate row[a] links to, or kNoTarget.
// When a higher current candidate is closer to the nearest entry, that entry
// is left to it and x falls back to the entries below the nearest one's
// lower neighbour.
int choose_target(const std::vector<double>& row, int a, const std::vector<double>& next) {
    const double x = row[a];
    float nearestDist;
    const int b = nearest_entry(next, kCands, x, nearestDist);
    if (nearestDist >= kLinkHz) return kNoTarget;
    if (later_rival_distance(row, a, next[b]) >= nearestDist) return b;
    if (b <= 1) return kNoTarget;
    float fallbackDist;
    const int c = nearest_entry(next, b - 1, x, fallbackDist);
    return fallbackDist >= kLinkHz ? kNoTarget : c;
}

// Writes the link of x in frame i to y in frame i + 1: it continues the slot
// already holding x, or starts a new track in the first empty slot; with both
// slots held by other tracks nothing is written.
void record_link(TrackTables& out, int i, double x, double y) {
    std::vector<double>& cur = out.tracks[i];
    for (int s = 0; s < kSlots; ++s) {
        if (x == cur[s]) {
            out.tracks[i + 1][s] = y;
            out.labels[i + 1][s] = out.labels[i][s];
            return;
        }
    }
    for (int s = 0; s < kSlots; ++s) {
        if (cur[s] == 0.0) {
            out.counter[s] += kIdStep;
            cur[s] = x;
            out.tracks[i + 1][s] = y;
            out.labels[i][s] = out.counter[s];
            out.labels[i + 1][s] = out.counter[s];
            return;
        }
    }
}

// Links the candidates of frame i to those of frame i + 1. A next-frame entry
// takes part in at most one link, whether or not the link was recorded.
void link_frame_pair(const Matrix& table, int i, TrackTables& out) {
    const std::vector<double>& row = table[i];
    std::vector<double> next = table[i + 1];
    for (int a = 0; a < kCands; ++a) {
        if (row[a] < kMinF0) continue;
        const int target = choose_target(row, a, next);
        if (target == kNoTarget) continue;
        record_link(out, i, row[a], next[target]);
        next[target] = 0.0;
    }
}

void link_frames(const Matrix& table, int nframes, TrackTables& out) {
    for (int i = 0; i + 1 < nframes; ++i) link_frame_pair(table, i, out);
}

// True when u, half of u or twice u lies within the support distance of v.
bool is_near_harmonic(double v, double u) {
    const float d = std::min({dist_hz(v, u), dist_hz(v, u / 2.0), dist_hz(v, 2.0 * u)});
    return d < kSupportHz;
}

// True when a track of slot s spanning frames st .. e has, in either slot, a
// related F0 three frames before its start or three frames after its end.
bool is_supported(const Matrix& tracks, int nframes, int s, int st, int e) {
    for (int m = 0; m < kSlots; ++m) {
        if (st >= kSupportOffset && is_near_harmonic(tracks[st][s], tracks[st - kSupportOffset][m]))
            return true;
        if (e <= nframes - 1 - kSupportOffset &&
            is_near_harmonic(tracks[e][s], tracks[e + kSupportOffset][m]))
            return true;
    }
    return false;
}

// Removes the unsupported tracks of slot s shorter than three frames. Tracks
// of a slot occupy disjoint runs in the order of their identifiers, so one
// forward scan visits them all.
void prune_slot(TrackTables& out, int nframes, int s) {
    int l = 0;
    for (int t = kFirstId; t <= out.counter[s]; t += kIdStep) {
        int count = 0;
        int e = 0;
        for (; l < nframes; ++l) {
            const int id = out.labels[l][s];
            if (id != 0 && id != t) break;
            if (id == t) {
                ++count;
                e = l;
            }
        }
        if (count == 0 || count >= kMinKeptLength) continue;
        const int st = e + 1 - count;
        if (is_supported(out.tracks, nframes, s, st, e)) continue;
        for (int f : {st, e}) {
            out.tracks[f][s] = 0.0;
            out.labels[f][s] = 0;
        }
    }
}

void prune_short_tracks(TrackTables& out, int nframes) {
    for (int s = 0; s < kSlots; ++s) prune_slot(out, nframes, s);
}

// Moves slot 1's identifiers above every identifier slot 0 can have given out.
void offset_slot1_ids(TrackTables& out, int nframes) {
    for (int f = 0; f < nframes; ++f)
        if (out.labels[f][1] > 0) out.labels[f][1] += out.counter[0];
}

void sort_rows(Matrix& table, int nframes) {
    for (int f = 0; f < nframes; ++f) std::sort(table[f].begin(), table[f].end());
}

}  // namespace

PitchTracker::~PitchTracker() = default;
RuleTracker::~RuleTracker() = default;

void RuleTracker::track(const Matrix& f0Candidates, int nframes, IntMatrix& f0Labels,
                        Matrix& f0Tracks) {
    Matrix table = f0Candidates;
    remove_closeCands(table, nframes);
    sort_rows(table, nframes);
    TrackTables out{f0Labels, f0Tracks, {1, 1}};
    link_frames(table, nframes, out);
    prune_short_tracks(out, nframes);
    offset_slot1_ids(out, nframes);
}

void RuleTracker::remove_closeCands(Matrix& cands, int nframes) {
    for (int f = 0; f < nframes; ++f) {
        std::vector<double>& c = cands[f];
        if (std::fabs(c[2] - c[0]) < kDuplicateHz || std::fabs(c[2] - c[1]) < kDuplicateHz)
            c[2] = 0.0;
        if (std::fabs(c[3] - c[0]) < kDuplicateHz || std::fabs(c[3] - c[1]) < kDuplicateHz ||
            std::fabs(c[3] - c[2]) < kDuplicateHz)
            c[3] = 0.0;
    }
}
