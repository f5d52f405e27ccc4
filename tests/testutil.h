// Helpers shared by the test suites: temporary directories, synthetic
// signals, crafted WAV bytes, whole-file reads and runs of the executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

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

// A canonical 44-byte-header 16-bit PCM WAV image.
std::vector<uint8_t> wav_bytes(const std::vector<int16_t>& pcm, int srate, int channels = 1);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::string& path);
// Writes a mono 16-bit WAV of x at srate.
void write_wav(const std::string& path, const std::vector<double>& x, int srate);

// Little-endian field writers for crafting headers.
void put_u16(std::vector<uint8_t>& b, uint16_t v);
void put_u32(std::vector<uint8_t>& b, uint32_t v);
void put_tag(std::vector<uint8_t>& b, const char* tag);

struct RunResult {
    int status;      // exit status, or -1 when the process did not exit normally
    std::string out; // standard output
    std::string err; // standard error
};
// Runs the corlune executable with args, capturing both streams.
RunResult run_corlune(const std::vector<std::string>& args);

}  // namespace testutil

namespace testutil {
// SHA-256 of bytes, as 64 lowercase hex digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);
}  // namespace testutil
