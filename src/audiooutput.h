// Audio output of corlune: a signal written as a mono 32-bit float WAV file
// through libsndfile, block by block, in the program's scale (full scale
// 1.0, values beyond it kept as they are: nothing is clipped or normalised).
// The header holds no time stamp, so the same samples give the same bytes.
//
//   AudioOutput out;
//   if (!out.open("utt.voice1.wav", 16000)) { std::cerr << out.error() << '\n'; ... }
//   out.write(block.data(), block.size());   // any number of times
//   if (!out.close()) ...;                   // error(): why the file is not whole
//
// A sample that is not finite is refused (false, error(), nothing of the
// block written): a WAV never holds NaN or infinity. Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's SNDFILE (sndfile.h)

class AudioOutput {
public:
    // Samples a WAV file can hold: its data size is a 32-bit byte count.
    static constexpr std::int64_t kMaxSamples = (std::int64_t{1} << 32) / 4 - 1024;

    AudioOutput() = default;
    ~AudioOutput();  // closes a file still open, unchecked
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Creates (or truncates) path as a mono float WAV file at srate Hz.
    bool open(const char* path, int srate);
    // Appends n samples, each rounded to float32.
    bool write(const double* x, std::size_t n);
    // Completes the header and closes the file; false when any write failed.
    bool close();

    std::int64_t written() const { return written_; }
    // Why the last call failed; errno is left as the system set it, where it did.
    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& why);

    sf_private_tag* file_ = nullptr;
    std::string path_;
    std::vector<float> buffer_;
    std::int64_t written_ = 0;
    std::string error_;
};
