#include "acgmodel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>

#include "channelframes.h"
#include "frameacf.h"
#include "matrixfile.h"

namespace {

// Frames filtered and analysed per block.
constexpr int kBlockFrames = 32;

// ERB-rate of a frequency in Hz.
double erb_rate(double f) { return 21.4 * std::log10(0.00437 * f + 1.0); }

// Empties a row and gives it room for exactly n values; the old storage is
// released first, so a recomputation never holds two copies.
void prepare_row(std::vector<double>& row, size_t n) {
    row.clear();
    if (row.capacity() == n) return;
    std::vector<double>().swap(row);
    row.reserve(n);
}

// Filters the signal block by block and appends each channel's frames to
// its row, so no copy of the whole signal or of a whole filter output is
// kept.
void analyse_channels(const std::vector<double>& samples, const FrameGeometry& fr,
                      ChannelFrames& frames, std::vector<std::vector<double>>& rows,
                      const FrameAutocorrelation& acf, FrameAutocorrelation::Workspace& ws,
                      StageTimer* timer) {
    const int nchans = frames.channels();
    for (int j0 = 0; j0 < fr.nframes; j0 += frames.block_frames()) {
        const int nb = std::min(frames.block_frames(), fr.nframes - j0);
        const size_t t0 = static_cast<size_t>(j0) * fr.shift;
        const size_t real = std::min(samples.size() - t0, static_cast<size_t>(nb) * fr.shift);
        mark(timer, Stage::Filterbank);
        frames.start_block(samples.data() + t0, real, nb);
        for (int g = 0; g < frames.groups(); ++g) frames.filter_group(g);

        mark(timer, Stage::Autocorrelation);
        for (int c = 0; c < nchans; ++c) {
            for (int j = 0; j < nb; ++j) {
                const double* lags = acf.analyse(frames.frame(c, j), ws);
                rows[c].insert(rows[c].end(), lags, lags + acf.nlags());
            }
        }
    }
    mark(timer, Stage::Idle);
}

}  // namespace

AcgModel::AcgModel(const AcgParam& p)
    : param(p), acg(p.nchans > 0 ? p.nchans : 0), cfs(p.nchans > 0 ? p.nchans : 0, 0.0) {}

void AcgModel::set_param(const AcgParam& p) {
    if (p.nchans != param.nchans) {
        const size_t n = p.nchans > 0 ? static_cast<size_t>(p.nchans) : 0;
        acg.resize(n);
        cfs.resize(n, 0.0);
    }
    param = p;
}

FrameGeometry AcgModel::frames_of(size_t nsamples, int sr) const {
    return frame_geometry(sr, param.shift_ms, param.win_ms, nsamples);
}

double AcgModel::centre_frequency(int i) const {
    const double lo = erb_rate(param.lowcf);
    const double hi = erb_rate(param.highcf);
    const double step = param.nchans >= 2 ? (hi - lo) / (param.nchans - 1) : 0.0;
    return (std::pow(10.0, (lo + i * step) / 21.4) - 1.0) / 0.00437;
}

void AcgModel::gammatone(double cf, const double* x, unsigned long n, int fs, double* out) {
    gammatone_filter(cf, x, n, fs, out);
}

void AcgModel::gammatone_bank(const double* cf, int count, const double* x, unsigned long n,
                              int fs, double* const* out) {
    if (count > 0) Filterbank(cf, count, fs).filter(x, n, out);
}

std::vector<double> AcgModel::window_hann(int n) { return FrameAutocorrelation::hann_window(n); }

void AcgModel::compute(const std::vector<double>& samples, int sr, StageTimer* timer) {
    srate = sr;
    const FrameGeometry fr = frames_of(samples.size(), srate);
    nframes = fr.nframes;
    nlags = fr.nlags;

    // Rows and centre frequencies follow the channel count even when the
    // parameters were changed without set_param.
    const int nchans = param.nchans > 0 ? param.nchans : 0;
    acg.resize(nchans);
    cfs.resize(nchans, 0.0);
    for (int c = 0; c < nchans; ++c) {
        cfs[c] = centre_frequency(c);
        prepare_row(acg[c], static_cast<size_t>(nframes) * nlags);
    }
    if (nframes <= 0 || nchans == 0) return;

    // The stages are made once: the FFT plans serve every channel and frame.
    const vec::Width width = vec::active_width();
    const FrameAutocorrelation acf(fr.window, nlags, width);
    FrameAutocorrelation::Workspace ws(acf);
    ChannelFrames frames(cfs.data(), nchans, srate, fr.shift, fr.window, kBlockFrames, width);
    analyse_channels(samples, fr, frames, acg, acf, ws, timer);
}

bool AcgModel::output(const char* filename) const {
    const size_t need = static_cast<size_t>(nframes) * nlags;
    for (int c = 0; c < param.nchans; ++c) {
        if (static_cast<size_t>(c) >= acg.size() || acg[c].size() < need) {
            std::cerr << "Autocorrelogram not computed for " << param.nchans
                      << " channels, not written: " << filename << std::endl;
            return false;
        }
    }
    MatrixFile out(filename, "Cannot open file: ");
    if (!out.is_open()) return false;
    const int32_t header[3] = {nlags, param.nchans, nframes};
    out.put_int32(header, 3);
    for (int j = 0; j < nframes; ++j)
        for (int c = 0; c < param.nchans; ++c)
            out.put_float32(acg[c].data() + static_cast<size_t>(j) * nlags, nlags);
    return out.close();
}
