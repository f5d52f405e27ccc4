#include "gabor.h"

#include <cmath>

namespace {

// A peak above this share of lag 0 is strong.
constexpr double kStrongPeak = 0.3;
// Lags at the end of a row that the feature search leaves out.
constexpr int kFeatureTail = 10;
// Width of the Gaussian, periods.
constexpr double kGaussianWidth = 0.4;

// Lags of a channel's first strong peak, first weak peak before it, and
// first trough, over the lags 2 .. nlags - 11; 0 where there is none.
struct RowFeatures {
    int peak = 0;
    int weak = 0;
    int trough = 0;
};

RowFeatures first_features(const double* r, int nlags) {
    RowFeatures f;
    for (int k = 2; k < nlags - kFeatureTail; ++k) {
        if (r[k] > r[k - 1] && r[k] > r[k + 1]) {
            if (r[k] > kStrongPeak * r[0]) {
                if (f.peak == 0) f.peak = k;
            } else if (f.peak == 0 && f.weak == 0) {
                f.weak = k;
            }
        }
        if (r[k] < r[k - 1] && r[k] < r[k + 1] && f.trough == 0) f.trough = k;
        if (f.peak != 0 && f.trough != 0) break;  // the weak peak can no longer change
    }
    return f;
}

}  // namespace

int twice_period(const double* row, int nlags) {
    const RowFeatures f = first_features(row, nlags);
    return 2 * f.trough + (f.peak != 0 ? f.peak : f.weak);
}

void gabor_kernel(double p, double* taps) {
    const double sigma = p * kGaussianWidth;
    const double sigma2 = sigma * sigma;
    for (int t = 0; t < kGaborHalf; ++t) {
        const double x = t - kGaborHalf;
        const double g = std::exp(((x * -0.5) * x) / sigma2);
        const double theta = x * 6.283185307179586 / p;
        taps[t] = std::cos(theta) * g;
        taps[kGaborHalf + t] = std::sin(theta) * g;
    }
}

GaborKernelTable::GaborKernelTable(int nlags)
    // Periods come from lags below nlags: 2P < 3 nlags.
    : nlags_(nlags), kernels_(3 * static_cast<size_t>(nlags > 0 ? nlags : 0) + 3) {}

const double* GaborKernelTable::kernel(int twiceP) {
    const int key = twiceP >= 2 ? twiceP : 2;
    if (static_cast<size_t>(key) >= kernels_.size()) kernels_.resize(key + 1);
    std::unique_ptr<Taps>& taps = kernels_[key];
    if (!taps) {
        taps = std::make_unique<Taps>();
        gabor_kernel(key * 0.5, taps->data());
    }
    return taps->data();
}
