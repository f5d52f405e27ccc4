// Signals from memory and from recordings: the conversions of sample views,
// the refusals every source shares, and the in-memory result tables against
// the result files.
#include "signalsource.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ruletracker.h"
#include "streamanalysis.h"
#include "testutil.h"

using namespace testutil;

namespace {

constexpr int kRate = 16000;

// The result tables of a finished, tracked analysis.
struct TableCopy {
    std::vector<std::int16_t> frmseg, groups, f0labels;
    std::vector<float> f0cands, f0tracks, mask;
    std::vector<std::int64_t> ids, slotIds;
};

TableCopy tables_of(StreamAnalysis& stream) {
    RuleTracker tracker;
    stream.results().track(tracker);
    const std::size_t n = stream.frames(), c = stream.results().channels();
    TableCopy t;
    t.frmseg.resize(n * c);
    t.groups.resize(n * c);
    t.mask.resize(n * c);
    t.ids.resize(n * c);
    t.f0labels.resize(n * 2);
    t.slotIds.resize(n * 2);
    t.f0tracks.resize(n * 2);
    t.f0cands.resize(n * kCandidates);
    stream.results().copy_tables({t.frmseg.data(), t.f0cands.data(), t.f0tracks.data(),
                                  t.groups.data(), t.mask.data(), t.f0labels.data(), t.ids.data(),
                                  t.slotIds.data()});
    return t;
}

template <typename T>
Bytes bytes_of(const std::vector<T>& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(v.data());
    return Bytes(p, p + v.size() * sizeof(T));
}

std::vector<double> two_voices(double seconds) {
    return mix(harmonic_complex(kRate, seconds, 110.0, 130.0, 0.3),
               harmonic_complex(kRate, seconds, 210.0, 190.0, 0.2));
}

}  // namespace

TEST(SampleView, ConvertsEveryTypeAndStrideToTheReadersScale) {
    const std::vector<std::int16_t> pcm = {0, 1, -1, 32767, -32768, 16384};
    const SampleView ints{pcm.data(), pcm.size(), sizeof(std::int16_t), SampleView::Type::Int16};
    std::vector<double> out(pcm.size());
    ints.copy(0, pcm.size(), out.data());
    for (std::size_t i = 0; i < pcm.size(); ++i) EXPECT_EQ(out[i], pcm[i] / 32768.0) << i;
    EXPECT_EQ(out[4], -1.0);

    // Every other float32, read backwards (a negative stride), from sample 1.
    const std::vector<float> f = {0.5f, 9.f, 0.25f, 9.f, 1e-7f, 9.f, -3.75f};
    const SampleView back{&f[6], 4, -2 * static_cast<std::ptrdiff_t>(sizeof(float)),
                          SampleView::Type::Float32};
    std::vector<double> got(3);
    back.copy(1, 3, got.data());
    EXPECT_EQ(got, (std::vector<double>{1e-7f, 0.25f, 0.5f}));
}

TEST(SignalSource, RefusesRatesChannelsAndSamplesWithTheProgramsWords) {
    EXPECT_FALSE(rate_refusal(4000));
    EXPECT_FALSE(rate_refusal(192000));
    EXPECT_EQ(rate_refusal(3999).message, "Sample rate 3999 Hz outside 4000 to 192000 Hz");
    EXPECT_TRUE(rate_refusal(4294967296LL));

    AudioFormat stereo;
    stereo.channels = 2;
    EXPECT_TRUE(channel_refusal(stereo, 0, false));
    EXPECT_FALSE(channel_refusal(stereo, 0, true));
    EXPECT_FALSE(channel_refusal(stereo, 2, false));
    EXPECT_EQ(channel_refusal(stereo, 3, false).message,
              "Channel 3 requested, but the recording has 2 channels");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> x = {0.0, kMaxMagnitude, -kMaxMagnitude, nan, 1e30};
    EXPECT_EQ(first_unusable(x.data(), 3), 3u);
    EXPECT_EQ(first_unusable(x.data(), x.size()), 3u);
    EXPECT_EQ(first_unusable(x.data() + 4, 1), 0u);
}

TEST(SignalSource, ABadSampleOrNoneIsRefusedBeforeAnySampleIsAnalysed) {
    std::vector<double> x = two_voices(10.0);  // more than two blocks of samples
    x[150000] = std::numeric_limits<double>::infinity();
    StreamAnalysis stream(kRate);
    const SignalRefusal r = stream_samples(SampleView::of(x.data(), x.size()), stream);
    EXPECT_EQ(r.message, "Sample 150000 is inf, outside -16777216 to 16777216");
    EXPECT_EQ(stream.samples(), 0);

    const std::vector<float> f(70000, 0.0f);
    std::vector<float> g = f;
    g[69999] = -2e7f;
    StreamAnalysis other(kRate);
    EXPECT_EQ(stream_samples({g.data(), g.size(), sizeof(float), SampleView::Type::Float32}, other)
                  .message,
              "Sample 69999 is -2e+07, outside -16777216 to 16777216");
    EXPECT_EQ(stream_samples({f.data(), 0, sizeof(float), SampleView::Type::Float32}, other).message,
              "No samples in the signal");
    EXPECT_EQ(other.samples(), 0);
}

TEST(SignalSource, ProgressHearsEachBlockAndMayStopTheAnalysis) {
    const std::vector<double> x = two_voices(10.0);
    std::vector<std::int64_t> heard;
    StreamAnalysis stream(kRate);
    const SignalRefusal r = stream_samples(SampleView::of(x.data(), x.size()), stream,
                                           [&](std::int64_t samples) {
                                               heard.push_back(samples);
                                               return heard.size() < 2;
                                           });
    EXPECT_EQ(r.message, kStopped);
    EXPECT_EQ(heard, (std::vector<std::int64_t>{65536, 131072}));
    EXPECT_EQ(stream.samples(), 131072);
}

TEST(SignalSource, EveryViewOfTheSameSamplesGivesTheSameResults) {
    const std::vector<std::int16_t> pcm = to_pcm16(two_voices(1.3));
    std::vector<double> scaled(pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i) scaled[i] = pcm[i] / 32768.0;
    std::vector<float> strided(2 * pcm.size());  // every other element, as a column of a matrix
    for (std::size_t i = 0; i < pcm.size(); ++i) strided[2 * i] = static_cast<float>(scaled[i]);

    StreamAnalysis a(kRate), b(kRate), c(kRate, /*threads=*/2);
    ASSERT_FALSE(stream_samples(SampleView::of(scaled.data(), scaled.size()), a));
    ASSERT_FALSE(stream_samples({pcm.data(), pcm.size(), 2, SampleView::Type::Int16}, b));
    ASSERT_FALSE(stream_samples({strided.data(), pcm.size(), 8, SampleView::Type::Float32}, c));
    for (StreamAnalysis* s : {&a, &b, &c}) s->finish();
    const TableCopy ta = tables_of(a), tb = tables_of(b), tc = tables_of(c);
    EXPECT_EQ(ta.mask, tb.mask);
    EXPECT_EQ(ta.mask, tc.mask);
    EXPECT_EQ(ta.f0cands, tc.f0cands);
    EXPECT_EQ(ta.ids, tc.ids);
}

TEST(FrameResultsTables, HoldTheResultFilesBytesAndTheUnwrappedIdentifiers) {
    TempDir dir;
    const std::vector<double> x = two_voices(2.0);
    StreamAnalysis stream(kRate);
    ASSERT_FALSE(stream_samples(SampleView::of(x.data(), x.size()), stream));
    stream.finish();
    const TableCopy t = tables_of(stream);
    const FrameResults& r = stream.results();
    const std::string p = (dir.path() / "utt").string();
    ASSERT_TRUE(r.write_frmSegments((p + ".frmseg").c_str()));
    ASSERT_TRUE(r.write_f0Candidates((p + ".f0cands").c_str()));
    ASSERT_TRUE(r.write_f0Tracks((p + ".f0tracks").c_str()));
    ASSERT_TRUE(r.write_fragments((p + ".groups").c_str()));
    ASSERT_TRUE(r.write_mask((p + ".mask").c_str()));
    ASSERT_TRUE(r.write_f0Labels((p + ".f0labels").c_str()));
    EXPECT_EQ(read_file(p + ".frmseg"), bytes_of(t.frmseg));
    EXPECT_EQ(read_file(p + ".f0cands"), bytes_of(t.f0cands));
    EXPECT_EQ(read_file(p + ".f0tracks"), bytes_of(t.f0tracks));
    EXPECT_EQ(read_file(p + ".groups"), bytes_of(t.groups));
    EXPECT_EQ(read_file(p + ".mask"), bytes_of(t.mask));
    EXPECT_EQ(read_file(p + ".f0labels"), bytes_of(t.f0labels));

    // Two voices make tracks; every claimed unit carries its slot's identifier.
    std::size_t claimed = 0;
    const std::size_t c = r.channels();
    for (std::size_t i = 0; i < t.ids.size(); ++i) {
        if (t.ids[i] == 0) continue;
        ++claimed;
        const std::size_t f = i / c;
        EXPECT_TRUE(t.ids[i] == t.slotIds[2 * f] || t.ids[i] == t.slotIds[2 * f + 1]) << i;
        EXPECT_EQ(static_cast<std::int16_t>(t.ids[i]), t.groups[i]);
    }
    EXPECT_GT(claimed, 100u);
}

TEST(SignalSource, AnalysesSetUpAndRunOnSeveralThreadsAtOnceGiveTheSameResults) {
    std::vector<std::vector<double>> signals;
    for (int i = 0; i < 3; ++i) signals.push_back(harmonic_complex(kRate, 0.6, 100.0 + 40 * i, 150.0, 0.3));
    auto analyse = [&](int i) {
        StreamAnalysis stream(kRate, 1 + i % 2);
        EXPECT_FALSE(stream_samples(SampleView::of(signals[i].data(), signals[i].size()), stream));
        stream.finish();
        return tables_of(stream).mask;
    };
    std::vector<std::vector<float>> alone, together(signals.size());
    for (int i = 0; i < 3; ++i) alone.push_back(analyse(i));
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { together[i] = analyse(i); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(together, alone);
}
