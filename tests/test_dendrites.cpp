#include "dendrites.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "geometry.h"

namespace {

// One frame's normalised rows and the channels' kernels, held as matrices
// that tests write directly.
struct Frame {
    int nchans, nlags, minLag, maxLag, srate;
    std::vector<std::vector<double>> rows, real, imag;
    std::vector<const double*> rowPtr, realPtr, imagPtr;

    Frame(int channels, int rate = 16000, int lags = 240)
        : nchans(channels), nlags(lags), minLag(lag_geometry(rate, lags).minLag),
          maxLag(lag_geometry(rate, lags).maxLag), srate(rate),
          rows(channels, std::vector<double>(lags, 0.0)),
          real(channels, std::vector<double>(kGaborHalf, 0.0)),
          imag(channels, std::vector<double>(kGaborHalf, 0.0)) {}

    FrameRows view() {
        rowPtr.clear();
        for (const auto& r : rows) rowPtr.push_back(r.data());
        return {rowPtr.data(), nchans, nlags};
    }
    GaborKernels kernels() {
        realPtr.clear();
        imagPtr.clear();
        for (int c = 0; c < nchans; ++c) realPtr.push_back(real[c].data()), imagPtr.push_back(imag[c].data());
        return {realPtr.data(), imagPtr.data()};
    }
    // Each channel's kernel for its row, as the frame analysis chooses it.
    void choose_kernels() {
        GaborKernelTable table(nlags);
        for (int c = 0; c < nchans; ++c) {
            const double* taps = table.kernel(twice_period(rows[c].data(), nlags));
            std::copy(taps, taps + kGaborHalf, real[c].begin());
            std::copy(taps + kGaborHalf, taps + 2 * kGaborHalf, imag[c].begin());
        }
    }
};

// The straightforward dendrite search of inner channel c: the Gabor sums of
// every lag of the range in double precision, in the defined order, then
// the first strict maximum of the energy below the last lag.
int plain_gabor_lag(const Frame& f, int c) {
    const int L = f.maxLag - f.minLag;
    std::vector<double> re(L, 0.0), im(L, 0.0);
    for (int i = 0; i < 5; ++i) {
        const std::vector<double>& D = f.rows[c + 2 - i];
        for (int n = 30; n >= 1; --n) {
            const double kr = f.real[c - 2 + i][30 - n], ki = f.imag[c - 2 + i][30 - n];
            for (int m = 0; m < L; ++m) {
                const int tau = f.minLag + m;
                const double a = tau + n < f.nlags ? D[tau + n] : 0.0;
                const double b = tau - n >= 0 ? D[tau - n] : 0.0;
                re[m] += (a + b) * kr;
                im[m] += (a - b) * ki;
            }
        }
        for (int m = 0; m < L; ++m) re[m] += D[f.minLag + m];
    }
    double best = 0.0;
    int bestM = 0;
    for (int m = 0; m <= L - 2; ++m) {
        const double e = re[m] * re[m] + im[m] * im[m];
        if (e > best) best = e, bestM = m;
    }
    return f.minLag + bestM;
}

// A voiced-looking normalised frame: two groups of channels with their own
// periods, fine structure in the high channels, noise, and a few rows
// without features (their kernels are narrow and mostly negligible).
void random_frame(Frame& f, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double p1 = 40.0 + 120.0 * u(rng), p2 = 40.0 + 120.0 * u(rng);
    const double scale = f.srate / 16000.0;
    for (int c = 0; c < f.nchans; ++c) {
        std::vector<double>& r = f.rows[c];
        const double p = (c % 3 == 0 ? p2 : p1) * scale, fine = 2.0 + 30.0 * u(rng);
        const bool flat = u(rng) < 0.1;
        for (int k = 0; k < f.nlags; ++k) {
            double v = 0.5 + 0.5 * std::cos(2 * M_PI * k / p) * std::exp(-k / (300.0 * scale));
            if (c > f.nchans / 2) v *= 0.6 + 0.4 * std::cos(2 * M_PI * k / fine);
            v = flat ? 0.3 : v + 0.05 * u(rng);
            r[k] = std::min(1.0, std::max(0.0, v));
        }
        r[0] = 1.0;
    }
    f.choose_kernels();
}

// Every inner dendrite, at every vector width the processor supports, and
// the exact scan agree with the straightforward search.
void expect_plain_dendrites(Frame& f, const std::string& what) {
    DendriteSearch search;
    const FrameRows rows = f.view();
    const GaborKernels kernels = f.kernels();
    std::vector<std::pair<vec::Width, std::vector<int>>> runs;
    for (const vec::Width width : vec::supported_widths()) {
        std::vector<int> d(f.nchans, -1);
        search.find(rows, kernels, f.minLag, f.maxLag, width, d.data());
        runs.emplace_back(width, d);
    }
    for (int c = 2; c <= f.nchans - 3; ++c) {
        const int expect = plain_gabor_lag(f, c);
        for (const auto& [width, dendrites] : runs)
            EXPECT_EQ(dendrites[c], expect)
                << what << ", channel " << c << ", width " << static_cast<int>(width);
        EXPECT_EQ(search.exact_scan(rows, kernels, c, f.minLag, f.maxLag), expect)
            << what << ", channel " << c;
    }
}

}  // namespace

TEST(Gabor, KernelsFromFirstFeaturesOfARow) {
    Frame f(2);
    f.rows[0][0] = 1.0;  // no features: P = 0, narrow Gaussian
    auto& r = f.rows[1];
    for (int k = 0; k < 240; ++k) r[k] = 0.2;
    r[0] = 1.0, r[20] = 0.25, r[40] = 0.1, r[82] = 0.9;  // weak 20, trough 40, strong 82
    EXPECT_EQ(twice_period(r.data(), 240), 162);
    f.choose_kernels();
    EXPECT_NEAR(f.real[0][29], 0.0439369, 1e-7);
    EXPECT_NEAR(f.real[0][28], 3.7267e-6, 1e-9);
    EXPECT_NEAR(f.imag[0][29], 0.0, 1e-15);
    const double p = 81.0, s2 = (p * 0.4) * (p * 0.4), x = -30.0;
    const double gx = std::exp(((x * -0.5) * x) / s2);
    EXPECT_EQ(f.real[1][0], std::cos(x * 6.283185307179586 / p) * gx);
    EXPECT_EQ(f.imag[1][0], std::sin(x * 6.283185307179586 / p) * gx);
}

TEST(Gabor, ConvolutionMirrorsChannelsAndExcludesTheLastLag) {
    Frame f(5);
    DendriteSearch search;
    auto scan = [&] { return search.exact_scan(f.view(), f.kernels(), 2, f.minLag, f.maxLag); };
    EXPECT_EQ(scan(), f.minLag);  // all zero
    // Data channel 4 meets the kernel of channel 0, whose only tap is at +-1.
    f.rows[4][100] = 1.0;
    f.real[0][29] = 2.0;
    EXPECT_EQ(scan(), 99);
    f.real[0][29] = 0.0;
    f.real[4][29] = 2.0;  // channel 4's own kernel plays no part here
    EXPECT_EQ(scan(), 100);
    // A ridge at the last lag of the range is never chosen.
    for (auto& row : f.rows) row.assign(240, 0.0);
    for (int c = 0; c < 5; ++c) f.rows[c][f.maxLag - 1] = 1.0;
    EXPECT_EQ(scan(), f.maxLag - 2);
    // The two channels at each edge take their own row's maximum.
    f.rows[0][150] = 2.0;
    f.rows[4][f.maxLag] = 3.0;  // beyond the range: not seen
    std::vector<int> d(5, -1);
    search.find(f.view(), f.kernels(), f.minLag, f.maxLag, vec::active_width(), d.data());
    EXPECT_EQ(d[0], 150);
    EXPECT_EQ(d[1], f.maxLag - 1);
    EXPECT_EQ(d[4], f.maxLag - 1);
}

TEST(Gabor, SearchAgreesWithTheStraightforwardSumsOnRandomFrames) {
    std::mt19937 rng(20240611);
    // At 8 kHz the search starts below lag 30 (negative lags are zero); at
    // 44.1 kHz the window is odd.
    for (const int srate : {16000, 8000, 44100}) {
        Frame f(32, srate, srate * 3 / 200);
        for (int frame = 0; frame < 12; ++frame) {
            random_frame(f, rng);
            expect_plain_dendrites(f, std::to_string(srate) + " Hz frame " + std::to_string(frame));
        }
    }
}

TEST(Gabor, SearchAgreesOnTiesSilenceAndValuesBeyondItsErrorBound) {
    Frame f(12);
    std::mt19937 rng(7);
    random_frame(f, rng);
    // Constant rows: equal energies over most of the range, the first wins.
    for (auto& row : f.rows) row.assign(240, 0.5);
    expect_plain_dendrites(f, "plateau");
    for (auto& row : f.rows) row.assign(240, 0.0);
    expect_plain_dendrites(f, "silence");

    random_frame(f, rng);
    f.rows[6][120] = std::nan("");  // rows 4 to 8 use this row
    f.rows[9][100] = 3e6;           // beyond the bound's limits
    f.real[2][10] = 4e6;
    expect_plain_dendrites(f, "outliers");
}

TEST(Gabor, SearchAgreesWhereEnergiesDifferBelowSinglePrecision) {
    // Nearly constant rows under wide, nearly flat kernels: the energies of
    // most lags agree to about 1e-7, beyond what single precision resolves,
    // and only the exact sums can rank them.
    Frame f(10);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 6; ++trial) {
        for (auto& row : f.rows)
            for (double& v : row) v = 0.5 + 1e-7 * u(rng);
        for (int c = 0; c < 10; ++c) {
            const double p = 400.0 + 50.0 * c, s2 = (p * 0.4) * (p * 0.4);
            for (int t = 0; t < 30; ++t) {
                const double x = t - 30.0, gx = std::exp(((x * -0.5) * x) / s2);
                f.real[c][t] = std::cos(x * 6.283185307179586 / p) * gx;
                f.imag[c][t] = std::sin(x * 6.283185307179586 / p) * gx;
            }
        }
        expect_plain_dendrites(f, "near-plateau " + std::to_string(trial));
    }
}
