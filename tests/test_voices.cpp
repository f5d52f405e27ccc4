#include "voices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A track as the tracker writes it: identifier, slot, frames first .. last,
// F0 gliding from f0a to f0b Hz.
struct TrackRun {
    int id, slot, first, last;
    double f0a, f0b;
};

struct Tables {
    IntMatrix labels;
    Matrix f0s;
};

Tables tables(int nframes, const std::vector<TrackRun>& runs) {
    Tables t{IntMatrix(nframes, std::vector<int>(2, 0)), Matrix(nframes, std::vector<double>(2, 0.0))};
    for (const TrackRun& s : runs)
        for (int j = s.first; j <= s.last; ++j) {
            t.labels[j][s.slot] = s.id;
            const double u = s.last > s.first ? double(j - s.first) / (s.last - s.first) : 0.0;
            t.f0s[j][s.slot] = s.f0a + (s.f0b - s.f0a) * u;
        }
    return t;
}

VoiceGrouping group(int nframes, const std::vector<TrackRun>& runs) {
    const Tables t = tables(nframes, runs);
    return group_voices(t.labels, t.f0s, nframes);
}

// The voices of identifiers ids, in order.
std::vector<int> voices(const VoiceGrouping& g, const std::vector<int>& ids) {
    std::vector<int> v;
    for (int id : ids) v.push_back(g.voice_of(id));
    return v;
}

}  // namespace

// The slots are not voices: tracks of both talkers move between the slots,
// and the voices follow F0 (voice 1 the lower), whichever slot held them.
TEST(VoiceGrouping, TracksGoToVoicesByF0NotBySlot) {
    const std::vector<TrackRun> runs = {
        {6, 0, 0, 40, 110, 120},   {21, 1, 10, 44, 210, 200}, {11, 0, 45, 90, 200, 220},
        {26, 1, 65, 120, 115, 105}, {16, 0, 95, 130, 230, 215}, {31, 1, 125, 160, 118, 122},
    };
    const VoiceGrouping g = group(170, runs);
    EXPECT_EQ(voices(g, {6, 26, 31}), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(voices(g, {21, 11, 16}), (std::vector<int>{2, 2, 2}));
    EXPECT_FALSE(g.oneVoice);
    EXPECT_NEAR(g.centreF0[0], 115, 5);
    EXPECT_NEAR(g.centreF0[1], 212, 8);
    EXPECT_EQ(g.conflicts, 4);
    EXPECT_EQ(g.unmetConflicts, 0);
    EXPECT_EQ(g.voice_of(999), 0);

    // The same tracks with the slots exchanged give the same voices.
    std::vector<TrackRun> swapped = runs;
    for (TrackRun& s : swapped) s.slot = 1 - s.slot;
    const VoiceGrouping h = group(170, swapped);
    for (const TrackRun& s : runs) EXPECT_EQ(h.voice_of(s.id), g.voice_of(s.id)) << s.id;
}

// A talker who pauses makes many tracks with gaps between them; they all
// join that talker's voice, and a lone track of the other voice stays apart.
TEST(VoiceGrouping, GappedTracksOfOneTalker) {
    std::vector<TrackRun> runs;
    for (int k = 0; k < 8; ++k) runs.push_back({100 + k, 0, 20 * k, 20 * k + 9, 180.0 + 5 * k, 190.0});
    runs.push_back({7, 1, 30, 90, 105, 125});
    const VoiceGrouping g = group(170, runs);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(g.voice_of(100 + k), 2) << k;
    EXPECT_EQ(g.voice_of(7), 1);
}

// One talker: tracks that never overlap and lie close in F0 are one voice.
// A short spurious pitch at twice the talker's F0, beside a track of it,
// takes the other voice without pulling the talker's centre away.
TEST(VoiceGrouping, SingleVoice) {
    const std::vector<TrackRun> one = {{6, 0, 0, 30, 120, 130}, {11, 1, 40, 70, 125, 118},
                                   {16, 0, 80, 120, 122, 135}};
    const VoiceGrouping g = group(130, one);
    EXPECT_TRUE(g.oneVoice);
    EXPECT_EQ(voices(g, {6, 11, 16}), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(g.centreF0[1], 0.0);

    std::vector<TrackRun> spurious = one;
    spurious.push_back({41, 1, 90, 92, 250, 250});
    const VoiceGrouping s = group(130, spurious);
    EXPECT_FALSE(s.oneVoice);
    EXPECT_EQ(voices(s, {6, 11, 16, 41}), (std::vector<int>{1, 1, 1, 2}));
    EXPECT_NEAR(s.centreF0[0], 125, 5);
}

// Two talkers with F0s apart but never at once (turns) are still two.
TEST(VoiceGrouping, TurnsOfTwoTalkers) {
    const VoiceGrouping g = group(100, {{6, 0, 0, 30, 110, 115}, {11, 0, 40, 60, 200, 210},
                                        {16, 1, 70, 90, 112, 108}});
    EXPECT_FALSE(g.oneVoice);
    EXPECT_EQ(voices(g, {6, 11, 16}), (std::vector<int>{1, 2, 1}));
}

// Where talkers with F0 ranges apart cross, the voices keep to their F0
// ranges and so swap talkers at the crossing: voice 1 holds the lower pitch
// on each side.
// Simultaneous tracks of near F0s still go to different voices.
TEST(VoiceGrouping, CrossingVoicesFollowTheLowerPitch) {
    const VoiceGrouping g = group(200, {{6, 0, 0, 80, 100, 150},    // talker A rising
                                        {11, 1, 0, 80, 220, 170},   // talker B falling
                                        {16, 1, 100, 180, 170, 220},  // A after the crossing
                                        {21, 0, 100, 180, 150, 100}});  // B after it
    EXPECT_EQ(voices(g, {6, 11, 16, 21}), (std::vector<int>{1, 2, 2, 1}));

    const VoiceGrouping close = group(100, {{6, 0, 0, 60, 118, 122}, {11, 1, 5, 70, 126, 130},
                                            {16, 0, 75, 95, 120, 120}});
    EXPECT_NE(close.voice_of(6), close.voice_of(11));
    EXPECT_EQ(close.unmetConflicts, 0);
}

// Talkers in one F0 range: one rises from 105 to 160 Hz while the other
// falls from 155 to 126 Hz, each in four syllables sounding together. By
// range alone the last syllables would swap (the riser is then the higher);
// continuity keeps each talker's syllables in one voice, whichever slot
// and whichever order of starts.
TEST(VoiceGrouping, OverlappingRangesFollowContinuity) {
    std::vector<TrackRun> runs;
    for (int k = 0; k < 4; ++k) {
        const int start = 50 * k;
        runs.push_back({10 + k, k % 2, start, start + 40, 105.0 + 15 * k, 115.0 + 15 * k});
        runs.push_back({20 + k, 1 - k % 2, start + 5, start + 45, 155.0 - 8 * k, 150.0 - 8 * k});
    }
    const VoiceGrouping g = group(200, runs);
    EXPECT_FALSE(g.oneVoice);
    EXPECT_EQ(g.unmetConflicts, 0);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(g.voice_of(10 + k), 1) << k;
        EXPECT_EQ(g.voice_of(20 + k), 2) << k;
    }
    // The same tables again give the same voices.
    const VoiceGrouping again = group(200, runs);
    for (const VoiceTrack& t : g.tracks) EXPECT_EQ(again.voice_of(t.id), t.voice);
}

// A long conversation of two talkers in one range: both F0s rise and fall
// together by 15 % either way, the second always 3 semitones above the
// first, so that each talker's high syllables lie above the other's low
// ones; syllables of varied length and pauses, some alone, most together.
// The beam keeps each talker in one voice over a thousand tracks.
TEST(VoiceGrouping, LongConversationInOneRange) {
    std::vector<TrackRun> runs;
    const auto contour = [](int talker, int frame) {
        return (talker == 0 ? 118.0 : 140.3) * (1.0 + 0.15 * std::sin(frame * 0.004));
    };
    int id = 6;
    for (int talker = 0; talker < 2; ++talker)
        for (int start = talker * 7, k = 0; start < 20000; ++k) {
            const int length = 12 + (k * 7 + talker * 5) % 25, pause = 4 + (k * 11) % 17;
            runs.push_back({id++, talker, start, start + length - 1, contour(talker, start),
                            contour(talker, start + length - 1)});
            start += length + pause;
        }
    const VoiceGrouping g = group(20100, runs);
    ASSERT_FALSE(g.oneVoice);
    int agree = 0;
    const int voiceOfFirst = g.voice_of(runs.front().id);
    for (const TrackRun& r : runs) agree += (g.voice_of(r.id) == voiceOfFirst) == (r.slot == 0);
    EXPECT_GE(agree, static_cast<int>(0.95 * runs.size())) << runs.size();
}

TEST(VoiceGrouping, NoTracks) {
    const VoiceGrouping g = group(10, {});
    EXPECT_TRUE(g.tracks.empty());
    EXPECT_EQ(g.centreF0[0], 0.0);
    const VoiceGrouping one = group(10, {{6, 0, 2, 2, 150, 150}});
    EXPECT_EQ(one.voice_of(6), 1);
    EXPECT_NEAR(one.centreF0[0], 150, 1e-9);
}

// Units take their track's voice; the voices' masks hold the mask values of
// their units and the rest holds what the voices leave, so the three add
// up to 1 in every unit.
TEST(VoiceMasks, LabelsAndMasksFromTheFragments) {
    const VoiceGrouping g = group(40, {{6, 0, 0, 30, 110, 110}, {11, 1, 0, 30, 220, 220}});
    IntMatrix fragments(3, std::vector<int>(4, 0));
    Matrix mask(3, std::vector<double>(4, 0.0));
    fragments[0] = {6, 6, 11, 0};
    mask[0] = {0.9, 0.6, 0.95, 0.0};
    fragments[2] = {0, 11, 77, 6};  // 77: no track of the grouping
    mask[2] = {0.0, 0.7, 0.5, 0.8};
    const IntMatrix labels = voice_labels(fragments, g);
    EXPECT_EQ(labels[0], (std::vector<int>{1, 1, 2, 0}));
    EXPECT_EQ(labels[1], (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(labels[2], (std::vector<int>{0, 2, 0, 1}));
    const Matrix rest = voice_mask(labels, mask, 0), v1 = voice_mask(labels, mask, 1),
                 v2 = voice_mask(labels, mask, 2);
    EXPECT_EQ(v1[0], (std::vector<double>{0.9, 0.6, 0.0, 0.0}));
    EXPECT_EQ(v2[2], (std::vector<double>{0.0, 0.7, 0.0, 0.0}));
    EXPECT_EQ(rest[1], (std::vector<double>{1, 1, 1, 1}));
    for (size_t j = 0; j < 3; ++j)
        for (size_t c = 0; c < 4; ++c) EXPECT_DOUBLE_EQ(rest[j][c] + v1[j][c] + v2[j][c], 1.0);
}
