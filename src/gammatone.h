// The gammatone filterbank of corlune's front end: fourth-order gammatone
// filters, each followed by half-wave rectification, as a stage object that
// filters a signal block by block and carries every channel's recursion state
// from one block to the next. Several channels run side by side in the
// widest vectors allowed (vectors.h); each channel's output is bit for bit
// that of the one-channel reference gammatone_filter().
//
// The same filters without the rectification (Output::Signed) serve the
// resynthesis (resynth.h), which also filters a different signal in each
// channel (filter_each): the signed output is the rectified one wherever
// that is positive, bit for bit.
//
//     Filterbank bank(cfs.data(), 32, 16000);
//     bank.filter(block1, n1, out);     // out[c]: n1 outputs of channel c
//     bank.filter(block2, n2, out2);    // continues where block1 ended
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "vectors.h"

// Filters n samples of x through the gammatone filter at cf Hz (sample rate
// fs) and writes the rectified output to out, a separate array. The filter
// starts at rest.
void gammatone_filter(double cf, const double* x, size_t n, int fs, double* out);

class Filterbank {
public:
    // Channels filtered side by side, at most.
    static constexpr int kMaxLanes = 8;

    // Channels filtered side by side at width: eight with AVX or wider, four
    // with SSE2.
    static int lanes(vec::Width width);

    // What each channel delivers: the half-wave rectified filter output
    // (the analysis's), or the filter output itself.
    enum class Output { Rectified, Signed };

    // count >= 1 channels with centre frequencies cf[0 .. count - 1] Hz at
    // sample rate srate, starting at rest, in vectors of at most width.
    Filterbank(const double* cf, int count, int srate, vec::Width width = vec::active_width());
    Filterbank(const double* cf, int count, int srate, Output output,
               vec::Width width = vec::active_width());
    ~Filterbank();
    Filterbank(const Filterbank&) = delete;
    Filterbank& operator=(const Filterbank&) = delete;

    int channels() const { return count_; }

    // Filters the next n samples of the signal: out[c][t], c < channels(),
    // t < n, receives channel c's rectified output.
    void filter(const double* x, size_t n, double* const* out);
    // The same, each channel filtering a signal of its own: channel c the
    // next n samples of x[c].
    void filter_each(const double* const* x, size_t n, double* const* out);

private:
    class Bank;
    int count_;
    int lanes_;
    std::vector<Bank> banks_;
    std::unique_ptr<double[]> discard_;  // output of the lanes beyond count_
    size_t discardSize_ = 0;

    // The output arrays of the lanes of the bank starting at channel c0, in
    // o (kMaxLanes entries): out[c], or the discard array beyond count_.
    double* const* lane_outputs(int c0, double* const* out, size_t n, double** o);
};
