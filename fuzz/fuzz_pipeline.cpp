// The whole program, reader to result files, on small arbitrary audio files
// (any format libsndfile reads). Inputs are kept short (-max_len) so that
// one run takes milliseconds. The input's length chooses the channel
// options: none, --mix or --channel=2, so that every seed meets all three,
// whether the analysis runs on one thread or on three, whether it
// separates the voices (--separate, --separate=pitch), and which tracker links the
// candidates (rule or joint).
//
// Beyond "no crash, no hang", every run must keep the driver's promises: exit
// status 0 or 1; a refused file costs exactly one line on standard error and
// leaves the (always writable) output directory empty, without a temporary;
// a success prints at most the short-read warning and leaves the six result
// files (ten with --separate), of one frame count, whose values lie within
// what the file formats allow (the voices' WAV files: mono, at one rate, of
// the frames' samples, every sample finite), and their record, which lists
// each file's size and CRC-32.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "audioinput.h"
#include "corlune_main.h"
#include "fuzz_input.h"
#include "geometry.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
}

// The output directory's files by suffix, what follows the result name (a
// hidden working directory counts under its whole name); the directory is
// emptied.
std::map<std::string, Bytes> take_results(const std::string& dir, const std::string& name) {
    std::map<std::string, Bytes> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const std::string file = entry.path().filename().string();
        files[file.rfind(name + ".", 0) == 0 ? file.substr(name.size()) : file] =
            Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        fs::remove(entry.path(), ec);
    }
    return files;
}

template <typename T>
T element(const Bytes& b, size_t frame, size_t cols, size_t col) {
    T v;
    std::memcpy(&v, b.data() + (frame * cols + col) * sizeof(T), sizeof(T));
    return v;
}

// One frame of the tracker's slots: each is empty (0) or at least 70 Hz and
// one of the same frame's candidates, bit for bit. The joint tracker may
// also coast: a slot then keeps its track's identifier and F0 from the frame
// before, and its track claims no unit in this frame.
void check_tracks(const std::map<std::string, Bytes>& r, size_t j, bool joint) {
    const Bytes &cands = r.at(".f0cands"), &tracks = r.at(".f0tracks"), &ids = r.at(".f0labels");
    for (size_t c = 0; c < 4; ++c) {
        const float v = element<float>(cands, j, 4, c);
        require(std::isfinite(v) && v >= 0.0f, "F0 candidates finite and not negative");
    }
    for (size_t s = 0; s < 2; ++s) {
        const float t = element<float>(tracks, j, 2, s);
        if (t == 0.0f) continue;
        require(t >= 70.0f, "a track's F0 is at least 70 Hz");
        bool found = false;
        for (size_t c = 0; c < 4; ++c) found |= element<float>(cands, j, 4, c) == t;
        if (found) continue;
        const int16_t id = element<int16_t>(ids, j, 2, s);
        require(joint && j > 0 && element<float>(tracks, j - 1, 2, s) == t &&
                    element<int16_t>(ids, j - 1, 2, s) == id,
                "a track's F0 is one of the frame's candidates, or its last F0 while it coasts");
        for (size_t k = 0; k < 32; ++k)
            require(element<int16_t>(r.at(".groups"), j, 32, k) != id,
                    "a coasting track claims no unit");
    }
}

// One frame of the channel-wise files: group labels 0..2; a unit has a
// fragment label exactly when it has a mask value, which is then 0.5 to
// 1/(1+e^-3); a labelled unit belongs to a group of a frame with a track,
// and its label is that of one of the frame's track slots.
void check_units(const std::map<std::string, Bytes>& r, size_t j) {
    const bool tracked = element<float>(r.at(".f0tracks"), j, 2, 0) != 0.0f ||
                         element<float>(r.at(".f0tracks"), j, 2, 1) != 0.0f;
    const int16_t slots[2] = {element<int16_t>(r.at(".f0labels"), j, 2, 0),
                              element<int16_t>(r.at(".f0labels"), j, 2, 1)};
    for (size_t k = 0; k < 32; ++k) {
        const int16_t group = element<int16_t>(r.at(".frmseg"), j, 32, k);
        const int16_t label = element<int16_t>(r.at(".groups"), j, 32, k);
        const float m = element<float>(r.at(".mask"), j, 32, k);
        require(group >= 0 && group <= 2, "group labels 0, 1 or 2");
        require((label != 0) == (m != 0.0f), "fragment label exactly where the mask is set");
        if (label == 0) continue;
        require(m >= 0.5f && m <= 0.9525742f, "mask value of a claimed unit in 0.5 .. 0.95257");
        require(group != 0 && tracked, "a claimed unit is grouped in a tracked frame");
        require(label == slots[0] || label == slots[1], "a claimed unit carries a slot's label");
    }
}

// One frame of .voices: each unit's voice is 0, 1 or 2, and only claimed
// units have one.
// byPitch: unclaimed units may have a voice too.
void check_voices(const std::map<std::string, Bytes>& r, size_t j, bool byPitch) {
    for (size_t k = 0; k < 32; ++k) {
        const int16_t voice = element<int16_t>(r.at(".voices"), j, 32, k);
        require(voice >= 0 && voice <= 2, "voices 0, 1 or 2");
        require(byPitch || voice == 0 || element<int16_t>(r.at(".groups"), j, 32, k) != 0,
                "only a claimed unit has a voice");
    }
}

const char* const kVoiceWavs[] = {".voice1.wav", ".voice2.wav", ".rest.wav"};

// The voices' WAV files: mono, of one rate and one length, which the frames
// cover (frames = ceil(samples / shift)); every sample finite.
void check_voice_wavs(const std::map<std::string, Bytes>& r, size_t frames) {
    int rate = 0;
    for (const char* suffix : kVoiceWavs) {
        AudioInput in;
        require(in.open_memory(r.at(suffix).data(), r.at(suffix).size()), "a voice's WAV file reads back");
        require(in.format().channels == 1, "a voice's WAV file is mono");
        require(rate == 0 || in.format().srate == rate, "the voices' WAV files share a rate");
        rate = in.format().srate;
        std::vector<double> x;
        while (in.read(x, 4096, SignalChoice::one(0)) > 0) {}
        require(!in.failed(), "a voice's WAV file reads to its end");
        require(static_cast<size_t>(frame_geometry(rate, 10, 30, x.size()).nframes) == frames,
                "a voice's WAV file holds the frames' samples");
        for (double v : x) require(std::isfinite(v), "a voice's samples are finite");
    }
}

const std::pair<const char*, size_t> kLayout[] = {
    {".frmseg", 64}, {".f0cands", 16}, {".f0tracks", 8}, {".groups", 64}, {".mask", 128},
    {".f0labels", 4}, {".voices", 64}};
constexpr size_t kPlainFiles = 6;  // without --separate

// The record lists the files in publishing order with their sizes and CRC-32s.
void check_record(const std::map<std::string, Bytes>& r, bool separate) {
    std::vector<const char*> suffixes;
    for (const auto& [suffix, bytes_per_frame] : kLayout) suffixes.push_back(suffix);
    if (separate) suffixes.insert(suffixes.end(), std::begin(kVoiceWavs), std::end(kVoiceWavs));
    else suffixes.resize(kPlainFiles);
    std::string expected = "corlune result record 1\n";
    char line[64];
    for (const char* suffix : suffixes) {
        const Bytes& b = r.at(suffix);
        std::snprintf(line, sizeof line, "%s %zu %08lx\n", suffix, b.size(),
                      crc32(0L, b.data(), static_cast<uInt>(b.size())));
        expected += line;
    }
    expected += "end\n";
    const Bytes& record = r.at(".record");
    require(std::string(record.begin(), record.end()) == expected, "the record matches the files");
}

void check_results(const std::map<std::string, Bytes>& r, bool separate, bool byPitch, bool joint) {
    require(r.size() == (separate ? 11u : 7u), "the result files and their record, no temporary");
    const size_t frames = r.count(".mask") ? r.at(".mask").size() / 128 : 0;
    require(frames > 0, "at least one frame");
    for (size_t i = 0; i < (separate ? std::size(kLayout) : kPlainFiles); ++i)
        require(r.count(kLayout[i].first) && r.at(kLayout[i].first).size() == frames * kLayout[i].second,
                "every result file holds the same number of whole frames");
    check_record(r, separate);
    for (size_t j = 0; j < frames; ++j) {
        check_tracks(r, j, joint);
        check_units(r, j);
        if (separate) check_voices(r, j, byPitch);
    }
    if (separate) check_voice_wavs(r, frames);
}

// Standard error of the current run; the program's messages are collected
// here instead of being printed.
std::ostringstream& messages() {
    static auto* sink = new std::ostringstream;  // never destroyed: std::cerr keeps its buffer
    return *sink;
}

size_t lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// A private output directory for the whole fuzzing session, removed at exit.
// The name lives in a plain array so that it outlasts static destructors.
const char* output_directory() {
    static char name[] = "/tmp/corlune-fuzz-out-XXXXXX";
    static const bool made = [] {
        std::cerr.rdbuf(messages().rdbuf());
        std::cout.setstate(std::ios::badbit);
        if (!mkdtemp(name)) std::abort();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(name, ec);
        });
        return true;
    }();
    (void)made;
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* outdir = output_directory();
    if (size > 16384) return 0;
    FuzzFile file(data, size);
    std::string in = file.path();
    char prog[] = "corlune", mix[] = "--mix", second[] = "--channel=2", threads[] = "--threads=3",
         separate[] = "--separate", byPitch[] = "--separate=pitch", joint[] = "--tracker=joint";
    char* options[] = {nullptr, mix, second};
    std::vector<char*> argv = {prog};
    if (char* option = options[size % 3]) argv.push_back(option);
    if (size / 3 % 2) argv.push_back(threads);
    char* separations[] = {nullptr, separate, byPitch};
    char* separation = separations[size / 6 % 3];
    const bool separating = separation != nullptr;
    if (separating) argv.push_back(separation);
    const bool joint_tracker = size / 18 % 2;
    if (joint_tracker) argv.push_back(joint);
    argv.insert(argv.end(), {in.data(), const_cast<char*>(outdir), nullptr});
    messages().str("");
    const int status = run(static_cast<int>(argv.size()) - 1, argv.data());
    require(status == 0 || status == 1, "exit status 0 or 1");
    const size_t said = lines(messages().str());
    const auto results = take_results(outdir, fs::path(in).stem().string());
    if (status == 1) {
        require(said == 1, "a refused input costs exactly one line");
        require(results.empty(), "a refused input leaves no file");
    } else {
        require(said <= 1, "a successful run prints at most the short-read warning");
        check_results(results, separating, separation == byPitch, joint_tracker);
    }
    return 0;
}
