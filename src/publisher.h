// Publishing of one run's result files as a whole set, never a part of one.
//
// Every result file is written to a hidden temporary that this class
// created exclusively, in the working directory OUTDIR/.NAME.corlune, and
// holds an flock on. Only when every file was written are they renamed into
// place, in the order given, with an flock held on the working directory's
// lock file; then NAME.record, which lists each file's size and CRC-32, is
// renamed into place last. Loaders compare the files with the record, so a
// set in which some files are new and some are old (a run killed between two
// renames) is recognised and refused. While no record of the name exists
// yet, a placeholder record saying "publishing" is put in place before the
// first rename, so a set without any record is always one written before
// records existed. If a rename fails part-way, the earlier files are put
// back from second links kept in the working directory.
//
// On any failure, and on SIGINT, SIGTERM and SIGHUP, the temporaries are
// removed and every earlier result stays as it was; the signals are held back
// while the renames run. A run killed outright leaves only its hidden working
// directory, whose stale files the next run of the same name removes once
// their flock shows that their run is gone. The working directory is removed
// when the last run using it ends.
//
//   ResultPublisher pub("out/", "utt", /*sync=*/false);
//   if (!pub.prepare({".frmseg", ".mask"})) { std::cerr << pub.error() << '\n'; return 1; }
//   ...analysis...
//   bool ok = pub.write(0, [&](const char* path) { return grouping.write_frmSegments(path); }) &&
//             pub.write(1, [&](const char* path) { return grouping.write_mask(path); }) &&
//             pub.publish([](const std::string& note) { std::cerr << note << '\n'; });
//   if (!ok) std::cerr << pub.error() << '\n';
//
// Nothing here prints except the one line of the signal handler; failures
// are returned as one line (error()) naming the file and the reason. One
// publisher at a time per process (the signal handler serves one).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Suffix of the record file that lists the published set.
inline constexpr const char* kRecordSuffix = ".record";

class ResultPublisher {
public:
    // Fills the file at path, which exists and is empty, in place; returns
    // false when it could not (errno then says why, where it can).
    using Writer = std::function<bool(const char* path)>;
    // Fills several files at once (the paths in the order asked for); on
    // failure sets failed to the position of the file that failed.
    using JointWriter = std::function<bool(const std::vector<const char*>& paths, std::size_t& failed)>;
    // Receives the one line said while waiting long for another run's lock.
    using Notice = std::function<void(const std::string& line)>;

    // outdir ends in '/'; name is a plain file name; sync flushes files and
    // directory to disk before the run reports success.
    ResultPublisher(std::string outdir, std::string name, bool sync);
    ~ResultPublisher();  // removes temporaries of a set not published
    ResultPublisher(const ResultPublisher&) = delete;
    ResultPublisher& operator=(const ResultPublisher&) = delete;

    // Removes stale files of killed runs, checks that no result path is a
    // directory, creates one empty temporary per suffix (in publishing
    // order) and installs the signal handlers. Call before the analysis: it
    // is the test that OUTDIR takes new files.
    bool prepare(const std::vector<std::string>& suffixes);
    // Runs writer on the temporary of result file index, then checksums it
    // (and flushes it to disk with sync). Writers' own messages are taken
    // in: a failure is reported once, by error(), under the result's path.
    bool write(std::size_t index, const Writer& writer);
    // The same for result files written side by side by one writer (such
    // as several signals made in one pass).
    bool write_together(const std::vector<std::size_t>& indices, const JointWriter& writer);
    // Writes the record, takes the lock and renames everything into place.
    bool publish(const Notice& notice);

    const std::string& error() const { return error_; }
    std::string result_path(const std::string& suffix) const { return prefix_ + suffix; }
    // OUTDIR/.NAME.corlune/, where the temporaries and the lock file are.
    const std::string& work_directory() const { return workdir_; }
    std::string lock_path() const { return workdir_ + "lock"; }

    // Steps of a run's writing and publishing at which a test hook is called.
    enum class Step {
        Write,      // before a writer runs; path: its temporary
        Lock,       // before taking the lock; path: the lock file
        Locked,     // lock held, signals held back, nothing renamed yet
        Rename,     // before a rename into place; path: the result (or record) path
        Published,  // record in place, lock still held
    };
    // For tests only (the program never sets one): called at each step, to
    // stall or kill a run there, or to make the next file operation fail.
    using Hook = void (*)(Step step, const char* path);
    static void set_hook(Hook hook);

    // Bytes the signal handler writes before its line, such as the codes
    // that erase a progress line from a terminal; the text must outlive the
    // publisher (a literal).
    static void set_signal_line_start(const char* text);

private:
    struct Temporary {
        std::string path;
        int fd = -1;  // open and flock'ed while the file is this run's
    };
    struct ResultFile {
        std::string suffix;
        Temporary temp;
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        bool written = false;
    };
    // A path replaced while publishing, and how to undo that: the earlier
    // file's second link (no path when none was kept), or whether it existed.
    struct Undo {
        std::string path;
        Temporary earlier;
        bool existed;
    };

    bool fail(const std::string& what, int err, const std::string& path);
    bool fail(const std::string& what, const std::string& reason, const std::string& path);
    bool make_work_directory();
    bool create_temporary(const std::string& kind, const std::string& suffix, Temporary& temp);
    bool fill_temporary(const std::string& text, Temporary& temp);
    void discard(Temporary& temp, bool remove);
    void remove_temporaries();
    void remove_stale_files();
    bool check_not_directory(const std::string& path);
    bool checksum_written(ResultFile& f);
    std::string record_text() const;
    bool rename_into_place(Temporary& temp, const std::string& path);
    bool rename_all();
    Undo keep_earlier(const std::string& path, const std::string& suffix);
    void roll_back(std::vector<Undo>& done);
    void arm(const Temporary& temp);
    void install_handlers();
    void restore_handlers();

    std::string outdir_, name_, prefix_, workdir_;
    bool sync_;
    std::vector<ResultFile> files_;
    Temporary record_, placeholder_;
    std::string error_;
    std::vector<const char*> armed_;  // temporaries the signal handler removes
    struct sigaction saved_[3];
    bool installed_[3] = {false, false, false};
};
