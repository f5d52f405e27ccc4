#include "corlune_main.h"

#include <fftw3.h>
#include <sndfile.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "acgmodel.h"
#include "audioinput.h"
#include "casagrouping.h"
#include "options.h"
#include "publisher.h"
#include "ruletracker.h"

#ifndef CORLUNE_VERSION
#error "CORLUNE_VERSION is set by the build from the project version"
#endif

namespace {

constexpr int kMinRate = 4000;
constexpr int kMaxRate = 192000;
// Frames read at a time from the input.
constexpr std::size_t kReadFrames = 65536;
// The model counts samples in an int.
constexpr std::size_t kMaxSamples = INT_MAX;
// Largest sample magnitude analysed, in units of full scale: far above any
// recording (float files written without scaling reach 32768), far below
// where the autocorrelation's squares and sums would overflow.
constexpr double kMaxMagnitude = 16777216.0;

void print_version() {
    std::cout << "corlune " << CORLUNE_VERSION << "\n"
              << "running with " << fftw_version << " and " << sf_version_string() << std::endl;
}

// The input as named in messages.
std::string input_label(const Options& opt) {
    return opt.input == "-" ? "standard input" : opt.input;
}

// Refuses recordings the analysis cannot treat soundly, by their header.
bool format_supported(const AudioFormat& f, const Options& opt, const std::string& label) {
    if (opt.channel > f.channels) {
        std::cerr << "Channel " << opt.channel << " requested, but the recording has " << f.channels
                  << (f.channels == 1 ? " channel: " : " channels: ") << label << std::endl;
        return false;
    }
    if (f.channels > 1 && opt.channel == 0 && !opt.mix) {
        std::cerr << "Recording has " << f.channels << " channels; choose one with --channel N"
                  << " or their mean with --mix: " << label << std::endl;
        return false;
    }
    if (f.srate < kMinRate || f.srate > kMaxRate) {
        std::cerr << "Sample rate " << f.srate << " Hz outside " << kMinRate << " to " << kMaxRate
                  << " Hz: " << label << std::endl;
        return false;
    }
    return true;
}

bool open_input(AudioInput& in, const Options& opt, const std::string& label) {
    if (in.open(opt.input)) return format_supported(in.format(), opt, label);
    if (in.refused_rate() >= 0)
        std::cerr << "Sample rate " << in.refused_rate() << " Hz outside " << kMinRate << " to "
                  << kMaxRate << " Hz: " << label << std::endl;
    else
        std::cerr << in.error() << ": " << label << std::endl;
    return false;
}

SignalChoice signal_choice(const Options& opt) {
    if (opt.mix) return SignalChoice::mix();
    return SignalChoice::one(opt.channel > 0 ? opt.channel - 1 : 0);
}

// The first sample the analysis cannot take (not finite, or too large), or
// the signal's length when there is none.
std::size_t first_unusable(const std::vector<double>& x) {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!(std::fabs(x[i]) <= kMaxMagnitude)) return i;
    return x.size();
}

// Reads the chosen signal to its end. Returns false after one line when the
// input fails, holds no sample or holds one the analysis cannot take.
bool read_signal(AudioInput& in, const Options& opt, const std::string& label,
                 std::vector<double>& x) {
    const SignalChoice choice = signal_choice(opt);
    while (in.read(x, kReadFrames, choice) > 0) {
        if (x.size() > kMaxSamples) {
            std::cerr << "Recording too long: more than " << kMaxSamples << " samples: " << label
                      << std::endl;
            return false;
        }
    }
    if (in.failed()) {
        std::cerr << in.error() << ": " << label << std::endl;
        return false;
    }
    if (x.empty()) {
        std::cerr << "No samples in audio file: " << label << std::endl;
        return false;
    }
    const std::size_t bad = first_unusable(x);
    if (bad < x.size()) {
        const auto limit = static_cast<long>(kMaxMagnitude);
        std::cerr << "Sample " << bad << " is " << x[bad] << ", outside " << -limit << " to " << limit
                  << ": " << label << std::endl;
        return false;
    }
    if (in.claimed_frames() > in.frames_read())
        std::cerr << "Warning: data chunk shorter than its header claims (" << in.claimed_frames()
                  << " samples claimed, " << in.frames_read() << " read): " << label << std::endl;
    return true;
}

// One result file of a run: its suffix and what fills a path with it.
struct ResultFile {
    const char* suffix;
    std::function<bool(const CASAGrouping&, const char* path)> write;
};

// The result files a run publishes, in the order they are written and
// renamed into place.
std::vector<ResultFile> result_files(const Options&) {
    return {{".frmseg", &CASAGrouping::write_frmSegments},
            {".f0cands", &CASAGrouping::write_f0Candidates},
            {".f0tracks", &CASAGrouping::write_f0Tracks},
            {".groups", &CASAGrouping::write_fragments},
            {".mask", &CASAGrouping::write_mask}};
}

std::vector<std::string> suffixes(const std::vector<ResultFile>& files) {
    std::vector<std::string> s;
    for (const ResultFile& f : files) s.push_back(f.suffix);
    return s;
}

// Writes every result file to its temporary, then publishes the set.
bool write_and_publish(const CASAGrouping& grouping, const std::vector<ResultFile>& files,
                       ResultPublisher& pub) {
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!pub.write(i, [&](const char* path) { return files[i].write(grouping, path); })) return false;
    return pub.publish([](const std::string& line) { std::cerr << line << std::endl; });
}

int analyse_signal(const std::vector<double>& x, int srate, const std::string& prefix,
                   const std::vector<ResultFile>& files, ResultPublisher& pub) {
    AcgModel model(kDefaultAcgParam);
    model.compute(x, srate);
    RuleTracker tracker;
    CASAGrouping grouping(model, tracker);
    grouping.generate_fragments(nullptr);
    if (grouping.fragment_labels_wrap())
        std::cerr << "Warning: fragment labels exceed 16 bits; labels in " << prefix
                  << ".groups wrapped and are no longer unique" << std::endl;
    if (write_and_publish(grouping, files, pub)) return EXIT_OK;
    std::cerr << pub.error() << std::endl;
    return EXIT_FAILED;
}

int analyse(const Options& opt, const std::string& prefix, const std::vector<ResultFile>& files,
            ResultPublisher& pub) {
    const std::string label = input_label(opt);
    try {
        std::vector<double> x;
        int srate = 0;
        {
            AudioInput in;
            if (!open_input(in, opt, label) || !read_signal(in, opt, label, x)) return EXIT_FAILED;
            srate = in.format().srate;
        }
        return analyse_signal(x, srate, prefix, files, pub);
    } catch (const std::bad_alloc&) {
        std::cerr << "Out of memory analysing " << label << std::endl;
        return EXIT_FAILED;
    }
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
    Options opt;
    const ParseOutcome parsed = parse_command_line(argc, argv, opt);
    switch (parsed.action) {
    case ParseOutcome::Action::Help:
        std::cout << help_text() << std::flush;
        return EXIT_OK;
    case ParseOutcome::Action::Version:
        print_version();
        return EXIT_OK;
    case ParseOutcome::Action::UsageError:
        std::cerr << "corlune: " << parsed.error << "\n" << usage_synopsis() << std::flush;
        return EXIT_USAGE;
    case ParseOutcome::Action::Run:
        break;
    }
    if (opt.outdir.empty()) {
        std::cerr << "Empty output directory name" << std::endl;
        return EXIT_FAILED;
    }
    const std::string outdir = output_directory(opt.outdir);
    const std::string name = opt.name.empty() ? base_name(opt.input) : opt.name;
    const std::vector<ResultFile> files = result_files(opt);
    // The temporaries are made before any sample is read: an OUTDIR that
    // takes no new file fails the run at once.
    ResultPublisher pub(outdir, name, opt.sync);
    if (!pub.prepare(suffixes(files))) {
        std::cerr << pub.error() << std::endl;
        return EXIT_FAILED;
    }
    return analyse(opt, outdir + name, files, pub);
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
