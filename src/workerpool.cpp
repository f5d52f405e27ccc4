#include "workerpool.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <csignal>

namespace {

// How long a thread polls for its next task before it sleeps.
constexpr std::chrono::microseconds kPollTime{50};

// Blocks every signal that can be blocked on the calling thread for its
// lifetime; threads started meanwhile inherit the mask.
class BlockedSignals {
public:
    BlockedSignals() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old_);
    }
    ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

private:
    sigset_t old_;
};

}  // namespace

WorkerPool::WorkerPool(int threads) {
    const BlockedSignals blocked;
    for (int t = 1; t < threads; ++t) workers_.emplace_back(&WorkerPool::work, this, t);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& w : workers_) w.join();
}

int WorkerPool::available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

template <typename Done>
void WorkerPool::await(std::condition_variable& cv, Done done) {
    const auto until = std::chrono::steady_clock::now() + kPollTime;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv.wait(lock, done);
            return;
        }
        std::this_thread::yield();
    }
}

void WorkerPool::run(int count, const Task& task) {
    if (count <= 0) return;
    if (workers_.empty() || count == 1) {
        for (int i = 0; i < count; ++i) task(i, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        count_ = count;
        next_ = 0;
        busy_ = static_cast<int>(workers_.size());
        error_ = nullptr;
        ++round_;
    }
    wake_.notify_all();
    take_items(0);
    await(finished_, [this] { return busy_ == 0; });
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = nullptr;
    if (error_) std::rethrow_exception(error_);
}

void WorkerPool::work(int thread) {
    unsigned long seen = 0;
    for (;;) {
        await(wake_, [&] { return stopping_ || round_ != seen; });
        if (stopping_) return;
        seen = round_;
        take_items(thread);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--busy_ == 0) finished_.notify_one();
    }
}

// Runs items until none is left; after an exception, the items not yet
// started are skipped.
void WorkerPool::take_items(int thread) {
    for (int item = next_++; item < count_; item = next_++) {
        try {
            (*task_)(item, thread);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) error_ = std::current_exception();
            next_ = count_;
        }
    }
}
