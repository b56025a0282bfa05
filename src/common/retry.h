// The one retry and polling engine: a policy says how many tries, how long the
// pauses between them are (fixed or growing exponentially, with full jitter
// and a cap) and how much time all pauses may take together; Backoff walks
// it. Pauses go through WNSLEEP, whose sleeper tests replace.
#pragma once

#include <cstdint>
#include <random>

namespace DuVavaZid {

struct RetryPolicy {
    int attempts = 1;         // tries in all, the first one included
    long intervalMs = 0;      // pause after the first failed try
    double multiplier = 1.0;  // each further pause is this much longer (1: fixed pauses)
    long capMs = 0;           // no computed pause is longer (0: no cap)
    bool fullJitter = false;  // a pause is drawn uniformly from [0, computed pause]
    long budgetMs = -1;       // all pauses together at most this long (-1: no bound)

    // Exponential backoff for transient answers, as Google's clients do:
    // doubling from base, at most 32 s, full jitter.
    static RetryPolicy transient(int attempts, long baseMs, long budgetMs);
};

class Backoff {
  public:
    explicit Backoff(const RetryPolicy& policy);
    Backoff(const RetryPolicy& policy, uint64_t seed);

    // Call after a failed try. True when another try is allowed, with the
    // pause to take first; false when the tries or the budget are spent.
    // retryAfterMs >= 0 is the server's own minimum (Retry-After).
    bool next(long* pauseMs, long retryAfterMs = -1);
    // The pause of next() taken through WNSLEEP; false when no try is left.
    bool pause(long retryAfterMs = -1);

    int failures() const { return failures_; }
    long spentMs() const { return spentMs_; }
    const RetryPolicy& policy() const { return policy_; }

  private:
    RetryPolicy policy_;
    int failures_ = 0;
    long spentMs_ = 0;
    std::mt19937_64 rng_;
};

}  // namespace DuVavaZid
