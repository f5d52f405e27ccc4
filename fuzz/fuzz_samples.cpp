// Arrays of samples in memory, as corlune.analyze hands them to the
// analysis: the first byte chooses the element type (float64, float32,
// int16) and the stride (1 to 4 elements, forwards or backwards), the rest
// are the samples. A signal is either refused before any sample is analysed
// or analysed into ceil(n / shift) frames whose tables fill every row.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ruletracker.h"
#include "signalsource.h"
#include "streamanalysis.h"

namespace {

constexpr int kRate = 8000;
constexpr int kShift = kRate / 100;
constexpr std::size_t kWidths[] = {sizeof(double), sizeof(float), sizeof(std::int16_t)};
constexpr SampleView::Type kTypes[] = {SampleView::Type::Float64, SampleView::Type::Float32,
                                       SampleView::Type::Int16};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int type = data[0] % 3;
    const std::ptrdiff_t step = 1 + (data[0] >> 2) % 4;
    const bool backwards = (data[0] & 0x80) != 0;
    const std::size_t width = kWidths[type];
    // The bytes copied to aligned memory, as numpy holds them.
    std::vector<double> bytes((size - 1 + sizeof(double) - 1) / sizeof(double));
    std::memcpy(bytes.data(), data + 1, size - 1);
    const std::size_t elements = (size - 1) / width;
    const std::size_t n = elements == 0 ? 0 : (elements - 1) / step + 1;
    const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
    SampleView x{base, n, static_cast<std::ptrdiff_t>(width) * step, kTypes[type]};
    if (backwards && n > 0) {
        x.data = base + (n - 1) * step * width;
        x.stride = -x.stride;
    }
    StreamAnalysis stream(kRate);
    const SignalRefusal refusal = stream_samples(x, stream);
    if (refusal) {
        if (stream.samples() != 0) std::abort();
        return 0;
    }
    stream.finish();
    RuleTracker tracker;
    stream.results().track(tracker);
    const std::size_t frames = (n + kShift - 1) / kShift;
    if (static_cast<std::size_t>(stream.frames()) != frames) std::abort();
    const std::size_t c = stream.results().channels();
    std::vector<float> mask(frames * c, -1.0f);
    std::vector<std::int64_t> ids(frames * c, -1);
    FrameResults::Tables t;
    t.mask = mask.data();
    t.ids = ids.data();
    stream.results().copy_tables(t);
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (!(mask[i] == 0.0f || (mask[i] >= 0.5f && mask[i] < 1.0f)) || ids[i] < 0) std::abort();
    return 0;
}
