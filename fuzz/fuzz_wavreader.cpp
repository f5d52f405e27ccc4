// The WAV reader on arbitrary bytes, in both sample byte orders.
#include <iostream>

#include "auxiliary.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        std::cerr.setstate(std::ios::badbit);
        return true;
    }();
    (void)quiet;
    FuzzFile file(data, size);
    for (char order : {'l', 'b'}) {
        AudioWav wav;
        const int n = wav.read(file.path(), order);
        if (n > 0 && static_cast<size_t>(n) != wav.samples.size()) std::abort();
        if (n <= 0 && !wav.samples.empty()) std::abort();
        for (double v : wav.samples)
            if (!(v >= -1.0 && v < 1.0)) std::abort();
    }
    return 0;
}
