// The compact per-frame results: claims made later from the best lags kept
// while each frame was in memory must equal claims made from the frame's
// raw rows, for tracks on every candidate slot, on candidates that repeat,
// and on a period beyond the search range.
#include "frameresults.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "fragments.h"
#include "frametests.h"

namespace {

constexpr int kChans = 24, kLags = 240, kRate = 16000;

struct ScriptedTracker : PitchTracker {
    std::function<void(IntMatrix&, Matrix&)> fill;
    void track(const Matrix&, int, IntMatrix& labels, Matrix& tracks) override { fill(labels, tracks); }
};

struct Frame {
    std::vector<double> acg;  // kChans x kLags
    std::vector<const double*> rows;
    FrameAnalysis a;
    FrameRows raw() { return {rows.data(), kChans, kLags}; }
};

Frame random_frame(std::mt19937& rng, const double (&cand)[kCandidates]) {
    Frame f;
    std::uniform_real_distribution<double> value(-0.2, 1.0);
    f.acg.resize(kChans * kLags);
    for (double& v : f.acg) v = value(rng);
    for (int c = 0; c < kChans; ++c) f.rows.push_back(f.acg.data() + c * kLags);
    f.a.kind = FrameKind::Grouped;
    f.a.labels.resize(kChans);
    for (int c = 0; c < kChans; ++c) f.a.labels[c] = c % 3 == 0 ? 0 : c % 3 == 1 ? SPINE_1 : SPINE_2;
    std::copy(cand, cand + kCandidates, f.a.candidates);
    return f;
}

}  // namespace

TEST(FrameResults, ClaimsFromKeptLagsEqualClaimsFromTheRawRows) {
    std::mt19937 rng(5);
    const LagGeometry g = lag_geometry(kRate, kLags);
    const double h = lag_hz_double(kRate, 100), low = 71.0;  // low: period 225 > maxLag 223
    // Per frame: the candidates and the two slots' F0s (track labels 6 and 11).
    struct Case {
        double cand[kCandidates];
        double slots[2];
    };
    const Case cases[] = {
        {{h, 150.0, 180.0, 210.0}, {h, 210.0}},        // group 1 and group 2's third candidate
        {{h, 150.0, 150.0, 0.0}, {150.0, 0.0}},        // a candidate that repeats
        {{h, 180.0, 150.0, 0.0}, {0.0, 150.0}},        // the second candidate of group 2
        {{0.0, 150.0, 0.0, 0.0}, {150.0, 0.0}},        // group 1 without a candidate
        {{h, low, 0.0, 0.0}, {low, h}},                // a period beyond the search range
        {{h, 200.0, 0.0, 0.0}, {0.0, 0.0}},            // no track: nothing claimed
    };
    std::vector<Frame> frames;
    FrameResults results(kChans, g);
    ReducedFrame reduced;
    for (const Case& c : cases) {
        frames.push_back(random_frame(rng, c.cand));
        reduced.reduce(frames.back().raw(), frames.back().a, kRate);
        results.append(reduced);
    }
    ScriptedTracker tracker;
    tracker.fill = [&](IntMatrix& labels, Matrix& tracks) {
        for (size_t f = 0; f < std::size(cases); ++f)
            for (int s = 0; s < 2; ++s) {
                tracks[f][s] = cases[f].slots[s];
                labels[f][s] = cases[f].slots[s] != 0.0 ? 6 + 5 * s : 0;
            }
    };
    results.track(tracker);
    EXPECT_FALSE(results.fragment_labels_wrap());

    int claimed = 0;
    results.form_fragments([&](int f, const int* frag, const double* mask) {
        Frame& fr = frames[f];
        std::vector<int> best(kChans), expectFrag(kChans, 0);
        std::vector<double> expectMask(kChans, 0.0);
        const BestLags fromRows = [&](int group, double f0) {
            best_lags_near(fr.raw(), fr.a.labels.data(), group, f0, kRate, best.data());
            return static_cast<const int*>(best.data());
        };
        claim_frame(fr.a.labels.data(), cases[f].cand, results.f0_labels()[f].data(),
                    cases[f].slots, g, kChans, fromRows, expectFrag.data(), expectMask.data());
        for (int c = 0; c < kChans; ++c) {
            EXPECT_EQ(frag[c], expectFrag[c]) << "frame " << f << " channel " << c;
            EXPECT_EQ(mask[c], expectMask[c]) << "frame " << f << " channel " << c;
            claimed += frag[c] != 0;
        }
    });
    EXPECT_GT(claimed, 40);
}

TEST(FrameResults, FramesThatAreNotGroupedKeepNoLabelsCandidatesOrLags) {
    std::mt19937 rng(6);
    const double cand[kCandidates] = {120.0, 150.0, 0.0, 0.0};
    Frame f = random_frame(rng, cand);
    ReducedFrame r;
    r.reduce(f.raw(), f.a, kRate);
    EXPECT_EQ(r.bestLags.size(), 8u + 8u * 3u);  // 8 channels of each group
    for (const FrameKind kind : {FrameKind::Silent, FrameKind::Unvoiced, FrameKind::Ungrouped}) {
        f.a.kind = kind;
        r.reduce(f.raw(), f.a, kRate);
        EXPECT_EQ(r.labels, std::vector<int>(kChans, 0));
        EXPECT_EQ(r.candidates[0], 0.0);
        EXPECT_TRUE(r.bestLags.empty());
    }
}
