// The retry engine and the classification of failed answers, in zero time.
#include <gtest/gtest.h>

#include <vector>

#include "common/retry.h"
#include "host/strings.h"
#include "rest/transient.h"
#include "runtime/runtime.h"

namespace {

using DuVavaZid::AnswerKind;
using DuVavaZid::Backoff;
using DuVavaZid::RetryPolicy;

std::vector<long> pauses(const RetryPolicy& policy, long retryAfterMs = -1, uint64_t seed = 1) {
    Backoff backoff(policy, seed);
    std::vector<long> out;
    long pause = 0;
    while (backoff.next(&pause, retryAfterMs)) {
        out.push_back(pause);
    }
    return out;
}

RetryPolicy policy(int attempts, long intervalMs, double multiplier, long capMs, long budgetMs) {
    RetryPolicy p;
    p.attempts = attempts;
    p.intervalMs = intervalMs;
    p.multiplier = multiplier;
    p.capMs = capMs;
    p.budgetMs = budgetMs;
    return p;
}

TEST(Backoff, PauseSequences) {
    struct Case {
        const char* name;
        RetryPolicy policy;
        long retryAfterMs;
        std::vector<long> want;
    } cases[] = {
        {"one try only", policy(1, 100, 1, 0, -1), -1, {}},
        {"fixed", policy(4, 100, 1, 0, -1), -1, {100, 100, 100}},
        {"no pause", policy(3, 0, 2, 0, -1), -1, {0, 0}},
        {"doubling with a cap", policy(6, 1000, 2, 5000, -1), -1, {1000, 2000, 4000, 5000, 5000}},
        {"budget ends it", policy(10, 100, 1, 0, 250), -1, {100, 100}},
        {"budget of exactly the pauses", policy(10, 100, 1, 0, 300), -1, {100, 100, 100}},
        {"retry-after is a minimum", policy(3, 100, 1, 0, -1), 2000, {2000, 2000}},
        {"retry-after below the pause", policy(3, 500, 1, 0, -1), 20, {500, 500}},
        {"retry-after beyond the budget", policy(5, 0, 1, 0, 1000), 3000, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pauses(c.policy, c.retryAfterMs), c.want) << c.name;
    }
}

TEST(Backoff, FullJitterStaysWithinTheComputedPause) {
    RetryPolicy p = RetryPolicy::transient(8, 1000, -1);
    EXPECT_EQ(p.capMs, 32000);
    double sum = 0;
    int n = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        std::vector<long> got = pauses(p, -1, seed);
        ASSERT_EQ(got.size(), 7u);
        for (size_t i = 0; i < got.size(); ++i) {
            long bound = std::min(32000L, 1000L << i);
            EXPECT_GE(got[i], 0);
            EXPECT_LE(got[i], bound) << "pause " << i << " seed " << seed;
            sum += static_cast<double>(got[i]) / bound;
            ++n;
        }
    }
    // Uniform over [0, bound]: the mean fraction is close to one half.
    EXPECT_NEAR(sum / n, 0.5, 0.05);
}

TEST(Backoff, PauseGoesThroughTheInstalledSleeper) {
    std::vector<long> slept;
    bxrt::setSleeper([&slept](long ms) { slept.push_back(ms); });
    Backoff backoff(policy(3, 250, 2, 0, -1), 1);
    EXPECT_TRUE(backoff.pause());
    EXPECT_TRUE(backoff.pause(1000));
    EXPECT_FALSE(backoff.pause());
    WNSLEEP(7);
    bxrt::setSleeper(nullptr);
    EXPECT_EQ(slept, (std::vector<long>{250, 1000, 7}));
    EXPECT_EQ(backoff.spentMs(), 1250);
}

TEST(TransientAnswers, WhichFailuresAreWorthARepeat) {
    auto body = [](int code, const char* reason) {
        return std::string(R"({"error":{"code":)") + std::to_string(code) +
               R"(,"message":"m","errors":[{"message":"m","domain":"global","reason":")" + reason +
               R"("}]}})";
    };
    struct Case {
        long status;
        std::string body;
        bool transient;
        const char* reason;
    } cases[] = {
        {0, "", true, "no answer"},
        {429, body(429, "rateLimitExceeded"), true, "rateLimitExceeded"},
        {500, body(500, "backendError"), true, "backendError"},
        {502, "<html>bad gateway</html>", true, "HTTP 502"},
        {503, "", true, "HTTP 503"},
        {504, body(504, "timeout"), true, "timeout"},
        {403, body(403, "rateLimitExceeded"), true, "rateLimitExceeded"},
        {403, body(403, "userRateLimitExceeded"), true, "userRateLimitExceeded"},
        {403, body(403, "forbidden"), false, "forbidden"},
        {404, body(404, "notFound"), false, "notFound"},
        {400, body(400, "invalid"), false, "invalid"},
        {409, body(409, "alreadyExists"), false, "alreadyExists"},
        {401, body(401, "authError"), false, "authError"},
    };
    for (const auto& c : cases) {
        AnswerKind kind = DuVavaZid::classifyAnswer(c.status, c.body, "");
        EXPECT_EQ(kind.transient, c.transient) << c.status << " " << c.reason;
        EXPECT_EQ(kind.reason, c.reason) << c.status;
    }
}

TEST(TransientAnswers, RetryAfterInSeconds) {
    struct Case {
        const char* headers;
        long want;
    } cases[] = {
        {"HTTP/1.1 429 Too Many Requests\r\nRetry-After: 7\r\n\r\n", 7000},
        {"HTTP/1.1 503 Service Unavailable\r\nretry-after:12\r\nContent-Length: 0\r\n", 12000},
        {"HTTP/1.1 503\r\nRetry-After: Wed, 21 Oct 2026 07:28:00 GMT\r\n", -1},
        {"HTTP/1.1 503\r\nRetry-After: 99999999999\r\n", -1},
        {"HTTP/1.1 503\r\nX-Retry-After: 5\r\n", -1},
        {"", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DuVavaZid::classifyAnswer(503, "", c.headers).retryAfterMs, c.want) << c.headers;
    }
}

TEST(TransientAnswers, OperationErrorsThatAskForLater) {
    EXPECT_TRUE(DuVavaZid::isTransientOperationError("RATE_LIMIT_EXCEEDED"));
    EXPECT_TRUE(DuVavaZid::isTransientOperationError("RESOURCE_OPERATION_RATE_EXCEEDED"));
    EXPECT_FALSE(DuVavaZid::isTransientOperationError("RESOURCE_IN_USE_BY_ANOTHER_RESOURCE"));
    EXPECT_FALSE(DuVavaZid::isTransientOperationError(""));
}

}  // namespace
