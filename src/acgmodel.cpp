#include "acgmodel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "frameacf.h"
#include "gammatone.h"
#include "matrixfile.h"

namespace {

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

// Filters the signal through the bank's channels and appends each channel's
// frames to its row. The filter runs block by block into a buffer per
// channel that holds the W - S samples of overlap with the previous block
// (zeros before the signal starts) followed by the block's new samples, so
// no copy of the whole signal or of a whole filter output is kept.
void analyse_channels(const std::vector<double>& samples, const FrameGeometry& fr,
                      Filterbank& bank, std::vector<double>* const* rows,
                      const FrameAutocorrelation& acf, FrameAutocorrelation::Workspace& ws,
                      StageTimer* timer) {
    constexpr int kBlockFrames = 32;
    const int S = fr.shift, lead = fr.window - fr.shift;
    const int count = bank.channels();
    const size_t capacity = static_cast<size_t>(lead) + static_cast<size_t>(kBlockFrames) * S;
    std::vector<double> buffer(count * capacity, 0.0);
    const std::vector<double> zeros(S, 0.0);
    double* out[Filterbank::kMaxLanes];

    for (int j0 = 0; j0 < fr.nframes; j0 += kBlockFrames) {
        const int nb = std::min(kBlockFrames, fr.nframes - j0);
        const size_t t0 = static_cast<size_t>(j0) * S, t1 = t0 + static_cast<size_t>(nb) * S;
        const size_t n = samples.size();
        const size_t real = t1 <= n ? t1 - t0 : (t0 < n ? n - t0 : 0);
        mark(timer, Stage::Filterbank);
        for (int lane = 0; lane < count; ++lane)
            out[lane] = buffer.data() + lane * capacity + lead;
        if (real > 0) bank.filter(samples.data() + t0, real, out);
        // The padding at the end of the signal is shorter than one shift.
        for (int lane = 0; lane < count; ++lane) out[lane] += real;
        bank.filter(zeros.data(), (t1 - t0) - real, out);

        mark(timer, Stage::Autocorrelation);
        for (int lane = 0; lane < count; ++lane) {
            double* buf = buffer.data() + lane * capacity;
            for (int j = 0; j < nb; ++j) {
                const double* lags = acf.analyse(buf + static_cast<size_t>(j) * S, ws);
                rows[lane]->insert(rows[lane]->end(), lags, lags + acf.nlags());
            }
            std::memmove(buf, buf + static_cast<size_t>(nb) * S, sizeof(double) * lead);
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
    if (nframes <= 0) return;

    // The stages are made once: the FFT plans serve every channel and frame.
    const vec::Width width = vec::active_width();
    const FrameAutocorrelation acf(fr.window, nlags, width);
    FrameAutocorrelation::Workspace ws(acf);
    const int lanes = Filterbank::lanes(width);
    for (int c0 = 0; c0 < nchans; c0 += lanes) {
        const int count = std::min(lanes, nchans - c0);
        std::vector<double>* rows[Filterbank::kMaxLanes];
        for (int lane = 0; lane < count; ++lane) rows[lane] = &acg[c0 + lane];
        Filterbank bank(&cfs[c0], count, srate, width);
        analyse_channels(samples, fr, bank, rows, acf, ws, timer);
    }
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
