#include "scoring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "geometry.h"
#include "resynth.h"
#include "separate.h"
#include "testutil.h"

namespace {

constexpr int kRate = 8000;

std::vector<double> scaled(const std::vector<double>& x, double g) {
    std::vector<double> y(x);
    for (double& v : y) v *= g;
    return y;
}

// Two talkers: a low and a high harmonic voice, each in syllable-like bursts.
struct Talkers {
    std::vector<double> s1, s2, mix;
};

Talkers talkers() {
    Talkers t;
    t.s1 = testutil::harmonic_complex(kRate, 0.8, 110, 125, 0.3);
    t.s2 = testutil::harmonic_complex(kRate, 0.8, 175, 160, 0.3);
    for (size_t i = 0; i < t.s1.size(); ++i) {
        t.s1[i] *= 0.5 - 0.5 * std::cos(2 * M_PI * 2.5 * i / kRate);
        t.s2[i] *= 0.5 + 0.5 * std::cos(2 * M_PI * 3.5 * i / kRate);
    }
    t.mix = testutil::mix(t.s1, t.s2);
    return t;
}

// An analysis whose voice k is exactly the ideal binary mask of source
// (order[k]): every unit a fragment of its own voice, mask value 1.
VoiceAnalysis ideal_voices(const Talkers& t, const int order[2]) {
    IntMatrix ibm[2] = {ideal_binary_mask(unit_energies(t.s1, kRate), unit_energies(t.s2, kRate)),
                        ideal_binary_mask(unit_energies(t.s2, kRate), unit_energies(t.s1, kRate))};
    VoiceAnalysis a;
    a.nframes = static_cast<int>(ibm[0].size());
    a.fragments.assign(a.nframes, std::vector<int>(32, 0));
    a.mask.assign(a.nframes, std::vector<double>(32, 0.0));
    for (int j = 0; j < a.nframes; ++j)
        for (int c = 0; c < 32; ++c)
            for (int k = 0; k < 2; ++k)
                if (ibm[order[k] - 1][j][c]) a.fragments[j][c] = k + 1, a.mask[j][c] = 1.0;
    a.voiceLabels = a.fragments;  // fragment k + 1 is voice k + 1
    for (int v = 0; v < 3; ++v) a.masks[v] = voice_mask(a.voiceLabels, a.mask, v);
    a.pitchLabels = a.voiceLabels;  // the same voices, labelled by pitch
    for (int v = 0; v < 3; ++v) a.pitchMasks[v] = a.masks[v];
    return a;
}

}  // namespace

TEST(ScoringMetrics, KnownAnswers) {
    const auto ref = testutil::harmonic_complex(kRate, 0.3, 150, 150, 0.5);
    EXPECT_NEAR(snr_db(scaled(ref, 0.9), ref), 20.0, 1e-9);
    EXPECT_TRUE(std::isinf(snr_db(ref, ref)));
    // Scale does not matter to SI-SDR; an orthogonal error 20 dB down does.
    std::vector<double> err(ref.size());
    for (size_t i = 0; i + 1 < ref.size(); i += 2) err[i] = ref[i + 1], err[i + 1] = -ref[i];
    double e = 0, r = 0;
    for (size_t i = 0; i < ref.size(); ++i) e += err[i] * err[i], r += ref[i] * ref[i];
    const double cross = [&] { double s = 0; for (size_t i = 0; i < ref.size(); ++i) s += err[i] * ref[i]; return s; }();
    ASSERT_NEAR(cross, 0.0, 1e-9 * r);
    const auto noisy = testutil::mix(ref, scaled(err, 0.1 * std::sqrt(r / e)));
    EXPECT_NEAR(si_sdr_db(scaled(noisy, 3.0), ref), 20.0, 1e-6);
    EXPECT_NEAR(si_sdr_db(scaled(noisy, -0.5), ref), 20.0, 1e-6);
    EXPECT_TRUE(std::isnan(si_sdr_db(std::vector<double>(ref.size(), 0.0), ref)));
    EXPECT_NEAR(correlation(ref, scaled(ref, -2.0)), -1.0, 1e-12);
    EXPECT_EQ(correlation(ref, std::vector<double>(ref.size(), 0.0)), 0.0);
}

// The IBM keeps a unit where the target's energy is the larger (ties and
// silence: not kept); HIT - FA counts the IBM's units of each kind; ideal
// grouping gives each fragment to the source with more of its energy.
TEST(ScoringMasks, IdealBinaryMaskHitFaAndIdealGrouping) {
    const Matrix target = {{2.0, 1.0, 0.0, 3.0}, {1e-20, 5.0, 0.0, 0.0}};
    const Matrix other = {{1.0, 1.0, 0.0, 0.0}, {1e-19, 4.0, 4.0, 0.0}};
    const IntMatrix ibm = ideal_binary_mask(target, other);
    EXPECT_EQ(ibm, (IntMatrix{{1, 0, 0, 1}, {0, 1, 0, 0}}));
    // 3 ones, 5 zeros: mask hits 2 of the ones, false-alarms 1 zero.
    const IntMatrix mask = {{1, 1, 0, 0}, {0, 1, 0, 0}};
    EXPECT_NEAR(hit_minus_fa(mask, ibm), 2.0 / 3 - 1.0 / 5, 1e-12);
    EXPECT_TRUE(std::isnan(hit_minus_fa(mask, IntMatrix{{0, 0, 0, 0}, {0, 0, 0, 0}})));

    const IntMatrix fragments = {{6, 6, 11, 11}, {6, 0, 11, 0}};
    const auto g = ideal_grouping(fragments, target, other);
    EXPECT_EQ(g.at(6), 1);   // 2 + 1 + 1e-20 against 1 + 1 + 1e-19
    EXPECT_EQ(g.at(11), 2);  // 0 + 3 + 0 against 0 + 0 + 4
    EXPECT_EQ(g.count(0), 0u);
}

TEST(ScoringSources, RefusedClearly) {
    const Talkers t = talkers();
    EXPECT_EQ(check_sources(t.mix, t.s1, t.s2), "");
    const std::vector<double> silent(t.mix.size(), 0.0);
    EXPECT_NE(check_sources(t.mix, t.s1, silent).find("source 2 is silent"), std::string::npos);
    EXPECT_NE(check_sources(t.mix, scaled(t.s1, 1e-9), t.s2).find("source 1 is silent"), std::string::npos);
    EXPECT_NE(check_sources(t.mix, t.s1, t.s1).find("copies of one another"), std::string::npos);
    EXPECT_NE(check_sources(t.mix, t.s1, scaled(t.s1, -0.5)).find("copies"), std::string::npos);
    std::vector<double> shorter(t.s2.begin(), t.s2.end() - 1);
    EXPECT_EQ(check_sources(t.mix, t.s1, shorter),
              "source 2 has " + std::to_string(shorter.size()) + " samples, the mixture " +
                  std::to_string(t.mix.size()));
    const SeparationScores s = score_separation(t.mix, t.s1, t.s1, kRate, analyse_voices(t.mix, kRate));
    EXPECT_NE(s.error.find("copies"), std::string::npos);
}

// Unit energies sit in the channels and frames where the signal is.
TEST(ScoringEnergies, WhereTheSignalIs) {
    const int srate = 16000;
    auto x = testutil::sine(srate, 0.5, 1000.0, 0.5);
    std::fill(x.begin() + x.size() / 2, x.end(), 0.0);
    const Matrix e = unit_energies(x, srate);
    ASSERT_EQ(e.size(), static_cast<size_t>(frame_geometry(srate, 10, 30, x.size()).nframes));
    int loudest = 0;
    double first = 0, second = 0;
    for (size_t j = 0; j < e.size(); ++j)
        for (int c = 0; c < 32; ++c) {
            (j < e.size() / 2 - 3 ? first : j > e.size() / 2 + 3 ? second : first) += e[j][c];
            if (e[10][c] > e[10][loudest]) loudest = c;
        }
    EXPECT_LT(second, 1e-6 * first);
    EXPECT_NEAR(plan_resynthesis(srate).cfs[loudest], 1000.0, 120.0);
}

// Voices that are exactly the sources' ideal binary masks score as the IBM
// does, with HIT - FA 1; voices in the other order are paired the other way.
TEST(ScoringSeparation, KnownAnswerAndPairing) {
    const Talkers t = talkers();
    for (const int* order : {(const int[]){1, 2}, (const int[]){2, 1}}) {
        const VoiceAnalysis a = ideal_voices(t, order);
        const SeparationScores s = score_separation(t.mix, t.s1, t.s2, kRate, a);
        ASSERT_EQ(s.error, "");
        for (int v = 0; v < 2; ++v) {
            const VoiceScore& got = s.voices[v];
            const VoiceScore& ibm = s.ibm[order[v] - 1];
            EXPECT_EQ(s.pitch[v].source, got.source);
            EXPECT_EQ(s.pitch[v].sisdr, got.sisdr);
            EXPECT_EQ(s.pitch[v].hitFa, got.hitFa);
            EXPECT_EQ(got.source, order[v]);
            EXPECT_NEAR(got.sisdr, ibm.sisdr, 1e-9);
            EXPECT_NEAR(got.snrGain, ibm.snrGain, 1e-9);
            EXPECT_NEAR(got.hitFa, 1.0, 1e-12);
            EXPECT_GT(ibm.sisdrGain, 5.0);
        }
        EXPECT_GT(s.mixtureResidualDb, 200.0);
    }
}

// The whole separation of a two-voice mixture gains over the mixture, with
// ideal sequential grouping at least as good as the voices.
TEST(ScoringSeparation, TwoVoiceMixtureGains) {
    const Talkers t = talkers();
    const VoiceAnalysis a = analyse_voices(t.mix, kRate);
    ASSERT_EQ(a.error, "");
    const SeparationScores s = score_separation(t.mix, t.s1, t.s2, kRate, a);
    ASSERT_EQ(s.error, "");
    for (int v = 0; v < 2; ++v) {
        EXPECT_GT(s.voices[v].sisdrGain, 1.0) << v;
        EXPECT_EQ(s.voices[v].source, v + 1);
        EXPECT_GE(s.ibm[v].sisdrGain, s.ideal[v].sisdrGain - 0.5) << v;
    }
}

// The command line: a table and one JSON line; refusals on standard error
// with exit status 1; usage errors 2.
TEST(ScoreCommand, ScoresAndRefusals) {
    testutil::TempDir dir;
    const Talkers t = talkers();
    const auto p1 = testutil::to_pcm16(t.s1), p2 = testutil::to_pcm16(t.s2);
    std::vector<int16_t> pm(p1.size());
    for (size_t i = 0; i < pm.size(); ++i) pm[i] = static_cast<int16_t>(p1[i] + p2[i]);
    testutil::write_file(dir.file("mix.wav"), testutil::wav_bytes(pm, kRate));
    testutil::write_file(dir.file("s1.wav"), testutil::wav_bytes(p1, kRate));
    testutil::write_file(dir.file("s2.wav"), testutil::wav_bytes(p2, kRate));
    testutil::write_file(dir.file("silent.wav"), testutil::wav_bytes(std::vector<int16_t>(pm.size(), 0), kRate));
    testutil::write_file(dir.file("short.wav"),
                         testutil::wav_bytes(std::vector<int16_t>(p2.begin(), p2.end() - 8), kRate));
    testutil::write_file(dir.file("rate.wav"), testutil::wav_bytes(p2, 16000));
    testutil::write_file(dir.file("stereo.wav"), testutil::wav_bytes(pm, kRate / 2, 2));
    auto score = [&](const std::vector<std::string>& args) {
        return testutil::start_program(CORLUNE_SCORE_EXE, args).wait();
    };
    const auto ok = score({dir.file("mix.wav"), dir.file("s1.wav"), dir.file("s2.wav")});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("voice grouping"), std::string::npos);
    const std::string json = ok.out.substr(ok.out.rfind("{\"mixture\""));
    for (const char* key : {"\"ibm\":", "\"ideal_grouping\":", "\"voices\":", "\"si_sdr_gain\":",
                            "\"hit_fa\":", "\"unprocessed\":"})
        EXPECT_NE(json.find(key), std::string::npos) << key;
    const auto only = score({"--json", dir.file("mix.wav"), dir.file("s1.wav"), dir.file("s2.wav")});
    EXPECT_EQ(only.out, json);
    const auto rule = score({"--json", "--tracker=rule", dir.file("mix.wav"), dir.file("s1.wav"),
                             dir.file("s2.wav")});
    EXPECT_EQ(rule.out, json);
    const auto joint = score({"--json", "--tracker", "joint", dir.file("mix.wav"), dir.file("s1.wav"),
                              dir.file("s2.wav")});
    ASSERT_EQ(joint.status, 0) << joint.err;
    EXPECT_NE(joint.out.find("\"voices\":"), std::string::npos);

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{dir.file("mix.wav"), dir.file("s1.wav"), dir.file("silent.wav")}, "source 2 is silent"},
        {{dir.file("mix.wav"), dir.file("s1.wav"), dir.file("s1.wav")}, "copies of one another"},
        {{dir.file("mix.wav"), dir.file("short.wav"), dir.file("s2.wav")}, "source 1 has"},
        {{dir.file("mix.wav"), dir.file("s1.wav"), dir.file("rate.wav")}, "source 2 is at 16000 Hz, the mixture at 8000 Hz"},
        {{dir.file("stereo.wav"), dir.file("s1.wav"), dir.file("s2.wav")}, "2 channels"},
        {{dir.file("none.wav"), dir.file("s1.wav"), dir.file("s2.wav")}, "none.wav"},
    };
    for (const auto& [args, says] : refused) {
        const auto r = score(args);
        EXPECT_EQ(r.status, 1) << says;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(score({dir.file("mix.wav"), dir.file("s1.wav")}).status, 2);
    EXPECT_EQ(score({"--bogus", dir.file("mix.wav"), dir.file("s1.wav"), dir.file("s2.wav")}).status, 2);
    const auto bad = score({"--tracker=best", dir.file("mix.wav"), dir.file("s1.wav"), dir.file("s2.wav")});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("invalid value 'best' for --tracker: expected one of rule, joint"),
              std::string::npos) << bad.err;
}
