// File input/output helpers of corlune: the whole-file audio reader
// (AudioWav), the reader of float32 matrix files, the local SNR map and
// sigmoid soft mask, and the array printer used for diagnostics.
//
// AudioWav reads every format that AudioInput (audioinput.h) reads; the
// remaining functions form a small toolkit for callers that post-process the
// result files. Failures are reported as one line on standard error that
// ends with the file name, and through the int result of the readers.
//
//   AudioWav wav;
//   if (wav.read("utt.flac", 'l') > 0) use(wav.samples, wav.srate, wav.nchannels);
#pragma once

#include <string>
#include <vector>

#include "matrix.h"

// One recorded signal, read whole through AudioInput.
class AudioWav {
public:
    // Interleaved samples of all channels in the program's scale: full scale
    // 1.0, an integer sample of b bits divided by 2^(b-1) (16-bit v / 32768).
    std::vector<double> samples;
    // Sample rate in Hz, as stored in the header.
    int srate = 0;
    // Channel count from the header (0 until a successful header read).
    int nchannels = 0;
    // True when the last read() failed without writing a message of its own
    // (a header that announces no samples), so a caller can say why.
    bool failed_silently = false;

    // Reads filename ("-" for standard input), opening it once. byteorder
    // 'b' takes 16-bit PCM samples as stored in the byte order opposite to
    // the container's (big-endian in a WAV file); any other value reads them
    // as the header says. Returns -1 when the file cannot be opened, 0 when
    // it is refused or holds no samples, otherwise the number of samples
    // stored. Failures before the samples leave every member unchanged; a
    // data chunk shorter than its header claims is read as far as it goes,
    // after a warning line.
    int read(const char* filename, char byteorder);
    // Reads only the header of filename, so that a caller can refuse a file
    // by its format before any sample is read: stores srate and nchannels
    // and returns 1, leaving samples alone; otherwise returns -1 or 0 after
    // the same message as read().
    int read_header(const char* filename);
};

// Exchanges the two bytes of a 16-bit value in place.
void swap_2bytes(void* value);
// Reverses the four bytes of a float in place.
void swap_4bytes(float* value);

// Reads rows of dim float32 values following an offset-byte header into data.
// Returns -1 when the file cannot be opened, -2 when dim < 1 or offset < 0,
// otherwise the number of whole rows read (0 when there is none).
int read_float32(Matrix& data, const char* filename, int dim, int offset, bool byteswap);

// Local SNR in dB from base-10 log levels of the mixture and of the noise.
// Inputs that are empty or ragged are refused with a message and an empty result.
void compute_snrmap_log(Matrix& snrmap, const Matrix& mixture, const Matrix& noise);

// Logistic soft mask 1 / (1 + exp(-slope * (snr - centre))) of an SNR map.
void compute_softmask_sigmoid(Matrix& softmask, const Matrix& snrmap, float centre, float slope);

// Prints count values to standard output, sixteen a line.
void print_vector(const double* values, int count);
void print_vector(const int* values, int count);
