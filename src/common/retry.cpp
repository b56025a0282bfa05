#include "common/retry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "host/strings.h"

namespace DuVavaZid {

namespace {
constexpr long kTransientCapMs = 32000;
constexpr double kTransientMultiplier = 2.0;
}  // namespace

RetryPolicy RetryPolicy::transient(int attempts, long baseMs, long budgetMs) {
    RetryPolicy p;
    p.attempts = attempts;
    p.intervalMs = std::max(0L, baseMs);
    p.multiplier = kTransientMultiplier;
    p.capMs = kTransientCapMs;
    p.fullJitter = true;
    p.budgetMs = budgetMs;
    return p;
}

Backoff::Backoff(const RetryPolicy& policy) : Backoff(policy, std::random_device{}()) {}

Backoff::Backoff(const RetryPolicy& policy, uint64_t seed) : policy_(policy), rng_(seed) {}

bool Backoff::next(long* pauseMs, long retryAfterMs) {
    ++failures_;
    if (failures_ >= policy_.attempts) {
        return false;
    }
    double computed = static_cast<double>(std::max(0L, policy_.intervalMs)) *
                      std::pow(std::max(1.0, policy_.multiplier), failures_ - 1);
    if (policy_.capMs > 0) {
        computed = std::min(computed, static_cast<double>(policy_.capMs));
    }
    computed = std::min(computed, static_cast<double>(std::numeric_limits<long>::max() / 2));
    long pause = static_cast<long>(computed);
    if (policy_.fullJitter && pause > 0) {
        pause = std::uniform_int_distribution<long>(0, pause)(rng_);
    }
    // The server knows best how long it needs: never come back earlier.
    pause = std::max(pause, retryAfterMs);
    if (policy_.budgetMs >= 0 && spentMs_ + pause > policy_.budgetMs) {
        return false;
    }
    spentMs_ += pause;
    *pauseMs = pause;
    return true;
}

bool Backoff::pause(long retryAfterMs) {
    long ms = 0;
    if (!next(&ms, retryAfterMs)) {
        return false;
    }
    WNSLEEP(ms);
    return true;
}

}  // namespace DuVavaZid
