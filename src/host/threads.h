// Host threading services: a bounded worker pool and a critical section.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef void* (*BxThreadFunc)(void*);

// Re-entrant, like the platform critical sections hosts are written against:
// a thread that holds it may enter again (and must leave as often).
class BxCriticalSection {
  public:
    // Returns 1 once the section is held by the caller.
    int enter();
    void leave();

  private:
    std::recursive_mutex mutex_;
};

// Runs work items on at most maxThreads workers; further items queue until a
// worker is free. Workers are started lazily, so a pool for one item costs one
// thread.
class BxThreadPool {
  public:
    BxThreadPool() = default;
    ~BxThreadPool();
    BxThreadPool(const BxThreadPool&) = delete;
    BxThreadPool& operator=(const BxThreadPool&) = delete;

    // Returns 0 on success.
    int initThreadPool(const char* name, unsigned long stackSize, int minThreads, int maxThreads,
                       int flags);
    // Returns a non-null handle once the item is accepted, null when no worker
    // can run it (pool not initialised, or no thread could be started).
    void* doWork(BxThreadFunc function, void* argument);
    // Waits until every accepted item has ended; a negative timeout waits for
    // ever. Returns 0 when all ended.
    int waitForAllThreads(bool waitForQueued, bool waitForRunning, bool joinThreads,
                          long timeoutMs);
    int maxThreads() const { return maxThreads_; }

  private:
    struct Item {
        BxThreadFunc fn;
        void* arg;
    };
    void workerLoop();
    void stopWorkers();

    std::string name_;
    int maxThreads_ = 0;
    std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable idleCv_;
    std::deque<Item> queue_;
    std::vector<std::thread> workers_;
    size_t idleWorkers_ = 0;
    size_t pending_ = 0;
    bool stopping_ = false;
};
