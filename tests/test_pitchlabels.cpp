#include "pitchlabels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "acgmodel.h"
#include "frameresults.h"
#include "separate.h"
#include "streamanalysis.h"
#include "testutil.h"

namespace {

constexpr int kSrate = 16000;
constexpr int kChans = 4;
constexpr double kAgree = 0.5;

std::vector<int> labels_of(const double* a1, const double* a2, const std::vector<int>& frag,
                           bool otherVoice = true) {
    std::vector<int> labels(kChans, -1);
    label_frame(a1, a2, frag.data(), kChans, kAgree, otherVoice, labels.data());
    return labels;
}

// Rows of one frame: channel c's row is a cosine of period periods[c] lags
// (the square root of its autocorrelation, as the front end keeps it).
struct CosineFrame {
    std::vector<std::vector<double>> values;
    std::vector<const double*> rows;
    FrameRows raw;
    CosineFrame(const std::vector<double>& periods, int nlags) {
        for (double p : periods) {
            std::vector<double> row(nlags);
            for (int l = 0; l < nlags; ++l) row[l] = std::max(0.0, std::cos(2 * M_PI * l / p));
            values.push_back(row);
        }
        for (auto& v : values) rows.push_back(v.data());
        raw = FrameRows{rows.data(), static_cast<int>(rows.size()), nlags};
    }
};

// One voice's complex in the first half, both in the second; each voice's
// F0 glides a little so that the tracker follows it.
std::vector<double> two_voice_signal(double f0a, double f0b, double seconds) {
    const std::vector<double> v1 = testutil::harmonic_complex(kSrate, seconds, f0a, f0a * 1.05, 0.3);
    std::vector<double> v2 = testutil::harmonic_complex(kSrate, seconds, f0b, f0b * 0.95, 0.3);
    std::fill(v2.begin(), v2.begin() + v2.size() / 2, 0.0);
    return testutil::mix(v1, v2);
}

}  // namespace

// The agreement is the squared ratio of a row's value at the candidate's
// period to its value at lag 0, read between the lags around the period.
TEST(PitchEvidence, AgreementAtTheCandidatesPeriod) {
    const CosineFrame frame({80.0, 100.0, 53.3}, 240);
    const double cand[kCandidates] = {200.0, 0.0, 160.0, 300.0};  // periods 80, 100, 53.3 lags
    std::vector<float> a(kCandidates * 3, -1.0f);
    candidate_agreement(frame.raw, cand, kSrate, a.data());
    EXPECT_NEAR(a[0 * 3 + 0], 1.0, 1e-6);  // channel 0 at its own period
    EXPECT_NEAR(a[2 * 3 + 1], 1.0, 1e-6);
    EXPECT_NEAR(a[3 * 3 + 2], 1.0, 1e-2);  // between two lags
    EXPECT_LT(a[2 * 3 + 0], 0.7);          // 80-lag cosine at lag 100
    EXPECT_EQ(a[1 * 3 + 0], -1.0f);        // the empty candidate's row is not written

    PitchEvidence evidence(3);
    evidence.append(cand, a.data());
    const double none[kCandidates] = {};
    evidence.append(none, nullptr);  // an unvoiced frame: nothing is read
    std::vector<double> out(3, -1.0);
    ASSERT_TRUE(evidence.agreement(0, 160.0, out.data()));
    EXPECT_NEAR(out[1], 1.0, 1.0 / 255);
    EXPECT_NEAR(out[0], a[2 * 3 + 0], 0.5 / 255);
    EXPECT_FALSE(evidence.agreement(0, 160.0000001, out.data()));  // matched bit for bit
    EXPECT_FALSE(evidence.agreement(0, 0.0, out.data()));
    EXPECT_FALSE(evidence.agreement(1, 160.0, out.data()));
    EXPECT_EQ(evidence.frames(), 2);
}

// Two pitches: the unit goes to the voice it agrees with more, if either
// agrees well enough. One pitch: agreeing units take that voice, the others
// the other voice (or the rest, when there is no other). No pitch: the
// rest. A fragment's claim always stands.
TEST(PitchLabels, FramesWithTwoOneAndNoPitch) {
    const double a1[kChans] = {0.9, 0.2, 0.35, 0.8};
    const double a2[kChans] = {0.3, 0.8, 0.1, 0.75};
    const std::vector<int> unclaimed(kChans, 0);
    EXPECT_EQ(labels_of(a1, a2, unclaimed), (std::vector<int>{1, 2, 0, 1}));
    EXPECT_EQ(labels_of(a1, a2, {2, 0, 1, 2}), (std::vector<int>{2, 2, 1, 2}));

    EXPECT_EQ(labels_of(a1, nullptr, unclaimed), (std::vector<int>{1, 2, 2, 1}));
    EXPECT_EQ(labels_of(nullptr, a2, unclaimed), (std::vector<int>{1, 2, 1, 2}));
    EXPECT_EQ(labels_of(a1, nullptr, unclaimed, false), (std::vector<int>{1, 0, 0, 1}));
    EXPECT_EQ(labels_of(a1, nullptr, {0, 1, 0, 0}), (std::vector<int>{1, 1, 2, 1}));
    EXPECT_EQ(labels_of(nullptr, nullptr, unclaimed), (std::vector<int>(kChans, 0)));
}

// Each voice's pitch is the F0 of its track in the frame, whichever slot.
TEST(PitchLabels, VoicePitchesFollowTheGroupingNotTheSlots) {
    const IntMatrix labels{{1, 2}, {1, 2}, {1, 2}, {1, 2}, {1, 2}, {1, 2}, {0, 3}};
    const Matrix f0s{{220, 110}, {221, 111}, {222, 112}, {223, 113}, {224, 114}, {225, 115}, {0, 116}};
    const VoiceGrouping g = group_voices(labels, f0s, 7);
    double pitch[2];
    voice_pitches(labels[0].data(), f0s[0].data(), g, pitch);
    EXPECT_EQ(pitch[0], 110.0);
    EXPECT_EQ(pitch[1], 220.0);
    voice_pitches(labels[6].data(), f0s[6].data(), g, pitch);
    EXPECT_EQ(pitch[0], 116.0);
    EXPECT_EQ(pitch[1], 0.0);
}

// A two-talker signal through the whole analysis: units labelled by pitch
// reach beyond the fragments' groups, the fragments' units keep their
// voices, and the three masks add up to ones.
TEST(PitchLabels, OneVoiceThenTwoThroughTheAnalysis) {
    const std::vector<double> x = two_voice_signal(110.0, 190.0, 1.2);
    const VoiceAnalysis a = analyse_voices(x, kSrate);
    ASSERT_TRUE(a.error.empty()) << a.error;
    ASSERT_FALSE(a.grouping.oneVoice);
    ASSERT_EQ(a.pitchLabels.size(), static_cast<size_t>(a.nframes));
    int byPitch = 0, byFragment = 0, secondInFirstHalf = 0;
    for (int j = 0; j < a.nframes; ++j)
        for (size_t c = 0; c < a.pitchLabels[j].size(); ++c) {
            const int v = a.pitchLabels[j][c];
            ASSERT_GE(v, 0);
            ASSERT_LE(v, 2);
            byPitch += v != 0;
            byFragment += a.voiceLabels[j][c] != 0;
            // Before voice 2 starts (its frames' windows reach the onset
            // at frame 57), voice 1's units stay voice 1's.
            if (j < 50 && a.voiceLabels[j][c] == 1) secondInFirstHalf += v == 2;
            EXPECT_DOUBLE_EQ(a.pitchMasks[0][j][c] + a.pitchMasks[1][j][c] + a.pitchMasks[2][j][c], 1.0);
        }
    EXPECT_GT(byPitch, byFragment);
    EXPECT_EQ(secondInFirstHalf, 0);
}

// Silence gives no pitch and every unit to the rest; a single voice gives
// no unit to a second voice.
TEST(PitchLabels, SilenceAndASingleVoice) {
    const VoiceAnalysis quiet = analyse_voices(std::vector<double>(kSrate / 2, 0.0), kSrate);
    ASSERT_TRUE(quiet.error.empty());
    for (const auto& row : quiet.pitchLabels)
        for (int v : row) EXPECT_EQ(v, 0);
    for (const auto& row : quiet.pitchMasks[0])
        for (double m : row) EXPECT_EQ(m, 1.0);

    // One track: taken as one voice, so units the pitch does not explain
    // stay with the rest.
    const IntMatrix tracks{{4, 0}};
    const Matrix f0s{{150.0, 0.0}};
    const VoiceGrouping g = group_voices(tracks, f0s, 1);
    ASSERT_TRUE(g.oneVoice);
    PitchEvidence evidence(kChans);
    const double cand[kCandidates] = {150.0, 0.0, 0.0, 0.0};
    const float agree[kChans] = {0.9f, 0.1f, 0.6f, 0.2f};
    evidence.append(cand, agree);
    const IntMatrix unclaimed(1, std::vector<int>(kChans, 0));
    EXPECT_EQ(pitch_voice_labels(evidence, tracks, f0s, g, unclaimed), IntMatrix({{1, 0, 1, 0}}));
}

// Crossing voices and voices in one range: the labels still come from the
// grouping's voices, units beyond the fragments are labelled, and in frames
// with both pitches every unit that no fragment claims goes to the pitch it
// agrees with more, or to the rest.
TEST(PitchLabels, CrossingAndSameRangeVoices) {
    for (const auto& [f0a, f0b, glide] :
         {std::tuple{110.0, 180.0, true}, std::tuple{140.0, 152.0, false}}) {
        const double seconds = 1.0;
        const std::vector<double> v1 =
            testutil::harmonic_complex(kSrate, seconds, f0a, glide ? f0b : f0a * 1.02, 0.3);
        const std::vector<double> v2 =
            testutil::harmonic_complex(kSrate, seconds, f0b, glide ? f0a : f0b * 0.98, 0.3);
        const VoiceAnalysis a = analyse_voices(testutil::mix(v1, v2), kSrate);
        ASSERT_TRUE(a.error.empty());
        std::vector<double> a1(a.evidence.channels()), a2(a.evidence.channels());
        int beyond = 0;  // units labelled beyond the fragments
        for (int j = 0; j < a.nframes; ++j) {
            double pitch[2];
            voice_pitches(a.f0Labels[j].data(), a.f0Tracks[j].data(), a.grouping, pitch);
            const bool both = a.evidence.agreement(j, pitch[0], a1.data()) &&
                              a.evidence.agreement(j, pitch[1], a2.data());
            for (size_t c = 0; c < a1.size(); ++c) {
                const int v = a.pitchLabels[j][c];
                ASSERT_TRUE(v >= 0 && v <= 2);
                if (a.voiceLabels[j][c] != 0) {
                    EXPECT_EQ(v, a.voiceLabels[j][c]);
                } else if (both) {
                    const int want = std::max(a1[c], a2[c]) < kAgreement ? 0 : a1[c] < a2[c] ? 2 : 1;
                    EXPECT_EQ(v, want) << "frame " << j << " channel " << c;
                }
                beyond += a.voiceLabels[j][c] == 0 && v != 0;
            }
        }
        EXPECT_GT(beyond, 0) << f0a << " and " << f0b << " Hz";
    }
}

// The streaming analysis keeps the same agreements as the whole model,
// and keeping them leaves every result file's bytes as they were.
TEST(PitchEvidence, StreamingKeepsTheWholeModelsAgreements) {
    testutil::TempDir dir;
    const std::vector<double> x = two_voice_signal(120.0, 200.0, 0.8);
    const VoiceAnalysis whole = analyse_voices(x, kSrate);
    ASSERT_TRUE(whole.error.empty());
    StreamAnalysis plain(kSrate), kept(kSrate, 2);
    kept.keep_pitch_evidence();
    for (StreamAnalysis* s : {&plain, &kept}) {
        for (size_t i = 0; i < x.size(); i += 1000) s->push(x.data() + i, std::min<size_t>(1000, x.size() - i));
        s->finish();
        RuleTracker tracker;
        s->results().track(tracker);
    }
    ASSERT_EQ(plain.results().pitch_evidence(), nullptr);
    const PitchEvidence* e = kept.results().pitch_evidence();
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->frames(), whole.evidence.frames());
    std::vector<double> got(e->channels()), want(e->channels());
    int compared = 0;
    for (int j = 0; j < e->frames(); ++j)
        for (double f0 : whole.f0Tracks[j]) {
            ASSERT_EQ(e->agreement(j, f0, got.data()), whole.evidence.agreement(j, f0, want.data()));
            if (f0 == 0.0) continue;
            EXPECT_EQ(got, want) << "frame " << j;
            ++compared;
        }
    EXPECT_GT(compared, 0);
    EXPECT_EQ(pitch_voice_labels(*e, kept.results().f0_labels(), kept.results().f0_tracks(),
                                 whole.grouping, whole.voiceLabels),
              whole.pitchLabels);
    for (StreamAnalysis* s : {&plain, &kept}) {
        const std::string tag = s == &plain ? "plain" : "kept";
        ASSERT_TRUE(s->results().write_mask(dir.file(tag + ".mask").c_str()));
        ASSERT_TRUE(s->results().write_fragments(dir.file(tag + ".groups").c_str()));
        ASSERT_TRUE(s->results().write_f0Tracks(dir.file(tag + ".f0tracks").c_str()));
    }
    for (const char* ext : {".mask", ".groups", ".f0tracks"})
        EXPECT_EQ(testutil::read_file(dir.file(std::string("plain") + ext)),
                  testutil::read_file(dir.file(std::string("kept") + ext)));
}
