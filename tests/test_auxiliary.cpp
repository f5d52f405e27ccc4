// Tests of the whole-file audio reader, the float32 matrix reader, the SNR map and soft
// mask, and the array printer.
#include "auxiliary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include <sndfile.h>

#include "acgmodel.h"
#include "casagrouping.h"
#include "ruletracker.h"
#include "testutil.h"

using namespace testutil;

namespace {

// Redirects a standard stream into a string for the life of the object.
class Capture {
public:
    explicit Capture(std::ostream& s) : stream_(s), old_(s.rdbuf(buf_.rdbuf())) {}
    ~Capture() { stream_.rdbuf(old_); }
    std::string text() const { return buf_.str(); }

private:
    std::ostream& stream_;
    std::ostringstream buf_;
    std::streambuf* old_;
};

Bytes le_samples(const std::vector<uint16_t>& v) {
    Bytes b;
    for (uint16_t s : v) put_u16(b, s);
    return b;
}

struct ReadResult {
    int n;
    std::string err;
};

ReadResult read_wav(AudioWav& wav, const TempDir& dir, const Bytes& bytes, char order = 'l') {
    const std::string path = dir.file("in.wav");
    write_file(path, bytes);
    Capture cap(std::cerr);
    const int n = wav.read(path.c_str(), order);
    return {n, cap.text()};
}

// An AudioWav already holding a read signal, to check that failures keep it.
AudioWav loaded_wav(const TempDir& dir) {
    AudioWav wav;
    EXPECT_EQ(read_wav(wav, dir, wav_bytes({1, 2, 3}, 8000)).n, 3);
    return wav;
}

// A WAV whose data chunk holds the raw bytes payload but claims data_size.
Bytes claiming(uint32_t data_size, const Bytes& payload, uint32_t rate = 16000) {
    WavSpec s;
    s.rate = rate;
    s.data_size = data_size;
    s.after_data = payload;
    return wav_image({}, s);
}

}  // namespace

// ---------------------------------------------------------------------------
// Whole-file audio reader

TEST(AudioWavRead, CanonicalMonoScalesSamplesAndStoresRate) {
    TempDir dir;
    AudioWav wav;
    const auto r = read_wav(wav, dir, wav_bytes({-32768, 32767, 1, 0, -1}, 22050));
    EXPECT_EQ(r.n, 5);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(wav.srate, 22050);
    EXPECT_EQ(wav.nchannels, 1);
    EXPECT_FALSE(wav.failed_silently);
    const std::vector<double> expect = {-1.0, 0.999969482421875, 3.0517578125e-05, 0.0,
                                        -3.0517578125e-05};
    EXPECT_EQ(wav.samples, expect);
}

TEST(AudioWavRead, StereoIsInterleavedAndBigEndianMatchesLittleEndian) {
    TempDir dir;
    AudioWav le, be;
    const std::vector<int16_t> pcm = {100, -100, 200, -200, 0x1234, -0x1234};
    ASSERT_EQ(read_wav(le, dir, wav_bytes(pcm, 16000, 2)).n, 6);
    EXPECT_EQ(le.nchannels, 2);
    EXPECT_EQ(le.samples[0], 100 * 3.0517578125e-05);
    EXPECT_EQ(le.samples[1], -100 * 3.0517578125e-05);
    EXPECT_EQ(le.samples[5], -0x1234 * 3.0517578125e-05);

    Bytes swapped = wav_bytes(pcm, 16000, 2);
    for (size_t i = 44; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    ASSERT_EQ(read_wav(be, dir, swapped, 'b').n, 6);
    EXPECT_EQ(be.samples, le.samples);
    EXPECT_EQ(be.srate, 16000);  // header fields stay little-endian
}

TEST(AudioWavRead, ChunksAroundTheSamplesAreSkipped) {
    TempDir dir;
    AudioWav wav;
    WavSpec s;
    s.before_fmt = chunk("LIST", Bytes(26, 'x'));
    s.fmt_extension = {0, 0};  // 18-byte format chunk with an empty extension
    s.before_data = chunk("odd ", Bytes(5, 'y'));  // padded to 6 bytes
    s.after_data = chunk("LIST", Bytes(4, 'z'));   // a trailing chunk is not read as samples
    const auto r = read_wav(wav, dir, wav_image({7, -1}, s));
    EXPECT_EQ(r.n, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(wav.samples, (std::vector<double>{7 * 3.0517578125e-05, -3.0517578125e-05}));
}

// Every integer width keeps its exact value over 2^(bits-1); 8-bit and µ-law
// samples land on their own grids, floating-point values are taken as stored.
TEST(AudioWavRead, OtherEncodingsAreReadInTheProgramsScale) {
    TempDir dir;
    const std::vector<int16_t> pcm = {-32768, 32767, 1, -1, 0x1234, 0};
    std::vector<double> expect;
    for (int16_t v : pcm) expect.push_back(v / 32768.0);
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_PCM_32,
                       SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_WAVEX | SF_FORMAT_DOUBLE,
                       SF_FORMAT_FLAC | SF_FORMAT_PCM_16, SF_FORMAT_NIST | SF_FORMAT_PCM_16}) {
        const std::string path = dir.file("v" + std::to_string(format));
        write_audio(path, pcm, 16000, 1, format);
        AudioWav wav;
        EXPECT_EQ(wav.read(path.c_str(), 'l'), 6) << std::hex << format;
        EXPECT_EQ(wav.samples, expect) << std::hex << format;
    }
    const std::string u8 = dir.file("u8.wav");
    write_audio(u8, {-32768, 256, 32767}, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    AudioWav wav;
    ASSERT_EQ(wav.read(u8.c_str(), 'b'), 3);  // 'b' concerns 16-bit data only
    EXPECT_EQ(wav.samples, (std::vector<double>{-1.0, 1.0 / 128, 127.0 / 128}));
}

TEST(AudioWavRead, RefusedFilesKeepTheMembersAndNameTheFile) {
    TempDir dir;
    const std::string path = dir.file("in.wav");
    const Bytes full = wav_bytes({1, 2, 3}, 16000);
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{'n', 'o', 'p', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0}, "Unable to read audio file (Format not recognised)"},
        {Bytes(full.begin(), full.begin() + 20),
         "Unable to read audio file (Error in WAV/W64/RF64 file. Malformed 'fmt ' chunk)"},
        {Bytes(full.begin(), full.begin() + 36),
         "Unable to read audio file (Error in WAV file. No 'data' chunk marker)"},
        {{}, "Empty audio file (0 bytes)"},
    };
    for (const auto& [bytes, message] : cases) {
        AudioWav wav = loaded_wav(dir);
        const auto r = read_wav(wav, dir, bytes);
        EXPECT_EQ(r.n, 0) << message;
        EXPECT_EQ(r.err, message + ": " + path + "\n");
        EXPECT_FALSE(wav.failed_silently);
        EXPECT_EQ(wav.srate, 8000);
        EXPECT_EQ(wav.samples.size(), 3u);
    }
}

TEST(AudioWavRead, MissingFileOrDirectoryReturnsMinusOne) {
    TempDir dir;
    AudioWav wav = loaded_wav(dir);
    const std::string path = dir.file("absent.wav");
    Capture cap(std::cerr);
    EXPECT_EQ(wav.read(path.c_str(), 'l'), -1);
    EXPECT_EQ(wav.read_header(dir.path().c_str()), -1);
    EXPECT_EQ(cap.text(), "Unable to open audio file (No such file or directory): " + path + "\n" +
                              "Unable to open audio file (Is a directory): " + dir.path().string() + "\n");
    EXPECT_EQ(wav.samples.size(), 3u);
}

TEST(AudioWavRead, EmptyDataFailsSilently) {
    TempDir dir;
    AudioWav wav = loaded_wav(dir);
    const auto r = read_wav(wav, dir, claiming(0, le_samples({5, 6}), 12000));
    EXPECT_EQ(r.n, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(wav.failed_silently);
    EXPECT_TRUE(wav.samples.empty());
    EXPECT_EQ(wav.srate, 12000);
}

// Sizes of 2^31 bytes and more hold samples like any other; the streaming
// size 0xFFFFFFFF means "up to the end" and earns no warning.
TEST(AudioWavRead, DataSizeBeyondTheFileReadsTheSamplesPresent) {
    TempDir dir;
    const std::string path = dir.file("in.wav");
    Bytes odd = le_samples({1, 2, 3});
    odd.push_back(0x7F);  // half a sample at the end is not stored
    const std::pair<uint32_t, std::string> cases[] = {
        {0x7FFFFFFFu, "1073741823"}, {0x80000000u, "1073741824"}, {0xFFFFFFFEu, "2147483647"}};
    for (const auto& [size, claimed] : cases) {
        AudioWav wav;
        const auto r = read_wav(wav, dir, claiming(size, odd));
        EXPECT_EQ(r.n, 3) << size;
        EXPECT_EQ(r.err, "Warning: data chunk shorter than its header claims (" + claimed +
                             " samples claimed, 3 read): " + path + "\n");
        EXPECT_FALSE(wav.failed_silently);
    }
    AudioWav wav;
    const auto r = read_wav(wav, dir, claiming(0xFFFFFFFFu, odd));
    EXPECT_EQ(r.n, 3);
    EXPECT_EQ(r.err, "");
}

TEST(AudioWavRead, LongSignalSpanningManyBlocks) {
    TempDir dir;
    std::vector<int16_t> pcm(150001);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(i * 7919);
    AudioWav wav;
    ASSERT_EQ(read_wav(wav, dir, wav_bytes(pcm, 16000)).n, 150001);
    for (size_t i = 0; i < pcm.size(); i += 9973)
        EXPECT_EQ(wav.samples[i], pcm[i] * 3.0517578125e-05);
    EXPECT_EQ(wav.samples.back(), pcm.back() * 3.0517578125e-05);
}

// ---------------------------------------------------------------------------
// Float32 matrix reader

namespace {

Bytes float_bytes(int count, float start) {
    Bytes b;
    for (int i = 0; i < count; ++i) {
        const float v = start + static_cast<float>(i);
        uint32_t u;
        std::memcpy(&u, &v, 4);
        put_u32(b, u);
    }
    return b;
}

struct FloatRead {
    int n;
    Matrix data;
    std::string err;
};

FloatRead read_matrix(const TempDir& dir, const Bytes& bytes, int dim, int offset,
                      bool swap = false) {
    const std::string path = dir.file("m.f32");
    write_file(path, bytes);
    FloatRead r;
    r.data = {{42.0}};
    Capture cap(std::cerr);
    r.n = read_float32(r.data, path.c_str(), dim, offset, swap);
    r.err = cap.text();
    return r;
}

}  // namespace

TEST(ReadFloat32, WholeRowsAfterHeaderTrailingBytesIgnored) {
    TempDir dir;
    Bytes b = float_bytes(30, 0.5f);
    auto r = read_matrix(dir, b, 3, 0);
    ASSERT_EQ(r.n, 10);
    ASSERT_EQ(r.data.size(), 10u);
    EXPECT_EQ(r.data[0], (std::vector<double>{0.5, 1.5, 2.5}));
    EXPECT_EQ(r.data[9][2], 29.5);

    b.insert(b.end(), 7, 0xEE);
    EXPECT_EQ(read_matrix(dir, b, 3, 0).data.size(), 10u);

    Bytes with_header(b.size() + 10, 0xAB);  // 12 header bytes, then 5 trailing bytes
    std::copy(b.begin(), b.end() - 2, with_header.begin() + 12);
    r = read_matrix(dir, with_header, 3, 12);
    EXPECT_EQ(r.n, 10);
    EXPECT_EQ(r.data[0][0], 0.5);
    EXPECT_EQ(r.err, "");
}

TEST(ReadFloat32, ByteOrderFlag) {
    TempDir dir;
    EXPECT_EQ(read_matrix(dir, {0x00, 0x00, 0x80, 0x3F}, 1, 0, false).data[0][0], 1.0);
    EXPECT_EQ(read_matrix(dir, {0x3F, 0x80, 0x00, 0x00}, 1, 0, true).data[0][0], 1.0);
}

TEST(ReadFloat32, NoWholeRowGivesZeroRowsNeverNegative) {
    TempDir dir;
    for (const auto& [size, dim, offset] :
         {std::tuple{8, 3, 0}, std::tuple{4, 1, 12}, std::tuple{4, 1, 8}, std::tuple{0, 1, 0},
          std::tuple{16, 1000000000, 0}}) {
        const auto r = read_matrix(dir, Bytes(static_cast<size_t>(size), 0), dim, offset);
        EXPECT_EQ(r.n, 0) << size << " " << dim << " " << offset;
        EXPECT_TRUE(r.data.empty());
        EXPECT_EQ(r.err, "");
    }
}

TEST(ReadFloat32, BadLayoutAndMissingFileLeaveDataUnchanged) {
    TempDir dir;
    const std::string path = dir.file("m.f32");
    auto r = read_matrix(dir, float_bytes(4, 0.0f), 0, 0);
    EXPECT_EQ(r.n, -2);
    EXPECT_EQ(r.err, "Invalid float32 matrix layout (dim 0, offset 0): " + path + "\n");
    EXPECT_EQ(r.data, (Matrix{{42.0}}));
    r = read_matrix(dir, float_bytes(4, 0.0f), 1, -4);
    EXPECT_EQ(r.n, -2);
    EXPECT_EQ(r.err, "Invalid float32 matrix layout (dim 1, offset -4): " + path + "\n");

    Matrix data = {{1.0, 2.0}};
    const std::string absent = dir.file("absent.f32");
    Capture cap(std::cerr);
    EXPECT_EQ(read_float32(data, absent.c_str(), 2, 0, false), -1);
    EXPECT_EQ(cap.text(), "Unable to open wave file: " + absent + "\n");
    EXPECT_EQ(data, (Matrix{{1.0, 2.0}}));
}

TEST(ReadFloat32, FileLongerThanTwoGibibytes) {
    // A sparse file: INT_MAX header bytes, then two floats and one stray byte.
    TempDir dir;
    const std::string path = dir.file("big.f32");
    const std::streamoff offset = std::numeric_limits<int>::max();
    {
        std::ofstream f(path, std::ios::binary);
        f.seekp(offset);
        const Bytes tail = float_bytes(2, 4.0f);
        f.write(reinterpret_cast<const char*>(tail.data()), 8);
        f.put('x');
        ASSERT_TRUE(f.good());
    }
    Matrix data;
    EXPECT_EQ(read_float32(data, path.c_str(), 1, static_cast<int>(offset), false), 2);
    EXPECT_EQ(data, (Matrix{{4.0}, {5.0}}));
}

TEST(ReadFloat32, ManyRowsAcrossBlocks) {
    TempDir dir;
    const auto r = read_matrix(dir, float_bytes(3 * 20000, 0.0f), 3, 0);
    ASSERT_EQ(r.n, 20000);
    EXPECT_EQ(r.data[12345], (std::vector<double>{37035.0, 37036.0, 37037.0}));
    EXPECT_EQ(r.data.back()[2], 59999.0);
}

// ---------------------------------------------------------------------------
// SNR map and soft mask

namespace {

// Hides a constant from the compiler, so that expected values go through the
// same run-time libm calls as the code (folded constants may differ by an ulp).
double opaque(double x) {
    volatile double v = x;
    return v;
}

}  // namespace

TEST(SnrMap, LocalSnrInDecibelsAndMinusInfinity) {
    Matrix snr = {{99.0}};
    compute_snrmap_log(snr, {{2.0, 1.0, 0.5, 3.0, 7.0}}, {{1.0, 1.0, 1.0, 0.25, -1.0, 9.0}});
    ASSERT_EQ(snr.size(), 1u);
    ASSERT_EQ(snr[0].size(), 5u);  // shape follows the mixture
    EXPECT_NEAR(snr[0][0], 19.0849, 1e-4);
    EXPECT_EQ(snr[0][0], 20.0 * (std::log10(opaque(90.0)) - 1.0));
    EXPECT_EQ(snr[0][1], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(snr[0][2], -std::numeric_limits<double>::infinity());
    // The difference is rounded to single precision before the logarithm.
    const float d = static_cast<float>(std::pow(10.0, opaque(3.0)) - std::pow(10.0, opaque(0.25)));
    EXPECT_EQ(snr[0][3], 20.0 * (std::log10(static_cast<double>(d)) - 0.25));
    const float d7 = static_cast<float>(std::pow(10.0, opaque(7.0)) - std::pow(10.0, opaque(-1.0)));
    EXPECT_EQ(snr[0][4], 20.0 * (std::log10(static_cast<double>(d7)) + 1.0));
}

TEST(SnrMap, MalformedInputsRefusedWithEmptyResult) {
    const Matrix good = {{1.0, 2.0}, {3.0, 4.0}};
    const std::vector<std::tuple<Matrix, Matrix, std::string>> cases = {
        {{}, good, "SNR map refused: the mixture matrix has no rows\n"},
        {good, {{0.0, 0.0}}, "SNR map refused: the noise matrix has 1 rows, fewer than the "
                             "mixture's 2\n"},
        {{{1.0, 2.0}, {3.0}}, good,
         "SNR map refused: row 1 of the mixture matrix has 1 values, fewer than 2\n"},
        {good, {{0.0, 0.0}, {0.0}},
         "SNR map refused: row 1 of the noise matrix has 1 values, fewer than 2\n"},
    };
    for (const auto& [mixture, noise, message] : cases) {
        Matrix snr = {{5.0}};
        Capture cap(std::cerr);
        compute_snrmap_log(snr, mixture, noise);
        EXPECT_TRUE(snr.empty());
        EXPECT_EQ(cap.text(), message);
    }
}

TEST(SoftMask, LogisticOfSnr) {
    const double inf = std::numeric_limits<double>::infinity();
    Matrix mask;
    compute_softmask_sigmoid(mask, {{3.0, -inf, 5.0}, {inf, 3.0, 0.1}}, 3.0f, 0.7f);
    ASSERT_EQ(mask.size(), 2u);
    EXPECT_EQ(mask[0][0], 0.5);
    EXPECT_EQ(mask[0][1], 0.0);
    EXPECT_EQ(mask[0][2], 1.0 / (std::exp((opaque(5.0) - 3.0) * static_cast<double>(-0.7f)) + 1.0));
    EXPECT_EQ(mask[1][0], 1.0);
    EXPECT_EQ(mask[1][2], 1.0 / (std::exp((opaque(0.1) - 3.0) * static_cast<double>(-0.7f)) + 1.0));

    compute_softmask_sigmoid(mask, {{-40.0, 12.5}}, 2.0f, 0.0f);
    EXPECT_EQ(mask, (Matrix{{0.5, 0.5}}));
}

TEST(SoftMask, MalformedInputsRefusedWithEmptyResult) {
    Matrix mask = {{1.0}};
    Capture cap(std::cerr);
    compute_softmask_sigmoid(mask, {}, 0.0f, 1.0f);
    EXPECT_TRUE(mask.empty());
    mask = {{1.0}};
    compute_softmask_sigmoid(mask, {{1.0, 2.0, 3.0}, {1.0, 2.0}}, 0.0f, 1.0f);
    EXPECT_TRUE(mask.empty());
    EXPECT_EQ(cap.text(),
              "Soft mask refused: the SNR map has no rows\n"
              "Soft mask refused: row 1 of the SNR map matrix has 2 values, fewer than 3\n");
}

// ---------------------------------------------------------------------------
// Array printer

namespace {

template <typename T>
std::string printed(const std::vector<T>& v, int count) {
    Capture cap(std::cout);
    const auto flags = std::cout.flags();
    const auto precision = std::cout.precision();
    print_vector(v.data(), count);
    std::cout.flags(flags);
    std::cout.precision(precision);
    return cap.text();
}

}  // namespace

TEST(PrintVector, DoubleAndIntLayouts) {
    EXPECT_EQ(printed<double>({1.5, -2.25, 10.0}, 3), "\n1.50    -2.25   10.00   \n");
    EXPECT_EQ(printed<double>({123456.0, 1.0}, 2), "\n123456.001.00    \n");
    EXPECT_EQ(printed<int>({7, -12, 123456}, 3), "\n7    -12  123456\n");
    EXPECT_EQ(printed<double>({}, 0), "\n");
    EXPECT_EQ(printed<int>({}, -3), "\n");

    const std::vector<int> ones(17, 1);
    std::string line;
    for (int i = 0; i < 16; ++i) line += "1    ";
    EXPECT_EQ(printed(ones, 16), "\n" + line + "\n");
    EXPECT_EQ(printed(ones, 17), "\n" + line + "\n1    \n");
}

TEST(PrintVector, FlagsStayInForceAndCallerFlagsDoNotChangeTheLayout) {
    const auto flags = std::cout.flags();
    const auto precision = std::cout.precision();
    std::cout.setf(std::ios::scientific | std::ios::right);
    std::string text;
    {
        Capture cap(std::cout);
        const double v[2] = {0.125, 3.0};
        print_vector(v, 2);
        text = cap.text();
    }
    const auto after = std::cout.flags();
    const auto after_precision = std::cout.precision();
    std::cout.flags(flags);
    std::cout.precision(precision);
    EXPECT_EQ(text, "\n0.12    3.00    \n");
    EXPECT_TRUE(after & std::ios::left);
    EXPECT_TRUE(after & std::ios::fixed);
    EXPECT_EQ(after_precision, 2);
}

// The float result files of the grouping are float32 matrices that
// read_float32 reads back exactly (each value the float of the stored double).
TEST(Float32Reader, ReadsTheGroupingsFloatResultFiles) {
    TempDir dir;
    AcgModel model;
    model.compute(mix(harmonic_complex(16000, 0.6, 120.0, 130.0, 0.3),
                      harmonic_complex(16000, 0.6, 210.0, 200.0, 0.25)),
                  16000);
    RuleTracker tracker;
    CASAGrouping grouping(model, tracker);
    grouping.generate_fragments(nullptr);
    ASSERT_TRUE(grouping.write_mask(dir.file("u.mask").c_str()));
    ASSERT_TRUE(grouping.write_f0Candidates(dir.file("u.f0cands").c_str()));
    ASSERT_TRUE(grouping.write_f0Tracks(dir.file("u.f0tracks").c_str()));

    const std::pair<const char*, const Matrix*> files[] = {
        {"u.mask", &grouping.mask}, {"u.f0cands", &grouping.f0Candidates},
        {"u.f0tracks", &grouping.f0Tracks}};
    double nonzero = 0.0;
    for (const auto& [name, stored] : files) {
        Matrix back;
        const int dim = static_cast<int>((*stored)[0].size());
        ASSERT_EQ(read_float32(back, dir.file(name).c_str(), dim, 0, false), model.nframes);
        for (int f = 0; f < model.nframes; ++f)
            for (int c = 0; c < dim; ++c) {
                EXPECT_EQ(back[f][c], static_cast<double>(static_cast<float>((*stored)[f][c])));
                nonzero += back[f][c] != 0.0;
            }
    }
    EXPECT_GT(nonzero, 100.0);  // the files carry real results, not only zeros
}
