#include "acgmodel.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "testutil.h"
#include "vectors.h"

namespace {

// Direct (slow) circular autocorrelation of one windowed frame of channel c,
// reduced the way the model stores it: sqrt(R(k) / (W - k)).
std::vector<double> direct_acg_frame(const std::vector<double>& filtered_with_lead, int j, int S,
                                     int W, int nlags) {
    const std::vector<double> h = AcgModel::window_hann(W);
    std::vector<double> y(W);
    for (int k = 0; k < W; ++k) y[k] = filtered_with_lead[j * S + k] * h[k];
    std::vector<double> out(nlags);
    for (int k = 0; k < nlags; ++k) {
        double r = 0.0;
        for (int m = 0; m < W; ++m) r += y[m] * y[(m + k) % W];
        out[k] = r > 0.0 ? std::sqrt(r / (W - k)) : 0.0;
    }
    return out;
}

AcgModel computed(const std::vector<double>& x, int srate) {
    AcgModel m;
    m.compute(x, srate);
    return m;
}

}  // namespace

TEST(CentreFrequencies, SpanFiftyToEightThousandOnTheErbScale) {
    AcgModel m = computed(std::vector<double>(160, 0.0), 16000);
    ASSERT_EQ(m.cfs.size(), 32u);
    const double first[] = {50.00, 82.17, 118.05, 158.07};
    const double last[] = {5701.52, 6385.71, 7148.83, 8000.00};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(m.cfs[i], first[i], 0.005) << i;
        EXPECT_NEAR(m.cfs[28 + i], last[i], 0.005) << i;
    }
    for (int i = 1; i < 32; ++i) EXPECT_GT(m.cfs[i], m.cfs[i - 1]);
}

TEST(CentreFrequencies, OneChannelAndEqualLimits) {
    AcgModel one(AcgParam{300.0, 8000.0, 1, 30, 10});
    one.compute(std::vector<double>(10, 0.0), 16000);
    EXPECT_NEAR(one.cfs[0], 300.0, 1e-9);
    AcgModel flat(AcgParam{440.0, 440.0, 3, 30, 10});
    flat.compute(std::vector<double>(10, 0.0), 16000);
    for (double cf : flat.cfs) EXPECT_NEAR(cf, 440.0, 1e-9);
}

TEST(Frames, CountsAndLagsFollowTheSampleRate) {
    struct Case { int srate; size_t n; int frames; int lags; };
    const Case cases[] = {
        {16000, 16000, 100, 240}, {16000, 16001, 101, 240}, {16000, 1, 1, 240},
        {8000, 8000, 100, 120},
        // 10 ms at 22050 Hz is 220.5 samples, a shift of 221; 30 ms is 661.5 -> 662.
        {22050, 221, 1, 331}, {22050, 222, 2, 331},
        // 30 ms at 44100 Hz is 1323 samples, an odd window: 661 lags.
        {44100, 441, 1, 661},
    };
    for (const Case& c : cases) {
        AcgModel m = computed(std::vector<double>(c.n, 0.0), c.srate);
        EXPECT_EQ(m.nframes, c.frames) << c.srate << " " << c.n;
        EXPECT_EQ(m.nlags, c.lags) << c.srate;
        EXPECT_EQ(m.acg[0].size(), static_cast<size_t>(c.frames) * c.lags);
    }
}

TEST(Autocorrelogram, EmptySilentAndShapes) {
    AcgModel empty = computed({}, 16000);
    EXPECT_EQ(empty.nframes, 0);
    EXPECT_EQ(empty.nlags, 240);
    EXPECT_EQ(empty.srate, 16000);
    for (const auto& row : empty.acg) EXPECT_TRUE(row.empty());
    EXPECT_NEAR(empty.cfs[31], 8000.0, 1e-6);

    AcgModel silent = computed(std::vector<double>(4000, 0.0), 16000);
    for (const auto& row : silent.acg) {
        ASSERT_EQ(row.size(), 25u * 240u);
        for (double v : row) EXPECT_EQ(v, 0.0);
    }
}

TEST(Autocorrelogram, AgreesWithDirectCircularAutocorrelation) {
    const int srate = 16000, S = 160, W = 480;
    const auto x = testutil::harmonic_complex(srate, 0.1, 150.0, 150.0, 0.5);
    AcgModel m = computed(x, srate);
    for (int c : {3, 17, 30}) {
        std::vector<double> lead(W - S + S * m.nframes, 0.0);
        std::vector<double> padded(x);
        padded.resize(S * m.nframes, 0.0);
        AcgModel::gammatone(m.cfs[c], padded.data(), padded.size(), srate, lead.data() + (W - S));
        for (int j : {0, 1, 5, m.nframes - 1}) {
            const auto expect = direct_acg_frame(lead, j, S, W, m.nlags);
            for (int k = 0; k < m.nlags; ++k) {
                const double got = m.acg[c][j * m.nlags + k];
                EXPECT_NEAR(got, expect[k], 1e-9 + 1e-6 * expect[0]) << c << " " << j << " " << k;
                EXPECT_GE(got, 0.0);
            }
        }
    }
}

TEST(Autocorrelogram, ScalesLinearlyWithAmplitude) {
    const auto x = testutil::harmonic_complex(16000, 0.05, 200.0, 200.0, 0.2);
    std::vector<double> x3(x);
    for (double& v : x3) v *= 3.0;
    AcgModel a = computed(x, 16000), b = computed(x3, 16000);
    for (int c = 0; c < 32; c += 5)
        for (size_t i = 0; i < a.acg[c].size(); ++i)
            EXPECT_NEAR(b.acg[c][i], 3.0 * a.acg[c][i], 1e-9 * (1.0 + a.acg[c][i]));
}

TEST(SetParam, ReshapesOnlyWhenTheChannelCountChanges) {
    AcgModel m = computed(std::vector<double>(800, 0.1), 16000);
    const auto row5 = m.acg[5];
    const double cf5 = m.cfs[5];
    AcgParam p = m.param;
    p.lowcf = 100.0;
    m.set_param(p);
    EXPECT_EQ(m.acg[5], row5);
    EXPECT_EQ(m.cfs[5], cf5);
    p.nchans = 20;
    m.set_param(p);
    EXPECT_EQ(m.acg.size(), 20u);
    EXPECT_EQ(m.cfs.size(), 20u);
    EXPECT_EQ(m.acg[5], row5);
    EXPECT_EQ(m.nframes, 5);
}

TEST(Output, WritesHeaderThenFrameMajorFloats) {
    testutil::TempDir dir;
    AcgModel fresh;
    ASSERT_TRUE(fresh.output(dir.file("fresh.acg").c_str()));
    const auto head = testutil::read_file(dir.file("fresh.acg"));
    ASSERT_EQ(head.size(), 12u);
    int32_t dims[3];
    std::memcpy(dims, head.data(), 12);
    EXPECT_EQ(dims[0], 0);
    EXPECT_EQ(dims[1], 32);
    EXPECT_EQ(dims[2], 0);

    AcgModel m = computed(testutil::harmonic_complex(16000, 0.03, 180.0, 180.0, 0.3), 16000);
    ASSERT_TRUE(m.output(dir.file("m.acg").c_str()));
    const auto bytes = testutil::read_file(dir.file("m.acg"));
    ASSERT_EQ(bytes.size(), 12u + 4u * m.nframes * 32 * m.nlags);
    const int f = 2, c = 20, k = 57;
    float v;
    std::memcpy(&v, bytes.data() + 12 + 4 * ((f * 32 + c) * m.nlags + k), 4);
    EXPECT_EQ(v, static_cast<float>(m.acg[c][f * m.nlags + k]));
}

TEST(Output, ReportsFailuresAndNeverReadsMissingRows) {
    testutil::TempDir dir;
    AcgModel m = computed(std::vector<double>(320, 0.1), 16000);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m.output(dir.file("no/such/dir.acg").c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open file: " + dir.file("no/such/dir.acg") + "\n");

    AcgParam p = m.param;
    p.nchans = 40;  // eight new, empty rows until the next compute
    m.set_param(p);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m.output(dir.file("grown.acg").c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("grown.acg"), std::string::npos);

    AcgModel ok = computed(std::vector<double>(320, 0.1), 16000);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ok.output("/dev/full"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("/dev/full"), std::string::npos);
}

namespace {

// The autocorrelogram computed the plain way: a padded copy of the signal,
// the whole filter output of one channel at a time, and per frame the
// window, the two planned transforms, the power spectrum and the lags.
std::vector<std::vector<double>> plain_autocorrelogram(const std::vector<double>& x, int srate,
                                                       int nchans) {
    AcgModel shape;
    AcgParam p = shape.param;
    p.nchans = nchans;
    shape.set_param(p);
    const FrameGeometry fr = shape.frames_of(x.size(), srate);
    const int S = fr.shift, W = fr.window, nframes = fr.nframes, nlags = fr.nlags;
    std::vector<double> padded(x);
    padded.resize(static_cast<size_t>(S) * nframes, 0.0);
    std::vector<double> lead(W - S + padded.size(), 0.0);
    const std::vector<double> h = AcgModel::window_hann(W);
    double* time = static_cast<double*>(fftw_malloc(sizeof(double) * W));
    double* spectrum = static_cast<double*>(fftw_malloc(sizeof(double) * W));
    fftw_plan fwd = fftw_plan_r2r_1d(W, time, spectrum, FFTW_R2HC, FFTW_ESTIMATE);
    fftw_plan bwd = fftw_plan_r2r_1d(W, spectrum, time, FFTW_HC2R, FFTW_ESTIMATE);
    std::vector<std::vector<double>> acg(nchans);
    for (int c = 0; c < nchans; ++c) {
        AcgModel::gammatone(shape.centre_frequency(c), padded.data(), padded.size(), srate,
                            lead.data() + (W - S));
        for (int j = 0; j < nframes; ++j) {
            for (int k = 0; k < W; ++k) time[k] = lead[static_cast<size_t>(j) * S + k] * h[k];
            fftw_execute(fwd);
            spectrum[0] = spectrum[0] * spectrum[0];
            for (int m = 1; m <= (W + 1) / 2 - 1; ++m) {
                spectrum[m] = spectrum[m] * spectrum[m] + spectrum[W - m] * spectrum[W - m];
                spectrum[W - m] = 0.0;
            }
            if (W % 2 == 0) spectrum[W / 2] = spectrum[W / 2] * spectrum[W / 2];
            fftw_execute(bwd);
            for (int k = 0; k < nlags; ++k) {
                const double v = time[k];
                acg[c].push_back(v > 0.0 ? std::sqrt(v / static_cast<double>(W * (W - k))) : 0.0);
            }
        }
    }
    fftw_destroy_plan(fwd);
    fftw_destroy_plan(bwd);
    fftw_free(time);
    fftw_free(spectrum);
    return acg;
}

// A voice with a stretch of digital silence, so that whole frames are zero.
std::vector<double> voice_with_gap(int srate, double seconds) {
    std::vector<double> x = testutil::harmonic_complex(srate, seconds, 120.0, 160.0, 0.4);
    const size_t from = x.size() / 3, to = std::min(x.size(), from + srate / 5);
    for (size_t t = from; t < to; ++t) x[t] = 0.0;
    return x;
}

}  // namespace

TEST(Autocorrelogram, BitForBitThePlainComputation) {
    struct Case { int srate; size_t n; int nchans; };
    const Case cases[] = {
        {16000, 11237, 32},  // 71 frames: blocks of frames and a partial last shift
        {16000, 1, 32},      // one sample, one frame
        {8000, 8000, 7},     // exact multiple of the shift; channels not a multiple of four
        {44100, 9000, 5},    // odd window (1323), one channel beyond a group of four
        {11025, 6000, 3},    // odd window (331), a single partial group
    };
    for (const Case& c : cases) {
        std::vector<double> x = voice_with_gap(c.srate, 1.0);
        x.resize(c.n, 0.0);
        const auto expect = plain_autocorrelogram(x, c.srate, c.nchans);
        for (const vec::Width width : vec::supported_widths()) {
            vec::WidthLimit limit(width);
            AcgModel m;
            AcgParam p = m.param;
            p.nchans = c.nchans;
            m.set_param(p);
            m.compute(x, c.srate);
            ASSERT_EQ(m.acg.size(), expect.size());
            for (int ch = 0; ch < c.nchans; ++ch)
                EXPECT_TRUE(m.acg[ch] == expect[ch])
                    << c.srate << " Hz, channel " << ch << ", width " << static_cast<int>(width);
        }
    }
}

TEST(Autocorrelogram, RecomputingReplacesRowsWithoutGrowingThem) {
    AcgModel m;
    m.compute(voice_with_gap(16000, 0.5), 16000);
    m.compute(voice_with_gap(16000, 0.2), 16000);
    for (const auto& row : m.acg) {
        EXPECT_EQ(row.size(), 20u * 240u);
        EXPECT_EQ(row.capacity(), row.size());
    }
    EXPECT_TRUE(m.acg[9] == plain_autocorrelogram(voice_with_gap(16000, 0.2), 16000, 32)[9]);
}
TEST(Gammatone, BankIsBitForBitTheSingleChannelFilter) {
    // A loud burst then a long silence: the recursion's flushing of tiny
    // values runs in the high channels.
    std::vector<double> x = testutil::harmonic_complex(16000, 0.1, 150.0, 220.0, 0.8);
    x.resize(x.size() + 3000, 0.0);
    for (const vec::Width width : vec::supported_widths()) {
        vec::WidthLimit limit(width);
        for (int count = 1; count <= 10; ++count) {
            std::vector<double> cf(count);
            for (int i = 0; i < count; ++i) cf[i] = 50.0 * std::pow(1.8, i);
            std::vector<std::vector<double>> got(count, std::vector<double>(x.size(), -1.0));
            std::vector<double*> out;
            for (auto& g : got) out.push_back(g.data());
            AcgModel::gammatone_bank(cf.data(), count, x.data(), x.size(), 16000, out.data());
            for (int i = 0; i < count; ++i) {
                std::vector<double> expect(x.size());
                AcgModel::gammatone(cf[i], x.data(), x.size(), 16000, expect.data());
                EXPECT_EQ(std::memcmp(got[i].data(), expect.data(), x.size() * sizeof(double)), 0)
                    << count << " channels, channel " << i << ", width "
                    << static_cast<int>(width);
            }
        }
    }
}
