// Publishing a result set whole or not at all.
//
// The first part drives ResultPublisher with writers of known bytes: stale
// and live temporaries, the record and its placeholder, a rename that fails
// part-way, and the wait for another run's lock. The second part injects
// faults into whole runs of the program, each in a forked child that sets
// the publisher's test hook: a write that fails at each result file in turn,
// a full file system, a kill and each signal at each step, and two runs of
// one name with one stalled. After each, OUTDIR must hold the earlier set
// intact or the new set complete, with nothing else visible, and the Python
// loader must accept exactly those states.
#include "publisher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "corlune_main.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::Bytes;
using testutil::snapshot;
using testutil::Snapshot;
using testutil::TempDir;
using Step = ResultPublisher::Step;
using Files = std::vector<std::pair<std::string, Bytes>>;  // suffix -> bytes, in publishing order

namespace {

const std::string kPlaceholder = "corlune result record 1\npublishing\n";

// What the test hook does; each test (or forked child) sets its own.
std::function<void(Step, const char*)> g_on_step;

void hook(Step s, const char* path) {
    if (g_on_step) g_on_step(s, path);
}

// The action act at the n-th call (from 0) of the hook at step s.
std::function<void(Step, const char*)> at(Step s, int n, std::function<void(const char*)> act) {
    auto seen = std::make_shared<int>(0);
    return [=](Step now, const char* path) {
        if (now == s && (*seen)++ == n) act(path);
    };
}

// The action act at the n-th call of the hook, whatever the step.
std::function<void(Step, const char*)> at_call(int n, std::function<void(const char*)> act) {
    auto seen = std::make_shared<int>(0);
    return [=](Step, const char* path) {
        if ((*seen)++ == n) act(path);
    };
}

std::string dir_of(const TempDir& d) { return d.path().string() + "/"; }

bool hidden(const std::string& name) { return !name.empty() && name[0] == '.'; }

Snapshot visible(const fs::path& dir) {
    Snapshot s = snapshot(dir);
    for (auto it = s.begin(); it != s.end();) it = hidden(it->first) ? s.erase(it) : std::next(it);
    return s;
}

// The files in the working directory of utt (temporaries, second links,
// the lock file); none when it does not exist.
std::vector<std::string> work_files(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::is_directory(dir / ".utt.corlune")) return names;
    for (const auto& [name, bytes] : snapshot(dir / ".utt.corlune")) names.push_back(name);
    return names;
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The record corlune writes for files.
std::string record_of(const Files& files) {
    std::string text = "corlune result record 1\n";
    char line[128];
    for (const auto& [suffix, b] : files) {
        std::snprintf(line, sizeof line, "%s %zu %08lx\n", suffix.c_str(), b.size(),
                      crc32(0L, b.data(), static_cast<uInt>(b.size())));
        text += line;
    }
    return text + "end\n";
}

// The directory content that publishing files as utt gives.
Snapshot published(const Files& files) {
    Snapshot s;
    for (const auto& [suffix, b] : files) s["utt" + suffix] = b;
    s["utt.record"] = bytes_of(record_of(files));
    return s;
}

// Fills its path with bytes, as the result writers do.
ResultPublisher::Writer bytes_writer(const Bytes& bytes) {
    return [bytes](const char* path) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        f.close();
        return !f.fail();
    };
}

std::vector<std::string> suffixes(const Files& files) {
    std::vector<std::string> s;
    for (const auto& f : files) s.push_back(f.first);
    return s;
}

bool write_all(ResultPublisher& pub, const Files& files) {
    for (size_t i = 0; i < files.size(); ++i)
        if (!pub.write(i, bytes_writer(files[i].second))) return false;
    return true;
}

// Publishes files as utt in dir; returns "" or the error.
std::string publish(const TempDir& dir, const Files& files, const ResultPublisher::Notice& notice = {}) {
    ResultPublisher pub(dir_of(dir), "utt", false);
    const bool ok = pub.prepare(suffixes(files)) && write_all(pub, files) && pub.publish(notice);
    return ok ? "" : pub.error();
}

const Files kFirst = {{".a", Bytes(100, 1)}, {".b", Bytes(3000, 2)}, {".c", {}}};
const Files kSecond = {{".a", Bytes(100, 9)}, {".b", Bytes(70000, 8)}, {".c", Bytes(1, 7)}};

class Publisher : public ::testing::Test {
protected:
    void SetUp() override { ResultPublisher::set_hook(hook); }
    void TearDown() override {
        ResultPublisher::set_hook(nullptr);
        g_on_step = nullptr;
    }
};

}  // namespace

TEST_F(Publisher, PublishesEachFileAndTheirRecordAndLeavesNothingElse) {
    const mode_t umask_now = umask(0);
    umask(umask_now);
    for (const bool sync : {false, true}) {
        TempDir dir;
        ResultPublisher pub(dir_of(dir), "utt", sync);
        ASSERT_TRUE(pub.prepare(suffixes(kFirst))) << pub.error();
        // Before any analysis: one hidden temporary per file, nothing visible.
        EXPECT_EQ(work_files(dir.path()).size(), kFirst.size());
        EXPECT_TRUE(visible(dir.path()).empty());
        struct stat outdir, workdir;
        ASSERT_EQ(stat(dir.path().c_str(), &outdir), 0);
        ASSERT_EQ(stat(pub.work_directory().c_str(), &workdir), 0);
        EXPECT_EQ(workdir.st_mode, outdir.st_mode);  // as accessible as OUTDIR
        ASSERT_TRUE(write_all(pub, kFirst)) << pub.error();
        ASSERT_TRUE(pub.publish({})) << pub.error();
        EXPECT_EQ(snapshot(dir.path()), published(kFirst)) << sync;
        struct stat st;
        ASSERT_EQ(stat(dir.file("utt.b").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~umask_now);  // as any new file, not a private temporary
    }
}

TEST_F(Publisher, StaleTemporariesGoButALiveRunsStay) {
    TempDir dir;
    ResultPublisher live(dir_of(dir), "utt", false);
    ASSERT_TRUE(live.prepare(suffixes(kFirst)));
    const auto live_files = work_files(dir.path());
    EXPECT_EQ(live_files.size(), kFirst.size());
    // What a killed run leaves: a temporary and the lock file.
    testutil::write_file(dir.file(".utt.corlune/tmp.a.Stale1"), Bytes(10, 0));
    testutil::write_file(dir.file(".utt.corlune/lock"), {});
    testutil::write_file(dir.file(".utt.keep"), Bytes(1, 0));

    // Another run of the name sweeps the stale temporary, takes the stale
    // lock file (and removes it when done) and publishes; the live run's
    // temporaries stay.
    EXPECT_EQ(publish(dir, kSecond), "");
    EXPECT_EQ(work_files(dir.path()), live_files);
    EXPECT_EQ(visible(dir.path()), published(kSecond));

    // The live run publishes last, and its whole set is what stays.
    ASSERT_TRUE(write_all(live, kFirst) && live.publish({})) << live.error();
    Snapshot expected = published(kFirst);
    expected[".utt.keep"] = Bytes(1, 0);
    EXPECT_EQ(snapshot(dir.path()), expected);  // no working directory left
}

// Until the true record follows the files, the record in place is the
// earlier set's (which the new files do not match) or a placeholder.
TEST_F(Publisher, RecordIsTheEarlierOneOrAPlaceholderUntilTheLastRename) {
    TempDir dir;
    std::vector<std::string> seen;
    bool lock_held = false;
    g_on_step = [&](Step s, const char* path) {
        const std::string p = path;
        if (s == Step::Locked) lock_held = fs::exists(dir.file(".utt.corlune/lock"));
        if (s != Step::Rename || p == dir.file("utt.record")) return;
        const Bytes record = testutil::read_file(dir.file("utt.record"));
        seen.emplace_back(record.begin(), record.end());
    };
    ASSERT_EQ(publish(dir, kFirst), "");
    EXPECT_EQ(seen, std::vector<std::string>(kFirst.size(), kPlaceholder));
    EXPECT_TRUE(lock_held);
    seen.clear();
    ASSERT_EQ(publish(dir, kSecond), "");
    EXPECT_EQ(seen, std::vector<std::string>(kSecond.size(), record_of(kFirst)));
    EXPECT_EQ(snapshot(dir.path()), published(kSecond));  // the working directory is gone
}

TEST_F(Publisher, RenameFailingPartWayPutsTheEarlierFilesBack) {
    Files more = kSecond;
    more.push_back({".d", Bytes(5, 5)});
    for (const bool earlier : {true, false}) {
        SCOPED_TRACE(earlier);
        TempDir dir;
        if (earlier) {
            ASSERT_EQ(publish(dir, kFirst), "");
        }
        Snapshot before = snapshot(dir.path());
        // A directory appears at the last file's path after the check: its
        // rename fails when three files are already in place.
        g_on_step = at(Step::Rename, earlier ? 3 : 4, [](const char* path) { fs::create_directory(path); });
        EXPECT_EQ(publish(dir, more), "Unable to replace file (Is a directory): " + dir.file("utt.d"));
        before["utt.d"] = bytes_of("<dir>");
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

TEST_F(Publisher, WaitsForTheLockOfAnotherRunAndSaysSoOnce) {
    TempDir dir;
    fs::create_directory(dir.file(".utt.corlune"));
    const std::string lock = dir.file(".utt.corlune/lock");
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::atomic<bool> told{false};
    // The other run ends as a run does: its lock file goes, then its lock.
    std::thread other([&] {
        while (!told) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        unlink(lock.c_str());
        close(fd);
    });
    std::vector<std::string> lines;
    const std::string error = publish(dir, kFirst, [&](const std::string& line) {
        lines.push_back(line);
        told = true;
    });
    other.join();
    EXPECT_EQ(error, "");
    EXPECT_EQ(lines, std::vector<std::string>{"Waiting for another run to finish publishing " + dir.file("utt")});
    EXPECT_EQ(snapshot(dir.path()), published(kFirst));
}

// ---------------------------------------------------------------------------
// Faults in whole runs

namespace {

std::vector<int16_t> voice(double seconds, double f0a, double f0b) {
    return testutil::to_pcm16(testutil::harmonic_complex(16000, seconds, f0a, f0b, 0.4));
}

const char* const kResultSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".f0labels"};
constexpr int kResultFiles = 6;

// A pipe whose ends close with it (and in any program the test starts).
struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() { close_write(), close_read(); }
    void close_read() { close(std::exchange(read, -1)); }
    void close_write() { close(std::exchange(write, -1)); }
};

int run_in_process(const std::vector<std::string>& args) {
    std::vector<std::string> a = args;
    a.insert(a.begin(), "corlune");
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    return run(static_cast<int>(a.size()), argv.data());
}

// The program run in a forked child with on_step as its hook.
testutil::Child start_hooked(const std::vector<std::string>& args,
                             std::function<void(Step, const char*)> on_step) {
    return testutil::start_in_child([args, on_step] {
        g_on_step = on_step;
        ResultPublisher::set_hook(hook);
        return run_in_process(args);
    });
}

template <typename Ready>
bool wait_until(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Snapshot without_record(Snapshot s) {
    s.erase("utt.record");
    return s;
}

class PublishFaults : public ::testing::Test {
protected:
    TempDir in;
    std::string earlier_wav, new_wav;
    Snapshot earlier, fresh;  // the complete sets of an earlier and of a new run

    void SetUp() override {
        earlier_wav = in.file("earlier.wav");
        new_wav = in.file("new.wav");
        testutil::write_file(earlier_wav, testutil::wav_bytes(voice(0.2, 120, 140), 16000));
        testutil::write_file(new_wav, testutil::wav_bytes(voice(0.2, 200, 170), 16000));
        earlier = complete_set(earlier_wav);
        fresh = complete_set(new_wav);
        ASSERT_NE(earlier.at("utt.mask"), fresh.at("utt.mask"));
    }

    static Snapshot complete_set(const std::string& wav) {
        TempDir out;
        const auto r = testutil::run_corlune({"--name=utt", wav, out.path().string()});
        EXPECT_EQ(r.status, 0) << r.err;
        return snapshot(out.path());
    }

    static void seed(const TempDir& out, const Snapshot& set) {
        for (const auto& [name, bytes] : set) testutil::write_file(out.file(name), bytes);
    }

    std::vector<std::string> new_run(const TempDir& out) const {
        return {"--name=utt", new_wav, out.path().string()};
    }

    // Every visible file is whole: one run's file of its name, or the
    // placeholder record.
    void expect_whole_files(const TempDir& out) const {
        for (const auto& [name, bytes] : visible(out.path())) {
            const bool known = (earlier.count(name) && earlier.at(name) == bytes) ||
                               (fresh.count(name) && fresh.at(name) == bytes) ||
                               (name == "utt.record" && bytes == bytes_of(kPlaceholder));
            EXPECT_TRUE(known) << name;
        }
    }

    // True when the directory holds one run's set, whole, and no other file.
    bool one_runs_set(const TempDir& out, const Snapshot& before) const {
        const Snapshot now = visible(out.path());
        return now == before || now == fresh;
    }
};

}  // namespace

// A write failing at each result file in turn names that file and keeps
// the earlier set; with --separate the voices' files are among them (the
// three WAV files are written side by side).
TEST_F(PublishFaults, WriteFailingAtEachResultFileInTurnKeepsTheEarlierSet) {
    const char* const voiceSuffixes[] = {".voices", ".voice1.wav", ".voice2.wav", ".rest.wav"};
    std::vector<std::unique_ptr<TempDir>> outs;
    std::vector<std::string> prefixes;
    for (int i = 0; i < kResultFiles + 4; ++i) {
        const bool separate = i >= kResultFiles;
        const std::string suffix = separate ? voiceSuffixes[i - kResultFiles] : kResultSuffixes[i];
        SCOPED_TRACE(suffix);
        outs.push_back(std::make_unique<TempDir>());
        const TempDir& out = *outs.back();
        seed(out, earlier);
        std::vector<std::string> args = new_run(out);
        if (separate) args.insert(args.begin(), "--separate");
        // The writer's file becomes a full device just before it writes.
        const auto r = start_hooked(args, at(Step::Write, i, [](const char* path) {
                           unlink(path);
                           symlink("/dev/full", path);
                       })).wait();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unable to write file (No space left on device): " + out.file("utt") + suffix + "\n");
        EXPECT_EQ(snapshot(out.path()), earlier);
        prefixes.push_back(out.file("utt"));
    }
    EXPECT_EQ(testutil::loader_accepts(prefixes), std::vector<bool>(prefixes.size(), true));
}

TEST_F(PublishFaults, FullFileSystemKeepsTheEarlierSet) {
    // A 64 KiB tmpfs, mounted in a mount namespace of this test's own.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    TempDir out;
    ASSERT_EQ(mount("tmpfs", out.path().c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    testutil::write_file(in.file("one.wav"), testutil::wav_bytes(voice(1.0, 120, 140), 16000));
    testutil::write_file(in.file("three.wav"), testutil::wav_bytes(voice(3.0, 200, 170), 16000));
    auto r = testutil::run_corlune({"--name=utt", in.file("one.wav"), out.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const Snapshot before = snapshot(out.path());

    r = testutil::run_corlune({"--name=utt", in.file("three.wav"), out.path().string()});
    EXPECT_EQ(r.status, 1);
    // Which file meets the full disk first depends on the file system's accounting.
    std::vector<std::string> lines;
    for (const char* suffix : {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".f0labels", ".record"})
        lines.push_back("Unable to write file (No space left on device): " + out.file("utt") + suffix + "\n");
    EXPECT_NE(std::find(lines.begin(), lines.end(), r.err), lines.end()) << r.err;
    EXPECT_EQ(snapshot(out.path()), before);
    EXPECT_EQ(testutil::loader_accepts({out.file("utt")}), std::vector<bool>{true});
    umount2(out.path().c_str(), MNT_DETACH);
}

// A kill at every step of writing and publishing, over an earlier set with
// its record and over one from before records existed: only whole files are
// visible; the loader accepts the state exactly when it is one run's set;
// and the next run removes every hidden file the killed one left.
TEST_F(PublishFaults, KillAtEachStepLeavesOneRunsSetOrOneTheLoaderRefuses) {
    for (const bool with_record : {true, false}) {
        SCOPED_TRACE(with_record);
        const Snapshot before = with_record ? earlier : without_record(earlier);
        std::vector<std::unique_ptr<TempDir>> states;
        std::vector<std::string> prefixes;
        std::vector<bool> whole;
        int k = 0;
        for (;; ++k) {
            TempDir out;
            seed(out, before);
            const auto r = start_hooked(new_run(out), at_call(k, [](const char*) { raise(SIGKILL); })).wait();
            if (r.signal != SIGKILL) {
                EXPECT_EQ(r.status, 0) << r.err;
                break;
            }
            expect_whole_files(out);
            if (k < kResultFiles + 2) {
                EXPECT_EQ(visible(out.path()), before) << k;  // killed before the lock
            }
            states.push_back(std::make_unique<TempDir>());
            seed(*states.back(), visible(out.path()));
            prefixes.push_back(states.back()->file("utt"));
            whole.push_back(one_runs_set(out, before));

            const auto next = testutil::run_corlune(new_run(out));
            EXPECT_EQ(next.status, 0) << next.err;
            EXPECT_EQ(snapshot(out.path()), fresh) << k;  // no temporary, link or lock file left
        }
        // Six writes, the lock, seven renames (with the placeholder's) and the end.
        EXPECT_GE(k, 2 * kResultFiles + 3);
        EXPECT_NE(std::count(whole.begin(), whole.end(), false), 0);  // some kills fell between renames
        std::string why;
        EXPECT_EQ(testutil::loader_accepts(prefixes, &why), whole) << why;
    }
}

TEST_F(PublishFaults, SignalsAtEachStepPublishNothingOrTheWholeSet) {
    const std::pair<int, const char*> signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& [sig, name] : signals) {
        for (int k = 0;; ++k) {
            SCOPED_TRACE(std::string(name) + " at step " + std::to_string(k));
            TempDir out;
            seed(out, earlier);
            const int s = sig;
            const auto r = start_hooked(new_run(out), at_call(k, [s](const char*) { raise(s); })).wait();
            if (r.status == 0) break;
            // From the lock on, the signal waits until the set is published.
            const bool publishing = k > kResultFiles;
            EXPECT_EQ(r.status, 128 + sig);
            EXPECT_EQ(r.err, std::string("Interrupted by ") + name +
                                 (publishing ? " after publishing: " : "; nothing published: ") +
                                 out.file("utt") + "\n");
            EXPECT_EQ(snapshot(out.path()), publishing ? fresh : earlier);
        }
    }
    // A hangup ignored by whoever started the run (nohup) stays ignored.
    TempDir out;
    const auto r = testutil::start_in_child([&] {
                       signal(SIGHUP, SIG_IGN);
                       g_on_step = at(Step::Write, 0, [](const char*) { raise(SIGHUP); });
                       ResultPublisher::set_hook(hook);
                       return run_in_process(new_run(out));
                   }).wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(out.path()), fresh);
}

TEST_F(PublishFaults, SignalsToTheProgramWhileItReadsRemoveItsTemporaries) {
    const std::pair<int, const char*> signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& [sig, name] : signals) {
        SCOPED_TRACE(name);
        TempDir out;
        seed(out, earlier);
        Pipe input;  // never written: the program waits for its first bytes
        testutil::RunSetup setup;
        setup.stdin_fd = input.read;
        auto child = testutil::start_corlune({"--name=utt", "-", out.path().string()}, setup);
        ASSERT_TRUE(wait_until([&] { return work_files(out.path()).size() == kResultFiles; }));
        kill(child.pid(), sig);
        const auto r = child.wait();
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(r.err, std::string("Interrupted by ") + name + "; nothing published: " + out.file("utt") + "\n");
        EXPECT_EQ(snapshot(out.path()), earlier);
    }
}

TEST_F(PublishFaults, NextRunRemovesAKilledRunsTemporariesButNotALiveRuns) {
    TempDir out;
    seed(out, earlier);
    const std::vector<std::string> args = {"--name=utt", "-", out.path().string()};
    Pipe live_input, killed_input;  // the runs wait for their input's first bytes
    testutil::RunSetup setup;
    setup.stdin_fd = live_input.read;
    auto live = testutil::start_corlune(args, setup);
    ASSERT_TRUE(wait_until([&] { return work_files(out.path()).size() == kResultFiles; }));
    const auto live_files = work_files(out.path());

    setup.stdin_fd = killed_input.read;
    auto killed = testutil::start_corlune(args, setup);
    ASSERT_TRUE(wait_until([&] { return work_files(out.path()).size() == 2 * kResultFiles; }));
    kill(killed.pid(), SIGKILL);
    EXPECT_EQ(killed.wait().signal, SIGKILL);
    EXPECT_EQ(visible(out.path()), earlier);  // only hidden temporaries stay

    const auto r = testutil::run_corlune(new_run(out));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(visible(out.path()), fresh);
    EXPECT_EQ(work_files(out.path()), live_files);

    // The live run gets its input and publishes its whole set last.
    const Bytes wav = testutil::read_file(earlier_wav);
    ASSERT_EQ(write(live_input.write, wav.data(), wav.size()), static_cast<ssize_t>(wav.size()));
    live_input.close_write();
    EXPECT_EQ(live.wait().status, 0);
    EXPECT_EQ(snapshot(out.path()), earlier);
}

// Two runs of one name: one stalls with the lock held and two files renamed,
// the other waits for it (saying so once) and publishes last; then one
// stalls before the lock while the other publishes. Each time the result is
// one run's whole set, and the mix seen during the stall is refused.
TEST_F(PublishFaults, TwoRunsOfOneNameWithOneStalledEachPublishAWholeSet) {
    for (const bool holding_lock : {true, false}) {
        SCOPED_TRACE(holding_lock);
        TempDir out;
        std::optional<testutil::Child> stalled;
        Pipe reached, go;
        const auto stall = [&](const char*) {  // in the child
            go.close_write();
            reached.close_read();
            char c = 'x';
            (void)!::write(reached.write, &c, 1);
            (void)!::read(go.read, &c, 1);
        };
        stalled.emplace(start_hooked(new_run(out), holding_lock ? at(Step::Rename, 3, stall)
                                                                : at(Step::Write, 0, stall)));
        reached.close_write();
        char c;
        ASSERT_EQ(read(reached.read, &c, 1), 1);
        if (holding_lock) {
            EXPECT_EQ(testutil::loader_accepts({out.file("utt")}), std::vector<bool>{false});
            auto other = testutil::start_corlune({"--name=utt", earlier_wav, out.path().string()});
            const std::string waiting = "Waiting for another run to finish publishing " + out.file("utt") + "\n";
            EXPECT_TRUE(wait_until([&] { return other.err_so_far() == waiting; }));
            go.close_write();
            EXPECT_EQ(stalled->wait().status, 0);
            const auto r = other.wait();
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, waiting);
            EXPECT_EQ(snapshot(out.path()), earlier);
        } else {
            const auto r = testutil::run_corlune({"--name=utt", earlier_wav, out.path().string()});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(visible(out.path()), earlier);
            go.close_write();
            EXPECT_EQ(stalled->wait().status, 0);
            EXPECT_EQ(snapshot(out.path()), fresh);
        }
        EXPECT_EQ(testutil::loader_accepts({out.file("utt")}), std::vector<bool>{true});
    }
}
