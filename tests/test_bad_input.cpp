// Malformed input and unusable output, end to end: each case runs the real
// executable on a file crafted here and checks the one line on standard
// error, the exit status (which also shows that the process was not killed
// by a signal) and what the output directory holds afterwards. A run that
// fails before writing must leave an earlier run's results byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auxiliary.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::put_tag;
using testutil::put_u16;
using testutil::put_u32;
using testutil::run_corlune;
using testutil::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;
// Directory content: file name to bytes; a subdirectory reads as "<dir>".
using Snapshot = std::map<std::string, Bytes>;

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask"};
// Bytes per frame of each result file, in the order of kSuffixes.
const size_t kBytesPerFrame[] = {64, 16, 8, 64, 128};

// The header fields a case may change; the defaults make a valid 16 kHz mono
// 16-bit PCM file.
struct WavSpec {
    uint16_t code = 1;
    uint16_t channels = 1;
    uint32_t rate = 16000;
    uint16_t bits = 16;
    std::optional<uint32_t> data_size;  // the data chunk's size field; default the true size
    Bytes fmt_extension;                // appended to the 16-byte format chunk body
    Bytes before_fmt, before_data;      // whole chunks placed ahead of "fmt " / "data"
};

Bytes chunk(const char* tag, const Bytes& body) {
    Bytes b;
    put_tag(b, tag);
    put_u32(b, static_cast<uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2) b.push_back(0);  // pad byte of an odd-sized chunk
    return b;
}

Bytes wav_image(const std::vector<int16_t>& pcm, const WavSpec& s) {
    Bytes fmt;
    put_u16(fmt, s.code);
    put_u16(fmt, s.channels);
    put_u32(fmt, s.rate);
    put_u32(fmt, s.rate * s.channels * 2);
    put_u16(fmt, static_cast<uint16_t>(s.channels * 2));
    put_u16(fmt, s.bits);
    fmt.insert(fmt.end(), s.fmt_extension.begin(), s.fmt_extension.end());

    Bytes body;
    put_tag(body, "WAVE");
    body.insert(body.end(), s.before_fmt.begin(), s.before_fmt.end());
    const Bytes f = chunk("fmt ", fmt);
    body.insert(body.end(), f.begin(), f.end());
    body.insert(body.end(), s.before_data.begin(), s.before_data.end());
    put_tag(body, "data");
    put_u32(body, s.data_size.value_or(static_cast<uint32_t>(pcm.size() * 2)));
    for (int16_t v : pcm) put_u16(body, static_cast<uint16_t>(v));

    Bytes b;
    put_tag(b, "RIFF");
    put_u32(b, static_cast<uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::vector<int16_t> voice(int srate, double seconds) {
    return testutil::to_pcm16(testutil::harmonic_complex(srate, seconds, 130.0, 160.0, 0.4));
}

Snapshot snapshot(const fs::path& dir) {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        s[name] = e.is_directory() ? Bytes{'<', 'd', 'i', 'r', '>'}
                                   : testutil::read_file(e.path().string());
    }
    return s;
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

    // Runs a file that must be analysed; returns the five results by suffix.
    static Snapshot analysed(const std::string& path, const std::string& expected_err) {
        SCOPED_TRACE(path);
        TempDir out;
        const auto r = run_corlune({path, str(out.path())});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, expected_err);
        Snapshot results;
        const std::string base = fs::path(path).stem().string();
        for (const char* suffix : kSuffixes) results[suffix] = testutil::read_file(out.file(base + suffix));
        EXPECT_EQ(snapshot(out.path()).size(), 5u);
        return results;
    }
};

}  // namespace

TEST_F(BadInput, FilesThatAreNotWaveFilesAreRefused) {
    const Bytes wav = wav_image(voice(16000, 0.1), {});
    Bytes rifx = wav, avi = wav;
    rifx[3] = 'X';
    std::copy_n("AVI ", 4, avi.begin() + 8);
    const std::string text = "utterance list\nfirst line\n";

    expect_refused(input("empty.wav", {}), "Not a RIFF (WAVE) file: found ");
    expect_refused(input("three.wav", {'R', 'I', 'F'}), "Not a RIFF (WAVE) file: found RIF");
    expect_refused(input("rifx.wav", rifx), "Not a RIFF (WAVE) file: found RIFX");
    expect_refused(input("avi.wav", avi), "RIFF file but not a wave file: found AVI ");
    expect_refused(input("notes.wav", Bytes(text.begin(), text.end())),
                   "Not a RIFF (WAVE) file: found utte");
    fs::create_directory(in.file("folder.wav"));
    expect_refused(in.file("folder.wav"), "Unable to open wave file: " + in.file("folder.wav"));
}

// Found by fuzzing: a tag holding a newline split the message in two, and
// other control bytes went to the terminal as they were.
TEST_F(BadInput, TagBytesThatAreNotPrintableAreShownEscaped) {
    Bytes form = wav_image(voice(16000, 0.05), {});
    std::copy_n("BI\x02\n", 4, form.begin() + 8);
    expect_refused(input("form.wav", form), "RIFF file but not a wave file: found BI\\x02\\x0a");
    expect_refused(input("esc.wav", {0x1b, '[', '2', 'J', 0, 0, 0, 0}),
                   "Not a RIFF (WAVE) file: found \\x1b[2J");
}

TEST_F(BadInput, HeadersCutShortAreRefused) {
    const Bytes wav = wav_image(voice(16000, 0.1), {});
    const std::pair<size_t, const char*> cuts[] = {
        {12, "No fmt chunk in wave file: "},  // ends right after "WAVE"
        {20, "Wave header cut short: "},      // inside the format chunk
        {36, "No data chunk in wave file: "},  // ends after the format chunk
        {40, "Wave header cut short: "},      // inside the data chunk header
    };
    for (const auto& [length, message] : cuts) {
        const std::string name = "cut" + std::to_string(length) + ".wav";
        const std::string path = input(name, Bytes(wav.begin(), wav.begin() + length));
        expect_refused(path, message + path);
    }
}

TEST_F(BadInput, SampleFormatsOtherThan16BitPcmAreRefused) {
    const auto pcm = voice(16000, 0.1);
    const std::pair<uint16_t, uint16_t> formats[] = {{1, 0}, {1, 4}, {1, 8}, {1, 24}, {1, 32}, {3, 16}};
    for (const auto& [code, bits] : formats) {
        WavSpec s;
        s.code = code;
        s.bits = bits;
        const std::string path = input("fmt" + std::to_string(bits) + ".wav", wav_image(pcm, s));
        expect_refused(path, "Unsupported wave format (code " + std::to_string(code) + ", " +
                                 std::to_string(bits) + " bits per sample), only 16-bit PCM is read: " +
                                 path);
    }
}

TEST_F(BadInput, ChannelCountsOtherThanOneAreRefused) {
    const auto pcm = voice(16000, 0.1);
    for (uint16_t channels : {0, 3}) {
        WavSpec s;
        s.channels = channels;
        const std::string path = input("ch" + std::to_string(channels) + ".wav", wav_image(pcm, s));
        expect_refused(path, "Only mono input is analysed, found " + std::to_string(channels) +
                                 " channels: " + path);
    }
}

TEST_F(BadInput, SampleRatesOutsideTheAnalysedRangeAreRefused) {
    const auto pcm = voice(16000, 0.1);
    // The field is a signed 32-bit value: the last two read as negative rates.
    const std::pair<uint32_t, const char*> rates[] = {
        {1, "1"},
        {100, "100"},
        {3000, "3000"},
        {2147483647u, "2147483647"},
        {0x80000000u, "-2147483648"},
        {0xFFFFFFFFu, "-1"},
    };
    for (const auto& [rate, shown] : rates) {
        WavSpec s;
        s.rate = rate;
        const std::string path = input(std::string("rate") + shown + ".wav", wav_image(pcm, s));
        expect_refused(path, std::string("Sample rate ") + shown + " Hz outside 4000 to 192000 Hz: " + path);
    }
}

TEST_F(BadInput, SampleRatesAtTheLimitsAreAnalysed) {
    // 0.2 s at 4000 Hz and 0.05 s at 192000 Hz: 20 and 5 frames of 10 ms.
    const std::pair<int, size_t> cases[] = {{4000, 20}, {192000, 5}};
    for (const auto& [rate, frames] : cases) {
        WavSpec s;
        s.rate = static_cast<uint32_t>(rate);
        const auto pcm = voice(rate, static_cast<double>(frames) / 100.0);
        const Snapshot results =
            analysed(input("r" + std::to_string(rate) + ".wav", wav_image(pcm, s)), "");
        for (size_t i = 0; i < 5; ++i)
            EXPECT_EQ(results.at(kSuffixes[i]).size(), frames * kBytesPerFrame[i]) << rate << kSuffixes[i];
    }
}

TEST_F(BadInput, DataSizeBeyondTheFileAnalysesTheSamplesPresent) {
    const auto pcm = voice(16000, 0.3);
    const int n = static_cast<int>(pcm.size());
    const Snapshot reference = analysed(input("utt.wav", wav_image(pcm, {})), "");
    ASSERT_EQ(reference.at(".mask").size(), 30u * 128u);

    for (uint32_t claimed : {static_cast<uint32_t>(2 * n + 2), 0x100000u, 0x7FFFFFFFu}) {
        WavSpec s;
        s.data_size = claimed;
        TempDir sub;
        testutil::write_file(sub.file("utt.wav"), wav_image(pcm, s));
        const std::string warning =
            "Unable to read " + std::to_string(claimed / 2) + " samples: read " + std::to_string(n) + "\n";
        EXPECT_EQ(analysed(sub.file("utt.wav"), warning), reference) << claimed;
    }
}

TEST_F(BadInput, DataWithNoSamplesIsRefused) {
    const auto pcm = voice(16000, 0.1);
    for (uint32_t claimed : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        WavSpec s;
        s.data_size = claimed;
        const std::string path = input("size" + std::to_string(claimed) + ".wav", wav_image(pcm, s));
        expect_refused(path, "No samples in wave file: " + path);
    }
    // A data chunk that claims samples but ends the file at its header, or
    // after a single odd byte: the warning is the one line.
    WavSpec s;
    s.data_size = 100;
    const std::string bare = input("bare.wav", wav_image({}, s));
    expect_refused(bare, "Unable to read 50 samples: read 0");
    Bytes odd = wav_image({}, s);
    odd.push_back(0x7F);
    expect_refused(input("odd.wav", odd), "Unable to read 50 samples: read 0");
}

// Found by fuzzing: a file refused for its rate or channel count whose data
// chunk was also cut short printed the short-read warning as well.
TEST_F(BadInput, RefusalOfACutShortFileIsStillOneLine) {
    const auto pcm = voice(16000, 0.1);
    WavSpec stereo, slow;
    stereo.channels = 2;
    slow.rate = 3000;
    for (WavSpec* s : {&stereo, &slow}) s->data_size = 0x7FFFFFFFu;
    const std::string path_stereo = input("stereo.wav", wav_image(pcm, stereo));
    expect_refused(path_stereo, "Only mono input is analysed, found 2 channels: " + path_stereo);
    const std::string path_slow = input("slow.wav", wav_image(pcm, slow));
    expect_refused(path_slow, "Sample rate 3000 Hz outside 4000 to 192000 Hz: " + path_slow);
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
    Bytes fact = chunk("fact", {static_cast<uint8_t>(pcm.size() & 0xFF),
                                static_cast<uint8_t>(pcm.size() >> 8), 0, 0});
    WavSpec list_before_data, chunks_before_fmt, long_fmt;
    list_before_data.before_data = list;  // odd-sized body, so a pad byte follows
    chunks_before_fmt.before_fmt = list;
    chunks_before_fmt.before_fmt.insert(chunks_before_fmt.before_fmt.end(), fact.begin(), fact.end());
    long_fmt.fmt_extension = {0, 0};  // 18-byte format chunk with an empty extension
    long_fmt.before_data = fact;
    for (const WavSpec* s : {&list_before_data, &chunks_before_fmt, &long_fmt}) {
        TempDir sub;
        testutil::write_file(sub.file("utt.wav"), wav_image(pcm, *s));
        EXPECT_EQ(analysed(sub.file("utt.wav"), ""), reference);
    }
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

    // After a run that failed on one result file, every other result holds
    // exactly what a clean run writes.
    void expect_others_written(const TempDir& out, const std::string& failed) {
        for (const char* suffix : kSuffixes) {
            if (suffix == failed) continue;
            EXPECT_EQ(testutil::read_file(out.file(std::string("utt") + suffix)), reference.at(suffix))
                << suffix;
        }
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
    EXPECT_EQ(r.err, "Unable to write to directory: " + plain + "/\n");

    const std::string missing = parent.file("a/b");
    r = run_corlune({never, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to write to directory: " + missing + "/\n");

    EXPECT_EQ(snapshot(parent.path()), (Snapshot{{"results", {'k', 'e', 'e', 'p'}}}));
}

TEST_F(BadOutput, ResultPathThatIsADirectoryFailsOnlyThatFile) {
    // ".groups" is the file a probe that opened a result for writing would
    // have truncated; here it is a directory whose content must survive.
    TempDir out;
    seed_earlier_results(out, "utt");
    fs::remove(out.file("utt.groups"));
    fs::create_directory(out.file("utt.groups"));
    testutil::write_file(out.file("utt.groups/inside"), {'x'});

    const auto r = run_corlune({wav, str(out.path())});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open file: " + out.file("utt.groups") + "\n");
    EXPECT_EQ(snapshot(out.file("utt.groups")), (Snapshot{{"inside", {'x'}}}));
    expect_others_written(out, ".groups");
}

TEST_F(BadOutput, FullDiskIsReportedForThatFileAndTheOthersAreWritten) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // The first and the last file written: a failure stops nothing after it.
    for (const std::string failed : {".frmseg", ".mask"}) {
        SCOPED_TRACE(failed);
        TempDir out;
        seed_earlier_results(out, "utt");
        fs::remove(out.file("utt" + failed));
        fs::create_symlink("/dev/full", out.file("utt" + failed));

        const auto r = run_corlune({wav, str(out.path())});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unable to write file: " + out.file("utt" + failed) + "\n");
        EXPECT_TRUE(fs::is_symlink(out.file("utt" + failed)));
        expect_others_written(out, failed);
    }
}
