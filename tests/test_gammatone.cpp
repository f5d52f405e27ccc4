#include "gammatone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "testutil.h"

TEST(Gammatone, ImpulseResponseStartsWithTheGain) {
    std::vector<double> x(64, 0.0), y(64, -1.0);
    x[0] = 1.0;
    gammatone_filter(1000.0, x.data(), x.size(), 16000, y.data());
    EXPECT_NEAR(y[0], 2.64545e-06, 1e-11);
    EXPECT_NEAR(y[1], 1.85419e-05, 1e-10);
    for (double v : y) EXPECT_GE(v, 0.0);
}

TEST(Gammatone, SilenceAndEmptyInput) {
    std::vector<double> x(100, 0.0), y(100, -1.0);
    gammatone_filter(500.0, x.data(), x.size(), 16000, y.data());
    for (double v : y) EXPECT_EQ(v, 0.0);
    double untouched = 7.0;
    gammatone_filter(500.0, x.data(), 0, 16000, &untouched);
    EXPECT_EQ(untouched, 7.0);
}

TEST(Gammatone, SineAtCentreIsRectifiedAboutHalfTheTime) {
    const auto x = testutil::sine(16000, 0.2, 1000.0, 0.5);
    std::vector<double> y(x.size());
    gammatone_filter(1000.0, x.data(), x.size(), 16000, y.data());
    int zeros = 0;
    for (size_t t = 1600; t < y.size(); ++t) zeros += y[t] == 0.0;
    const double share = static_cast<double>(zeros) / (y.size() - 1600);
    EXPECT_NEAR(share, 0.5, 0.05);
}

// Filtering in blocks of any size carries every channel's state: the
// outputs are those of one call, and of the one-channel filter, bit for bit.
TEST(Filterbank, BlocksOfAnySizeContinueTheRecursion) {
    std::vector<double> x = testutil::harmonic_complex(16000, 0.2, 140.0, 190.0, 0.7);
    x.resize(x.size() + 2500, 0.0);
    const size_t blocks[] = {1, 7, 160, 999, 0, 2048};  // then the rest
    const int count = 11;  // not a multiple of any bank's lanes
    std::vector<double> cf(count);
    for (int i = 0; i < count; ++i) cf[i] = 60.0 * std::pow(1.6, i);
    std::vector<std::vector<double>> expect(count, std::vector<double>(x.size()));
    for (int c = 0; c < count; ++c) gammatone_filter(cf[c], x.data(), x.size(), 16000, expect[c].data());

    for (const vec::Width width : vec::supported_widths()) {
        Filterbank bank(cf.data(), count, 16000, width);
        ASSERT_EQ(bank.channels(), count);
        std::vector<std::vector<double>> got(count, std::vector<double>(x.size(), -1.0));
        size_t t = 0;
        for (size_t b = 0; t < x.size(); ++b) {
            const size_t n = b < std::size(blocks) ? std::min(blocks[b], x.size() - t) : x.size() - t;
            std::vector<double*> out;
            for (auto& g : got) out.push_back(g.data() + t);
            bank.filter(x.data() + t, n, out.data());
            t += n;
        }
        for (int c = 0; c < count; ++c)
            EXPECT_EQ(std::memcmp(got[c].data(), expect[c].data(), x.size() * sizeof(double)), 0)
                << "channel " << c << ", width " << static_cast<int>(width);
    }
}

// The signed output is the filter before its rectification: bit for bit the
// rectified output wherever that is positive, and not positive elsewhere.
// Each channel filtering a signal of its own gives what a bank over that
// signal alone gives, in one call or in blocks.
TEST(Filterbank, SignedOutputAndASignalPerChannel) {
    const int count = 11;
    std::vector<double> cf(count);
    for (int i = 0; i < count; ++i) cf[i] = 70.0 * std::pow(1.5, i);
    std::vector<std::vector<double>> x;
    for (int c = 0; c < count; ++c)
        x.push_back(testutil::harmonic_complex(16000, 0.1, 100.0 + 13 * c, 150.0, 0.5));
    const size_t n = x[0].size();
    for (const vec::Width width : vec::supported_widths()) {
        std::vector<std::vector<double>> rect(count, std::vector<double>(n)), sig = rect, each = rect;
        std::vector<double*> r, s;
        for (int c = 0; c < count; ++c) r.push_back(rect[c].data()), s.push_back(sig[c].data());
        Filterbank(cf.data(), count, 16000, width).filter(x[3].data(), n, r.data());
        Filterbank(cf.data(), count, 16000, Filterbank::Output::Signed, width)
            .filter(x[3].data(), n, s.data());
        int negative = 0;
        for (int c = 0; c < count; ++c)
            for (size_t t = 0; t < n; ++t) {
                if (sig[c][t] > 0.0) ASSERT_EQ(sig[c][t], rect[c][t]) << c << " " << t;
                else ASSERT_EQ(rect[c][t], 0.0);
                negative += sig[c][t] < 0.0;
            }
        EXPECT_GT(negative, static_cast<int>(count * n / 3));

        Filterbank bank(cf.data(), count, 16000, Filterbank::Output::Signed, width);
        for (size_t t0 = 0; t0 < n; t0 += 333) {
            const size_t m = std::min<size_t>(333, n - t0);
            std::vector<const double*> in;
            std::vector<double*> out;
            for (int c = 0; c < count; ++c) in.push_back(x[c].data() + t0), out.push_back(each[c].data() + t0);
            bank.filter_each(in.data(), m, out.data());
        }
        for (int c = 0; c < count; ++c) {
            std::vector<double> alone(n);
            double* o = alone.data();
            Filterbank(&cf[c], 1, 16000, Filterbank::Output::Signed, width).filter(x[c].data(), n, &o);
            EXPECT_EQ(std::memcmp(alone.data(), each[c].data(), n * sizeof(double)), 0) << "channel " << c;
        }
    }
}
