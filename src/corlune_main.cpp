#include "corlune_main.h"

#include <fftw3.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "acgmodel.h"
#include "audioinput.h"
#include "audiooutput.h"
#include "frameresults.h"
#include "memorylimit.h"
#include "options.h"
#include "progress.h"
#include "publisher.h"
#include "signalsource.h"
#include "trackers.h"
#include "streamanalysis.h"
#include "voicefiles.h"
#include "workerpool.h"

#ifndef CORLUNE_VERSION
#error "CORLUNE_VERSION is set by the build from the project version"
#endif

namespace {

// Memory a run needs beside its results: the libraries, the block buffers
// of the analysis and the threads' work spaces (a peak of about 40 MB at
// 48 kHz, with room to spare).
constexpr double kWorkingBytes = 64.0 * 1024 * 1024;
constexpr double kGigabyte = 1e9;
// Erases a progress line from the terminal, before a signal's message.
constexpr const char* kEraseLine = "\r\033[K";

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
    SignalRefusal r = channel_refusal(f, opt.channel, opt.mix);
    if (!r) r = rate_refusal(f.srate);
    if (r) std::cerr << r.message << ": " << label << std::endl;
    return !r;
}

bool open_input(AudioInput& in, const Options& opt, const std::string& label) {
    if (in.open(opt.input)) return format_supported(in.format(), opt, label);
    if (in.refused_rate() >= 0)
        std::cerr << rate_refusal(in.refused_rate()).message << ": " << label << std::endl;
    else
        std::cerr << in.error() << ": " << label << std::endl;
    return false;
}

SignalChoice signal_choice(const Options& opt) {
    if (opt.mix) return SignalChoice::mix();
    return SignalChoice::one(opt.channel > 0 ? opt.channel - 1 : 0);
}

// Why a recording is too long to separate (its voices would not fit in a
// WAV file), or no refusal.
SignalRefusal voices_refusal(std::int64_t samples) {
    if (samples <= AudioOutput::kMaxSamples) return {};
    return {"Recording too long to separate: its voices would hold more than " +
            std::to_string(AudioOutput::kMaxSamples) + " samples, the most a WAV file holds"};
}

// Refuses, by the header's frame count, a recording whose results would not
// fit in the memory this process may use (a days-long file), or whose
// voices would not fit in their WAV files, before any sample is read. On a
// pipe the length is unknown, and running out of memory is reported when
// it happens.
bool results_fit(const AudioFormat& f, const Options& opt, const std::string& label) {
    if (f.frames <= 0) return true;
    const bool separate = opt.separate != SeparationMode::None;
    if (separate) {
        if (const SignalRefusal r = voices_refusal(f.frames)) {
            std::cerr << r.message << ": " << label << std::endl;
            return false;
        }
    }
    const FrameGeometry fr = frame_geometry(f.srate, kDefaultAcgParam.shift_ms,
                                            kDefaultAcgParam.win_ms, static_cast<size_t>(f.frames));
    const double kept = separate ? static_cast<double>(f.frames) * VoiceFiles::kBytesPerSample : 0.0;
    const std::size_t evidence =
        opt.separate == SeparationMode::Pitch ? PitchEvidence::least_bytes_per_frame() : 0;
    const double need = static_cast<double>(fr.nframes) *
                            (FrameResults::least_bytes_per_frame(kDefaultAcgParam.nchans) + evidence) +
                        kept + kWorkingBytes;
    const MemoryLimit limit = memory_limit();
    if (need <= static_cast<double>(limit.bytes)) return true;
    std::cerr << std::fixed << std::setprecision(1) << "Recording too long for the memory available: "
              << static_cast<double>(f.frames) / f.srate / 3600.0 << " hours of audio need about "
              << need / kGigabyte << " GB, and " << limit.source << " allows "
              << static_cast<double>(limit.bytes) / kGigabyte << " GB: " << label << std::endl;
    return false;
}

// The threads a run uses: --threads, 0 meaning every core.
int analysis_threads(const Options& opt) {
    return opt.threads > 0 ? opt.threads : WorkerPool::available_cores();
}

// Reads the chosen signal to its end and streams it through the analysis,
// keeping its samples in voices when given. Returns false after one line
// when the input fails, holds no sample or holds one the analysis cannot
// take.
bool stream_signal(AudioInput& in, const Options& opt, const std::string& label,
                   StreamAnalysis& stream, VoiceFiles* voices, ProgressLine& progress) {
    SourceTap keep;
    if (voices)
        keep = [voices](const double* x, std::size_t n, std::int64_t samples) {
            SignalRefusal r = voices_refusal(samples);
            if (!r) voices->keep(x, n);
            return r;
        };
    const RecordingOutcome out = stream_recording(
        in, signal_choice(opt), stream,
        [&](std::int64_t samples) {
            progress.update(samples);
            return true;
        },
        keep);
    progress.clear();
    if (out.refusal) std::cerr << out.refusal.message << ": " << label << std::endl;
    if (!out.warning.empty()) std::cerr << out.warning << ": " << label << std::endl;
    return !out.refusal;
}

// What a run's result files are written from: the frames' results and,
// with --separate, the voices.
struct RunResults {
    const FrameResults& frames;
    const VoiceFiles* voices;
};

// Result files of a run that one writer fills together: their suffixes, in
// publishing order, and the writer (failed: the position of the file that
// failed).
struct ResultFiles {
    std::vector<const char*> suffixes;
    std::function<bool(const RunResults&, const std::vector<const char*>& paths, std::size_t& failed)>
        write;
};

// A result file of the frames' results alone.
ResultFiles frame_file(const char* suffix, bool (FrameResults::*write)(const char*) const) {
    return {{suffix}, [write](const RunResults& r, const std::vector<const char*>& paths,
                              std::size_t&) { return (r.frames.*write)(paths[0]); }};
}

// The result files a run publishes, in the order they are written and
// renamed into place.
std::vector<ResultFiles> result_files(const Options& opt) {
    std::vector<ResultFiles> files = {frame_file(".frmseg", &FrameResults::write_frmSegments),
                                      frame_file(".f0cands", &FrameResults::write_f0Candidates),
                                      frame_file(".f0tracks", &FrameResults::write_f0Tracks),
                                      frame_file(".groups", &FrameResults::write_fragments),
                                      frame_file(".mask", &FrameResults::write_mask),
                                      frame_file(".f0labels", &FrameResults::write_f0Labels)};
    if (opt.separate == SeparationMode::None) return files;
    files.push_back({{".voices"}, [](const RunResults& r, const std::vector<const char*>& paths,
                                     std::size_t&) { return r.voices->write_labels(paths[0]); }});
    files.push_back({{".voice1.wav", ".voice2.wav", ".rest.wav"},
                     [](const RunResults& r, const std::vector<const char*>& paths,
                        std::size_t& failed) { return r.voices->write_signals(paths, failed); }});
    return files;
}

std::vector<std::string> suffixes(const std::vector<ResultFiles>& files) {
    std::vector<std::string> s;
    for (const ResultFiles& f : files) s.insert(s.end(), f.suffixes.begin(), f.suffixes.end());
    return s;
}

// Writes every result file to its temporary, then publishes the set.
bool write_and_publish(const RunResults& results, const std::vector<ResultFiles>& files,
                       ResultPublisher& pub) {
    std::size_t next = 0;
    for (const ResultFiles& f : files) {
        std::vector<std::size_t> indices;
        for (std::size_t i = 0; i < f.suffixes.size(); ++i) indices.push_back(next++);
        const auto write = [&](const std::vector<const char*>& paths, std::size_t& failed) {
            return f.write(results, paths, failed);
        };
        if (!pub.write_together(indices, write)) return false;
    }
    return pub.publish([](const std::string& line) { std::cerr << line << std::endl; });
}

// The tracker, the fragments, the voices when kept, and the result files
// of a streamed signal.
int track_and_publish(FrameResults& results, TrackerKind kind, VoiceFiles* voices,
                      const std::string& prefix, const std::vector<ResultFiles>& files,
                      ResultPublisher& pub) {
    results.track(*make_tracker(kind));
    if (results.fragment_labels_wrap())
        std::cerr << "Warning: fragment labels exceed 16 bits; labels in " << prefix
                  << ".groups wrapped and are no longer unique" << std::endl;
    if (voices) voices->group(results);
    if (write_and_publish({results, voices}, files, pub)) return EXIT_OK;
    std::cerr << pub.error() << std::endl;
    return EXIT_FAILED;
}

int analyse(const Options& opt, const std::string& prefix, const std::vector<ResultFiles>& files,
            ResultPublisher& pub) {
    const std::string label = input_label(opt);
    std::unique_ptr<ProgressLine> progress;
    try {
        AudioInput in;
        if (!open_input(in, opt, label) || !results_fit(in.format(), opt, label)) return EXIT_FAILED;
        const AudioFormat& f = in.format();
        StreamAnalysis stream(f.srate, analysis_threads(opt));
        std::unique_ptr<VoiceFiles> voices;
        if (opt.separate != SeparationMode::None)
            voices = std::make_unique<VoiceFiles>(f.srate, opt.separate == SeparationMode::Pitch);
        if (opt.separate == SeparationMode::Pitch) stream.keep_pitch_evidence();
        const bool terminal = isatty(STDERR_FILENO) == 1;
        progress = std::make_unique<ProgressLine>(terminal && !opt.quiet, STDERR_FILENO, f.frames,
                                                  f.srate);
        if (progress->enabled()) ResultPublisher::set_signal_line_start(kEraseLine);
        if (!stream_signal(in, opt, label, stream, voices.get(), *progress)) return EXIT_FAILED;
        stream.finish();
        in.close();
        return track_and_publish(stream.results(), opt.tracker, voices.get(), prefix, files, pub);
    } catch (const std::bad_alloc&) {
        if (progress) progress->clear();
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
    const std::vector<ResultFiles> files = result_files(opt);
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
