// Scores of separated voices against the premixed sources of a two-talker
// mixture, on the analysis's own filterbank and frames: how far each voice
// follows its source (SNR and scale-invariant SDR, and their gains over the
// unprocessed mixture), set beside two bounds:
//   - the ideal binary mask (IBM) of each source: the units where the
//     source's energy exceeds the rest of the mixture's (0 dB local
//     criterion), the bound of any mask on this filterbank;
//   - ideal sequential grouping: each fragment (all units of one track)
//     given whole to the source that holds most of its energy, the bound of
//     the fragments' mask under any grouping;
// and HIT - FA of each binary mask against the source's IBM.
//
// A unit's energy is the energy of the channel's zero-phase signal times
// the channel's summation gain, shared out among the frames as the
// resynthesis shares a frame's mask value out among the samples (resynth.h):
// the energy the resynthesis draws from the unit. Channels that the
// resynthesis leaves out (gain 0: centred above the Nyquist frequency,
// where they fold over) have none, and HIT - FA leaves them out. The IBM's
// local SNR comes from the toolkit's SNR map (compute_snrmap_log), fed with
// the base-10 logarithms of the unit energies of the whole mixture and of
// the interference.
//
// A voice follows the source it correlates with best: of the two ways to
// pair the voices with the sources, the one with the larger sum of
// normalised correlations. The IBM's and the ideal grouping's voice k
// follows source k by construction.
//
//     if (std::string why = check_sources(mix, s1, s2); !why.empty()) ...;
//     const VoiceAnalysis a = analyse_voices(mix, srate);            // separate.h
//     const SeparationScores s = score_separation(mix, s1, s2, srate, a);
//     // s.voices[0].sisdrGain: voice 1's SI-SDR gain over the mixture, dB
#pragma once

#include <map>
#include <string>
#include <vector>

#include "matrix.h"

struct VoiceAnalysis;

// A source whose RMS lies below this (full scale 1.0; -120 dB) is silent.
constexpr double kSilentRms = 1e-6;
// Sources whose normalised correlation reaches this in magnitude are
// copies of one another: nothing tells them apart.
constexpr double kCopyCorrelation = 0.999;

// 10 log10(|reference|^2 / |reference - estimate|^2), dB. Infinite for an
// exact estimate.
double snr_db(const std::vector<double>& estimate, const std::vector<double>& reference);
// Scale-invariant SDR: the SNR of estimate against its projection a x
// reference, a = <estimate, reference> / |reference|^2. Not a number for an
// estimate that is all zeros (a silent voice).
double si_sdr_db(const std::vector<double>& estimate, const std::vector<double>& reference);
// <a, b> / (|a| |b|); 0 when either is all zeros.
double correlation(const std::vector<double>& a, const std::vector<double>& b);

// Why these signals cannot be scored, or "": sources of another length
// than the mixture, a silent source, or sources that are copies of one
// another (kCopyCorrelation). The sample rates are the caller's to match.
std::string check_sources(const std::vector<double>& mixture, const std::vector<double>& s1,
                          const std::vector<double>& s2);

// The energy of every unit of signal (frames x channels): the channel's
// zero-phase signal squared times its squared gain, each sample shared out
// among the frames that hold it; sums over the frames to the channel's
// whole energy. The signal must be one that check_signal (resynth.h) takes.
Matrix unit_energies(const std::vector<double>& signal, int srate);

// 1 where target's energy exceeds interference's (local SNR above 0 dB),
// else 0 (also where both are 0). Same shapes.
IntMatrix ideal_binary_mask(const Matrix& target, const Matrix& interference);

// Share of the IBM's 1-units that mask (nonzero units) holds, minus the share
// of its 0-units that mask holds. Not a number when the IBM has no units of
// one kind.
double hit_minus_fa(const IntMatrix& mask, const IntMatrix& ibm);

// Ideal sequential grouping: each fragment identifier of fragments (0 =
// none) mapped to 1 or 2, the source whose units hold more of its energy
// (1 on a tie).
std::map<int, int> ideal_grouping(const IntMatrix& fragments, const Matrix& e1, const Matrix& e2);

// One voice's scores against the source it follows (dB; HIT - FA as a
// share). Values that do not exist are not a number (a silent voice's
// SI-SDR, the IBM's HIT - FA, which is 1 by definition).
struct VoiceScore {
    int source = 0;  // 1 or 2
    double snr = 0, snrGain = 0;
    double sisdr = 0, sisdrGain = 0;
    double hitFa = 0;
};

struct SeparationScores {
    double mixtureSnr[2] = {0, 0};    // the mixture against source 1 and 2
    double mixtureSiSdr[2] = {0, 0};
    double mixtureResidualDb = 0;     // |mixture|^2 / |mixture - s1 - s2|^2, dB (inf: exact sum)
    VoiceScore ibm[2], ideal[2], voices[2];  // voice 1 and 2 of each
    VoiceScore pitch[2];                     // the voices labelled by pitch
    std::string error;                       // empty on success
};

// The scores of the voices of analysis (analyse_voices of mixture) and of
// the two bounds, against sources s1 and s2 of mixture at srate. Refuses
// what check_signal and check_sources refuse, and an analysis of another
// shape.
SeparationScores score_separation(const std::vector<double>& mixture, const std::vector<double>& s1,
                                  const std::vector<double>& s2, int srate,
                                  const VoiceAnalysis& analysis);
