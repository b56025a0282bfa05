#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/debug_log.h"
#include "host/settings.h"
#include "host/threads.h"
#include "support/log_capture.h"
#include "support/settings_file.h"

namespace {

TEST(SettingsStore, ReadsTypedValuesAndReportsAbsence) {
    bxtest::SettingsFile settings;
    settings.set("~MoverNode", "bGCPSkipSnapCreationStatusCheck", "true");
    settings.set("~MoverNode", "nGCPSnapStatusCheckRetryCount", "7");
    settings.set("Base", "dBASEHOME", "/opt/bx");
    BXPlatformInfo info;
    bool flag = false;
    unsigned long number = 0;
    std::string text;
    EXPECT_EQ(info.getBoolean("~MoverNode", "bGCPSkipSnapCreationStatusCheck", &flag), 1);
    EXPECT_TRUE(flag);
    EXPECT_EQ(info.getNumber("~MoverNode", "nGCPSnapStatusCheckRetryCount", &number), 1);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(info.getString("Base", "dBASEHOME", &text), 1);
    EXPECT_EQ(text, "/opt/bx");

    text = "untouched";
    EXPECT_EQ(info.getString("Base", "missing", &text), 0);
    EXPECT_EQ(text, "untouched");
    settings.set("~MoverNode", "nGCPSnapStatusCheckRetryCount", "-3");
    EXPECT_EQ(info.getNumber("~MoverNode", "nGCPSnapStatusCheckRetryCount", &number), 0);
    settings.set("~MoverNode", "bGCPSkipSnapCreationStatusCheck", "maybe");
    EXPECT_EQ(info.getBoolean("~MoverNode", "bGCPSkipSnapCreationStatusCheck", &flag), 0);
}

TEST(DebugLog, FiltersByLevelAndTagsJobId) {
    bxtest::LogCapture capture(3);
    HostDebug log;
    log.debugLvl(-1, 77, "GCP error %d", 1);
    log.debugLvl(3, 77, "GCP step");
    log.debugLvl(5, 77, "GCP dump");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "GCP error 1");
    EXPECT_EQ(lines[0].jobId, 77);
    EXPECT_EQ(lines[1].text, "GCP step");
    EXPECT_EQ(log.getDebugLevel(), 3);
    EXPECT_FALSE(HostDebug::getHostName().empty());
}

TEST(ThreadPool, NeverRunsMoreThanItsLimit) {
    BxThreadPool pool;
    ASSERT_EQ(pool.initThreadPool("test", static_cast<unsigned long>(-1), 3, 3, 1), 0);
    std::atomic<int> running{0}, peak{0}, done{0};
    struct Arg {
        std::atomic<int>* running;
        std::atomic<int>* peak;
        std::atomic<int>* done;
    } arg{&running, &peak, &done};
    auto work = [](void* p) -> void* {
        auto* a = static_cast<Arg*>(p);
        int now = ++*a->running;
        int prev = a->peak->load();
        while (now > prev && !a->peak->compare_exchange_weak(prev, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --*a->running;
        ++*a->done;
        return nullptr;
    };
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(pool.doWork(work, &arg), nullptr);
    }
    EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 0);
    EXPECT_EQ(done.load(), 20);
    EXPECT_LE(peak.load(), 3);
    EXPECT_GE(peak.load(), 1);
}

TEST(ThreadPool, RefusesWorkBeforeInitialisation) {
    BxThreadPool pool;
    EXPECT_EQ(pool.doWork([](void*) -> void* { return nullptr; }, nullptr), nullptr);
    EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 0);
}

TEST(CriticalSection, SerialisesHolders) {
    BxCriticalSection cs;
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                EXPECT_EQ(cs.enter(), 1);
                ++counter;
                cs.leave();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 4000);
}

}  // namespace
