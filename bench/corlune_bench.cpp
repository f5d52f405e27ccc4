// Benchmark of corlune: per-stage times, the whole-process real-time factor,
// the peak resident memory and the memory per second of audio, as medians
// over several runs.
//
//   corlune_bench [--seconds S] [--rate HZ] [--runs N] [--wav FILE] [--save-wav FILE]
//                 [--threads N] [--exe PROGRAM] [--separate[=MODE]] [--tracker rule|joint]
//
// Without --wav it generates a two-voice mixture of S seconds (default 60) at
// HZ (default 16000); --save-wav keeps a copy of it (with --runs 0 the
// program stops there, which makes inputs for profiling). The stages are
// timed in-process on the program's own code, the streaming analysis on one
// thread: it reports where each stage begins through its timing hook
// (stagetimer.h), and the tracker and the writers are timed around their
// calls. The whole process is timed by running the corlune executable (or
// PROGRAM, such as an older build, for side-by-side runs) with --threads N
// when given: its wall time gives the real-time factor, and its user and
// system CPU times, which a busy machine disturbs less, are shown beside.
// Each run also analyses the input's first half, so that the difference of
// the two peaks gives the memory that a second of audio adds. With
// --separate the program separates the voices too, and the staged run
// keeps the samples and times the voices' files (.voices and the three
// resynthesised WAV files) as the stage "voices"; with --separate=pitch the
// staged run also keeps each frame's agreements with its candidates (part
// of the stage "best lags") and labels the units by pitch. --tracker
// chooses the tracker of the staged run and, passed on, of the program
// (default rule, and nothing passed); each run also times both trackers
// alone on the input's candidates.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "auxiliary.h"
#include "jointtracker.h"
#include "ruletracker.h"
#include "stagetimer.h"
#include "streamanalysis.h"
#include "voicefiles.h"
#include "trackers.h"

namespace {

using Clock = std::chrono::steady_clock;
// "best lags": each frame's reduction to its best lags near its candidates
// (the fragments' part of the analysis); "writing" forms the fragments and
// the mask from them while it writes.
const char* const kStages[] = {"filterbank", "autocorrelation", "frame tests", "dendrites",
                               "spines+assign", "candidates", "best lags", "tracker", "writing",
                               "voices"};

const char* stage_name(Stage s) {
    switch (s) {
        case Stage::Filterbank: return "filterbank";
        case Stage::Autocorrelation: return "autocorrelation";
        case Stage::FrameTests: return "frame tests";
        case Stage::Dendrites: return "dendrites";
        case Stage::Spines: return "spines+assign";
        case Stage::Candidates: return "candidates";
        case Stage::Tracker: return "tracker";
        case Stage::Fragments: return "best lags";
        case Stage::Idle: break;
    }
    return nullptr;
}

struct Options {
    double seconds = 60.0;
    int rate = 16000;
    int runs = 5;
    std::string wav;
    std::string save_wav;  // where to keep the generated input, if anywhere
    int threads = 0;       // --threads for the program; 0: not given
    std::string exe = CORLUNE_EXE;
    std::string tracker;   // --tracker for the staged run and the program; empty: not given
    std::string separate;  // --separate's mode for the program, and the voices' stage; "": none
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--separate" || a.rfind("--separate=", 0) == 0) {
            o.separate = a == "--separate" ? "fragments" : a.substr(std::strlen("--separate="));
            --i;
            continue;
        }
        if (i + 1 == argc) { std::fprintf(stderr, "option %s needs a value\n", a.c_str()); std::exit(2); }
        if (a == "--seconds") o.seconds = std::atof(argv[i + 1]);
        else if (a == "--rate") o.rate = std::atoi(argv[i + 1]);
        else if (a == "--runs") o.runs = std::atoi(argv[i + 1]);
        else if (a == "--wav") o.wav = argv[i + 1];
        else if (a == "--save-wav") o.save_wav = argv[i + 1];
        else if (a == "--threads") o.threads = std::atoi(argv[i + 1]);
        else if (a == "--exe") o.exe = argv[i + 1];
        else if (TrackerKind k; a == "--tracker" && tracker_kind(argv[i + 1], k)) o.tracker = argv[i + 1];
        else { std::fprintf(stderr, "unknown option %s\n", a.c_str()); std::exit(2); }
    }
    return o;
}

// Two gliding harmonic voices with syllable-like on/off contours.
std::vector<int16_t> two_voices(int rate, double seconds) {
    const size_t n = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> pcm(n);
    double pa = 0.0, pb = 0.0;
    for (size_t t = 0; t < n; ++t) {
        const double s = static_cast<double>(t) / rate;
        const double fa = 120.0 + 25.0 * std::sin(2.0 * M_PI * 0.31 * s);
        const double fb = 200.0 + 30.0 * std::sin(2.0 * M_PI * 0.23 * s + 1.0);
        pa += 2.0 * M_PI * fa / rate;
        pb += 2.0 * M_PI * fb / rate;
        const double ea = std::sin(2.0 * M_PI * 1.7 * s) > -0.3 ? 1.0 : 0.0;
        const double eb = std::sin(2.0 * M_PI * 1.3 * s + 0.5) > -0.2 ? 1.0 : 0.0;
        double v = 0.0;
        for (int h = 1; h <= 30; ++h) {
            if (h * fa < 0.45 * rate) v += ea * std::sin(h * pa) / h;
            if (h * fb < 0.45 * rate) v += 0.8 * eb * std::sin(h * pb) / h;
        }
        pcm[t] = static_cast<int16_t>(std::lround(v * 5000.0));
    }
    return pcm;
}

// A mono 16-bit PCM WAV of pcm at rate, written through libsndfile.
void write_wav(const std::string& path, const std::vector<int16_t>& pcm, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    const sf_count_t n = static_cast<sf_count_t>(pcm.size());
    if (!f || sf_write_short(f, pcm.data(), n) != n || sf_close(f) != 0) {
        std::cerr << "Unable to write file: " << path << std::endl;
        std::exit(1);
    }
}

// The first half of a signal read by AudioWav as 16-bit samples (the
// program's scale: v / 32768), for a WAV of the same format.
std::vector<int16_t> first_half_pcm16(const AudioWav& wav) {
    std::vector<int16_t> pcm(wav.samples.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(std::clamp(wav.samples[i] * 32768.0, -32768.0, 32767.0)));
    return pcm;
}

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU seconds this thread has used: a busy machine disturbs them less than
// the wall time.
double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

using StageTimes = std::map<std::string, double>;

// Adds the time from one stage's start to the next's to the stage.
class StageClock : public StageTimer {
public:
    explicit StageClock(StageTimes& times) : times_(times) {}
    void begin(Stage s) override {
        const Clock::time_point now = Clock::now();
        if (const char* name = stage_name(current_))
            times_[name] += std::chrono::duration<double>(now - since_).count();
        current_ = s;
        since_ = now;
    }

private:
    StageTimes& times_;
    Stage current_ = Stage::Idle;
    Clock::time_point since_;
};

// The time of one tracker call on candidates, seconds.
double time_tracker(PitchTracker& tracker, const Matrix& candidates) {
    const int n = static_cast<int>(candidates.size());
    IntMatrix labels(n, std::vector<int>(2, 0));
    Matrix tracks(n, std::vector<double>(2, 0.0));
    const auto t0 = Clock::now();
    tracker.track(candidates, n, labels, tracks);
    return since(t0);
}

// The most frames the joint search holds at once over candidates.
int joint_held_peak(const Matrix& candidates) {
    JointSearch search;
    std::vector<JointStep> steps;
    int peak = 0;
    for (const std::vector<double>& row : candidates) {
        search.push(row.data());
        peak = std::max(peak, search.held());
        search.take(steps);
        steps.clear();
    }
    return peak;
}

// The staged run with the tracker kind; candidates receives the input's.
StageTimes staged_run(const AudioWav& wav, const std::string& outdir, const std::string& mode,
                      TrackerKind kind, Matrix& candidates) {
    constexpr size_t kPiece = 65536;  // samples per push, as the program reads them
    StageTimes t;
    StageClock clock(t);
    StreamAnalysis stream(wav.srate, 1, &clock);
    const bool separate = !mode.empty(), byPitch = mode == "pitch";
    if (byPitch) stream.keep_pitch_evidence();
    VoiceFiles voices(wav.srate, byPitch);
    for (size_t at = 0; at < wav.samples.size(); at += kPiece) {
        const size_t n = std::min(kPiece, wav.samples.size() - at);
        stream.push(wav.samples.data() + at, n);
        if (separate) voices.keep(wav.samples.data() + at, n);
    }
    stream.finish();

    auto t0 = Clock::now();
    const std::unique_ptr<PitchTracker> tracker = make_tracker(kind);
    FrameResults& g = stream.results();
    g.track(*tracker);
    t["tracker"] = since(t0);
    t0 = Clock::now();
    const std::string p = outdir + "/bench";
    g.write_frmSegments((p + ".frmseg").c_str());
    g.write_f0Candidates((p + ".f0cands").c_str());
    g.write_f0Tracks((p + ".f0tracks").c_str());
    g.write_fragments((p + ".groups").c_str());
    g.write_mask((p + ".mask").c_str());
    g.write_f0Labels((p + ".f0labels").c_str());
    t["writing"] = since(t0);
    candidates = g.f0_candidates();
    if (!separate) return t;
    t0 = Clock::now();
    const double cpu0 = thread_cpu_seconds();
    voices.group(g);
    voices.write_labels((p + ".voices").c_str());
    const std::string wavs[] = {p + ".voice1.wav", p + ".voice2.wav", p + ".rest.wav"};
    std::size_t failed = 0;
    voices.write_signals({wavs[0].c_str(), wavs[1].c_str(), wavs[2].c_str()}, failed);
    t["voices"] = since(t0);
    t["voices CPU"] = thread_cpu_seconds() - cpu0;
    return t;
}

struct ProcessRun {
    double wall;  // seconds
    double user;  // CPU seconds in user mode
    double sys;   // CPU seconds in the kernel
    long rss;     // peak resident set, KiB
};

double seconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec * 1e-6; }

// Runs the executable once and measures it.
ProcessRun whole_process(const Options& o, const std::string& wav, const std::string& outdir) {
    const std::string threads = "--threads=" + std::to_string(o.threads);
    const std::string separate = "--separate=" + o.separate;
    const std::string tracker = "--tracker=" + o.tracker;
    std::vector<const char*> argv = {o.exe.c_str()};
    if (o.threads > 0) argv.push_back(threads.c_str());
    if (!o.separate.empty()) argv.push_back(separate.c_str());
    if (!o.tracker.empty()) argv.push_back(tracker.c_str());
    argv.insert(argv.end(), {wav.c_str(), outdir.c_str(), nullptr});
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(o.exe.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    const double secs = since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "corlune failed on %s\n", wav.c_str());
        std::exit(1);
    }
    return {secs, seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss};
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    char dir[] = "/tmp/corlune-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string wavpath = o.wav;
    if (wavpath.empty()) {
        wavpath = std::string(dir) + "/input.wav";
        write_wav(wavpath, two_voices(o.rate, o.seconds), o.rate);
    }
    if (!o.save_wav.empty() && o.wav.empty())
        std::filesystem::copy_file(wavpath, o.save_wav,
                                   std::filesystem::copy_options::overwrite_existing);
    if (o.runs <= 0) {
        std::filesystem::remove_all(dir);
        return 0;
    }
    AudioWav wav;
    if (wav.read(wavpath.c_str(), 'l') <= 0) return 1;
    const double duration = static_cast<double>(wav.samples.size()) / wav.srate;
    // The first half of the input, for the memory per second of audio.
    const std::string halfpath = std::string(dir) + "/half.wav";
    write_wav(halfpath, first_half_pcm16(wav), wav.srate);
    const double halfDuration = static_cast<double>(wav.samples.size() / 2) / wav.srate;

    std::map<std::string, std::vector<double>> stages;
    std::vector<double> wall, user, sys, rss, halfRss, alone[2];
    TrackerKind kind = kDefaultTracker;
    if (!o.tracker.empty()) tracker_kind(o.tracker, kind);
    Matrix candidates;
    for (int r = 0; r < o.runs; ++r) {
        for (const auto& [name, secs] : staged_run(wav, dir, o.separate, kind, candidates))
            stages[name].push_back(secs);
        RuleTracker rule;
        JointTracker joint;
        alone[0].push_back(time_tracker(rule, candidates));
        alone[1].push_back(time_tracker(joint, candidates));
        const ProcessRun run = whole_process(o, wavpath, dir);
        wall.push_back(run.wall);
        user.push_back(run.user);
        sys.push_back(run.sys);
        rss.push_back(static_cast<double>(run.rss));
        halfRss.push_back(static_cast<double>(whole_process(o, halfpath, dir).rss));
    }

    std::printf("input: %.2f s at %d Hz, %d runs (medians), %s tracker\n", duration, wav.srate,
                o.runs, tracker_name(kind));
    std::printf("program: %s%s%s%s\n", o.exe.c_str(),
                o.threads > 0 ? (" --threads=" + std::to_string(o.threads)).c_str() : "",
                o.separate.empty() ? "" : (" --separate=" + o.separate).c_str(),
                o.tracker.empty() ? "" : (" --tracker=" + o.tracker).c_str());
    double staged = 0.0;
    for (const char* name : kStages) {
        if (!stages.count(name)) continue;
        const double m = median(stages[name]);
        staged += m;
        std::printf("  %-16s %9.4f s  RTF %.5f\n", name, m, m / duration);
    }
    std::printf("  %-16s %9.4f s\n", "sum of stages", staged);
    if (!o.separate.empty())
        std::printf("  voices' CPU time %.4f s, RTF %.5f\n", median(stages["voices CPU"]),
                    median(stages["voices CPU"]) / duration);
    const double total = median(wall);
    const double peak = median(rss) / 1024.0;
    std::printf("whole process: %.4f s, RTF %.5f (CPU: user %.4f s, system %.4f s)\n", total,
                total / duration, median(user), median(sys));
    const double halfPeak = median(halfRss) / 1024.0;
    std::printf("peak RSS %.1f MiB (%.1f MiB for the first half, %.2f s)\n", peak, halfPeak,
                halfDuration);
    std::printf("memory per second of audio: %.4f MB/s\n",
                (peak - halfPeak) * 1.048576 / (duration - halfDuration));
    std::printf("trackers alone on the %zu frames' candidates: rule %.5f s (RTF %.6f), joint "
                "%.5f s (RTF %.6f), joint search held at most %d frames\n",
                candidates.size(), median(alone[0]), median(alone[0]) / duration,
                median(alone[1]), median(alone[1]) / duration, joint_held_peak(candidates));
    std::filesystem::remove_all(dir);
    return 0;
}
