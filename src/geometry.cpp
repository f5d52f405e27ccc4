#include "geometry.h"

#include <algorithm>
#include <cmath>

int ms_to_samples(int srate, int ms) {
    return static_cast<int>(std::round((srate * ms) / 1000.0));
}

FrameGeometry frame_geometry(int srate, int shift_ms, int win_ms, size_t nsamples) {
    FrameGeometry fr{};
    fr.shift = ms_to_samples(srate, shift_ms);
    fr.window = ms_to_samples(srate, win_ms);
    fr.nlags = fr.window / 2;
    fr.nframes = static_cast<int>(std::ceil(static_cast<double>(nsamples) / fr.shift));
    return fr;
}

LagGeometry lag_geometry(int srate, int nlags) {
    LagGeometry g{};
    g.srate = srate;
    g.nlags = nlags;
    g.minLag = static_cast<int>(std::ceil(static_cast<double>(srate) / kHighestF0Hz)) + 1;
    g.maxLag = static_cast<int>(std::round(static_cast<double>(srate) / kLowestF0Hz)) - 1;
    if (nlags < g.maxLag) g.maxLag = nlags;
    return g;
}

LagRange lags_within_hz(const LagGeometry& g, int lag, double tolHz) {
    const int srate = g.srate;
    const double P = static_cast<double>(lag * srate);
    LagRange r{};
    r.lo = static_cast<int>(std::floor(P / (srate + lag * tolHz)));
    r.hi = static_cast<int>(std::ceil(P / (srate - lag * tolHz)));
    if (r.hi >= g.maxLag) r.hi = g.maxLag - 1;
    return r;
}

double hz_apart(int srate, int a, int b) {
    const double sr = srate;
    return std::fabs(sr / a - sr / b);
}

double lag_hz_single(int srate, int lag) {
    return static_cast<double>(static_cast<float>(srate) / static_cast<float>(lag));
}

double lag_hz_double(int srate, int lag) { return static_cast<double>(srate) / lag; }

double period_lags(double srate, double f0) { return std::round(srate / f0); }

LagRange lags_near_f0(int srate, int nlags, double f0) {
    const double sr = srate;
    LagRange r{};
    r.lo = static_cast<int>(std::round(sr / (f0 + kClaimHz)));
    r.hi = std::min(static_cast<int>(std::round(sr / (f0 - kClaimHz))), nlags - 1);
    return r;
}
