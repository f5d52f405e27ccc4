// read_float32 on arbitrary files; the first two bytes choose dim, offset and
// the byte order, the rest is the file.
#include <iostream>

#include "auxiliary.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        std::cerr.setstate(std::ios::badbit);
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    const int dim = static_cast<int8_t>(data[0]) % 9;
    const int offset = static_cast<int8_t>(data[1]) % 40;
    FuzzFile file(data + 2, size - 2);
    Matrix m{{1.0, 2.0}};
    const int rows = read_float32(m, file.path(), dim, offset, (data[0] & 0x80) != 0);
    if (dim < 1 || offset < 0) {
        if (rows >= 0) std::abort();
        return 0;
    }
    if (rows < 0 || static_cast<size_t>(rows) != m.size()) std::abort();
    const size_t whole = size - 2 > static_cast<size_t>(offset)
                             ? (size - 2 - offset) / 4 / static_cast<size_t>(dim) : 0;
    if (m.size() != whole) std::abort();
    for (const auto& row : m)
        if (row.size() != static_cast<size_t>(dim)) std::abort();
    return 0;
}
