// Following Operations and resources against the emulator over HTTPS.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/helpers.h"
#include "rest/rest_api_gcp.h"
#include "support/snapped_disks.h"

using namespace DuVavaZid;

namespace {

class MonitorTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.timeScale = 1.0;
        ASSERT_NO_FATAL_FAILURE(startEmulator(options));
        // Instant unless a test slows a kind down.
        for (const char* kind :
             {"operation.pending", "disk.insert", "disk.delete", "snapshot.create",
              "snapshot.upload", "snapshot.delete", "instance.attachDisk", "instance.detachDisk"}) {
            env->emu().setLatency(kind, 0);
        }
        records = std::make_unique<bxtest::RecordSet>(3);
        for (size_t i = 0; i < records->size(); ++i) {
            bxtest::storePreparedMetadata(rec(i), std::to_string(1000 + i),
                                          "data-disk-" + std::to_string(i + 1));
        }
        ASSERT_NO_FATAL_FAILURE(connect(GCP_OP_POST_SNAP));
    }

    // Starts a snapshot of data-disk-N; the Operation stays in the context's response.
    bool startSnapshot(int disk, const std::string& name) {
        return postSnapshot(
            "demo-project/zones/us-central1-a/disks/data-disk-" + std::to_string(disk), name);
    }

    static GcpReqOpInfo snapRecord(const std::string& name, int maxAttempts = 5) {
        GcpReqOpInfo rec;
        rec.operationType = "snapshot-create";
        rec.entityType = GCP_ENTITY_SNAPSHOT;
        rec.entityName = name;
        rec.maxAttempts = maxAttempts;
        rec.sleepInterval = 1;
        rec.sleepUnitMs = 10;
        return rec;
    }

    size_t operationPolls() const { return env->requestsMatching("GET", "/operations/"); }
};

TEST_F(MonitorTest, OperationDoneInTheStartingAnswerNeedsNoPoll) {
    ASSERT_TRUE(startSnapshot(1, "s-done"));
    GcpReqOpInfo rec = snapRecord("s-done");
    ASSERT_EQ(utils->monitorSnapOpProgress(object(0), ctx.get(), rec, true), 0) << ctx->errText();
    EXPECT_EQ(operationPolls(), 0u);
    EXPECT_NE(rec.selfLink.find("/operations/"), std::string::npos);
    EXPECT_NE(rec.targetLink.find("/disks/data-disk-1"), std::string::npos);
    EXPECT_TRUE(strCompare(rec.status, "DONE", true));
}

TEST_F(MonitorTest, OperationThatKeepsRunningGivesUpAfterMaxAttempts) {
    env->emu().setLatency("snapshot.create", 3600);
    ASSERT_TRUE(startSnapshot(1, "s-slow"));
    GcpReqOpInfo rec = snapRecord("s-slow", 3);
    EXPECT_EQ(utils->monitorSnapOpProgress(object(0), ctx.get(), rec, true), 17);
    EXPECT_EQ(operationPolls(), 3u);
    EXPECT_EQ(log.count("still running - will try again after sleeping for 10 ms"), 3u);
    EXPECT_EQ(ctx->errText(),
              "Failed to get operation [snapshot-create] status after [3] attempts, it is still "
              "running");
    // The client is left on the API base path, not on the Operation.
    utils->rest_resetCtx();
    ASSERT_TRUE(ctx->session().restClient->get("demo-project/zones/us-central1-a/disks/data-disk-2",
                                               "", ctx->session().restResponse, false));
}

TEST_F(MonitorTest, RunningSnapshotCountsAsTakenWithoutWaiting) {
    env->emu().setLatency("snapshot.create", 3600);
    ASSERT_TRUE(startSnapshot(1, "s-run"));
    GcpReqOpInfo rec = snapRecord("s-run", 50);
    EXPECT_EQ(utils->monitorSnapOpProgress(object(0), ctx.get(), rec, false), 0);
    EXPECT_TRUE(
        log.contains("GCP Operation [snapshot-create] is now running for snapshot [s-run]"));
}

TEST_F(MonitorTest, FailedOperationReportsGcpMessage) {
    gce::OperationFault fault;
    fault.operationType = "createSnapshot";
    fault.message = "Snapshot quota exceeded";
    env->emu().failOperation(fault);
    ASSERT_TRUE(startSnapshot(1, "s-fail"));
    GcpReqOpInfo rec = snapRecord("s-fail");
    EXPECT_EQ(utils->monitorSnapOpProgress(object(0), ctx.get(), rec, true), 15);
    EXPECT_EQ(ctx->errText(),
              "Failed to perform the requested operation. Error returned by GCP [Snapshot quota "
              "exceeded]");
    // The post phase reports with the snap phase's host code.
    EXPECT_EQ((*records)[0].errorCode, 60001);
}

// A PENDING Operation has no startTime and a RUNNING one no endTime: their
// absence is no failure and leaves no error behind.
TEST_F(MonitorTest, OperationTimesAreReadWhenThere) {
    env->emu().setLatency("operation.pending", 0.05);
    env->emu().setLatency("snapshot.create", 0.05);
    ASSERT_TRUE(startSnapshot(1, "s-times"));
    GcpReqOpInfo rec = snapRecord("s-times", 100);
    ASSERT_EQ(utils->monitorSnapOpProgress(object(0), ctx.get(), rec, true), 0) << ctx->errText();
    EXPECT_GE(operationPolls(), 2u);
    EXPECT_FALSE(rec.startTime.empty());
    EXPECT_FALSE(rec.endTime.empty());
    EXPECT_EQ(ctx->session().ErrCode, 0);
    EXPECT_EQ(ctx->errText(), "");
}

TEST_F(MonitorTest, ResourceNotFoundTwiceThenReady) {
    ASSERT_TRUE(startSnapshot(1, "s-late"));
    GcpReqOpInfo rec = snapRecord("s-late");
    ASSERT_EQ(utils->processResponseForSnapOpAndTargetLink(ctx.get(), rec), 0);
    rec.targetLink = "https://" + env->emu().apiHost() +
                     "/compute/v1/projects/demo-project/global/snapshots/s-late";
    env->emu().injectFault(bxtest::httpFault("GET", "*/global/snapshots/s-late", 404, 2));
    EXPECT_EQ(utils->monitorResourceStatus(object(0), ctx.get(), rec, true), 0) << ctx->errText();
    EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/s-late"), 3u);
    EXPECT_EQ(log.count("GCP Resource [s-late] not found"), 2u);
    EXPECT_EQ(ctx->session().ErrCode, 0);
}

TEST_F(MonitorTest, UploadingSnapshotWithAndWithoutWaitingForCompletion) {
    env->emu().setLatency("snapshot.upload", 3600);
    ASSERT_TRUE(startSnapshot(1, "s-up"));
    GcpReqOpInfo rec = snapRecord("s-up");
    rec.targetLink = "https://" + env->emu().apiHost() +
                     "/compute/v1/projects/demo-project/global/snapshots/s-up";
    EXPECT_EQ(utils->monitorResourceStatus(object(0), ctx.get(), rec, false), 0);
    EXPECT_EQ(utils->monitorResourceStatus(object(0), ctx.get(), rec, true), 26);
    // A resource that stays busy runs out of attempts: N polls, N - 1 waits.
    env->emu().setLatency("snapshot.create", 3600);
    ASSERT_TRUE(startSnapshot(2, "s-busy"));
    GcpReqOpInfo busy = snapRecord("s-busy", 3);
    busy.targetLink = "https://" + env->emu().apiHost() +
                      "/compute/v1/projects/demo-project/global/snapshots/s-busy";
    env->emu().clearJournal();
    EXPECT_EQ(utils->monitorResourceStatus(object(1), ctx.get(), busy, true), 17);
    EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/s-busy"), 3u);
    EXPECT_EQ(ctx->errText(),
              "Resource snapshot [s-busy] is still busy after repeated attempts (3 times).");
}

// A batch follows the Operations in order up to the first that failed: that
// one and all after it are reported, and only the targets before it are read.
TEST_F(MonitorTest, BatchReportsTheFailedEntities) {
    struct Case {
        const char* failingDisk;
        const char* prefix;
        int requests;
        const char* failed;
        size_t diskReads;  // of data-disk-1, whose Operation alone may have succeeded
    };
    const Case cases[] = {{"*/disks/data-disk-2", "batch-", 3, "[batch-2, batch-3] ", 1},
                          {"*/disks/data-disk-1", "first-", 2, "[first-1, first-2] ", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingDisk);
        gce::OperationFault fault;
        fault.operationType = "createSnapshot";
        fault.targetPattern = c.failingDisk;
        env->emu().failOperation(fault);
        std::vector<GcpReqOpInfo> recs;
        for (int i = 1; i <= c.requests; ++i) {
            std::string name = c.prefix + std::to_string(i);
            ASSERT_TRUE(startSnapshot(i, name));
            recs.push_back(snapRecord(name));
            ASSERT_EQ(utils->processResponseForSnapOpAndTargetLink(ctx.get(), recs.back()), 0);
            recs.back().targetLink = "https://" + env->emu().apiHost() +
                                     "/compute/v1/projects/demo-project/global/snapshots/" + name;
        }
        std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> batch;
        for (size_t i = 0; i < recs.size(); ++i) {
            batch.emplace_back(object(i), &recs[i]);
        }
        env->emu().clearJournal();
        EXPECT_EQ(utils->monitorGcpRequests(batch, ctx.get()), 17);
        EXPECT_EQ(ctx->errText(),
                  std::string("Failed to monitor GCP requests for the following entities -- "
                              "snapshot - ") +
                      c.failed);
        // For createSnapshot the target read is the disk, as the final Operation names it.
        EXPECT_EQ(env->requestsMatching("GET", "/disks/data-disk-1"), c.diskReads);
        EXPECT_EQ(env->requestsMatching("GET", "/disks/"), c.diskReads);
        EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/"), 0u);
        ctx->resetError();
    }
}

TEST_F(MonitorTest, WorkersMonitorTheirOwnOperationsOnOneContext) {
    env->emu().setLatency("snapshot.create", 0.15);
    ctx->threadsInUse = true;
    std::vector<int> results(3, -1);
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([this, i, &results] {
            std::string name = "par-" + std::to_string(i);
            GcpReqOpInfo rec = snapRecord(name, 100);
            // Each worker talks through a session of its own; nothing is locked.
            DuVavaZid::WorkerSession session(ctx.get(), object(static_cast<size_t>(i)));
            if (!startSnapshot(i + 1, name) ||
                utils->processResponseForSnapOpAndTargetLink(ctx.get(), rec) != 0) {
                return;
            }
            results[static_cast<size_t>(i)] =
                utils->monitorSnapOpProgress(object(static_cast<size_t>(i)), ctx.get(), rec, true);
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0})) << ctx->errText();
    EXPECT_GE(operationPolls(), 3u);
}

}  // namespace
