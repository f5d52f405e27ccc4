#include "auxiliary.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// WAV header

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr int kSampleBits = 16;
// The fields of a format chunk that the reader looks at: the basic 16 bytes,
// then the extension up to the first two bytes of the sub-format GUID.
constexpr std::size_t kFmtBasicBytes = 16;
constexpr std::size_t kFmtSubformatEnd = 26;
constexpr std::size_t kFmtReadBytes = 40;
// Scale of a 16-bit sample: 1 / 32768.
constexpr double kPcm16Scale = 3.0517578125e-05;
// Bytes read at a time while converting samples (even, so that a block never
// splits a sample).
constexpr std::streamsize kSampleBlockBytes = 1 << 16;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::streamsize read_bytes(std::istream& in, void* dst, std::streamsize n) {
    in.read(static_cast<char*>(dst), n);
    return in.gcount();
}

// Reads a four-character tag into a zeroed five-byte buffer, so that a tag
// cut short by the end of the file still reads as a (shorter) text.
void read_tag(std::istream& in, char (&tag)[5]) {
    std::memset(tag, 0, sizeof tag);
    read_bytes(in, tag, 4);
}

// Writes one failure line: text, then the subject (file name), then a flush.
void report(const char* text, const char* subject) {
    std::cerr << text << subject << std::endl;
}

// What the reader takes from the header of an accepted file.
struct WaveHeader {
    int srate = 0;
    int channels = 0;
    std::int32_t data_size = 0;
};

// The fields of a format chunk that decide whether the samples can be read.
struct WaveFormat {
    std::uint16_t code = 0;
    std::uint16_t bits = 0;
    bool has_subformat = false;
    std::uint16_t subformat = 0;
};

bool format_supported(const WaveFormat& f) {
    if (f.bits != kSampleBits) return false;
    if (f.code == kFormatPcm) return true;
    return f.code == kFormatExtensible && (!f.has_subformat || f.subformat == kFormatPcm);
}

void report_unsupported(const WaveFormat& f, const char* filename) {
    std::cerr << "Unsupported wave format (code " << f.code;
    if (f.code == kFormatExtensible && f.has_subformat)
        std::cerr << ", sub-format " << f.subformat;
    std::cerr << ", " << f.bits << " bits per sample), only 16-bit PCM is read: " << filename
              << std::endl;
}

// Skips n bytes forward; stops quietly at the end of the file, where the next
// chunk header read then finds nothing.
void skip_forward(std::istream& in, std::uint64_t n) {
    in.ignore(static_cast<std::streamsize>(n));
}

std::uint64_t padded(std::uint32_t size) { return std::uint64_t{size} + (size & 1u); }

// Reads the body of a format chunk of the given size and moves past it,
// including the pad byte of an odd size. Returns false, after a message,
// when the chunk is cut short or describes anything but 16-bit PCM.
bool read_format_chunk(std::istream& in, std::uint32_t size, const char* filename,
                       WaveHeader& hdr) {
    if (size < kFmtBasicBytes) {
        std::cerr << "Wave format chunk too short (" << size << " bytes): " << filename
                  << std::endl;
        return false;
    }
    unsigned char body[kFmtReadBytes] = {};
    const std::size_t want = std::min<std::size_t>(size, kFmtReadBytes);
    const auto got = static_cast<std::size_t>(read_bytes(in, body, static_cast<std::streamsize>(want)));
    if (got < kFmtBasicBytes) {
        report("Wave header cut short: ", filename);
        return false;
    }
    WaveFormat fmt;
    fmt.code = le16(body);
    fmt.bits = le16(body + 14);
    fmt.has_subformat = fmt.code == kFormatExtensible && got >= kFmtSubformatEnd;
    if (fmt.has_subformat) fmt.subformat = le16(body + 24);
    if (!format_supported(fmt)) {
        report_unsupported(fmt, filename);
        return false;
    }
    hdr.channels = le16(body + 2);
    hdr.srate = static_cast<std::int32_t>(le32(body + 4));
    skip_forward(in, padded(size) - want);
    return true;
}

// A tag read from the file, as text for a message: printable ASCII as it is,
// any other byte as \xhh, so that the bytes of an arbitrary file can neither
// break the message line nor reach the terminal as control codes.
std::string printable_tag(const char (&tag)[5]) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 4 && tag[i] != '\0'; ++i) {
        const auto b = static_cast<unsigned char>(tag[i]);
        if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += "\\x";
            text += hex[b >> 4];
            text += hex[b & 0xF];
        }
    }
    return text;
}

// Checks the "RIFF" and "WAVE" tags at the start of the file.
bool read_riff_wave(std::istream& in) {
    char tag[5];
    read_tag(in, tag);
    if (std::strcmp(tag, "RIFF") != 0) {
        report("Not a RIFF (WAVE) file: found ", printable_tag(tag).c_str());
        return false;
    }
    unsigned char riff_size[4];
    read_bytes(in, riff_size, 4);  // the RIFF size is often wrong; chunks are walked instead
    read_tag(in, tag);
    if (std::strcmp(tag, "WAVE") != 0) {
        report("RIFF file but not a wave file: found ", printable_tag(tag).c_str());
        return false;
    }
    return true;
}

// Walks the chunks after the "WAVE" tag: takes the first "fmt " chunk, skips
// any other chunk by its (padded) size, and stops at the "data" chunk with the
// stream at its first sample. The walk only moves forward, so it ends at the
// end of the file at the latest. Returns false after a message on failure.
bool find_header(std::istream& in, const char* filename, WaveHeader& hdr) {
    bool have_fmt = false;
    for (;;) {
        unsigned char chunk[8];
        const std::streamsize got = read_bytes(in, chunk, 8);
        if (got == 0) {
            report(have_fmt ? "No data chunk in wave file: " : "No fmt chunk in wave file: ",
                   filename);
            return false;
        }
        if (got < 8) {
            report("Wave header cut short: ", filename);
            return false;
        }
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_fmt) {
                report("No fmt chunk in wave file: ", filename);
                return false;
            }
            hdr.data_size = static_cast<std::int32_t>(size);
            return true;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !have_fmt) {
            if (!read_format_chunk(in, size, filename, hdr)) return false;
            have_fmt = true;
        } else {
            skip_forward(in, padded(size));
        }
    }
}

// Converts n 16-bit samples to doubles scaled by 1/32768 and appends them.
void append_pcm16(const unsigned char* bytes, std::streamsize n, bool big_endian,
                  std::vector<double>& out) {
    for (std::streamsize i = 0; i < n; ++i) {
        unsigned char pair[2] = {bytes[2 * i], bytes[2 * i + 1]};
        if (big_endian) swap_2bytes(pair);
        const auto value = static_cast<std::int16_t>(le16(pair));
        out.push_back(static_cast<double>(value) * kPcm16Scale);
    }
}

// Reads up to count samples in blocks; returns the number appended, which is
// below count when the file ends first. Memory grows only with the samples
// actually present, whatever the data size claims.
int read_pcm16(std::istream& in, int count, bool big_endian, std::vector<double>& out) {
    std::vector<unsigned char> block(static_cast<std::size_t>(kSampleBlockBytes));
    std::int64_t remaining = std::int64_t{2} * count;
    while (remaining > 0) {
        const std::streamsize want = std::min<std::int64_t>(remaining, kSampleBlockBytes);
        const std::streamsize got = read_bytes(in, block.data(), want);
        append_pcm16(block.data(), got / 2, big_endian, out);
        remaining -= got;
        if (got < want) break;
    }
    return static_cast<int>(out.size());
}

// ---------------------------------------------------------------------------
// Float32 matrices

constexpr std::streamsize kRowBlockBytes = 1 << 16;

// Positions the stream after the header and returns how many whole rows of
// dim floats follow it, from the file length measured in 64 bits (at most
// INT_MAX). A stream whose length cannot be measured is read up to its end.
std::int64_t locate_rows(std::istream& in, std::int64_t offset, int dim) {
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    if (length < 0) {
        in.clear();
        in.ignore(static_cast<std::streamsize>(offset));
        return INT_MAX;
    }
    in.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (length <= offset) return 0;
    return std::min<std::int64_t>((length - offset) / 4 / dim, INT_MAX);
}

void append_float_rows(const unsigned char* bytes, std::int64_t nrows, int dim, bool byteswap,
                       Matrix& data) {
    std::vector<double> row(static_cast<std::size_t>(dim), 0.0);
    for (std::int64_t r = 0; r < nrows; ++r) {
        for (int c = 0; c < dim; ++c) {
            float value;
            std::memcpy(&value, bytes + 4 * (r * dim + c), 4);
            if (byteswap) swap_4bytes(&value);
            row[static_cast<std::size_t>(c)] = static_cast<double>(value);
        }
        data.push_back(row);
    }
}

// Reads up to nrows rows, a block of whole rows at a time; stops early when
// the file comes up short. Returns the number of rows appended.
std::int64_t read_float_rows(std::istream& in, std::int64_t nrows, int dim, bool byteswap,
                             Matrix& data) {
    const std::int64_t rowbytes = std::int64_t{4} * dim;
    const std::int64_t per_block = std::max<std::int64_t>(1, kRowBlockBytes / rowbytes);
    std::vector<unsigned char> block;
    std::int64_t done = 0;
    while (done < nrows) {
        const std::int64_t want = std::min(per_block, nrows - done);
        block.resize(static_cast<std::size_t>(want * rowbytes));
        const std::int64_t whole = read_bytes(in, block.data(), want * rowbytes) / rowbytes;
        append_float_rows(block.data(), whole, dim, byteswap, data);
        done += whole;
        if (whole < want) break;
    }
    return done;
}

// ---------------------------------------------------------------------------
// SNR map and soft mask

// True when each of the first nrows rows of m holds at least ncols values;
// otherwise reports the first short row.
bool rows_cover(const Matrix& m, const char* what, std::size_t nrows, std::size_t ncols,
                const char* caller) {
    for (std::size_t j = 0; j < nrows; ++j) {
        if (m[j].size() < ncols) {
            std::cerr << caller << ": row " << j << " of the " << what << " matrix has "
                      << m[j].size() << " values, fewer than " << ncols << std::endl;
            return false;
        }
    }
    return true;
}

bool snrmap_inputs_valid(const Matrix& mixture, const Matrix& noise) {
    const char* caller = "SNR map refused";
    if (mixture.empty()) {
        std::cerr << caller << ": the mixture matrix has no rows" << std::endl;
        return false;
    }
    const std::size_t nrows = mixture.size(), ncols = mixture[0].size();
    if (noise.size() < nrows) {
        std::cerr << caller << ": the noise matrix has " << noise.size()
                  << " rows, fewer than the mixture's " << nrows << std::endl;
        return false;
    }
    return rows_cover(mixture, "mixture", nrows, ncols, caller) &&
           rows_cover(noise, "noise", nrows, ncols, caller);
}

// Local SNR in dB of one unit from the log levels of mixture and noise. The
// difference of the powers is rounded to single precision and clamped at 0.
double snr_cell(double mixture_log, double noise_log) {
    const double m = std::pow(10.0, mixture_log);
    const double n = std::pow(10.0, noise_log);
    const auto d = static_cast<float>(m - n);
    const double clamped = d < 0.0f ? 0.0 : static_cast<double>(d);
    const double g = std::log10(clamped);
    return 20.0 * (g - noise_log);
}

}  // namespace

// ---------------------------------------------------------------------------

namespace {

// Opens filename and walks its header up to the first sample. Returns -1 when
// the file cannot be opened, 0 when it is refused (after a message), and 1
// with hdr filled, the rate and channel count stored in wav, and the stream
// at the first sample.
int open_wave(std::ifstream& in, const char* filename, WaveHeader& hdr, AudioWav& wav) {
    in.open(filename, std::ios::binary);
    if (!in.is_open()) {
        report("Unable to open wave file: ", filename);
        return -1;
    }
    if (!read_riff_wave(in) || !find_header(in, filename, hdr)) return 0;
    wav.srate = hdr.srate;
    wav.nchannels = hdr.channels;
    return 1;
}

}  // namespace

int AudioWav::read_header(const char* filename) {
    std::ifstream in;
    WaveHeader hdr;
    return open_wave(in, filename, hdr, *this);
}

int AudioWav::read(const char* filename, char byteorder) {
    failed_silently = false;
    std::ifstream in;
    WaveHeader hdr;
    const int opened = open_wave(in, filename, hdr, *this);
    if (opened <= 0) return opened;
    samples.clear();
    const int count = hdr.data_size / (kSampleBits / 8);
    if (count <= 0) {
        failed_silently = true;
        return 0;
    }
    const int stored = read_pcm16(in, count, byteorder == 'b', samples);
    if (stored < count)
        std::cerr << "Unable to read " << count << " samples: read " << stored << std::endl;
    return stored;
}

void swap_2bytes(void* value) {
    auto* b = static_cast<unsigned char*>(value);
    std::swap(b[0], b[1]);
}

void swap_4bytes(float* value) {
    auto* b = reinterpret_cast<unsigned char*>(value);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
}

int read_float32(Matrix& data, const char* filename, int dim, int offset, bool byteswap) {
    if (dim < 1 || offset < 0) {
        std::cerr << "Invalid float32 matrix layout (dim " << dim << ", offset " << offset
                  << "): " << filename << std::endl;
        return -2;
    }
    std::ifstream in(filename, std::ios::binary);
    if (!in.is_open()) {
        report("Unable to open wave file: ", filename);
        return -1;
    }
    const std::int64_t nrows = locate_rows(in, offset, dim);
    data.clear();
    return static_cast<int>(read_float_rows(in, nrows, dim, byteswap, data));
}

void compute_snrmap_log(Matrix& snrmap, const Matrix& mixture, const Matrix& noise) {
    snrmap.clear();
    if (!snrmap_inputs_valid(mixture, noise)) return;
    const std::size_t ncols = mixture[0].size();
    std::vector<double> row(ncols, 0.0);
    for (std::size_t j = 0; j < mixture.size(); ++j) {
        for (std::size_t k = 0; k < ncols; ++k) row[k] = snr_cell(mixture[j][k], noise[j][k]);
        snrmap.push_back(row);
    }
}

void compute_softmask_sigmoid(Matrix& softmask, const Matrix& snrmap, float centre, float slope) {
    softmask.clear();
    if (snrmap.empty()) {
        std::cerr << "Soft mask refused: the SNR map has no rows" << std::endl;
        return;
    }
    const std::size_t ncols = snrmap[0].size();
    if (!rows_cover(snrmap, "SNR map", snrmap.size(), ncols, "Soft mask refused")) return;
    const double c = static_cast<double>(centre);
    const double negslope = static_cast<double>(-slope);
    std::vector<double> row(ncols, 0.0);
    for (const auto& snr : snrmap) {
        for (std::size_t k = 0; k < ncols; ++k) {
            const double t = (snr[k] - c) * negslope;
            row[k] = 1.0 / (std::exp(t) + 1.0);
        }
        softmask.push_back(row);
    }
}

namespace {

// Prints count values, sixteen a line after a leading newline, each formatted
// by set_format on std::cout just before it is written.
template <typename T, typename SetFormat>
void print_values(const T* values, int count, SetFormat set_format) {
    if (count <= 0) {
        std::cout << std::endl;
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (i % 16 == 0) std::cout << std::endl;
        set_format();
        std::cout << values[i];
    }
    std::cout << std::endl;
}

}  // namespace

// The format flags are set within their fields (adjustment, float notation),
// so that flags a caller left on std::cout cannot combine with them into a
// different layout; all flags stay in force after the call.
void print_vector(const double* values, int count) {
    print_values(values, count, [] {
        std::cout.setf(std::ios::left, std::ios::adjustfield);
        std::cout.setf(std::ios::fixed, std::ios::floatfield);
        std::cout.precision(2);
        std::cout.width(8);
    });
}

void print_vector(const int* values, int count) {
    print_values(values, count, [] {
        std::cout.setf(std::ios::left, std::ios::adjustfield);
        std::cout.width(5);
    });
}
