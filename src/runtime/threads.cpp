#include <cstdint>
#include <system_error>

#include "host/threads.h"

int BxCriticalSection::enter() {
    mutex_.lock();
    return 1;
}

void BxCriticalSection::leave() {
    mutex_.unlock();
}

BxThreadPool::~BxThreadPool() {
    stopWorkers();
}

int BxThreadPool::initThreadPool(const char* name, unsigned long /*stackSize*/, int /*minThreads*/,
                                 int maxThreads, int /*flags*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name ? name : "";
    maxThreads_ = maxThreads > 0 ? maxThreads : 1;
    stopping_ = false;
    return 0;
}

void* BxThreadPool::doWork(BxThreadFunc function, void* argument) {
    if (!function) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (maxThreads_ < 1 || stopping_) {
        return nullptr;
    }
    if (idleWorkers_ == 0 && workers_.size() < static_cast<size_t>(maxThreads_)) {
        try {
            workers_.emplace_back(&BxThreadPool::workerLoop, this);
        } catch (const std::system_error&) {
            // A pool that already has workers still runs the item later.
            if (workers_.empty()) {
                return nullptr;
            }
        }
    }
    queue_.push_back({function, argument});
    ++pending_;
    workCv_.notify_one();
    return reinterpret_cast<void*>(static_cast<uintptr_t>(pending_));
}

void BxThreadPool::workerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        workCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idleWorkers_;
        if (queue_.empty()) {
            return;  // stopping and nothing left to run
        }
        Item item = queue_.front();
        queue_.pop_front();
        lock.unlock();
        item.fn(item.arg);
        lock.lock();
        if (--pending_ == 0) {
            idleCv_.notify_all();
        }
    }
}

int BxThreadPool::waitForAllThreads(bool /*waitForQueued*/, bool /*waitForRunning*/,
                                    bool joinThreads, long timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto done = [this] { return pending_ == 0; };
        if (timeoutMs < 0) {
            idleCv_.wait(lock, done);
        } else if (!idleCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
            return 1;
        }
    }
    if (joinThreads) {
        stopWorkers();
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    return 0;
}

void BxThreadPool::stopWorkers() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
        workCv_.notify_all();
    }
    for (auto& t : workers) {
        if (t.joinable()) {
            t.join();
        }
    }
}
