// Where the analysed samples come from, and the checks every one of them
// passes on its way into a StreamAnalysis, whatever its source: a recording
// read through AudioInput (the program, corlune.analyze_file) or an array in
// memory (corlune.analyze). The sample-rate range, the channel choice, the
// largest sample magnitude and the longest signal live here, so every
// source refuses the same signals with the same words.
//
//     StreamAnalysis stream(16000);
//     SignalRefusal r = stream_samples(SampleView::of(x.data(), x.size()), stream);
//     if (!r) stream.finish(); else std::cerr << r.message << '\n';
//
//     AudioInput in;                      // or a recording
//     ... in.open(path), channel_refusal(in.format(), 0, false) ...
//     RecordingOutcome out = stream_recording(in, SignalChoice::one(0), stream, nullptr);
//
// Nothing here prints: refusals are returned as one line without the
// input's name, which the caller appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "audioinput.h"

class StreamAnalysis;

// Sample rates analysed, Hz.
constexpr int kMinRate = 4000;
constexpr int kMaxRate = 192000;
// Largest sample magnitude analysed, in units of full scale: far above any
// recording (float files written without scaling reach 32768), far below
// where the autocorrelation's squares and sums would overflow.
constexpr double kMaxMagnitude = 16777216.0;
// Samples handed to the analysis at a time.
constexpr std::size_t kSourceBlock = 65536;

// Hears the samples pushed into the analysis so far, after each block;
// returns false to stop the analysis there (an interrupt).
using SourceProgress = std::function<bool(std::int64_t samples)>;
constexpr const char* kStopped = "Analysis stopped";

// Why a signal is not analysed; empty message: it is.
struct SignalRefusal {
    std::string message;
    explicit operator bool() const { return !message.empty(); }
};

// Sees each block of a recording's samples before the analysis does
// (samples: the count read once it is added); a refusal stops the reading.
using SourceTap = std::function<SignalRefusal(const double* x, std::size_t n, std::int64_t samples)>;

// "Sample rate R Hz outside 4000 to 192000 Hz" for a rate outside the range.
SignalRefusal rate_refusal(std::int64_t srate);
// The refusal of a recording of f.channels channels when channel (1-based,
// 0: none chosen) or mix does not pick one signal out of it.
SignalRefusal channel_refusal(const AudioFormat& f, int channel, bool mix);
// The first of x[0 .. n - 1] that is not finite or beyond kMaxMagnitude, or
// n when there is none.
std::size_t first_unusable(const double* x, std::size_t n);

// A one-dimensional array of samples in memory, of any stride: float64 and
// float32 taken as they are, int16 scaled like 16-bit audio (v / 32768).
struct SampleView {
    enum class Type { Float64, Float32, Int16 };
    const void* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 0;  // bytes from one sample to the next
    Type type = Type::Float64;

    static SampleView of(const double* x, std::size_t n) {
        return {x, n, static_cast<std::ptrdiff_t>(sizeof(double)), Type::Float64};
    }
    bool contiguous_doubles() const {
        return type == Type::Float64 && stride == static_cast<std::ptrdiff_t>(sizeof(double));
    }
    // Samples [from, from + n) as doubles in the program's scale.
    void copy(std::size_t from, std::size_t n, double* out) const;
};

// Refuses, before any analysis, an empty view, one longer than the
// analysis's frame count allows at srate, or one holding an unusable sample
// (its index and value in the message); otherwise pushes every sample into
// stream (not finished), in blocks, copying only what is not contiguous
// float64. Refused with kStopped when progress stops it.
SignalRefusal stream_samples(const SampleView& x, StreamAnalysis& stream,
                             const SourceProgress& progress = nullptr);

// What reading a recording into the analysis came to.
struct RecordingOutcome {
    SignalRefusal refusal;  // the input failed, held no sample or an unusable one
    std::string warning;    // a data chunk shorter than its header claims; empty: none
};

// Reads the chosen signal of an opened recording to its end and pushes it
// into stream (not finished); progress, if given, hears the samples
// analysed so far after each block (refused with kStopped when it stops),
// and tap, if given, sees each block first.
RecordingOutcome stream_recording(AudioInput& in, const SignalChoice& choice, StreamAnalysis& stream,
                                  const SourceProgress& progress, const SourceTap& tap = nullptr);
