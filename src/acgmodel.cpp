#include "acgmodel.h"

#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

// ERB-rate of a frequency in Hz.
double erb_rate(double f) { return 21.4 * std::log10(0.00437 * f + 1.0); }

// Lengths in samples of a duration in ms: the int product divided in double,
// rounded half away from zero.
int ms_to_samples(int srate, int ms) {
    return static_cast<int>(std::round((srate * ms) / 1000.0));
}

// Two FFT arrays of W doubles and the forward/backward real-to-real plans
// between them, released together.
struct FftPair {
    int size;
    double* time = nullptr;
    double* spec = nullptr;
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;

    explicit FftPair(int w) : size(w) {
        time = static_cast<double*>(fftw_malloc(sizeof(double) * w));
        spec = static_cast<double*>(fftw_malloc(sizeof(double) * w));
        forward = fftw_plan_r2r_1d(w, time, spec, FFTW_R2HC, FFTW_ESTIMATE);
        backward = fftw_plan_r2r_1d(w, spec, time, FFTW_HC2R, FFTW_ESTIMATE);
    }
    ~FftPair() {
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
        fftw_free(time);
        fftw_free(spec);
    }
    FftPair(const FftPair&) = delete;
    FftPair& operator=(const FftPair&) = delete;
};

// Replaces a half-complex spectrum of length w by its power spectrum in place.
void power_spectrum(double* s, int w) {
    s[0] = s[0] * s[0];
    for (int m = 1; m <= (w + 1) / 2 - 1; ++m) {
        s[m] = s[m] * s[m] + s[w - m] * s[w - m];
        s[w - m] = 0.0;
    }
    if (w % 2 == 0) s[w / 2] = s[w / 2] * s[w / 2];
}

}  // namespace

AcgModel::AcgModel(const AcgParam& p)
    : param(p), acg(p.nchans > 0 ? p.nchans : 0), cfs(p.nchans > 0 ? p.nchans : 0, 0.0) {}

void AcgModel::set_param(const AcgParam& p) {
    if (p.nchans != param.nchans) {
        const size_t n = p.nchans > 0 ? static_cast<size_t>(p.nchans) : 0;
        acg.resize(n);
        cfs.resize(n, 0.0);
    }
    param = p;
}

double AcgModel::centre_frequency(int i) const {
    const double lo = erb_rate(param.lowcf);
    const double hi = erb_rate(param.highcf);
    const double step = param.nchans >= 2 ? (hi - lo) / (param.nchans - 1) : 0.0;
    return (std::pow(10.0, (lo + i * step) / 21.4) - 1.0) / 0.00437;
}

void AcgModel::gammatone(double cf, const double* x, unsigned long n, int fs, double* out) {
    const double tpt = 2.0 * M_PI / fs;
    const double erb = 24.7 * (0.00437 * cf + 1.0);
    const double a = erb * tpt * 1.019;
    const double q = std::exp(-a);
    const double gain = a * a * a * a / 3.0;
    const double c1 = 4.0 * q;
    const double c2 = -6.0 * q * q;
    const double c3 = 4.0 * q * q * q;
    const double c4 = -q * q * q * q;
    const double c5 = 4.0 * q * q;
    const double w = tpt * cf;
    const double cosw = std::cos(w), sinw = std::sin(w);

    double p1r = 0, p2r = 0, p3r = 0, p4r = 0;
    double p1i = 0, p2i = 0, p3i = 0, p4i = 0;
    double cs = 1.0, sn = 0.0;
    for (unsigned long t = 0; t < n; ++t) {
        // Shift down to 0 Hz and run the fourth-order recursion.
        double p0r = cs * x[t] + c1 * p1r + c2 * p2r + c3 * p3r + c4 * p4r;
        double p0i = sn * x[t] + c1 * p1i + c2 * p2i + c3 * p3i + c4 * p4i;
        // Keep the recursion out of subnormal numbers when the input falls silent.
        if (std::fabs(p0r) < 1e-200) p0r = 0.0;
        if (std::fabs(p0i) < 1e-200) p0i = 0.0;
        const double ur = p0r + c1 * p1r + c5 * p2r;
        const double ui = p0i + c1 * p1i + c5 * p2i;
        // Shift back up, keep the real part, rectify.
        const double y = (ur * cs + ui * sn) * gain;
        out[t] = y < 0.0 ? 0.0 : y;
        p4r = p3r; p3r = p2r; p2r = p1r; p1r = p0r;
        p4i = p3i; p3i = p2i; p2i = p1i; p1i = p0i;
        const double ncs = cs * cosw + sn * sinw;
        const double nsn = sn * cosw - cs * sinw;
        cs = ncs;
        sn = nsn;
    }
}

std::vector<double> AcgModel::window_hann(int n) {
    if (n <= 0) return {};
    std::vector<double> w(n);
    const int half = (n + 1) / 2;
    for (int k = 0; k < half; ++k) w[k] = 0.5 * (1.0 - std::cos(2.0 * M_PI * (k + 1) / (n + 1)));
    for (int k = half; k < n; ++k) w[k] = w[n - 1 - k];
    return w;
}

void AcgModel::compute(const std::vector<double>& samples, int sr) {
    srate = sr;
    const int S = ms_to_samples(srate, param.shift_ms);
    nframes = static_cast<int>(std::ceil(static_cast<double>(samples.size()) / S));
    const int W = ms_to_samples(srate, param.win_ms);
    nlags = W / 2;

    const int L = S * nframes;
    std::vector<double> signal(samples);
    signal.resize(L, 0.0);

    // The filter output is written after a zero lead of W - S samples, so that
    // frame j covers output samples (j + 1) * S - W .. (j + 1) * S - 1.
    std::vector<double> filtered(static_cast<size_t>(W - S) + L, 0.0);
    const std::vector<double> h = window_hann(W);
    FftPair fft(W);

    for (int c = 0; c < param.nchans; ++c) {
        cfs[c] = centre_frequency(c);
        gammatone(cfs[c], signal.data(), static_cast<unsigned long>(L), srate,
                  filtered.data() + (W - S));
        std::vector<double>& row = acg[c];
        row.clear();
        row.reserve(static_cast<size_t>(nframes) * nlags);
        for (int j = 0; j < nframes; ++j) {
            const double* frame = filtered.data() + static_cast<size_t>(j) * S;
            for (int k = 0; k < W; ++k) fft.time[k] = frame[k] * h[k];
            fftw_execute(fft.forward);
            power_spectrum(fft.spec, W);
            fftw_execute(fft.backward);
            for (int k = 0; k < nlags; ++k) {
                const double v = fft.time[k];
                row.push_back(v > 0.0 ? std::sqrt(v / static_cast<double>(W * (W - k))) : 0.0);
            }
        }
    }
}

bool AcgModel::output(const char* filename) const {
    const size_t need = static_cast<size_t>(nframes) * nlags;
    for (int c = 0; c < param.nchans; ++c) {
        if (static_cast<size_t>(c) >= acg.size() || acg[c].size() < need) {
            std::cerr << "Autocorrelogram not computed for " << param.nchans
                      << " channels, not written: " << filename << std::endl;
            return false;
        }
    }
    std::ofstream f(filename, std::ios::binary | std::ios::trunc);
    if (!f.is_open()) {
        std::cerr << "Cannot open file: " << filename << std::endl;
        return false;
    }
    const int32_t header[3] = {nlags, param.nchans, nframes};
    f.write(reinterpret_cast<const char*>(header), sizeof header);
    std::vector<float> frame(static_cast<size_t>(param.nchans) * nlags);
    for (int j = 0; j < nframes; ++j) {
        for (int c = 0; c < param.nchans; ++c)
            for (int k = 0; k < nlags; ++k)
                frame[static_cast<size_t>(c) * nlags + k] =
                    static_cast<float>(acg[c][static_cast<size_t>(j) * nlags + k]);
        f.write(reinterpret_cast<const char*>(frame.data()),
                static_cast<std::streamsize>(frame.size() * sizeof(float)));
    }
    f.close();
    if (f.fail()) {
        std::cerr << "Unable to write file: " << filename << std::endl;
        return false;
    }
    return true;
}
