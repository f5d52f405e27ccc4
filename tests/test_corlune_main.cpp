#include "corlune_main.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testutil.h"

namespace fs = std::filesystem;
using testutil::run_corlune;
using testutil::TempDir;

namespace {

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask"};

std::string usage_text() {
    const std::string p = CORLUNE_EXE;
    return "Usage:\n    " + p + " INWAVFILE OUTDIR\neg. " + p + " s10_bgakzn ./\n";
}

size_t entries(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(Naming, BaseNameIsTheStemOfTheFileName) {
    const std::pair<const char*, const char*> table[] = {
        {"data/s1/utt.wav", "utt"}, {"utt.wav", "utt"},       {"a.b/utt.flac", "utt"},
        {"s10_bgakzn", "s10_bgakzn"}, {"s10_bgaq6n", "s10_bgaq6n"}, {"dir/ab", "ab"},
        {"dir/.wav", ".wav"},         {"x/y.tar.wav", "y.tar"},
    };
    for (const auto& [path, base] : table) EXPECT_EQ(base_name(path), base) << path;
}

TEST(Naming, OutputDirectoryGetsOneTrailingSlash) {
    EXPECT_EQ(output_directory("out"), "out/");
    EXPECT_EQ(output_directory("out/"), "out/");
    EXPECT_EQ(output_directory("out//"), "out//");
    EXPECT_EQ(output_directory("/"), "/");
}

TEST(CommandLine, WrongArgumentCountPrintsUsageAndExitsTwo) {
    TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"a.wav"}, {"a.wav", dir.path().string(), "extra"}}) {
        const auto r = run_corlune(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, usage_text());
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(entries(dir.path()), 0u);
}

TEST(CommandLine, HelpPrintsUsageAndSucceeds) {
    for (const char* flag : {"-h", "--help"}) {
        const auto r = run_corlune({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage_text());
    }
}

TEST(CommandLine, EmptyOutputDirectoryIsRefused) {
    TempDir dir;
    testutil::write_wav(dir.file("utt.wav"), testutil::sine(16000, 0.1, 200, 0.3), 16000);
    const auto r = run_corlune({dir.file("utt.wav"), ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Empty output directory name\n");
    EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(CommandLine, MissingDirectoryIsReportedWithItsSlash) {
    TempDir dir;
    const std::string missing = dir.file("missing");
    const auto r = run_corlune({dir.file("never-opened.wav"), missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to write to directory: " + missing + "/\n");
}

TEST(Run, WritesFiveResultFilesOfTheDocumentedSizes) {
    TempDir in, out;
    const auto x = testutil::harmonic_complex(16000, 0.5, 140.0, 150.0, 0.4);
    testutil::write_wav(in.file("utt.wav"), x, 16000);
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const size_t frames = 50;
    const size_t bytes_per_frame[] = {64, 16, 8, 64, 128};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(fs::file_size(out.file(std::string("utt") + kSuffixes[i])),
                  frames * bytes_per_frame[i])
            << kSuffixes[i];
    EXPECT_EQ(entries(out.path()), 5u);  // the probe leaves nothing behind
}

TEST(Run, FailedRunKeepsEarlierResultsAndLeavesNoNewFile) {
    TempDir in, out;
    const std::vector<uint8_t> earlier(640, 0x5A);
    testutil::write_file(out.file("utt.groups"), earlier);
    testutil::write_file(in.file("utt.wav"), {'n', 'o', 'p', 'e'});
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not a RIFF (WAVE) file: found nope\n");
    EXPECT_EQ(testutil::read_file(out.file("utt.groups")), earlier);
    EXPECT_EQ(entries(out.path()), 1u);

    testutil::write_file(in.file("other.wav"), {});
    EXPECT_EQ(run_corlune({in.file("other.wav"), out.path().string()}).status, 1);
    EXPECT_EQ(entries(out.path()), 1u);
}

TEST(Run, RefusesInputItCannotAnalyseSoundly) {
    TempDir in, out;
    const auto pcm = testutil::to_pcm16(testutil::sine(16000, 0.1, 200, 0.3));
    testutil::write_file(in.file("stereo.wav"), testutil::wav_bytes(pcm, 16000, 2));
    auto r = run_corlune({in.file("stereo.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Only mono input is analysed, found 2 channels: " + in.file("stereo.wav") + "\n");

    for (int rate : {0, 3999, 192001}) {
        testutil::write_file(in.file("rate.wav"), testutil::wav_bytes(pcm, rate));
        r = run_corlune({in.file("rate.wav"), out.path().string()});
        EXPECT_EQ(r.status, 1) << rate;
        EXPECT_EQ(r.err, "Sample rate " + std::to_string(rate) + " Hz outside 4000 to 192000 Hz: " +
                             in.file("rate.wav") + "\n");
    }
    r = run_corlune({in.path().string(), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open wave file: " + in.path().string() + "\n");
    EXPECT_EQ(entries(out.path()), 0u);
}

TEST(Run, UnwritableResultFileFailsButTheOthersAreWritten) {
    TempDir in, out;
    testutil::write_wav(in.file("utt.wav"), testutil::sine(16000, 0.1, 200, 0.3), 16000);
    fs::create_directory(out.file("utt.f0tracks"));
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open file: " + out.path().string() + "/utt.f0tracks\n");
    for (const char* s : {".frmseg", ".f0cands", ".groups", ".mask"})
        EXPECT_TRUE(fs::is_regular_file(out.file(std::string("utt") + s))) << s;
}
