// Benchmark of the resynthesis: how close a mask of ones comes to the input
// (the filterbank's own reconstruction error) and what the resynthesis
// costs.
//
//   resynth_bench [--seconds S] [--runs N] [--wav FILE]...
//
// Prints, for 8, 16 and 48 kHz, the summed response of the channels (a
// mask of ones over an impulse) within the band the gains were fitted on
// and outside it, and the SNR of a mask of ones on a generated speech-like
// signal (two harmonic voices under formant-like envelopes in syllables)
// and on each --wav file (mono, at its own rate). Then the time to
// resynthesise S seconds (default 60) at 16 kHz, one mask and three masks
// at once, as medians of N runs (default 5), as real-time factors, and the
// peak resident memory of the process.
#include <sys/resource.h>

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audioinput.h"
#include "geometry.h"
#include "resynth.h"

namespace {

// A speech-like signal: two harmonic voices with gliding F0s under
// three-formant envelopes with a -6 dB/octave tilt, in syllable-like bursts.
std::vector<double> speech_like(int srate, double seconds) {
    const size_t n = static_cast<size_t>(srate * seconds);
    std::vector<double> x(n, 0.0);
    const double formants[2][3][3] = {{{600, 90, 1.0}, {1100, 110, 0.6}, {2500, 160, 0.25}},
                                      {{450, 80, 1.0}, {2000, 130, 0.5}, {2900, 170, 0.3}}};
    const double f0a[2] = {105, 215}, f0b[2] = {135, 175}, rate[2] = {3.1, 2.3};
    for (int v = 0; v < 2; ++v) {
        double phase = 0;
        for (size_t t = 0; t < n; ++t) {
            const double time = static_cast<double>(t) / srate;
            const double f0 = f0a[v] + (f0b[v] - f0a[v]) * std::fmod(time, 2.0) / 2.0;
            phase += 2 * M_PI * f0 / srate;
            const double env = std::max(0.0, std::sin(2 * M_PI * rate[v] * time));
            if (env == 0.0) continue;
            double s = 0;
            for (int h = 1; h * f0 < std::min(7000.0, 0.45 * srate); ++h) {
                double g = 0;
                for (const auto& f : formants[v]) g += f[2] / (1 + std::pow((h * f0 - f[0]) / f[1], 2));
                s += g * 200.0 / std::max(h * f0, 200.0) * std::sin(h * phase);
            }
            x[t] += 0.1 * env * s;
        }
    }
    return x;
}

Matrix ones_for(size_t samples, int srate) {
    return Matrix(frame_geometry(srate, 10, 30, samples).nframes, std::vector<double>(32, 1.0));
}

double snr_db(const std::vector<double>& est, const std::vector<double>& ref) {
    double s = 0, e = 0;
    for (size_t i = 0; i < ref.size(); ++i) s += ref[i] * ref[i], e += (est[i] - ref[i]) * (est[i] - ref[i]);
    return 10 * std::log10(s / e);
}

// The channels' summed response under a mask of ones, dB: its extremes
// within lo .. hi Hz, and its largest value beyond 1.2 hi.
void response(int srate) {
    const ResynthesisPlan plan = plan_resynthesis(srate);
    const size_t n = static_cast<size_t>(srate);  // 1 s, impulse in the middle
    std::vector<double> x(n, 0.0);
    x[n / 2] = 1.0;
    const std::vector<double> y = resynthesize(x, srate, ones_for(n, srate)).outputs[0];
    std::vector<double> in(n);
    for (size_t t = 0; t < n; ++t) in[t] = y[(t + n / 2) % n];
    std::vector<fftw_complex> spectrum(n / 2 + 1);
    const fftw_plan p = fftw_plan_dft_r2c_1d(static_cast<int>(n), in.data(), spectrum.data(), FFTW_ESTIMATE);
    fftw_execute(p);
    fftw_destroy_plan(p);
    double lo = 1e9, hi = -1e9, beyond = -1e9, loHz = 0, hiHz = 0;
    for (size_t k = 0; k <= n / 2; ++k) {
        // Bins are 1 Hz apart (1 s of signal).
        const double f = static_cast<double>(k), db = 10 * std::log10(spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1] + 1e-30);
        if (f >= plan.fitLowHz && f <= plan.fitHighHz) {
            if (db < lo) lo = db, loHz = f;
            if (db > hi) hi = db, hiHz = f;
        }
        if (f > 1.2 * plan.fitHighHz) beyond = std::max(beyond, db);
    }
    std::printf("%6d Hz: response %.2f (at %.0f Hz) to %.2f dB (at %.0f Hz) over %.0f-%.0f Hz", srate,
                lo, loHz, hi, hiHz, plan.fitLowHz, plan.fitHighHz);
    if (beyond > -1e9) std::printf(", at most %.1f dB above %.0f Hz", beyond, 1.2 * plan.fitHighHz);
    std::printf("; lookahead %zu samples (%.0f ms)\n", plan.lookahead, 1000.0 * plan.lookahead / srate);
}

bool read_mono(const std::string& path, std::vector<double>& x, int& srate) {
    AudioInput in;
    if (!in.open(path) || in.format().channels != 1) {
        std::fprintf(stderr, "cannot read %s as mono: %s\n", path.c_str(), in.error().c_str());
        return false;
    }
    srate = in.format().srate;
    while (in.read(x, 65536, SignalChoice::one(0)) > 0) {}
    return !in.failed();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    int runs = 5;
    std::vector<std::string> wavs;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--wav") wavs.push_back(argv[i + 1]);
        else { std::fprintf(stderr, "unknown option %s\n", a.c_str()); return 2; }
    }
    std::printf("Summed response of the channels under a mask of ones:\n");
    for (int srate : {8000, 16000, 48000}) response(srate);
    std::printf("Mask of ones, SNR against the input:\n");
    for (int srate : {8000, 16000, 48000}) {
        const auto x = speech_like(srate, 5.0);
        std::printf("%6d Hz  generated speech-like, 5 s: %.2f dB\n", srate,
                    snr_db(resynthesize(x, srate, ones_for(x.size(), srate)).outputs[0], x));
    }
    for (const std::string& path : wavs) {
        std::vector<double> x;
        int srate = 0;
        if (!read_mono(path, x, srate)) return 1;
        const Resynthesis r = resynthesize(x, srate, ones_for(x.size(), srate));
        if (!r.error.empty()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), r.error.c_str());
            return 1;
        }
        std::printf("%6d Hz  %s: %.2f dB\n", srate, path.c_str(), snr_db(r.outputs[0], x));
    }

    const int srate = 16000;
    const auto x = speech_like(srate, seconds);
    const Matrix ones = ones_for(x.size(), srate);
    Matrix sparse = ones;
    for (size_t j = 0; j < sparse.size(); ++j)
        for (int c = 0; c < 32; ++c) sparse[j][c] = (j / 7 + c) % 3 == 0 ? 0.8 : 0.0;
    plan_resynthesis(srate);  // made once per process
    std::vector<double> one, three;
    for (int r = 0; r < runs; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        resynthesize(x, srate, ones);
        auto t1 = std::chrono::steady_clock::now();
        resynthesize_masks(x, srate, {&sparse, &ones, &sparse});
        auto t2 = std::chrono::steady_clock::now();
        one.push_back(std::chrono::duration<double>(t1 - t0).count());
        three.push_back(std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("Resynthesis of %.0f s at %d Hz, median of %d runs: one mask %.3f s (RTF %.4f), "
                "three masks %.3f s (RTF %.4f)\n",
                seconds, srate, runs, median(one), median(one) / seconds, median(three),
                median(three) / seconds);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("Peak resident memory: %.1f MiB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
