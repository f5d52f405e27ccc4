#include "spines.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Six normalised channels, flat but for lag 0.
struct Frame {
    std::vector<std::vector<double>> data = std::vector<std::vector<double>>(6, std::vector<double>(240, 0.1));
    std::vector<const double*> rows;
    FrameRows view() {
        rows.clear();
        for (auto& r : data) {
            r[0] = 1.0;
            rows.push_back(r.data());
        }
        return {rows.data(), 6, 240};
    }
};

}  // namespace

// After a fallback, the spine doubles on the frame's own summary, the one
// the voicing test made, and never on the work space of group summaries.
TEST(Spines, FallbackDoublesOnTheFrameSummaryGivenToIt) {
    const LagGeometry lags = lag_geometry(16000, 240);
    Frame frame;
    const FrameRows rows = frame.view();
    std::vector<double> summary(240, 0.0), work(240, 7.0);
    summary[123] = 2.0;
    summary[118] = 1.0;

    // Fallback from the votes: the dendrites agreed on nothing.
    Spines sp;
    sp.lag[0] = 60;
    sp.count = 1;
    sp.fallback = true;
    std::vector<int> support(6, 0);
    const std::vector<int> dendrites(6, 41);
    adjust_spines(sp, rows, dendrites.data(), summary.data(), 60, lags, work.data(),
                  support.data());
    EXPECT_EQ(sp.lag[2], 123);

    // Fallback for want of support: two channels only back spine 0.
    Spines weak;
    weak.lag[0] = 100;
    weak.lag[1] = 150;
    std::vector<int> few = {100, 100, 150, 41, 41, 41};
    summary[123] = 0.0;  // now 118 is the summary's maximum near 120
    adjust_spines(weak, rows, few.data(), summary.data(), 60, lags, work.data(), support.data());
    EXPECT_TRUE(weak.fallback);
    EXPECT_EQ(weak.count, 1);
    EXPECT_EQ(weak.lag[0], 60);
    EXPECT_EQ(weak.lag[2], 118);
}
