// Resynthesis of corlune: a waveform from a time-frequency mask on the
// analysis's own filterbank and frames.
//
// Each channel's gammatone filter (the analysis filter without its
// rectification) runs over the signal forwards, then over its reversed
// output (filter, reverse, filter, reverse): the channel's response is the
// filter's power response |H(f)|^2 with zero phase, so channels add up in
// phase and every sample stays where it was. Each sample of a channel is
// then weighted by the mask values of the frames whose analysis window
// holds it, interpolated with that window (Hann, W samples) and normalised
// by the windows' sum, so that a mask of ones weights every sample by 1 and
// a frame's value acts exactly on the samples it analysed: frame j covers
// samples (j + 1) S - W .. (j + 1) S - 1 (S the shift, 10 ms; W the window,
// 30 ms). The channels are summed with gains fitted to the measured power
// responses, so that a mask of ones gives back the input as closely as the
// filterbank allows within its band (ResynthesisPlan).
//
// The backward pass runs block by block: each block of output is filtered
// back from a point `lookahead` samples beyond its end, where the backward
// filter starts at rest; the lookahead is where the impulse response of
// the slowest channel (the lowest) has lost all but kTailEnergy of its
// energy, so the truncation stays below -90 dB of the channel's signal.
// After the last sample the forward filters ring out over the lookahead
// too. Memory is a few blocks of every channel, whatever the signal's length.
//
//     const Resynthesis r = resynthesize(samples, 16000, mask);  // mask: frames x 32, 0 .. 1
//     if (!r.error.empty()) ...;                                // refused: says why
//     use(r.outputs[0]);                                        // samples.size() values
//
// The streaming form takes samples and mask frames as they come:
//
//     Resynthesizer rs(plan_resynthesis(16000), 3);  // three masks of one signal
//     rs.add_samples(x, n);                          // any number of times, and
//     rs.add_frame(rows);                            // rows[k]: frame's 32 values of mask k
//     rs.take(outs);                                 // appends what is complete to outs[k]
//     rs.finish(); rs.take(outs);                    // after the last sample and frame
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "matrix.h"

class Filterbank;

// The sample rates the analysis and the resynthesis take, Hz.
constexpr int kMinResynthesisRate = 4000;
constexpr int kMaxResynthesisRate = 192000;

// Largest sample magnitude taken, in units of full scale (the analysis's
// limit: far above any recording, far below where its sums overflow).
constexpr double kMaxSampleMagnitude = 16777216.0;

// Energy share of the slowest channel's impulse response that the
// backward pass's lookahead leaves out.
constexpr double kTailEnergy = 1e-9;

// How the signal at one sample rate is filtered and summed.
struct ResynthesisPlan {
    int srate = 0;             // Hz
    int shift = 0;             // samples from one frame to the next (S)
    int window = 0;            // samples of a frame's analysis window (W)
    std::vector<double> cfs;   // the analysis's centre frequencies, Hz
    std::vector<double> gains; // per channel, >= 0: the fitted summation gains
    size_t lookahead = 0;      // samples of run-in for the backward pass
    size_t block = 0;          // samples of output per backward pass
    double fitLowHz = 0;       // band the gains were fitted on
    double fitHighHz = 0;

    int channels() const { return static_cast<int>(cfs.size()); }
};

// The plan for srate (kMinResynthesisRate .. kMaxResynthesisRate) on the
// analysis's filterbank (kDefaultAcgParam): each channel's impulse response
// is measured through the filter itself, and the gains are the
// non-negative least-squares fit of the channels' summed power responses
// to 1 from the lowest centre frequency to the highest one below the
// Nyquist frequency, every ERB of that band weighing the same. Channels
// centred above the Nyquist frequency (above 4 kHz at 8 kHz) fold
// over into broad responses across the band and get gain 0. The first
// call for a rate costs a few milliseconds (about 90 at 192 kHz), later ones
// copy what it made. It makes FFT plans, under a lock of its own: callers in
// several threads are safe among themselves, but FFTW's planner must not run
// elsewhere at the same time.
ResynthesisPlan plan_resynthesis(int srate);

// Zero-phase channel signals of a signal, block by block: the forward
// filters run as samples arrive; a block is filtered back once the
// lookahead beyond it has arrived (or the signal has ended).
class ZeroPhaseBank {
public:
    // Receives samples t0 .. t0 + n - 1 of each channel: z[c][i] at t0 + i.
    // The values may be changed in place; they are gone after the call.
    using Block = std::function<void(size_t t0, size_t n, double* const* z)>;

    explicit ZeroPhaseBank(const ResynthesisPlan& plan);
    ~ZeroPhaseBank();
    ZeroPhaseBank(const ZeroPhaseBank&) = delete;
    ZeroPhaseBank& operator=(const ZeroPhaseBank&) = delete;

    // The next n samples of the signal.
    void push(const double* x, size_t n);
    // The signal has ended: the filters ring out (zeros beyond the end).
    void finish();
    // Passes every complete block that ends at or before sample `limit`
    // to block, in order; returns the samples delivered so far.
    size_t deliver(size_t limit, const Block& block);

    size_t pushed() const { return pushed_; }
    size_t delivered() const { return base_; }
    bool finished() const { return finished_; }

private:
    void backward_pass(size_t n, const Block& block);
    // Channel c's forward output, from sample base_ on.
    double* fwd(int c) { return fwd_.get() + static_cast<size_t>(c) * fwdCap_; }

    const ResynthesisPlan& plan_;
    std::unique_ptr<Filterbank> forward_;
    std::unique_ptr<double[]> fwd_;   // fwdCap_ samples per channel
    size_t fwdCap_ = 0;
    std::unique_ptr<double[]> work_;  // per channel: reversed input and output of a pass
    size_t held_ = 0;    // forward samples held in fwd_
    size_t base_ = 0;    // first sample not yet delivered
    size_t pushed_ = 0;  // signal samples pushed
    bool finished_ = false;
};

// The normalised frame weights of the samples: sample t's share of frame
// j is hann(t - start(j)) divided by the sum over the frames that hold t,
// where start(j) = (j + 1) S - W. The shares of a sample add up to 1.
class FrameShares {
public:
    FrameShares(int shift, int window);

    int shift() const { return shift_; }
    int window() const { return window_; }
    // First sample of frame j's window (negative for the first frames).
    long long start(long long j) const { return (j + 1) * shift_ - window_; }
    // The frames that hold some sample of t0 .. t0 + n - 1, among frames
    // 0 .. nframes - 1: first and last (last < first when none).
    void frames_of(size_t t0, size_t n, long long nframes, long long& first, long long& last) const;
    // Computes the shares of frames first .. last (as frames_of gives
    // them) in the samples t0 .. t0 + n - 1; then part() and share() give
    // them, until the next call.
    void compute(size_t t0, size_t n, long long first, long long last);
    // The samples lo .. hi - 1 of the block that frame j holds, and its
    // shares of them: share(j)[t - lo].
    void part(long long j, size_t& lo, size_t& hi) const;
    const double* share(long long j) const;

private:
    int shift_, window_;
    std::vector<double> hann_;
    size_t t0_ = 0, n_ = 0;
    long long first_ = 0;
    std::vector<double> sum_;    // per block: the windows' sum per sample
    std::vector<double> table_;  // per block: window samples of shares per frame
};

// Several masks resynthesised from one signal, fed as samples and mask
// frames arrive; the filtering is shared. Output sample t is complete once
// every frame whose window starts at or before t has been added and the
// lookahead beyond t's block has arrived, or at finish().
class Resynthesizer {
public:
    Resynthesizer(ResynthesisPlan plan, int masks);
    ~Resynthesizer();
    Resynthesizer(const Resynthesizer&) = delete;
    Resynthesizer& operator=(const Resynthesizer&) = delete;

    void add_samples(const double* x, size_t n);
    // The next frame of every mask: rows[k] holds its channels() values,
    // each in 0 .. 1. A value outside (or not a number) refuses the frame:
    // false, error() says which, and nothing is added.
    bool add_frame(const double* const* rows);
    // After the last sample and frame: false (error()) when the frames are
    // not those of the samples, ceil(samples / shift).
    bool finish();
    // Appends the output samples completed since the last call to outs[k],
    // one vector per mask.
    void take(std::vector<double>* const* outs);

    const ResynthesisPlan& plan() const { return plan_; }
    long long frames() const { return frames_; }
    const std::string& error() const { return error_; }

private:
    void synthesise(size_t t0, size_t n, double* const* z, std::vector<double>* const* outs);
    size_t complete_below() const;

    ResynthesisPlan plan_;
    int masks_;
    ZeroPhaseBank bank_;
    FrameShares shares_;
    long long frames_ = 0;      // frames added
    long long firstHeld_ = 0;   // frame of held_.front()
    std::deque<std::vector<double>> held_;  // per frame: masks x channels values
    std::vector<double> weight_, out_;      // per block: one channel's weights, one mask's output
    std::string error_;
};

// The outcome of a whole-signal resynthesis: one output per mask, each as
// long as the signal, or an error saying why the input was refused.
struct Resynthesis {
    std::vector<std::vector<double>> outputs;
    std::string error;  // empty on success
};

// Why signal at srate cannot be analysed or resynthesised, or "" when it
// can: a rate outside the supported range, no samples or more than
// 2^31 - 1 (the analysis counts them in an int), or a sample that is
// not finite or beyond kMaxSampleMagnitude (the first one is named).
std::string check_signal(const std::vector<double>& signal, int srate);

// The mask's resynthesis of signal at srate: mask holds one row per frame
// (ceil(samples / shift)) of one value per channel, each in 0 .. 1.
// Refuses (error set, no output) a signal that check_signal refuses, and a
// mask of another shape or with a value outside 0 .. 1 (or not a number).
Resynthesis resynthesize(const std::vector<double>& signal, int srate, const Matrix& mask);
// The same for several masks of one signal, filtered once: one output per
// mask, in their order.
Resynthesis resynthesize_masks(const std::vector<double>& signal, int srate,
                               const std::vector<const Matrix*>& masks);
