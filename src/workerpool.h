// A small pool of threads that runs the items of one task at a time: the
// caller's thread and size() - 1 workers take items 0 .. count - 1 in turn
// until none is left, and run() returns when every item is done. An item
// writes only its own outputs (and the work space of the thread that runs
// it, numbered 0 .. size() - 1), so which thread runs which item never
// changes a result.
//
// The workers block SIGINT, SIGTERM, SIGHUP and the other asynchronous
// signals, so that such a signal is always handled on the thread that
// created the pool, which is also the one that holds signals back while it
// publishes results.
//
//     WorkerPool pool(threads);                  // 1: everything on the caller's thread
//     std::vector<Scratch> scratch(pool.size());
//     pool.run(nframes, [&](int j, int thread) { out[j] = analyse(j, scratch[thread]); });
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    using Task = std::function<void(int item, int thread)>;

    // threads >= 1 threads in all, the caller's included.
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    // Runs task(item, thread) for every item in 0 .. count - 1 and returns
    // when all are done. An exception thrown by an item is rethrown here
    // (the first one, after the other items ended).
    void run(int count, const Task& task);

    // The threads that "all cores" means: the processors this process may
    // run on (its CPU affinity, which batch schedulers set), at least 1.
    static int available_cores();

private:
    void work(int thread);
    void take_items(int thread);

    // Waits until done() holds: first by polling for a short while (a
    // block's tasks follow each other within microseconds, far sooner than
    // a sleeping thread wakes), then asleep on cv.
    template <typename Done>
    void await(std::condition_variable& cv, Done done);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    const Task* task_ = nullptr;
    int count_ = 0;
    std::atomic<int> next_{0};           // next item to hand out
    std::atomic<int> busy_{0};           // workers inside the current task
    std::atomic<unsigned long> round_{0};  // counts the tasks, so a worker sees each once
    std::atomic<bool> stopping_{false};
    std::exception_ptr error_;
};
