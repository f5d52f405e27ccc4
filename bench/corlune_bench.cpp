// Benchmark of corlune: per-stage times, the whole-process real-time factor
// and the peak resident memory, as medians over several runs.
//
//   corlune_bench [--seconds S] [--rate HZ] [--runs N] [--wav FILE] [--save-wav FILE]
//                 [--tracker rule|joint]
//
// Without --wav it generates a two-voice mixture of S seconds (default 60) at
// HZ (default 16000); --save-wav keeps a copy of it (with --runs 0 the
// program stops there, which makes inputs for profiling). The stages are
// timed in-process on the program's own code: the model and the grouping
// report where each stage begins through their timing hook (stagetimer.h),
// and the writers are timed around their calls. The whole process is timed
// by running the corlune executable: its wall time gives the real-time
// factor, and its user and system CPU times, which a busy machine disturbs
// less, are shown beside.
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
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "acgmodel.h"
#include "auxiliary.h"
#include "casagrouping.h"
#include "jointtracker.h"
#include "ruletracker.h"
#include "stagetimer.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* const kStages[] = {"filterbank", "autocorrelation", "frame tests", "dendrites",
                               "spines+assign", "candidates", "tracker", "fragments", "writing"};

const char* stage_name(Stage s) {
    switch (s) {
        case Stage::Filterbank: return "filterbank";
        case Stage::Autocorrelation: return "autocorrelation";
        case Stage::FrameTests: return "frame tests";
        case Stage::Dendrites: return "dendrites";
        case Stage::Spines: return "spines+assign";
        case Stage::Candidates: return "candidates";
        case Stage::Tracker: return "tracker";
        case Stage::Fragments: return "fragments";
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
    std::string tracker = "rule";
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") o.seconds = std::atof(argv[i + 1]);
        else if (a == "--rate") o.rate = std::atoi(argv[i + 1]);
        else if (a == "--runs") o.runs = std::atoi(argv[i + 1]);
        else if (a == "--wav") o.wav = argv[i + 1];
        else if (a == "--save-wav") o.save_wav = argv[i + 1];
        else if (a == "--tracker" && (std::string(argv[i + 1]) == "rule" ||
                                      std::string(argv[i + 1]) == "joint")) o.tracker = argv[i + 1];
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

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
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
double time_tracker(PitchTracker& tracker, const Matrix& candidates, int nframes) {
    IntMatrix labels(nframes, std::vector<int>(2, 0));
    Matrix tracks(nframes, std::vector<double>(2, 0.0));
    const auto t0 = Clock::now();
    tracker.track(candidates, nframes, labels, tracks);
    return since(t0);
}

// The most frames the joint search holds at once over candidates.
int joint_held_peak(const Matrix& candidates, int nframes) {
    JointSearch search;
    std::vector<JointStep> steps;
    int peak = 0;
    for (int f = 0; f < nframes; ++f) {
        search.push(candidates[f].data());
        peak = std::max(peak, search.held());
        search.take(steps);
        steps.clear();
    }
    return peak;
}

StageTimes staged_run(const AudioWav& wav, const std::string& outdir, const std::string& which,
                      Matrix& candidates) {
    StageTimes t;
    StageClock clock(t);
    AcgModel model;
    model.compute(wav.samples, wav.srate, &clock);
    RuleTracker rule;
    JointTracker joint;
    CASAGrouping g(model, which == "joint" ? static_cast<PitchTracker&>(joint) : rule);
    g.set_stage_timer(&clock);
    g.generate_fragments(nullptr);
    candidates = g.f0Candidates;

    const auto t0 = Clock::now();
    const std::string p = outdir + "/bench";
    g.write_frmSegments((p + ".frmseg").c_str());
    g.write_f0Candidates((p + ".f0cands").c_str());
    g.write_f0Tracks((p + ".f0tracks").c_str());
    g.write_fragments((p + ".groups").c_str());
    g.write_mask((p + ".mask").c_str());
    t["writing"] = since(t0);
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
ProcessRun whole_process(const std::string& wav, const std::string& outdir) {
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(CORLUNE_EXE, CORLUNE_EXE, wav.c_str(), outdir.c_str(), static_cast<char*>(nullptr));
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

    std::map<std::string, std::vector<double>> stages;
    std::vector<double> wall, user, sys, rss, alone[2];
    Matrix candidates;
    for (int r = 0; r < o.runs; ++r) {
        for (const auto& [name, secs] : staged_run(wav, dir, o.tracker, candidates))
            stages[name].push_back(secs);
        const int n = static_cast<int>(candidates.size());
        RuleTracker rule;
        JointTracker joint;
        alone[0].push_back(time_tracker(rule, candidates, n));
        alone[1].push_back(time_tracker(joint, candidates, n));
        const ProcessRun run = whole_process(wavpath, dir);
        wall.push_back(run.wall);
        user.push_back(run.user);
        sys.push_back(run.sys);
        rss.push_back(static_cast<double>(run.rss));
    }

    const AcgModel dims;
    const FrameGeometry fr = dims.frames_of(wav.samples.size(), wav.srate);
    const double acg_mib =
        static_cast<double>(dims.param.nchans) * fr.nframes * fr.nlags * 8.0 / 1048576.0;
    std::printf("input: %.2f s at %d Hz, %d runs (medians), %s tracker\n", duration, wav.srate,
                o.runs, o.tracker.c_str());
    double staged = 0.0;
    for (const char* name : kStages) {
        const double m = median(stages[name]);
        staged += m;
        std::printf("  %-16s %9.4f s\n", name, m);
    }
    std::printf("  %-16s %9.4f s\n", "sum of stages", staged);
    const double total = median(wall);
    const double peak = median(rss) / 1024.0;
    std::printf("whole process: %.4f s, RTF %.5f (CPU: user %.4f s, system %.4f s)\n", total,
                total / duration, median(user), median(sys));
    std::printf("peak RSS %.1f MiB = %.3f x the autocorrelogram (%.1f MiB)\n", peak,
                peak / acg_mib, acg_mib);
    const int nframes = static_cast<int>(candidates.size());
    std::printf("trackers alone on the %d frames' candidates: rule %.5f s (RTF %.6f), joint "
                "%.5f s (RTF %.6f), joint search held at most %d frames\n",
                nframes, median(alone[0]), median(alone[0]) / duration, median(alone[1]),
                median(alone[1]) / duration, joint_held_peak(candidates, nframes));
    std::filesystem::remove_all(dir);
    return 0;
}
