// Voice masks from each voice's pitch: beyond the units that the fragments
// give the voices (voices.h), every time-frequency unit of a frame in which
// a voice has a track goes to the voice whose period the unit's own
// periodicity follows, outside the channel group the track claimed too, and
// in frames where the tracker kept only one talker.
//
// The evidence is kept while a frame's autocorrelogram is in memory
// (PitchEvidence): for each of the frame's F0 candidates and each channel,
// the channel's autocorrelation at the candidate's period over its value at
// lag 0 (the agreement, 0 to 1; the rows hold the square root of the
// autocorrelation, so the agreement is the squared ratio of the row's values,
// read between the two lags around the period). A track's F0 is bit for bit
// one of its frame's candidates, so the agreement with each voice's pitch is
// at hand after tracking. The filter output is half-wave rectified, so a
// channel above the resolved harmonics agrees with the period of its
// envelope: the same measure and threshold serve every channel.
//
// Labelling a frame (label_frame), with the voices' pitches in it:
//   - a unit that a fragment claims keeps the fragment's voice (voices.h):
//     the grouping of a frame's channels by shared periodicity proved the
//     surer evidence where both pitches explain a unit about as well (as
//     where one F0 is near twice the other);
//   - two pitches: any other unit goes to the voice it agrees with more,
//     when that agreement reaches kAgreement; otherwise to the rest;
//   - one pitch: a unit that agrees with it goes to that voice, any other
//     to the other voice (in a two-talker mixture, a unit that does not
//     follow the one known pitch is the other talker's), unless the
//     grouping found one voice only: then to the rest;
//   - no pitch: the rest.
// The threshold and the precedence of the fragments were chosen on the
// generated two-talker mixtures (bench/pitchrule_sweep, README).
// A voice's mask is 1 on its units and 0 elsewhere; the rest's mask is 1
// on the units of neither, so the three add up to a mask of ones.
//
//     PitchEvidence evidence(32);
//     evidence.append(cand, agreement);       // per frame, in order
//     const IntMatrix labels = pitch_voice_labels(evidence, f0Labels, f0Tracks, grouping,
//                                                 fragmentVoices);
//     const Matrix voice1 = voice_mask(labels, ones_like(labels), 1);   // voices.h
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "candidates.h"
#include "framerows.h"
#include "matrix.h"
#include "voices.h"

// A unit follows a pitch when its agreement with it reaches this.
constexpr double kAgreement = 0.5;

// Per channel c of raw, the agreement with each nonzero candidate j:
// out[j * nchans + c]; rows of zero candidates are left alone.
void candidate_agreement(const FrameRows& raw, const double* cand, int srate, float* out);

// The agreements of every frame's channels with its candidates, compactly:
// one byte per channel and nonzero candidate (steps of 1/255).
class PitchEvidence {
public:
    explicit PitchEvidence(int nchans);

    // Bytes that every frame takes at least.
    static std::size_t least_bytes_per_frame();

    // Appends the next frame: its candidates (0.0: none) and the agreements
    // of candidate_agreement (rows of the nonzero candidates read).
    void append(const double* cand, const float* agreement);

    int frames() const { return static_cast<int>(candidates_.size() / kCandidates); }
    int channels() const { return nchans_; }

    // The agreements of frame f's channels with f0 into out (nchans
    // values); false, out untouched, when f0 is none of the frame's
    // candidates.
    bool agreement(int f, double f0, double* out) const;

private:
    int nchans_;
    std::deque<double> candidates_;        // frames x kCandidates
    std::deque<std::uint64_t> start_;      // per frame: its first byte in values_
    std::deque<std::uint8_t> values_;
};

// Each voice's pitch in one frame of the tracker's tables (two slots of
// track identifiers and F0s): pitch[v - 1] for voice v, 0.0 when none of
// its tracks runs there (of two, the first slot's).
void voice_pitches(const int* trackLabels, const double* trackF0s, const VoiceGrouping& grouping,
                   double pitch[2]);

// The labels (0 rest, 1, 2) of one frame's nchans units from their
// agreements with voice 1's and voice 2's pitch (null: the voice has none
// in this frame) and the voices of the fragments that claim them (0: none).
// otherVoice: whether a unit that does not follow the frame's one pitch
// goes to the other voice.
void label_frame(const double* agree1, const double* agree2, const int* fragmentVoice,
                 int nchans, double agree, bool otherVoice, int* labels);

// The labels of a recording's units frame by frame, in any order.
class PitchLabeller {
public:
    PitchLabeller(const PitchEvidence& evidence, const VoiceGrouping& grouping,
                  double agree = kAgreement);
    // The labels of frame f from its row of the tracker's tables (two slots)
    // and its units' fragment voices.
    void label_row(int f, const int* trackLabels, const double* trackF0s,
                   const int* fragmentVoices, int* labels);

private:
    const PitchEvidence& evidence_;
    const VoiceGrouping& grouping_;
    double agree_;
    std::vector<double> a1_, a2_;
};

// The labels of every unit (frames x channels) by the rule. fragmentVoices:
// voice_labels of the fragments (voices.h). A grouping of one voice gives
// no unit to voice 2.
IntMatrix pitch_voice_labels(const PitchEvidence& evidence, const IntMatrix& f0Labels,
                             const Matrix& f0Tracks, const VoiceGrouping& grouping,
                             const IntMatrix& fragmentVoices, double agree = kAgreement);

// A mask of ones of the labels' shape: with voice_mask (voices.h) it gives
// each voice 1 on its units and the rest 1 on the units of neither.
Matrix ones_like(const IntMatrix& labels);
