#include "audioinput.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

// Integer samples arrive from libsndfile left-aligned in 32 bits (a 16-bit
// value v as v * 65536); scaling by 2^-31 is exact and gives v / 32768.
constexpr double kInt32Scale = 0x1p-31;
constexpr double kInt16Scale = 0x1p-15;
// Values held per block read, whatever the channel count (1 MiB of ints).
constexpr std::size_t kBlockValues = std::size_t{1} << 18;
// The WAV data size that streaming writers leave when the length is unknown.
constexpr std::int64_t kUnknownDataSize = 0xFFFFFFFFLL;
// AIFF's sound data chunk starts with two 32-bit fields before the samples.
constexpr std::int64_t kAiffSoundDataFields = 8;
constexpr std::size_t kLogBytes = 16384;
constexpr const char* kNotFromPipe = " cannot be read from a pipe; give its path; from a pipe only ";

SNDFILE* handle(void* file) { return static_cast<SNDFILE*>(file); }

int major_type(int format) { return format & SF_FORMAT_TYPEMASK; }
int sub_type(int format) { return format & SF_FORMAT_SUBMASK; }

// Encodings that libsndfile decodes to floating point: read as doubles,
// which keeps their values exactly (an integer read would round them).
bool floating_point(int format) {
    switch (sub_type(format)) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return true;
    default:
        return false;
    }
}

// Bytes per sample of the fixed-width encodings; 0 for the others.
int sample_bytes(int format) {
    switch (sub_type(format)) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// Containers that libsndfile reads correctly without seeking back. Others
// fail on a pipe (FLAC, GSM 6.10), deliver nothing (CAF), wrong samples
// (RF64), or read past a buffer while opening (MP3, in libsndfile 1.2.0).
bool pipe_readable(int format) {
    switch (major_type(format)) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_W64:
    case SF_FORMAT_AIFF:
    case SF_FORMAT_AU:
    case SF_FORMAT_NIST:
    case SF_FORMAT_OGG:
        return true;
    default:
        return false;
    }
}

// libsndfile's name of a container or of an encoding.
std::string format_name(int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr)
        return "unknown";
    return info.name;
}

// libsndfile's messages end in a full stop; ours carry them inside brackets.
std::string reason(const char* text) {
    std::string r = text ? text : "unknown error";
    while (!r.empty() && (r.back() == '.' || r.back() == ' ')) r.pop_back();
    return r;
}

std::string parse_log(SNDFILE* file) {
    std::string log(kLogBytes, '\0');
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    log.resize(std::strlen(log.c_str()));
    return log;
}

// The number after "key :" on the last line of the log that holds it.
bool log_number(const std::string& log, const std::string& key, std::int64_t& value) {
    const std::size_t at = log.rfind(key);
    if (at == std::string::npos) return false;
    std::istringstream in(log.substr(at + key.size()));
    char colon = 0;
    return static_cast<bool>(in >> colon >> value) && colon == ':';
}

// The size of the sample data chunk as the header states it, from the
// header log of WAV-family and AIFF files; -1 when not stated or unknown.
std::int64_t stated_data_bytes(const std::string& log, int format) {
    std::int64_t size = -1;
    switch (major_type(format)) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
        if (!log_number(log, "\ndata ", size) || size == kUnknownDataSize) return -1;
        return size;
    case SF_FORMAT_AIFF:
        if (!log_number(log, " SSND ", size) || size < kAiffSoundDataFields) return -1;
        return size - kAiffSoundDataFields;
    default:
        return -1;
    }
}

// The first bytes waiting in a pipe or socket, left there for libsndfile:
// tee() copies them from a pipe into a private one without consuming them,
// and a socket is read with MSG_PEEK. Fewer bytes than wanted are returned
// when the writer has sent no more within about kPeekWaitMs.
constexpr int kPeekWaitMs = 200;

std::string peek_stream(int fd, bool socket, std::size_t want) {
    std::string bytes(want, '\0');
    if (socket) {
        const ssize_t n = recv(fd, bytes.data(), want, MSG_PEEK | MSG_WAITALL);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }
    int copy[2];
    if (pipe2(copy, O_CLOEXEC) != 0) return {};
    ssize_t n = 0;
    for (int waited = 0; waited <= kPeekWaitMs; ++waited) {
        n = tee(fd, copy[1], want, 0);  // blocks until the first byte or the end
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || static_cast<std::size_t>(n) >= want) break;
        usleep(1000);
    }
    n = n > 0 ? read(copy[0], bytes.data(), static_cast<std::size_t>(n)) : 0;
    ::close(copy[0]);
    ::close(copy[1]);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

// An MPEG audio stream starts with an ID3 tag or a frame's sync word (eleven
// set bits); no container read from a pipe starts that way.
bool looks_like_mpeg(const std::string& head) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(head[i]); };
    if (head.compare(0, 3, "ID3") == 0) return true;
    return head.size() >= 2 && byte(0) == 0xFF && (byte(1) & 0xE0) == 0xE0;
}

}  // namespace

// A recording in memory, read through libsndfile's virtual I/O.
struct AudioInput::Memory {
    const unsigned char* data;
    sf_count_t size;
    sf_count_t pos = 0;

    static sf_count_t length(void* self) { return static_cast<Memory*>(self)->size; }
    static sf_count_t tell(void* self) { return static_cast<Memory*>(self)->pos; }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        auto* m = static_cast<Memory*>(self);
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->size;
        if ((offset < 0 && -offset > base) || (offset > 0 && offset > m->size - base)) return -1;
        m->pos = base + offset;
        return m->pos;
    }
    static sf_count_t read(void* dst, sf_count_t count, void* self) {
        auto* m = static_cast<Memory*>(self);
        const sf_count_t n = std::max<sf_count_t>(0, std::min(count, m->size - m->pos));
        if (n > 0) std::memcpy(dst, m->data + m->pos, static_cast<std::size_t>(n));
        m->pos += n;
        return n;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
};

AudioInput::AudioInput() = default;

AudioInput::~AudioInput() { close(); }

void AudioInput::close() {
    if (file_) sf_close(handle(file_));
    if (own_fd_ && fd_ >= 0) ::close(fd_);
    file_ = nullptr;
    fd_ = -1;
    own_fd_ = false;
    pipe_ = false;
    memory_.reset();
    format_ = AudioFormat{};
    error_.clear();
    opening_failed_ = false;
    refused_rate_ = -1;
    claimed_frames_ = -1;
    frames_read_ = 0;
}

const char* AudioInput::pipe_readable_formats() {
    return "WAV, W64, AIFF, AU, NIST SPHERE and Ogg (Vorbis, Opus)";
}

void AudioInput::fail_open(const std::string& what) {
    error_ = what;
    if (file_) sf_close(handle(file_));
    file_ = nullptr;
}

bool AudioInput::open(const std::string& path) {
    close();
    if (path == "-") {
        if (isatty(STDIN_FILENO)) {
            error_ = "Unable to read audio file (standard input is a terminal)";
            return false;
        }
        fd_ = STDIN_FILENO;
    } else {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        own_fd_ = fd_ >= 0;
    }
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        error_ = std::string("Unable to open audio file (") + std::strerror(errno) + ")";
        opening_failed_ = true;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error_ = std::string("Unable to open audio file (") + std::strerror(EISDIR) + ")";
        opening_failed_ = true;
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        error_ = "Empty audio file (0 bytes)";
        return false;
    }
    const bool pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    // libsndfile 1.2.0 reads past a buffer while it opens MPEG audio from a
    // pipe, so such a stream is refused before libsndfile sees it.
    if (pipe && looks_like_mpeg(peek_stream(fd_, S_ISSOCK(st.st_mode), 3))) {
        error_ = std::string("Unable to read audio file (MPEG-1/2 Audio") + kNotFromPipe +
                 pipe_readable_formats() + " are read)";
        return false;
    }
    return open_handle(fd_, pipe);
}

bool AudioInput::open_handle(int fd, bool pipe) {
    pipe_ = pipe;
    SF_INFO info{};
    file_ = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!file_) {
        std::string why = reason(sf_strerror(nullptr));
        std::int64_t rate = 0;
        if (log_number(parse_log(nullptr), " Sample rate ", rate) && rate <= 0) {
            refused_rate_ = rate < 0 ? rate + 0x100000000LL : rate;
            why = "sample rate " + std::to_string(refused_rate_) + " Hz";
        }
        if (pipe_) why += std::string("; from a pipe only ") + pipe_readable_formats() + " are read";
        fail_open("Unable to read audio file (" + why + ")");
        return false;
    }
    store_format(info);
    if (pipe_ && !pipe_readable(info.format)) {
        fail_open("Unable to read audio file (" + format_.container + kNotFromPipe +
                  pipe_readable_formats() + " are read)");
        return false;
    }
    const int width = sample_bytes(info.format);
    const std::int64_t bytes = stated_data_bytes(parse_log(handle(file_)), info.format);
    if (width > 0 && bytes >= 0) claimed_frames_ = bytes / (std::int64_t{width} * info.channels);
    return true;
}

void AudioInput::store_format(const SF_INFO& info) {
    format_.srate = info.samplerate;
    format_.channels = info.channels;
    format_.frames = pipe_ ? -1 : info.frames;
    format_.container = format_name(major_type(info.format));
    format_.encoding = format_name(sub_type(info.format));
    integer_ = !floating_point(info.format);
    pcm16_ = sub_type(info.format) == SF_FORMAT_PCM_16;
}

bool AudioInput::open_memory(const void* data, std::size_t size) {
    close();
    memory_ = std::make_unique<Memory>(Memory{static_cast<const unsigned char*>(data),
                                              static_cast<sf_count_t>(size)});
    SF_VIRTUAL_IO io{&Memory::length, &Memory::seek, &Memory::read, &Memory::write, &Memory::tell};
    SF_INFO info{};
    file_ = sf_open_virtual(&io, SFM_READ, &info, memory_.get());
    if (!file_) {
        fail_open("Unable to read audio file (" + reason(sf_strerror(nullptr)) + ")");
        return false;
    }
    store_format(info);
    return true;
}

bool AudioInput::read_block(std::size_t frames) {
    const std::size_t values = frames * static_cast<std::size_t>(format_.channels);
    sf_count_t got;
    if (integer_) {
        ints_.resize(values);
        got = sf_readf_int(handle(file_), ints_.data(), static_cast<sf_count_t>(frames));
    } else {
        doubles_.resize(values);
        got = sf_readf_double(handle(file_), doubles_.data(), static_cast<sf_count_t>(frames));
    }
    if (got <= 0) {
        if (sf_error(handle(file_)) != SF_ERR_NO_ERROR)
            error_ = "Unable to read audio file (" + reason(sf_strerror(handle(file_))) + ")";
        return false;
    }
    const std::size_t n = static_cast<std::size_t>(got) * static_cast<std::size_t>(format_.channels);
    if (integer_) ints_.resize(n);
    else doubles_.resize(n);
    return true;
}

namespace {

double swapped16(int value) {
    const auto v = static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) >> 16);
    const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>((v << 8) | (v >> 8)));
    return static_cast<double>(s) * kInt16Scale;
}

}  // namespace

void AudioInput::deliver(std::vector<double>& out, std::size_t frames,
                         const SignalChoice& choice) const {
    const bool swap = choice.swap_16bit && pcm16_;
    const auto value = [&](std::size_t i) {
        if (!integer_) return doubles_[i];
        return swap ? swapped16(ints_[i]) : static_cast<double>(ints_[i]) * kInt32Scale;
    };
    const auto channels = static_cast<std::size_t>(format_.channels);
    switch (choice.kind) {
    case SignalChoice::Kind::Interleaved:
        for (std::size_t i = 0; i < frames * channels; ++i) out.push_back(value(i));
        break;
    case SignalChoice::Kind::One:
        for (std::size_t f = 0; f < frames; ++f)
            out.push_back(value(f * channels + static_cast<std::size_t>(choice.channel)));
        break;
    case SignalChoice::Kind::Mix:
        for (std::size_t f = 0; f < frames; ++f) {
            double sum = 0.0;
            for (std::size_t c = 0; c < channels; ++c) sum += value(f * channels + c);
            out.push_back(sum / static_cast<double>(channels));
        }
        break;
    }
}

std::size_t AudioInput::read(std::vector<double>& out, std::size_t max_frames,
                             const SignalChoice& choice) {
    if (!file_ || failed() || max_frames == 0) return 0;
    const std::size_t per_block = std::max<std::size_t>(1, kBlockValues / static_cast<std::size_t>(format_.channels));
    const std::size_t want = std::min(max_frames, per_block);
    if (!read_block(want)) return 0;
    const std::size_t frames = (integer_ ? ints_.size() : doubles_.size()) /
                               static_cast<std::size_t>(format_.channels);
    deliver(out, frames, choice);
    frames_read_ += static_cast<std::int64_t>(frames);
    return frames;
}
