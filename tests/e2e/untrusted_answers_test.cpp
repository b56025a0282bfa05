// Answers no Compute Engine gives: a body that never ends is cut off with a
// clear text while bxso-host's memory and log stay small.
#include <string>

#include "host_runner.h"

namespace bxe2e {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class UntrustedAnswersTest : public HostTest {};

TEST_F(UntrustedAnswersTest, EndlessBodyIsCutOffWithBoundedMemoryAndLog) {
    addLocalArray();
    gce::FaultSpec endless = bxtest::httpFault("GET", "*/operations/*", 200, -1);
    endless.endlessBody = true;
    env->emu().injectFault(endless);

    RunResult backup = host({"backup", "/dev/sdb"});
    EXPECT_NE(backup.exitCode, 0) << backup.all();
    EXPECT_NE(backup.err.find("the answer could not be read: answer longer than 4194304 bytes, "
                              "cut off"),
              std::string::npos)
        << backup.err.substr(0, 4096);
    // A sanitizer's shadow memory alone goes past the bound.
    if (!kSanitized) {
        EXPECT_LT(backup.peakRssKb, 64 * 1024) << "peak resident memory in KiB";
    }
    // Each logged body is cut to 16 KiB: the log grows by kilobytes per
    // exchange, not by the answer's megabytes.
    EXPECT_LT(readFile(debugLog).size(), size_t(2) << 20);
    std::string jobs = host({"--json", "jobs"}).out;
    EXPECT_LT(jobs.size(), size_t(64) << 10);
}

}  // namespace

}  // namespace bxe2e
