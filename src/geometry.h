// Frame and lag arithmetic of corlune: how durations become samples and
// frames, which lags the periodicity search covers, and how a lag (a period
// in samples) and a frequency in Hz convert into each other. Every such
// conversion of the program is here, each with its exact arithmetic: the F0
// values of the tracker are matched back to the candidates bit for bit, so
// the operand order and precision of each expression are part of the
// results.
//
//     const FrameGeometry fr = frame_geometry(16000, 10, 30, samples.size());
//     // fr.shift == 160, fr.window == 480, fr.nlags == 240, fr.nframes == ...
//     const LagGeometry g = lag_geometry(16000, fr.nlags);  // minLag 41, maxLag 223
//     const LagRange r = lags_within_hz(g, 100, 1.0);       // lags 99 .. 101
//     const double f0 = lag_hz_single(16000, 123);          // 130.081298828125
#pragma once

#include <cstddef>

// Samples in a duration of ms milliseconds: the int product srate x ms
// divided by 1000.0, rounded half away from zero.
int ms_to_samples(int srate, int ms);

// The frames of a signal of nsamples samples.
struct FrameGeometry {
    int shift;    // samples from one frame's start to the next
    int window;   // samples per frame: the analysis window and FFT length
    int nlags;    // lags kept per frame: window / 2
    int nframes;  // ceil(nsamples / shift); the signal is padded with zeros to whole shifts
};

FrameGeometry frame_geometry(int srate, int shift_ms, int win_ms, size_t nsamples);

// The F0 range of the periodicity search, Hz: its shortest and longest period.
constexpr double kHighestF0Hz = 400.0;
constexpr double kLowestF0Hz = 71.4;

// The lags the periodicity search covers at one sample rate.
struct LagGeometry {
    int srate;   // Hz
    int nlags;   // lags per frame
    int minLag;  // first lag of the search: ceil(srate / 400.0) + 1
    int maxLag;  // end (exclusive) of the search: round(srate / 71.4) - 1, at most nlags
};

LagGeometry lag_geometry(int srate, int nlags);

// An inclusive range of lags.
struct LagRange {
    int lo;
    int hi;
};

// The lags whose frequency lies within tolHz of lag's: floor and ceiling of
// lag x srate / (srate +- lag x tolHz), hi kept below maxLag.
LagRange lags_within_hz(const LagGeometry& g, int lag, double tolHz);

// |srate / a - srate / b|: how far apart the frequencies of lags a and b are, Hz.
double hz_apart(int srate, int a, int b);

// The frequency of a lag, srate / lag, in single precision (widened to
// double) or in double precision.
double lag_hz_single(int srate, int lag);
double lag_hz_double(int srate, int lag);

// The period of f0 in lags, round(srate / f0), as a double.
double period_lags(double srate, double f0);

// A track claims the lags within this distance of its F0, Hz.
constexpr double kClaimHz = 20.0;

// The lags round(srate / (f0 + 20)) .. round(srate / (f0 - 20)), hi at most
// nlags - 1: where a channel's own period near a track's F0 is looked for.
LagRange lags_near_f0(int srate, int nlags, double f0);
