#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "ruletracker.h"
#include "testutil.h"

namespace {

using Matrix = std::vector<std::vector<double>>;
using Labels = std::vector<std::vector<int>>;

struct Tracks {
    Labels labels;
    Matrix f0;
};

using testutil::candidate_rows;

// Runs the tracker through its interface on zeroed output tables.
Tracks run(const Matrix& c, int nframes) {
    Tracks t{Labels(c.size(), std::vector<int>(2, 0)), Matrix(c.size(), std::vector<double>(2, 0.0))};
    std::unique_ptr<PitchTracker> tracker = std::make_unique<RuleTracker>();
    tracker->track(c, nframes, t.labels, t.f0);
    return t;
}

Tracks run(const Matrix& c) { return run(c, static_cast<int>(c.size())); }

// One slot's column of a label or F0 table.
template <typename T>
std::vector<T> column(const std::vector<std::vector<T>>& m, int s) {
    std::vector<T> v;
    for (const auto& r : m) v.push_back(r[s]);
    return v;
}
std::vector<int> slot_labels(const Tracks& t, int s) { return column(t.labels, s); }
std::vector<double> slot_f0(const Tracks& t, int s) { return column(t.f0, s); }

float dist_hz(double a, double b) { return std::fabs(static_cast<float>(a) - static_cast<float>(b)); }

TEST(RuleTracker, WorkedExample) {
    Tracks t = run(candidate_rows({{105, 107.5}, {100, 101, 107}, {99, 106}, {}}));
    EXPECT_EQ(t.labels, (Labels{{6, 12}, {6, 12}, {6, 12}, {0, 0}}));
    EXPECT_EQ(t.f0, (Matrix{{105, 107.5}, {100, 107}, {99, 106}, {0, 0}}));
}

TEST(RuleTracker, UsesOnlyTheFirstNframesRowsAndKeepsTableShapes) {
    Matrix c(5, {100, 0, 0, 0});
    Labels labels(5, std::vector<int>(3, 0));
    Matrix f0(5, std::vector<double>(3, 0.0));
    RuleTracker().track(c, 3, labels, f0);
    EXPECT_EQ(labels, (Labels{{6, 0, 0}, {6, 0, 0}, {6, 0, 0}, {0, 0, 0}, {0, 0, 0}}));
    EXPECT_EQ(f0[2], (std::vector<double>{100, 0, 0}));
    EXPECT_EQ(f0[3], (std::vector<double>{0, 0, 0}));

    for (int n : {0, 1}) {
        Tracks t = run(c, n);
        EXPECT_EQ(t.labels, Labels(5, std::vector<int>(2, 0))) << n;
        EXPECT_EQ(t.f0, Matrix(5, std::vector<double>(2, 0.0))) << n;
    }
}

TEST(RuleTracker, SeventyHertzIsTheLowestCandidate) {
    EXPECT_EQ(slot_f0(run(candidate_rows({{70}, {70}, {70}})), 0), (std::vector<double>{70, 70, 70}));
    EXPECT_EQ(slot_labels(run(candidate_rows({{69.99}, {69.99}, {69.99}})), 0), (std::vector<int>{0, 0, 0}));
    // A source of 75 Hz finds no target of 69.99 Hz.
    EXPECT_EQ(slot_f0(run(candidate_rows({{75}, {69.99}, {69.99}})), 0), (std::vector<double>{0, 0, 0}));
}

TEST(RuleTracker, LinksNeedLessThanEightHertzInSinglePrecision) {
    Tracks glide = run(candidate_rows({{100}, {107.99}, {115.98}}));
    EXPECT_EQ(slot_labels(glide, 0), (std::vector<int>{6, 6, 6}));
    EXPECT_EQ(slot_f0(glide, 0), (std::vector<double>{100, 107.99, 115.98}));

    // 100 -> 108 is no link: the track starts at frame 1.
    EXPECT_EQ(slot_f0(run(candidate_rows({{100}, {108}, {108}, {108}})), 0),
              (std::vector<double>{0, 108, 108, 108}));
    // 7.999997 Hz apart in double (also when that difference is rounded to
    // single), 8.0 once both values are rounded to single.
    EXPECT_EQ(slot_f0(run(candidate_rows({{100}, {107.999997}, {107.999997}, {107.999997}})), 0),
              (std::vector<double>{0, 107.999997, 107.999997, 107.999997}));
}

TEST(RuleTracker, TiesGoToTheLowerCandidate) {
    // 96 and 104 are equally near 100: the lower next-frame entry wins.
    Tracks t = run(candidate_rows({{100}, {96, 104}, {96}}));
    EXPECT_EQ(slot_f0(t, 0), (std::vector<double>{100, 96, 96}));
    EXPECT_EQ(slot_f0(t, 1), (std::vector<double>{0, 0, 0}));
    // 100 and 104 are equally near 102: the lower current candidate, after
    // sorting the row, keeps the target.
    EXPECT_EQ(slot_f0(run(candidate_rows({{104, 100}, {102}, {102}})), 0), (std::vector<double>{100, 102, 102}));
}

TEST(RuleTracker, RemoveCloseCandsComparesInGivenOrderAndDoublePrecision) {
    Matrix c = candidate_rows({{100, 150, 103},
                      {100, 150, 106},
                      {100, 103},
                      {100, 150, 103, 108},  // 108 is compared with the cleared 103
                      {100, 150, 112, 107},
                      {100, 150, 105.99999999},
                      {100, 150, 103}});
    RuleTracker().remove_closeCands(c, 6);
    EXPECT_EQ(c, candidate_rows({{100, 150},
                        {100, 150, 106},
                        {100, 103},
                        {100, 150, 0, 108},
                        {100, 150, 112},
                        {100, 150},
                        {100, 150, 103}}));
}

TEST(RuleTracker, DuplicatesAreRemovedBeforeLinking) {
    // Kept, 104 would take the link to frame 1 away from 100.
    EXPECT_EQ(slot_f0(run(candidate_rows({{100, 0, 104}, {104}, {104}})), 0), (std::vector<double>{100, 104, 104}));
    EXPECT_EQ(slot_f0(run(candidate_rows({{100, 104}, {104}, {104}})), 0), (std::vector<double>{104, 104, 104}));
}

TEST(RuleTracker, ThirdSimultaneousF0UsesUpItsTarget) {
    // Slots hold 100 and 150; at frame 2, 145 takes 146 without being recorded,
    // so the 150 Hz track cannot continue to it.
    Tracks t = run(candidate_rows({{100, 150}, {100, 150}, {145, 150, 100}, {146, 100}}));
    EXPECT_EQ(slot_f0(t, 0), (std::vector<double>{100, 100, 100, 100}));
    EXPECT_EQ(slot_f0(t, 1), (std::vector<double>{150, 150, 150, 0}));
    EXPECT_EQ(slot_labels(t, 1), (std::vector<int>{12, 12, 12, 0}));
}

TEST(RuleTracker, ValueHeldByBothSlotsContinuesSlotZero) {
    // Both tracks reach 101 Hz in frame 1; each 101 there continues slot 0, the
    // second replacing the first's target, and slot 1's short track goes.
    Tracks t = run(candidate_rows({{100, 107}, {101, 101}, {101, 105}}));
    EXPECT_EQ(slot_f0(t, 0), (std::vector<double>{100, 101, 105}));
    EXPECT_EQ(slot_labels(t, 0), (std::vector<int>{6, 6, 6}));
    EXPECT_EQ(slot_labels(t, 1), (std::vector<int>{0, 0, 0}));
}

TEST(RuleTracker, IdentifiersCountPerSlotAndSlotOneIsOffset) {
    Tracks t = run(candidate_rows({{100, 200}, {100, 200}, {100, 200}, {}, {120}, {120}, {120}}));
    EXPECT_EQ(slot_labels(t, 0), (std::vector<int>{6, 6, 6, 0, 11, 11, 11}));
    EXPECT_EQ(slot_labels(t, 1), (std::vector<int>{17, 17, 17, 0, 0, 0, 0}));
    EXPECT_EQ(slot_f0(t, 1), (std::vector<double>{200, 200, 200, 0, 0, 0, 0}));
}

TEST(RuleTracker, ShortTrackStaysOnlyWithSupportThreeFramesAway) {
    // Supported by half of 204 Hz three frames before its start.
    Tracks before = run(candidate_rows({{204}, {204}, {204}, {}, {}, {101}, {103}}));
    EXPECT_EQ(slot_labels(before, 0), (std::vector<int>{6, 6, 6, 0, 0, 11, 11}));
    EXPECT_EQ(slot_f0(before, 0), (std::vector<double>{204, 204, 204, 0, 0, 101, 103}));
    // Supported by twice 101 Hz three frames after its end.
    Tracks after = run(candidate_rows({{200}, {202}, {}, {}, {101}, {101}, {101}}));
    EXPECT_EQ(slot_labels(after, 0), (std::vector<int>{6, 6, 0, 0, 11, 11, 11}));

    // Isolated, four frames away, or exactly 11 Hz away (also after rounding).
    for (const Matrix& c : {candidate_rows({{}, {}, {}, {}, {}, {101}, {103}}),
                            candidate_rows({{204}, {204}, {204}, {}, {}, {}, {101}, {103}}),
                            candidate_rows({{112}, {112}, {112}, {}, {}, {101}, {103}}),
                            candidate_rows({{111.999997}, {111.999997}, {111.999997}, {}, {}, {101}, {103}})}) {
        Tracks t = run(c);
        EXPECT_EQ(t.labels.back()[0], 0);
        EXPECT_EQ(t.f0.back()[0], 0.0);
        EXPECT_EQ(t.f0[c.size() - 2][0], 0.0);
    }
}

TEST(RuleTracker, SupportComesFromTheOtherSlotToo) {
    // The short 150 Hz slot-1 track is supported by slot 0's 140 Hz.
    Tracks t = run(candidate_rows({{140}, {140}, {140}, {140, 150}, {140, 150}, {140}}));
    EXPECT_EQ(slot_f0(t, 1), (std::vector<double>{0, 0, 0, 150, 150, 0}));
    EXPECT_EQ(slot_labels(t, 1), (std::vector<int>{0, 0, 0, 12, 12, 0}));
}

TEST(RuleTracker, RemovedTrackSupportsNothingAndKeepsItsIdentifier) {
    // 212 Hz gets no support from 100 Hz (twice 100 is 12 Hz away) and goes;
    // 100 Hz would have been supported by half of 212 Hz, but that is gone.
    Tracks t = run(candidate_rows({{212}, {212}, {}, {}, {100}, {100}, {}, {}, {80}, {80}, {80}}));
    EXPECT_EQ(slot_labels(t, 0), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 16, 16, 16}));
}

// Candidate matrices with a few drifting voices, jitter, stray values, values
// near 70 Hz and coarse quantisation so that ties and duplicates occur.
Matrix random_candidates(std::mt19937& rng, int nframes) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> voices = {90.0 + 100.0 * unit(rng), 150.0 + 150.0 * unit(rng), 65.0 + 20.0 * unit(rng)};
    Matrix c(nframes, std::vector<double>(4, 0.0));
    for (auto& row : c) {
        for (double& v : voices) v += 6.0 * unit(rng) - 3.0;
        for (double& x : row) {
            const double r = unit(rng);
            if (r < 0.55) {
                x = voices[static_cast<int>(3.0 * unit(rng))] + 4.0 * unit(rng) - 2.0;
            } else if (r < 0.7) {
                x = 60.0 + 340.0 * unit(rng);
            }
            if (unit(rng) < 0.5) x = std::round(x * 2.0) / 2.0;
        }
    }
    return c;
}

bool has_support(const Matrix& f0, int nframes, int s, int st, int e) {
    auto near = [](double v, double u) {
        return dist_hz(v, u) < 11.0f || dist_hz(v, u / 2.0) < 11.0f || dist_hz(v, 2.0 * u) < 11.0f;
    };
    for (int m = 0; m < 2; ++m) {
        if (st >= 3 && near(f0[st][s], f0[st - 3][m])) return true;
        if (e + 3 < nframes && near(f0[e][s], f0[e + 3][m])) return true;
    }
    return false;
}

// A slot that could have held a supporting track pruned after slot s's track
// and is empty now.
bool has_pruned_later_neighbour(const Matrix& f0, int nframes, int s, int st, int e) {
    if (s == 0 && st >= 3 && f0[st - 3][1] == 0.0) return true;
    if (e + 3 >= nframes) return false;
    return f0[e + 3][1] == 0.0 || (s == 0 && f0[e + 3][0] == 0.0);
}

struct TrackRun {
    int slot, first, last;
};

// Checks frame-wise invariants and collects each identifier's frames.
std::map<int, TrackRun> check_frames(const Matrix& c, const Tracks& t, int nframes) {
    Matrix cleaned = c;
    RuleTracker().remove_closeCands(cleaned, nframes);
    std::map<int, TrackRun> runs;
    for (int f = 0; f < nframes; ++f) {
        for (int s = 0; s < 2; ++s) {
            const int id = t.labels[f][s];
            const double v = t.f0[f][s];
            EXPECT_EQ(id == 0, v == 0.0) << "frame " << f << " slot " << s;
            if (id == 0) continue;
            EXPECT_GE(v, 70.0);
            bool found = false;
            for (double x : cleaned[f]) found = found || std::memcmp(&x, &v, sizeof v) == 0;
            EXPECT_TRUE(found) << "frame " << f << " value " << v;
            auto it = runs.find(id);
            if (it == runs.end()) {
                runs[id] = {s, f, f};
                continue;
            }
            EXPECT_EQ(it->second.slot, s) << "identifier " << id << " in both slots";
            EXPECT_EQ(it->second.last, f - 1) << "identifier " << id << " not contiguous";
            EXPECT_LT(dist_hz(t.f0[f - 1][s], v), 8.0f);
            it->second.last = f;
        }
    }
    return runs;
}

TEST(RuleTracker, InvariantsOverRandomCandidateMatrices) {
    std::mt19937 rng(20240611u);
    int shortKept = 0, tracks = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const int nframes = 2 + static_cast<int>(rng() % 40);
        const Matrix c = random_candidates(rng, nframes);
        const Tracks t = run(c);
        const std::map<int, TrackRun> runs = check_frames(c, t, nframes);
        int maxSlot0 = 0;
        for (const auto& [id, r] : runs)
            if (r.slot == 0) maxSlot0 = id;
        for (const auto& [id, r] : runs) {
            ++tracks;
            if (r.slot == 0) {
                EXPECT_EQ(id % 5, 1) << id;
            } else {
                EXPECT_GT(id, maxSlot0);
            }
            const int len = r.last - r.first + 1;
            EXPECT_GE(len, 2) << "trial " << trial << " identifier " << id;
            if (len >= 3) continue;
            ++shortKept;
            EXPECT_TRUE(has_support(t.f0, nframes, r.slot, r.first, r.last) ||
                        has_pruned_later_neighbour(t.f0, nframes, r.slot, r.first, r.last))
                << "trial " << trial << " identifier " << id;
        }
        if (::testing::Test::HasFailure()) break;
    }
    // The generator must exercise both long tracks and supported short ones.
    EXPECT_GT(tracks, 400);
    EXPECT_GT(shortKept, 20);
}

}  // namespace
