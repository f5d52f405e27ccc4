// resynthesize() on arbitrary signals and masks: the first byte chooses the
// rate and whether a frame is missing or extra, the next two the length;
// then come the samples (int8, some not finite) and the mask values (a byte
// each, some outside 0 .. 1 or not numbers). A mask is refused exactly when
// its shape or a value is wrong; otherwise every output sample is finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "geometry.h"
#include "resynth.h"

namespace {

double value_of(uint8_t b) {
    if (b == 255) return std::numeric_limits<double>::quiet_NaN();
    if (b == 254) return std::numeric_limits<double>::infinity();
    return (static_cast<int>(b) - 8) / 200.0;  // -0.04 .. 1.23
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static const int kRates[] = {4000, 8000, 11025, 16000};
    const int srate = kRates[data[0] & 3];
    const int shape = (data[0] >> 2) % 3 - 1;  // frames: -1 missing, +1 extra
    const size_t n = (static_cast<size_t>(data[1]) << 8 | data[2]) % 6000;
    data += 3, size -= 3;
    std::vector<double> x(n);
    bool finite = n > 0;
    for (size_t t = 0; t < n; ++t) {
        const uint8_t b = t < size ? data[t] : 0;
        x[t] = b == 128 ? std::numeric_limits<double>::infinity() : static_cast<int8_t>(b) / 128.0;
        finite &= b != 128;
    }
    const size_t used = std::min(n, size);
    data += used, size -= used;
    const int frames = frame_geometry(srate, 10, 30, n).nframes + shape;
    Matrix mask(std::max(frames, 0), std::vector<double>(32, 1.0));
    bool inRange = true;
    for (size_t i = 0; i < size && i < mask.size() * 32; ++i) {
        const double v = value_of(data[i]);
        mask[i / 32][i % 32] = v;
        inRange &= v >= 0.0 && v <= 1.0;
    }
    const Resynthesis r = resynthesize(x, srate, mask);
    const bool acceptable = finite && shape == 0 && inRange;
    if (acceptable != r.error.empty()) std::abort();
    if (!acceptable) return r.outputs.empty() ? 0 : (std::abort(), 0);
    if (r.outputs.size() != 1 || r.outputs[0].size() != n) std::abort();
    for (double v : r.outputs[0])
        if (!std::isfinite(v)) std::abort();
    return 0;
}
