#include "scoring.h"

#include <cmath>
#include <limits>
#include <sstream>

#include "acgmodel.h"
#include "auxiliary.h"
#include "geometry.h"
#include "resynth.h"
#include "separate.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

double ratio_db(double num, double den) { return 10.0 * std::log10(num / den); }

std::vector<double> difference(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> d(a.size());
    for (size_t i = 0; i < a.size(); ++i) d[i] = a[i] - b[i];
    return d;
}

Matrix log_levels(const Matrix& e) {
    Matrix l(e.size());
    for (size_t j = 0; j < e.size(); ++j) {
        l[j].resize(e[j].size());
        for (size_t c = 0; c < e[j].size(); ++c) l[j][c] = std::log10(e[j][c]);
    }
    return l;
}

Matrix sum(const Matrix& a, const Matrix& b) {
    Matrix s = a;
    for (size_t j = 0; j < s.size(); ++j)
        for (size_t c = 0; c < s[j].size(); ++c) s[j][c] += b[j][c];
    return s;
}

Matrix as_mask(const IntMatrix& m) {
    Matrix d(m.size());
    for (size_t j = 0; j < m.size(); ++j) d[j].assign(m[j].begin(), m[j].end());
    return d;
}

// The soft and the binary mask of the units whose label maps to value.
void masks_where(const IntMatrix& labels, const std::map<int, int>& to, int value,
                 const Matrix& mask, Matrix& soft, IntMatrix& binary) {
    soft.assign(labels.size(), {});
    binary.assign(labels.size(), {});
    for (size_t j = 0; j < labels.size(); ++j) {
        soft[j].assign(labels[j].size(), 0.0);
        binary[j].assign(labels[j].size(), 0);
        for (size_t c = 0; c < labels[j].size(); ++c) {
            const auto it = to.find(labels[j][c]);
            if (labels[j][c] != 0 && it != to.end() && it->second == value)
                soft[j][c] = mask[j][c], binary[j][c] = 1;
        }
    }
}

// The columns of m whose channel the resynthesis uses (gain above 0).
IntMatrix used_channels(const IntMatrix& m, const std::vector<double>& gains) {
    IntMatrix u(m.size());
    for (size_t j = 0; j < m.size(); ++j)
        for (size_t c = 0; c < m[j].size(); ++c)
            if (gains[c] > 0.0) u[j].push_back(m[j][c]);
    return u;
}

VoiceScore score_voice(const std::vector<double>& estimate, const std::vector<double>& source,
                       int index, const SeparationScores& s, double hitFa) {
    VoiceScore v;
    v.source = index + 1;
    v.snr = snr_db(estimate, source);
    v.sisdr = si_sdr_db(estimate, source);
    v.snrGain = v.snr - s.mixtureSnr[index];
    v.sisdrGain = v.sisdr - s.mixtureSiSdr[index];
    v.hitFa = hitFa;
    return v;
}

}  // namespace

double snr_db(const std::vector<double>& estimate, const std::vector<double>& reference) {
    double err = 0.0;
    for (size_t i = 0; i < reference.size(); ++i) {
        const double d = reference[i] - estimate[i];
        err += d * d;
    }
    return ratio_db(dot(reference, reference), err);
}

double si_sdr_db(const std::vector<double>& estimate, const std::vector<double>& reference) {
    const double rr = dot(reference, reference);
    if (dot(estimate, estimate) == 0.0 || rr == 0.0) return kNaN;
    const double a = dot(estimate, reference) / rr;
    double target = 0.0, err = 0.0;
    for (size_t i = 0; i < reference.size(); ++i) {
        const double t = a * reference[i], d = estimate[i] - t;
        target += t * t;
        err += d * d;
    }
    return ratio_db(target, err);
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    const double aa = dot(a, a), bb = dot(b, b);
    if (aa == 0.0 || bb == 0.0) return 0.0;
    return dot(a, b) / std::sqrt(aa * bb);
}

std::string check_sources(const std::vector<double>& mixture, const std::vector<double>& s1,
                          const std::vector<double>& s2) {
    std::ostringstream why;
    const std::vector<double>* src[2] = {&s1, &s2};
    for (int k = 0; k < 2; ++k) {
        if (src[k]->size() != mixture.size()) {
            why << "source " << k + 1 << " has " << src[k]->size() << " samples, the mixture "
                << mixture.size();
            return why.str();
        }
        const double rms = mixture.empty() ? 0.0 : std::sqrt(dot(*src[k], *src[k]) / mixture.size());
        if (!(rms >= kSilentRms)) {
            why << "source " << k + 1 << " is silent (RMS " << rms << ", below " << kSilentRms << ")";
            return why.str();
        }
    }
    const double r = correlation(s1, s2);
    if (std::fabs(r) >= kCopyCorrelation) {
        why << "sources 1 and 2 are copies of one another (correlation " << r << ")";
        return why.str();
    }
    return "";
}

Matrix unit_energies(const std::vector<double>& signal, int srate) {
    const ResynthesisPlan plan = plan_resynthesis(srate);
    const int nchans = plan.channels();
    const FrameGeometry fr = frame_geometry(srate, kDefaultAcgParam.shift_ms,
                                            kDefaultAcgParam.win_ms, signal.size());
    Matrix e(fr.nframes, std::vector<double>(nchans, 0.0));
    ZeroPhaseBank bank(plan);
    FrameShares shares(plan.shift, plan.window);
    const ZeroPhaseBank::Block block = [&](size_t t0, size_t n, double* const* z) {
        long long first, last;
        shares.frames_of(t0, n, fr.nframes, first, last);
        shares.compute(t0, n, first, last);
        for (long long j = first; j <= last; ++j) {
            size_t lo, hi;
            shares.part(j, lo, hi);
            const double* p = shares.share(j);
            for (int c = 0; c < nchans; ++c) {
                const double* zc = z[c] + (lo - t0);
                double s = 0.0;
                for (size_t t = 0; t < hi - lo; ++t) s += p[t] * zc[t] * zc[t];
                e[j][c] += plan.gains[c] * plan.gains[c] * s;
            }
        }
    };
    for (size_t t = 0; t < signal.size(); t += plan.block) {
        bank.push(signal.data() + t, std::min(plan.block, signal.size() - t));
        bank.deliver(signal.size(), block);
    }
    bank.finish();
    bank.deliver(signal.size(), block);
    return e;
}

IntMatrix ideal_binary_mask(const Matrix& target, const Matrix& interference) {
    // The SNR map of the whole (target + interference) over the
    // interference: 20 log10(target / interference) of the energies, whose
    // sign is the local SNR's.
    Matrix snr;
    compute_snrmap_log(snr, log_levels(sum(target, interference)), log_levels(interference));
    IntMatrix ibm(snr.size());
    for (size_t j = 0; j < snr.size(); ++j) {
        ibm[j].assign(snr[j].size(), 0);
        for (size_t c = 0; c < snr[j].size(); ++c) ibm[j][c] = snr[j][c] > 0.0 ? 1 : 0;
    }
    return ibm;
}

double hit_minus_fa(const IntMatrix& mask, const IntMatrix& ibm) {
    double hits = 0, ones = 0, alarms = 0, zeros = 0;
    for (size_t j = 0; j < ibm.size(); ++j)
        for (size_t c = 0; c < ibm[j].size(); ++c) {
            const bool on = mask[j][c] != 0;
            if (ibm[j][c]) ++ones, hits += on;
            else ++zeros, alarms += on;
        }
    if (ones == 0 || zeros == 0) return kNaN;
    return hits / ones - alarms / zeros;
}

std::map<int, int> ideal_grouping(const IntMatrix& fragments, const Matrix& e1, const Matrix& e2) {
    std::map<int, std::pair<double, double>> energy;
    for (size_t j = 0; j < fragments.size(); ++j)
        for (size_t c = 0; c < fragments[j].size(); ++c) {
            const int id = fragments[j][c];
            if (id == 0) continue;
            auto& e = energy[id];
            e.first += e1[j][c];
            e.second += e2[j][c];
        }
    std::map<int, int> source;
    for (const auto& [id, e] : energy) source[id] = e.second > e.first ? 2 : 1;
    return source;
}

namespace {

// The scores of two separated voices (their outputs and binary masks), each
// paired with the source it follows: of the two pairings, the one of larger
// summed correlation.
void score_voices(const std::vector<double>* outputs, const std::vector<double>* const src[2],
                  const IntMatrix binary[2], const IntMatrix ibmUsed[2],
                  const std::vector<double>& gains, const SeparationScores& s, VoiceScore out[2]) {
    const std::vector<double>& v1 = outputs[0];
    const std::vector<double>& v2 = outputs[1];
    const bool swap = correlation(v1, *src[1]) + correlation(v2, *src[0]) >
                      correlation(v1, *src[0]) + correlation(v2, *src[1]);
    for (int v = 0; v < 2; ++v) {
        const int k = swap ? 1 - v : v;
        out[v] = score_voice(outputs[v], *src[k], k, s,
                             hit_minus_fa(used_channels(binary[v], gains), ibmUsed[k]));
    }
}

}  // namespace

SeparationScores score_separation(const std::vector<double>& mixture, const std::vector<double>& s1,
                                  const std::vector<double>& s2, int srate,
                                  const VoiceAnalysis& analysis) {
    SeparationScores s;
    s.error = check_signal(mixture, srate);
    if (s.error.empty()) s.error = check_sources(mixture, s1, s2);
    if (!s.error.empty()) return s;
    const FrameGeometry fr = frame_geometry(srate, kDefaultAcgParam.shift_ms,
                                            kDefaultAcgParam.win_ms, mixture.size());
    if (analysis.nframes != fr.nframes || analysis.fragments.size() != size_t(fr.nframes) ||
        analysis.voiceLabels.size() != size_t(fr.nframes) ||
        analysis.pitchLabels.size() != size_t(fr.nframes)) {
        std::ostringstream why;
        why << "the analysis has " << analysis.nframes << " frames, the mixture " << fr.nframes;
        s.error = why.str();
        return s;
    }
    const std::vector<double>* src[2] = {&s1, &s2};

    // The bounds' masks: each source's IBM, and each source's fragments.
    Matrix energy[2];
    IntMatrix ibm[2], idealBinary[2], voiceBinary[2], pitchBinary[2];
    Matrix idealSoft[2], ibmSoft[2];
    for (int k = 0; k < 2; ++k) {
        energy[k] = unit_energies(*src[k], srate);
        ibm[k] = ideal_binary_mask(energy[k], unit_energies(difference(mixture, *src[k]), srate));
        ibmSoft[k] = as_mask(ibm[k]);
    }
    const std::map<int, int> ideal = ideal_grouping(analysis.fragments, energy[0], energy[1]);
    const std::map<int, int> same{{1, 1}, {2, 2}};
    for (int k = 0; k < 2; ++k) {
        masks_where(analysis.fragments, ideal, k + 1, analysis.mask, idealSoft[k], idealBinary[k]);
        Matrix unused;
        masks_where(analysis.voiceLabels, same, k + 1, analysis.mask, unused, voiceBinary[k]);
        masks_where(analysis.pitchLabels, same, k + 1, analysis.mask, unused, pitchBinary[k]);
    }
    const Resynthesis r = resynthesize_masks(
        mixture, srate,
        {&ibmSoft[0], &ibmSoft[1], &idealSoft[0], &idealSoft[1], &analysis.masks[1],
         &analysis.masks[2], &analysis.pitchMasks[1], &analysis.pitchMasks[2]});
    if (!r.error.empty()) {
        s.error = r.error;
        return s;
    }

    std::vector<double> sources = difference(difference(mixture, s1), s2);
    s.mixtureResidualDb = ratio_db(dot(mixture, mixture), dot(sources, sources));
    for (int k = 0; k < 2; ++k) {
        s.mixtureSnr[k] = snr_db(mixture, *src[k]);
        s.mixtureSiSdr[k] = si_sdr_db(mixture, *src[k]);
    }
    // HIT - FA over the channels that reach the output.
    const std::vector<double>& gains = plan_resynthesis(srate).gains;
    IntMatrix ibmUsed[2];
    for (int k = 0; k < 2; ++k) {
        ibmUsed[k] = used_channels(ibm[k], gains);
        s.ibm[k] = score_voice(r.outputs[k], *src[k], k, s, kNaN);
        s.ideal[k] = score_voice(r.outputs[2 + k], *src[k], k, s,
                                 hit_minus_fa(used_channels(idealBinary[k], gains), ibmUsed[k]));
    }
    score_voices(&r.outputs[4], src, voiceBinary, ibmUsed, gains, s, s.voices);
    score_voices(&r.outputs[6], src, pitchBinary, ibmUsed, gains, s, s.pitch);
    return s;
}
