// Malformed input and unusable output, end to end: each case runs the real
// executable on a file crafted here and checks the one line on standard
// error, the exit status (which also shows that the process was not killed
// by a signal) and what the output directory holds afterwards. A run that
// fails before writing must leave an earlier run's results byte for byte.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auxiliary.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::Bytes;
using testutil::chunk;
using testutil::run_corlune;
using testutil::snapshot;
using testutil::Snapshot;
using testutil::TempDir;
using testutil::wav_image;
using testutil::WavSpec;

namespace {

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".f0labels"};
// Bytes per frame of each result file, in the order of kSuffixes.
const size_t kBytesPerFrame[] = {64, 16, 8, 64, 128, 4};

std::vector<int16_t> voice(int srate, double seconds) {
    return testutil::to_pcm16(testutil::harmonic_complex(srate, seconds, 130.0, 160.0, 0.4));
}

// Fills dir with recognisable stand-ins for an earlier run's results of base.
Snapshot seed_earlier_results(const TempDir& dir, const std::string& base) {
    uint8_t fill = 0x41;
    for (const char* suffix : kSuffixes)
        testutil::write_file(dir.file(base + suffix), Bytes(320, fill++));
    return snapshot(dir.path());
}

std::string str(const fs::path& p) { return p.string(); }

class BadInput : public ::testing::Test {
protected:
    TempDir in;

    std::string input(const std::string& name, const Bytes& bytes) {
        testutil::write_file(in.file(name), bytes);
        return in.file(name);
    }

    // The run is refused with exactly `line` and exit 1, and a directory that
    // holds an earlier run's results for the same utterance keeps them
    // unchanged and gains no file.
    static void expect_refused(const std::string& path, const std::string& line) {
        SCOPED_TRACE(path);
        TempDir out;
        const Snapshot earlier = seed_earlier_results(out, fs::path(path).stem().string());
        const auto r = run_corlune({path, str(out.path())});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, line + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(snapshot(out.path()), earlier);
    }

    // Runs a file that must be analysed; returns the six results by suffix.
    static Snapshot analysed(const std::string& path, const std::string& expected_err) {
        SCOPED_TRACE(path);
        TempDir out;
        const auto r = run_corlune({path, str(out.path())});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, expected_err);
        Snapshot results;
        const std::string base = fs::path(path).stem().string();
        for (const char* suffix : kSuffixes) results[suffix] = testutil::read_file(out.file(base + suffix));
        EXPECT_EQ(snapshot(out.path()).size(), 7u);  // and the record
        return results;
    }
};

}  // namespace

TEST_F(BadInput, FilesThatAreNotAudioFilesAreRefused) {
    const Bytes wav = wav_image(voice(16000, 0.1), {});
    Bytes avi = wav;
    std::copy_n("AVI ", 4, avi.begin() + 8);
    const std::string text = "utterance list\nfirst line\n";
    const std::string unknown = "Unable to read audio file (Format not recognised): ";

    std::string path = input("empty.wav", {});
    expect_refused(path, "Empty audio file (0 bytes): " + path);
    path = input("three.wav", {'R', 'I', 'F'});
    expect_refused(path, unknown + path);
    path = input("avi.wav", avi);
    expect_refused(path, unknown + path);
    path = input("notes.wav", Bytes(text.begin(), text.end()));
    expect_refused(path, unknown + path);
    // Bytes of the file never reach the message, so it stays one line.
    path = input("esc.wav", {0x1b, '[', '2', 'J', '\n', 0, 0, 0});
    expect_refused(path, unknown + path);
    fs::create_directory(in.file("folder.wav"));
    expect_refused(in.file("folder.wav"), "Unable to open audio file (Is a directory): " + in.file("folder.wav"));
    expect_refused("/dev/null", unknown + "/dev/null");
}

TEST_F(BadInput, HeadersCutShortAreRefused) {
    const Bytes wav = wav_image(voice(16000, 0.1), {});
    const std::pair<size_t, const char*> cuts[] = {
        {12, "Error in WAV file. No 'data' chunk marker"},      // ends right after "WAVE"
        {20, "Error in WAV/W64/RF64 file. Malformed 'fmt ' chunk"},  // inside the format chunk
        {36, "Error in WAV file. No 'data' chunk marker"},      // ends after the format chunk
        {40, "Error in WAV file. No 'data' chunk marker"},      // inside the data chunk header
    };
    for (const auto& [length, reason] : cuts) {
        const std::string path = input("cut" + std::to_string(length) + ".wav", Bytes(wav.begin(), wav.begin() + length));
        expect_refused(path, std::string("Unable to read audio file (") + reason + "): " + path);
    }
}

TEST_F(BadInput, EncodingsLibsndfileCannotDecodeAreRefused) {
    const auto pcm = voice(16000, 0.1);
    const std::tuple<uint16_t, uint16_t, const char*> formats[] = {
        {1, 0, "File contains data in an unimplemented format"},
        {2, 16, "Error in ADPCM WAV file. Invalid bit width"},
        {0x55, 16, "Error in WAV/W64/RF64 file. Malformed 'fmt ' chunk"},
    };
    for (const auto& [code, bits, reason] : formats) {
        WavSpec s;
        s.code = code;
        s.bits = bits;
        const std::string path = input("code" + std::to_string(code) + ".wav", wav_image(pcm, s));
        expect_refused(path, std::string("Unable to read audio file (") + reason + "): " + path);
    }
}

TEST_F(BadInput, ChannelCountsTheOptionsDoNotCoverAreRefused) {
    const auto pcm = voice(16000, 0.1);
    WavSpec none, three;
    none.channels = 0;
    three.channels = 3;
    std::string path = input("ch0.wav", wav_image(pcm, none));
    expect_refused(path, "Unable to read audio file (Channel count is zero): " + path);
    path = input("ch3.wav", wav_image(pcm, three));
    expect_refused(path, "Recording has 3 channels; choose one with --channel N or their mean with --mix: " + path);
    // A data chunk cut short adds no second line to a refusal.
    three.data_size = 0x7FFFFFFFu;
    path = input("stereo.wav", wav_image(pcm, three));
    expect_refused(path, "Recording has 3 channels; choose one with --channel N or their mean with --mix: " + path);
}

TEST_F(BadInput, SampleRatesOutsideTheAnalysedRangeAreRefused) {
    const auto pcm = voice(16000, 0.1);
    // Rates beyond an int are shown as the header stores them (unsigned).
    for (const uint32_t rate : {0u, 1u, 3000u, 192001u, 2147483647u, 0x80000000u, 0xFFFFFFFFu}) {
        WavSpec s;
        s.rate = rate;
        s.data_size = 0x7FFFFFFFu;
        const std::string path = input("rate" + std::to_string(rate) + ".wav", wav_image(pcm, s));
        expect_refused(path, "Sample rate " + std::to_string(rate) + " Hz outside 4000 to 192000 Hz: " + path);
    }
}

TEST_F(BadInput, SampleRatesAtTheLimitsAreAnalysed) {
    // 0.2 s at 4000 Hz and 0.05 s at 192000 Hz: 20 and 5 frames of 10 ms.
    const std::pair<int, size_t> cases[] = {{4000, 20}, {192000, 5}};
    for (const auto& [rate, frames] : cases) {
        WavSpec s;
        s.rate = static_cast<uint32_t>(rate);
        const auto pcm = voice(rate, static_cast<double>(frames) / 100.0);
        const Snapshot results = analysed(input("r" + std::to_string(rate) + ".wav", wav_image(pcm, s)), "");
        for (size_t i = 0; i < std::size(kSuffixes); ++i)
            EXPECT_EQ(results.at(kSuffixes[i]).size(), frames * kBytesPerFrame[i]) << rate << kSuffixes[i];
    }
}

// Any data size, 2^31 bytes and more included, reads the samples present;
// only the streaming size 0xFFFFFFFF ("up to the end") earns no warning.
TEST_F(BadInput, DataSizeBeyondTheFileAnalysesTheSamplesPresent) {
    const auto pcm = voice(16000, 0.3);
    const Snapshot reference = analysed(input("utt.wav", wav_image(pcm, {})), "");
    ASSERT_EQ(reference.at(".mask").size(), 30u * 128u);

    for (uint32_t claimed : {static_cast<uint32_t>(2 * pcm.size() + 2), 0x100000u, 0x7FFFFFFFu,
                             0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        WavSpec s;
        s.data_size = claimed;
        TempDir sub;
        testutil::write_file(sub.file("utt.wav"), wav_image(pcm, s));
        const std::string warning =
            claimed == 0xFFFFFFFFu ? ""
                                   : "Warning: data chunk shorter than its header claims (" +
                                         std::to_string(claimed / 2) + " samples claimed, " +
                                         std::to_string(pcm.size()) + " read): " + sub.file("utt.wav") + "\n";
        EXPECT_EQ(analysed(sub.file("utt.wav"), warning), reference) << claimed;
    }
}

TEST_F(BadInput, DataWithNoSamplesIsRefused) {
    WavSpec s;
    s.data_size = 0;
    std::string path = input("size0.wav", wav_image(voice(16000, 0.1), s));
    expect_refused(path, "No samples in audio file: " + path);
    // A data chunk that claims samples but ends the file at its header, or
    // after a single odd byte: one line, not also the short-data warning.
    s.data_size = 100;
    path = input("bare.wav", wav_image({}, s));
    expect_refused(path, "No samples in audio file: " + path);
    s.after_data = {0x7F};
    path = input("odd.wav", wav_image({}, s));
    expect_refused(path, "No samples in audio file: " + path);
}

TEST_F(BadInput, SamplesTheAnalysisCannotTakeAreRefused) {
    const auto pcm = voice(16000, 0.1);
    testutil::write_audio(in.file("f.wav"), pcm, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const Bytes clean = testutil::read_file(in.file("f.wav"));
    const std::pair<uint32_t, std::string> values[] = {
        {0x7FC00000u, "nan"}, {0x7F800000u, "inf"}, {0xFF800000u, "-inf"}, {0x7149F2CAu, "1e+30"}};
    for (const auto& [bits, shown] : values) {
        Bytes b = clean;
        const size_t at = b.size() - 4 * (pcm.size() - 5);  // sample 5
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(bits >> (8 * i));
        const std::string path = input("float" + shown + ".wav", b);
        expect_refused(path, "Sample 5 is " + shown + ", outside -16777216 to 16777216: " + path);
    }
}

TEST_F(BadInput, HeaderOnlyReadTakesRateAndChannelsButNoSample) {
    WavSpec s;
    s.channels = 2;
    s.rate = 22050;
    AudioWav wav;
    wav.samples = {0.5};
    EXPECT_EQ(wav.read_header(input("h.wav", wav_image(voice(16000, 0.01), s)).c_str()), 1);
    EXPECT_EQ(wav.srate, 22050);
    EXPECT_EQ(wav.nchannels, 2);
    EXPECT_EQ(wav.samples, std::vector<double>{0.5});
    EXPECT_EQ(wav.read_header(input("n.wav", {'R', 'I', 'F', 'F'}).c_str()), 0);
    EXPECT_EQ(wav.read_header(in.file("missing.wav").c_str()), -1);
    EXPECT_EQ(wav.srate, 22050);
}

TEST_F(BadInput, ChunksAroundTheFormatAreSkippedAndTheSamplesReadExactly) {
    const auto pcm = voice(16000, 0.3);
    const Snapshot reference = analysed(input("utt.wav", wav_image(pcm, {})), "");

    Bytes list = chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 3, 0, 0, 0, 'a', 'b', 0});
    Bytes fact = chunk("fact", {static_cast<uint8_t>(pcm.size() & 0xFF), static_cast<uint8_t>(pcm.size() >> 8), 0, 0});
    WavSpec list_before_data, chunks_before_fmt, long_fmt;
    list_before_data.before_data = list;  // odd-sized body, so a pad byte follows
    chunks_before_fmt.before_fmt = list;
    chunks_before_fmt.before_fmt.insert(chunks_before_fmt.before_fmt.end(), fact.begin(), fact.end());
    long_fmt.fmt_extension = {0, 0};  // 18-byte format chunk with an empty extension
    long_fmt.before_data = fact;
    long_fmt.after_data = list;
    for (const WavSpec* s : {&list_before_data, &chunks_before_fmt, &long_fmt}) {
        TempDir sub;
        testutil::write_file(sub.file("utt.wav"), wav_image(pcm, *s));
        EXPECT_EQ(analysed(sub.file("utt.wav"), ""), reference);
    }
}

// ---------------------------------------------------------------------------
// Other kinds of input

TEST_F(BadInput, FlacSphereFifoAndPipeAreAnalysedLikeTheWavFile) {
    const auto pcm = voice(16000, 0.3);
    const Bytes wav = wav_image(pcm, {});
    const Snapshot reference = analysed(input("utt.wav", wav), "");
    for (const auto& [name, format] : {std::pair{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                       std::pair{"sph", SF_FORMAT_NIST | SF_FORMAT_PCM_16}}) {
        TempDir sub;
        testutil::write_audio(sub.file(std::string("utt.") + name), pcm, 16000, 1, format);
        EXPECT_EQ(analysed(sub.file(std::string("utt.") + name), ""), reference) << name;
    }
    TempDir sub;
    {
        testutil::FifoWriter writer(sub.file("utt"), wav);
        EXPECT_EQ(analysed(sub.file("utt"), ""), reference);
    }
    TempDir out;
    const auto r = run_corlune({"--name", "utt", "-", str(out.path())}, {wav, "", 0});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(out.path()).at("utt.mask"), reference.at(".mask"));
}

TEST_F(BadInput, PipesOfFormatsThatNeedSeekingAndStandardInputMistakesAreRefused) {
    testutil::write_audio(in.file("utt.flac"), voice(16000, 0.2), 16000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    TempDir out;
    const Snapshot earlier = seed_earlier_results(out, "utt");
    auto r = run_corlune({"-n", "utt", "-", str(out.path())}, {testutil::read_file(in.file("utt.flac")), "", 0});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to read audio file (Error : flac decoder lost sync; from a pipe only WAV, W64, "
                     "AIFF, AU, NIST SPHERE and Ogg (Vorbis, Opus) are read): standard input\n");
    r = run_corlune({"-", str(out.path())}, {Bytes{}, "", 0});
    EXPECT_EQ(r.status, 2);
    r = run_corlune({"--name=a/utt", "-", str(out.path())}, {Bytes{}, "", 0});
    EXPECT_EQ(r.status, 2);
    r = run_corlune({"--name=utt", "-", str(out.path())});  // standard input is /dev/null
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to read audio file (Format not recognised): standard input\n");
    EXPECT_EQ(snapshot(out.path()), earlier);
}

// The reader never reserves memory from what a header claims: a short file
// claiming 2^31 bytes runs in little memory. The analysis streams, so only
// the results grow with the recording: a 4 GiB (sparse) file, 37 hours at
// 16 kHz, whose results cannot fit in 1 GiB, is refused by its length
// before any sample is read; on a pipe, whose length is unknown, running
// out of memory is caught (here in 90 minutes of silence at 4 kHz, with
// the analysis on two threads). Either way: one line, no result file.
TEST_F(BadInput, HugeDataSizesAndRecordingsWhoseResultsDoNotFit) {
    const uint64_t limit = testutil::sanitizer_build() ? 0 : uint64_t{1} << 30;
    WavSpec s;
    s.data_size = 0x7FFFFFFFu;
    const std::string small = input("small.wav", wav_image(voice(16000, 0.2), s));
    TempDir out;
    auto r = run_corlune({small, str(out.path())}, {std::nullopt, "", limit});
    EXPECT_EQ(r.status, 0) << r.err;

    if (testutil::sanitizer_build()) GTEST_SKIP() << "memory limits need the plain build";
    s.data_size = 0xFFFFFFFFu - 36;
    const std::string huge = input("huge.wav", wav_image({}, s));
    ASSERT_EQ(truncate(huge.c_str(), 0x100000000LL), 0);
    TempDir out2;
    r = run_corlune({huge, str(out2.path())}, {std::nullopt, "", limit});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Recording too long for the memory available: 37.3 hours of audio need about ", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find(" GB, and the address-space limit (ulimit -v) allows 1.1 GB: " + huge + "\n"),
              std::string::npos) << r.err;
    EXPECT_TRUE(snapshot(out2.path()).empty());

    WavSpec streamed;
    streamed.rate = 4000;
    streamed.data_size = 0xFFFFFFFFu;  // the length is unknown
    const Bytes silence = wav_image(std::vector<int16_t>(4000 * 60 * 90, 0), streamed);
    r = run_corlune({"--threads=2", "--name=silence", "-", str(out2.path())},
                    {silence, "", uint64_t{100} << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Out of memory analysing standard input\n");
    EXPECT_TRUE(snapshot(out2.path()).empty());
}

// ---------------------------------------------------------------------------
// Output side

class BadOutput : public BadInput {
protected:
    std::string wav;
    Snapshot reference;  // results of a clean run, by suffix

    void SetUp() override {
        wav = input("utt.wav", wav_image(voice(16000, 0.2), {}));
        reference = analysed(wav, "");
    }
};

TEST_F(BadOutput, UnusableOutputDirectoryIsRefusedBeforeTheInputIsRead) {
    TempDir parent;
    // The input does not exist: had it been opened, its own message would follow.
    const std::string never = in.file("never.wav");

    const std::string plain = parent.file("results");
    testutil::write_file(plain, {'k', 'e', 'e', 'p'});
    auto r = run_corlune({never, plain});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to write to directory (Not a directory): " + plain + "/\n");

    const std::string missing = parent.file("a/b");
    r = run_corlune({never, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to write to directory (No such file or directory): " + missing + "/\n");

    EXPECT_EQ(snapshot(parent.path()), (Snapshot{{"results", {'k', 'e', 'e', 'p'}}}));
}

TEST_F(BadOutput, ResultPathThatIsADirectoryFailsTheRunBeforeTheInputIsRead) {
    // A directory cannot be replaced by a file: the run stops before the
    // analysis, and the directory, its content and every other earlier
    // result stay as they were.
    TempDir out;
    seed_earlier_results(out, "utt");
    fs::remove(out.file("utt.groups"));
    fs::create_directory(out.file("utt.groups"));
    testutil::write_file(out.file("utt.groups/inside"), {'x'});
    const Snapshot earlier = snapshot(out.path());

    const auto r = run_corlune({"--name=utt", in.file("never.wav"), str(out.path())});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to replace file (Is a directory): " + out.file("utt.groups") + "\n");
    EXPECT_EQ(snapshot(out.path()), earlier);
    EXPECT_EQ(snapshot(out.file("utt.groups")), (Snapshot{{"inside", {'x'}}}));
}

TEST_F(BadOutput, SymlinkedResultPathsAreReplacedNotWrittenThrough) {
    TempDir out, elsewhere;
    seed_earlier_results(out, "utt");
    const Bytes kept(100, 0x33);
    testutil::write_file(elsewhere.file("kept"), kept);
    fs::remove(out.file("utt.frmseg"));
    fs::remove(out.file("utt.mask"));
    fs::create_symlink("/dev/full", out.file("utt.frmseg"));
    fs::create_symlink(elsewhere.file("kept"), out.file("utt.mask"));

    const auto r = run_corlune({wav, str(out.path())});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* suffix : kSuffixes) {
        EXPECT_FALSE(fs::is_symlink(out.file(std::string("utt") + suffix))) << suffix;
        EXPECT_EQ(testutil::read_file(out.file(std::string("utt") + suffix)), reference.at(suffix)) << suffix;
    }
    EXPECT_EQ(testutil::read_file(elsewhere.file("kept")), kept);
}
