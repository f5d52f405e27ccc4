// Tests of the audio input: exact values in every container and encoding
// that stores 16-bit samples losslessly, channel choice, block reads, pipes,
// memory, and what the header claims against what arrives.
#include "audioinput.h"

#include <sndfile.h>

#include <gtest/gtest.h>


#include "testutil.h"

using namespace testutil;

namespace {

// A stereo test signal: channel 0 a ramp through the whole 16-bit range,
// channel 1 its negation clipped to the range, both with the extremes.
std::vector<int16_t> stereo_pcm(int frames) {
    std::vector<int16_t> pcm;
    for (int f = 0; f < frames; ++f) {
        const int v = -32768 + static_cast<int>((65535LL * f) / std::max(1, frames - 1));
        pcm.push_back(static_cast<int16_t>(v));
        pcm.push_back(static_cast<int16_t>(std::min(32767, -v)));
    }
    return pcm;
}

std::vector<double> read_all(AudioInput& in, const SignalChoice& choice, size_t block = 4096) {
    std::vector<double> x;
    while (in.read(x, block, choice) > 0) {
    }
    return x;
}

struct Variant {
    const char* file;
    int format;
};

// Containers and encodings that hold 16-bit samples without loss.
const Variant kLossless[] = {
    {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},   {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
    {"pcm32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32},   {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
    {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},  {"ext.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24},
    {"rf64.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_16},   {"w64.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT},
    {"f16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},   {"f24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    {"a.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},     {"a.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
    {"n16.sph", SF_FORMAT_NIST | SF_FORMAT_PCM_16},    {"n24.sph", SF_FORMAT_NIST | SF_FORMAT_PCM_24},
    {"c16.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},     {"cf.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT},
    {"s.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
};

}  // namespace

TEST(AudioInput, LosslessFormatsGiveTheExactValuesForEveryChoice) {
    TempDir dir;
    const auto pcm = stereo_pcm(3001);
    std::vector<double> left, right, mean, interleaved;
    for (size_t f = 0; f < pcm.size() / 2; ++f) {
        left.push_back(pcm[2 * f] / 32768.0);
        right.push_back(pcm[2 * f + 1] / 32768.0);
        mean.push_back((left.back() + right.back()) / 2.0);
        interleaved.insert(interleaved.end(), {left.back(), right.back()});
    }
    for (const Variant& v : kLossless) {
        SCOPED_TRACE(v.file);
        const std::string path = dir.file(v.file);
        write_audio(path, pcm, 22050, 2, v.format);
        AudioInput in;
        ASSERT_TRUE(in.open(path)) << in.error();
        EXPECT_EQ(in.format().srate, 22050);
        EXPECT_EQ(in.format().channels, 2);
        EXPECT_EQ(in.format().frames, 3001);
        EXPECT_FALSE(in.from_pipe());
        EXPECT_EQ(read_all(in, SignalChoice::one(0), 1000), left);
        EXPECT_FALSE(in.failed());
        EXPECT_EQ(in.frames_read(), 3001);
        ASSERT_TRUE(in.open(path));
        EXPECT_EQ(read_all(in, SignalChoice::one(1)), right);
        ASSERT_TRUE(in.open(path));
        EXPECT_EQ(read_all(in, SignalChoice::mix(), 7), mean);
        ASSERT_TRUE(in.open(path));
        EXPECT_EQ(read_all(in, SignalChoice::interleaved()), interleaved);
    }
}

TEST(AudioInput, SwappedByteOrderConcernsOnly16BitPcm) {
    TempDir dir;
    const std::vector<int16_t> pcm = {0x0102, -2, 0x7F00};
    const std::vector<double> swapped = {0x0201 / 32768.0, -257 / 32768.0, 0x007F / 32768.0};
    SignalChoice swap = SignalChoice::one(0);
    swap.swap_16bit = true;
    write_audio(dir.file("a.aiff"), pcm, 8000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    write_audio(dir.file("b.wav"), pcm, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    AudioInput in;
    ASSERT_TRUE(in.open(dir.file("a.aiff")));
    EXPECT_EQ(read_all(in, swap), swapped);
    ASSERT_TRUE(in.open(dir.file("b.wav")));
    EXPECT_EQ(read_all(in, swap), (std::vector<double>{0x0102 / 32768.0, -2 / 32768.0, 0x7F00 / 32768.0}));
}

TEST(AudioInput, ManyChannelsAreReadInBoundedBlocks) {
    TempDir dir;
    const int channels = 600, frames = 1000;
    std::vector<int16_t> pcm(static_cast<size_t>(channels) * frames);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(i % 1000);
    write_audio(dir.file("many.wav"), pcm, 16000, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    AudioInput in;
    ASSERT_TRUE(in.open(dir.file("many.wav")));
    std::vector<double> x;
    const size_t first = in.read(x, 1000, SignalChoice::one(599));
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 1000u);  // 600 x 1000 values exceed one block
    while (in.read(x, 1000, SignalChoice::one(599)) > 0) {
    }
    ASSERT_EQ(x.size(), 1000u);
    EXPECT_EQ(x[1], ((channels + 599) % 1000) / 32768.0);
}

TEST(AudioInput, MemoryReadsLikeTheFile) {
    TempDir dir;
    const auto pcm = stereo_pcm(500);
    for (const Variant& v : {kLossless[0], kLossless[8], kLossless[12]}) {
        const std::string path = dir.file(v.file);
        write_audio(path, pcm, 16000, 2, v.format);
        const Bytes bytes = read_file(path);
        AudioInput file, memory;
        ASSERT_TRUE(file.open(path));
        ASSERT_TRUE(memory.open_memory(bytes.data(), bytes.size())) << memory.error();
        EXPECT_EQ(memory.format().frames, 500);
        EXPECT_EQ(read_all(memory, SignalChoice::mix()), read_all(file, SignalChoice::mix())) << v.file;
    }
    AudioInput in;
    const Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!'};
    EXPECT_FALSE(in.open_memory(text.data(), text.size()));
    EXPECT_EQ(in.error(), "Unable to read audio file (Format not recognised)");
}

// On a pipe libsndfile cannot seek back: the containers accepted there give
// the same samples as from the file, lossy ones included.
TEST(AudioInput, PipeReadableFormatsMatchTheFile) {
    TempDir dir;
    const auto pcm = stereo_pcm(4000);
    const Variant formats[] = {
        {"p16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},  {"pf.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"pu.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW},     {"px.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24},
        {"p.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},    {"p.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"p.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},   {"p.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
        {"p.sph", SF_FORMAT_NIST | SF_FORMAT_PCM_16},   {"p.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"p.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
    };
    for (const Variant& v : formats) {
        SCOPED_TRACE(v.file);
        const std::string path = dir.file(v.file), fifo = dir.file(std::string("fifo-") + v.file);
        write_audio(path, pcm, 16000, 2, v.format);
        AudioInput file;
        ASSERT_TRUE(file.open(path));
        const auto expect = read_all(file, SignalChoice::interleaved());
        FifoWriter writer(fifo, read_file(path));
        AudioInput in;
        ASSERT_TRUE(in.open(fifo)) << in.error();
        EXPECT_TRUE(in.from_pipe());
        EXPECT_EQ(in.format().frames, -1);
        EXPECT_EQ(read_all(in, SignalChoice::interleaved()), expect);
        EXPECT_FALSE(in.failed());
    }
}

TEST(AudioInput, PipeRefusesFormatsThatNeedSeeking) {
    TempDir dir;
    const auto pcm = stereo_pcm(2000);
    const std::string tail = "; from a pipe only " + std::string(AudioInput::pipe_readable_formats()) +
                             " are read)";
    const std::pair<Variant, std::string> cases[] = {
        {{"r.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
         "Unable to read audio file (Error : flac decoder lost sync" + tail},
        {{"r.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
         "Unable to read audio file (CAF (Apple Core Audio File) cannot be read from a pipe; give its path" + tail},
        {{"r.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16},
         "Unable to read audio file (RF64 (RIFF 64) cannot be read from a pipe; give its path" + tail},
        {{"r.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
         "Unable to read audio file (MPEG-1/2 Audio cannot be read from a pipe; give its path" + tail},
    };
    for (const auto& [v, message] : cases) {
        const std::string path = dir.file(v.file), fifo = dir.file(std::string("fifo-") + v.file);
        write_audio(path, pcm, 16000, 2, v.format);
        FifoWriter writer(fifo, read_file(path));
        AudioInput in;
        EXPECT_FALSE(in.open(fifo));
        EXPECT_EQ(in.error(), message);
        EXPECT_FALSE(in.opening_failed());
    }
}

// MPEG audio is recognised on a pipe by its first bytes (a frame's sync word
// or an ID3 tag) and refused before libsndfile opens it, which in version
// 1.2.0 would read past a buffer.
TEST(AudioInput, PipeRefusesMpegByItsFirstBytes) {
    TempDir dir;
    const std::string mp3 = dir.file("r.mp3");
    write_audio(mp3, stereo_pcm(2000), 16000, 2, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    const Bytes frames = read_file(mp3);
    Bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    tagged.insert(tagged.end(), frames.begin(), frames.end());
    int n = 0;
    for (const Bytes& bytes : {frames, tagged}) {
        const std::string fifo = dir.file("fifo" + std::to_string(n++));
        FifoWriter writer(fifo, bytes);
        AudioInput in;
        EXPECT_FALSE(in.open(fifo));
        EXPECT_EQ(in.error().rfind("Unable to read audio file (MPEG-1/2 Audio cannot be read from a pipe", 0), 0u)
            << in.error();
    }
}

// A header claiming more than the file holds: the frames present are read
// and the claim is reported, from a file and from a pipe alike; the WAV
// streaming size 0xFFFFFFFF claims nothing.
TEST(AudioInput, ClaimedFramesOfShortDataChunks) {
    TempDir dir;
    const std::vector<int16_t> pcm = {1, 2, 3, 4, 5, 6};
    WavSpec stereo;
    stereo.channels = 2;
    stereo.data_size = 1000;
    WavSpec unknown;
    unknown.data_size = 0xFFFFFFFFu;
    write_audio(dir.file("full.aiff"), pcm, 16000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    Bytes aiff = read_file(dir.file("full.aiff"));
    aiff.resize(aiff.size() - 4);  // two samples cut off
    const std::tuple<const char*, Bytes, int64_t, int64_t> cases[] = {
        {"short.wav", wav_image(pcm, stereo), 250, 3},
        {"unknown.wav", wav_image(pcm, unknown), -1, 6},
        {"exact.wav", wav_bytes(pcm, 16000), 6, 6},
        {"short.aiff", aiff, 6, 4},
    };
    for (const auto& [name, bytes, claimed, present] : cases) {
        SCOPED_TRACE(name);
        write_file(dir.file(name), bytes);
        for (bool pipe : {false, true}) {
            const std::string fifo = dir.file(std::string("fifo") + (pipe ? "1" : "0") + name);
            std::optional<FifoWriter> writer;
            if (pipe) writer.emplace(fifo, bytes);
            AudioInput in;
            ASSERT_TRUE(in.open(pipe ? fifo : dir.file(name))) << in.error();
            read_all(in, SignalChoice::mix());
            EXPECT_EQ(in.claimed_frames(), claimed) << pipe;
            EXPECT_EQ(in.frames_read(), present) << pipe;
        }
    }
}

TEST(AudioInput, HeaderRatesThatDoNotFitAreReportedAsStored) {
    TempDir dir;
    for (const uint32_t rate : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        WavSpec s;
        s.rate = rate;
        write_file(dir.file("r.wav"), wav_image({1, 2}, s));
        AudioInput in;
        EXPECT_FALSE(in.open(dir.file("r.wav")));
        EXPECT_EQ(in.refused_rate(), static_cast<int64_t>(rate));
        EXPECT_EQ(in.error(), "Unable to read audio file (sample rate " + std::to_string(rate) + " Hz)");
    }
}

TEST(AudioInput, OpeningFailuresSayWhy) {
    TempDir dir;
    AudioInput in;
    EXPECT_FALSE(in.open(dir.file("absent.wav")));
    EXPECT_TRUE(in.opening_failed());
    EXPECT_EQ(in.error(), "Unable to open audio file (No such file or directory)");
    EXPECT_FALSE(in.open(dir.path().string()));
    EXPECT_EQ(in.error(), "Unable to open audio file (Is a directory)");
    write_file(dir.file("empty.wav"), {});
    EXPECT_FALSE(in.open(dir.file("empty.wav")));
    EXPECT_FALSE(in.opening_failed());
    EXPECT_EQ(in.error(), "Empty audio file (0 bytes)");
    EXPECT_FALSE(in.open("/dev/null"));
    EXPECT_EQ(in.error(), "Unable to read audio file (Format not recognised)");
}
