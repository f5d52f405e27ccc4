#include "auxiliary.h"

#include "audioinput.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::streamsize read_bytes(std::istream& in, void* dst, std::streamsize n) {
    in.read(static_cast<char*>(dst), n);
    return in.gcount();
}

// Writes one failure line: text, then the subject (file name), then a flush.
void report(const char* text, const char* subject) {
    std::cerr << text << subject << std::endl;
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
// Whole-file reader

namespace {

// Frames asked for per read while collecting a whole recording.
constexpr std::size_t kReadFrames = 65536;
constexpr std::size_t kMaxSamples = INT_MAX;

void report_input(const AudioInput& in, const char* filename) {
    std::cerr << in.error() << ": " << filename << std::endl;
}

// Opens filename and stores its rate and channel count in wav. Returns -1
// when the file cannot be opened, 0 when its content is refused (after a
// message in both cases), and 1 when the samples can be read.
int open_audio(AudioInput& in, const char* filename, AudioWav& wav) {
    if (!in.open(filename)) {
        report_input(in, filename);
        return in.opening_failed() ? -1 : 0;
    }
    wav.srate = in.format().srate;
    wav.nchannels = in.format().channels;
    return 1;
}

}  // namespace

int AudioWav::read_header(const char* filename) {
    AudioInput in;
    return open_audio(in, filename, *this);
}

int AudioWav::read(const char* filename, char byteorder) {
    failed_silently = false;
    AudioInput in;
    const int opened = open_audio(in, filename, *this);
    if (opened <= 0) return opened;
    samples.clear();
    SignalChoice all = SignalChoice::interleaved();
    all.swap_16bit = byteorder == 'b';
    while (in.read(samples, kReadFrames, all) > 0) {
        if (samples.size() > kMaxSamples) {
            std::cerr << "Recording too long: more than " << kMaxSamples
                      << " samples: " << filename << std::endl;
            samples.clear();
            return 0;
        }
    }
    if (in.failed()) {
        report_input(in, filename);
        samples.clear();
        return 0;
    }
    if (in.claimed_frames() > in.frames_read())
        std::cerr << "Warning: data chunk shorter than its header claims (" << in.claimed_frames()
                  << " samples claimed, " << in.frames_read() << " read): " << filename << std::endl;
    if (samples.empty()) failed_silently = true;
    return static_cast<int>(samples.size());
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
