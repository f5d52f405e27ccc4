#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "fragments.h"
#include "frametests.h"
#include "geometry.h"
#include "jointtracker.h"
#include "matrixfile.h"
#include "testutil.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using testutil::candidate_rows;

struct Tables {
    IntMatrix labels;
    Matrix f0;
};

Tables run(const Matrix& c, const JointCosts& costs = JointCosts(), int lag = kDefaultLag) {
    const int n = static_cast<int>(c.size());
    Tables t{IntMatrix(n, std::vector<int>(2, 0)), Matrix(n, std::vector<double>(2, 0.0))};
    JointTracker(costs, lag).track(c, n, t.labels, t.f0);
    return t;
}

std::vector<JointStep> search(const Matrix& c, const JointCosts& costs, int lag, double* cost = nullptr) {
    JointSearch s(costs, lag);
    std::vector<JointStep> out;
    for (const auto& row : c) {
        s.push(row.data());
        s.take(out);
        EXPECT_LE(s.held(), lag == kFullTraceback ? s.frames() : 2LL * lag);
    }
    s.finish();
    s.take(out);
    if (cost) *cost = s.cost();
    return out;
}

bool usable(double f) { return std::isfinite(f) && f >= 70.0; }

double semitones(double a, double b) { return 12.0 * std::fabs(std::log2(a / b)); }

// One path through the frames as the brute force enumerates it: per frame
// the mode and the column (on: the candidate; coast: the one last on).
struct Path {
    std::vector<PathMode> mode;
    std::vector<int> column;
};

// The value a path holds in frame f: the candidate it is on, or the one it
// last was on while coasting.
double held(const Matrix& c, const Path& p, int f) {
    for (int g = f; g >= 0; --g) {
        if (p.mode[g] == PathMode::Off) return 0.0;
        if (p.mode[g] == PathMode::On) return c[g][p.column[g]];
    }
    return 0.0;
}

// The cost of one path alone, written from the model the tracker's header
// describes; kInf for a path the model does not allow.
double path_cost(const Matrix& c, const JointCosts& k, const Path& p) {
    const int n = static_cast<int>(c.size());
    double total = 0.0;
    int lastOn = -1, coasted = 0;
    for (int f = 0; f < n; ++f) {
        const PathMode m = p.mode[f];
        const bool wasOff = f == 0 || p.mode[f - 1] == PathMode::Off;
        if (m == PathMode::Off) {
            if (!wasOff) total += k.switchOff;
            coasted = 0;
            continue;
        }
        if (m == PathMode::Coast) {
            const double v = held(c, p, f);
            if (wasOff || ++coasted > k.maxCoast || v == 0.0) return kInf;
            for (double x : c[f])
                if (usable(x) && static_cast<float>(x) == static_cast<float>(v)) return kInf;
            total += k.coastCost + k.coastGrowth * (coasted - 1);
            continue;
        }
        const double x = c[f][p.column[f]];
        if (!usable(x)) return kInf;
        if (wasOff) {
            total += k.switchOn;
        } else {
            const int gap = f - lastOn;
            const double d = semitones(x, c[lastOn][p.column[lastOn]]);
            if (d > k.maxJump * gap) return kInf;
            const double beyond = std::max(0.0, d - k.jumpFree * gap);
            total += k.jumpWeight * beyond * beyond / gap;
        }
        const int ambiguity = usable(c[f][2]) + usable(c[f][3]);
        const int group = p.column[f] == 0 ? 0 : 1;
        total += ambiguity * k.ambiguityPenalty[group] - k.columnReward[p.column[f]];
        lastOn = f;
        coasted = 0;
    }
    if (n > 0 && p.mode[n - 1] != PathMode::Off) total += k.switchOff;
    return total;
}

double closeness_cost(const Matrix& c, const JointCosts& k, const Path& a, const Path& b) {
    double total = 0.0;
    for (int f = 0; f < static_cast<int>(c.size()); ++f) {
        const double va = held(c, a, f), vb = held(c, b, f);
        if (va == 0.0 || vb == 0.0) continue;
        if (va == vb) return kInf;
        const double d = semitones(va, vb);
        if (d < k.closeSemitones) total += k.closeCost * (1.0 - d / k.closeSemitones);
        const double octave = std::fabs(d - 12.0);
        if (octave < k.octaveSemitones) total += k.octaveCost * (1.0 - octave / k.octaveSemitones);
    }
    return total;
}

// Every path the model allows over the frames of c.
std::vector<Path> all_paths(const Matrix& c, const JointCosts& k) {
    const int n = static_cast<int>(c.size());
    std::vector<Path> out;
    Path p{std::vector<PathMode>(n), std::vector<int>(n, -1)};
    std::function<void(int)> extend = [&](int f) {
        if (f == n) {
            if (path_cost(c, k, p) < kInf) out.push_back(p);
            return;
        }
        p.mode[f] = PathMode::Off;
        extend(f + 1);
        for (int col = 0; col < 4; ++col) {
            if (!usable(c[f][col])) continue;
            p.mode[f] = PathMode::On;
            p.column[f] = col;
            extend(f + 1);
        }
        if (f > 0 && p.mode[f - 1] != PathMode::Off) {
            p.mode[f] = PathMode::Coast;
            p.column[f] = p.column[f - 1];
            extend(f + 1);
        }
        p.column[f] = -1;
    };
    extend(0);
    return out;
}

Path path_of(const std::vector<JointStep>& steps, int which) {
    Path p;
    for (const JointStep& s : steps) {
        p.mode.push_back(s.path[which].mode);
        p.column.push_back(s.path[which].column);
    }
    return p;
}

double pair_cost(const Matrix& c, const JointCosts& k, const Path& a, const Path& b) {
    return path_cost(c, k, a) + path_cost(c, k, b) + closeness_cost(c, k, a, b);
}

// Small random tables drawn from a few values, so that equal values in
// neighbouring frames, near values in one frame, jumps beyond the limit and
// values below 70 Hz all occur.
Matrix small_table(std::mt19937& rng, int nframes) {
    const double values[] = {100.0, 103.0, 106.0, 150.0, 151.0, 201.0, 69.0, 0.0, 0.0};
    std::uniform_int_distribution<int> pick(0, 8);
    Matrix c(nframes, std::vector<double>(4, 0.0));
    for (auto& row : c)
        for (int col = 0; col < 4; ++col) row[col] = values[pick(rng)];
    return c;
}

TEST(JointSearch, FindsTheLeastCostPairOfAllPathPairsOnSmallInputs) {
    std::mt19937 rng(11);
    JointCosts k;
    k.maxCoast = 2;
    k.coastGrowth = 0.25;
    k.closeSemitones = 0.8;
    k.closeCost = 1.5;
    k.columnReward[2] = 0.9;
    k.maxJump = 1.0;  // 100 -> 106 Hz only across a coasted frame
    k.jumpFree = 0.3;
    k.ambiguityPenalty[0] = 0.3;
    for (int trial = 0; trial < 40; ++trial) {
        const Matrix c = small_table(rng, 4 + trial % 2);
        const std::vector<Path> paths = all_paths(c, k);
        double best = kInf;
        for (const Path& a : paths)
            for (const Path& b : paths) best = std::min(best, pair_cost(c, k, a, b));
        double found;
        const std::vector<JointStep> steps = search(c, k, kFullTraceback, &found);
        ASSERT_EQ(steps.size(), c.size());
        EXPECT_NEAR(found, best, 1e-9) << "trial " << trial;
        // The decided paths are one of the optimal pairs, with their F0s.
        const Path a = path_of(steps, 0), b = path_of(steps, 1);
        EXPECT_NEAR(pair_cost(c, k, a, b), best, 1e-9) << "trial " << trial;
        for (size_t f = 0; f < c.size(); ++f)
            for (int p = 0; p < 2; ++p)
                EXPECT_EQ(steps[f].path[p].f0, held(c, p ? b : a, static_cast<int>(f)));
    }
}

// Longer tables: two drifting voices with dropouts and jitter, stray
// values, ambiguous frames and silence, on a coarse grid so that values
// repeat.
Matrix voices_table(std::mt19937& rng, int nframes) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double a = 100.0 + 20.0 * unit(rng), b = 180.0 + 40.0 * unit(rng);
    Matrix c(nframes, std::vector<double>(4, 0.0));
    for (int f = 0; f < nframes; ++f) {
        a *= 1.0 + 0.02 * (unit(rng) - 0.5);
        b *= 1.0 + 0.02 * (unit(rng) - 0.5);
        if (f % 50 > 42) continue;  // silence
        std::vector<double> row;
        if (unit(rng) < 0.9) row.push_back(a);
        if (unit(rng) < 0.7) row.push_back(b);
        while (row.size() < 4 && unit(rng) < 0.3) row.push_back(70.0 + 300.0 * unit(rng));
        for (int col = 0; col < static_cast<int>(row.size()); ++col)
            c[f][col] = std::round(row[col] * 4.0) / 4.0;
    }
    return c;
}

TEST(JointSearch, FixedLagDecidesAValidPairThatCostsNoLessThanTheOptimum) {
    std::mt19937 rng(5);
    const JointCosts k;
    for (int trial = 0; trial < 6; ++trial) {
        const Matrix c = voices_table(rng, 400);
        double full;
        const std::vector<JointStep> best = search(c, k, kFullTraceback, &full);
        EXPECT_NEAR(pair_cost(c, k, path_of(best, 0), path_of(best, 1)), full, 1e-6);
        for (int lag : {1, 4, 30, 100}) {
            double cost;
            const std::vector<JointStep> steps = search(c, k, lag, &cost);
            ASSERT_EQ(steps.size(), c.size());
            const double again = pair_cost(c, k, path_of(steps, 0), path_of(steps, 1));
            EXPECT_NEAR(again, cost, 1e-6) << "lag " << lag;
            EXPECT_GE(cost, full - 1e-6) << "lag " << lag;
        }
        // With a lag beyond half the input nothing is decided before the end.
        double late;
        search(c, k, 200, &late);
        EXPECT_EQ(late, full);
    }
}

TEST(JointSearch, TheDefaultLagDecidesAsTheFullTracebackOnVoices) {
    // Voices that drift, drop out and fall silent: the default lag is long
    // enough that deciding early never changes a frame.
    std::mt19937 rng(9);
    for (int trial = 0; trial < 4; ++trial) {
        const Matrix c = voices_table(rng, 1500);
        const Tables fixed = run(c), full = run(c, JointCosts(), kFullTraceback);
        EXPECT_EQ(fixed.labels, full.labels) << "trial " << trial;
        EXPECT_EQ(fixed.f0, full.f0) << "trial " << trial;
    }
}

// Checks the tables of one call against the frames' candidates: the numbering
// of tracks, and that every written F0 is a candidate of its frame or, on a
// coasted frame, the track's F0 before, which is no candidate of the frame.
void expect_valid_tables(const Matrix& c, int nframes, const Tables& t) {
    int expected[2] = {1, 1};
    std::set<int> seen;
    for (int s = 0; s < 2; ++s) {
        for (int f = 0; f < nframes; ++f) {
            const int id = t.labels[f][s];
            const double v = t.f0[f][s];
            ASSERT_EQ(id == 0, v == 0.0) << "frame " << f;
            if (id == 0) continue;
            // A track continues from the frame before, or a new one starts
            // (after an off frame, or where a path's run is cut).
            const bool continues = f > 0 && t.labels[f - 1][s] == id;
            if (!continues) {
                expected[s] += 5;
                ASSERT_TRUE(seen.insert(id).second) << "identifier " << id << " used twice";
                if (s == 0) {
                    ASSERT_EQ(id, expected[0]);
                }
            }
            bool candidate = false, single = false;
            for (double x : c[f]) {
                candidate |= x >= 70.0 && x == v;
                single |= x >= 70.0 && static_cast<float>(x) == static_cast<float>(v);
            }
            if (!candidate) {
                ASSERT_TRUE(continues) << "a track starts on a coasted frame " << f;
                ASSERT_EQ(v, t.f0[f - 1][s]) << "a coasted frame changes the F0 at " << f;
                ASSERT_FALSE(single) << "a coasted F0 looks like a candidate in the files at " << f;
            }
        }
    }
    for (int f = 0; f < nframes; ++f) {
        if (t.labels[f][1] != 0) {
            EXPECT_EQ((t.labels[f][1] - expected[0] - 1) % 5, 0);
        }
    }
    for (size_t f = nframes; f < c.size(); ++f) {
        EXPECT_EQ(t.labels[f], (std::vector<int>{0, 0}));
        EXPECT_EQ(t.f0[f], (std::vector<double>{0.0, 0.0}));
    }
}

TEST(JointTracker, TablesKeepTheContractOnRandomInputs) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 8; ++trial) {
        const Matrix c = voices_table(rng, 300);
        const int n = trial % 2 ? 300 : 250;
        Tables t{IntMatrix(300, std::vector<int>(2, 0)), Matrix(300, std::vector<double>(2, 0.0))};
        JointTracker().track(c, n, t.labels, t.f0);
        expect_valid_tables(c, n, t);
        Tables again{IntMatrix(300, std::vector<int>(2, 0)), Matrix(300, std::vector<double>(2, 0.0))};
        JointTracker().track(c, n, again.labels, again.f0);
        EXPECT_EQ(t.labels, again.labels);
        EXPECT_EQ(t.f0, again.f0);
    }
}

TEST(JointTracker, CoastsAcrossShortGapsAndClaimsNothingThere) {
    JointCosts k;
    k.maxCoast = 2;
    k.switchOn = k.switchOff = 1.0;
    k.coastCost = 0.5;
    k.cutAfterCoast = 0;
    // A voice at about 100 Hz loses its candidate for two frames, then three.
    const Matrix c = candidate_rows({{100}, {100.5}, {101}, {}, {}, {101}, {101.5}, {}, {}, {}, {102}, {102}, {102}});
    const Tables t = run(c, k);
    EXPECT_EQ(t.labels, (IntMatrix{{6, 0}, {6, 0}, {6, 0}, {6, 0}, {6, 0}, {6, 0}, {6, 0},
                                   {0, 0}, {0, 0}, {0, 0}, {11, 0}, {11, 0}, {11, 0}}));
    EXPECT_EQ(t.f0[3][0], 101.0);
    EXPECT_EQ(t.f0[4][0], 101.0);

    // Where the held F0 is a candidate in single precision only, the track
    // is on that candidate rather than coasting.
    const double nearly = std::nextafter(101.0, 102.0);
    ASSERT_EQ(static_cast<float>(nearly), 101.0f);
    const Tables on = run(candidate_rows({{100}, {100.5}, {101}, {0, nearly}, {101.5}, {102}}), k);
    EXPECT_EQ(on.f0[3][0], nearly);

    // The coasted frame's groups stay unclaimed; the frames on a candidate
    // claim theirs.
    const int groups[4] = {SPINE_1, SPINE_1, SPINE_2, 0};
    const LagGeometry g = lag_geometry(16000, 240);
    const BestLags best = [](int, double) {
        static const int lags[4] = {160, 160, 160, 160};
        return lags;
    };
    const std::vector<double> withOther = {150.0, 0.0, 0.0, 0.0};  // another group's candidate
    for (int f : {2, 3}) {
        int frag[4] = {0, 0, 0, 0};
        double mask[4] = {0, 0, 0, 0};
        const double* row = f == 3 ? withOther.data() : c[f].data();
        claim_frame(groups, row, t.labels[f].data(), t.f0[f].data(), g, 4, best, frag, mask);
        const int claimed = f == 2 ? 6 : 0;
        EXPECT_EQ(frag[0], claimed) << "frame " << f;
        EXPECT_EQ(frag[2], 0) << "frame " << f;
    }
}

TEST(JointTracker, CutsARunWhereItMayPassToAnotherTalker) {
    JointCosts k;
    k.switchOn = k.switchOff = 1.0;
    const auto ids = [](const Tables& t) {
        std::vector<int> v;
        for (const auto& row : t.labels) v.push_back(row[0]);
        return v;
    };
    // A step of 0.5 semitones (within the largest jump) cuts, 0.2 does not.
    const double up = 100.0 * std::pow(2.0, 0.5 / 12.0), small = 100.0 * std::pow(2.0, 0.2 / 12.0);
    EXPECT_EQ(ids(run(candidate_rows({{100}, {100}, {100}, {up}, {up}, {up}}), k)),
              (std::vector<int>{6, 6, 6, 11, 11, 11}));
    EXPECT_EQ(ids(run(candidate_rows({{100}, {100}, {100}, {small}, {small}, {small}}), k)),
              (std::vector<int>{6, 6, 6, 6, 6, 6}));
    // Back on a candidate after a coast: a new track; the coasted frame
    // stays with the track before it.
    const Matrix gap = candidate_rows({{100}, {100}, {100}, {}, {100.2}, {100.2}, {100.2}});
    EXPECT_EQ(ids(run(gap, k)), (std::vector<int>{6, 6, 6, 6, 11, 11, 11}));
    // Three frames in a row on group 2's candidate cut where they began;
    // two do not.
    Matrix groups;
    for (int f = 0; f < 12; ++f) {
        const bool other = (f >= 3 && f < 5) || f >= 8;
        groups.push_back(other ? std::vector<double>{0, 100.0, 0, 0} : std::vector<double>{100.0, 0, 0, 0});
    }
    EXPECT_EQ(ids(run(groups, k)), (std::vector<int>{6, 6, 6, 6, 6, 6, 6, 6, 11, 11, 11, 11}));
    // Cuts only number the tracks: without them the same F0s form one track.
    JointCosts uncut = k;
    uncut.cutJump = 0.0;
    uncut.cutAfterCoast = uncut.cutGroupRun = 0;
    for (const Matrix* c : std::vector<const Matrix*>{&gap, &groups}) {
        const Tables a = run(*c, k), b = run(*c, uncut);
        EXPECT_EQ(a.f0, b.f0);
        for (int id : ids(b)) EXPECT_EQ(id, 6);
        expect_valid_tables(*c, static_cast<int>(c->size()), a);
    }
}

TEST(JointTracker, KeepsTwoVoicesApartAndNeverDoublesOneCandidate) {
    // Two steady voices, then one voice offered twice (same value in two
    // columns) and nothing else: only one track may hold it.
    Matrix c;
    for (int f = 0; f < 20; ++f) c.push_back({110.0, 205.0, 0.0, 0.0});
    for (int f = 0; f < 20; ++f) c.push_back({112.0, 112.0, 0.0, 0.0});
    const Tables t = run(c);
    for (int f = 0; f < 20; ++f) {
        EXPECT_NE(t.f0[f][0], 0.0);
        EXPECT_NE(t.f0[f][1], 0.0);
        EXPECT_NE(t.f0[f][0], t.f0[f][1]);
    }
    for (int f = 21; f < 40; ++f) EXPECT_EQ((t.f0[f][0] != 0.0) + (t.f0[f][1] != 0.0), 1) << f;
}

TEST(JointTracker, AmbiguousFramesAloneMakeNoTrack) {
    // Noise: group 2 offers three candidates a frame, all changing.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> hz(80.0, 380.0);
    Matrix noise;
    for (int f = 0; f < 100; ++f) noise.push_back({hz(rng), hz(rng), hz(rng), hz(rng)});
    const Tables t = run(noise);
    for (int f = 0; f < 100; ++f) EXPECT_EQ(t.labels[f], (std::vector<int>{0, 0})) << f;
    // A steady voice in the same kind of frames is kept.
    for (auto& row : noise) row[0] = 150.0;
    const Tables voiced = run(noise);
    for (int f = 0; f < 100; ++f) EXPECT_EQ(voiced.f0[f][0] + voiced.f0[f][1] >= 150.0, true) << f;
}

}  // namespace

namespace {

// The result files of a table of candidates tracked by JointTracker, every
// channel in group 1 where column 0 holds a candidate and in group 2 where
// column 1 does; then the Python loader's tracks: "ident slot first last"
// per line.
std::string loader_tracks(const Matrix& c, const Tables& t, const testutil::TempDir& dir) {
    const int n = static_cast<int>(c.size()), nchans = 4;
    IntMatrix frmseg(n, std::vector<int>(nchans, 0)), groups = frmseg;
    Matrix mask(n, std::vector<double>(nchans, 0.0));
    const LagGeometry g = lag_geometry(16000, 240);
    const BestLags best = [](int, double) {
        static const int lags[4] = {160, 160, 160, 160};
        return lags;
    };
    for (int f = 0; f < n; ++f) {
        for (int k = 0; k < nchans; ++k)
            frmseg[f][k] = k < 2 ? (c[f][0] > 0 ? SPINE_1 : 0) : (c[f][1] > 0 ? SPINE_2 : 0);
        claim_frame(frmseg[f].data(), c[f].data(), t.labels[f].data(), t.f0[f].data(), g, nchans,
                    best, groups[f].data(), mask[f].data());
    }
    const std::string p = dir.file("utt");
    EXPECT_TRUE(write_int16_matrix((p + ".frmseg").c_str(), frmseg) &&
                write_float32_matrix((p + ".f0cands").c_str(), c) &&
                write_float32_matrix((p + ".f0tracks").c_str(), t.f0) &&
                write_int16_matrix((p + ".groups").c_str(), groups) &&
                write_float32_matrix((p + ".mask").c_str(), mask));
    const testutil::RunResult r =
        testutil::start_program("/usr/bin/python3",
                                {"-c",
                                 "import sys\n"
                                 "sys.path.insert(0, sys.argv[1])\n"
                                 "from corlune import results as cr\n"
                                 "for t in cr.tracks(cr.load(sys.argv[2])):\n"
                                 "    print(t.ident, t.slot, t.first, t.last)\n",
                                 std::string(CORLUNE_SOURCE_DIR) + "/python", p})
            .wait();
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(JointTracker, ThePythonLoaderReadsACoastedTrackAsOneTrack) {
    JointCosts k;
    k.maxCoast = 2;
    k.columnReward[0] = k.columnReward[1] = 1.5;
    k.switchOn = k.switchOff = 1.0;
    k.coastCost = 0.5;  // two coasted frames: 1.05, less than ending and starting a track
    k.cutJump = 0.0;    // uncut runs: one track across the coast
    k.cutAfterCoast = k.cutGroupRun = 0;
    // Two voices; the lower one loses its candidate for two frames, the
    // higher one for three (more than it may coast).
    Matrix c;
    for (int f = 0; f < 16; ++f) {
        const bool low = f < 6 || f > 7, high = f < 9 || f > 11;
        c.push_back({low ? 100.0 + 0.25 * f : 0.0, high ? 200.0 - 0.25 * f : 0.0, 0.0, 0.0});
        if (!low) std::swap(c.back()[0], c.back()[1]);
    }
    const Tables t = run(c, k);
    ASSERT_EQ(t.labels[6][0], t.labels[5][0]);  // coasted
    ASSERT_EQ(t.labels[7][0], t.labels[5][0]);
    ASSERT_EQ(t.labels[10][1], 0);              // the gap the higher one could not bridge
    const testutil::TempDir dir;
    // Slot 1's identifiers follow slot 0's last (6).
    EXPECT_EQ(loader_tracks(c, t, dir), "6 0 0 15\n12 1 0 8\n17 1 12 15\n");
}

}  // namespace
