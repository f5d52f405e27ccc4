#include "publisher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

namespace {

// The working directory OUTDIR/.NAME.corlune holds temporaries named
// tmp<suffix>.XXXXXX, second links of earlier results named old<suffix>.XXXXXX
// (X: a letter or digit) and the lock file.
constexpr const char* kWorkDirectoryTag = ".corlune";
constexpr const char* kTemporaryKind = "tmp";
constexpr const char* kEarlierKind = "old";
constexpr const char* kLockName = "lock";
constexpr std::size_t kRandomChars = 6;
constexpr const char* kRandomAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kCreateAttempts = 100;
// New files get 0666 less the umask, as files made by open() or a shell do.
constexpr mode_t kFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
// A run waiting this long for another run's lock says so, once.
constexpr auto kLockNoticeAfter = std::chrono::seconds(1);
constexpr auto kLockPoll = std::chrono::milliseconds(10);
constexpr std::size_t kReadBlock = 1 << 16;  // bytes read at a time for the checksum

// The record's first line; the placeholder's second line.
constexpr const char* kRecordHeader = "corlune result record 1\n";
constexpr const char* kPlaceholderLine = "publishing\n";

const int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
const char* const kSignalNames[] = {"SIGINT", "SIGTERM", "SIGHUP"};

ResultPublisher::Hook g_hook = nullptr;

void step(ResultPublisher::Step s, const std::string& path) {
    if (g_hook) g_hook(s, path.c_str());
}

// ---------------------------------------------------------------------------
// Signal handling. The handler reads only these; they change only while the
// handled signals are blocked.

const char* const* g_armed = nullptr;  // temporaries to remove (nullptr entries: gone)
std::size_t g_narmed = 0;
const char* g_workdir = "";     // removed when nothing else is left in it
const char* g_prefix = "";      // OUTDIR/NAME, for the handler's line
const char* g_lineStart = "";   // written before the handler's line
volatile sig_atomic_t g_published = 0;

// Appends text to buf (capacity cap) as far as it fits; async-signal-safe.
void append(char* buf, std::size_t cap, std::size_t& n, const char* text) {
    while (*text && n < cap) buf[n++] = *text++;
}

extern "C" void remove_temporaries_and_exit(int sig) {
    for (std::size_t i = 0; i < g_narmed; ++i)
        if (g_armed[i]) unlink(g_armed[i]);
    rmdir(g_workdir);
    const char* name = "a signal";
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i)
        if (kHandledSignals[i] == sig) name = kSignalNames[i];
    char line[4096];
    std::size_t n = 0;
    append(line, sizeof line - 1, n, g_lineStart);
    append(line, sizeof line - 1, n, "Interrupted by ");
    append(line, sizeof line - 1, n, name);
    append(line, sizeof line - 1, n, g_published ? " after publishing: " : "; nothing published: ");
    append(line, sizeof line - 1, n, g_prefix);
    line[n++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, n);
    (void)ignored;
    _exit(128 + sig);
}

// Holds back the handled signals for its lifetime; a signal that arrives
// meanwhile is delivered when it ends.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kHandledSignals) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t old_;
};

// ---------------------------------------------------------------------------
// Files

std::string reason(int err) { return err ? std::strerror(err) : "no reason given"; }

// True when fd is the file that path names now.
bool same_file(int fd, const std::string& path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Size and CRC-32 of the whole file behind fd, read from its start.
bool checksum(int fd, std::uint64_t& size, std::uint32_t& crc) {
    std::vector<unsigned char> buf(kReadBlock);
    uLong c = crc32(0L, Z_NULL, 0);
    size = 0;
    for (;;) {
        const ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        c = crc32(c, buf.data(), static_cast<uInt>(n));
        size += static_cast<std::uint64_t>(n);
    }
    crc = static_cast<std::uint32_t>(c);
    return true;
}

bool sync_directory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

std::string random_chars() {
    static std::mt19937 gen{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, std::strlen(kRandomAlphabet) - 1);
    std::string s;
    for (std::size_t i = 0; i < kRandomChars; ++i) s += kRandomAlphabet[pick(gen)];
    return s;
}

// Removes the file at path if no live run holds its lock. A run holds the
// lock of each of its files from just after creating it until it is renamed
// or removed, so a free lock on a file still at path means its run is gone.
void remove_if_stale(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        same_file(fd, path))
        unlink(path.c_str());
    close(fd);
}

// An exclusive flock on a lock file that the holder removes on release, so
// that no lock file stays behind. A waiter that gets the lock of a file
// already removed tries again with the file now at the path.
class FileLock {
public:
    ~FileLock() { release(); }

    // Takes the lock; after waiting kLockNoticeAfter, calls notice(waiting) once.
    bool acquire(const std::string& path, const ResultPublisher::Notice& notice,
                 const std::string& waiting) {
        bool told = false;
        for (;;) {
            const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
            if (fd < 0) return false;
            if (!wait_for(fd, notice, waiting, told)) {
                const int err = errno;
                close(fd);
                errno = err;
                return false;
            }
            if (same_file(fd, path)) {
                fd_ = fd;
                path_ = path;
                return true;
            }
            close(fd);
        }
    }

    void release() {
        if (fd_ < 0) return;
        unlink(path_.c_str());
        close(fd_);
        fd_ = -1;
    }

private:
    static bool wait_for(int fd, const ResultPublisher::Notice& notice, const std::string& waiting,
                         bool& told) {
        const auto start = std::chrono::steady_clock::now();
        while (!told && std::chrono::steady_clock::now() - start < kLockNoticeAfter) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) return false;
            std::this_thread::sleep_for(kLockPoll);
        }
        if (!told && notice) notice(waiting);
        told = true;
        while (flock(fd, LOCK_EX) != 0)
            if (errno != EINTR) return false;
        return true;
    }

    int fd_ = -1;
    std::string path_;
};

// Takes in what a writer prints on standard error while it runs: the
// publisher reports a failure itself, once, under the result's own path.
class TakenStderr {
public:
    TakenStderr() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~TakenStderr() { std::cerr.rdbuf(old_); }
    TakenStderr(const TakenStderr&) = delete;
    TakenStderr& operator=(const TakenStderr&) = delete;

private:
    std::ostringstream text_;
    std::streambuf* old_;
};

}  // namespace

// ---------------------------------------------------------------------------

void ResultPublisher::set_hook(Hook hook) { g_hook = hook; }

void ResultPublisher::set_signal_line_start(const char* text) { g_lineStart = text ? text : ""; }

ResultPublisher::ResultPublisher(std::string outdir, std::string name, bool sync)
    : outdir_(std::move(outdir)),
      name_(std::move(name)),
      prefix_(outdir_ + name_),
      workdir_(outdir_ + "." + name_ + kWorkDirectoryTag + "/"),
      sync_(sync) {}

ResultPublisher::~ResultPublisher() {
    remove_temporaries();
    rmdir(workdir_.c_str());  // fails, as it should, while another run uses it
    restore_handlers();
}

bool ResultPublisher::fail(const std::string& what, int err, const std::string& path) {
    return fail(what, reason(err), path);
}

bool ResultPublisher::fail(const std::string& what, const std::string& why, const std::string& path) {
    error_ = what + " (" + why + "): " + path;
    remove_temporaries();
    return false;
}

void ResultPublisher::install_handlers() {
    g_prefix = prefix_.c_str();
    g_workdir = workdir_.c_str();
    g_published = 0;
    struct sigaction act {};
    act.sa_handler = remove_temporaries_and_exit;
    sigfillset(&act.sa_mask);
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (sigaction(kHandledSignals[i], nullptr, &saved_[i]) != 0 || saved_[i].sa_handler == SIG_IGN)
            continue;
        installed_[i] = sigaction(kHandledSignals[i], &act, nullptr) == 0;
    }
}

void ResultPublisher::restore_handlers() {
    {
        HeldSignals held;
        g_armed = nullptr;
        g_narmed = 0;
        g_workdir = "";
        g_prefix = "";
    }
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        if (installed_[i]) sigaction(kHandledSignals[i], &saved_[i], nullptr);
        installed_[i] = false;
    }
}

void ResultPublisher::arm(const Temporary& temp) {
    HeldSignals held;
    armed_.push_back(temp.path.c_str());
    g_armed = armed_.data();
    g_narmed = armed_.size();
}

// Closes a file of this run, removing it unless it was renamed.
void ResultPublisher::discard(Temporary& temp, bool remove) {
    if (temp.fd < 0) return;
    HeldSignals held;
    if (remove) unlink(temp.path.c_str());
    for (const char*& p : armed_)
        if (p == temp.path.c_str()) p = nullptr;
    close(temp.fd);
    temp.fd = -1;
}

void ResultPublisher::remove_temporaries() {
    for (ResultFile& f : files_) discard(f.temp, true);
    discard(record_, true);
    discard(placeholder_, true);
}

// The working directory, created as accessible as OUTDIR itself, so that
// whoever may write results there may work there too.
bool ResultPublisher::make_work_directory() {
    if (mkdir(workdir_.c_str(), 0700) != 0) return errno == EEXIST;
    struct stat st;
    if (stat(outdir_.c_str(), &st) == 0) chmod(workdir_.c_str(), st.st_mode & kPermissionBits);
    return true;
}

void ResultPublisher::remove_stale_files() {
    DIR* dir = opendir(workdir_.c_str());
    if (!dir) return;
    std::vector<std::string> found;
    while (const dirent* e = readdir(dir)) {
        const std::string entry = e->d_name;
        if (entry != "." && entry != ".." && entry != kLockName) found.push_back(workdir_ + entry);
    }
    closedir(dir);
    for (const std::string& path : found) remove_if_stale(path);
}

// Creates a new empty file of kind for suffix exclusively and takes its
// lock. Another run may remove the working directory, or sweep the file as
// stale between its creation and the lock; then it is made anew. Signals
// wait from the file's creation until it is armed, so that the handler
// removes every file this run made.
bool ResultPublisher::create_temporary(const std::string& kind, const std::string& suffix,
                                       Temporary& temp) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        HeldSignals held;
        const std::string path = workdir_ + kind + suffix + "." + random_chars();
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd < 0 && errno == ENOENT && make_work_directory()) continue;
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        if (flock(fd, LOCK_EX) != 0) {
            const int err = errno;  // a file system without locks
            unlink(path.c_str());
            close(fd);
            errno = err;
            return false;
        }
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_nlink > 0) {
            temp.path = path;
            temp.fd = fd;
            arm(temp);
            return true;
        }
        close(fd);
    }
    errno = EEXIST;
    return false;
}

bool ResultPublisher::fill_temporary(const std::string& text, Temporary& temp) {
    const std::string record = result_path(kRecordSuffix);
    if (!create_temporary(kTemporaryKind, kRecordSuffix, temp))
        return fail("Unable to write to directory", errno, workdir_);
    if (!write_all(temp.fd, text) || (sync_ && fsync(temp.fd) != 0))
        return fail("Unable to write file", errno, record);
    return true;
}

bool ResultPublisher::check_not_directory(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail("Unable to replace file", EISDIR, path);
    return true;
}

bool ResultPublisher::prepare(const std::vector<std::string>& suffixes) {
    install_handlers();
    for (const std::string& s : suffixes)
        if (!check_not_directory(result_path(s))) return false;
    if (!check_not_directory(result_path(kRecordSuffix))) return false;
    if (!make_work_directory()) return fail("Unable to write to directory", errno, outdir_);
    remove_stale_files();
    // The handler reads armed_ in place: room for every temporary up front.
    armed_.reserve(suffixes.size() + 2);
    files_.resize(suffixes.size());
    for (std::size_t i = 0; i < suffixes.size(); ++i) {
        files_[i].suffix = suffixes[i];
        if (!create_temporary(kTemporaryKind, suffixes[i], files_[i].temp))
            return fail("Unable to write to directory", errno, workdir_);
    }
    return true;
}

bool ResultPublisher::write(std::size_t index, const Writer& writer) {
    return write_together({index}, [&](const std::vector<const char*>& paths, std::size_t&) {
        return writer(paths[0]);
    });
}

bool ResultPublisher::write_together(const std::vector<std::size_t>& indices,
                                     const JointWriter& writer) {
    std::vector<const char*> temps;
    for (std::size_t index : indices) {
        const ResultFile& f = files_.at(index);
        step(Step::Write, f.temp.path);
        temps.push_back(f.temp.path.c_str());
    }
    bool ok;
    int err;
    std::size_t failed = 0;
    {
        TakenStderr taken;
        errno = 0;
        ok = writer(temps, failed);
        err = errno;
    }
    if (!ok) return fail("Unable to write file", err, result_path(files_.at(indices.at(failed)).suffix));
    for (std::size_t index : indices)
        if (!checksum_written(files_.at(index))) return false;
    return true;
}

// Checks that a temporary just written is still this run's, then takes its
// size and CRC-32 (and flushes it to disk with sync).
bool ResultPublisher::checksum_written(ResultFile& f) {
    const std::string path = result_path(f.suffix);
    if (!same_file(f.temp.fd, f.temp.path))
        return fail("Unable to write file", "its temporary was replaced while written", path);
    if (!checksum(f.temp.fd, f.size, f.crc)) return fail("Unable to read back file", errno, path);
    if (sync_ && fsync(f.temp.fd) != 0) return fail("Unable to flush file to disk", errno, path);
    f.written = true;
    return true;
}

// The record: a header line, one line per result file (suffix, size in
// bytes, CRC-32 as 8 hex digits) in publishing order, and "end".
std::string ResultPublisher::record_text() const {
    std::ostringstream s;
    s << kRecordHeader;
    char crc[9];
    for (const ResultFile& f : files_) {
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(f.crc));
        s << f.suffix << ' ' << f.size << ' ' << crc << '\n';
    }
    s << "end\n";
    return s.str();
}

bool ResultPublisher::rename_into_place(Temporary& temp, const std::string& path) {
    step(Step::Rename, path);
    if (rename(temp.path.c_str(), path.c_str()) != 0) return fail("Unable to replace file", errno, path);
    discard(temp, false);
    return true;
}

// Keeps a second link to the file at path, locked like a temporary, so that
// a failed publishing can put it back. Best effort: where none can be made
// (a file system without links, a symbolic link) the file is replaced
// without one.
ResultPublisher::Undo ResultPublisher::keep_earlier(const std::string& path, const std::string& suffix) {
    Undo undo{path, {}, true};
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        undo.existed = false;
        return undo;
    }
    const std::string link_path = workdir_ + kEarlierKind + suffix + "." + random_chars();
    if (link(path.c_str(), link_path.c_str()) != 0) return undo;
    const int fd = open(link_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX) == 0) {
        undo.earlier = {link_path, fd};
        return undo;
    }
    unlink(link_path.c_str());
    if (fd >= 0) close(fd);
    return undo;
}

// Undoes the renames of a publishing that failed part-way, last first:
// earlier files go back in place, files that did not exist go away.
void ResultPublisher::roll_back(std::vector<Undo>& done) {
    for (auto u = done.rbegin(); u != done.rend(); ++u) {
        if (u->earlier.fd >= 0) rename(u->earlier.path.c_str(), u->path.c_str());
        else if (!u->existed) unlink(u->path.c_str());
    }
}

// The renames of a set, with the lock held and the signals held back.
bool ResultPublisher::rename_all() {
    const std::string record = result_path(kRecordSuffix);
    for (const ResultFile& f : files_)
        if (!check_not_directory(result_path(f.suffix))) return false;
    if (!check_not_directory(record)) return false;
    std::vector<Undo> done;
    bool ok = true;
    struct stat st;
    if (lstat(record.c_str(), &st) != 0) {
        // No record yet: the files about to be replaced are either new or
        // from before records existed; a placeholder marks the set as being
        // published until the true record replaces it.
        ok = fill_temporary(std::string(kRecordHeader) + kPlaceholderLine, placeholder_) &&
             rename_into_place(placeholder_, record);
        if (ok) done.push_back({record, {}, false});
    }
    for (ResultFile& f : files_) {
        if (!ok) break;
        done.push_back(keep_earlier(result_path(f.suffix), f.suffix));
        ok = rename_into_place(f.temp, result_path(f.suffix));
    }
    ok = ok && rename_into_place(record_, record);
    if (!ok) roll_back(done);
    for (Undo& u : done) discard(u.earlier, true);  // a second link that was put back is gone already
    if (ok && sync_ && !sync_directory(outdir_))
        return fail("Unable to flush directory to disk", errno, outdir_);
    return ok;
}

bool ResultPublisher::publish(const Notice& notice) {
    for (const ResultFile& f : files_)
        if (!f.written) return fail("Unable to write file", "not written", result_path(f.suffix));
    if (!fill_temporary(record_text(), record_)) return false;
    FileLock lock;
    step(Step::Lock, lock_path());
    if (!lock.acquire(lock_path(), notice, "Waiting for another run to finish publishing " + prefix_))
        return fail("Unable to lock", errno, lock_path());
    HeldSignals held;
    step(Step::Locked, lock_path());
    const bool ok = rename_all();
    if (ok) {
        g_published = 1;
        step(Step::Published, result_path(kRecordSuffix));
    }
    lock.release();  // before a held-back signal ends the run
    rmdir(workdir_.c_str());
    return ok;
}
