// Transient answers against the emulator: polls and mutating requests are
// repeated with backoff (mutating ones under one requestId), pauses go
// through the injected sleeper, and failed Operations say why.
#include <algorithm>
#include <mutex>
#include <vector>

#include "runtime/runtime.h"
#include "support/snapped_disks.h"

namespace {

const char* const kPrefix = "tr-disk-";

class TransientTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        log.setLevel(3);
        bxrt::setSleeper([this](long ms) {
            std::lock_guard<std::mutex> lock(sleptMutex);
            slept.push_back(ms);
        });
    }
    void TearDown() override { bxrt::setSleeper(nullptr); }

    void start(int disks, double timeScale = 0) {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.timeScale = timeScale;
        ASSERT_NO_FATAL_FAILURE(startFleet(disks, kPrefix, "tr-snap-", 1, 30, options));
        util.jobId = 777;
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    }

    static std::string name(int i) { return kPrefix + std::to_string(i + 1); }

    // Snapshots of the name, those being deleted included.
    size_t snapshotsNamed(const std::string& name) {
        auto all = env->names("snapshots", "", true);
        return static_cast<size_t>(std::count(all.begin(), all.end(), name));
    }

    std::mutex sleptMutex;
    std::vector<long> slept;
};

// Every poll of eight workers has a one-in-five chance of 503 or 429; the
// snapshots are all taken, and every pause stays within the wait's budget.
TEST_F(TransientTest, FlakyPollsStillEndWithEveryDiskSnapshotted) {
    start(8);
    for (int status : {503, 429}) {
        gce::FaultSpec flaky = bxtest::httpFault(
            "GET", status == 503 ? "*/operations/*" : "*/global/snapshots/*", status, -1);
        flaky.probability = 0.2;
        env->emu().injectFault(flaky);
    }
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    for (int i = 0; i < records->count(); ++i) {
        EXPECT_EQ(env->snapshotStatus(rec(i).snapName), "READY") << name(i);
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
    gce::FaultSpec lost = bxtest::httpFault("POST", "*/createSnapshot*", 503);
    lost.dropAfterWork = true;
    env->emu().injectFault(lost);
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    auto creates = env->requests("POST", "/createSnapshot");
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[0].query, creates[1].query);
    EXPECT_NE(creates[0].query.find("requestId="), std::string::npos);
    EXPECT_EQ(snapshotsNamed(rec(0).snapName), 1u);
    EXPECT_EQ(env->snapshotStatus(rec(0).snapName), "READY");
}

// Retry-After is honoured: the pause is at least what the server asked for.
TEST_F(TransientTest, RetryAfterSetsThePause) {
    start(1);
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    gce::FaultSpec busy = bxtest::httpFault("GET", "*/operations/*", 429);
    busy.retryAfterSeconds = 4;
    env->emu().injectFault(busy);
    {
        std::lock_guard<std::mutex> lock(sleptMutex);
        slept.clear();
    }
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    std::lock_guard<std::mutex> lock(sleptMutex);
    ASSERT_FALSE(slept.empty());
    EXPECT_GE(slept.front(), 4000);
}

// A DONE Operation that carries only `error` (no httpErrorStatusCode) is a
// failure: the deletion fails with GCP's message and the snapshot stays.
TEST_F(TransientTest, OperationErrorWithoutHttpStatusFailsTheDeletion) {
    start(1);
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    gce::OperationFault fault = bxtest::opFault("delete", "RESOURCE_IN_USE_BY_ANOTHER_RESOURCE");
    fault.httpStatus = 0;
    fault.message = "The snapshot is being used by an image.";
    env->emu().failOperation(fault);
    EXPECT_EQ(run(bxso_deleteSnaps), 1);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_NE(rec(0).errorText.find("The snapshot is being used by an image."), std::string::npos)
        << rec(0).errorText;
    EXPECT_EQ(env->snapshotStatus(rec(0).snapName), "READY");
}

// A snapshot whose Operation fails after it started running disappears; the
// wait reports the Operation's error instead of waiting out its attempts.
TEST_F(TransientTest, VanishedSnapshotReportsItsOperationsError) {
    start(1, 1.0);
    env->emu().setLatency("operation.pending", 0);
    env->emu().setLatency("snapshot.create", 0.3);
    env->emu().setLatency("snapshot.upload", 0);  // the Operation ends as CREATING would
    gce::OperationFault fault = bxtest::opFault("createSnapshot");
    fault.message = "Snapshot creation failed on the backend.";
    env->emu().failOperation(fault);
    // The sleeper returns at once while the emulator runs in real time: poll often enough.
    env->settings().set("~MoverNode", "nGCPSnapStatusCheckRetryCount", "20000");
    EXPECT_EQ(run(bxso_snapDevices), 1);
    EXPECT_NE(rec(0).errorText.find("Snapshot creation failed on the backend."), std::string::npos)
        << rec(0).errorText;
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
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.operationType) + " " + c.target);
        gce::OperationFault fault = bxtest::opFault(c.operationType, c.code);
        fault.targetPattern = c.target;
        fault.httpStatus = 403;
        env->emu().failOperation(fault);
        log.clear();
        ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
        ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
        if (std::string(c.target) == "*/global/snapshots/*") {
            ASSERT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
            EXPECT_EQ(snapshotsNamed(rec(0).snapName), 0u);
        }
        EXPECT_EQ(log.count("was refused for the rate of operations"), 1u);
        for (const std::string& left : env->names("disks", "", true)) {
            EXPECT_TRUE(left == "mover-1-boot" || left == name(0)) << left << " left behind";
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
        ASSERT_NO_FATAL_FAILURE(start(1));
        gce::FaultSpec lost = bxtest::httpFault("POST", "*/createSnapshot*", 503);
        lost.dropAfterWork = true;
        env->emu().injectFault(lost);
        gce::FaultSpec silent = lost;
        silent.dropAfterWork = false;
        silent.dropConnection = true;
        silent.count = -1;
        env->emu().injectFault(silent);
        EXPECT_EQ(run(bxso_snapDevices), 1);
        ASSERT_EQ(snapshotsNamed(rec(0).snapName), 1u);
        env->emu().clearFaults();

        util.jobId = sameJob ? 777 : 778;
        int rc = run(bxso_snapDevices);
        if (sameJob) {
            ASSERT_EQ(rc, 0) << rec(0).errorText;
            ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
            EXPECT_EQ(env->snapshotStatus(rec(0).snapName), "READY");
            EXPECT_TRUE(
                log.contains("was made by an earlier attempt of this job and is taken over"));
        } else {
            EXPECT_EQ(rc, 1);
            EXPECT_NE(rec(0).errorText.find("already exists"), std::string::npos)
                << rec(0).errorText;
        }
        EXPECT_EQ(snapshotsNamed(rec(0).snapName), 1u);
    }
}

}  // namespace
