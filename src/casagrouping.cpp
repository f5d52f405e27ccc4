#include "casagrouping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kMaxPeaks = 32;          // peaks kept per summary autocorrelation
constexpr int kGaborHalf = 30;         // taps on each side of a Gabor kernel's centre
constexpr double kSilenceFloor = 0.00001;
constexpr double kCloseHz = 3.0;       // candidates closer than this are one F0
constexpr double kMaskFloor = 0.501;   // mask of a claimed unit far off its track

// Quotients of the sample rate by a lag. Which one a candidate uses matters:
// the tracker's F0 values are matched back to the candidates bit for bit.
double single_quotient(int srate, int lag) {
    return static_cast<double>(static_cast<float>(srate) / static_cast<float>(lag));
}

double double_quotient(int srate, int lag) { return static_cast<double>(srate) / lag; }

// Element encoders of the result files, least significant byte first.
void put_int16(unsigned char* out, int v) {
    const auto u = static_cast<uint16_t>(static_cast<unsigned>(v) & 0xFFFFu);
    out[0] = static_cast<unsigned char>(u & 0xFFu);
    out[1] = static_cast<unsigned char>(u >> 8);
}

void put_float32(unsigned char* out, double v) {
    const float f = static_cast<float>(v);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>((bits >> (8 * b)) & 0xFFu);
}

// Writes a matrix as a headerless row-major dump, one buffer per row.
// Reports on standard error and returns false when the file cannot be
// opened, or when a write or the close fails (the file would be short).
template <typename T, typename Put>
bool write_matrix(const char* filename, const std::vector<std::vector<T>>& m, size_t width,
                  Put put) {
    std::ofstream out(filename, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::cerr << "Unable to open file: " << filename << std::endl;
        return false;
    }
    std::vector<unsigned char> buf;
    for (const auto& row : m) {
        buf.resize(row.size() * width);
        for (size_t i = 0; i < row.size(); ++i) put(&buf[i * width], row[i]);
        out.write(reinterpret_cast<const char*>(buf.data()),
                  static_cast<std::streamsize>(buf.size()));
    }
    out.close();
    if (out.fail()) {
        std::cerr << "Unable to write file: " << filename << std::endl;
        return false;
    }
    return true;
}

}  // namespace

CASAGrouping::CASAGrouping(const AcgModel& m, PitchTracker& t)
    : model(m), tracker(t),
      frmSegments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      f0Candidates(m.nframes, std::vector<double>(4, 0.0)),
      f0Labels(m.nframes, std::vector<int>(2, 0)),
      f0Tracks(m.nframes, std::vector<double>(2, 0.0)),
      fragments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      mask(m.nframes, std::vector<double>(m.param.nchans, 0.0)),
      sumAcg(m.nlags, 0.0),
      currAcg(m.param.nchans, std::vector<double>(m.nlags, 0.0)),
      gaborReal(m.param.nchans, std::vector<double>(30, 0.0)),
      gaborImag(m.param.nchans, std::vector<double>(30, 0.0)),
      minLag(static_cast<int>(std::ceil(static_cast<double>(m.srate) / 400.0)) + 1),
      maxLag(static_cast<int>(std::round(static_cast<double>(m.srate) / 71.4)) - 1) {
    if (m.nlags < maxLag) maxLag = m.nlags;
}

CASAGrouping::~CASAGrouping() = default;

// ---------------------------------------------------------------------------
// Frame loop and per-frame pipeline

void CASAGrouping::generate_fragments(const Matrix* x) {
    weights = x;
    spectral_integrate();
    tracker.track(f0Candidates, model.nframes, f0Labels, f0Tracks);
    form_fragments();
}

void CASAGrouping::spectral_integrate() {
    for (currFrame = 0; currFrame < model.nframes; ++currFrame) {
        if (is_silent()) continue;
        if (is_unvoiced()) continue;
        normalise_current_acg();
        group_channels();
    }
}

void CASAGrouping::group_channels() {
    const int nchans = model.param.nchans;
    updateGabor();

    std::vector<int> dendrites(nchans, 0);
    extract_dendrites(dendrites);

    std::vector<int> spines(4, 0);
    int spineCount = 2;
    bool fallback = locate_dendrites(dendrites, spines, spineCount);

    std::vector<int> channelGroups(nchans, 0);
    adjust_spines(dendrites, channelGroups, fallback, spines, spineCount);

    // A fallback spine beyond the search range carries no usable period.
    if (!fallback || peakLag <= maxLag) {
        assign_channels(spines, spineCount, channelGroups);
        update_FrmSeg_F0Cand(channelGroups);
    }
}

// ---------------------------------------------------------------------------
// Frame tests and primitives

double CASAGrouping::weight(int c) const {
    if (!weights) return 1.0;
    const std::vector<double>& row = weights->at(currFrame);
    if (row.size() < static_cast<size_t>(model.param.nchans))
        throw std::out_of_range("weight row shorter than the number of channels");
    return row[c];
}

bool CASAGrouping::is_silent() {
    const int nchans = model.param.nchans;
    if (nchans <= 0 || model.nlags <= 0) return true;
    const size_t at = static_cast<size_t>(currFrame) * model.nlags;
    double loudest = 0.0;
    int where = 0;
    for (int c = 0; c < nchans; ++c) {
        const double v = model.acg[c][at];
        if (v > loudest) {
            loudest = v;
            where = c;
        }
    }
    // Energy concentrated in the lowest channel is hum or rumble, not voice.
    return loudest < kSilenceFloor || !(loudest > 0.0) || where == 0;
}

bool CASAGrouping::is_unvoiced() {
    sum_acg();
    peakLag = -1;
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 20, minLag, peaks, kMaxPeaks);
    if (n == 0) return true;
    double highest = 0.0;
    for (int i = 0; i < n; ++i) {
        if (sumAcg[peaks[i]] > highest) {
            highest = sumAcg[peaks[i]];
            peakLag = peaks[i];
        }
    }
    if (peakLag < minLag + 3) return true;
    return highest / sumAcg[0] < 0.5;
}

void CASAGrouping::normalise_current_acg() {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    for (int c = 0; c < model.param.nchans; ++c) {
        const double* a = model.acg[c].data() + at;
        std::vector<double>& row = currAcg[c];
        row[0] = 1.0;
        const double d = a[0] > 0.0 ? a[0] : 1.0;
        for (int k = 1; k < nlags; ++k) {
            const double v = a[k] / d;
            row[k] = v > 1.0 ? 1.0 : v;
        }
    }
}

void CASAGrouping::sum_acg() {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        const double w = weight(c);
        const double* a = model.acg[c].data() + at;
        for (int k = 0; k < nlags; ++k) sumAcg[k] = w * a[k] + sumAcg[k];
    }
}

int CASAGrouping::pick_peaks(const double* data, int n, int width, int start, int* peaks,
                             int maxPeaks) {
    const int skip = static_cast<int>(std::floor(width / 3.0));
    if (!(data[0] > 0.0) || maxPeaks <= 0) return 0;
    const int half = static_cast<int>(std::ceil(width * 0.5));
    const double threshold = 0.4 * data[0];
    int count = 0;
    for (int c = start; c < n - half - 1; ++c) {
        double m = 0.0;
        for (int k = c - half; k <= c + half; ++k)
            if (data[k] > m) m = data[k];
        if (data[c] == m && data[c] > threshold) {
            peaks[count++] = c;
            if (count >= maxPeaks) return count;
            c += skip;
        }
    }
    return count;
}

double CASAGrouping::find_max(const double* p, int from, int to, int& idx) {
    idx = from;
    double best = 0.0;
    for (int i = from; i <= to; ++i) {
        if (p[i] > best) {
            best = p[i];
            idx = i;
        }
    }
    return best;
}

double CASAGrouping::find_max(const double* p, int from, int to) {
    int idx;
    return find_max(p, from, to, idx);
}

void CASAGrouping::rangeInHz(int lag, double tolHz, int& lo, int& hi) const {
    const int srate = model.srate;
    const double P = static_cast<double>(lag * srate);
    lo = static_cast<int>(std::floor(P / (srate + lag * tolHz)));
    hi = static_cast<int>(std::ceil(P / (srate - lag * tolHz)));
    if (hi >= maxLag) hi = maxLag - 1;
}

double CASAGrouping::calc_distHz(int a, int b) const {
    const double srate = model.srate;
    return std::fabs(srate / a - srate / b);
}

// ---------------------------------------------------------------------------
// Gabor dendrites and spines

namespace {

// Lags of a channel's first strong peak, first weak peak before it, and
// first trough, over the lags 2 .. nlags - 11; 0 where there is none.
struct RowFeatures {
    int peak = 0;
    int weak = 0;
    int trough = 0;
};

RowFeatures first_features(const std::vector<double>& r, int nlags) {
    RowFeatures f;
    for (int k = 2; k < nlags - 10; ++k) {
        if (r[k] > r[k - 1] && r[k] > r[k + 1]) {
            if (r[k] > 0.3 * r[0]) {
                if (f.peak == 0) f.peak = k;
            } else if (f.peak == 0 && f.weak == 0) {
                f.weak = k;
            }
        }
        if (r[k] < r[k - 1] && r[k] < r[k + 1] && f.trough == 0) f.trough = k;
        if (f.peak != 0 && f.trough != 0) break;  // the weak peak can no longer change
    }
    return f;
}

}  // namespace

void CASAGrouping::updateGabor() {
    for (int c = 0; c < model.param.nchans; ++c) {
        // The channel's period: mean of twice its first trough and its first peak.
        const RowFeatures f = first_features(currAcg[c], model.nlags);
        const double P = (2 * f.trough + (f.peak != 0 ? f.peak : f.weak)) * 0.5;
        const double p = P >= 1.0 ? P : 1.0;
        const double sigma = p * 0.4;
        const double sigma2 = sigma * sigma;
        for (int t = 0; t < kGaborHalf; ++t) {
            const double x = t - kGaborHalf;
            const double g = std::exp(((x * -0.5) * x) / sigma2);
            const double theta = x * 6.283185307179586 / p;
            gaborReal[c][t] = std::cos(theta) * g;
            gaborImag[c][t] = std::sin(theta) * g;
        }
    }
}

int CASAGrouping::gabor_conv2(int c) {
    const int nlags = model.nlags;
    const int L = maxLag - minLag;
    std::vector<double> re(L, 0.0), im(L, 0.0);
    // Data channel c + 2 - i is filtered with the kernel of channel c - 2 + i.
    for (int i = 0; i < 5; ++i) {
        const std::vector<double>& D = currAcg[c + 2 - i];
        const std::vector<double>& kr = gaborReal[c - 2 + i];
        const std::vector<double>& ki = gaborImag[c - 2 + i];
        for (int n = kGaborHalf; n >= 1; --n) {
            const int t = kGaborHalf - n;
            for (int m = 0; m < L; ++m) {
                const int tau = minLag + m;
                const double a = (tau + n >= 0 && tau + n < nlags) ? D[tau + n] : 0.0;
                const double b = (tau - n >= 0 && tau - n < nlags) ? D[tau - n] : 0.0;
                re[m] += (a + b) * kr[t];
                im[m] += (a - b) * ki[t];
            }
        }
        for (int m = 0; m < L; ++m) re[m] += D[minLag + m];
    }
    // The last lag of the range is not a candidate.
    double best = 0.0;
    int bestM = 0;
    for (int m = 0; m <= L - 2; ++m) {
        const double e = re[m] * re[m] + im[m] * im[m];
        if (e > best) {
            best = e;
            bestM = m;
        }
    }
    return minLag + bestM;
}

void CASAGrouping::extract_dendrites(std::vector<int>& dendrites) {
    const int nchans = model.param.nchans;
    // The two channels at each edge lack neighbours: they take their own maximum.
    for (int i = 0; i < 2; ++i) {
        for (const int c : {i, nchans - 1 - i}) {
            int lag;
            find_max(currAcg[c].data(), minLag, maxLag - 1, lag);
            dendrites[c] = lag;
        }
    }
    for (int c = 2; c <= nchans - 3; ++c) dendrites[c] = gabor_conv2(c);
}

namespace {

// Sum of the histogram bins over the lags lo .. hi (bins outside ignored),
// accumulated in single precision.
float histogram_score(const std::vector<double>& hist, int base, int lo, int hi) {
    const int L = static_cast<int>(hist.size());
    float acc = 0.0f;
    for (int b = lo - base; b <= hi - base; ++b)
        if (b >= 0 && b < L) acc = static_cast<float>(static_cast<double>(acc) + hist[b]);
    return acc;
}

}  // namespace

bool CASAGrouping::locate_dendrites(const std::vector<int>& dendrites, std::vector<int>& spines,
                                    int& spineCount) {
    const int base = minLag + 3;
    const int L = maxLag - minLag - 5;

    // Histogram of dendrite lags, each channel voting with its weight.
    std::vector<double> hist(L > 0 ? L : 0, 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        const int d = dendrites[c];
        if (d >= base && d <= base + L - 1) hist[d - base] += weight(c);
    }

    spineCount = 1;
    spines[0] = -1;
    spines[1] = -1;
    auto score = [&](int tau) {
        int lo, hi;
        rangeInHz(tau, 1.0, lo, hi);
        return histogram_score(hist, base, lo, hi);
    };

    if (L > 2) {
        float best = 0.0f;
        for (int k = 2; k < L; ++k) {
            const float s = score(base + k);
            if (s > best) {
                best = s;
                spines[0] = k;
            }
        }
    }
    if (spines[0] == -1) {
        // No dendrite agreement: the summary's own period is the only spine.
        spines[0] = peakLag;
        return true;
    }
    spines[0] = base + spines[0];

    // Clear the first spine's neighbourhood before looking for a second one.
    int lo, hi;
    rangeInHz(spines[0], 1.0, lo, hi);
    for (int lag = lo; lag <= hi; ++lag)
        if (lag - base >= 0 && lag - base < L) hist[lag - base] = 0.0;

    // The second spine is neither the first again nor its octave.
    float best = 0.0f;
    for (int j = 0; j < L; ++j) {
        const int tau = base + j;
        const float s = score(tau);
        if (s > best && calc_distHz(spines[0], tau) > kCloseHz &&
            calc_distHz(spines[0], tau / 2) > kCloseHz) {
            best = s;
            spines[1] = j;
        }
    }
    if (spines[1] != -1) {
        spineCount = 2;
        spines[1] = base + spines[1];
    }
    return false;
}

// ---------------------------------------------------------------------------
// Spine adjustment and channel assignment

void CASAGrouping::sum_acg(const std::vector<int>& channelGroups, SPINE_GROUPS group) {
    const int nlags = model.nlags;
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        if (channelGroups[c] != group) continue;
        const std::vector<double>& r = currAcg[c];
        for (int k = 0; k < nlags; ++k) sumAcg[k] += r[k];
    }
}

namespace {

// Sets spines[s + 2] to the summary's maximum near twice spines[s].
void double_spine(const std::vector<double>& sumAcg, int maxLag, std::vector<int>& spines,
                  int s) {
    const int d = 2 * spines[s];
    spines[s + 2] = d;
    if (d + 5 < maxLag) {
        int lag;
        CASAGrouping::find_max(sumAcg.data(), d - 5, d + 5, lag);
        spines[s + 2] = lag;
    } else {
        spines[s + 2] = std::min(d, maxLag - 1);
    }
}

}  // namespace

void CASAGrouping::adjust_spines(const std::vector<int>& dendrites,
                                 std::vector<int>& channelGroups, bool& fallback,
                                 std::vector<int>& spines, int& spineCount) {
    const int nchans = model.param.nchans;
    auto fall_back = [&]() {
        spines[0] = peakLag;
        fallback = true;
        spineCount = 1;
        double_spine(sumAcg, maxLag, spines, 0);  // on the all-channel summary
    };
    if (fallback) {
        double_spine(sumAcg, maxLag, spines, 0);
        return;
    }

    // Support: channels whose dendrite lies within 1 Hz of a spine.
    int lo0, hi0, lo1 = 0, hi1 = 0;
    rangeInHz(spines[0], 1.0, lo0, hi0);
    if (spineCount > 1) rangeInHz(spines[1], 1.0, lo1, hi1);
    if (nchans <= 0) return fall_back();
    int support1 = 0, support2 = 0;
    for (int c = 0; c < nchans; ++c) {
        const int d = dendrites[c];
        if (lo0 <= d && d <= hi0) {
            channelGroups[c] = SPINE_1;
            ++support1;
        } else if (spineCount > 1 && lo1 <= d && d <= hi1) {
            channelGroups[c] = SPINE_2;
            ++support2;
        }
    }
    if (support1 <= 2) return fall_back();
    if (support2 <= 2) spineCount = 1;

    // Move each spine to the peak of its own channels' summary within 5 Hz.
    int lo, hi;
    sum_acg(channelGroups, SPINE_1);
    rangeInHz(spines[0], 5.0, lo, hi);
    find_max(sumAcg.data(), lo, hi, spines[0]);
    double_spine(sumAcg, maxLag, spines, 0);
    if (spineCount == 1) return;

    if (spines[1] + 2 >= maxLag) {
        spineCount = 1;
        return;
    }
    sum_acg(channelGroups, SPINE_2);
    rangeInHz(spines[1], 5.0, lo, hi);
    find_max(sumAcg.data(), lo, hi, spines[1]);
    double_spine(sumAcg, maxLag, spines, 1);

    merge_spines(spines, spineCount);
}

void CASAGrouping::merge_spines(std::vector<int>& spines, int& spineCount) const {
    const int s0 = spines[0];
    const int s1 = spines[1];
    if (calc_distHz(s0, s1) <= 3.0) {
        spineCount = 1;  // one periodicity: the first spine stays
    } else if (calc_distHz(s0, 2 * s1) < 2.0) {
        // The first spine is the second's lower octave: keep the shorter period.
        spines[0] = spines[1];
        spines[2] = spines[3];
        spineCount = 1;
    } else if (calc_distHz(s1, 2 * s0) < 2.0) {
        spineCount = 1;  // the second spine is the first's lower octave
    }
}

int CASAGrouping::toward_larger_neighbour(const std::vector<double>& r, int lag, double rangeMax,
                                          int& idx) const {
    int h = lag;
    if (r[lag - 1] > r[lag])
        h = lag - 1;
    else if (r[lag + 1] > r[lag])
        h = lag + 1;
    if (r[h] / rangeMax > 0.95 && r[h] / r[0] > 0.5) idx = h;
    return h;
}

void CASAGrouping::assign_channels(const std::vector<int>& spines, int spineCount,
                                   std::vector<int>& channelGroups) {
    const int nchans = model.param.nchans;
    const double srate = model.srate;
    const int s0 = spines[0], s1 = spines[1], s2 = spines[2];
    std::fill(channelGroups.begin(), channelGroups.end(), 0);

    // Lags within 10 % of each spine frequency; tol is 5 % of the lower one.
    double tol = srate * 0.05 / s0;
    int lo0, hi0, lo1 = 0, hi1 = 0;
    rangeInHz(s0, tol + tol, lo0, hi0);
    if (spineCount > 1) {
        const double tol1 = 0.05 * srate / s1;
        tol = std::min(tol, tol1);
        rangeInHz(s1, srate * 0.1 / s1, lo1, hi1);
    }

    for (int c = 0; c < nchans; ++c) {
        const std::vector<double>& r = currAcg[c];
        const double cf = model.cfs[c];
        int idx;
        const double max1 = find_max(r.data(), lo0, hi0, idx);
        if (r[0] == 0.0 || max1 / r[0] < 0.1) continue;  // too weak to examine

        // High channels resolve the period only to within a lag.
        int l = s0;
        if (cf > 740.0) l = toward_larger_neighbour(r, l, max1, idx);
        const double e1 = (max1 > 0.0 && r[l] / max1 > 0.95 && r[l] / r[0] > 0.5)
                              ? std::min(tol - 1.0, calc_distHz(idx, l))
                              : tol + 1.0;
        if (spineCount <= 1) {
            channelGroups[c] = decide_label(r, tol, e1, tol + 1.0, max1, 0.0, l, 0, s2, false);
            continue;
        }

        const double max2 = find_max(r.data(), lo1, hi1, idx);
        int j = s1;
        if (cf > 740.0) j = toward_larger_neighbour(r, j, max2, idx);
        double e2 = calc_distHz(idx, j);
        if (max2 > 0.0 && r[j] / max2 > 0.95 && r[j] / r[0] > 0.5) {
            e2 = std::min(tol - 1.0, e2);
            if (r[j] > r[l]) e2 = std::min(e1, e2);
        }
        if (cf > 3650.0)
            channelGroups[c] = r[l] > r[j] ? SPINE_1 : SPINE_2;
        else
            channelGroups[c] = decide_label(r, tol, e1, e2, max1, max2, l, j, s2, true);
    }
}

int CASAGrouping::decide_label(const std::vector<double>& r, double tol, double e1, double e2,
                               double max1, double max2, int l, int j, int s2,
                               bool twoSpines) const {
    if (tol > e1 && (e2 > e1 || max1 > max2)) return r[l] > r[s2] ? SPINE_1 : SPINE_2;
    if (tol > e2 && (e1 > e2 || max2 > max1)) return SPINE_2;
    if (twoSpines) {
        if (r[0] > kSilenceFloor) return r[l] > r[j] ? SPINE_1 : SPINE_2;
        return 0;
    }
    return SPINE_2;
}

// ---------------------------------------------------------------------------
// Frame segments and F0 candidates

void CASAGrouping::sum_acg(SPINE_GROUPS group) {
    const int nlags = model.nlags;
    const size_t at = static_cast<size_t>(currFrame) * nlags;
    const std::vector<int>& labels = frmSegments[currFrame];
    std::fill(sumAcg.begin(), sumAcg.end(), 0.0);
    for (int c = 0; c < model.param.nchans; ++c) {
        if (labels[c] != group) continue;
        const double w = weight(c);
        const double* a = model.acg[c].data() + at;
        for (int k = 0; k < nlags; ++k) sumAcg[k] += w * a[k];
    }
}

void CASAGrouping::update_FrmSeg_F0Cand(const std::vector<int>& channelGroups) {
    const int nchans = model.param.nchans;
    std::vector<int>& seg = frmSegments[currFrame];
    std::vector<double>& cand = f0Candidates[currFrame];

    // The labels go in first: the pooled functions select channels by them.
    int members1 = 0, members2 = 0;
    for (int c = 0; c < nchans; ++c) {
        const int g = channelGroups[c];
        if (g == 0) continue;
        if (g == SPINE_1)
            ++members1;
        else
            ++members2;
        seg[c] = g;
    }
    if (members1 >= 2) group1_candidate(cand);
    if (members2 >= 2) group2_candidates(cand);

    const bool merged = cross_check_candidates(cand);
    for (int c = 0; c < nchans; ++c) {
        if (channelGroups[c] == 0)
            seg[c] = 0;
        else if (merged)
            seg[c] = SPINE_1;
    }
}

void CASAGrouping::group1_candidate(std::vector<double>& cand) {
    sum_acg(SPINE_1);
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 15, minLag, peaks, kMaxPeaks);
    if (n == 0) return;
    double highest = 0.0;
    int lag = peaks[0];
    for (int i = 0; i < n; ++i) {
        if (sumAcg[peaks[i]] > highest) {
            highest = sumAcg[peaks[i]];
            lag = peaks[i];
        }
    }
    cand[0] = single_quotient(model.srate, lag);
}

namespace {

// Clears a group-2 candidate that repeats the strongest one or lies at its
// lower octave.
void drop_if_near_first(std::vector<double>& cand, int i) {
    if (std::fabs(cand[1] - 2 * cand[i]) < kCloseHz) cand[i] = 0.0;
    if (std::fabs(cand[1] - cand[i]) < kCloseHz) cand[i] = 0.0;
}

}  // namespace

void CASAGrouping::group2_candidates(std::vector<double>& cand) {
    sum_acg(SPINE_2);
    int peaks[kMaxPeaks];
    const int n = pick_peaks(sumAcg.data(), model.nlags, 15, minLag, peaks, kMaxPeaks);
    if (n == 0) {
        int lag;
        // The last lag read is maxLag itself, kept inside the summary.
        find_max(sumAcg.data(), minLag, std::min(maxLag, model.nlags - 1), lag);
        cand[1] = single_quotient(model.srate, lag);
        return;
    }
    // Rank by height; of equal heights the later (longer-lag) peak ranks higher.
    std::pair<double, int> ranked[kMaxPeaks];
    for (int i = 0; i < n; ++i) ranked[i] = {sumAcg[peaks[i]], i};
    std::sort(ranked, ranked + n);
    const double top = ranked[n - 1].first;

    cand[1] = double_quotient(model.srate, peaks[ranked[n - 1].second]);
    if (n >= 2 && ranked[n - 2].first > 0.9 * top) {
        cand[2] = double_quotient(model.srate, peaks[ranked[n - 2].second]);
        drop_if_near_first(cand, 2);
    }
    if (n >= 3 && ranked[n - 3].first > 0.9 * top) {
        cand[3] = single_quotient(model.srate, peaks[ranked[n - 3].second]);
        drop_if_near_first(cand, 3);
    }
}

bool CASAGrouping::cross_check_candidates(std::vector<double>& cand) const {
    if (!(cand[0] > 0.0)) return false;
    bool merged = false;
    if (cand[1] > 0.0 && std::fabs(cand[0] - cand[1]) < kCloseHz) {
        // Both groups carry the same F0.
        cand[1] = cand[2] = cand[3] = 0.0;
        merged = true;
    }
    // Group 2's other candidates must not repeat group 1's F0, half or double.
    for (int i = 2; i <= 3; ++i) {
        if (cand[i] > 0.0 && (std::fabs(cand[0] - cand[i]) < kCloseHz ||
                              std::fabs(cand[0] - 2 * cand[i]) < kCloseHz ||
                              std::fabs(2 * cand[0] - cand[i]) < kCloseHz))
            cand[i] = 0.0;
    }
    return merged;
}

// ---------------------------------------------------------------------------
// Fragments and mask

void CASAGrouping::form_fragments() {
    const double srate = model.srate;
    for (int i = 0; i < model.nframes; ++i) {
        for (int j = 0; j < 2; ++j) {
            const int label = f0Labels[i][j];
            if (label <= 0) continue;
            const double t = f0Tracks[i][j];
            const std::vector<double>& cand = f0Candidates[i];
            if (t == cand[0]) claim_group(i, SPINE_1, t, label);
            if (t == cand[1] || t == cand[2] || t == cand[3]) {
                // A period beyond the search range: the group is claimed at the floor.
                if (std::round(srate / t) > maxLag)
                    claim_group_at_floor(i, label);
                else
                    claim_group(i, SPINE_2, t, label);
            }
        }
    }
}

void CASAGrouping::claim_group_at_floor(int frame, int label) {
    for (int k = 0; k < model.param.nchans; ++k) {
        if (frmSegments[frame][k] != SPINE_2) continue;
        fragments[frame][k] = label;
        mask[frame][k] = kMaskFloor;
    }
}

void CASAGrouping::claim_group(int frame, SPINE_GROUPS group, double t, int label) {
    const double srate = model.srate;
    const int nlags = model.nlags;
    const int lo = static_cast<int>(std::round(srate / (t + 20.0)));
    const int hi = std::min(static_cast<int>(std::round(srate / (t - 20.0))), nlags - 1);
    const size_t at = static_cast<size_t>(frame) * nlags;
    for (int k = 0; k < model.param.nchans; ++k) {
        if (frmSegments[frame][k] != group) continue;
        fragments[frame][k] = label;
        // The channel's own period near the track's: first strongest lag within 20 Hz.
        int best = lo;
        double highest = 0.0;
        for (int l = lo; l <= hi; ++l) {
            const double v = model.acg[k][at + l];
            if (v > highest) {
                highest = v;
                best = l;
            }
        }
        mask[frame][k] = mask_value(t, best);
    }
}

double CASAGrouping::mask_value(double t, int bestLag) const {
    const float est = static_cast<float>(model.srate) / static_cast<float>(bestLag);
    const double d = std::fabs(t - static_cast<double>(est));
    // Logistic in the deviation, 0.5 at 20 Hz, evaluated in single precision.
    const float x = static_cast<float>((20.0 - d) * -0.15);
    const float m = 1.0f / (::expf(x) + 1.0f);
    return m < 0.5f ? kMaskFloor : static_cast<double>(m);
}

bool CASAGrouping::fragment_labels_wrap() const {
    for (const auto& row : fragments)
        for (const int v : row)
            if (v < -32768 || v > 32767) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Result writers

bool CASAGrouping::write_frmSegments(const char* filename) const {
    return write_matrix(filename, frmSegments, 2, put_int16);
}

bool CASAGrouping::write_f0Candidates(const char* filename) const {
    return write_matrix(filename, f0Candidates, 4, put_float32);
}

bool CASAGrouping::write_f0Tracks(const char* filename) const {
    return write_matrix(filename, f0Tracks, 4, put_float32);
}

bool CASAGrouping::write_fragments(const char* filename) const {
    return write_matrix(filename, fragments, 2, put_int16);
}

bool CASAGrouping::write_mask(const char* filename) const {
    return write_matrix(filename, mask, 4, put_float32);
}

bool CASAGrouping::write_f0Labels(const char* filename) const {
    return write_matrix(filename, f0Labels, 2, put_int16);
}
