#include "gammatone.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

namespace {

using vec::f64x2;
using vec::f64x4;

// Recursion values of smaller magnitude become 0.0, which keeps the
// recursion out of subnormal numbers when the input falls silent.
constexpr double kFlushBelow = 1e-200;

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
// repeats gammatone_filter's operations in the same order; the state
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

    // Filters n samples of the input; out[lane][t] receives the output,
    // half-wave rectified when kRectify. Input is OneSignal (every lane
    // filters the same signal) or SignalPerLane. (Inlined into a caller
    // compiled for the vectors' instruction set.)
    template <bool kRectify, typename Input>
    [[gnu::always_inline]] inline void run(const Input& input, size_t n, double* const* out) {
        State a = states_[0], b = states_[1];
        for (size_t t = 0; t < n; ++t) {
            V xa, xb;
            input.load(t, xa, xb);
            V y[2];
            a.step(xa, y[0]);
            b.step(xb, y[1]);
            if constexpr (kRectify) {
                y[0] = y[0] < V{} ? V{} : y[0];
                y[1] = y[1] < V{} ? V{} : y[1];
            }
            for (int lane = 0; lane < kLanes; ++lane)
                out[lane][t] = y[lane / kPerVector][lane % kPerVector];
        }
        states_[0] = a;
        states_[1] = b;
    }

    // One signal x into every lane.
    struct OneSignal {
        const double* x;
        [[gnu::always_inline]] inline void load(size_t t, V& a, V& b) const {
            vec::set_all(a, x[t]);
            b = a;
        }
    };
    // Lane i filters x[i].
    struct SignalPerLane {
        const double* const* x;
        [[gnu::always_inline]] inline void load(size_t t, V& a, V& b) const {
            for (int i = 0; i < kPerVector; ++i) {
                a[i] = x[i][t];
                b[i] = x[kPerVector + i][t];
            }
        }
    };

private:
    struct alignas(vec::kAlign) State {
        V c1{}, c2{}, c3{}, c4{}, c5{}, gain{}, cosw{}, sinw{};
        V p1r{}, p2r{}, p3r{}, p4r{}, p1i{}, p2i{}, p3i{}, p4i{};
        V cs{}, sn{};

        // One sample: y receives the filter's output before rectification.
        [[gnu::always_inline]] inline void step(const V& x, V& y) {
            V tiny;
            vec::set_all(tiny, kFlushBelow);
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

}  // namespace

// The gammatone filters of up to lanes(width) channels: eight channels in
// AVX vectors, four in SSE2 vectors. The outputs are the same either way;
// eight run in little more than the time of four. (An AVX-512 bank of
// sixteen channels was measured and saved too little to keep.)
class Filterbank::Bank {
public:
    static vec::Width width_for(vec::Width width) { return std::min(width, vec::Width::Avx); }

    // count channels, at most lanes(width); the lanes beyond count repeat
    // the last channel and their output is discarded.
    Bank(const double* cf, int count, int fs, vec::Width width, bool rectify)
        : width_(width_for(width)), rectify_(rectify), lanes_(make_lanes(cf, count, fs, width_)) {}

    // Filters n samples of x in every lane; out[lane][t], lane <
    // lanes(width), receives the output.
    void run(const double* x, size_t n, double* const* out) {
        vec::dispatch<Filter<false>>(width_, lanes_, rectify_, x, n, out);
    }
    // The same with lane i filtering x[i].
    void run_each(const double* const* x, size_t n, double* const* out) {
        vec::dispatch<Filter<true>>(width_, lanes_, rectify_, x, n, out);
    }

private:
    using Lanes = std::variant<GammatoneLanes<f64x2>, GammatoneLanes<f64x4>>;
    static Lanes make_lanes(const double* cf, int count, int fs, vec::Width width) {
        if (width == vec::Width::Avx)
            return Lanes(std::in_place_type<GammatoneLanes<f64x4>>, cf, count, fs);
        return Lanes(std::in_place_type<GammatoneLanes<f64x2>>, cf, count, fs);
    }
    template <bool kPerLane>
    struct Filter {
        static constexpr vec::Width kWidest = vec::Width::Avx;
        template <vec::Width W, typename X>
        [[gnu::always_inline]] static inline void run(Lanes& lanes, bool rectify, X x, size_t n,
                                                      double* const* out) {
            using L = GammatoneLanes<vec::Doubles<W>>;
            using Input = std::conditional_t<kPerLane, typename L::SignalPerLane,
                                             typename L::OneSignal>;
            L& l = std::get<L>(lanes);
            if (rectify)
                l.template run<true>(Input{x}, n, out);
            else
                l.template run<false>(Input{x}, n, out);
        }
    };
    vec::Width width_;
    bool rectify_;
    Lanes lanes_;
};

int Filterbank::lanes(vec::Width width) {
    return Bank::width_for(width) == vec::Width::Avx ? GammatoneLanes<f64x4>::kLanes
                                                     : GammatoneLanes<f64x2>::kLanes;
}

Filterbank::Filterbank(const double* cf, int count, int srate, vec::Width width)
    : Filterbank(cf, count, srate, Output::Rectified, width) {}

Filterbank::Filterbank(const double* cf, int count, int srate, Output output, vec::Width width)
    : count_(count), lanes_(lanes(width)) {
    banks_.reserve(static_cast<size_t>((count + lanes_ - 1) / lanes_));
    for (int c0 = 0; c0 < count; c0 += lanes_)
        banks_.emplace_back(cf + c0, std::min(lanes_, count - c0), srate, width,
                            output == Output::Rectified);
}

Filterbank::~Filterbank() = default;

double* const* Filterbank::lane_outputs(int c0, double* const* out, size_t n, double** o) {
    if (count_ % lanes_ != 0 && discardSize_ < n) {
        discard_.reset(new double[n]);
        discardSize_ = n;
    }
    for (int lane = 0; lane < lanes_; ++lane)
        o[lane] = c0 + lane < count_ ? out[c0 + lane] : discard_.get();
    return o;
}

void Filterbank::filter(const double* x, size_t n, double* const* out) {
    double* o[kMaxLanes];
    for (int c0 = 0, b = 0; c0 < count_; c0 += lanes_, ++b)
        banks_[static_cast<size_t>(b)].run(x, n, lane_outputs(c0, out, n, o));
}

void Filterbank::filter_each(const double* const* x, size_t n, double* const* out) {
    double* o[kMaxLanes];
    const double* in[kMaxLanes];
    for (int c0 = 0, b = 0; c0 < count_; c0 += lanes_, ++b) {
        for (int lane = 0; lane < lanes_; ++lane) in[lane] = x[std::min(c0 + lane, count_ - 1)];
        banks_[static_cast<size_t>(b)].run_each(in, n, lane_outputs(c0, out, n, o));
    }
}

void gammatone_filter(double cf, const double* x, size_t n, int fs, double* out) {
    const GammatoneCoeffs k = gammatone_coeffs(cf, fs);
    const double c1 = k.c1, c2 = k.c2, c3 = k.c3, c4 = k.c4, c5 = k.c5;
    double p1r = 0, p2r = 0, p3r = 0, p4r = 0;
    double p1i = 0, p2i = 0, p3i = 0, p4i = 0;
    double cs = 1.0, sn = 0.0;
    for (size_t t = 0; t < n; ++t) {
        // Shift down to 0 Hz and run the fourth-order recursion.
        double p0r = cs * x[t] + c1 * p1r + c2 * p2r + c3 * p3r + c4 * p4r;
        double p0i = sn * x[t] + c1 * p1i + c2 * p2i + c3 * p3i + c4 * p4i;
        if (std::fabs(p0r) < kFlushBelow) p0r = 0.0;
        if (std::fabs(p0i) < kFlushBelow) p0i = 0.0;
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

