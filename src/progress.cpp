#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// Returns the cursor to the line's start, and erases to the line's end.
constexpr const char* kLineStart = "\r";
constexpr const char* kEraseToEnd = "\033[K";

}  // namespace

ProgressLine::ProgressLine(bool enabled, int fd, std::int64_t total, int srate)
    : enabled_(enabled), fd_(fd), total_(total), srate_(srate), start_(Clock::now()) {}

ProgressLine::~ProgressLine() { clear(); }

std::string ProgressLine::text(std::int64_t done, std::int64_t total, int srate, double elapsed) {
    char line[128];
    const double seconds = static_cast<double>(done) / srate;
    if (total > 0) {
        const double share = std::min(100.0, 100.0 * static_cast<double>(done) / total);
        std::snprintf(line, sizeof line, "corlune: %3.0f %% of %.1f s of audio, %.1f s elapsed",
                      share, static_cast<double>(total) / srate, elapsed);
    } else {
        std::snprintf(line, sizeof line, "corlune: %.1f s of audio, %.1f s elapsed", seconds,
                      elapsed);
    }
    return line;
}

void ProgressLine::update(std::int64_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (shown_ && now - drawn_ < kInterval) return;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    put(std::string(kLineStart) + text(done, total_, srate_, elapsed) + kEraseToEnd);
    drawn_ = now;
    shown_ = true;
}

void ProgressLine::clear() {
    if (!shown_) return;
    put(std::string(kLineStart) + kEraseToEnd);
    shown_ = false;
}

void ProgressLine::put(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a terminal that takes no more shows no progress
        done += static_cast<std::size_t>(n);
    }
}
