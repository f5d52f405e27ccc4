#include "casagrouping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>

#include "testutil.h"
#include "vectors.h"

namespace {

using Matrix = CASAGrouping::Matrix;
using IntMatrix = CASAGrouping::IntMatrix;

// A tracker under the test's control: counts calls and optionally fills slots.
struct FakeTracker : PitchTracker {
    int calls = 0;
    int frames = -1;
    std::function<void(IntMatrix&, Matrix&)> fill;
    void track(const Matrix&, int n, IntMatrix& labels, Matrix& tracks) override {
        ++calls;
        frames = n;
        if (fill) fill(labels, tracks);
    }
};

// A model built by hand: zero autocorrelogram, ascending centre frequencies.
AcgModel hand_model(int nchans, int nframes, int srate = 16000, int nlags = 240) {
    AcgModel m;
    m.param.nchans = nchans;
    m.nlags = nlags;
    m.nframes = nframes;
    m.srate = srate;
    m.acg.assign(nchans, std::vector<double>(static_cast<size_t>(nframes) * nlags, 0.0));
    m.cfs.assign(nchans, 0.0);
    for (int c = 0; c < nchans; ++c) m.cfs[c] = 100.0 * (c + 1);
    return m;
}

double logistic(double d) {  // the mask's single-precision logistic
    const float x = static_cast<float>((20.0 - d) * -0.15);
    return 1.0f / (expf(x) + 1.0f);
}

}  // namespace

TEST(GroupingSetup, SearchRangeAndHelpersAtTheDriversRates) {
    FakeTracker tr;
    AcgModel m16 = hand_model(4, 3);
    CASAGrouping g(m16, tr);
    EXPECT_EQ(g.minLag, 41);
    EXPECT_EQ(g.maxLag, 223);
    EXPECT_EQ(g.frmSegments.size(), 3u);
    EXPECT_EQ(g.currAcg[3].size(), 240u);
    int lo, hi;
    g.rangeInHz(100, 1.0, lo, hi);
    EXPECT_EQ(lo, 99);
    EXPECT_EQ(hi, 101);
    g.rangeInHz(220, 10.0, lo, hi);  // capped at the last searched lag
    EXPECT_EQ(hi, 222);
    EXPECT_EQ(g.calc_distHz(80, 160), 100.0);

    AcgModel m8 = hand_model(4, 1, 8000, 120);
    CASAGrouping g8(m8, tr);
    EXPECT_EQ(g8.minLag, 21);
    EXPECT_EQ(g8.maxLag, 111);
}

TEST(FrameTests, SilenceFollowsLoudestChannelAndEnergyFloor) {
    FakeTracker tr;
    AcgModel m = hand_model(4, 4);
    auto lag0 = [&](int c, int f, double v) { m.acg[c][f * 240] = v; };
    lag0(0, 0, 0.5), lag0(2, 0, 0.5);        // tie with channel 0
    lag0(0, 1, 0.4), lag0(2, 1, 0.5);        // channel 2 loudest
    lag0(3, 2, 0.00001);                     // exactly at the floor
    lag0(3, 3, 0.0000099);                   // just below it
    CASAGrouping g(m, tr);
    const bool expected[] = {true, false, false, true};
    for (int f = 0; f < 4; ++f) {
        g.currFrame = f;
        EXPECT_EQ(g.is_silent(), expected[f]) << f;
    }
    AcgModel none = hand_model(0, 1);
    CASAGrouping g0(none, tr);
    EXPECT_TRUE(g0.is_silent());
}

TEST(FrameTests, UnvoicedByPeakPositionAndHeightRatio) {
    FakeTracker tr;
    AcgModel m = hand_model(2, 4);
    // Frame f: lag 0 at 1.0 and one summary peak.
    const int lag[] = {43, 44, 44, 100};
    const double height[] = {0.9, 0.5, 0.4999, 0.3};
    for (int f = 0; f < 4; ++f) {
        m.acg[1][f * 240] = 1.0;
        m.acg[1][f * 240 + lag[f]] = height[f];
    }
    CASAGrouping g(m, tr);
    const bool unvoiced[] = {true, false, true, true};
    const int peak[] = {43, 44, 44, -1};  // 0.3 is below 40 % of lag 0: no peak
    for (int f = 0; f < 4; ++f) {
        g.currFrame = f;
        EXPECT_EQ(g.is_unvoiced(), unvoiced[f]) << f;
        EXPECT_EQ(g.peakLag, peak[f]) << f;
    }
}

TEST(SearchHelpers, PickPeaksPlateauSkipAndCap) {
    std::vector<double> d(120, 0.0);
    d[0] = 1.0;
    int peaks[32];
    // Width 20 skips 6 lags after a peak: a plateau of 7 yields one peak.
    for (int k = 30; k <= 36; ++k) d[k] = 0.8;
    EXPECT_EQ(CASAGrouping::pick_peaks(d.data(), 120, 20, 21, peaks, 32), 1);
    EXPECT_EQ(peaks[0], 30);
    d[37] = 0.8;  // a plateau of 8 yields a second peak at its end
    ASSERT_EQ(CASAGrouping::pick_peaks(d.data(), 120, 20, 21, peaks, 32), 2);
    EXPECT_EQ(peaks[1], 37);
    d[0] = 0.0;
    EXPECT_EQ(CASAGrouping::pick_peaks(d.data(), 120, 20, 21, peaks, 32), 0);

    std::vector<double> comb(400, 0.0);
    comb[0] = 1.0;
    for (int k = 10; k < 400; k += 5) comb[k] = 0.9;
    int many[32];
    EXPECT_EQ(CASAGrouping::pick_peaks(comb.data(), 400, 3, 10, many, 32), 32);
    EXPECT_EQ(many[31], 10 + 31 * 5);
}

TEST(SearchHelpers, FindMaxTakesFirstPositiveMaximum) {
    const double zeros[6] = {0, 0, -1, 0, 0, 0};
    int idx = -7;
    EXPECT_EQ(CASAGrouping::find_max(zeros, 1, 4, idx), 0.0);
    EXPECT_EQ(idx, 1);
    const double flat[6] = {0, 2, 3, 3, 1, 3};
    EXPECT_EQ(CASAGrouping::find_max(flat, 0, 5, idx), 3.0);
    EXPECT_EQ(idx, 2);
    EXPECT_EQ(CASAGrouping::find_max(flat, 4, 3, idx), 0.0);  // empty range
    EXPECT_EQ(idx, 4);
    EXPECT_EQ(CASAGrouping::find_max(flat, 0, 1), 2.0);
}

namespace {

struct SpineResult {
    bool fallback;
    int count;
    std::vector<int> spines;
};

SpineResult locate(CASAGrouping& g, const std::vector<int>& dendrites) {
    SpineResult r{false, 2, std::vector<int>(4, 0)};
    r.fallback = g.locate_dendrites(dendrites, r.spines, r.count);
    return r;
}

}  // namespace

TEST(Spines, HistogramMaximaAndTheirExclusions) {
    FakeTracker tr;
    AcgModel m = hand_model(16, 1);
    CASAGrouping g(m, tr);
    g.peakLag = 150;
    SpineResult r = locate(g, std::vector<int>(16, 41));  // all below the histogram
    EXPECT_TRUE(r.fallback);
    EXPECT_EQ(r.spines[0], 150);
    EXPECT_EQ(r.count, 1);

    std::vector<int> d(16, 100);
    r = locate(g, d);
    EXPECT_FALSE(r.fallback);
    EXPECT_EQ(r.spines[0], 99);  // lag 99's 1 Hz range already holds every vote
    EXPECT_EQ(r.spines[1], -1);
    EXPECT_EQ(r.count, 1);

    for (int c = 10; c < 16; ++c) d[c] = 150;
    r = locate(g, d);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.spines[1], 148);

    // Votes at 201: lags 198 to 201 reach them first, but their half lags
    // lie within 3 Hz of the first spine (99, 161.6 Hz).
    for (int c = 10; c < 16; ++c) d[c] = 201;
    r = locate(g, d);
    ASSERT_EQ(r.count, 2);
    EXPECT_EQ(r.spines[1], 202);

    // Weights are the votes: zero weights leave nothing to agree on.
    Matrix w(1, std::vector<double>(16, 0.0));
    g.weights = &w;
    EXPECT_TRUE(locate(g, d).fallback);
    // Scores add in single precision: a tiny vote at 102 does not lift lag
    // 101 above lag 99.
    d.assign(16, 41);
    d[0] = 100, d[1] = 102;
    w[0][0] = 1.0, w[0][1] = 1e-9;
    EXPECT_EQ(locate(g, d).spines[0], 99);
}

namespace {

// A grouping whose channels support spine lags by their dendrites; each
// supporting channel's row peaks at its spine lag and at twice it.
struct SpineFrame {
    explicit SpineFrame(int srate = 16000) : m(hand_model(12, 1, srate, srate * 3 / 200)) {}
    FakeTracker tr;
    AcgModel m;
    CASAGrouping g{m, tr};
    std::vector<int> dendrites = std::vector<int>(12, 0);

    void support(int first, int count, int lag) {
        for (int c = first; c < first + count; ++c) {
            dendrites[c] = lag;
            g.currAcg[c][0] = 1.0;
            g.currAcg[c][lag] = 0.9;
            if (2 * lag < m.nlags) g.currAcg[c][2 * lag] = 0.8;
        }
    }
    SpineResult adjust(int s0, int s1, int count) {
        SpineResult r{false, count, {s0, s1, 0, 0}};
        std::vector<int> groups(12, 0);
        g.adjust_spines(dendrites, groups, r.fallback, r.spines, r.count);
        return r;
    }
};

}  // namespace

TEST(Spines, SupportOfThreeChannelsKeepsASpine) {
    SpineFrame a;
    a.support(0, 5, 100), a.support(5, 2, 150);
    SpineResult r = a.adjust(100, 150, 2);
    EXPECT_FALSE(r.fallback);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.spines[0], 100);
    EXPECT_EQ(r.spines[2], 200);

    SpineFrame b;
    b.support(0, 5, 100), b.support(5, 3, 150);
    r = b.adjust(100, 150, 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.spines[1], 150);
    EXPECT_EQ(r.spines[3], 222);  // 300 lies beyond the range: capped

    SpineFrame c;  // a weak first spine loses to the summary peak
    c.support(0, 2, 100), c.support(2, 8, 150);
    c.g.peakLag = 120;
    r = c.adjust(100, 150, 2);
    EXPECT_TRUE(r.fallback);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.spines[0], 120);
    EXPECT_EQ(r.spines[2], 222);
}

TEST(Spines, SameAndOctaveSpinesMerge) {
    struct Case {
        int srate, s0, s1, count, first;
    } cases[] = {
        {32000, 160, 158, 1, 160},  // 200 Hz and 202.5 Hz: one periodicity
        {16000, 160, 80, 1, 80},    // 100 Hz first, 200 Hz second: the shorter period
        {16000, 80, 160, 1, 80},    // 200 Hz first, 100 Hz second: the first alone
        {16000, 100, 150, 2, 100},  // unrelated: both stay
    };
    for (const Case& k : cases) {
        SpineFrame f(k.srate);
        f.support(0, 4, k.s0), f.support(4, 4, k.s1);
        SpineResult r = f.adjust(k.s0, k.s1, 2);
        EXPECT_EQ(r.count, k.count) << k.s0 << "/" << k.s1;
        EXPECT_EQ(r.spines[0], k.first) << k.s0 << "/" << k.s1;
        if (k.s1 == 80) {
            EXPECT_EQ(r.spines[2], 160);  // the second spine's double
        }
    }
}

TEST(ChannelAssignment, LabelsBySpineDistanceAndFrequencyRules) {
    FakeTracker tr;
    AcgModel m = hand_model(6, 1);
    m.cfs = {500.0, 500.0, 4000.0, 4000.0, 740.0, 741.0};
    CASAGrouping g(m, tr);
    for (auto& row : g.currAcg) row[0] = 1.0;
    g.currAcg[0][100] = 1.0;                           // follows spine 1
    g.currAcg[1][100] = 0.2, g.currAcg[1][150] = 1.0;  // follows spine 2
    g.currAcg[2][100] = 0.7, g.currAcg[2][150] = 0.6;  // high: larger value wins
    g.currAcg[3][100] = 0.6, g.currAcg[3][150] = 0.6;  // high: a tie goes to 2
    std::vector<int> labels(6, 9);
    g.assign_channels({100, 150, 200, 300}, 2, labels);
    EXPECT_EQ(labels, (std::vector<int>{1, 2, 1, 2, 0, 0}));

    // One spine; above 740 Hz the spine lag moves to its larger neighbour.
    for (int c : {4, 5}) g.currAcg[c][100] = 0.5, g.currAcg[c][101] = 1.0;
    g.currAcg[0][200] = 1.0;  // no longer above its value at the doubled lag
    g.assign_channels({100, -1, 200, 0}, 1, labels);
    EXPECT_EQ(labels, (std::vector<int>{2, 2, 1, 1, 2, 1}));
}

namespace {

// One frame whose channel c pools raw rows with lag 0 at 1.0 and given peaks.
struct CandidateFrame {
    FakeTracker tr;
    AcgModel m = hand_model(6, 1);
    std::unique_ptr<CASAGrouping> g;

    void peaks(int c, std::initializer_list<std::pair<int, double>> ps) {
        m.acg[c][0] = 1.0;
        for (auto [lag, h] : ps) m.acg[c][lag] = h;
    }
    std::vector<double> run(const std::vector<int>& groups) {
        g = std::make_unique<CASAGrouping>(m, tr);
        g->update_FrmSeg_F0Cand(groups);
        return g->f0Candidates[0];
    }
};

}  // namespace

TEST(F0Candidates, PrecisionPerCandidateColumn) {
    CandidateFrame one;
    for (int c : {0, 1, 2}) one.peaks(c, {{123, 0.9}});
    auto cand = one.run({1, 1, 1, 0, 0, 0});
    EXPECT_EQ(cand[0], 130.081298828125);  // single-precision quotient
    EXPECT_EQ(cand[1], 0.0);

    CandidateFrame f;
    for (int c : {0, 1}) f.peaks(c, {{80, 0.9}, {100, 0.9}});  // tie: the shorter lag
    for (int c : {2, 3}) f.peaks(c, {{60, 0.5}, {123, 0.5}, {170, 0.46}});
    cand = f.run({1, 1, 2, 2, 0, 0});
    EXPECT_EQ(cand[0], 200.0);
    // Equal heights: the longer lag ranks higher (double precision); the
    // second is double, the third single precision.
    EXPECT_EQ(cand[1], 130.08130081300814);
    EXPECT_EQ(cand[2], 16000.0 / 60);
    EXPECT_EQ(cand[3], static_cast<double>(16000.0f / 170.0f));
    EXPECT_EQ(f.g->frmSegments[0], (std::vector<int>{1, 1, 2, 2, 0, 0}));
}

TEST(F0Candidates, StrictThresholdsAndMerging) {
    CandidateFrame f;  // 128 Hz and 125 Hz: exactly 3.0 Hz apart, not merged
    for (int c : {0, 1}) f.peaks(c, {{125, 0.9}});
    for (int c : {2, 3}) f.peaks(c, {{100, 0.9}, {128, 1.0}});  // 0.9 of the top: dropped
    auto cand = f.run({1, 1, 2, 2, 0, 0});
    EXPECT_EQ(cand, (std::vector<double>{128.0, 125.0, 0.0, 0.0}));

    CandidateFrame g;
    for (int c : {0, 1}) g.peaks(c, {{125, 0.9}});
    for (int c : {2, 3}) g.peaks(c, {{100, 0.91}, {126, 1.0}});
    cand = g.run({1, 1, 2, 2, 0, 0});
    EXPECT_EQ(cand, (std::vector<double>{128.0, 0.0, 0.0, 0.0}));  // merged
    EXPECT_EQ(g.g->frmSegments[0], (std::vector<int>{1, 1, 1, 1, 0, 0}));

    CandidateFrame h;  // lone channel: labelled, no candidate; no peak: find_max
    h.peaks(0, {{125, 0.9}});
    cand = h.run({1, 0, 2, 2, 0, 0});
    EXPECT_EQ(cand, (std::vector<double>{0.0, static_cast<double>(16000.0f / 41.0f), 0, 0}));
    EXPECT_EQ(h.g->frmSegments[0], (std::vector<int>{1, 0, 2, 2, 0, 0}));
}

TEST(Grouping, FallbackBeyondTheSearchRangeLeavesTheFrameUngrouped) {
    for (int extra : {0, 1}) {
        FakeTracker tr;
        AcgModel m = hand_model(6, 1);
        CASAGrouping g(m, tr);
        Matrix zero(1, std::vector<double>(6, 0.0));
        g.weights = &zero;  // no dendrite votes: the spine falls back to peakLag
        for (auto& row : g.currAcg) row[0] = 1.0, row[222] = row[223] = 1.0;
        g.peakLag = g.maxLag + extra;
        g.group_channels();
        const bool grouped = extra == 0;
        EXPECT_EQ(g.frmSegments[0][0] != 0, grouped);
        EXPECT_EQ(g.f0Candidates[0][1] != 0.0, grouped);
    }
}

TEST(Fragments, TracksClaimGroupsWithLogisticMask) {
    FakeTracker tr;
    AcgModel m = hand_model(6, 3);
    const int best[] = {100, 98, 89, 94, 123, 100};
    for (int c = 0; c < 6; ++c) m.acg[c][(c == 3 || c == 4 ? 1 : 0) * 240 + best[c]] = 1.0;
    CASAGrouping g(m, tr);
    g.frmSegments = {{1, 1, 1, 0, 0, 2}, {0, 0, 0, 2, 2, 1}, {2, 2, 0, 0, 0, 0}};
    g.f0Candidates = {{160.0, 180.0, 0, 0}, {200.0, 0, 0, 150.0}, {0, 70.0, 0, 0}};
    g.f0Labels = {{6, 11}, {6, 12}, {0, 11}};
    g.f0Tracks = {{160.0, 180.0}, {150.0, 150.0}, {0.0, 70.0}};
    g.form_fragments();
    EXPECT_EQ(g.fragments[0], (std::vector<int>{6, 6, 6, 0, 0, 11}));
    EXPECT_EQ(g.mask[0][5], 0.5);  // exactly 20 Hz off: no floor
    EXPECT_EQ(g.mask[0][0], logistic(0.0));
    EXPECT_NEAR(g.mask[0][0], 0.95257, 5e-6);
    EXPECT_NEAR(g.mask[0][1], 0.92485, 5e-6);
    EXPECT_NEAR(g.mask[0][2], 0.50843, 5e-6);
    // Both slots claim group 2: slot 1 wins; 170.21 Hz is 20.21 Hz off.
    EXPECT_EQ(g.fragments[1], (std::vector<int>{0, 0, 0, 12, 12, 0}));
    EXPECT_EQ(g.mask[1][3], 0.501);
    EXPECT_NEAR(g.mask[1][4], 0.50305, 5e-6);
    EXPECT_EQ(g.mask[1][5], 0.0);
    // Below about 71.6 Hz a group-2 track takes the floor without a search.
    EXPECT_EQ(g.fragments[2], (std::vector<int>{11, 11, 0, 0, 0, 0}));
    EXPECT_EQ(g.mask[2][0], 0.501);
}

TEST(Generate, WeightRowsAreCheckedAndSilenceCallsTheTrackerOnce) {
    FakeTracker tr;
    AcgModel m = hand_model(3, 2);
    m.acg[2][240] = 1.0;  // frame 1 is not silent
    CASAGrouping g(m, tr);
    Matrix shortRows(2, std::vector<double>(2, 1.0));
    EXPECT_THROW(g.generate_fragments(&shortRows), std::out_of_range);
    Matrix oneRow(1, std::vector<double>(3, 1.0));
    EXPECT_THROW(g.generate_fragments(&oneRow), std::out_of_range);

    FakeTracker quiet;
    AcgModel silent = hand_model(3, 4);
    CASAGrouping s(silent, quiet);
    s.generate_fragments(nullptr);
    EXPECT_EQ(quiet.calls, 1);
    EXPECT_EQ(quiet.frames, 4);
    EXPECT_EQ(s.currFrame, 4);
    for (const auto& row : s.f0Candidates) EXPECT_EQ(row, std::vector<double>(4, 0.0));
}

TEST(Writers, LayoutsLowBitsAndFailures) {
    testutil::TempDir dir;
    FakeTracker tr;
    AcgModel m = hand_model(3, 2);
    CASAGrouping g(m, tr);
    g.fragments[1] = {70000, -1, 5};
    g.mask[0][2] = 0.501;
    EXPECT_TRUE(g.fragment_labels_wrap());
    ASSERT_TRUE(g.write_fragments(dir.file("g").c_str()));
    ASSERT_TRUE(g.write_mask(dir.file("m").c_str()));
    const auto frag = testutil::read_file(dir.file("g"));
    ASSERT_EQ(frag.size(), 2u * 3 * 2);
    const std::vector<uint8_t> row1 = {0x70, 0x11, 0xFF, 0xFF, 0x05, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(frag.begin() + 6, frag.end()), row1);
    const auto msk = testutil::read_file(dir.file("m"));
    ASSERT_EQ(msk.size(), 2u * 3 * 4);
    float v;
    std::memcpy(&v, &msk[8], 4);
    EXPECT_EQ(v, 0.501f);
    g.fragments[1][0] = 32767;
    EXPECT_FALSE(g.fragment_labels_wrap());

    const std::string missing = dir.file("no/such/file");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(g.write_f0Tracks(missing.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to open file: " + missing + "\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(g.write_mask("/dev/full"));  // the disk is full: reported, not silent
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to write file: /dev/full\n");
}

namespace {

// Runs the whole grouping with the rule tracker on a synthetic signal.
struct Pipeline {
    AcgModel model;
    RuleTracker tracker;
    std::unique_ptr<CASAGrouping> g;
    Pipeline(const std::vector<double>& x, const Matrix* w = nullptr) {
        model.compute(x, 16000);
        g = std::make_unique<CASAGrouping>(model, tracker);
        g->generate_fragments(w);
    }
};

// Distinct non-zero track identifiers over all frames.
std::set<int> track_ids(const CASAGrouping& g) {
    std::set<int> ids;
    for (const auto& row : g.f0Labels)
        for (int id : row)
            if (id > 0) ids.insert(id);
    return ids;
}

}  // namespace

TEST(EndToEnd, OneHarmonicComplexGivesOneTrackNearItsF0) {
    Pipeline r(testutil::harmonic_complex(16000, 0.8, 140.0, 140.0, 0.5));
    ASSERT_EQ(track_ids(*r.g).size(), 1u);
    int voiced = 0;
    for (const auto& row : r.g->f0Tracks)
        for (double f : row)
            if (f > 0.0) {
                ++voiced;
                EXPECT_NEAR(f, 140.0, 4.0);
            }
    EXPECT_GT(voiced, 60);
    int claimed = 0;
    for (size_t f = 0; f < r.g->mask.size(); ++f)
        for (size_t c = 0; c < 32; ++c)
            if (r.g->fragments[f][c] != 0) {
                ++claimed;
                EXPECT_GE(r.g->mask[f][c], 0.5);
            }
    EXPECT_GT(claimed, 0);
}

TEST(EndToEnd, TwoSeparatedComplexesGiveTwoTracks) {
    Pipeline r(testutil::mix(testutil::harmonic_complex(16000, 0.8, 100.0, 100.0, 0.4),
                        testutil::harmonic_complex(16000, 0.8, 230.0, 230.0, 0.4)));
    EXPECT_GE(track_ids(*r.g).size(), 2u);
}

TEST(EndToEnd, FilesFollowTheSizeFormulaAndAreReproducible) {
    testutil::TempDir dir;
    const auto x = testutil::harmonic_complex(16000, 0.5, 120.0, 150.0, 0.5);
    Pipeline r(x);
    Matrix ones(r.model.nframes, std::vector<double>(32, 1.0));
    Pipeline w(x, &ones);
    const int n = r.model.nframes;
    struct File {
        const char* name;
        bool (CASAGrouping::*write)(const char*) const;
        size_t bytesPerFrame;
    } files[] = {{"frmseg", &CASAGrouping::write_frmSegments, 64},
                 {"f0cands", &CASAGrouping::write_f0Candidates, 16},
                 {"f0tracks", &CASAGrouping::write_f0Tracks, 8},
                 {"groups", &CASAGrouping::write_fragments, 64},
                 {"mask", &CASAGrouping::write_mask, 128},
                 {"labels", &CASAGrouping::write_f0Labels, 4}};
    for (const File& f : files) {
        const std::string a = dir.file(std::string("a.") + f.name);
        const std::string b = dir.file(std::string("b.") + f.name);
        ASSERT_TRUE(((*r.g).*f.write)(a.c_str()));
        ASSERT_TRUE(((*r.g).*f.write)(a.c_str()));  // rewriting truncates
        ASSERT_TRUE(((*w.g).*f.write)(b.c_str()));  // unit weights change nothing
        const auto bytes = testutil::read_file(a);
        EXPECT_EQ(bytes.size(), f.bytesPerFrame * n) << f.name;
        EXPECT_EQ(bytes, testutil::read_file(b)) << f.name;
    }
}

TEST(EndToEnd, SilenceGivesAllZeroResults) {
    testutil::TempDir dir;
    Pipeline r(std::vector<double>(16000 / 2, 0.0));
    ASSERT_TRUE(r.g->write_mask(dir.file("s.mask").c_str()));
    const auto bytes = testutil::read_file(dir.file("s.mask"));
    EXPECT_EQ(bytes.size(), 50u * 128);
    EXPECT_EQ(bytes, std::vector<uint8_t>(bytes.size(), 0));
    EXPECT_TRUE(track_ids(*r.g).empty());
}

// The grouping's dendrites (DendriteSearch, tested in test_dendrites.cpp)
// are the same with its vector loops kept to SSE2, at every process width.
TEST(Gabor, AllowWideVectorsKeepsTheDendrites) {
    FakeTracker tr;
    AcgModel m = hand_model(16, 1);
    CASAGrouping g(m, tr);
    for (int c = 0; c < 16; ++c) {
        for (int k = 0; k < 240; ++k)
            g.currAcg[c][k] = 0.5 + 0.5 * std::cos(2 * M_PI * k / (c % 3 ? 71.3 : 113.7)) *
                                        std::exp(-k / 300.0);
        g.currAcg[c][0] = 1.0;
    }
    g.updateGabor();
    std::vector<int> wide(16, 0), narrow(16, 0);
    g.extract_dendrites(wide);
    g.allow_wide_vectors(false);
    for (const vec::Width width : vec::supported_widths()) {
        vec::WidthLimit limit(width);
        g.extract_dendrites(narrow);
        EXPECT_EQ(narrow, wide) << "width " << static_cast<int>(width);
    }
    for (int c = 2; c <= 13; ++c) EXPECT_EQ(wide[c], g.gabor_conv2(c)) << c;
}

TEST(FramePrimitives, PeakPickerAgreesWithTheWindowMaximumDefinition) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> level(0, 4);  // small integers: plateaus and ties
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> data(240);
        for (double& v : data) v = level(rng);
        data[0] = 1 + level(rng);
        for (const int width : {15, 20}) {
            for (const int maxPeaks : {3, 32}) {
                int got[32], expect[32];
                const int n = CASAGrouping::pick_peaks(data.data(), 240, width, 41, got, maxPeaks);
                // The definition: the maximum of 0.0 and the window, above 40 % of lag 0.
                const int skip = width / 3, half = (width + 1) / 2;
                int count = 0;
                for (int c = 41; c < 240 - half - 1 && count < maxPeaks; ++c) {
                    double m = 0.0;
                    for (int k = c - half; k <= c + half; ++k) m = std::max(m, data[k]);
                    if (data[c] == m && data[c] > 0.4 * data[0]) expect[count++] = c, c += skip;
                }
                ASSERT_EQ(n, count) << trial;
                for (int i = 0; i < n; ++i) EXPECT_EQ(got[i], expect[i]) << trial;
            }
        }
    }
}
