// corlune._core: the analysis of the core library for Python, numpy in and
// numpy out. The package's __init__ wraps these functions in the documented
// API (corlune.analyze, analyze_file, read_audio, Results.save); the checks
// of the signal, the rate and the threads are made here, before any work.
//
//     tables = _core.analyze(np.zeros(16000), 16000, 1)   # dict of arrays
//
// The interpreter's lock is released while the library works: reading,
// analysis, filling the result arrays and writing files. Refusals raise
// ValueError (a value the analysis cannot take), TypeError (an array of the
// wrong kind) or OSError (a file that cannot be opened or written).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "acgmodel.h"
#include "audioinput.h"
#include "frameresults.h"
#include "options.h"
#include "publisher.h"
#include "resynth.h"
#include "scoring.h"
#include "separate.h"
#include "signalsource.h"
#include "streamanalysis.h"
#include "trackers.h"
#include "voicefiles.h"
#include "workerpool.h"

namespace py = pybind11;

namespace {

constexpr int kMostThreads = 1024;

// The threads an analysis runs on: 0 means every core the process may use.
int analysis_threads(int threads) {
    if (threads < 0 || threads > kMostThreads)
        throw py::value_error("threads must be 0 (every core) to " + std::to_string(kMostThreads) +
                              ", not " + std::to_string(threads));
    return threads > 0 ? threads : WorkerPool::available_cores();
}

int checked_rate(long long srate) {
    if (SignalRefusal r = rate_refusal(srate)) throw py::value_error(r.message);
    return static_cast<int>(srate);
}

// The signal's samples as the library reads them; refuses, without a copy,
// what is not a one-dimensional float64, float32 or int16 array in the
// machine's byte order.
SampleView sample_view(const py::array& x) {
    if (x.ndim() != 1)
        throw py::value_error("signal must be one-dimensional (one channel), not " +
                              std::to_string(x.ndim()) +
                              "-dimensional: pick a channel (x[:, 0]) or mix them (x.mean(axis=1))");
    SampleView v;
    const py::dtype dt = x.dtype();
    if (dt.is(py::dtype::of<double>()))
        v.type = SampleView::Type::Float64;
    else if (dt.is(py::dtype::of<float>()))
        v.type = SampleView::Type::Float32;
    else if (dt.is(py::dtype::of<std::int16_t>()))
        v.type = SampleView::Type::Int16;
    else
        throw py::type_error("signal must be float64, float32 or int16 in native byte order, not " +
                             py::str(static_cast<const py::handle&>(dt)).cast<std::string>() + " (convert it with .astype(numpy.float64))");
    v.data = x.data();
    v.size = static_cast<std::size_t>(x.shape(0));
    v.stride = x.strides(0);
    return v;
}

[[noreturn]] void raise_os_error(const std::string& text) {
    PyErr_SetString(PyExc_OSError, text.c_str());
    throw py::error_already_set();
}

template <typename T>
py::array_t<T> table(int rows, int columns) {
    return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
}

// The result tables of a finished, tracked analysis as arrays, filled with
// the interpreter's lock released.
py::dict result_tables(const StreamAnalysis& stream) {
    const FrameResults& r = stream.results();
    const int n = r.frames(), c = r.channels();
    auto frmseg = table<std::int16_t>(n, c), groups = table<std::int16_t>(n, c);
    auto f0labels = table<std::int16_t>(n, 2);
    auto f0cands = table<float>(n, kCandidates), f0tracks = table<float>(n, 2);
    auto mask = table<float>(n, c);
    auto ids = table<std::int64_t>(n, c), slotIds = table<std::int64_t>(n, 2);
    FrameResults::Tables t;
    t.frmseg = frmseg.mutable_data();
    t.f0cands = f0cands.mutable_data();
    t.f0tracks = f0tracks.mutable_data();
    t.groups = groups.mutable_data();
    t.mask = mask.mutable_data();
    t.f0labels = f0labels.mutable_data();
    t.ids = ids.mutable_data();
    t.slot_ids = slotIds.mutable_data();
    {
        py::gil_scoped_release unlocked;
        r.copy_tables(t);
    }
    py::dict d;
    d["frmseg"] = frmseg;
    d["f0cands"] = f0cands;
    d["f0tracks"] = f0tracks;
    d["groups"] = groups;
    d["mask"] = mask;
    d["f0labels"] = f0labels;
    d["ids"] = ids;
    d["slot_ids"] = slotIds;
    d["cfs"] = py::array_t<double>(static_cast<py::ssize_t>(stream.centre_frequencies().size()),
                                   stream.centre_frequencies().data());
    d["samples"] = stream.samples();
    return d;
}

// Lets Ctrl-C stop an analysis: after each block, the interpreter's signal
// handlers run; one that raises (KeyboardInterrupt) stops the analysis, and
// its exception is raised once the library has returned.
bool keep_going(std::int64_t) {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() == 0;
}

// keep_going on the main thread, where the interpreter runs its signal
// handlers; elsewhere nothing (no lock taken per block).
SourceProgress interrupt_check() {
    const py::module_ threading = py::module_::import("threading");
    if (threading.attr("current_thread")().is(threading.attr("main_thread")())) return keep_going;
    return nullptr;
}

// Raises the exception of a stopped analysis, or the refusal.
void raise_refusal(const SignalRefusal& r, const std::string& where) {
    if (PyErr_Occurred()) throw py::error_already_set();
    throw py::value_error(r.message + where);
}

// The tracker named by a caller ("rule" or "joint"); ValueError otherwise.
TrackerKind checked_tracker(const std::string& name) {
    TrackerKind kind = kDefaultTracker;
    if (!tracker_kind(name.c_str(), kind))
        throw py::value_error("tracker must be one of " + std::string(tracker_names()) + ", not '" +
                              name + "'");
    return kind;
}

// The tracker's run over a finished analysis.
void track(StreamAnalysis& stream, TrackerKind kind) { stream.results().track(*make_tracker(kind)); }

py::dict analyze(const py::array& signal, long long srate, int threads, const std::string& tracker) {
    const SampleView x = sample_view(signal);
    const int rate = checked_rate(srate);
    const TrackerKind kind = checked_tracker(tracker);
    const int nthreads = analysis_threads(threads);
    auto stream = std::make_unique<StreamAnalysis>(rate, nthreads);
    const SourceProgress check = interrupt_check();
    SignalRefusal refusal;
    {
        py::gil_scoped_release unlocked;
        refusal = stream_samples(x, *stream, check);
        if (!refusal) {
            stream->finish();
            track(*stream, kind);
        }
    }
    if (refusal) raise_refusal(refusal, "");
    py::dict d = result_tables(*stream);
    d["srate"] = rate;
    return d;
}

// Opens path and picks the signal: channel (0-based) or the mean of all
// channels (mix); a recording of several channels needs one of them.
SignalChoice open_recording(AudioInput& in, const std::string& path, py::object channel, bool mix) {
    bool opened;
    {
        py::gil_scoped_release unlocked;
        opened = in.open(path);
    }
    if (!opened) {
        if (in.refused_rate() >= 0)
            throw py::value_error(rate_refusal(in.refused_rate()).message + ": " + path);
        if (in.opening_failed()) raise_os_error(in.error() + ": " + path);
        throw py::value_error(in.error() + ": " + path);
    }
    const int channels = in.format().channels;
    if (!channel.is_none() && mix)
        throw py::value_error("give channel or mix, not both");
    if (mix) return SignalChoice::mix();
    if (channel.is_none()) {
        if (channels > 1)
            throw py::value_error("recording has " + std::to_string(channels) +
                                  " channels; choose one with channel=N (0 to " +
                                  std::to_string(channels - 1) + ") or their mean with mix=True: " +
                                  path);
        return SignalChoice::one(0);
    }
    const long long c = channel.cast<long long>();
    if (c < 0 || c >= channels)
        throw py::value_error("channel " + std::to_string(c) + " requested, but the recording has " +
                              std::to_string(channels) +
                              (channels == 1 ? " channel (channel 0)" : " channels (0 to " +
                                                                           std::to_string(channels - 1) +
                                                                           ")") +
                              ": " + path);
    return SignalChoice::one(static_cast<int>(c));
}

// A RuntimeWarning; raised instead where warnings are made errors.
void warn(const std::string& text) {
    if (!text.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0)
        throw py::error_already_set();
}

py::dict analyze_file(const std::string& path, py::object channel, bool mix, int threads,
                      const std::string& tracker) {
    const TrackerKind kind = checked_tracker(tracker);
    AudioInput in;
    const SignalChoice choice = open_recording(in, path, channel, mix);
    const int rate = in.format().srate;
    if (SignalRefusal r = rate_refusal(rate)) throw py::value_error(r.message + ": " + path);
    const int nthreads = analysis_threads(threads);
    auto stream = std::make_unique<StreamAnalysis>(rate, nthreads);
    const SourceProgress check = interrupt_check();
    RecordingOutcome out;
    {
        py::gil_scoped_release unlocked;
        out = stream_recording(in, choice, *stream, check);
        in.close();
        if (!out.refusal) {
            stream->finish();
            track(*stream, kind);
        }
    }
    if (out.refusal) raise_refusal(out.refusal, ": " + path);
    warn(out.warning.empty() ? "" : out.warning + ": " + path);
    py::dict d = result_tables(*stream);
    d["srate"] = rate;
    return d;
}

py::tuple read_audio(const std::string& path, py::object channel, bool mix) {
    AudioInput in;
    const SignalChoice choice = open_recording(in, path, channel, mix);
    auto samples = std::make_unique<std::vector<double>>();
    bool failed;
    {
        py::gil_scoped_release unlocked;
        while (in.read(*samples, kSourceBlock, choice) > 0) {
        }
        failed = in.failed();
    }
    if (failed) throw py::value_error(in.error() + ": " + path);
    if (in.claimed_frames() > in.frames_read())
        warn("data chunk shorter than its header claims (" + std::to_string(in.claimed_frames()) +
             " samples claimed, " + std::to_string(in.frames_read()) + " read): " + path);
    // The array takes the vector's memory: no copy.
    std::vector<double>* v = samples.release();
    py::capsule owner(v, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    py::array_t<double> x(static_cast<py::ssize_t>(v->size()), v->data(), owner);
    return py::make_tuple(x, in.format().srate);
}

// The analysis and the voices of a signal as --separate makes them: the
// samples kept as float32 while they stream in, the tracks grouped into two
// voices, each unit's voice and the three resynthesised signals (voice 1,
// voice 2, the rest), float32 as the WAV files hold them.
py::dict separate_signal(const py::array& signal, long long srate, int threads,
                         const std::string& tracker, const std::string& mode) {
    const SampleView x = sample_view(signal);
    const int rate = checked_rate(srate);
    const TrackerKind kind = checked_tracker(tracker);
    if (mode != "fragments" && mode != "pitch")
        throw py::value_error("mode must be one of fragments, pitch, not '" + mode + "'");
    const bool byPitch = mode == "pitch";
    auto stream = std::make_unique<StreamAnalysis>(rate, analysis_threads(threads));
    if (byPitch) stream->keep_pitch_evidence();
    VoiceFiles voices(rate, byPitch);
    const SourceProgress check = interrupt_check();
    SignalRefusal refusal;
    {
        py::gil_scoped_release unlocked;
        refusal = stream_samples(x, *stream, check);
        if (!refusal) {
            std::vector<double> block(kSourceBlock);
            for (std::size_t from = 0; from < x.size; from += kSourceBlock) {
                const std::size_t n = std::min(kSourceBlock, x.size - from);
                x.copy(from, n, block.data());
                voices.keep(block.data(), n);
            }
            stream->finish();
            track(*stream, kind);
            voices.group(stream->results());
        }
    }
    if (refusal) raise_refusal(refusal, "");
    py::dict d = result_tables(*stream);
    d["srate"] = rate;
    const auto n = static_cast<py::ssize_t>(x.size);
    auto labels = table<std::int16_t>(stream->frames(), stream->results().channels());
    py::array_t<float> out[VoiceFiles::kSignals] = {py::array_t<float>(n), py::array_t<float>(n),
                                                    py::array_t<float>(n)};
    float* const outs[VoiceFiles::kSignals] = {out[0].mutable_data(), out[1].mutable_data(),
                                               out[2].mutable_data()};
    std::int16_t* labelRows = labels.mutable_data();
    std::string error;
    bool done;
    {
        py::gil_scoped_release unlocked;
        voices.copy_labels(labelRows);
        done = voices.copy_signals(outs, error);
    }
    if (!done) throw py::value_error(error);
    d["voices"] = labels;
    d["voice1"] = out[0];
    d["voice2"] = out[1];
    d["rest"] = out[2];
    return d;
}

// A 1-D float64 copy of an array of samples of any accepted kind.
std::vector<double> samples_of(const py::array& signal) {
    const SampleView x = sample_view(signal);
    std::vector<double> v(x.size);
    x.copy(0, x.size, v.data());
    return v;
}

py::array_t<double> resynthesize_mask(const py::array& signal, long long srate,
                                      const py::array_t<double, py::array::c_style | py::array::forcecast>& mask) {
    const std::vector<double> x = samples_of(signal);
    const int rate = checked_rate(srate);
    if (mask.ndim() != 2)
        throw py::value_error("mask must be two-dimensional (frames x channels), not " +
                              std::to_string(mask.ndim()) + "-dimensional");
    Matrix m(static_cast<std::size_t>(mask.shape(0)));
    for (std::size_t f = 0; f < m.size(); ++f)
        m[f].assign(mask.data(static_cast<py::ssize_t>(f), 0),
                    mask.data(static_cast<py::ssize_t>(f), 0) + mask.shape(1));
    Resynthesis r;
    {
        py::gil_scoped_release unlocked;
        r = resynthesize(x, rate, m);
    }
    if (!r.error.empty()) throw py::value_error(r.error);
    return py::array_t<double>(static_cast<py::ssize_t>(r.outputs[0].size()), r.outputs[0].data());
}

py::dict voice_score(const VoiceScore& v) {
    py::dict d;
    d["source"] = v.source;
    d["snr"] = v.snr;
    d["snr_gain"] = v.snrGain;
    d["si_sdr"] = v.sisdr;
    d["si_sdr_gain"] = v.sisdrGain;
    d["hit_fa"] = v.hitFa;
    return d;
}

py::list voice_scores(const VoiceScore (&v)[2]) {
    py::list l;
    for (const VoiceScore& s : v) l.append(voice_score(s));
    return l;
}

// The scorer: the voices of mixture scored against its premixed sources.
py::dict score_voices(const py::array& mixture, const py::array& source1, const py::array& source2,
                      long long srate) {
    const std::vector<double> mix = samples_of(mixture), s1 = samples_of(source1),
                              s2 = samples_of(source2);
    const int rate = checked_rate(srate);
    VoiceAnalysis a;
    SeparationScores s;
    std::string why;
    {
        py::gil_scoped_release unlocked;
        why = check_signal(mix, rate);
        if (why.empty()) why = check_sources(mix, s1, s2);
        if (why.empty()) {
            a = analyse_voices(mix, rate);
            s = score_separation(mix, s1, s2, rate, a);
            why = !a.error.empty() ? a.error : s.error;
        }
    }
    if (!why.empty()) throw py::value_error(why);
    const VoiceGrouping& g = a.grouping;
    py::dict d;
    d["frames"] = a.nframes;
    d["tracks"] = g.tracks.size();
    d["one_voice"] = g.oneVoice;
    d["voice_f0"] = py::make_tuple(g.centreF0[0], g.centreF0[1]);
    d["track_conflicts"] = g.conflicts;
    d["mixture_residual_db"] = s.mixtureResidualDb;
    py::dict unprocessed;
    unprocessed["snr"] = py::make_tuple(s.mixtureSnr[0], s.mixtureSnr[1]);
    unprocessed["si_sdr"] = py::make_tuple(s.mixtureSiSdr[0], s.mixtureSiSdr[1]);
    d["unprocessed"] = unprocessed;
    d["ibm"] = voice_scores(s.ibm);
    d["ideal_grouping"] = voice_scores(s.ideal);
    d["voices"] = voice_scores(s.voices);
    return d;
}

// Writes bytes to the existing temporary at path; false with errno set when
// it cannot.
bool write_bytes(const char* path, const void* data, std::size_t n) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const bool wrote = std::fwrite(data, 1, n, f) == n;
    const int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!wrote) errno = err;
    return wrote && closed;
}

// Publishes outdir/name.SUFFIX for each (suffix, bytes) as one set with its
// record, as the program does.
void publish(const std::string& outdir, const std::string& name,
             const std::vector<std::pair<std::string, py::buffer>>& files, bool sync) {
    if (!valid_result_name(name))
        throw py::value_error("result name '" + name + "' is not a plain file name (no '/', not . or ..)");
    std::vector<std::string> suffixes;
    std::vector<py::buffer_info> bytes;
    for (const auto& [suffix, buffer] : files) {
        suffixes.push_back(suffix);
        bytes.push_back(buffer.request());
    }
    std::string error;
    {
        py::gil_scoped_release unlocked;
        ResultPublisher pub(outdir.empty() || outdir.back() == '/' ? outdir : outdir + '/', name, sync,
                            ResultPublisher::Caller::Library);
        bool ok = pub.prepare(suffixes);
        for (std::size_t i = 0; ok && i < bytes.size(); ++i) {
            const py::buffer_info& b = bytes[i];
            const std::size_t n = static_cast<std::size_t>(b.size * b.itemsize);
            ok = pub.write(i, [&](const char* path) { return write_bytes(path, b.ptr, n); });
        }
        ok = ok && pub.publish([](const std::string&) {});
        if (!ok) error = pub.error();
    }
    if (!error.empty()) raise_os_error(error);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "corlune's analysis in C++; use the functions of the corlune package.";
    m.def("analyze", &analyze, py::arg("signal"), py::arg("srate"), py::arg("threads"),
          py::arg("tracker"));
    m.def("analyze_file", &analyze_file, py::arg("path"), py::arg("channel"), py::arg("mix"),
          py::arg("threads"), py::arg("tracker"));
    m.def("read_audio", &read_audio, py::arg("path"), py::arg("channel"), py::arg("mix"));
    m.def("separate", &separate_signal, py::arg("signal"), py::arg("srate"), py::arg("threads"),
          py::arg("tracker"), py::arg("mode"));
    m.def("resynthesize", &resynthesize_mask, py::arg("signal"), py::arg("srate"), py::arg("mask"));
    m.def("score", &score_voices, py::arg("mixture"), py::arg("source1"), py::arg("source2"),
          py::arg("srate"));
    m.def("publish", &publish, py::arg("outdir"), py::arg("name"), py::arg("files"), py::arg("sync"));
    m.attr("MIN_RATE") = kMinRate;
    m.attr("MAX_RATE") = kMaxRate;
    m.attr("MAX_MAGNITUDE") = kMaxMagnitude;
}
