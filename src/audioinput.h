// Audio input of corlune: one recording opened through libsndfile and read
// once, front to back, in blocks of doubles in the program's scale (full
// scale 1.0; a 16-bit value v is v / 32768 exactly).
//
// The input is a file path, "-" for standard input, or bytes in memory. A
// path is opened exactly once, so FIFOs and pipes (/dev/stdin, <(...)) work;
// on a pipe libsndfile never seeks back, and only the containers that it
// reads correctly that way are accepted (pipe_readable_formats()).
//
//   AudioInput in;
//   if (!in.open("utt.flac")) { std::cerr << in.error() << ": utt.flac\n"; ... }
//   std::vector<double> x;
//   while (in.read(x, 65536, SignalChoice::one(0)) > 0) {}
//   if (in.failed()) ...;                         // a decoding error after the header
//
// Nothing here prints: failures are returned as text (error()), which the
// caller prints followed by the name of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SF_INFO;  // libsndfile's header fields (sndfile.h)

// Which signal read() delivers from the channels of a frame.
struct SignalChoice {
    enum class Kind { Interleaved, One, Mix };
    Kind kind = Kind::Interleaved;
    int channel = 0;          // 0-based channel for Kind::One
    bool swap_16bit = false;  // 16-bit PCM samples are stored in the other byte order

    static SignalChoice interleaved() { return {}; }
    static SignalChoice one(int channel) { return {Kind::One, channel, false}; }
    static SignalChoice mix() { return {Kind::Mix, 0, false}; }
};

// What the header of an opened recording says.
struct AudioFormat {
    int srate = 0;             // Hz
    int channels = 0;
    std::int64_t frames = -1;  // frames per channel; -1 when unknown (pipes)
    std::string container;     // libsndfile's name of the container, e.g. "WAV (Microsoft)"
    std::string encoding;      // libsndfile's name of the sample encoding, e.g. "Signed 16 bit PCM"
};

class AudioInput {
public:
    AudioInput();
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // Opens path ("-" = standard input) and reads its header. Returns false
    // with error() set; opening_failed() then tells whether the system could
    // not open the path at all (as opposed to refusing its content).
    bool open(const std::string& path);
    // Opens a recording held in memory; the bytes must outlive the reads.
    bool open_memory(const void* data, std::size_t size);

    const AudioFormat& format() const { return format_; }
    bool from_pipe() const { return pipe_; }

    // Appends up to max_frames frames of the chosen signal to out (one value
    // per frame, or all channels' values for Kind::Interleaved) and returns
    // the number of frames appended: 0 at the end of the data or after a
    // decoding error (failed() tells which).
    std::size_t read(std::vector<double>& out, std::size_t max_frames, const SignalChoice& choice);

    bool failed() const { return !error_.empty(); }
    // One line without the input's name: what failed and why.
    const std::string& error() const { return error_; }
    bool opening_failed() const { return opening_failed_; }
    // The sample rate as the header has it when libsndfile refused the header
    // for its rate (0 or beyond the range of an int); -1 otherwise.
    std::int64_t refused_rate() const { return refused_rate_; }

    // Frames per channel that the header's data size claims, where the
    // container states one (WAV, AIFF); -1 when unknown, including the
    // "unknown length" size 0xFFFFFFFF of streamed WAV files.
    std::int64_t claimed_frames() const { return claimed_frames_; }
    // Frames delivered so far.
    std::int64_t frames_read() const { return frames_read_; }

    // Closes the recording (also done by the destructor and by open()).
    void close();

    // The containers accepted on a pipe, as text for messages and the usage.
    static const char* pipe_readable_formats();

private:
    struct Memory;
    bool open_handle(int fd, bool pipe);
    void store_format(const SF_INFO& info);
    void fail_open(const std::string& what);
    bool read_block(std::size_t frames);
    void deliver(std::vector<double>& out, std::size_t frames, const SignalChoice& choice) const;

    void* file_ = nullptr;  // SNDFILE*
    int fd_ = -1;
    bool own_fd_ = false;
    bool pipe_ = false;
    bool integer_ = true;   // samples read as integers and scaled by 2^-31
    bool pcm16_ = false;
    AudioFormat format_;
    std::string error_;
    bool opening_failed_ = false;
    std::int64_t refused_rate_ = -1;
    std::int64_t claimed_frames_ = -1;
    std::int64_t frames_read_ = 0;
    std::unique_ptr<Memory> memory_;
    std::vector<int> ints_;
    std::vector<double> doubles_;
};
