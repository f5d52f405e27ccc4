#include "frameanalysis.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "acgmodel.h"
#include "casagrouping.h"
#include "ruletracker.h"
#include "testutil.h"

namespace {

// Two voices, then noise, then digital silence: frames of every kind.
AcgModel two_voice_model() {
    std::vector<double> x = testutil::mix(testutil::harmonic_complex(16000, 0.8, 110.0, 135.0, 0.3),
                                          testutil::harmonic_complex(16000, 0.8, 210.0, 180.0, 0.25));
    const std::vector<double> hiss = testutil::noise(16000, 0.2, 0.2, 3u);
    x.insert(x.end(), hiss.begin(), hiss.end());
    x.resize(x.size() + 1600, 0.0);
    AcgModel m;
    m.compute(x, 16000);
    return m;
}

struct Frame {
    std::vector<const double*> rows;
    FrameInput in;
    Frame(const AcgModel& m, int f, const double* weights = nullptr)
        : rows(m.param.nchans), in{{nullptr, m.param.nchans, m.nlags}, weights, m.cfs.data()} {
        model_frame_rows(m.acg, m.param.nchans, f, m.nlags, rows.data());
        in.raw.rows = rows.data();
    }
};

// Everything a later frame, thread or caller could tell apart.
bool same(const FrameAnalysis& a, const FrameAnalysis& b) {
    return a.kind == b.kind && a.summary == b.summary && a.peakLag == b.peakLag &&
           a.dendrites == b.dendrites && a.assignment == b.assignment && a.labels == b.labels &&
           std::equal(a.candidates, a.candidates + kCandidates, b.candidates) &&
           std::equal(a.spines.lag, a.spines.lag + 4, b.spines.lag) &&
           a.spines.count == b.spines.count && a.spines.fallback == b.spines.fallback;
}

}  // namespace

// The value-returning analysis and the step-by-step interface on the
// grouping's members agree on every value of every frame.
TEST(FrameAnalysis, AgreesWithTheStepByStepInterface) {
    const AcgModel m = two_voice_model();
    RuleTracker tracker;
    CASAGrouping g(m, tracker);
    const LagGeometry lags = lag_geometry(m.srate, m.nlags);
    FrameScratch scratch;
    std::map<FrameKind, int> kinds;
    for (int f = 0; f < m.nframes; ++f) {
        const Frame frame(m, f);
        const FrameAnalysis a = analyse_frame(frame.in, lags, scratch);
        ++kinds[a.kind];
        g.currFrame = f;
        ASSERT_EQ(g.is_silent(), a.kind == FrameKind::Silent) << f;
        if (a.kind == FrameKind::Silent) continue;
        ASSERT_EQ(g.is_unvoiced(), a.kind == FrameKind::Unvoiced) << f;
        EXPECT_EQ(g.sumAcg, a.summary) << f;
        EXPECT_EQ(g.peakLag, a.peakLag) << f;
        if (a.kind == FrameKind::Unvoiced) continue;

        g.normalise_current_acg();
        g.updateGabor();
        std::vector<int> dendrites(m.param.nchans, 0), spines(4, 0), groups(m.param.nchans, 0);
        g.extract_dendrites(dendrites);
        EXPECT_EQ(dendrites, a.dendrites) << f;
        int count = 2;
        bool fallback = g.locate_dendrites(dendrites, spines, count);
        g.adjust_spines(dendrites, groups, fallback, spines, count);
        EXPECT_EQ(spines, std::vector<int>(a.spines.lag, a.spines.lag + 4)) << f;
        EXPECT_EQ(count, a.spines.count) << f;
        EXPECT_EQ(fallback, a.spines.fallback) << f;
        if (a.kind == FrameKind::Ungrouped) continue;
        g.assign_channels(spines, count, groups);
        EXPECT_EQ(groups, a.assignment) << f;
        g.update_FrmSeg_F0Cand(groups);
        EXPECT_EQ(g.frmSegments[f], a.labels) << f;
        EXPECT_EQ(g.f0Candidates[f], std::vector<double>(a.candidates, a.candidates + 4)) << f;
    }
    EXPECT_GT(kinds[FrameKind::Silent], 0);
    EXPECT_GT(kinds[FrameKind::Unvoiced], 0);
    EXPECT_GT(kinds[FrameKind::Grouped], 20);
}

// Frames analysed on two threads at once, one reading the model's rows and
// one a copy of each frame in a buffer of its own, with weights, give the
// values of one thread.
TEST(FrameAnalysis, TwoThreadsAndAnyRowStorageGiveTheSameValues) {
    const AcgModel m = two_voice_model();
    const LagGeometry lags = lag_geometry(m.srate, m.nlags);
    std::vector<double> weights(m.param.nchans);
    for (int c = 0; c < m.param.nchans; ++c) weights[c] = 0.5 + 0.03 * c;

    std::vector<FrameAnalysis> expect;
    FrameScratch one;
    for (int f = 0; f < m.nframes; ++f)
        expect.push_back(analyse_frame(Frame(m, f, weights.data()).in, lags, one));

    std::vector<FrameAnalysis> fromModel(m.nframes), fromBuffer(m.nframes);
    std::thread a([&] {
        FrameScratch scratch;
        for (int f = 0; f < m.nframes; ++f)
            fromModel[f] = analyse_frame(Frame(m, f, weights.data()).in, lags, scratch);
    });
    std::thread b([&] {
        FrameScratch scratch;
        std::vector<double> block(static_cast<size_t>(m.param.nchans) * m.nlags);
        std::vector<const double*> rows(m.param.nchans);
        for (int f = m.nframes - 1; f >= 0; --f) {  // the other way round
            for (int c = 0; c < m.param.nchans; ++c) {
                const double* src = m.acg[c].data() + static_cast<size_t>(f) * m.nlags;
                std::copy(src, src + m.nlags, block.begin() + static_cast<size_t>(c) * m.nlags);
                rows[c] = block.data() + static_cast<size_t>(c) * m.nlags;
            }
            const FrameInput in{{rows.data(), m.param.nchans, m.nlags}, weights.data(), m.cfs.data()};
            fromBuffer[f] = analyse_frame(in, lags, scratch);
        }
    });
    a.join();
    b.join();
    for (int f = 0; f < m.nframes; ++f) {
        EXPECT_TRUE(same(fromModel[f], expect[f])) << "model rows, frame " << f;
        EXPECT_TRUE(same(fromBuffer[f], expect[f])) << "buffer rows, frame " << f;
    }
}
