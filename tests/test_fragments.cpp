#include "fragments.h"

#include <gtest/gtest.h>

#include <map>

#include "acgmodel.h"
#include "casagrouping.h"
#include "ruletracker.h"
#include "testutil.h"

// A streaming caller keeps, while a frame is in memory, the best lags near
// each of its candidates, and claims from them after tracking without the
// autocorrelogram: the fragments and mask are those of form_fragments.
TEST(Fragments, ClaimsFromBestLagsKeptWhileTheFrameWasInMemory) {
    AcgModel m;
    m.compute(testutil::mix(testutil::harmonic_complex(16000, 1.0, 100.0, 120.0, 0.35),
                            testutil::harmonic_complex(16000, 1.0, 230.0, 190.0, 0.3)),
              16000);
    RuleTracker tracker;
    CASAGrouping g(m, tracker);
    g.generate_fragments(nullptr);
    const LagGeometry lags = lag_geometry(m.srate, m.nlags);
    const int nchans = m.param.nchans;

    // While frame f is in memory: the best lags near each candidate, for the
    // group the candidate would claim.
    std::vector<std::map<std::pair<int, double>, std::vector<int>>> kept(m.nframes);
    for (int f = 0; f < m.nframes; ++f) {
        std::vector<const double*> rows(nchans);
        model_frame_rows(m.acg, nchans, f, m.nlags, rows.data());
        const FrameRows raw{rows.data(), nchans, m.nlags};
        for (int q = 0; q < 4; ++q) {
            const double f0 = g.f0Candidates[f][q];
            if (!(f0 > 0.0)) continue;
            const int group = q == 0 ? 1 : 2;
            std::vector<int> best(nchans, -1);
            best_lags_near(raw, g.frmSegments[f].data(), group, f0, m.srate, best.data());
            kept[f][{group, f0}] = best;
        }
    }

    int claimed = 0;
    const std::vector<int> none(nchans, 0);
    for (int f = 0; f < m.nframes; ++f) {
        std::vector<int> frag(nchans, 0);
        std::vector<double> mask(nchans, 0.0);
        const BestLags fromKept = [&](int group, double f0) -> const int* {
            const auto it = kept[f].find({group, f0});
            if (it == kept[f].end()) {
                ADD_FAILURE() << "frame " << f << ": no kept lags for " << f0 << " Hz";
                return none.data();
            }
            return it->second.data();
        };
        claim_frame(g.frmSegments[f].data(), g.f0Candidates[f].data(), g.f0Labels[f].data(),
                    g.f0Tracks[f].data(), lags, nchans, fromKept, frag.data(), mask.data());
        EXPECT_EQ(frag, g.fragments[f]) << f;
        EXPECT_EQ(mask, g.mask[f]) << f;
        for (int v : frag) claimed += v != 0;
    }
    EXPECT_GT(claimed, 200);
}
