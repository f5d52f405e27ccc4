// The streaming analysis against the whole model: the result files of
// StreamAnalysis + FrameResults must be byte for byte those of AcgModel +
// CASAGrouping over the whole signal, whatever the signal's length (ends
// inside a block, inside a frame, one frame, no sample), the pieces the
// samples arrive in, the number of threads and the vector width.
#include "streamanalysis.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "casagrouping.h"
#include "testutil.h"
#include "vectors.h"

namespace {

using testutil::Bytes;

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".f0labels"};

using Files = std::map<std::string, Bytes>;

// A result-file writer of either implementation.
template <typename Results>
Files written(const Results& r, const testutil::TempDir& dir, const std::string& name) {
    const std::string p = dir.file(name);
    EXPECT_TRUE(r.write_frmSegments((p + ".frmseg").c_str()));
    EXPECT_TRUE(r.write_f0Candidates((p + ".f0cands").c_str()));
    EXPECT_TRUE(r.write_f0Tracks((p + ".f0tracks").c_str()));
    EXPECT_TRUE(r.write_fragments((p + ".groups").c_str()));
    EXPECT_TRUE(r.write_mask((p + ".mask").c_str()));
    EXPECT_TRUE(r.write_f0Labels((p + ".f0labels").c_str()));
    Files files;
    for (const char* s : kSuffixes) files[s] = testutil::read_file(p + s);
    return files;
}

Files whole_model(const std::vector<double>& x, int srate, const testutil::TempDir& dir) {
    AcgModel model;
    model.compute(x, srate);
    RuleTracker tracker;
    CASAGrouping grouping(model, tracker);
    grouping.generate_fragments(nullptr);
    return written(grouping, dir, "model");
}

// Streams x in pieces of the given sizes (repeated), on threads threads.
Files streamed(const std::vector<double>& x, int srate, int threads, std::vector<size_t> pieces,
               const testutil::TempDir& dir) {
    StreamAnalysis stream(srate, threads);
    size_t at = 0;
    for (size_t i = 0; at < x.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], x.size() - at);
        stream.push(x.data() + at, n);
        at += n;
    }
    stream.finish();
    EXPECT_EQ(stream.samples(), static_cast<int64_t>(x.size()));
    RuleTracker tracker;
    stream.results().track(tracker);
    return written(stream.results(), dir, "stream");
}

std::vector<double> two_voices(int srate, double seconds) {
    return testutil::mix(testutil::harmonic_complex(srate, seconds, 110.0, 135.0, 0.25),
                         testutil::harmonic_complex(srate, seconds, 210.0, 180.0, 0.2));
}

size_t frames_of(const Files& f) { return f.at(".f0tracks").size() / 8; }

}  // namespace

TEST(StreamAnalysis, GivesTheWholeModelsBytesAtEveryLengthAndPieceSize) {
    testutil::TempDir dir;
    const int blockFrames = StreamAnalysis::block_frames_for(32, 240);
    const std::vector<double> voices = two_voices(16000, 0.03 * blockFrames + 0.4);
    const size_t block = blockFrames * 160;
    // Whole blocks, a block and one sample, a partial frame, one frame, one sample.
    for (const size_t n : {3 * block, 3 * block + 1, 2 * block + 1234, size_t{160}, size_t{161},
                           size_t{1}, voices.size()}) {
        const std::vector<double> x(voices.begin(), voices.begin() + n);
        const Files expected = whole_model(x, 16000, dir);
        EXPECT_EQ(frames_of(expected), (n + 159) / 160);
        for (const auto& pieces : std::vector<std::vector<size_t>>{{65536}, {1, 159, 4000}, {block}})
            EXPECT_EQ(streamed(x, 16000, 1, pieces, dir), expected) << n << " samples";
    }
}

TEST(StreamAnalysis, NoSampleGivesNoFrame) {
    testutil::TempDir dir;
    StreamAnalysis stream(16000);
    stream.finish();
    EXPECT_EQ(stream.frames(), 0);
    RuleTracker tracker;
    stream.results().track(tracker);
    EXPECT_EQ(written(stream.results(), dir, "empty"), whole_model({}, 16000, dir));
}

TEST(StreamAnalysis, EveryThreadCountAndVectorWidthGivesTheSameBytes) {
    testutil::TempDir dir;
    // Odd window lengths (11025 Hz: shift 110, window 331) and wide rows (48 kHz).
    for (const int srate : {8000, 11025, 48000}) {
        std::vector<double> x = two_voices(srate, 0.9);
        const std::vector<double> n = testutil::noise(srate, 0.9, 0.05, 3u);
        for (size_t i = 0; i < x.size(); ++i) x[i] += n[i];
        const Files expected = whole_model(x, srate, dir);
        for (const vec::Width width : vec::supported_widths()) {
            vec::WidthLimit limit(width);
            for (const int threads : {1, 2, 3, 5})
                EXPECT_EQ(streamed(x, srate, threads, {7777}, dir), expected)
                    << srate << " Hz, " << threads << " threads, width " << static_cast<int>(width);
        }
    }
}

TEST(StreamAnalysis, TimerHearsTheStagesOnOneThreadOnly) {
    struct Count : StageTimer {
        std::map<Stage, int> seen;
        void begin(Stage s) override { ++seen[s]; }
    };
    const std::vector<double> x = two_voices(16000, 0.5);
    for (const int threads : {1, 2}) {
        Count count;
        StreamAnalysis stream(16000, threads, &count);
        stream.push(x.data(), x.size());
        stream.finish();
        if (threads == 1) {
            for (const Stage s : {Stage::Filterbank, Stage::Autocorrelation, Stage::FrameTests,
                                  Stage::Dendrites, Stage::Fragments})
                EXPECT_GT(count.seen[s], 0) << static_cast<int>(s);
        } else {
            EXPECT_TRUE(count.seen.empty());
        }
    }
}
