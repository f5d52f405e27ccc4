// The whole program, reader to result files, on small arbitrary WAV files.
// Inputs are kept short (-max_len) so that one run takes milliseconds.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "corlune_main.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string outdir = [] {
        std::cerr.setstate(std::ios::badbit);
        std::cout.setstate(std::ios::badbit);
        char name[] = "/tmp/corlune-fuzz-out-XXXXXX";
        if (!mkdtemp(name)) std::abort();
        return std::string(name);
    }();
    if (size > 16384) return 0;
    FuzzFile file(data, size);
    std::string in = file.path();
    char prog[] = "corlune";
    char* argv[] = {prog, in.data(), const_cast<char*>(outdir.c_str()), nullptr};
    const int status = run(3, argv);
    if (status != 0 && status != 1) std::abort();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(outdir, ec))
        std::filesystem::remove(entry.path(), ec);
    return 0;
}
