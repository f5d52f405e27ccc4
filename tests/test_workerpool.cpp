#include "workerpool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(WorkerPool, RunsEveryItemOnceOnThreadsNumberedBelowItsSize) {
    for (const int threads : {1, 2, 4}) {
        WorkerPool pool(threads);
        ASSERT_EQ(pool.size(), threads);
        // Many rounds of several sizes: each round waits for its own items only.
        for (int round = 0; round < 200; ++round) {
            const int count = round % 7;
            std::vector<std::atomic<int>> runs(count);
            std::atomic<bool> numbered{true};
            pool.run(count, [&](int item, int thread) {
                runs[item]++;
                numbered = numbered && thread >= 0 && thread < threads;
            });
            for (int i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << threads << " " << i;
            ASSERT_TRUE(numbered);
        }
    }
}

TEST(WorkerPool, AnItemsExceptionReachesTheCallerAndThePoolGoesOn) {
    WorkerPool pool(3);
    EXPECT_THROW(pool.run(50,
                          [](int item, int) {
                              if (item == 17) throw std::runtime_error("item 17");
                          }),
                 std::runtime_error);
    std::atomic<int> done{0};
    pool.run(10, [&](int, int) { ++done; });
    EXPECT_EQ(done.load(), 10);
}

// Signals meant for the run (SIGINT ...) reach the thread that made the
// pool, never a worker: the publisher holds them back on that thread only.
TEST(WorkerPool, WorkersBlockTheSignalsTheRunHandles) {
    WorkerPool pool(2);
    std::atomic<int> blocked{0}, workers{0};
    // The caller's thread dawdles, so that the worker takes items.
    for (int round = 0; round < 100 && workers == 0; ++round) {
        pool.run(8, [&](int, int thread) {
            if (thread == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                return;
            }
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            ++workers;
            blocked += sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) &&
                       sigismember(&mask, SIGHUP);
        });
    }
    ASSERT_GT(workers.load(), 0);
    EXPECT_EQ(blocked.load(), workers.load());
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGINT));
}

TEST(WorkerPool, AvailableCoresFollowTheAffinity) {
    cpu_set_t saved, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(WorkerPool::available_cores(), CPU_COUNT(&saved));
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &saved)) {
            CPU_SET(c, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(WorkerPool::available_cores(), 1);
    sched_setaffinity(0, sizeof saved, &saved);
}
