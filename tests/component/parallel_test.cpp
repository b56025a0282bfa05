// The parallel phases against the emulator: each worker talks through its own
// session, failures keep their reason, the token is renewed once for all, and
// lookups read each instance once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

const char* const kPrefix = "par-disk-";

class ParallelTest : public ::testing::Test {
  protected:
    void start(int disks) {
        disks_ = disks;
        env.reset();  // one emulator at a time owns the settings
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(disks, kPrefix);
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        util.jobId = 4321;
    }

    static std::string disk(int i) { return kPrefix + std::to_string(i + 1); }

    std::unique_ptr<bxtest::RecordSet> records(int threadCount = 8) {
        auto rs = bxtest::EmulatorEnv::fleetRecords(disks_, "par-snap-", 0, 20);
        for (int i = 0; i < disks_; ++i) {
            auto& r = (*rs)[i];
            r.configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = threadCount;
            r.intProperties[13] = 1;
            r.hostInfoText = "ab12";
            r.cloneNumber = 1;
        }
        return rs;
    }

    std::string snapshotStatus(const std::string& name) {
        jsonxx::Object o;
        if (!o.parse(env->emu().resourceJson("projects/demo-project/global/snapshots/" + name)) ||
            !o.has<jsonxx::String>("status")) {
            return "";
        }
        return o.get<jsonxx::String>("status");
    }

    std::vector<gce::JournalEntry> requests(const std::string& method, const std::string& part) {
        std::vector<gce::JournalEntry> out;
        for (const auto& e : env->emu().journal()) {
            if (e.method == method && e.path.find(part) != std::string::npos) {
                out.push_back(e);
            }
        }
        return out;
    }

    bxtest::LogCapture log{3};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    int disks_ = 0;
};

// One disk's createSnapshot refused while two others succeed: the reason
// reaches the call's first record and that disk's record, whatever the other
// workers did meanwhile.
TEST_F(ParallelTest, RefusedSnapshotKeepsGcpsReasonOnTheCallAndItsRecord) {
    struct Case {
        int status;
        const char* reason;
        const char* message;
    } cases[] = {{403, "rateLimitExceeded", "Rate Limit Exceeded"},
                 {500, "backendError", "Internal error. Please try again."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        start(3);
        auto rs = records();
        ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        gce::FaultSpec fault;
        fault.method = "POST";
        fault.path = "*/disks/" + disk(1) + "/createSnapshot*";
        fault.count = -1;  // transient, but every repeat is refused too
        fault.status = c.status;
        fault.body = std::string(R"({"error":{"code":)") + std::to_string(c.status) +
                     R"(,"message":")" + c.message + R"(","errors":[{"message":")" + c.message +
                     R"(","domain":"usageLimits","reason":")" + c.reason + R"("}]}})";
        env->emu().injectFault(fault);

        EXPECT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 1);
        const std::string want = "Failed to create snapshot of Gcp device [" + disk(1) +
                                 "]. REST error returned by GCP [" + c.message + " ]";
        EXPECT_EQ((*rs)[0].errorCode, 60001);
        EXPECT_EQ((*rs)[0].errorText, want);
        EXPECT_EQ((*rs)[1].errorCode, 60001);
        EXPECT_EQ((*rs)[1].errorText, want);
        EXPECT_EQ((*rs)[1].status, BXSO::SNAP_CREATE_FAILED);
        EXPECT_EQ(snapshotStatus((*rs)[0].snapName), "READY");
        EXPECT_EQ(snapshotStatus((*rs)[2].snapName), "READY");
        EXPECT_EQ(snapshotStatus((*rs)[1].snapName), "");
    }
}

// Eight workers refused with 401 at the same moment: one token request, and
// each refused request sent once more.
TEST_F(ParallelTest, SimultaneousUnauthenticatedAnswersRenewTheTokenOnce) {
    start(8);
    auto rs = records(8);
    ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    // Every createSnapshot is held before the emulator checks its token, and
    // the tokens expire while all eight are held: each is refused with 401.
    gce::FaultSpec slow;
    slow.method = "POST";
    slow.path = "*/createSnapshot*";
    slow.count = -1;
    slow.status = 0;
    slow.latencySeconds = 0.6;
    env->emu().injectFault(slow);
    env->emu().clearJournal();
    // Once the call has its token (its metadata read follows the token's),
    // before any createSnapshot has passed its hold.
    std::thread expire([this] {
        for (int i = 0; i < 2000; ++i) {
            for (const auto& e : env->emu().journal()) {
                if (e.server == "metadata" && e.query == "recursive=true") {
                    env->emu().expireAllTokens();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    int rc = bxso_snapDevices(rs->data(), rs->count(), &util);
    expire.join();
    ASSERT_EQ(rc, 0) << (*rs)[0].errorText;
    // The call's own token, then exactly one renewal.
    EXPECT_EQ(requests("GET", "/service-accounts/default/token").size(), 2u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(requests("POST", "/disks/" + disk(i) + "/createSnapshot").size(), 2u) << disk(i);
    }
}

// With request latency, the workers' createSnapshot requests are in flight
// together: no lock is held across an exchange.
TEST_F(ParallelTest, WorkersRequestsOverlapInTime) {
    start(4);
    auto rs = records(4);
    ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    gce::FaultSpec slow;
    slow.method = "POST";
    slow.path = "*/createSnapshot*";
    slow.count = 4;
    slow.status = 0;  // latency only
    slow.latencySeconds = 0.5;
    env->emu().injectFault(slow);
    env->emu().clearJournal();
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    auto creates = requests("POST", "/createSnapshot");
    ASSERT_EQ(creates.size(), 4u);
    double latestStart = 0;
    double earliestEnd = creates[0].answered;
    for (const auto& e : creates) {
        latestStart = std::max(latestStart, e.time);
        earliestEnd = std::min(earliestEnd, e.answered);
    }
    EXPECT_LT(latestStart, earliestEnd) << "the four requests were never in flight together";
}

// One request that hangs holds only its own worker: the other disks' whole
// snap phase (their createSnapshot and every poll) is answered while it is
// still in flight.
TEST_F(ParallelTest, HungRequestHoldsOnlyItsWorker) {
    start(3);
    auto rs = records(3);
    ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    gce::FaultSpec hung;
    hung.method = "POST";
    hung.path = "*/disks/" + disk(0) + "/createSnapshot*";
    hung.status = 0;  // latency only
    hung.latencySeconds = 1.0;
    env->emu().injectFault(hung);
    env->emu().clearJournal();
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    double hungAnswered = 0;
    for (const auto& e : requests("POST", "/createSnapshot")) {
        if (e.path.find("/disks/" + disk(0) + "/") != std::string::npos) {
            hungAnswered = e.answered;
        }
    }
    ASSERT_GT(hungAnswered, 0);
    size_t others = 0;
    for (const auto& e : env->emu().journal()) {
        bool ofOthers =
            e.path.find(disk(1)) != std::string::npos || e.path.find(disk(2)) != std::string::npos;
        if (ofOthers && e.method == "POST") {
            ++others;
            EXPECT_LT(e.answered, hungAnswered) << e.path << " waited for the hung request";
        }
    }
    EXPECT_EQ(others, 2u);
}

// Prepare, map and unmap of several disks of one VM read that VM once each.
TEST_F(ParallelTest, LookupsReadTheInstanceOncePerCall) {
    start(4);
    auto rs = records();
    const std::string instance = "/instances/mover-1";
    auto instanceReads = [&] {
        size_t n = 0;
        for (const auto& e : requests("GET", instance)) {
            n += e.path.size() >= instance.size() &&
                 e.path.compare(e.path.size() - instance.size(), instance.size(), instance) == 0;
        }
        return n;
    };
    ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    EXPECT_EQ(instanceReads(), 1u) << "prepare";
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    env->emu().clearJournal();
    ASSERT_EQ(bxso_mapSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    EXPECT_EQ(instanceReads(), 1u) << "map";
    env->emu().clearJournal();
    ASSERT_EQ(bxso_unmapSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    EXPECT_EQ(instanceReads(), 1u) << "unmap";
}

// Revert of many disks on eight workers, each with its own session: every
// disk is replaced and attached again (run under ThreadSanitizer in CI).
TEST_F(ParallelTest, SnapAndRevertOfManyDisksOnEightWorkers) {
    start(32);
    auto rs = records(8);
    ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    // The description carries the time the call took the snapshot.
    jsonxx::Object snap;
    ASSERT_TRUE(snap.parse(
        env->emu().resourceJson("projects/demo-project/global/snapshots/" + (*rs)[0].snapName)));
    EXPECT_EQ(snap.get<jsonxx::String>("description").find("[1970-01-01"), std::string::npos)
        << snap.get<jsonxx::String>("description");
    for (int i = 0; i < disks_; ++i) {
        (*rs)[i].configValues["SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY"] = 1;
    }
    ASSERT_EQ(bxso_revertSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    for (int i = 0; i < disks_; ++i) {
        EXPECT_EQ((*rs)[i].status, BXSO::SNAP_REVERT_SUCCESS) << disk(i);
        jsonxx::Object d;
        ASSERT_TRUE(d.parse(env->emu().resourceJson(bxtest::EmulatorEnv::diskPath(disk(i)))));
        ASSERT_TRUE(d.has<jsonxx::String>("sourceSnapshot")) << disk(i);
        EXPECT_NE(d.get<jsonxx::String>("sourceSnapshot").find((*rs)[i].snapName),
                  std::string::npos)
            << disk(i);
    }
}

}  // namespace
