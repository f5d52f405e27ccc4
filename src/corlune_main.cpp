#include "corlune_main.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>

#include "acgmodel.h"
#include "auxiliary.h"
#include "casagrouping.h"
#include "ruletracker.h"

namespace {

constexpr int kMinRate = 4000;
constexpr int kMaxRate = 192000;

void print_usage(const char* program) {
    std::cout << "Usage:" << std::endl;
    std::cout << "    " << program << " INWAVFILE OUTDIR" << std::endl;
    std::cout << "eg. " << program << " s10_bgakzn ./" << std::endl;
}

// Tests that files can be created in dir without touching any existing file:
// a uniquely named file is created exclusively and removed again.
bool directory_writable(const std::string& dir) {
    const std::string tmpl = dir + ".corlune-probe-XXXXXX";
    std::string name = tmpl;
    const int fd = mkstemp(name.data());
    if (fd < 0) return false;
    close(fd);
    std::remove(name.c_str());
    return true;
}

// Refuses signals the analysis cannot treat soundly.
bool input_supported(const AudioWav& wav, const char* path) {
    if (wav.nchannels != 1) {
        std::cerr << "Only mono input is analysed, found " << wav.nchannels
                  << " channels: " << path << std::endl;
        return false;
    }
    if (wav.srate < kMinRate || wav.srate > kMaxRate) {
        std::cerr << "Sample rate " << wav.srate << " Hz outside " << kMinRate << " to "
                  << kMaxRate << " Hz: " << path << std::endl;
        return false;
    }
    return true;
}

// Reads the input after checking its header, so that a refused file costs
// one line (not also a short-read warning) and none of its samples is read.
bool read_input(AudioWav& wav, const char* path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        std::cerr << "Unable to open wave file: " << path << std::endl;
        return false;
    }
    if (wav.read_header(path) <= 0 || !input_supported(wav, path)) return false;
    const int n = wav.read(path, 'l');
    // Checked again in case the file was replaced since its header was read.
    if (n > 0) return input_supported(wav, path);
    if (n == 0 && wav.failed_silently)
        std::cerr << "No samples in wave file: " << path << std::endl;
    return false;
}

// Writes the five result files in their fixed order; all are attempted.
bool write_results(const CASAGrouping& grouping, const std::string& prefix) {
    bool ok = true;
    ok &= grouping.write_frmSegments((prefix + ".frmseg").c_str());
    ok &= grouping.write_f0Candidates((prefix + ".f0cands").c_str());
    ok &= grouping.write_f0Tracks((prefix + ".f0tracks").c_str());
    ok &= grouping.write_fragments((prefix + ".groups").c_str());
    ok &= grouping.write_mask((prefix + ".mask").c_str());
    return ok;
}

int analyse(const char* inwav, const std::string& prefix) {
    AudioWav wav;
    if (!read_input(wav, inwav)) return EXIT_FAILED;

    AcgModel model(kDefaultAcgParam);
    model.compute(wav.samples, wav.srate);
    RuleTracker tracker;
    CASAGrouping grouping(model, tracker);
    grouping.generate_fragments(nullptr);
    if (grouping.fragment_labels_wrap())
        std::cerr << "Warning: fragment labels exceed 16 bits; labels in " << prefix
                  << ".groups wrapped and are no longer unique" << std::endl;
    return write_results(grouping, prefix) ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

std::string base_name(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

std::string output_directory(const std::string& outdir) {
    if (!outdir.empty() && outdir.back() == '/') return outdir;
    return outdir + '/';
}

int run(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "corlune";
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        print_usage(program);
        return EXIT_OK;
    }
    if (argc != 3) {
        print_usage(program);
        return EXIT_USAGE;
    }
    const std::string outarg = argv[2];
    if (outarg.empty()) {
        std::cerr << "Empty output directory name" << std::endl;
        return EXIT_FAILED;
    }
    const std::string outdir = output_directory(outarg);
    const std::string prefix = outdir + base_name(argv[1]);
    if (!directory_writable(outdir)) {
        std::cerr << "Unable to write to directory: " << outdir << std::endl;
        return EXIT_FAILED;
    }
    return analyse(argv[1], prefix);
}

#ifndef CORLUNE_LIBRARY_BUILD
int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "Out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "Internal error: " << e.what() << std::endl;
    }
    return EXIT_FAILED;
}
#endif
