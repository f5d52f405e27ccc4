// Sweeps the thresholds of the labelling by pitch over generated two-talker
// mixtures (bench/mixtures.py): each mixture is analysed once, then labelled
// and resynthesised under every rule of the grid, and each voice's SI-SDR
// gain over the mixture is printed as one JSON line per mixture and rule.
//
//     pitchrule_sweep [--agree 0.35,0.5,0.65] PREFIX...
//
// PREFIX.mix.wav, PREFIX.src1.wav and PREFIX.src2.wav are read. The first
// line of each mixture is the fragments' voices.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "audioinput.h"
#include "pitchlabels.h"
#include "resynth.h"
#include "scoring.h"
#include "separate.h"

namespace {

bool read_mono(const std::string& path, std::vector<double>& x, int& srate) {
    AudioInput in;
    if (!in.open(path) || in.format().channels != 1) return false;
    srate = in.format().srate;
    while (in.read(x, 65536, SignalChoice::one(0)) > 0) {}
    return !in.failed();
}

std::vector<double> parse_list(const char* s) {
    std::vector<double> v;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');) v.push_back(std::atof(item.c_str()));
    return v;
}

// Mean SI-SDR gain of two voices, each paired with the source of the
// pairing of larger summed correlation.
double mean_gain(const std::vector<double>& v1, const std::vector<double>& v2,
                 const std::vector<double>& mix, const std::vector<double>* src[2]) {
    const bool swap = correlation(v1, *src[1]) + correlation(v2, *src[0]) >
                      correlation(v1, *src[0]) + correlation(v2, *src[1]);
    const std::vector<double>* out[2] = {swap ? &v2 : &v1, swap ? &v1 : &v2};
    double g = 0;
    for (int k = 0; k < 2; ++k) g += si_sdr_db(*out[k], *src[k]) - si_sdr_db(mix, *src[k]);
    return g / 2;
}

void sweep(const std::string& prefix, const std::vector<double>& agrees) {
    std::vector<double> mix, s1, s2;
    int r0 = 0, r1 = 0, r2 = 0;
    if (!read_mono(prefix + ".mix.wav", mix, r0) || !read_mono(prefix + ".src1.wav", s1, r1) ||
        !read_mono(prefix + ".src2.wav", s2, r2)) {
        std::fprintf(stderr, "pitchrule_sweep: cannot read %s.*.wav\n", prefix.c_str());
        std::exit(1);
    }
    const std::vector<double>* src[2] = {&s1, &s2};
    const VoiceAnalysis a = analyse_voices(mix, r0);
    const Resynthesis frag = resynthesize_masks(mix, r0, {&a.masks[1], &a.masks[2]});
    std::printf("{\"prefix\":\"%s\",\"rule\":\"fragments\",\"gain\":%.4f}\n", prefix.c_str(),
                mean_gain(frag.outputs[0], frag.outputs[1], mix, src));
    for (double agree : agrees) {
        const IntMatrix labels = pitch_voice_labels(a.evidence, a.f0Labels, a.f0Tracks,
                                                    a.grouping, a.voiceLabels, agree);
        const Matrix ones = ones_like(labels);
        const Matrix m1 = voice_mask(labels, ones, 1), m2 = voice_mask(labels, ones, 2);
        const Resynthesis r = resynthesize_masks(mix, r0, {&m1, &m2});
        std::printf("{\"prefix\":\"%s\",\"rule\":\"pitch\",\"agree\":%g,\"gain\":%.4f}\n",
                    prefix.c_str(), agree, mean_gain(r.outputs[0], r.outputs[1], mix, src));
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> agree{kAgreement};
    int i = 1;
    if (argc > 2 && !std::strcmp(argv[1], "--agree")) agree = parse_list(argv[2]), i = 3;
    for (; i < argc; ++i) sweep(argv[i], agree);
    return 0;
}
