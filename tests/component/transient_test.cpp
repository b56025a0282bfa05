// Transient answers against the emulator: polls and mutating requests are
// repeated with backoff (mutating ones under one requestId), pauses go
// through the injected sleeper, and failed Operations say why.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "runtime/runtime.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

const char* const kPrefix = "tr-disk-";

class TransientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bxrt::setSleeper([this](long ms) {
            std::lock_guard<std::mutex> lock(sleptMutex);
            slept.push_back(ms);
        });
    }
    void TearDown() override { bxrt::setSleeper(nullptr); }

    void start(int disks, double timeScale = 0) {
        disks_ = disks;
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(disks, kPrefix);
        options.timeScale = timeScale;
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        util.jobId = 777;
        rs = bxtest::EmulatorEnv::fleetRecords(disks, "tr-snap-", 1, 30);
        ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    }

    static std::string disk(int i) { return kPrefix + std::to_string(i + 1); }

    std::string snapshotStatus(const std::string& name) {
        jsonxx::Object o;
        if (!o.parse(env->emu().resourceJson("projects/demo-project/global/snapshots/" + name)) ||
            !o.has<jsonxx::String>("status")) {
            return "";
        }
        return o.get<jsonxx::String>("status");
    }

    size_t snapshotsNamed(const std::string& name) {
        jsonxx::Object state;
        state.parse(env->emu().stateJson());
        size_t n = 0;
        const jsonxx::Array& snaps = state.get<jsonxx::Array>("snapshots");
        for (size_t i = 0; i < snaps.size(); ++i) {
            n += snaps.get<jsonxx::Object>(i).get<jsonxx::String>("name") == name;
        }
        return n;
    }

    bxtest::LogCapture log{3};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    std::unique_ptr<bxtest::RecordSet> rs;
    bxtest::FakeOSUtil util;
    int disks_ = 0;
    std::mutex sleptMutex;
    std::vector<long> slept;
};

// Every poll of eight workers has a one-in-five chance of 503 or 429; the
// snapshots are all taken, and every pause stays within the wait's budget.
TEST_F(TransientTest, FlakyPollsStillEndWithEveryDiskSnapshotted) {
    start(8);
    for (int status : {503, 429}) {
        gce::FaultSpec flaky;
        flaky.method = "GET";
        flaky.path = status == 503 ? "*/operations/*" : "*/global/snapshots/*";
        flaky.status = status;
        flaky.count = -1;
        flaky.probability = 0.2;
        env->emu().injectFault(flaky);
    }
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    for (int i = 0; i < disks_; ++i) {
        EXPECT_EQ(snapshotStatus((*rs)[i].snapName), "READY") << disk(i);
    }
    EXPECT_TRUE(log.contains("GCP Transient answer [", 2));
    std::lock_guard<std::mutex> lock(sleptMutex);
    for (long ms : slept) {
        EXPECT_LE(ms, 30000) << "a pause beyond the wait's whole budget";
    }
}

// The emulator makes the snapshot but the answer never arrives: the repeat
// carries the same requestId and GCP hands back the first Operation.
TEST_F(TransientTest, LostAnswerToCreateSnapshotLeavesOneSnapshot) {
    start(1);
    gce::FaultSpec lost;
    lost.method = "POST";
    lost.path = "*/createSnapshot*";
    lost.dropAfterWork = true;
    env->emu().injectFault(lost);
    env->emu().clearJournal();
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    std::vector<std::string> queries;
    for (const auto& e : env->emu().journal()) {
        if (e.method == "POST" && e.path.find("/createSnapshot") != std::string::npos) {
            queries.push_back(e.query);
        }
    }
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0], queries[1]);
    EXPECT_NE(queries[0].find("requestId="), std::string::npos);
    EXPECT_EQ(snapshotsNamed((*rs)[0].snapName), 1u);
    EXPECT_EQ(snapshotStatus((*rs)[0].snapName), "READY");
}

// Retry-After is honoured: the pause is at least what the server asked for.
TEST_F(TransientTest, RetryAfterSetsThePause) {
    start(1);
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    gce::FaultSpec busy;
    busy.method = "GET";
    busy.path = "*/operations/*";
    busy.status = 429;
    busy.retryAfterSeconds = 4;
    env->emu().injectFault(busy);
    {
        std::lock_guard<std::mutex> lock(sleptMutex);
        slept.clear();
    }
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    std::lock_guard<std::mutex> lock(sleptMutex);
    ASSERT_FALSE(slept.empty());
    EXPECT_GE(slept.front(), 4000);
}

// A DONE Operation that carries only `error` (no httpErrorStatusCode) is a
// failure: the deletion fails with GCP's message and the snapshot stays.
TEST_F(TransientTest, OperationErrorWithoutHttpStatusFailsTheDeletion) {
    start(1);
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    gce::OperationFault fault;
    fault.operationType = "delete";
    fault.httpStatus = 0;
    fault.errorCode = "RESOURCE_IN_USE_BY_ANOTHER_RESOURCE";
    fault.message = "The snapshot is being used by an image.";
    env->emu().failOperation(fault);
    EXPECT_EQ(bxso_deleteSnaps(rs->data(), rs->count(), &util), 1);
    EXPECT_EQ((*rs)[0].status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_NE((*rs)[0].errorText.find("The snapshot is being used by an image."), std::string::npos)
        << (*rs)[0].errorText;
    EXPECT_EQ(snapshotStatus((*rs)[0].snapName), "READY");
}

// A snapshot whose Operation fails after it started running disappears; the
// wait reports the Operation's error instead of waiting out its attempts.
TEST_F(TransientTest, VanishedSnapshotReportsItsOperationsError) {
    start(1, 1.0);
    env->emu().setLatency("operation.pending", 0);
    env->emu().setLatency("snapshot.create", 0.3);
    env->emu().setLatency("snapshot.upload", 0);  // the Operation ends as CREATING would
    gce::OperationFault fault;
    fault.operationType = "createSnapshot";
    fault.errorCode = "INTERNAL_ERROR";
    fault.message = "Snapshot creation failed on the backend.";
    env->emu().failOperation(fault);
    // The sleeper returns at once while the emulator runs in real time: poll often enough.
    env->settings().set("~MoverNode", "nGCPSnapStatusCheckRetryCount", "20000");
    EXPECT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 1);
    EXPECT_NE((*rs)[0].errorText.find("Snapshot creation failed on the backend."),
              std::string::npos)
        << (*rs)[0].errorText;
    EXPECT_FALSE(log.contains("still busy after repeated attempts"));
}

// GCP ends an Operation with a rate error when a project starts too many at
// once; nothing was done, so each step of the cycle asks once more and the
// cycle ends as if nothing had happened.
TEST_F(TransientTest, OperationsRefusedForTheirRateAreAskedForAgain) {
    struct Case {
        const char* operationType;
        const char* target;
        const char* code;
    };
    const Case cases[] = {
        {"insert", "*/disks/*", "RESOURCE_OPERATION_RATE_EXCEEDED"},
        {"attachDisk", "", "RATE_LIMIT_EXCEEDED"},
        {"detachDisk", "", "RESOURCE_OPERATION_RATE_EXCEEDED"},
        {"delete", "*/disks/*", "RATE_LIMIT_EXCEEDED"},
        {"delete", "*/global/snapshots/*", "RESOURCE_OPERATION_RATE_EXCEEDED"},
    };
    start(1);
    ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.operationType) + " " + c.target);
        gce::OperationFault fault;
        fault.operationType = c.operationType;
        fault.targetPattern = c.target;
        fault.errorCode = c.code;
        fault.httpStatus = 403;
        env->emu().failOperation(fault);
        size_t mark = log.lines().size();
        ASSERT_EQ(bxso_mapSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        ASSERT_EQ(bxso_unmapSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        if (std::string(c.target) == "*/global/snapshots/*") {
            ASSERT_EQ(bxso_deleteSnaps(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
            EXPECT_EQ(snapshotsNamed((*rs)[0].snapName), 0u);
        }
        int refused = 0;
        std::vector<bxtest::DebugLine> lines = log.lines();
        for (size_t k = mark; k < lines.size(); ++k) {
            refused +=
                lines[k].text.find("was refused for the rate of operations") != std::string::npos;
        }
        EXPECT_EQ(refused, 1);
        jsonxx::Object state;
        state.parse(env->emu().stateJson());
        const jsonxx::Array& disks = state.get<jsonxx::Array>("disks");
        for (size_t i = 0; i < disks.size(); ++i) {
            const std::string& name = disks.get<jsonxx::Object>(i).get<jsonxx::String>("name");
            EXPECT_TRUE(name == "mover-1-boot" || name == disk(0)) << name << " left behind";
        }
    }
}

// A run that made the snapshot but never heard back (killed, or every answer
// lost) leaves it in GCP; the next run of the same job meets 409 and takes
// that snapshot over. A snapshot of the name made for another job is not
// taken: that run fails with GCP's own message.
TEST_F(TransientTest, SnapshotOfAnEarlierAttemptIsTakenOverOnlyByItsOwnJob) {
    for (bool sameJob : {true, false}) {
        SCOPED_TRACE(sameJob ? "same job" : "another job");
        start(1);
        gce::FaultSpec lost;
        lost.method = "POST";
        lost.path = "*/createSnapshot*";
        lost.dropAfterWork = true;
        env->emu().injectFault(lost);
        gce::FaultSpec silent = lost;
        silent.dropAfterWork = false;
        silent.dropConnection = true;
        silent.count = -1;
        env->emu().injectFault(silent);
        EXPECT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 1);
        ASSERT_EQ(snapshotsNamed((*rs)[0].snapName), 1u);
        env->emu().clearFaults();

        util.jobId = sameJob ? 777 : 778;
        int rc = bxso_snapDevices(rs->data(), rs->count(), &util);
        if (sameJob) {
            ASSERT_EQ(rc, 0) << (*rs)[0].errorText;
            ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0)
                << (*rs)[0].errorText;
            EXPECT_EQ(snapshotStatus((*rs)[0].snapName), "READY");
            EXPECT_TRUE(
                log.contains("was made by an earlier attempt of this job and is taken over"));
        } else {
            EXPECT_EQ(rc, 1);
            EXPECT_NE((*rs)[0].errorText.find("already exists"), std::string::npos)
                << (*rs)[0].errorText;
        }
        EXPECT_EQ(snapshotsNamed((*rs)[0].snapName), 1u);
        env.reset();
    }
}

}  // namespace
