// The audio input on arbitrary bytes in memory (libsndfile's virtual I/O).
// A refusal is one line; an opened recording has a sane header, and every
// way of reading it agrees: one channel is a column of the interleaved
// values, the mix is their mean, and reading 16-bit samples in the other
// byte order exchanges the two bytes of each value and changes nothing else.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audioinput.h"

namespace {

// Values read at most per input, so that a header announcing hours of
// audio in a few bytes of compressed data cannot take the fuzzer's memory.
constexpr std::size_t kMaxValues = std::size_t{1} << 20;
constexpr std::size_t kBlockFrames = 997;  // not a divisor of any usual length

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<double> read_all(const uint8_t* data, size_t size, const SignalChoice& choice,
                             const AudioFormat& expected) {
    AudioInput in;
    require(in.open_memory(data, size), "a second open of the same bytes succeeds");
    require(in.format().srate == expected.srate && in.format().channels == expected.channels,
            "every open reads the same header");
    std::vector<double> x;
    while (x.size() < kMaxValues && in.read(x, kBlockFrames, choice) > 0) {
    }
    return x;
}

// The 16-bit integer behind a value, or -1 when it is not one.
long pcm16(double v) {
    const double scaled = v * 32768.0;
    if (!(scaled >= -32768.0 && scaled <= 32767.0) || scaled != std::floor(scaled)) return -1;
    return static_cast<long>(scaled) & 0xFFFF;
}

void check_swapped(const std::vector<double>& plain, const std::vector<double>& swapped) {
    require(plain.size() == swapped.size(), "the byte order does not change the length");
    for (size_t i = 0; i < plain.size(); ++i) {
        if (same_bits(plain[i], swapped[i])) continue;
        const long a = pcm16(plain[i]), b = pcm16(swapped[i]);
        require(a >= 0 && b >= 0 && ((a >> 8) | ((a & 0xFF) << 8)) == b,
                "16-bit values in the other byte order have their bytes exchanged");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AudioInput in;
    if (!in.open_memory(data, size)) {
        require(!in.error().empty() && in.error().find('\n') == std::string::npos,
                "a refusal is one line");
        return 0;
    }
    const AudioFormat f = in.format();
    require(f.channels >= 1 && f.channels <= 1024, "channel count 1 to 1024");
    require(f.srate >= 1, "sample rate at least 1");
    in.close();

    const auto channels = static_cast<size_t>(f.channels);
    const auto all = read_all(data, size, SignalChoice::interleaved(), f);
    require(all.size() % channels == 0, "whole frames");
    const size_t frames = all.size() / channels;
    SignalChoice swap = SignalChoice::interleaved();
    swap.swap_16bit = true;
    check_swapped(all, read_all(data, size, swap, f));

    const auto last = read_all(data, size, SignalChoice::one(f.channels - 1), f);
    const auto mix = read_all(data, size, SignalChoice::mix(), f);
    require(last.size() >= frames && mix.size() >= frames, "every choice reads every frame");
    for (size_t j = 0; j < frames; ++j) {
        require(same_bits(last[j], all[j * channels + channels - 1]), "a channel is a column");
        double sum = 0.0;
        for (size_t c = 0; c < channels; ++c) sum += all[j * channels + c];
        // Which NaN a sum of two NaNs keeps depends on the compiler's operand
        // order, so a NaN mean only has to be a NaN.
        const double mean = sum / static_cast<double>(channels);
        require(same_bits(mix[j], mean) || (std::isnan(mix[j]) && std::isnan(mean)),
                "the mix is the mean");
    }
    return 0;
}
