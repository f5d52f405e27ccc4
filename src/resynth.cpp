#include "resynth.h"

#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "acgmodel.h"
#include "gammatone.h"
#include "frameacf.h"
#include "geometry.h"

namespace {

// Length of the measured impulse responses, s: the lowest channel's
// response has decayed by far more than kTailEnergy by then.
constexpr double kResponseSeconds = 0.25;
// A backward pass delivers this many lookaheads of output.
constexpr size_t kBlockLookaheads = 4;
// Relative tolerance on a centre frequency at the Nyquist frequency.
constexpr double kCentreTolerance = 1e-9;
// Gains below this share of the largest are set to 0 by the fit.
constexpr double kGainTolerance = 1e-12;

// Equivalent rectangular bandwidth of the auditory filter at f Hz.
double erb_hz(double f) { return 24.7 * (0.00437 * f + 1.0); }

// ---------------------------------------------------------------------------
// Measuring the filterbank

// Each channel's (signed) response to a unit impulse, m samples.
std::vector<std::vector<double>> impulse_responses(const std::vector<double>& cfs, int srate,
                                                   size_t m) {
    const int count = static_cast<int>(cfs.size());
    std::vector<std::vector<double>> h(count, std::vector<double>(m));
    std::vector<double> x(m, 0.0);
    x[0] = 1.0;
    std::vector<double*> out;
    for (auto& row : h) out.push_back(row.data());
    Filterbank(cfs.data(), count, srate, Filterbank::Output::Signed).filter(x.data(), m, out.data());
    return h;
}

// The smallest L such that the energy of h from L on is at most share of
// its whole energy.
size_t tail_start(const std::vector<double>& h, double share) {
    double total = 0.0;
    for (double v : h) total += v * v;
    double tail = 0.0;
    size_t L = h.size();
    while (L > 0 && tail + h[L - 1] * h[L - 1] <= share * total) {
        tail += h[L - 1] * h[L - 1];
        --L;
    }
    return L;
}

// |FFT(h)|^2 at bins 0 .. nfft / 2 of each response (zero-padded to nfft).
std::vector<std::vector<double>> power_responses(const std::vector<std::vector<double>>& h,
                                                 size_t nfft) {
    const int n = static_cast<int>(nfft);
    double* in = fftw_alloc_real(nfft);
    fftw_complex* spectrum = fftw_alloc_complex(nfft / 2 + 1);
    fftw_plan plan;
    {
        std::lock_guard<std::mutex> planning(fftw_planner_lock());
        plan = fftw_plan_dft_r2c_1d(n, in, spectrum, FFTW_ESTIMATE);
    }
    std::vector<std::vector<double>> p;
    for (const auto& hc : h) {
        std::fill(in, in + nfft, 0.0);
        std::copy(hc.begin(), hc.begin() + static_cast<long>(std::min(hc.size(), nfft)), in);
        fftw_execute(plan);
        std::vector<double> row(nfft / 2 + 1);
        for (size_t k = 0; k < row.size(); ++k)
            row[k] = spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
        p.push_back(std::move(row));
    }
    {
        std::lock_guard<std::mutex> planning(fftw_planner_lock());
        fftw_destroy_plan(plan);
    }
    fftw_free(spectrum);
    fftw_free(in);
    return p;
}

// Solves the n x n system a x = b in place by Gaussian elimination with
// partial pivoting (a is row-major and destroyed); x in b.
void solve(std::vector<double>& a, std::vector<double>& b, int n) {
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col])) pivot = r;
        if (pivot != col) {
            for (int k = 0; k < n; ++k) std::swap(a[col * n + k], a[pivot * n + k]);
            std::swap(b[col], b[pivot]);
        }
        const double d = a[col * n + col];
        if (d == 0.0) continue;
        for (int r = col + 1; r < n; ++r) {
            const double f = a[r * n + col] / d;
            if (f == 0.0) continue;
            for (int k = col; k < n; ++k) a[r * n + k] -= f * a[col * n + k];
            b[r] -= f * b[col];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double s = b[r];
        for (int k = r + 1; k < n; ++k) s -= a[r * n + k] * b[k];
        const double d = a[r * n + r];
        b[r] = d != 0.0 ? s / d : 0.0;
    }
}

// The least-squares solution of the normal equations a g = b restricted to
// the channels in passive (the others 0).
std::vector<double> solve_passive(const std::vector<double>& a, const std::vector<double>& b,
                                  const std::vector<bool>& passive) {
    const int n = static_cast<int>(b.size());
    std::vector<int> idx;
    for (int i = 0; i < n; ++i)
        if (passive[i]) idx.push_back(i);
    const int m = static_cast<int>(idx.size());
    std::vector<double> sub(static_cast<size_t>(m) * m), rhs(m);
    for (int r = 0; r < m; ++r) {
        rhs[r] = b[idx[r]];
        for (int k = 0; k < m; ++k) sub[r * m + k] = a[idx[r] * n + idx[k]];
    }
    solve(sub, rhs, m);
    std::vector<double> g(n, 0.0);
    for (int r = 0; r < m; ++r) g[idx[r]] = rhs[r];
    return g;
}

// Non-negative least squares on the normal equations (a g = b, a
// symmetric positive semi-definite, n x n row-major): the active-set method
// of Lawson and Hanson.
std::vector<double> nonnegative_least_squares(const std::vector<double>& a,
                                              const std::vector<double>& b) {
    const int n = static_cast<int>(b.size());
    std::vector<double> g(n, 0.0);
    std::vector<bool> passive(n, false);
    double scale = 0.0;
    for (double v : b) scale = std::max(scale, std::fabs(v));
    const double tol = kGainTolerance * (scale > 0.0 ? scale : 1.0);
    for (int outer = 0; outer < 3 * n; ++outer) {
        // The gradient's most promising channel not yet free.
        int best = -1;
        double bestW = tol;
        for (int i = 0; i < n; ++i) {
            if (passive[i]) continue;
            double w = b[i];
            for (int k = 0; k < n; ++k) w -= a[i * n + k] * g[k];
            if (w > bestW) bestW = w, best = i;
        }
        if (best < 0) break;
        passive[best] = true;
        for (int inner = 0; inner < 3 * n; ++inner) {
            const std::vector<double> s = solve_passive(a, b, passive);
            bool feasible = true;
            double alpha = 1.0;
            for (int i = 0; i < n; ++i)
                if (passive[i] && s[i] <= 0.0) {
                    feasible = false;
                    alpha = std::min(alpha, g[i] / (g[i] - s[i]));
                }
            if (feasible) {
                g = s;
                break;
            }
            for (int i = 0; i < n; ++i) {
                g[i] += alpha * (s[i] - g[i]);
                if (passive[i] && g[i] <= 0.0) passive[i] = false, g[i] = 0.0;
            }
        }
    }
    return g;
}

// Gains g >= 0 that bring sum_c g[c] p[c](f) closest to 1 over the bins of
// lo .. hi Hz (bin k at k * srate / nfft), each bin weighted by 1 / ERB(f).
std::vector<double> fit_gains(const std::vector<std::vector<double>>& p, int srate, size_t nfft,
                              double lo, double hi) {
    const int n = static_cast<int>(p.size());
    std::vector<double> a(static_cast<size_t>(n) * n, 0.0), b(n, 0.0);
    for (size_t k = 0; k < p[0].size(); ++k) {
        const double f = static_cast<double>(k) * srate / static_cast<double>(nfft);
        if (f < lo || f > hi) continue;
        const double w = 1.0 / erb_hz(f);
        for (int i = 0; i < n; ++i) {
            const double wi = w * p[i][k];
            if (wi == 0.0) continue;
            b[i] += wi;
            for (int j = 0; j < n; ++j) a[i * n + j] += wi * p[j][k];
        }
    }
    return nonnegative_least_squares(a, b);
}

size_t next_power_of_two(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

namespace {

ResynthesisPlan make_plan(int srate) {
    ResynthesisPlan plan;
    plan.srate = srate;
    const AcgModel model(kDefaultAcgParam);
    const FrameGeometry fr = frame_geometry(srate, kDefaultAcgParam.shift_ms,
                                            kDefaultAcgParam.win_ms, 0);
    plan.shift = fr.shift;
    plan.window = fr.window;
    for (int c = 0; c < kDefaultAcgParam.nchans; ++c) plan.cfs.push_back(model.centre_frequency(c));

    const size_t m = static_cast<size_t>(std::ceil(kResponseSeconds * srate));
    const auto h = impulse_responses(plan.cfs, srate, m);
    for (const auto& hc : h) plan.lookahead = std::max(plan.lookahead, tail_start(hc, kTailEnergy));
    plan.block = kBlockLookaheads * plan.lookahead;

    const size_t nfft = next_power_of_two(m);
    plan.fitLowHz = plan.cfs.front();
    plan.fitHighHz = std::min(plan.cfs.back(), 0.5 * srate);
    // Channels centred above the Nyquist frequency fold over: their
    // broad responses would blur the channels below. (The top centre
    // frequency, 8000 Hz, comes out a few ulps above it at 16 kHz.)
    std::vector<std::vector<double>> p = power_responses(h, nfft);
    for (int c = 0; c < plan.channels(); ++c)
        if (plan.cfs[c] > 0.5 * srate * (1.0 + kCentreTolerance)) std::fill(p[c].begin(), p[c].end(), 0.0);
    plan.gains = fit_gains(p, srate, nfft, plan.fitLowHz, plan.fitHighHz);
    return plan;
}

}  // namespace

ResynthesisPlan plan_resynthesis(int srate) {
    // Plans are made once per rate and process (their FFTW plans under
    // fftw_planner_lock, as every other).
    static std::mutex lock;
    static std::map<int, ResynthesisPlan> plans;
    const std::lock_guard<std::mutex> hold(lock);
    auto it = plans.find(srate);
    if (it == plans.end()) it = plans.emplace(srate, make_plan(srate)).first;
    return it->second;
}

// ---------------------------------------------------------------------------
// ZeroPhaseBank

ZeroPhaseBank::ZeroPhaseBank(const ResynthesisPlan& plan)
    : plan_(plan),
      forward_(new Filterbank(plan.cfs.data(), plan.channels(), plan.srate,
                              Filterbank::Output::Signed)),
      work_(new double[2 * plan.channels() * (plan.block + plan.lookahead)]) {}

ZeroPhaseBank::~ZeroPhaseBank() = default;

void ZeroPhaseBank::push(const double* x, size_t n) {
    if (n == 0) return;
    const int count = plan_.channels();
    if (held_ + n > fwdCap_) {
        // Room for what is held and n more, and for a block and its
        // lookahead, so that a steady stream of pushes does not grow it.
        const size_t cap = std::max({held_ + n, 2 * fwdCap_, plan_.block + plan_.lookahead});
        std::unique_ptr<double[]> grown(new double[count * cap]);
        for (int c = 0; c < count; ++c) std::copy(fwd(c), fwd(c) + held_, grown.get() + c * cap);
        fwd_ = std::move(grown);
        fwdCap_ = cap;
    }
    std::vector<double*> out;
    for (int c = 0; c < count; ++c) out.push_back(fwd(c) + held_);
    forward_->filter(x, n, out.data());
    held_ += n;
    if (!finished_) pushed_ += n;
}

void ZeroPhaseBank::finish() {
    if (finished_) return;
    const std::vector<double> zeros(plan_.lookahead, 0.0);
    finished_ = true;  // the ring-out is no signal
    push(zeros.data(), zeros.size());
}

size_t ZeroPhaseBank::deliver(size_t limit, const Block& block) {
    for (;;) {
        if (finished_ && base_ >= pushed_) break;
        size_t n = plan_.block;
        if (finished_) n = std::min(n, pushed_ - base_);
        if (base_ + n > limit) break;
        if (!finished_ && held_ < n + plan_.lookahead) break;
        backward_pass(n, block);
    }
    return base_;
}

// Filters the held forward output back from lookahead samples beyond the
// block (or from the end of the ring-out), hands the block's n samples on
// and drops them.
void ZeroPhaseBank::backward_pass(size_t n, const Block& block) {
    const int count = plan_.channels();
    const size_t len = std::min(held_, n + plan_.lookahead);
    const size_t span = plan_.block + plan_.lookahead;
    std::vector<const double*> in;
    std::vector<double*> out, z;
    for (int c = 0; c < count; ++c) {
        double* rev = work_.get() + 2 * c * span;
        std::reverse_copy(fwd(c), fwd(c) + len, rev);
        in.push_back(rev);
        out.push_back(rev + span);
    }
    Filterbank(plan_.cfs.data(), count, plan_.srate, Filterbank::Output::Signed)
        .filter_each(in.data(), len, out.data());
    for (int c = 0; c < count; ++c) {
        // The block's samples, back in time order, where the reversed input was.
        std::reverse_copy(out[c] + (len - n), out[c] + len, out[c] - span);
        z.push_back(out[c] - span);
        std::memmove(fwd(c), fwd(c) + n, sizeof(double) * (held_ - n));
    }
    block(base_, n, z.data());
    held_ -= n;
    base_ += n;
}

// ---------------------------------------------------------------------------
// FrameShares

FrameShares::FrameShares(int shift, int window)
    : shift_(shift), window_(window), hann_(FrameAutocorrelation::hann_window(window)) {}

void FrameShares::frames_of(size_t t0, size_t n, long long nframes, long long& first,
                            long long& last) const {
    const long long a = static_cast<long long>(t0), b = a + static_cast<long long>(n) - 1;
    first = a / shift_;                                // the first frame ending at or after a
    last = std::min((b + window_) / shift_ - 1, nframes - 1);  // the last starting at or before b
    if (n == 0) last = first - 1;
}

void FrameShares::part(long long j, size_t& lo, size_t& hi) const {
    const long long a = static_cast<long long>(t0_), b = a + static_cast<long long>(n_);
    lo = static_cast<size_t>(std::max(a, start(j)));
    hi = static_cast<size_t>(std::min(b, start(j) + window_));
}

const double* FrameShares::share(long long j) const {
    return table_.data() + static_cast<size_t>(j - first_) * static_cast<size_t>(window_);
}

void FrameShares::compute(size_t t0, size_t n, long long first, long long last) {
    t0_ = t0, n_ = n, first_ = first;
    sum_.assign(n, 0.0);
    size_t lo, hi;
    for (long long j = first; j <= last; ++j) {
        part(j, lo, hi);
        const double* h = hann_.data() + (static_cast<long long>(lo) - start(j));
        double* s = sum_.data() + (lo - t0);
        for (size_t t = 0; t < hi - lo; ++t) s[t] += h[t];
    }
    table_.resize(static_cast<size_t>(std::max(0LL, last - first + 1)) * window_);
    for (long long j = first; j <= last; ++j) {
        part(j, lo, hi);
        const double* h = hann_.data() + (static_cast<long long>(lo) - start(j));
        const double* s = sum_.data() + (lo - t0);
        double* p = table_.data() + static_cast<size_t>(j - first) * window_;
        for (size_t t = 0; t < hi - lo; ++t) p[t] = h[t] / s[t];
    }
}

// ---------------------------------------------------------------------------
// Resynthesizer

Resynthesizer::Resynthesizer(ResynthesisPlan plan, int masks)
    : plan_(std::move(plan)), masks_(masks), bank_(plan_), shares_(plan_.shift, plan_.window) {}

Resynthesizer::~Resynthesizer() = default;

void Resynthesizer::add_samples(const double* x, size_t n) { bank_.push(x, n); }

bool Resynthesizer::add_frame(const double* const* rows) {
    const int nchans = plan_.channels();
    std::vector<double> frame;
    frame.reserve(static_cast<size_t>(masks_) * nchans);
    for (int k = 0; k < masks_; ++k)
        for (int c = 0; c < nchans; ++c) {
            const double v = rows[k][c];
            if (!(v >= 0.0 && v <= 1.0)) {
                std::ostringstream why;
                why << "mask value " << v << " outside 0 to 1 at frame " << frames_ << ", channel "
                    << c;
                if (masks_ > 1) why << " of mask " << k + 1;
                error_ = why.str();
                return false;
            }
            frame.push_back(v);
        }
    held_.push_back(std::move(frame));
    ++frames_;
    return true;
}

bool Resynthesizer::finish() {
    const long long S = plan_.shift;
    const long long samples = static_cast<long long>(bank_.pushed());
    const long long expected = (samples + S - 1) / S;
    if (frames_ != expected) {
        std::ostringstream why;
        why << "mask has " << frames_ << " frames, but " << samples << " samples at "
            << plan_.srate << " Hz make " << expected << " frames of " << S << " samples";
        error_ = why.str();
        return false;
    }
    bank_.finish();
    return true;
}

// Output samples below this one are complete once the bank has them: every
// frame whose window starts at or before them has been added.
size_t Resynthesizer::complete_below() const {
    if (bank_.finished()) return bank_.pushed();
    const long long next = shares_.start(frames_);  // the first frame not yet added
    return next > 0 ? static_cast<size_t>(next) : 0;
}

void Resynthesizer::take(std::vector<double>* const* outs) {
    bank_.deliver(complete_below(), [&](size_t t0, size_t n, double* const* z) {
        synthesise(t0, n, z, outs);
    });
}

// One block: every channel's zero-phase samples times its gain, weighted by
// each mask's interpolated values, summed into that mask's output.
void Resynthesizer::synthesise(size_t t0, size_t n, double* const* z,
                               std::vector<double>* const* outs) {
    const int nchans = plan_.channels();
    long long first, last;
    shares_.frames_of(t0, n, frames_, first, last);
    // Frames before `first` hold no sample from here on.
    while (firstHeld_ < first && !held_.empty()) held_.pop_front(), ++firstHeld_;
    shares_.compute(t0, n, first, last);

    for (int k = 0; k < masks_; ++k) {
        out_.assign(n, 0.0);
        for (int c = 0; c < nchans; ++c) {
            const size_t col = static_cast<size_t>(k) * nchans + c;
            bool any = false;
            for (long long j = first; j <= last && !any; ++j)
                any = held_[static_cast<size_t>(j - firstHeld_)][col] != 0.0;
            if (!any || plan_.gains[c] == 0.0) continue;
            weight_.assign(n, 0.0);
            for (long long j = first; j <= last; ++j) {
                const double m = held_[static_cast<size_t>(j - firstHeld_)][col];
                if (m == 0.0) continue;
                size_t lo, hi;
                shares_.part(j, lo, hi);
                const double* p = shares_.share(j);
                double* w = weight_.data() + (lo - t0);
                for (size_t t = 0; t < hi - lo; ++t) w[t] += m * p[t];
            }
            const double g = plan_.gains[c];
            const double* zc = z[c];
            for (size_t t = 0; t < n; ++t) out_[t] += g * weight_[t] * zc[t];
        }
        outs[k]->insert(outs[k]->end(), out_.begin(), out_.end());
    }
}

// ---------------------------------------------------------------------------
// Whole signals

std::string check_signal(const std::vector<double>& signal, int srate) {
    std::ostringstream why;
    if (srate < kMinResynthesisRate || srate > kMaxResynthesisRate) {
        why << "sample rate " << srate << " Hz outside " << kMinResynthesisRate << " to "
            << kMaxResynthesisRate << " Hz";
        return why.str();
    }
    if (signal.empty()) return "the signal has no samples";
    if (signal.size() > static_cast<size_t>(INT_MAX)) {
        why << "the signal has " << signal.size() << " samples, more than " << INT_MAX;
        return why.str();
    }
    for (size_t t = 0; t < signal.size(); ++t)
        if (!(std::fabs(signal[t]) <= kMaxSampleMagnitude)) {
            why << "sample " << t << " of the signal is " << signal[t] << ", outside "
                << -kMaxSampleMagnitude << " to " << kMaxSampleMagnitude;
            return why.str();
        }
    return "";
}

namespace {

std::string check_mask_shape(const Matrix& mask, size_t rows, size_t cols, size_t index,
                             size_t count, size_t samples, int srate) {
    std::ostringstream why;
    const std::string name = count > 1 ? "mask " + std::to_string(index + 1) : "mask";
    if (mask.size() != rows) {
        why << name << " has " << mask.size() << " frames, but " << samples << " samples at "
            << srate << " Hz make " << rows << " frames";
        return why.str();
    }
    for (size_t j = 0; j < rows; ++j)
        if (mask[j].size() != cols) {
            why << name << " frame " << j << " has " << mask[j].size() << " channels, not " << cols;
            return why.str();
        }
    return "";
}

}  // namespace

Resynthesis resynthesize(const std::vector<double>& signal, int srate, const Matrix& mask) {
    return resynthesize_masks(signal, srate, {&mask});
}

Resynthesis resynthesize_masks(const std::vector<double>& signal, int srate,
                               const std::vector<const Matrix*>& masks) {
    Resynthesis r;
    r.error = check_signal(signal, srate);
    if (!r.error.empty()) return r;
    const FrameGeometry fr = frame_geometry(srate, kDefaultAcgParam.shift_ms,
                                            kDefaultAcgParam.win_ms, signal.size());
    const size_t nframes = static_cast<size_t>(fr.nframes);
    for (size_t k = 0; k < masks.size() && r.error.empty(); ++k)
        r.error = check_mask_shape(*masks[k], nframes, kDefaultAcgParam.nchans, k, masks.size(),
                                   signal.size(), srate);
    if (!r.error.empty()) return r;

    Resynthesizer rs(plan_resynthesis(srate), static_cast<int>(masks.size()));
    r.outputs.resize(masks.size());
    std::vector<std::vector<double>*> outs;
    for (auto& o : r.outputs) {
        o.reserve(signal.size());
        outs.push_back(&o);
    }
    // Samples and frames go in a block at a time, so the bank holds
    // little more than a block whatever the signal's length.
    const size_t step = rs.plan().block;
    std::vector<const double*> rows(masks.size());
    size_t j = 0;
    for (size_t t = 0; t < signal.size(); t += step) {
        const size_t n = std::min(step, signal.size() - t);
        rs.add_samples(signal.data() + t, n);
        for (; j < nframes && static_cast<size_t>(j) * fr.shift < t + n; ++j) {
            for (size_t k = 0; k < masks.size(); ++k) rows[k] = (*masks[k])[j].data();
            if (!rs.add_frame(rows.data())) {
                r.outputs.clear();
                r.error = rs.error();
                return r;
            }
        }
        rs.take(outs.data());
    }
    rs.finish();
    rs.take(outs.data());
    return r;
}
