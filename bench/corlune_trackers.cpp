// corlune_trackers: runs the analysis of a recording once and both pitch
// trackers on its candidates, for bench/evaluate_trackers.py. Prints one
// JSON line per input.
//
//   corlune_trackers [OPTIONS] MIX.wav [SOURCE1.wav SOURCE2.wav]
//       the candidates and, per tracker, the tracks, their labels, the
//       tracker's time and, with the two premixed sources, the separation
//       scores of the voice grouping (scoring.h) on that tracker's fragments
//   corlune_trackers [OPTIONS] --candidates FILE...
//       only the joint tracker, on candidate files (a line per frame, four
//       values in Hz, as the first form's "candidates" prints them)
//
// Options: --set NAME=VALUE sets one JointCosts field (columnReward0 ..
// columnReward3, ambiguityPenalty1, ambiguityPenalty2, switchOn, switchOff, jumpWeight, jumpFree, maxJump,
// coastCost, coastGrowth, maxCoast, closeSemitones, closeCost, octaveSemitones, octaveCost,
// cutJump, cutAfterCoast, cutGroupRun); --lag N the joint
// tracker's lag (0: full traceback); --both with --candidates also prints
// the full traceback's tracks.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "acgmodel.h"
#include "auxiliary.h"
#include "casagrouping.h"
#include "jointtracker.h"
#include "resynth.h"
#include "ruletracker.h"
#include "scoring.h"
#include "separate.h"

namespace {

using Clock = std::chrono::steady_clock;

bool set_cost(JointCosts& c, const std::string& name, double v) {
    const std::map<std::string, double*> fields = {
        {"columnReward0", &c.columnReward[0]}, {"columnReward1", &c.columnReward[1]},
        {"columnReward2", &c.columnReward[2]}, {"columnReward3", &c.columnReward[3]},
        {"ambiguityPenalty1", &c.ambiguityPenalty[0]}, {"ambiguityPenalty2", &c.ambiguityPenalty[1]},
        {"jumpFree", &c.jumpFree},             {"switchOn", &c.switchOn},
        {"switchOff", &c.switchOff},           {"jumpWeight", &c.jumpWeight},
        {"maxJump", &c.maxJump},               {"coastCost", &c.coastCost},
        {"coastGrowth", &c.coastGrowth},
        {"closeSemitones", &c.closeSemitones}, {"closeCost", &c.closeCost},
        {"octaveSemitones", &c.octaveSemitones}, {"octaveCost", &c.octaveCost},
        {"cutJump", &c.cutJump}};
    const std::map<std::string, int*> counts = {
        {"maxCoast", &c.maxCoast}, {"cutAfterCoast", &c.cutAfterCoast}, {"cutGroupRun", &c.cutGroupRun}};
    if (const auto n = counts.find(name); n != counts.end()) {
        *n->second = static_cast<int>(v);
        return true;
    }
    const auto it = fields.find(name);
    if (it == fields.end()) return false;
    *it->second = v;
    return true;
}

std::string num(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string json_pairs(const Matrix& m, int n, int cols) {
    std::ostringstream o;
    o << "[";
    for (int f = 0; f < n; ++f) {
        o << (f ? ",[" : "[");
        for (int k = 0; k < cols; ++k) o << (k ? "," : "") << num(m[f][k]);
        o << "]";
    }
    return o.str() + "]";
}

std::string json_labels(const IntMatrix& m, int n) {
    std::ostringstream o;
    o << "[";
    for (int f = 0; f < n; ++f) o << (f ? ",[" : "[") << m[f][0] << "," << m[f][1] << "]";
    return o.str() + "]";
}

std::string json_score(const VoiceScore v[2]) {
    std::ostringstream o;
    o << "{\"si_sdr_gain\":[" << num(v[0].sisdrGain) << "," << num(v[1].sisdrGain)
      << "],\"snr_gain\":[" << num(v[0].snrGain) << "," << num(v[1].snrGain) << "],\"hit_fa\":["
      << num(v[0].hitFa) << "," << num(v[1].hitFa) << "]}";
    std::string s = o.str();
    // JSON has no NaN or infinity.
    for (const char* bad : {"-nan", "nan", "-inf", "inf"})
        for (size_t p; (p = s.find(bad)) != std::string::npos;) s.replace(p, std::strlen(bad), "null");
    return s;
}

// The tracks of tracker on the grouping's candidates, and with sources the
// scores of the voices they make.
std::string run_tracker(CASAGrouping& g, PitchTracker& tracker, const std::vector<double>& mix,
                        const std::vector<double>* s1, const std::vector<double>* s2, int srate) {
    const int n = g.model.nframes;
    for (int f = 0; f < n; ++f) {
        std::fill(g.f0Labels[f].begin(), g.f0Labels[f].end(), 0);
        std::fill(g.f0Tracks[f].begin(), g.f0Tracks[f].end(), 0.0);
        std::fill(g.fragments[f].begin(), g.fragments[f].end(), 0);
        std::fill(g.mask[f].begin(), g.mask[f].end(), 0.0);
    }
    const auto t0 = Clock::now();
    tracker.track(g.f0Candidates, n, g.f0Labels, g.f0Tracks);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ostringstream o;
    o << "{\"seconds\":" << num(seconds) << ",\"f0\":" << json_pairs(g.f0Tracks, n, 2)
      << ",\"labels\":" << json_labels(g.f0Labels, n);
    if (s1) {
        g.form_fragments();
        VoiceAnalysis a;
        a.nframes = n;
        a.fragments = g.fragments;
        a.mask = g.mask;
        a.f0Labels = g.f0Labels;
        a.f0Tracks = g.f0Tracks;
        form_voices(a);
        // The scorer also scores the voices labelled by pitch; this tool
        // measures the trackers through the fragments' voices, so those
        // stand in for them.
        a.pitchLabels = a.voiceLabels;
        for (int v = 0; v < 3; ++v) a.pitchMasks[v] = a.masks[v];
        const SeparationScores s = score_separation(mix, *s1, *s2, srate, a);
        if (!s.error.empty()) {
            std::fprintf(stderr, "corlune_trackers: %s\n", s.error.c_str());
            std::exit(1);
        }
        o << ",\"voices\":" << json_score(s.voices) << ",\"ideal_grouping\":"
          << json_score(s.ideal) << ",\"ibm\":" << json_score(s.ibm);
    }
    return o.str() + "}";
}

std::vector<double> read_mono(const std::string& path, int& srate) {
    AudioWav w;
    if (w.read(path.c_str(), 'l') <= 0 || w.nchannels != 1) {
        std::fprintf(stderr, "corlune_trackers: cannot read a mono recording: %s\n", path.c_str());
        std::exit(1);
    }
    srate = w.srate;
    return w.samples;
}

int analyse(const std::vector<std::string>& files, const JointCosts& costs, int lag) {
    int srate = 0, r1 = 0, r2 = 0;
    const std::vector<double> mix = read_mono(files[0], srate);
    std::vector<double> s1, s2;
    if (files.size() == 3) {
        s1 = read_mono(files[1], r1);
        s2 = read_mono(files[2], r2);
    }
    AcgModel model(kDefaultAcgParam);
    model.compute(mix, srate);
    RuleTracker rule;
    JointTracker joint(costs, lag);
    CASAGrouping g(model, rule);
    g.spectral_integrate();
    const bool scored = files.size() == 3;
    const std::string ruleOut = run_tracker(g, rule, mix, scored ? &s1 : nullptr, &s2, srate);
    const std::string jointOut = run_tracker(g, joint, mix, scored ? &s1 : nullptr, &s2, srate);
    std::printf("{\"file\":\"%s\",\"srate\":%d,\"frames\":%d,\"candidates\":%s,\"rule\":%s,"
                "\"joint\":%s}\n",
                files[0].c_str(), srate, model.nframes,
                json_pairs(g.f0Candidates, model.nframes, 4).c_str(), ruleOut.c_str(),
                jointOut.c_str());
    return 0;
}

Matrix read_candidates(const std::string& path) {
    std::ifstream in(path);
    Matrix m;
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        std::vector<double> v(4, 0.0);
        for (double& x : v) row >> x;
        m.push_back(v);
    }
    if (!in.eof()) {
        std::fprintf(stderr, "corlune_trackers: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    return m;
}

std::string joint_tracks(const Matrix& c, const JointCosts& costs, int lag) {
    const int n = static_cast<int>(c.size());
    IntMatrix labels(n, std::vector<int>(2, 0));
    Matrix f0(n, std::vector<double>(2, 0.0));
    JointTracker(costs, lag).track(c, n, labels, f0);
    return "{\"f0\":" + json_pairs(f0, n, 2) + ",\"labels\":" + json_labels(labels, n) + "}";
}

int from_candidates(const std::vector<std::string>& files, const JointCosts& costs, int lag,
                    bool both) {
    for (const std::string& path : files) {
        const Matrix c = read_candidates(path);
        std::printf("{\"file\":\"%s\",\"joint\":%s", path.c_str(), joint_tracks(c, costs, lag).c_str());
        if (both) std::printf(",\"full\":%s", joint_tracks(c, costs, kFullTraceback).c_str());
        std::printf("}\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    JointCosts costs;
    int lag = kDefaultLag;
    bool candidates = false, both = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--set" && i + 1 < argc) {
            const std::string kv = argv[++i];
            const size_t eq = kv.find('=');
            if (eq == std::string::npos || !set_cost(costs, kv.substr(0, eq), std::atof(kv.c_str() + eq + 1))) {
                std::fprintf(stderr, "corlune_trackers: unknown cost %s\n", kv.c_str());
                return 2;
            }
        } else if (a == "--lag" && i + 1 < argc) {
            lag = std::atoi(argv[++i]);
            if (lag <= 0) lag = kFullTraceback;
        } else if (a == "--candidates") {
            candidates = true;
        } else if (a == "--both") {
            both = true;
        } else {
            files.push_back(a);
        }
    }
    if (candidates) return from_candidates(files, costs, lag, both);
    if (files.size() != 1 && files.size() != 3) {
        std::fprintf(stderr, "usage: corlune_trackers [--set NAME=VALUE] [--lag N] MIX [S1 S2]\n"
                             "       corlune_trackers [--set NAME=VALUE] [--lag N] [--both] "
                             "--candidates FILE...\n");
        return 2;
    }
    return analyse(files, costs, lag);
}
