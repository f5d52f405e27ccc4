#include "resynth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "geometry.h"
#include "testutil.h"

namespace {

constexpr int kChannels = 32;

int frames_of(size_t samples, int srate) {
    return frame_geometry(srate, 10, 30, samples).nframes;
}

Matrix filled(size_t samples, int srate, double value) {
    return Matrix(frames_of(samples, srate), std::vector<double>(kChannels, value));
}

double snr_db(const std::vector<double>& est, const std::vector<double>& ref) {
    double s = 0, e = 0;
    for (size_t i = 0; i < ref.size(); ++i) s += ref[i] * ref[i], e += (est[i] - ref[i]) * (est[i] - ref[i]);
    return 10 * std::log10(s / e);
}

// A speech-like signal: two gliding harmonic complexes in syllable-like bursts.
std::vector<double> speech_like(int srate, double seconds) {
    auto x = testutil::mix(testutil::harmonic_complex(srate, seconds, 110, 150, 0.3),
                           testutil::harmonic_complex(srate, seconds, 230, 190, 0.2));
    for (size_t t = 0; t < x.size(); ++t) x[t] *= 0.5 - 0.5 * std::cos(2 * M_PI * 3.0 * t / srate);
    return x;
}

Resynthesis run(const std::vector<double>& x, int srate, const Matrix& mask) {
    Resynthesis r = resynthesize(x, srate, mask);
    EXPECT_EQ(r.error, "");
    return r;
}

}  // namespace

// A mask of ones gives the input back as closely as the filterbank allows:
// the channels' summed power responses ripple by about 1.4 dB, which
// leaves about 20 dB on speech-like signals whose energy lies in the band.
TEST(Resynthesis, OnesReconstructAndZerosSilence) {
    for (int srate : {8000, 16000, 48000}) {
        const auto x = speech_like(srate, 1.0);
        const Resynthesis ones = run(x, srate, filled(x.size(), srate, 1.0));
        ASSERT_EQ(ones.outputs[0].size(), x.size());
        EXPECT_GT(snr_db(ones.outputs[0], x), 18.0) << srate;
        const Resynthesis zeros = run(x, srate, filled(x.size(), srate, 0.0));
        for (double v : zeros.outputs[0]) ASSERT_EQ(v, 0.0);
    }
}

// Every rate from 4 to 192 kHz, and lengths that end at a frame boundary,
// just after one, and below one frame: output as long as the input, finite,
// and close to it under a mask of ones.
TEST(Resynthesis, EverySupportedRateAndLength) {
    for (int srate : {4000, 11025, 22050, 44100, 96000, 192000}) {
        const int S = frame_geometry(srate, 10, 30, 0).shift;
        const auto signal = testutil::harmonic_complex(srate, 0.25, 140, 160, 0.5);
        for (size_t n : {static_cast<size_t>(20 * S), static_cast<size_t>(20 * S + 1),
                         static_cast<size_t>(S / 2)}) {
            const std::vector<double> x(signal.begin(), signal.begin() + n);
            const Resynthesis r = run(x, srate, filled(n, srate, 1.0));
            ASSERT_EQ(r.outputs[0].size(), n);
            for (double v : r.outputs[0]) ASSERT_TRUE(std::isfinite(v));
            if (n > static_cast<size_t>(S)) {
                EXPECT_GT(snr_db(r.outputs[0], x), 10.0) << srate << " " << n;
            }
        }
    }
}

// The channels are summed: one channel's mask alone gives that channel's
// part (a sine at its centre passes, one far away does not), and the parts
// add up to the whole.
TEST(Resynthesis, SingleChannelsAddUpToTheWhole) {
    const int srate = 16000;
    const ResynthesisPlan plan = plan_resynthesis(srate);
    const int c = 20;
    const double cf = plan.cfs[c];
    const auto near = testutil::sine(srate, 0.5, cf, 0.5), far = testutil::sine(srate, 0.5, 3 * cf, 0.5);
    Matrix only = filled(near.size(), srate, 0.0);
    for (auto& row : only) row[c] = 1.0;
    EXPECT_GT(snr_db(run(near, srate, only).outputs[0], near), -6.0);
    EXPECT_LT(snr_db(run(far, srate, only).outputs[0], std::vector<double>(far.size(), 0.0)), -40.0);

    const auto x = speech_like(srate, 0.5);
    std::vector<double> sum(x.size(), 0.0);
    for (int k = 0; k < kChannels; ++k) {
        Matrix m = filled(x.size(), srate, 0.0);
        for (auto& row : m) row[k] = 1.0;
        const auto part = run(x, srate, m).outputs[0];
        for (size_t t = 0; t < x.size(); ++t) sum[t] += part[t];
    }
    EXPECT_GT(snr_db(sum, run(x, srate, filled(x.size(), srate, 1.0)).outputs[0]), 200.0);
}

// Frame j weighs exactly the samples its window covers, (j+1)S - W ..
// (j+1)S - 1: the first frame only the first shift, the last frame the
// samples from its window's start on, and alone (weight 1) after the
// second-last frame's end.
TEST(Resynthesis, FramesActOnTheSamplesTheyAnalysed) {
    const int srate = 16000, S = 160, W = 480;
    const auto x = speech_like(srate, 0.5);
    const int F = frames_of(x.size(), srate);
    Matrix first = filled(x.size(), srate, 0.0), last = first;
    first[0].assign(kChannels, 1.0);
    last[F - 1].assign(kChannels, 1.0);
    const auto a = run(x, srate, first).outputs[0];
    const auto b = run(x, srate, last).outputs[0];
    const auto ones = run(x, srate, filled(x.size(), srate, 1.0)).outputs[0];
    for (size_t t = 0; t < x.size(); ++t) {
        if (t >= static_cast<size_t>(S)) {
            ASSERT_EQ(a[t], 0.0) << t;
        }
        if (t < static_cast<size_t>(F * S - W)) {
            ASSERT_EQ(b[t], 0.0) << t;
        }
        if (t >= static_cast<size_t>((F - 1) * S)) {
            ASSERT_NEAR(b[t], ones[t], 1e-15) << t;
        }
    }
    double early = 0;
    for (int t = 0; t < S; ++t) early += std::fabs(a[t]);
    EXPECT_GT(early, 0.0);
    // A constant mask value scales the output.
    const auto half = run(x, srate, filled(x.size(), srate, 0.5)).outputs[0];
    for (size_t t = 0; t < x.size(); ++t) ASSERT_NEAR(half[t], 0.5 * ones[t], 1e-12);
}

// Samples and frames fed in any pieces give the whole-signal result bit
// for bit; several masks at once give each one's; and the block-wise
// backward pass stays within -90 dB of one pass over the whole signal.
TEST(Resynthesis, StreamingBlocksAndSeveralMasks) {
    const int srate = 16000;
    const auto x = speech_like(srate, 1.3);
    const int F = frames_of(x.size(), srate);
    Matrix a = filled(x.size(), srate, 0.0), b = a;
    for (int j = 0; j < F; ++j)
        for (int c = 0; c < kChannels; ++c) a[j][c] = ((j / 7 + c) % 3 == 0) ? 0.9 : 0.0, b[j][c] = 1.0 - a[j][c];
    const Resynthesis whole = resynthesize_masks(x, srate, {&a, &b});
    ASSERT_EQ(whole.error, "");
    EXPECT_EQ(whole.outputs[0], run(x, srate, a).outputs[0]);

    Resynthesizer rs(plan_resynthesis(srate), 2);
    std::vector<double> got[2];
    std::vector<double>* outs[2] = {&got[0], &got[1]};
    size_t t = 0;
    int j = 0;
    for (size_t step = 1; t < x.size(); step = step * 3 + 7) {
        const size_t n = std::min(step, x.size() - t);
        rs.add_samples(x.data() + t, n);
        t += n;
        for (; j < F && j * 160 < static_cast<int>(t) - 900; ++j) {
            const double* rows[2] = {a[j].data(), b[j].data()};
            ASSERT_TRUE(rs.add_frame(rows));
        }
        rs.take(outs);
    }
    for (; j < F; ++j) {
        const double* rows[2] = {a[j].data(), b[j].data()};
        ASSERT_TRUE(rs.add_frame(rows));
    }
    ASSERT_TRUE(rs.finish());
    rs.take(outs);
    EXPECT_EQ(got[0], whole.outputs[0]);
    EXPECT_EQ(got[1], whole.outputs[1]);

    ResynthesisPlan single = plan_resynthesis(srate);
    single.lookahead = single.block = 4 * x.size();  // one backward pass over everything
    Resynthesizer one(single, 1);
    one.add_samples(x.data(), x.size());
    for (j = 0; j < F; ++j) {
        const double* rows[1] = {a[j].data()};
        one.add_frame(rows);
    }
    one.finish();
    std::vector<double> ref;
    std::vector<double>* refOut[1] = {&ref};
    one.take(refOut);
    EXPECT_GT(snr_db(whole.outputs[0], ref), 90.0);
}

TEST(Resynthesis, RefusesMasksAndSignalsItCannotTake) {
    const int srate = 16000;
    const auto x = speech_like(srate, 0.2);
    const Matrix ok = filled(x.size(), srate, 1.0);
    auto refused = [&](const std::vector<double>& sig, int rate, const Matrix& m, const std::string& says) {
        const Resynthesis r = resynthesize(sig, rate, m);
        EXPECT_TRUE(r.outputs.empty());
        EXPECT_NE(r.error.find(says), std::string::npos) << r.error;
    };
    Matrix shorter = ok;
    shorter.pop_back();
    refused(x, srate, shorter, "mask has 19 frames, but 3200 samples at 16000 Hz make 20 frames");
    Matrix narrow = ok;
    narrow[4].pop_back();
    refused(x, srate, narrow, "mask frame 4 has 31 channels, not 32");
    for (double bad : {1.0000001, -0.25, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
        Matrix m = ok;
        m[7][3] = bad;
        refused(x, srate, m, "outside 0 to 1 at frame 7, channel 3");
    }
    auto nan = x;
    nan[5] = std::numeric_limits<double>::quiet_NaN();
    refused(nan, srate, ok, "sample 5 of the signal is nan");
    refused(x, 3999, ok, "sample rate 3999 Hz outside 4000 to 192000 Hz");
    refused({}, srate, {}, "no samples");

    Resynthesizer rs(plan_resynthesis(srate), 1);
    rs.add_samples(x.data(), x.size());
    const double* row[1] = {ok[0].data()};
    ASSERT_TRUE(rs.add_frame(row));
    EXPECT_FALSE(rs.finish());
    EXPECT_NE(rs.error().find("mask has 1 frames, but 3200 samples"), std::string::npos) << rs.error();
}
