#include <gtest/gtest.h>

#include <random>

#include "jointtracker.h"
#include "trackers.h"

namespace {

TEST(Trackers, NamesRoundTripAndOthersAreRefused) {
    for (TrackerKind k : {TrackerKind::Rule, TrackerKind::Joint}) {
        TrackerKind back = k == TrackerKind::Rule ? TrackerKind::Joint : TrackerKind::Rule;
        ASSERT_TRUE(tracker_kind(tracker_name(k), back)) << tracker_name(k);
        EXPECT_EQ(back, k);
    }
    EXPECT_EQ(tracker_names(), "rule, joint");
    EXPECT_STREQ(tracker_name(kDefaultTracker), "rule");
    for (const char* bad : {"", "Rule", "joint ", "rule,joint", "viterbi"}) {
        TrackerKind k = TrackerKind::Joint;
        EXPECT_FALSE(tracker_kind(bad, k)) << bad;
        EXPECT_EQ(k, TrackerKind::Joint) << bad;
    }
}

// Two drifting voices with dropouts and stray candidates.
Matrix random_candidates(int nframes) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Matrix c(nframes, std::vector<double>(4, 0.0));
    double a = 110.0, b = 190.0;
    for (auto& row : c) {
        a *= 1.0 + 0.02 * (unit(rng) - 0.5);
        b *= 1.0 + 0.02 * (unit(rng) - 0.5);
        row = {unit(rng) < 0.9 ? a : 0.0, unit(rng) < 0.7 ? b : 0.0,
               unit(rng) < 0.2 ? 70.0 + 300.0 * unit(rng) : 0.0, 0.0};
    }
    return c;
}

TEST(Trackers, TheFactoryMakesTheTrackerEachNameStandsFor) {
    const int n = 300;
    const Matrix c = random_candidates(n);
    const auto tables = [&](PitchTracker& t) {
        std::pair<IntMatrix, Matrix> out{IntMatrix(n, std::vector<int>(2, 0)),
                                         Matrix(n, std::vector<double>(2, 0.0))};
        t.track(c, n, out.first, out.second);
        return out;
    };
    RuleTracker rule;
    JointTracker joint;
    const auto ruleTables = tables(rule), jointTables = tables(joint);
    ASSERT_NE(ruleTables, jointTables);  // the input tells the two apart
    EXPECT_EQ(tables(*make_tracker(TrackerKind::Rule)), ruleTables);
    EXPECT_EQ(tables(*make_tracker(TrackerKind::Joint)), jointTables);
}

}  // namespace
