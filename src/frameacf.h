// The frame autocorrelation of corlune's front end: for W samples of one
// channel's filter output, the Hann window, the forward FFT, the power
// spectrum, the backward FFT and the lag values sqrt(R(k) / (W (W - k))) of
// the first nlags lags (0.0 where R(k) is not positive).
//
// The FFT plans are made once, when the stage is constructed, under a lock
// that every stage shares (FFTW's planner is not thread-safe, and analyses
// may be set up on several threads at once), and run with the new-array execute functions on the
// arrays of a Workspace. A stage is read-only after construction, so several
// threads may share it, each with a Workspace of its own; every thread gets
// the plan, and so the values, of a single thread.
//
//     const FrameAutocorrelation acf(480, 240);   // W = 480 samples, 240 lags
//     FrameAutocorrelation::Workspace ws(acf);    // one per thread
//     const double* lags = acf.analyse(frame, ws); // 240 values, valid until ws is reused
#pragma once

#include <mutex>
#include <vector>

#include "vectors.h"

// The lock under which every FFTW plan of the library is made and destroyed:
// FFTW's planner is not reentrant, and analyses may be set up on several
// threads at once (the transforms themselves run unlocked).
std::mutex& fftw_planner_lock();

class FrameAutocorrelation {
public:
    // The transform arrays and the lag values of one thread.
    class Workspace {
    public:
        explicit Workspace(const FrameAutocorrelation& acf);
        ~Workspace();
        Workspace(const Workspace&) = delete;
        Workspace& operator=(const Workspace&) = delete;

    private:
        friend class FrameAutocorrelation;
        double* time_;
        double* spectrum_;
        std::vector<double> lags_;
    };

    // window >= 1 samples per frame, 0 <= nlags <= window lags kept, the lag
    // values computed in vectors of at most width.
    FrameAutocorrelation(int window, int nlags, vec::Width width = vec::active_width());
    ~FrameAutocorrelation();
    FrameAutocorrelation(const FrameAutocorrelation&) = delete;
    FrameAutocorrelation& operator=(const FrameAutocorrelation&) = delete;

    int window() const { return window_; }
    int nlags() const { return nlags_; }

    // The nlags lag values of the window samples frame[0 .. window - 1], in
    // ws. A frame whose windowed values are all zero gives zeros without a
    // transform.
    const double* analyse(const double* frame, Workspace& ws) const;

    // Symmetric Hann window of n points with neither end zero.
    static std::vector<double> hann_window(int n);

private:
    bool window_frame(const double* frame, double* time) const;
    void lag_values(const double* r, double* lags) const;

    int window_;
    int nlags_;
    vec::Width width_;
    std::vector<double> hann_;
    std::vector<double> divisor_;  // W x (W - k)
    struct Plans;
    Plans* plans_;
};
