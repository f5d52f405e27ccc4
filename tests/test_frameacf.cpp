#include "frameacf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

TEST(HannWindow, MatchesKnownValuesAndIsSymmetric) {
    const auto w3 = FrameAutocorrelation::hann_window(3);
    ASSERT_EQ(w3.size(), 3u);
    EXPECT_NEAR(w3[0], 0.5, 1e-15);
    EXPECT_NEAR(w3[1], 1.0, 1e-15);
    EXPECT_EQ(w3[2], w3[0]);
    const auto w4 = FrameAutocorrelation::hann_window(4);
    EXPECT_NEAR(w4[0], 0.345492, 1e-6);
    EXPECT_NEAR(w4[1], 0.904508, 1e-6);
    EXPECT_EQ(w4[2], w4[1]);
    EXPECT_EQ(w4[3], w4[0]);
    EXPECT_TRUE(FrameAutocorrelation::hann_window(0).empty());
    const auto w481 = FrameAutocorrelation::hann_window(481);
    for (int k = 0; k < 481; ++k) EXPECT_EQ(w481[k], w481[480 - k]);
    EXPECT_GT(w481[0], 0.0);
}

namespace {

// Frames of noise, decaying tones and digital silence, W samples each.
std::vector<std::vector<double>> test_frames(int w, int count) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<std::vector<double>> frames(count, std::vector<double>(w, 0.0));
    for (int f = 0; f < count; ++f) {
        if (f % 7 == 3) continue;  // all zero
        for (int k = 0; k < w; ++k)
            frames[f][k] = f % 2 ? u(rng) : std::max(0.0, std::sin(0.05 * (f + 1) * k));
    }
    return frames;
}

std::vector<double> analyse_all(const FrameAutocorrelation& acf,
                                const std::vector<std::vector<double>>& frames) {
    FrameAutocorrelation::Workspace ws(acf);
    std::vector<double> out;
    for (const auto& frame : frames) {
        const double* lags = acf.analyse(frame.data(), ws);
        out.insert(out.end(), lags, lags + acf.nlags());
    }
    return out;
}

}  // namespace

TEST(FrameAutocorrelation, ZeroFramesAndTheDirectSums) {
    const int w = 331, nlags = 165;  // an odd window
    const FrameAutocorrelation acf(w, nlags);
    FrameAutocorrelation::Workspace ws(acf);
    const std::vector<double> zero(w, 0.0);
    const double* lags = acf.analyse(zero.data(), ws);
    for (int k = 0; k < nlags; ++k) EXPECT_EQ(lags[k], 0.0);

    const auto frames = test_frames(w, 2);
    const std::vector<double> h = FrameAutocorrelation::hann_window(w);
    lags = acf.analyse(frames[1].data(), ws);
    for (int k = 0; k < nlags; k += 8) {  // circular autocorrelation of the windowed frame
        double r = 0.0;
        for (int m = 0; m < w; ++m) r += frames[1][m] * h[m] * frames[1][(m + k) % w] * h[(m + k) % w];
        const double expect = r > 0.0 ? std::sqrt(r / (w - k)) : 0.0;
        EXPECT_NEAR(lags[k], expect, 1e-12 + 1e-9 * lags[0]) << k;
        EXPECT_GE(lags[k], 0.0);
    }
}

// One stage serves two threads at once, each with its own workspace, and
// every value is the one a single thread computes, at every vector width.
TEST(FrameAutocorrelation, TwoThreadsShareOneStageBitForBit) {
    const auto frames = test_frames(480, 300);
    for (const vec::Width width : vec::supported_widths()) {
        const FrameAutocorrelation acf(480, 240, width);
        const std::vector<double> expect = analyse_all(acf, frames);
        std::vector<double> a, b;
        std::thread one([&] { a = analyse_all(acf, frames); });
        std::thread two([&] { b = analyse_all(acf, frames); });
        one.join();
        two.join();
        EXPECT_EQ(std::memcmp(a.data(), expect.data(), expect.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(b.data(), expect.data(), expect.size() * sizeof(double)), 0);
        EXPECT_EQ(a.size(), expect.size());
    }
}
