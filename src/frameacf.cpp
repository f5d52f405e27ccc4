#include "frameacf.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace {

using vec::f64x2;

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

double* transform_array(int w) {
    return static_cast<double*>(fftw_malloc(sizeof(double) * static_cast<size_t>(w)));
}

}  // namespace

std::mutex& fftw_planner_lock() {
    static std::mutex lock;
    return lock;
}

struct FrameAutocorrelation::Plans {
    fftw_plan forward;
    fftw_plan backward;
};

FrameAutocorrelation::FrameAutocorrelation(int window, int nlags, vec::Width width)
    : window_(window), nlags_(nlags), width_(width), hann_(hann_window(window)),
      divisor_(nlags), plans_(new Plans) {
    // Planned on arrays like a Workspace's (fftw_malloc aligns them alike),
    // which the execute calls then take in their place.
    double* time = transform_array(window);
    double* spectrum = transform_array(window);
    std::lock_guard<std::mutex> planning(fftw_planner_lock());
    plans_->forward = fftw_plan_r2r_1d(window, time, spectrum, FFTW_R2HC, FFTW_ESTIMATE);
    plans_->backward = fftw_plan_r2r_1d(window, spectrum, time, FFTW_HC2R, FFTW_ESTIMATE);
    fftw_free(time);
    fftw_free(spectrum);
    // W x (W - k), formed as an integer product (64-bit, so that no window
    // length overflows it) and converted to double.
    for (int k = 0; k < nlags; ++k)
        divisor_[k] = static_cast<double>(static_cast<int64_t>(window) * (window - k));
}

FrameAutocorrelation::~FrameAutocorrelation() {
    std::lock_guard<std::mutex> planning(fftw_planner_lock());
    fftw_destroy_plan(plans_->forward);
    fftw_destroy_plan(plans_->backward);
    delete plans_;
}

FrameAutocorrelation::Workspace::Workspace(const FrameAutocorrelation& acf)
    : time_(transform_array(acf.window_)), spectrum_(transform_array(acf.window_)),
      lags_(acf.nlags_) {}

FrameAutocorrelation::Workspace::~Workspace() {
    fftw_free(time_);
    fftw_free(spectrum_);
}

const double* FrameAutocorrelation::analyse(const double* frame, Workspace& ws) const {
    double* lags = ws.lags_.data();
    if (!window_frame(frame, ws.time_)) {
        // A frame of zeros transforms to zeros: every lag value is 0.0.
        std::fill(ws.lags_.begin(), ws.lags_.end(), 0.0);
        return lags;
    }
    fftw_execute_r2r(plans_->forward, ws.time_, ws.spectrum_);
    power_spectrum(ws.spectrum_, window_);
    fftw_execute_r2r(plans_->backward, ws.spectrum_, ws.time_);
    lag_values(ws.time_, lags);
    return lags;
}

// Fills time with the windowed frame; false when every value is zero.
bool FrameAutocorrelation::window_frame(const double* frame, double* time) const {
    const double* h = hann_.data();
    vec::Mask<f64x2> nonzero{};
    int k = 0;
    for (; k + 2 <= window_; k += 2) {
        f64x2 x, hk;
        vec::load(x, frame + k);
        vec::load(hk, h + k);
        const f64x2 t = x * hk;
        vec::store(time + k, t);
        nonzero |= t != f64x2{};
    }
    bool any = (nonzero[0] | nonzero[1]) != 0;
    for (; k < window_; ++k) {
        time[k] = frame[k] * h[k];
        any |= time[k] != 0.0;
    }
    return any;
}

// sqrt(r / (W x (W - k))) where the inverse transform r is positive, else 0.0.
void FrameAutocorrelation::lag_values(const double* r, double* lags) const {
    int k = vec::dispatch<LagValues>(width_, r, divisor_.data(), lags, nlags_);
    for (; k < nlags_; ++k) {
        const double v = r[k];
        lags[k] = v > 0.0 ? std::sqrt(v / divisor_[k]) : 0.0;
    }
}

std::vector<double> FrameAutocorrelation::hann_window(int n) {
    if (n <= 0) return {};
    std::vector<double> w(n);
    const int half = (n + 1) / 2;
    for (int k = 0; k < half; ++k) w[k] = 0.5 * (1.0 - std::cos(2.0 * M_PI * (k + 1) / (n + 1)));
    for (int k = half; k < n; ++k) w[k] = w[n - 1 - k];
    return w;
}

