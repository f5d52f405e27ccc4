// The separation of one signal held in memory: the whole analysis (the
// autocorrelogram, the grouping, a pitch tracker, the fragments), the voice
// streams of the tracks (voices.h), the voices labelled by fragment and by
// pitch (pitchlabels.h) and, on request, the resynthesised
// voices (resynth.h). For recordings that fit in memory with their
// autocorrelogram (about 6 MB per second at 16 kHz): the scorer, tests and
// callers from other languages.
//
//     const VoiceAnalysis a = analyse_voices(samples, 16000);
//     if (!a.error.empty()) ...;                  // refused: says why
//     // a.voiceLabels[frame][channel]: 0, 1 or 2; a.masks[1]: voice 1's mask
//     // a.pitchLabels, a.pitchMasks: the same labelled by the voices' pitches
//     const Separation s = separate(samples, 16000, TrackerKind::Joint);
//     // s.voices[1], s.voices[2]: the two voices; s.voices[0]: the rest
#pragma once

#include <string>
#include <vector>

#include "matrix.h"
#include "pitchlabels.h"
#include "trackers.h"
#include "voices.h"

struct VoiceAnalysis {
    int nframes = 0;
    // The grouping's tables, frames x channels or x 2 slots.
    IntMatrix fragments;  // track identifier per unit, 0 unclaimed
    Matrix mask;          // soft mask per unit
    IntMatrix f0Labels;   // track identifier per slot
    Matrix f0Tracks;      // F0 per slot, Hz
    VoiceGrouping grouping;
    IntMatrix voiceLabels;  // 0 (rest), 1 or 2 per unit
    Matrix masks[3];        // voice_mask of the rest, voice 1 and voice 2
    // The same by each voice's pitch (pitchlabels.h).
    PitchEvidence evidence{0};
    IntMatrix pitchLabels;  // 0 (rest), 1 or 2 per unit
    Matrix pitchMasks[3];   // the rest's, voice 1's and voice 2's
    std::string error;      // empty on success
};

// The analysis of signal at srate with the tracker kind and its voices.
// Refuses what check_signal (resynth.h) refuses.
VoiceAnalysis analyse_voices(const std::vector<double>& signal, int srate,
                             TrackerKind tracker = kDefaultTracker);

// Fills grouping, voiceLabels and masks of a from its grouping's tables
// (nframes, fragments, mask, f0Labels, f0Tracks).
void form_voices(VoiceAnalysis& a);

struct Separation {
    VoiceAnalysis analysis;
    std::vector<double> voices[3];  // the rest, voice 1, voice 2; each as long as the signal
    std::string error;              // empty on success
};

// analyse_voices and the resynthesis of its three masks.
Separation separate(const std::vector<double>& signal, int srate,
                    TrackerKind tracker = kDefaultTracker);
