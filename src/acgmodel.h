// The auditory front end of corlune as one model of a whole signal: the
// channels' centre frequencies on the ERB-rate scale, and the autocorrelogram
// that the two front-end stages make of the signal, the gammatone filterbank
// (gammatone.h) and, per channel and frame, the FFT autocorrelation of the
// rectified filter output under a Hann window (frameacf.h). The model holds
// the whole autocorrelogram; it also writes it to a file.
//
//     AcgModel model;                        // kDefaultAcgParam: 32 channels, 30/10 ms
//     model.compute(samples, 16000);
//     const double* row = model.acg[c].data() + f * model.nlags;  // channel c, frame f
//     model.output("utt.acg");
//
// Read nlags, nframes, acg, cfs and srate directly after compute(). The model
// must outlive any CASAGrouping built over it.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry.h"
#include "stagetimer.h"

struct AcgParam {
    double lowcf;   // centre frequency of channel 0, Hz
    double highcf;  // centre frequency of the last channel, Hz
    int nchans;     // number of filterbank channels
    int win_ms;     // analysis window (and FFT) length, ms
    int shift_ms;   // frame shift, ms
};

// The parameters the command-line program uses.
constexpr AcgParam kDefaultAcgParam{50.0, 8000.0, 32, 30, 10};

class AcgModel {
public:
    AcgParam param;
    int nlags = 0;    // lags kept per frame; set by compute()
    int nframes = 0;  // frames of the last computed signal
    // One row per channel: nframes x nlags values, frame-major
    // (frame f, lag k at index f * nlags + k).
    std::vector<std::vector<double>> acg;
    std::vector<double> cfs;  // centre frequency per channel, ascending
    int srate = 0;            // sample rate of the last computed signal

    explicit AcgModel(const AcgParam& p = kDefaultAcgParam);

    // Replaces the parameters; reshapes acg and cfs when nchans changes.
    void set_param(const AcgParam& p);

    // Computes the autocorrelogram of samples at sample rate srate
    // (srate > 0, shift of at least one sample, window not shorter than the
    // shift). A timer, if given, hears where the filterbank and the
    // autocorrelation stages begin (stagetimer.h).
    void compute(const std::vector<double>& samples, int srate, StageTimer* timer = nullptr);

    // Filters n samples of x through the gammatone filter at cf and writes
    // the half-wave rectified output to out (a separate array): gammatone_filter().
    static void gammatone(double cf, const double* x, unsigned long n, int fs, double* out);

    // The same filter for count channels at once (centre frequencies cf[i],
    // outputs out[i]); each output is bit for bit that of gammatone(). A
    // Filterbank that starts at rest.
    static void gammatone_bank(const double* cf, int count, const double* x, unsigned long n,
                               int fs, double* const* out);

    // Symmetric Hann window of n points with neither end zero.
    static std::vector<double> window_hann(int n);

    // Writes nlags, nchans, nframes as int32 and then every value as float32,
    // frame by frame. Returns false (after one line on standard error) when
    // the file cannot be opened or written.
    bool output(const char* filename) const;

    // Centre frequency of channel i on the ERB-rate scale.
    double centre_frequency(int i) const;

    // The frames compute() makes of nsamples samples at sample rate srate
    // under the current parameters (shift, window, lags, frame count).
    FrameGeometry frames_of(size_t nsamples, int srate) const;
};
