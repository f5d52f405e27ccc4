// Tests of the voices of a streamed run: the labels and the three signals
// written from the frames' results and the kept samples are those of the
// whole-signal separation, at every rate, however the samples arrived.
#include "voicefiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audioinput.h"
#include "resynth.h"
#include "ruletracker.h"
#include "separate.h"
#include "streamanalysis.h"
#include "testutil.h"

namespace {

// Two voices, as 16-bit samples so that float32 keeps them exactly.
std::vector<double> two_voices(int srate, double seconds) {
    const auto pcm = testutil::to_pcm16(testutil::mix(testutil::harmonic_complex(srate, seconds, 110, 135, 0.25),
                                                      testutil::harmonic_complex(srate, seconds, 210, 180, 0.2)));
    std::vector<double> x(pcm.size());
    for (size_t t = 0; t < x.size(); ++t) x[t] = pcm[t] / 32768.0;
    return x;
}

std::vector<double> read_wav(const std::string& path) {
    AudioInput in;
    EXPECT_TRUE(in.open(path)) << in.error();
    std::vector<double> x;
    while (in.read(x, 8192, SignalChoice::one(0)) > 0) {}
    return x;
}

std::vector<int> read_int16(const std::string& path) {
    const auto bytes = testutil::read_file(path);
    std::vector<int> v(bytes.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) {
        int16_t s;
        std::memcpy(&s, bytes.data() + 2 * i, 2);
        v[i] = s;
    }
    return v;
}

}  // namespace

// By fragment and by pitch.
TEST(VoiceFiles, StreamedVoicesAreTheWholeSignalsSeparation) {
    for (const int srate : {8000, 16000, 48000})
    for (const bool byPitch : {false, true}) {
        SCOPED_TRACE(srate);
        SCOPED_TRACE(byPitch ? "by pitch" : "by fragment");
        const auto x = two_voices(srate, 1.37);
        Separation whole = separate(x, srate);
        ASSERT_EQ(whole.error, "");
        const VoiceAnalysis& a = whole.analysis;
        if (byPitch) {
            Resynthesis r = resynthesize_masks(x, srate, {&a.pitchMasks[0], &a.pitchMasks[1], &a.pitchMasks[2]});
            for (int v = 0; v < 3; ++v) whole.voices[v] = std::move(r.outputs[v]);
        }

        StreamAnalysis stream(srate, 2);
        if (byPitch) stream.keep_pitch_evidence();
        VoiceFiles voices(srate, byPitch);
        for (size_t t = 0, piece = 777; t < x.size(); t += piece) {
            const size_t n = std::min(piece, x.size() - t);
            stream.push(x.data() + t, n);
            voices.keep(x.data() + t, n);
        }
        stream.finish();
        RuleTracker tracker;
        stream.results().track(tracker);
        voices.group(stream.results());
        EXPECT_EQ(voices.samples(), static_cast<std::int64_t>(x.size()));
        EXPECT_EQ(voices.grouping().centreF0[0], whole.analysis.grouping.centreF0[0]);

        testutil::TempDir dir;
        ASSERT_TRUE(voices.write_labels(dir.file("v.voices").c_str()));
        std::vector<int> expected;
        for (const auto& row : byPitch ? a.pitchLabels : a.voiceLabels)
            expected.insert(expected.end(), row.begin(), row.end());
        EXPECT_EQ(read_int16(dir.file("v.voices")), expected);

        const std::vector<std::string> names = {dir.file("1.wav"), dir.file("2.wav"), dir.file("0.wav")};
        std::size_t failed = 99;
        ASSERT_TRUE(voices.write_signals({names[0].c_str(), names[1].c_str(), names[2].c_str()}, failed));
        for (int k = 0; k < VoiceFiles::kSignals; ++k) {
            const auto& want = whole.voices[VoiceFiles::kSignalVoice[k]];
            const auto got = read_wav(names[k]);
            ASSERT_EQ(got.size(), want.size()) << k;
            double energy = 0;
            for (size_t t = 0; t < want.size(); ++t) {
                ASSERT_EQ(got[t], static_cast<double>(static_cast<float>(want[t]))) << k << " at " << t;
                energy += got[t] * got[t];
            }
            EXPECT_GT(energy, 0.0) << k;
        }

        // The same in memory, as the Python package takes them.
        std::vector<std::int16_t> labels(expected.size());
        voices.copy_labels(labels.data());
        EXPECT_EQ(std::vector<int>(labels.begin(), labels.end()), expected);
        std::vector<std::vector<float>> signals(VoiceFiles::kSignals, std::vector<float>(x.size()));
        float* const outs[VoiceFiles::kSignals] = {signals[0].data(), signals[1].data(),
                                                   signals[2].data()};
        std::string error;
        ASSERT_TRUE(voices.copy_signals(outs, error)) << error;
        for (int k = 0; k < VoiceFiles::kSignals; ++k)
            EXPECT_EQ(std::vector<double>(signals[k].begin(), signals[k].end()), read_wav(names[k])) << k;
    }
}

// A path that cannot be written is named by its position, and the other
// files are left as they were made.
TEST(VoiceFiles, FailingSignalFileIsNamed) {
    const int srate = 16000;
    const auto x = two_voices(srate, 0.4);
    StreamAnalysis stream(srate);
    VoiceFiles voices(srate);
    stream.push(x.data(), x.size());
    voices.keep(x.data(), x.size());
    stream.finish();
    RuleTracker tracker;
    stream.results().track(tracker);
    voices.group(stream.results());
    testutil::TempDir dir;
    const std::string ok = dir.file("ok.wav"), missing = dir.file("none/x.wav");
    for (std::size_t at = 0; at < 3; ++at) {
        std::vector<const char*> paths(3, ok.c_str());
        paths[at] = at == 1 ? "/dev/full" : missing.c_str();
        std::size_t failed = 99;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(voices.write_signals(paths, failed));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(failed, at);
        EXPECT_NE(err.find(paths[at]), std::string::npos) << err;
    }
}
