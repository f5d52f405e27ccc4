#include "acgmodel.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <variant>

#include "geometry.h"
#include "matrixfile.h"
#include "vectors.h"

namespace {

using vec::f64x2;
using vec::f64x4;

// ERB-rate of a frequency in Hz.
double erb_rate(double f) { return 21.4 * std::log10(0.00437 * f + 1.0); }

// The lag values sqrt(v / divisor) where v > 0, else 0.0, for k = 0 .. n - 1
// as far as whole vectors go; returns the first k not done. The divider and
// the square-root unit limit this loop, and they handle four or eight lanes
// in about the time of two.
struct LagValues {
    static constexpr vec::Width kWidest = vec::Width::Avx512;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(const double* v, const double* divisor,
                                                 double* out, int n) {
        using V = vec::Doubles<W>;
        constexpr int lanes = vec::kLanes<V>;
        int k = 0;
        for (; k + lanes <= n; k += lanes) {
            V x, d;
            vec::load(x, v + k);
            vec::load(d, divisor + k);
            V q = x / d;
            q = x > V{} ? q : V{};
            vec::take_sqrt(q);
            vec::store(out + k, q);
        }
        return k;
    }
};

// The coefficients of one channel's gammatone filter.
struct GammatoneCoeffs {
    double c1, c2, c3, c4, c5, gain, cosw, sinw;
};

GammatoneCoeffs gammatone_coeffs(double cf, int fs) {
    const double tpt = 2.0 * M_PI / fs;
    const double erb = 24.7 * (0.00437 * cf + 1.0);
    const double a = erb * tpt * 1.019;
    const double q = std::exp(-a);
    const double w = tpt * cf;
    return {4.0 * q,         -6.0 * q * q,        4.0 * q * q * q, -q * q * q * q,
            4.0 * q * q,     a * a * a * a / 3.0, std::cos(w),     std::sin(w)};
}

// Gammatone filters of several channels over the same signal, one channel
// per lane of a vector V of doubles and two vectors interleaved: the
// recursion of one channel is a long chain of dependent operations, so
// running several side by side keeps the arithmetic units busy. Each lane
// repeats AcgModel::gammatone's operations in the same order; the state
// carries over between calls, so the signal can be filtered block by block.
template <typename V>
class GammatoneLanes {
public:
    static constexpr int kPerVector = sizeof(V) / sizeof(double);
    static constexpr int kLanes = 2 * kPerVector;

    // Channels beyond count repeat the last one; their output is discarded.
    GammatoneLanes(const double* cf, int count, int fs) {
        for (int lane = 0; lane < kLanes; ++lane) {
            const GammatoneCoeffs k = gammatone_coeffs(cf[std::min(lane, count - 1)], fs);
            State& p = states_[lane / kPerVector];
            const int i = lane % kPerVector;
            p.c1[i] = k.c1, p.c2[i] = k.c2, p.c3[i] = k.c3, p.c4[i] = k.c4, p.c5[i] = k.c5;
            p.gain[i] = k.gain, p.cosw[i] = k.cosw, p.sinw[i] = k.sinw;
            p.cs[i] = 1.0;
        }
    }

    // Filters n samples of x; out[lane][t] receives the rectified output.
    // (Inlined into a caller compiled for the vectors' instruction set.)
    [[gnu::always_inline]] inline void run(const double* x, size_t n, double* const* out) {
        State a = states_[0], b = states_[1];
        for (size_t t = 0; t < n; ++t) {
            V xt;
            vec::set_all(xt, x[t]);
            V y[2];
            a.step(xt, y[0]);
            b.step(xt, y[1]);
            for (int lane = 0; lane < kLanes; ++lane)
                out[lane][t] = y[lane / kPerVector][lane % kPerVector];
        }
        states_[0] = a;
        states_[1] = b;
    }

private:
    struct State {
        V c1{}, c2{}, c3{}, c4{}, c5{}, gain{}, cosw{}, sinw{};
        V p1r{}, p2r{}, p3r{}, p4r{}, p1i{}, p2i{}, p3i{}, p4i{};
        V cs{}, sn{};

        [[gnu::always_inline]] inline void step(const V& x, V& y) {
            V tiny;
            vec::set_all(tiny, 1e-200);
            V p0r = cs * x + c1 * p1r + c2 * p2r + c3 * p3r + c4 * p4r;
            V p0i = sn * x + c1 * p1i + c2 * p2i + c3 * p3i + c4 * p4i;
            // Lanes whose magnitude is below tiny become +0.0.
            V magR = p0r, magI = p0i;
            vec::clear_signs(magR);
            vec::clear_signs(magI);
            p0r = magR < tiny ? V{} : p0r;
            p0i = magI < tiny ? V{} : p0i;
            const V ur = p0r + c1 * p1r + c5 * p2r;
            const V ui = p0i + c1 * p1i + c5 * p2i;
            y = (ur * cs + ui * sn) * gain;
            y = y < V{} ? V{} : y;
            p4r = p3r, p3r = p2r, p2r = p1r, p1r = p0r;
            p4i = p3i, p3i = p2i, p2i = p1i, p1i = p0i;
            const V ncs = cs * cosw + sn * sinw;
            const V nsn = sn * cosw - cs * sinw;
            cs = ncs;
            sn = nsn;
        }
    };
    State states_[2];
};

// The gammatone filters of up to lanes() channels in the widest vectors the
// width allows: eight channels in AVX vectors, four in SSE2 vectors. The
// outputs are the same either way; eight run in little more than the time of
// four.
class ChannelBank {
public:
    static constexpr int kMaxLanes = 8;

    // The vector width a bank uses when width is allowed.
    static vec::Width width_for(vec::Width width) { return std::min(width, vec::Width::Avx); }
    // Channels of a bank of that width.
    static int lanes(vec::Width width) {
        return width_for(width) == vec::Width::Avx ? GammatoneLanes<f64x4>::kLanes
                                                   : GammatoneLanes<f64x2>::kLanes;
    }

    // count channels, at most lanes(width); the lanes beyond count are discarded.
    ChannelBank(const double* cf, int count, int fs, vec::Width width)
        : width_(width_for(width)), lanes_(make_lanes(cf, count, fs, width_)) {}

    // Filters n samples of x; out[lane][t], lane < lanes(width), receives the output.
    void run(const double* x, size_t n, double* const* out) {
        vec::dispatch<Filter>(width_, lanes_, x, n, out);
    }

private:
    using Lanes = std::variant<GammatoneLanes<f64x2>, GammatoneLanes<f64x4>>;
    static Lanes make_lanes(const double* cf, int count, int fs, vec::Width width) {
        if (width == vec::Width::Avx)
            return Lanes(std::in_place_type<GammatoneLanes<f64x4>>, cf, count, fs);
        return Lanes(std::in_place_type<GammatoneLanes<f64x2>>, cf, count, fs);
    }
    struct Filter {
        static constexpr vec::Width kWidest = vec::Width::Avx;
        template <vec::Width W>
        [[gnu::always_inline]] static inline void run(Lanes& lanes, const double* x, size_t n,
                                                      double* const* out) {
            std::get<GammatoneLanes<vec::Doubles<W>>>(lanes).run(x, n, out);
        }
    };
    vec::Width width_;
    Lanes lanes_;
};

// Empties a row and gives it room for exactly n values; the old storage is
// released first, so a recomputation never holds two copies.
void prepare_row(std::vector<double>& row, size_t n) {
    row.clear();
    if (row.capacity() == n) return;
    std::vector<double>().swap(row);
    row.reserve(n);
}

// Replaces a half-complex spectrum of length w by its power spectrum in place:
// bin m has its real part at m and its imaginary part at w - m.
void power_spectrum(double* s, int w) {
    s[0] = s[0] * s[0];
    const int last = (w + 1) / 2 - 1;
    int m = 1;
    for (; m + 1 <= last; m += 2) {  // bins m and m + 1
        f64x2 re;
        vec::load(re, s + m);
        const f64x2 im = f64x2{s[w - m], s[w - m - 1]};
        vec::store(s + m, f64x2(re * re + im * im));
        s[w - m] = 0.0;
        s[w - m - 1] = 0.0;
    }
    for (; m <= last; ++m) {
        s[m] = s[m] * s[m] + s[w - m] * s[w - m];
        s[w - m] = 0.0;
    }
    if (w % 2 == 0) s[w / 2] = s[w / 2] * s[w / 2];
}

// The per-frame autocorrelation: window, forward FFT, power spectrum,
// backward FFT, and the normalised square roots of the first nlags lags.
// The FFT arrays and plans are made once and serve every channel and frame.
class FrameAnalyser {
public:
    FrameAnalyser(int w, int nlags)
        : w_(w), nlags_(nlags), window_(AcgModel::window_hann(w)), divisor_(nlags),
          lags_(nlags) {
        time_ = static_cast<double*>(fftw_malloc(sizeof(double) * w));
        spec_ = static_cast<double*>(fftw_malloc(sizeof(double) * w));
        forward_ = fftw_plan_r2r_1d(w, time_, spec_, FFTW_R2HC, FFTW_ESTIMATE);
        backward_ = fftw_plan_r2r_1d(w, spec_, time_, FFTW_HC2R, FFTW_ESTIMATE);
        // W x (W - k), formed as an integer product (64-bit, so that no
        // window length overflows it) and converted to double.
        for (int k = 0; k < nlags; ++k)
            divisor_[k] = static_cast<double>(static_cast<int64_t>(w) * (w - k));
    }
    ~FrameAnalyser() {
        fftw_destroy_plan(forward_);
        fftw_destroy_plan(backward_);
        fftw_free(time_);
        fftw_free(spec_);
    }
    FrameAnalyser(const FrameAnalyser&) = delete;
    FrameAnalyser& operator=(const FrameAnalyser&) = delete;

    // Appends the nlags values of the frame that starts at frame[0].
    void analyse(const double* frame, std::vector<double>& row) {
        if (!window_frame(frame)) {
            // A frame of zeros transforms to zeros: every lag is stored as 0.0.
            row.insert(row.end(), static_cast<size_t>(nlags_), 0.0);
            return;
        }
        fftw_execute(forward_);
        power_spectrum(spec_, w_);
        fftw_execute(backward_);
        lag_values();
        row.insert(row.end(), lags_.begin(), lags_.end());
    }

private:
    // Fills the time array; false when every windowed value is zero.
    bool window_frame(const double* frame) {
        const double* h = window_.data();
        vec::Mask<f64x2> nonzero{};
        int k = 0;
        for (; k + 2 <= w_; k += 2) {
            f64x2 x, hk;
            vec::load(x, frame + k);
            vec::load(hk, h + k);
            const f64x2 t = x * hk;
            vec::store(time_ + k, t);
            nonzero |= t != f64x2{};
        }
        bool any = (nonzero[0] | nonzero[1]) != 0;
        for (; k < w_; ++k) {
            time_[k] = frame[k] * h[k];
            any |= time_[k] != 0.0;
        }
        return any;
    }

    // sqrt(v / (W x (W - k))) where the inverse transform v is positive, else 0.0.
    void lag_values() {
        int k = vec::dispatch<LagValues>(vec::active_width(), time_, divisor_.data(), lags_.data(),
                                         nlags_);
        for (; k < nlags_; ++k) {
            const double v = time_[k];
            lags_[k] = v > 0.0 ? std::sqrt(v / divisor_[k]) : 0.0;
        }
    }

    int w_;
    int nlags_;
    std::vector<double> window_;
    std::vector<double> divisor_;
    std::vector<double> lags_;
    double* time_ = nullptr;
    double* spec_ = nullptr;
    fftw_plan forward_ = nullptr;
    fftw_plan backward_ = nullptr;
};

// Filters the signal through up to ChannelBank::lanes(width) channels and
// appends each channel's frames to its row. The filter runs block by block
// into a buffer per channel that holds the W - S samples of overlap with the
// previous block (zeros before the signal starts) followed by the block's
// new samples, so no copy of the whole signal or of a whole filter output
// is kept.
void analyse_channels(const std::vector<double>& samples, int srate, const FrameGeometry& fr,
                      const double* cf, std::vector<double>* const* rows, int count,
                      FrameAnalyser& analyser, vec::Width width) {
    constexpr int kBlockFrames = 32;
    const int S = fr.shift, lead = fr.window - fr.shift;
    const int lanes = ChannelBank::lanes(width);
    const size_t capacity = static_cast<size_t>(lead) + static_cast<size_t>(kBlockFrames) * S;
    std::vector<double> buffer(lanes * capacity, 0.0);
    const std::vector<double> zeros(S, 0.0);
    double* out[ChannelBank::kMaxLanes];
    ChannelBank bank(cf, count, srate, width);

    for (int j0 = 0; j0 < fr.nframes; j0 += kBlockFrames) {
        const int nb = std::min(kBlockFrames, fr.nframes - j0);
        const size_t t0 = static_cast<size_t>(j0) * S, t1 = t0 + static_cast<size_t>(nb) * S;
        const size_t n = samples.size();
        const size_t real = t1 <= n ? t1 - t0 : (t0 < n ? n - t0 : 0);
        for (int lane = 0; lane < lanes; ++lane)
            out[lane] = buffer.data() + lane * capacity + lead;
        if (real > 0) bank.run(samples.data() + t0, real, out);
        // The padding at the end of the signal is shorter than one shift.
        for (int lane = 0; lane < lanes; ++lane) out[lane] += real;
        bank.run(zeros.data(), (t1 - t0) - real, out);

        for (int lane = 0; lane < count; ++lane) {
            double* buf = buffer.data() + lane * capacity;
            for (int j = 0; j < nb; ++j)
                analyser.analyse(buf + static_cast<size_t>(j) * S, *rows[lane]);
            std::memmove(buf, buf + static_cast<size_t>(nb) * S, sizeof(double) * lead);
        }
    }
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

FrameGeometry AcgModel::frames_of(size_t nsamples, int sr) const {
    return frame_geometry(sr, param.shift_ms, param.win_ms, nsamples);
}

double AcgModel::centre_frequency(int i) const {
    const double lo = erb_rate(param.lowcf);
    const double hi = erb_rate(param.highcf);
    const double step = param.nchans >= 2 ? (hi - lo) / (param.nchans - 1) : 0.0;
    return (std::pow(10.0, (lo + i * step) / 21.4) - 1.0) / 0.00437;
}

void AcgModel::gammatone(double cf, const double* x, unsigned long n, int fs, double* out) {
    const GammatoneCoeffs k = gammatone_coeffs(cf, fs);
    const double c1 = k.c1, c2 = k.c2, c3 = k.c3, c4 = k.c4, c5 = k.c5;
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
        const double y = (ur * cs + ui * sn) * k.gain;
        out[t] = y < 0.0 ? 0.0 : y;
        p4r = p3r; p3r = p2r; p2r = p1r; p1r = p0r;
        p4i = p3i; p3i = p2i; p2i = p1i; p1i = p0i;
        const double ncs = cs * k.cosw + sn * k.sinw;
        const double nsn = sn * k.cosw - cs * k.sinw;
        cs = ncs;
        sn = nsn;
    }
}

void AcgModel::gammatone_bank(const double* cf, int count, const double* x, unsigned long n,
                              int fs, double* const* out) {
    const vec::Width width = vec::active_width();
    const int bankLanes = ChannelBank::lanes(width);
    for (int c0 = 0; c0 < count; c0 += bankLanes) {
        const int lanes = std::min(bankLanes, count - c0);
        std::vector<double> discard(lanes < bankLanes ? n : 0);
        double* o[ChannelBank::kMaxLanes];
        for (int lane = 0; lane < bankLanes; ++lane)
            o[lane] = lane < lanes ? out[c0 + lane] : discard.data();
        ChannelBank(cf + c0, lanes, fs, width).run(x, n, o);
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
    const FrameGeometry fr = frames_of(samples.size(), srate);
    nframes = fr.nframes;
    nlags = fr.nlags;

    // Rows and centre frequencies follow the channel count even when the
    // parameters were changed without set_param.
    const int nchans = param.nchans > 0 ? param.nchans : 0;
    acg.resize(nchans);
    cfs.resize(nchans, 0.0);
    for (int c = 0; c < nchans; ++c) {
        cfs[c] = centre_frequency(c);
        prepare_row(acg[c], static_cast<size_t>(nframes) * nlags);
    }
    if (nframes <= 0) return;

    FrameAnalyser analyser(fr.window, nlags);
    const vec::Width width = vec::active_width();
    const int bankLanes = ChannelBank::lanes(width);
    for (int c0 = 0; c0 < nchans; c0 += bankLanes) {
        const int count = std::min(bankLanes, nchans - c0);
        std::vector<double>* rows[ChannelBank::kMaxLanes];
        for (int lane = 0; lane < count; ++lane) rows[lane] = &acg[c0 + lane];
        analyse_channels(samples, srate, fr, &cfs[c0], rows, count, analyser, width);
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
    MatrixFile out(filename, "Cannot open file: ");
    if (!out.is_open()) return false;
    const int32_t header[3] = {nlags, param.nchans, nframes};
    out.put_int32(header, 3);
    for (int j = 0; j < nframes; ++j)
        for (int c = 0; c < param.nchans; ++c)
            out.put_float32(acg[c].data() + static_cast<size_t>(j) * nlags, nlags);
    return out.close();
}
