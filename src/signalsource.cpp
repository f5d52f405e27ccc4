#include "signalsource.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "streamanalysis.h"

namespace {

// 16-bit samples in the program's scale: v / 32768, exactly as the reader
// scales them.
constexpr double kInt16FullScale = 32768.0;

SignalRefusal refuse(const std::string& text) { return SignalRefusal{text}; }

SignalRefusal unusable_sample(std::int64_t index, double value) {
    const auto limit = static_cast<long>(kMaxMagnitude);
    std::ostringstream s;
    s << "Sample " << index << " is " << value << ", outside " << -limit << " to " << limit;
    return refuse(s.str());
}

// Refuses a signal that would pass the analysis's largest frame count.
SignalRefusal length_refusal(std::int64_t samples, const StreamAnalysis& stream) {
    const std::int64_t most = static_cast<std::int64_t>(INT_MAX) * stream.geometry().shift;
    if (samples <= most) return {};
    return refuse("Recording too long: more than " + std::to_string(INT_MAX) + " frames");
}

template <typename T>
T element(const void* data, std::ptrdiff_t offset) {
    T v;
    std::memcpy(&v, static_cast<const unsigned char*>(data) + offset, sizeof v);
    return v;
}

}  // namespace

SignalRefusal rate_refusal(std::int64_t srate) {
    if (srate >= kMinRate && srate <= kMaxRate) return {};
    return refuse("Sample rate " + std::to_string(srate) + " Hz outside " + std::to_string(kMinRate) +
                  " to " + std::to_string(kMaxRate) + " Hz");
}

SignalRefusal channel_refusal(const AudioFormat& f, int channel, bool mix) {
    if (channel > f.channels)
        return refuse("Channel " + std::to_string(channel) + " requested, but the recording has " +
                      std::to_string(f.channels) + (f.channels == 1 ? " channel" : " channels"));
    if (f.channels > 1 && channel == 0 && !mix)
        return refuse("Recording has " + std::to_string(f.channels) +
                      " channels; choose one with --channel N or their mean with --mix");
    return {};
}

std::size_t first_unusable(const double* x, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::fabs(x[i]) <= kMaxMagnitude)) return i;
    return n;
}

void SampleView::copy(std::size_t from, std::size_t n, double* out) const {
    const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(from) * stride;
    for (std::size_t i = 0; i < n; ++i) {
        const std::ptrdiff_t at = start + static_cast<std::ptrdiff_t>(i) * stride;
        switch (type) {
        case Type::Float64: out[i] = element<double>(data, at); break;
        case Type::Float32: out[i] = element<float>(data, at); break;
        case Type::Int16: out[i] = element<std::int16_t>(data, at) / kInt16FullScale; break;
        }
    }
}

SignalRefusal stream_samples(const SampleView& x, StreamAnalysis& stream,
                             const SourceProgress& progress) {
    if (x.size == 0) return refuse("No samples in the signal");
    if (SignalRefusal r = length_refusal(static_cast<std::int64_t>(x.size), stream)) return r;
    std::vector<double> block;
    const bool direct = x.contiguous_doubles();
    if (!direct) block.resize(kSourceBlock);
    // Checked whole before the analysis starts, then pushed block by block.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t from = 0; from < x.size; from += kSourceBlock) {
            const std::size_t n = std::min(kSourceBlock, x.size - from);
            const double* v = direct ? static_cast<const double*>(x.data) + from : block.data();
            if (!direct) x.copy(from, n, block.data());
            if (pass == 1) {
                stream.push(v, n);
                if (progress && !progress(stream.samples())) return refuse(kStopped);
                continue;
            }
            const std::size_t bad = first_unusable(v, n);
            if (bad < n) return unusable_sample(static_cast<std::int64_t>(from + bad), v[bad]);
        }
    }
    return {};
}

RecordingOutcome stream_recording(AudioInput& in, const SignalChoice& choice, StreamAnalysis& stream,
                                  const SourceProgress& progress, const SourceTap& tap) {
    RecordingOutcome out;
    std::vector<double> x;
    for (;;) {
        x.clear();
        if (in.read(x, kSourceBlock, choice) == 0) break;
        const std::size_t bad = first_unusable(x.data(), x.size());
        if (bad < x.size()) {
            out.refusal = unusable_sample(stream.samples() + static_cast<std::int64_t>(bad), x[bad]);
            return out;
        }
        const std::int64_t samples = stream.samples() + static_cast<std::int64_t>(x.size());
        out.refusal = length_refusal(samples, stream);
        if (!out.refusal && tap) out.refusal = tap(x.data(), x.size(), samples);
        if (out.refusal) return out;
        stream.push(x.data(), x.size());
        if (progress && !progress(stream.samples())) {
            out.refusal = refuse(kStopped);
            return out;
        }
    }
    if (in.failed())
        out.refusal = refuse(in.error());
    else if (stream.samples() == 0)
        out.refusal = refuse("No samples in audio file");
    else if (in.claimed_frames() > in.frames_read())
        out.warning = "Warning: data chunk shorter than its header claims (" +
                      std::to_string(in.claimed_frames()) + " samples claimed, " +
                      std::to_string(in.frames_read()) + " read)";
    return out;
}
