// The WAV reader on arbitrary bytes, in both sample byte orders: the result
// counts the samples stored, every sample is in -1 .. 1, and the two orders
// read the same header and the same samples with their bytes exchanged.
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "auxiliary.h"
#include "fuzz_input.h"

namespace {

// The 16-bit integer behind a stored sample value.
int pcm_of(double v) { return static_cast<int>(std::lround(v * 32768.0)); }

int swapped(int pcm) {
    const unsigned u = static_cast<unsigned>(pcm) & 0xFFFFu;
    const unsigned s = ((u & 0xFFu) << 8) | (u >> 8);
    return s >= 0x8000u ? static_cast<int>(s) - 0x10000 : static_cast<int>(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        std::cerr.setstate(std::ios::badbit);
        return true;
    }();
    (void)quiet;
    FuzzFile file(data, size);
    AudioWav wav[2];
    int n[2];
    const char orders[2] = {'l', 'b'};
    for (int k = 0; k < 2; ++k) {
        n[k] = wav[k].read(file.path(), orders[k]);
        if (n[k] > 0 && static_cast<size_t>(n[k]) != wav[k].samples.size()) std::abort();
        if (n[k] <= 0 && !wav[k].samples.empty()) std::abort();
        for (double v : wav[k].samples)
            if (!(v >= -1.0 && v < 1.0)) std::abort();
    }
    if (n[0] != n[1] || wav[0].srate != wav[1].srate || wav[0].nchannels != wav[1].nchannels)
        std::abort();
    for (size_t i = 0; i < wav[0].samples.size(); ++i)
        if (pcm_of(wav[1].samples[i]) != swapped(pcm_of(wav[0].samples[i]))) std::abort();
    return 0;
}
