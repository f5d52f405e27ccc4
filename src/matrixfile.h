// Writing of corlune's binary matrix files: the result files (headerless,
// row-major int16 or float32 matrices) and the autocorrelogram file (an int32
// header, then float32 values). Every value is written little-endian,
// whatever the host. A MatrixFile is the one place that opens such a file,
// writes it, checks every write and the close, and reports a failure as one
// line on standard error naming the path.
//
//     MatrixFile out(path);          // opens and truncates; "Unable to open file: P"
//     out.put_int32(header, 3);
//     out.put_float32(row, n);       // each double rounded to float32
//     if (!out.close()) ...          // "Unable to write file: P" was printed
//
//     write_int16_matrix(path, labels);  // a whole result table: open, write, close
//     write_float32_matrix(path, mask);
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "matrix.h"

class MatrixFile {
public:
    static constexpr const char* kOpenFailure = "Unable to open file: ";
    static constexpr const char* kWriteFailure = "Unable to write file: ";

    // Opens path for writing, truncating an existing file. When it cannot be
    // opened, prints openFailure followed by the path, and is_open() is false.
    explicit MatrixFile(const char* path, const char* openFailure = kOpenFailure);
    MatrixFile(const MatrixFile&) = delete;
    MatrixFile& operator=(const MatrixFile&) = delete;

    bool is_open() const { return open_; }

    // Appends n values: the low 16 bits of each int, each int32, or each
    // double rounded to float32. Nothing is written to a file that is not open.
    void put_int16(const int* values, size_t n);
    void put_int32(const int32_t* values, size_t n);
    void put_float32(const double* values, size_t n);

    // Writes what is buffered and closes the file. Returns false, after one
    // line "Unable to write file: P", when a write or the close failed (the
    // file would be short); also false when the file was never open. A file
    // destroyed without close() is closed unchecked.
    bool close();

private:
    // Room for n values of width bytes at the end of the buffer; null when
    // the file is not open.
    unsigned char* room(size_t n, size_t width);
    void flush();

    std::ofstream out_;
    std::string path_;
    std::vector<unsigned char> buffer_;
    bool open_ = false;
};

// A whole table as a headerless row-major file of int16 (the low 16 bits of
// each value) or float32 values, row after row. False after one line on
// standard error when the file cannot be opened, written or closed.
bool write_int16_matrix(const char* path, const IntMatrix& m);
bool write_float32_matrix(const char* path, const Matrix& m);
