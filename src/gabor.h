// Gabor kernels of corlune's dendrite search: each channel's period, read
// from the first features of its normalised row, and the Gabor kernel of
// that period (a Gaussian of width 0.4 periods times a cosine and a sine of
// the period, kGaborHalf taps on each side of the centre; the sums use the
// taps at offsets 30 down to 1 and a centre tap of 1).
//
//     GaborKernelTable table(nlags);                     // one per thread
//     const double* taps = table.kernel(twice_period(row, nlags));
//     // taps[0 .. 29]: cosine taps at offsets 30 .. 1; taps[30 .. 59]: sine taps
//     const GaborKernels k{realRows, imagRows};          // per channel, for the search
#pragma once

#include <array>
#include <memory>
#include <vector>

// Taps on each side of a Gabor kernel's centre.
constexpr int kGaborHalf = 30;

// Twice the period of a channel's normalised row (an integer): twice its
// first trough plus its first strong peak (or, without one, its first weak
// peak), each 0 when there is none, searched over the lags 2 .. nlags - 11.
int twice_period(const double* row, int nlags);

// The kGaborHalf cosine and then kGaborHalf sine taps of the kernel of period p.
void gabor_kernel(double p, double* taps);

// Kernels by twice their period, each computed the first time it is asked
// for and kept: a frame's channels have at most 3 x nlags periods. A table
// is one thread's; the taps it returns stay valid for its lifetime.
class GaborKernelTable {
public:
    explicit GaborKernelTable(int nlags = 0);

    // The 2 x kGaborHalf taps of the kernel of period twiceP / 2 (at least 1).
    const double* kernel(int twiceP);

    int nlags() const { return nlags_; }

private:
    using Taps = std::array<double, 2 * kGaborHalf>;
    int nlags_;
    std::vector<std::unique_ptr<Taps>> kernels_;
};

// The kernels of a frame's channels: real[c] and imag[c] point at channel
// c's kGaborHalf cosine and sine taps.
struct GaborKernels {
    const double* const* real;
    const double* const* imag;
};
