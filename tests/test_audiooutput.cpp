// Tests of the WAV writer: what is read back, the same bytes for the same
// samples, and samples or devices it must refuse.
#include "audiooutput.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <vector>

#include "audioinput.h"
#include "testutil.h"

namespace {

std::vector<double> read_back(const std::string& path, int& srate) {
    AudioInput in;
    EXPECT_TRUE(in.open(path)) << in.error();
    srate = in.format().srate;
    EXPECT_EQ(in.format().encoding, "32 bit float");
    std::vector<double> x;
    while (in.read(x, 4096, SignalChoice::one(0)) > 0) {}
    return x;
}

bool write_file(const std::string& path, const std::vector<double>& x, int srate, size_t piece) {
    AudioOutput out;
    if (!out.open(path.c_str(), srate)) return false;
    for (size_t t = 0; t < x.size(); t += piece)
        if (!out.write(x.data() + t, std::min(piece, x.size() - t))) return false;
    return out.close();
}

}  // namespace

// Samples come back as their float32 values, beyond full scale too, at
// the rate given; pieces of any size give the same bytes, and so does a
// second file written later (no time stamp in the header).
TEST(AudioOutput, FloatSamplesReadBackAndTheSameBytesEveryTime) {
    testutil::TempDir dir;
    auto x = testutil::harmonic_complex(48000, 0.3, 120, 140, 0.5);
    x[10] = 3.5;
    x[11] = -40000.0;
    x[12] = 1e-30;
    ASSERT_TRUE(write_file(dir.file("a.wav"), x, 48000, x.size()));
    ASSERT_TRUE(write_file(dir.file("b.wav"), x, 48000, 333));
    int srate = 0;
    const auto y = read_back(dir.file("a.wav"), srate);
    EXPECT_EQ(srate, 48000);
    ASSERT_EQ(y.size(), x.size());
    for (size_t t = 0; t < x.size(); ++t) ASSERT_EQ(y[t], static_cast<double>(static_cast<float>(x[t]))) << t;
    EXPECT_EQ(testutil::read_file(dir.file("a.wav")), testutil::read_file(dir.file("b.wav")));
}

// A sample that is not finite fails the write and names the sample; a file
// that cannot take the bytes fails with the system's reason in errno.
TEST(AudioOutput, RefusesSamplesThatAreNotFiniteAndReportsWriteFailures) {
    testutil::TempDir dir;
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        std::vector<double> x(100, 0.1);
        x[57] = bad;
        AudioOutput out;
        ASSERT_TRUE(out.open(dir.file("bad.wav").c_str(), 16000));
        EXPECT_TRUE(out.write(x.data(), 50));
        EXPECT_FALSE(out.write(x.data() + 50, 50));
        EXPECT_EQ(errno, EDOM);
        EXPECT_NE(out.error().find("sample 57 is "), std::string::npos) << out.error();
        EXPECT_EQ(out.written(), 50);
    }
    const std::vector<double> x(1 << 16, 0.1);
    AudioOutput full;
    bool ok = full.open("/dev/full", 16000);
    for (int i = 0; ok && i < 64; ++i) ok = full.write(x.data(), x.size());
    ok = ok && full.close();
    EXPECT_FALSE(ok);
    EXPECT_NE(full.error().find("/dev/full"), std::string::npos) << full.error();
    AudioOutput nowhere;
    EXPECT_FALSE(nowhere.open(dir.file("no/such/dir.wav").c_str(), 16000));
    EXPECT_NE(nowhere.error().find("no/such/dir.wav"), std::string::npos);
}
