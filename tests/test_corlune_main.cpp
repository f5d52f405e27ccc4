#include "corlune_main.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>

#include "memorylimit.h"
#include "options.h"
#include "progress.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::run_corlune;
using testutil::TempDir;

namespace {

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".f0labels"};

std::string usage_error(const std::string& line) { return "corlune: " + line + "\n" + usage_synopsis(); }

// The five result files of prefix, by suffix.
std::map<std::string, testutil::Bytes> results(const std::string& prefix) {
    std::map<std::string, testutil::Bytes> r;
    for (const char* s : kSuffixes) r[s] = testutil::read_file(prefix + s);
    return r;
}

std::vector<int16_t> two_voices(int srate, double seconds) {
    return testutil::to_pcm16(testutil::mix(testutil::harmonic_complex(srate, seconds, 110.0, 135.0, 0.25),
                                            testutil::harmonic_complex(srate, seconds, 210.0, 180.0, 0.2)));
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

TEST(CommandLine, UsageErrorsPrintOneLineAndTheUsageAndExitTwo) {
    TempDir dir;
    const std::string out = dir.path().string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "expected INPUT and OUTDIR after the options, got 0 arguments"},
        {{"a.wav"}, "expected INPUT and OUTDIR after the options, got 1 argument"},
        {{"a.wav", out, "extra"}, "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"--bogus", "a.wav", out}, "unknown option --bogus"},
        {{"a.wav", out, "--channel"}, "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"--channel"}, "option --channel needs a value"},
        {{"-", out}, "reading standard input (-) needs --name NAME for the result files"},
        {{"--name=../x", "a.wav", out}, "invalid --name '../x': give a plain file name (no '/', not . or ..)"},
        {{"--name", "..", "-", out}, "invalid --name '..': give a plain file name (no '/', not . or ..)"},
    };
    for (const auto& [args, line] : cases) {
        const auto r = run_corlune(args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage_error(line));
    }
    EXPECT_EQ(entries(dir.path()), 0u);
}

TEST(CommandLine, HelpAndVersion) {
    for (const char* flag : {"-h", "--help"}) {
        const auto r = run_corlune({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help_text());
        EXPECT_EQ(r.err, "");
    }
    const auto r = run_corlune({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), std::string("corlune ") + CORLUNE_VERSION);
    EXPECT_NE(r.out.find(" fftw-3."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(sf_version_string()), std::string::npos) << r.out;
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
    EXPECT_EQ(r.err, "Unable to write to directory (No such file or directory): " + missing + "/\n");
}

TEST(Run, WritesSixResultFilesOfTheDocumentedSizes) {
    TempDir in, out;
    const auto x = testutil::harmonic_complex(16000, 0.5, 140.0, 150.0, 0.4);
    testutil::write_wav(in.file("utt.wav"), x, 16000);
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const size_t frames = 50;
    const size_t bytes_per_frame[] = {64, 16, 8, 64, 128, 4};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(fs::file_size(out.file(std::string("utt") + kSuffixes[i])),
                  frames * bytes_per_frame[i])
            << kSuffixes[i];
    EXPECT_EQ(entries(out.path()), 7u);  // and the record; no temporary is left behind
}

TEST(Run, FailedRunKeepsEarlierResultsAndLeavesNoNewFile) {
    TempDir in, out;
    const std::vector<uint8_t> earlier(640, 0x5A);
    testutil::write_file(out.file("utt.groups"), earlier);
    testutil::write_file(in.file("utt.wav"), {'n', 'o', 'p', 'e'});
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to read audio file (Format not recognised): " + in.file("utt.wav") + "\n");
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
    EXPECT_EQ(r.err, "Recording has 2 channels; choose one with --channel N or their mean with --mix: " +
                         in.file("stereo.wav") + "\n");
    r = run_corlune({"--channel=3", in.file("stereo.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Channel 3 requested, but the recording has 2 channels: " + in.file("stereo.wav") + "\n");

    for (int rate : {0, 3999, 192001}) {
        testutil::write_file(in.file("rate.wav"), testutil::wav_bytes(pcm, rate));
        r = run_corlune({in.file("rate.wav"), out.path().string()});
        EXPECT_EQ(r.status, 1) << rate;
        EXPECT_EQ(r.err, "Sample rate " + std::to_string(rate) + " Hz outside 4000 to 192000 Hz: " +
                             in.file("rate.wav") + "\n");
    }
    r = run_corlune({in.path().string(), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open audio file (Is a directory): " + in.path().string() + "\n");
    EXPECT_EQ(entries(out.path()), 0u);
}

TEST(Run, ResultPathThatIsADirectoryFailsTheRunBeforeTheAnalysis) {
    TempDir in, out;
    testutil::write_wav(in.file("utt.wav"), testutil::sine(16000, 0.1, 200, 0.3), 16000);
    fs::create_directory(out.file("utt.f0tracks"));
    const auto r = run_corlune({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to replace file (Is a directory): " + out.path().string() + "/utt.f0tracks\n");
    EXPECT_EQ(entries(out.path()), 1u);
}

// The same 16-bit samples in every lossless container and encoding, from a
// file, a pipe or standard input, give the very bytes of the WAV file's
// results (which the golden digests pin to earlier builds).
TEST(Run, EveryLosslessFormatGivesTheWavFilesResults) {
    TempDir in, out;
    const auto pcm = two_voices(16000, 0.6);
    testutil::write_file(in.file("ref.wav"), testutil::wav_bytes(pcm, 16000));
    ASSERT_EQ(run_corlune({in.file("ref.wav"), out.path().string()}).status, 0);
    const auto reference = results(out.file("ref"));
    ASSERT_EQ(reference.at(".mask").size(), 60u * 128u);

    const std::pair<const char*, int> formats[] = {
        {"flac16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"flac24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},     {"pcm32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},      {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
        {"ext.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16},     {"nist.sph", SF_FORMAT_NIST | SF_FORMAT_PCM_16},
        {"aiff.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},    {"aifc.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"w64.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},       {"rf64.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
        {"caf.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},       {"au.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
    };
    for (const auto& [file, format] : formats) {
        testutil::write_audio(in.file(file), pcm, 16000, 1, format);
        const auto r = run_corlune({in.file(file), out.path().string()});
        EXPECT_EQ(r.status, 0) << file << r.err;
        EXPECT_EQ(r.err, "") << file;
        EXPECT_EQ(results(out.file(fs::path(file).stem().string())), reference) << file;
    }
    const auto wav = testutil::read_file(in.file("ref.wav"));
    auto r = run_corlune({"--name=piped", "-", out.path().string()}, {wav, "", 0});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(results(out.file("piped")), reference);
    r = run_corlune({"-n", "redirected", "-", out.path().string()}, {std::nullopt, in.file("aiff.aiff"), 0});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(results(out.file("redirected")), reference);
}

TEST(Run, ChannelChoiceAndMixOfSeveralChannels) {
    TempDir in, out;
    const auto voice = two_voices(16000, 0.4);
    testutil::write_file(in.file("ref.wav"), testutil::wav_bytes(voice, 16000));
    ASSERT_EQ(run_corlune({in.file("ref.wav"), out.path().string()}).status, 0);
    const auto reference = results(out.file("ref"));

    // Channel 2 of three carries the voice; all three carry it for --mix.
    std::vector<int16_t> second, same;
    for (int16_t v : voice) {
        second.insert(second.end(), {static_cast<int16_t>(-v / 2), v, 1000});
        same.insert(same.end(), {v, v, v});
    }
    testutil::write_audio(in.file("three.flac"), second, 16000, 3, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    testutil::write_audio(in.file("same.wav"), same, 16000, 3, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    auto r = run_corlune({"--channel", "2", "--name=second", in.file("three.flac"), out.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(results(out.file("second")), reference);
    r = run_corlune({"--mix", in.file("same.wav"), out.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(results(out.file("same")), reference);
    r = run_corlune({"-c", "1", in.file("three.flac"), out.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(results(out.file("three")), reference);
}

// The analysis on 1, 2, 3 threads and on every core (0) gives the same
// bytes, from a file and from a pipe of unknown length; the record lists
// .f0labels last, and within a frame every claimed unit carries the label
// of one of the frame's two track slots.
TEST(Run, EveryThreadCountGivesTheSameResultSet) {
    TempDir in, out;
    const auto pcm = two_voices(16000, 2.3);
    const auto wav = testutil::wav_bytes(pcm, 16000);
    testutil::write_file(in.file("utt.wav"), wav);
    std::map<std::string, testutil::Bytes> reference;
    for (const char* threads : {"1", "2", "3", "0"}) {
        for (const bool piped : {false, true}) {
            const std::string name = std::string(piped ? "piped" : "file") + threads;
            const auto r = piped ? run_corlune({"-t", threads, "--name", name, "-", out.path().string()},
                                               {wav, "", 0})
                                 : run_corlune({"--threads", threads, "--name", name, in.file("utt.wav"),
                                                out.path().string()});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            auto set = results(out.file(name));
            set[".record"] = testutil::read_file(out.file(name + ".record"));
            if (reference.empty()) reference = set;
            EXPECT_EQ(set, reference) << name;
        }
    }
    const std::string record(reference[".record"].begin(), reference[".record"].end());
    EXPECT_NE(record.find("\n.mask 29440 "), std::string::npos) << record;
    EXPECT_NE(record.find("\n.f0labels 920 "), std::string::npos) << record;
    EXPECT_LT(record.find("\n.mask "), record.find("\n.f0labels "));

    const auto& groups = reference[".groups"];
    const auto& slots = reference[".f0labels"];
    int claimed = 0;
    for (size_t f = 0; f < 230; ++f) {
        const int16_t* g = reinterpret_cast<const int16_t*>(groups.data()) + 32 * f;
        const int16_t* s = reinterpret_cast<const int16_t*>(slots.data()) + 2 * f;
        for (int c = 0; c < 32; ++c) {
            if (g[c] == 0) continue;
            ++claimed;
            EXPECT_TRUE(g[c] == s[0] || g[c] == s[1]) << "frame " << f << " channel " << c;
        }
    }
    EXPECT_GT(claimed, 1000);
}

// --tracker=joint gives the same bytes on one and two threads, from a file
// and from a pipe; its tracks differ from the rule tracker's, and within a
// frame every claimed unit still carries one of the frame's track labels.
// --tracker=rule is the default, byte for byte.
TEST(Run, JointTrackerGivesTheSameResultSetOnEveryThreadCount) {
    TempDir in, out;
    const auto wav = testutil::wav_bytes(two_voices(16000, 2.3), 16000);
    testutil::write_file(in.file("utt.wav"), wav);
    std::map<std::string, testutil::Bytes> reference;
    for (const char* threads : {"1", "2"}) {
        for (const bool piped : {false, true}) {
            const std::string name = std::string(piped ? "piped" : "file") + threads;
            const std::vector<std::string> args = {"--tracker=joint", "-t", threads, "--name", name,
                                                   piped ? "-" : in.file("utt.wav"),
                                                   out.path().string()};
            const auto r = piped ? run_corlune(args, {wav, "", 0}) : run_corlune(args);
            ASSERT_EQ(r.status, 0) << r.err;
            const auto set = results(out.file(name));
            if (reference.empty()) reference = set;
            EXPECT_EQ(set, reference) << name;
        }
    }
    ASSERT_EQ(run_corlune({"--name=default", in.file("utt.wav"), out.path().string()}).status, 0);
    ASSERT_EQ(run_corlune({"--tracker", "rule", "--name=rule", in.file("utt.wav"), out.path().string()})
                  .status,
              0);
    const auto rule = results(out.file("rule"));
    EXPECT_EQ(rule, results(out.file("default")));
    EXPECT_NE(rule.at(".f0tracks"), reference.at(".f0tracks"));
    EXPECT_EQ(rule.at(".f0cands"), reference.at(".f0cands"));

    const auto* groups = reinterpret_cast<const int16_t*>(reference[".groups"].data());
    const auto* slots = reinterpret_cast<const int16_t*>(reference[".f0labels"].data());
    for (size_t f = 0; f < 230; ++f) {
        for (int c = 0; c < 32; ++c) {
            const int16_t g = groups[32 * f + c];
            EXPECT_TRUE(g == 0 || g == slots[2 * f] || g == slots[2 * f + 1]) << f << " " << c;
        }
    }
}

namespace {

// Runs corlune with its standard error (and output) on a pseudo-terminal;
// returns what it wrote there and its exit status.
std::pair<std::string, int> run_on_terminal(const std::vector<std::string>& args) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        std::vector<char*> argv{const_cast<char*>(CORLUNE_EXE)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(CORLUNE_EXE, argv.data());
        _exit(127);
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) text.append(buf, n);  // EIO at the end
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

// On a terminal, a progress line is drawn in place and erased at the end;
// with --quiet nothing is; a pipe's unknown length shows seconds instead
// of a share. (Runs with standard error in a file print nothing: the other
// tests check that their standard error is empty.)
TEST(Run, ProgressLineOnATerminalOnly) {
    TempDir in, out;
    const auto wav = testutil::wav_bytes(two_voices(16000, 3.0), 16000);
    testutil::write_file(in.file("utt.wav"), wav);
    auto [text, status] = run_on_terminal({in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text.rfind("\rcorlune: ", 0), 0u) << text;
    EXPECT_NE(text.find(" % of 3.0 s of audio, "), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K") << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;

    std::tie(text, status) = run_on_terminal({"--quiet", in.file("utt.wav"), out.path().string()});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "");

    testutil::FifoWriter fifo(in.file("fifo"), wav);
    std::tie(text, status) = run_on_terminal({"--name=f", in.file("fifo"), out.path().string()});
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("s of audio, "), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K") << text;

    // A message after the progress line starts on a line of its own.
    testutil::write_file(in.file("bad.wav"), {'R', 'I', 'F', 'F'});
    std::tie(text, status) = run_on_terminal({in.file("bad.wav"), out.path().string()});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(text.rfind("Unable to read audio file", 0), 0u) << text;
}

TEST(ProgressText, ShareOrSecondsAndTheTimeElapsed) {
    EXPECT_EQ(ProgressLine::text(8000, 32000, 16000, 0.25),
              "corlune:  25 % of 2.0 s of audio, 0.2 s elapsed");
    EXPECT_EQ(ProgressLine::text(40000, 32000, 16000, 12.0),  // a header that claims too little
              "corlune: 100 % of 2.0 s of audio, 12.0 s elapsed");
    EXPECT_EQ(ProgressLine::text(24000, -1, 16000, 3.04), "corlune: 1.5 s of audio, 3.0 s elapsed");
}

TEST(MemoryLimit, TheLeastOfTheLimitsThatApply) {
    EXPECT_EQ(parse_cgroup_limit("max"), UINT64_MAX);
    EXPECT_EQ(parse_cgroup_limit("2147483648"), 2147483648u);
    EXPECT_EQ(parse_cgroup_limit("9223372036854771712"), UINT64_MAX);  // v1's "unlimited"
    EXPECT_EQ(parse_cgroup_limit(""), UINT64_MAX);
    EXPECT_EQ(parse_cgroup_limit("-1"), UINT64_MAX);

    const MemoryLimit free = memory_limit();
    EXPECT_GT(free.bytes, uint64_t{1} << 28);
    EXPECT_LE(free.bytes, static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE));
    if (testutil::sanitizer_build()) GTEST_SKIP() << "the sanitizer's shadow memory needs no data limit";
    const uint64_t cap = std::min<uint64_t>(free.bytes / 2, uint64_t{3} << 30);
    auto child = testutil::start_in_child([cap] {
        const rlimit r{cap, RLIM_INFINITY};
        if (setrlimit(RLIMIT_DATA, &r) != 0) return 2;
        const MemoryLimit m = memory_limit();
        return m.bytes == cap && std::string(m.source).find("ulimit -d") != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(child.wait().status, 0);
}

// --separate adds .voices and the three WAV files to the set, after the six
// files, which stay byte for byte those of a run without it; the set is the
// same on every thread count and from a pipe, and each WAV is a mono
// float file at the input's rate, as long as the input, NaN-free.
TEST(Run, SeparateAddsTheVoicesToTheResultSetAndChangesNothingElse) {
    TempDir in, out;
    const auto wav = testutil::wav_bytes(two_voices(16000, 2.3), 16000);
    testutil::write_file(in.file("utt.wav"), wav);
    ASSERT_EQ(run_corlune({"--name=plain", in.file("utt.wav"), out.path().string()}).status, 0);
    const char* const added[] = {".voices", ".voice1.wav", ".voice2.wav", ".rest.wav"};
    std::map<std::string, testutil::Bytes> reference;
    for (const char* threads : {"1", "3"}) {
        for (const bool piped : {false, true}) {
            const std::string name = std::string(piped ? "piped" : "file") + threads;
            const auto r = piped ? run_corlune({"--separate", "-t", threads, "--name", name, "-",
                                                out.path().string()},
                                               {wav, "", 0})
                                 : run_corlune({"--separate=fragments", "--threads", threads, "--name",
                                                name, in.file("utt.wav"), out.path().string()});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            auto set = results(out.file(name));
            EXPECT_EQ(set, results(out.file("plain"))) << name;
            for (const char* s : added) set[s] = testutil::read_file(out.file(name + s));
            set[".record"] = testutil::read_file(out.file(name + ".record"));
            if (reference.empty()) reference = set;
            EXPECT_EQ(set, reference) << name;
        }
    }
    const std::string record(reference[".record"].begin(), reference[".record"].end());
    size_t at = 0;
    for (const char* s : {".f0labels", ".voices", ".voice1.wav", ".voice2.wav", ".rest.wav"}) {
        const size_t next = record.find(std::string("\n") + s + " ");
        ASSERT_NE(next, std::string::npos) << s;
        EXPECT_GT(next, at) << s;
        at = next;
    }

    const auto& voices = reference[".voices"];
    const auto& groups = reference[".groups"];
    ASSERT_EQ(voices.size(), groups.size());
    int voiced[3] = {0, 0, 0};
    for (size_t i = 0; i < voices.size() / 2; ++i) {
        int16_t v, g;
        std::memcpy(&v, voices.data() + 2 * i, 2);
        std::memcpy(&g, groups.data() + 2 * i, 2);
        ASSERT_TRUE(v >= 0 && v <= 2) << i;
        EXPECT_TRUE(g != 0 || v == 0) << i;
        ++voiced[v];
    }
    EXPECT_GT(voiced[1], 500);
    EXPECT_GT(voiced[2], 500);
    for (const char* s : {".voice1.wav", ".voice2.wav", ".rest.wav"}) {
        SF_INFO info{};
        SNDFILE* f = sf_open(out.file(std::string("file1") + s).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << s;
        EXPECT_EQ(info.samplerate, 16000);
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(info.frames, 36800);
        std::vector<float> x(info.frames);
        EXPECT_EQ(sf_read_float(f, x.data(), info.frames), info.frames);
        sf_close(f);
        EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); })) << s;
    }
}

// --separate=pitch leaves the six files as they are and labels every unit
// the fragments labelled as they did, and more units besides.
TEST(Run, SeparateByPitchKeepsTheResultsAndTheFragmentsVoices) {
    TempDir in, out;
    testutil::write_file(in.file("utt.wav"), testutil::wav_bytes(two_voices(16000, 2.3), 16000));
    for (const char* mode : {"--separate=fragments", "--separate=pitch", "--quiet"}) {
        const auto r = run_corlune({mode, std::string("--name=") + (mode + 2), in.file("utt.wav"),
                                    out.path().string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(results(out.file("separate=pitch")), results(out.file("quiet")));
    const auto fragments = testutil::read_file(out.file("separate=fragments.voices"));
    const auto pitch = testutil::read_file(out.file("separate=pitch.voices"));
    ASSERT_EQ(fragments.size(), pitch.size());
    int more = 0;
    for (size_t i = 0; i < pitch.size(); i += 2) {
        if (fragments[i] != 0) {
            EXPECT_EQ(pitch[i], fragments[i]) << "unit " << i / 2;
        }
        more += fragments[i] == 0 && pitch[i] != 0;
    }
    EXPECT_GT(more, 0);
}
