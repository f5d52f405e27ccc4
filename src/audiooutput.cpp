#include "audiooutput.h"

#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

AudioOutput::~AudioOutput() {
    if (file_) sf_close(file_);
}

bool AudioOutput::fail(const std::string& why) {
    error_ = why + ": " + path_;
    return false;
}

bool AudioOutput::open(const char* path, int srate) {
    path_ = path;
    written_ = 0;
    SF_INFO info{};
    info.samplerate = srate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_ = sf_open(path, SFM_WRITE, &info);
    if (!file_) return fail(std::string("Unable to create WAV file (") + sf_strerror(nullptr) + ")");
    // The peak chunk would carry the time of writing; without it the bytes
    // depend on the samples alone.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return true;
}

bool AudioOutput::write(const double* x, std::size_t n) {
    if (!file_) return fail("WAV file not open");
    buffer_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) {
            std::ostringstream why;
            why << "sample " << written_ + static_cast<std::int64_t>(i) << " is " << x[i]
                << ", not a finite value";
            errno = EDOM;
            return fail(why.str());
        }
        buffer_[i] = static_cast<float>(x[i]);
    }
    if (written_ + static_cast<std::int64_t>(n) > kMaxSamples) {
        errno = EFBIG;
        return fail("more samples than a WAV file holds");
    }
    errno = 0;
    const sf_count_t put = sf_write_float(file_, buffer_.data(), static_cast<sf_count_t>(n));
    if (put != static_cast<sf_count_t>(n)) {
        const int err = errno;
        const std::string why = sf_strerror(file_);
        errno = err;
        return fail("Unable to write WAV file (" + why + ")");
    }
    written_ += put;
    return true;
}

bool AudioOutput::close() {
    if (!file_) return fail("WAV file not open");
    errno = 0;
    const int failed = sf_error(file_);
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (failed != SF_ERR_NO_ERROR || closed != 0)
        return fail(std::string("Unable to complete WAV file (") + sf_error_number(failed ? failed : closed) + ")");
    return true;
}
