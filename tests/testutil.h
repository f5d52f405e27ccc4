// Helpers shared by the test suites: temporary directories, synthetic
// signals, crafted WAV bytes, whole-file reads and runs of the executable.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "matrix.h"

namespace testutil {

// F0 candidate rows as written, each padded with zeros to four candidates.
Matrix candidate_rows(std::initializer_list<std::vector<double>> rows);

// A fresh directory under the system temp dir, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sum of harmonics of a gliding F0 (f0a at the start to f0b at the end) with
// a speech-like spectral tilt, amplitude in -1 .. 1 units.
std::vector<double> harmonic_complex(int srate, double seconds, double f0a, double f0b,
                                     double amplitude);
std::vector<double> sine(int srate, double seconds, double freq, double amplitude);
// Deterministic white noise from a fixed seed.
std::vector<double> noise(int srate, double seconds, double amplitude, unsigned seed);
std::vector<double> mix(const std::vector<double>& a, const std::vector<double>& b);

// Samples in -1 .. 1 to 16-bit integers (clipped, rounded).
std::vector<int16_t> to_pcm16(const std::vector<double>& x);

using Bytes = std::vector<uint8_t>;

// The one builder of crafted WAV files. The header fields a test may change;
// the defaults make a valid 16 kHz mono 16-bit PCM file.
struct WavSpec {
    uint16_t code = 1;  // format code: 1 PCM, 3 float, 0xFFFE extensible
    uint16_t channels = 1;
    uint32_t rate = 16000;
    uint16_t bits = 16;
    std::optional<uint32_t> data_size;  // the data chunk's size field; default the true size
    Bytes fmt_extension;                // appended to the 16-byte format chunk body
    Bytes before_fmt, before_data;      // whole chunks placed ahead of "fmt " / "data"
    Bytes after_data;                   // bytes after the samples (a trailing chunk)
};
// A RIFF WAVE image: header after spec, then the 16-bit samples as they are.
Bytes wav_image(const std::vector<int16_t>& pcm, const WavSpec& spec = {});
// A canonical 44-byte-header 16-bit PCM WAV image.
Bytes wav_bytes(const std::vector<int16_t>& pcm, int srate, int channels = 1);
// A RIFF chunk: tag, size and body, with the pad byte of an odd size.
Bytes chunk(const char* tag, const Bytes& body);
void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
// Writes a mono 16-bit WAV of x at srate.
void write_wav(const std::string& path, const std::vector<double>& x, int srate);

// Writes interleaved 16-bit samples through libsndfile in format (SF_FORMAT_*
// container | encoding). Integer encodings store each value exactly
// (shifted left for wider words); floating-point ones store v / 32768.
void write_audio(const std::string& path, const std::vector<int16_t>& pcm, int srate, int channels,
                 int format);

// Little-endian field writers for crafting headers.
void put_u16(Bytes& b, uint16_t v);
void put_u32(Bytes& b, uint32_t v);
void put_tag(Bytes& b, const char* tag);

// A FIFO at path whose writer, another thread, writes bytes into it once a
// reader opens it; the destructor waits for the writer.
class FifoWriter {
public:
    FifoWriter(const std::string& path, Bytes bytes);
    ~FifoWriter();
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

private:
    std::thread thread_;
};

// True in a build with AddressSanitizer, where memory limits work differently.
bool sanitizer_build();

struct RunResult {
    int status;      // exit status, or -1 when the process did not exit normally
    std::string out; // standard output
    std::string err; // standard error
    int signal = 0;  // the signal that ended the process, when one did
};
// How the child runs: its standard input is /dev/null unless the bytes of
// stdin_pipe (through a pipe), the file stdin_file or the descriptor
// stdin_fd are given; a non-zero memory_limit caps its memory (address
// space, or the sanitizer's allocator in a sanitizer build).
struct RunSetup {
    std::optional<Bytes> stdin_pipe;
    std::string stdin_file;
    uint64_t memory_limit = 0;
    int stdin_fd = -1;
};

// A child process whose standard output and error go to files; wait()
// collects them. A child not waited for is killed on destruction.
class Child {
public:
    Child(pid_t pid, std::unique_ptr<TempDir> capture);
    Child(Child&& other) noexcept : pid_(other.pid_), capture_(std::move(other.capture_)) { other.pid_ = -1; }
    Child& operator=(Child&&) = delete;
    ~Child();
    pid_t pid() const { return pid_; }
    std::string err_so_far() const;  // what it has written to standard error yet
    RunResult wait();

private:
    pid_t pid_;
    std::unique_ptr<TempDir> capture_;
};

// Starts the program at exe with args; run_corlune runs the corlune
// executable to its end.
Child start_program(const std::string& exe, const std::vector<std::string>& args,
                    const RunSetup& setup = {});
Child start_corlune(const std::vector<std::string>& args, const RunSetup& setup = {});
RunResult run_corlune(const std::vector<std::string>& args, const RunSetup& setup = {});
// Runs body in a forked copy of this process (standard input /dev/null),
// which exits with body's return value: for in-process runs with test hooks.
Child start_in_child(const std::function<int()>& body);

// Whether corlune.load accepts the result set of each prefix (one
// Python process for all of them); a refusal's message goes to why.
std::vector<bool> loader_accepts(const std::vector<std::string>& prefixes,
                                 std::string* why = nullptr);

// Directory content: file name (hidden files included) to bytes; a
// subdirectory reads as "<dir>".
using Snapshot = std::map<std::string, Bytes>;
Snapshot snapshot(const std::filesystem::path& dir);

}  // namespace testutil

namespace testutil {
// SHA-256 of bytes, as 64 lowercase hex digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);
}  // namespace testutil
