// The progress line of a run on a terminal: one line on standard error,
// rewritten in place at most ten times a second, that shows the share of
// the audio analysed (or, when the length is unknown, as on a pipe, the
// seconds of audio analysed) and the time elapsed, and is erased at the
// end. It shows nothing when the descriptor is not a terminal (logs of
// corpus runs stay clean) or when it is disabled (--quiet).
//
//     ProgressLine progress(fd_is_terminal && !quiet, STDERR_FILENO, total, srate);
//     progress.update(done);        // samples analysed so far
//     progress.clear();             // before any other message; also on destruction
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    // Least time between two updates of the line.
    static constexpr std::chrono::milliseconds kInterval{100};

    // Shows progress on fd when enabled; total samples (-1: unknown) at srate Hz.
    ProgressLine(bool enabled, int fd, std::int64_t total, int srate);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return enabled_; }

    // done samples analysed; redraws the line unless it was drawn less than
    // kInterval ago.
    void update(std::int64_t done);
    // Erases the line if it is shown; the next update draws it again.
    void clear();

    // The line's text (without the control characters).
    static std::string text(std::int64_t done, std::int64_t total, int srate, double elapsed);

private:
    void put(const std::string& bytes);

    bool enabled_;
    int fd_;
    std::int64_t total_;
    int srate_;
    Clock::time_point start_;
    Clock::time_point drawn_;
    bool shown_ = false;
};
