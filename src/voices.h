// Voice streams of corlune: the pitch tracks grouped into two voices by
// their F0, and each time-frequency unit labelled with the voice whose
// fragment claims it.
//
// The tracker's two slots are not talkers: a slot holds whichever pitch
// continues its last one, so one talker's tracks land in both slots. The
// grouping therefore works on whole tracks:
//   1. each track (an identifier of the tracker's labels) is summarised by
//      its frames and its median F0;
//   2. tracks that share a frame are two simultaneous pitches and go to
//      different voices: these constraints link the tracks into chains
//      whose members alternate between the voices, and only the chain's
//      orientation is free (a chain that would need a track in both voices
//      keeps the earliest constraints and drops the contradicting one);
//   3. the orientations are chosen by two-means in log F0: starting from
//      the best split of the medians into a lower and a higher class
//      (weighted by the tracks' frames), each chain takes the orientation
//      nearer the two class centres, the centres are recomputed from the
//      tracks, and so on until nothing changes;
//   4. when the two classes' centres lie less than kRangesApartRatio apart,
//      F0 range cannot tell the talkers apart, and continuity decides
//      instead: a beam search over the tracks in order of their start
//      gives each a voice so that each voice's next track goes on where its
//      last one ended (the end's F0, carried along the track's slope over
//      the gap, against the next one's start, with a tolerance that grows
//      with the gap), with a small pull towards the voices' centres and a
//      cost for every frame two tracks of one voice share;
//   5. voice 1 is the lower class. When no two tracks overlap and the
//      centres lie less than kMinVoiceRatio apart, the tracks are taken as
//      one voice, all in voice 1.
// Deterministic: the same tables give the same voices.
//
// When it cannot work: talkers whose F0 ranges lie apart are told apart
// by range, so a track at twice a talker's F0 (an octave error) joins the
// higher voice. Where the ranges overlap or cross, a voice follows the
// pitch that goes on most smoothly: a crossing where both talkers pause
// at the same F0 may swap them, two talkers who never speak at once and
// lie closer than kMinVoiceRatio are taken as one, and a track that
// jumps from one talker to the other puts both in one voice.
//
//     const VoiceGrouping v = group_voices(f0Labels, f0Tracks, nframes);
//     const IntMatrix units = voice_labels(fragments, v);   // 0, 1 or 2 per unit
//     const Matrix voice1 = voice_mask(units, mask, 1);      // voice 1's mask values
//     const Matrix rest = voice_mask(units, mask, 0);        // 1 - the voices' values
#pragma once

#include <unordered_map>
#include <vector>

#include "matrix.h"

// Voices whose class centres lie closer than this F0 ratio (about 2.4
// semitones), with no two tracks at once, are one voice.
constexpr double kMinVoiceRatio = 1.15;
// Voices whose class centres lie at least this F0 ratio apart (about 7
// semitones) are told apart by F0 range; closer ones by continuity.
constexpr double kRangesApartRatio = 1.5;

// One pitch track: an identifier of the tracker's labels.
struct VoiceTrack {
    int id = 0;
    int first = 0;         // first frame
    int last = 0;          // last frame
    int frames = 0;        // frames it holds
    double medianF0 = 0;   // Hz
    int voice = 0;         // 1 or 2
};

struct VoiceGrouping {
    std::vector<VoiceTrack> tracks;  // in order of their first frame, then identifier
    double centreF0[2] = {0, 0};     // Hz: geometric mean of each voice's medians (0: no track)
    bool oneVoice = false;           // every track in voice 1
    int conflicts = 0;               // pairs of tracks sharing a frame
    int unmetConflicts = 0;          // of those, pairs in one voice

    // The voice (1 or 2) of track id, 0 for an unknown identifier.
    int voice_of(int id) const;
};

// The voices of the tracks in the first nframes rows of f0Labels (track
// identifiers, 0 = empty slot) and f0Tracks (their F0s in Hz), two slots
// a row, as the tracker writes them.
VoiceGrouping group_voices(const IntMatrix& f0Labels, const Matrix& f0Tracks, int nframes);

// The voices of track identifiers, looked up for many units at a time.
class VoiceTable {
public:
    explicit VoiceTable(const VoiceGrouping& grouping);
    // One row of voice_labels: voices[c] for fragments[c], c < n.
    void label_row(const int* fragments, int n, int* voices) const;

private:
    std::unordered_map<int, int> voice_;  // track identifier -> voice
};

// Per unit of fragments (track identifiers, 0 = unclaimed): the voice of its
// track, 0 for unclaimed units (and identifiers the grouping does not know).
IntMatrix voice_labels(const IntMatrix& fragments, const VoiceGrouping& grouping);

// The mask of voice 1 or 2: mask's value where labels holds that voice, 0
// elsewhere. Voice 0 is the rest: 1 minus the voices' values, so 1 on the
// units no fragment claims, and the three masks add up to 1 everywhere.
Matrix voice_mask(const IntMatrix& labels, const Matrix& mask, int voice);
// One row of voice_mask: out[c] for the n units of labels and mask.
void voice_mask_row(const int* labels, const double* mask, int n, int voice, double* out);
