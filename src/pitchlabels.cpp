#include "pitchlabels.h"

#include <algorithm>
#include <cmath>

namespace {

// Agreements are kept in steps of 1 / kLevels.
constexpr double kLevels = 255.0;

std::uint8_t quantise(float a) {
    const double clamped = std::min(1.0, std::max(0.0, static_cast<double>(a)));
    return static_cast<std::uint8_t>(std::lround(clamped * kLevels));
}

// The row's value at the fractional lag p (linear between its two lags),
// 0.0 beyond the row.
double value_at(const double* row, int nlags, double p) {
    const int l = static_cast<int>(p);
    if (p < 0.0 || l + 1 >= nlags) return 0.0;
    const double t = p - l;
    return row[l] * (1.0 - t) + row[l + 1] * t;
}

// The voice (1, 2 or 0 for the rest) of one unit with agreements a1, a2
// (negative: that voice has no pitch here).
int label_unit(double a1, double a2, double agree, bool otherVoice) {
    const bool has1 = a1 >= 0.0, has2 = a2 >= 0.0;
    if (has1 && has2) {
        if (std::max(a1, a2) < agree) return 0;
        return a2 > a1 ? 2 : 1;
    }
    if (!has1 && !has2) return 0;
    const int known = has1 ? 1 : 2;
    if ((has1 ? a1 : a2) >= agree) return known;
    return otherVoice ? 3 - known : 0;
}

}  // namespace

void candidate_agreement(const FrameRows& raw, const double* cand, int srate, float* out) {
    for (int j = 0; j < kCandidates; ++j) {
        if (cand[j] == 0.0) continue;
        const double period = srate / cand[j];
        for (int c = 0; c < raw.nchans; ++c) {
            const double* row = raw.rows[c];
            const double r = row[0] > 0.0 ? value_at(row, raw.nlags, period) / row[0] : 0.0;
            out[j * raw.nchans + c] = static_cast<float>(r * r);
        }
    }
}

PitchEvidence::PitchEvidence(int nchans) : nchans_(nchans) {}

std::size_t PitchEvidence::least_bytes_per_frame() {
    return sizeof(double) * kCandidates + sizeof(std::uint64_t);
}

void PitchEvidence::append(const double* cand, const float* agreement) {
    start_.push_back(values_.size());
    for (int j = 0; j < kCandidates; ++j) {
        candidates_.push_back(cand[j]);
        if (cand[j] == 0.0) continue;
        for (int c = 0; c < nchans_; ++c) values_.push_back(quantise(agreement[j * nchans_ + c]));
    }
}

bool PitchEvidence::agreement(int f, double f0, double* out) const {
    if (f0 == 0.0) return false;
    std::size_t at = start_[f];
    for (int j = 0; j < kCandidates; ++j) {
        const double cand = candidates_[static_cast<std::size_t>(f) * kCandidates + j];
        if (cand == 0.0) continue;
        if (cand == f0) {
            for (int c = 0; c < nchans_; ++c) out[c] = values_[at + c] / kLevels;
            return true;
        }
        at += nchans_;
    }
    return false;
}

void voice_pitches(const int* trackLabels, const double* trackF0s, const VoiceGrouping& grouping,
                   double pitch[2]) {
    pitch[0] = pitch[1] = 0.0;
    for (int slot = 1; slot >= 0; --slot) {
        if (trackLabels[slot] <= 0) continue;
        const int v = grouping.voice_of(trackLabels[slot]);
        if (v > 0) pitch[v - 1] = trackF0s[slot];
    }
}

void label_frame(const double* agree1, const double* agree2, const int* fragmentVoice,
                 int nchans, double agree, bool otherVoice, int* labels) {
    for (int c = 0; c < nchans; ++c)
        labels[c] = fragmentVoice[c] > 0 ? fragmentVoice[c]
                                         : label_unit(agree1 ? agree1[c] : -1.0,
                                                      agree2 ? agree2[c] : -1.0, agree, otherVoice);
}

PitchLabeller::PitchLabeller(const PitchEvidence& evidence, const VoiceGrouping& grouping,
                             double agree)
    : evidence_(evidence),
      grouping_(grouping),
      agree_(agree),
      a1_(evidence.channels()),
      a2_(evidence.channels()) {}

void PitchLabeller::label_row(int f, const int* trackLabels, const double* trackF0s,
                              const int* fragmentVoices, int* labels) {
    double pitch[2];
    voice_pitches(trackLabels, trackF0s, grouping_, pitch);
    const bool has1 = evidence_.agreement(f, pitch[0], a1_.data());
    const bool has2 = evidence_.agreement(f, pitch[1], a2_.data());
    label_frame(has1 ? a1_.data() : nullptr, has2 ? a2_.data() : nullptr, fragmentVoices,
                evidence_.channels(), agree_, !grouping_.oneVoice, labels);
}

IntMatrix pitch_voice_labels(const PitchEvidence& evidence, const IntMatrix& f0Labels,
                             const Matrix& f0Tracks, const VoiceGrouping& grouping,
                             const IntMatrix& fragmentVoices, double agree) {
    IntMatrix labels(evidence.frames(), std::vector<int>(evidence.channels(), 0));
    PitchLabeller labeller(evidence, grouping, agree);
    for (int f = 0; f < evidence.frames(); ++f)
        labeller.label_row(f, f0Labels[f].data(), f0Tracks[f].data(), fragmentVoices[f].data(),
                           labels[f].data());
    return labels;
}

Matrix ones_like(const IntMatrix& labels) {
    Matrix m(labels.size());
    for (size_t j = 0; j < labels.size(); ++j) m[j].assign(labels[j].size(), 1.0);
    return m;
}
