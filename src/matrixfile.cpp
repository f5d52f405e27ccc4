#include "matrixfile.h"

#include <cstring>
#include <iostream>

namespace {

// Bytes buffered before they go to the stream.
constexpr size_t kFlushBytes = 1 << 16;

// Writes the width low bytes of bits to out, least significant first.
inline void encode_le(unsigned char* out, uint32_t bits, int width) {
    for (int b = 0; b < width; ++b) out[b] = static_cast<unsigned char>((bits >> (8 * b)) & 0xFFu);
}

}  // namespace

MatrixFile::MatrixFile(const char* path, const char* openFailure)
    : out_(path, std::ios::binary | std::ios::trunc), path_(path) {
    open_ = static_cast<bool>(out_);
    if (!open_) std::cerr << openFailure << path_ << std::endl;
}

void MatrixFile::put_int16(const int* values, size_t n) {
    unsigned char* out = room(n, 2);
    for (size_t i = 0; out && i < n; ++i)
        encode_le(out + 2 * i, static_cast<unsigned>(values[i]) & 0xFFFFu, 2);
}

void MatrixFile::put_int32(const int32_t* values, size_t n) {
    unsigned char* out = room(n, 4);
    for (size_t i = 0; out && i < n; ++i) encode_le(out + 4 * i, static_cast<uint32_t>(values[i]), 4);
}

void MatrixFile::put_float32(const double* values, size_t n) {
    unsigned char* out = room(n, 4);
    for (size_t i = 0; out && i < n; ++i) {
        const float f = static_cast<float>(values[i]);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        encode_le(out + 4 * i, bits, 4);
    }
}

unsigned char* MatrixFile::room(size_t n, size_t width) {
    if (!open_) return nullptr;
    if (buffer_.size() >= kFlushBytes) flush();
    const size_t at = buffer_.size();
    buffer_.resize(at + n * width);
    return buffer_.data() + at;
}

void MatrixFile::flush() {
    out_.write(reinterpret_cast<const char*>(buffer_.data()),
               static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
}

bool MatrixFile::close() {
    if (!open_) return false;
    flush();
    out_.close();
    open_ = false;
    if (out_.fail()) {
        std::cerr << kWriteFailure << path_ << std::endl;
        return false;
    }
    return true;
}

bool write_int16_matrix(const char* path, const IntMatrix& m) {
    MatrixFile out(path);
    for (const auto& row : m) out.put_int16(row.data(), row.size());
    return out.close();
}

bool write_float32_matrix(const char* path, const Matrix& m) {
    MatrixFile out(path);
    for (const auto& row : m) out.put_float32(row.data(), row.size());
    return out.close();
}
