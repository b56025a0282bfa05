// Following Operations and resources against the emulator over HTTPS.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;

namespace {

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.timeScale = 1.0;
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        // Instant unless a test slows a kind down.
        for (const char* kind :
             {"operation.pending", "disk.insert", "disk.delete", "snapshot.create",
              "snapshot.upload", "snapshot.delete", "instance.attachDisk", "instance.detachDisk"}) {
            env->emu().setLatency(kind, 0);
        }
        for (size_t i = 0; i < records.size(); ++i) {
            bxtest::storePreparedMetadata(records[i], std::to_string(1000 + i),
                                          "data-disk-" + std::to_string(i + 1));
        }
        ctx = std::make_unique<GcpCtx>(&util, 0, GCP_OP_POST_SNAP);
        ASSERT_EQ(ctx->initialize(records.data(), records.count()), 0) << ctx->errText();
        utils = std::make_unique<GcpUtils>(ctx.get());
        ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
        env->emu().clearJournal();
    }

    GcpObject* object(size_t i) {
        auto it = ctx->snapMap.begin();
        std::advance(it, static_cast<long>(i));
        return it->second;
    }

    // Starts a snapshot of data-disk-N; the Operation stays in the context's response.
    bool startSnapshot(int disk, const std::string& name) {
        utils->rest_resetCtx();
        ctx->session().restApiPath = "demo-project/zones/us-central1-a/disks/data-disk-" +
                                     std::to_string(disk) + "/createSnapshot";
        ctx->session().restRequest = "{\"name\":\"" + name + "\"}";
        return ctx->session().restClient->post(ctx->session().restApiPath,
                                               ctx->session().restRequest,
                                               ctx->session().restResponse, false);
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

    bxtest::LogCapture log{9};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    bxtest::RecordSet records{3};
    std::unique_ptr<GcpCtx> ctx;
    std::unique_ptr<GcpUtils> utils;
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
    EXPECT_EQ(records[0].errorCode, 60001);
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

TEST_F(MonitorTest, BatchReportsTheFailedEntities) {
    gce::OperationFault fault;
    fault.operationType = "createSnapshot";
    fault.targetPattern = "*/disks/data-disk-2";
    env->emu().failOperation(fault);

    std::vector<GcpReqOpInfo> recs;
    for (int i = 1; i <= 3; ++i) {
        std::string name = "batch-" + std::to_string(i);
        ASSERT_TRUE(startSnapshot(i, name));
        recs.push_back(snapRecord(name));
        ASSERT_EQ(utils->processResponseForSnapOpAndTargetLink(ctx.get(), recs.back()), 0);
        recs.back().targetLink = "https://" + env->emu().apiHost() +
                                 "/compute/v1/projects/demo-project/global/snapshots/" + name;
    }
    std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> batch;
    for (size_t i = 0; i < 3; ++i) {
        batch.emplace_back(object(i), &recs[i]);
    }
    env->emu().clearJournal();
    EXPECT_EQ(utils->monitorGcpRequests(batch, ctx.get()), 17);
    EXPECT_EQ(ctx->errText(),
              "Failed to monitor GCP requests for the following entities -- snapshot - "
              "[batch-2, batch-3] ");
    // The first request got past its Operation, so its target (for createSnapshot, the
    // disk, as the final Operation names it) was looked at too; the third was not.
    EXPECT_EQ(env->requestsMatching("GET", "/disks/data-disk-1"), 1u);
    EXPECT_EQ(env->requestsMatching("GET", "/disks/data-disk-3"), 0u);
    EXPECT_EQ(env->requestsMatching("GET", "/disks/data-disk-2"), 0u);
}

TEST_F(MonitorTest, BatchWhoseFirstOperationFailsMonitorsNoResource) {
    gce::OperationFault fault;
    fault.operationType = "createSnapshot";
    fault.targetPattern = "*/disks/data-disk-1";
    env->emu().failOperation(fault);
    std::vector<GcpReqOpInfo> recs;
    for (int i = 1; i <= 2; ++i) {
        std::string name = "first-" + std::to_string(i);
        ASSERT_TRUE(startSnapshot(i, name));
        recs.push_back(snapRecord(name));
        ASSERT_EQ(utils->processResponseForSnapOpAndTargetLink(ctx.get(), recs.back()), 0);
    }
    std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> batch{{object(0), &recs[0]},
                                                            {object(1), &recs[1]}};
    env->emu().clearJournal();
    EXPECT_EQ(utils->monitorGcpRequests(batch, ctx.get()), 17);
    EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/"), 0u);
    EXPECT_NE(ctx->errText().find("snapshot - [first-1, first-2] "), std::string::npos);
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
