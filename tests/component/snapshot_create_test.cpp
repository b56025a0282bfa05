// Snapshot creation (snap and post-snap phases) through the exported entry points.
#include "host/debug_log.h"
#include "support/snapped_disks.h"

namespace {

class SnapshotCreateTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        util.lister = nullptr;  // no local device is looked at
        util.jobId = 1234;
    }

    // Records as prepare leaves them for the given disks.
    void prepare(const std::vector<std::string>& disks) {
        preparedRecords(disks, "bx-", 20);
        for (size_t i = 0; i < disks.size(); ++i) {
            rec(i).snapName += "-1234";
        }
    }
};

TEST_F(SnapshotCreateTest, BackupCycleSnapPostReconcileDelete) {
    prepare({"data-disk-1", "data-disk-2"});
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    for (size_t i = 0; i < records->size(); ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_CREATE_SUCCESS);
        ASSERT_FALSE(rec(i).snapFlags.empty());
        EXPECT_EQ(rec(i).snapFlags.back(), 0x8000000);
        // The operation link is kept without its scheme for the post phase.
        EXPECT_EQ(rec(i).transientMetadata[155].rfind(env->emu().apiHost() + "/compute/v1/", 0),
                  0u);
    }
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    for (size_t i = 0; i < records->size(); ++i) {
        jsonxx::Object snap = env->snapshot(rec(i).snapName);
        ASSERT_EQ(snap.get<jsonxx::String>("status"), "READY");
        EXPECT_EQ(rec(i).metadata[6],
                  "1|demo-project|7777|" + snap.get<jsonxx::String>("id") + "|");
    }
    EXPECT_EQ(rec(0).propertiesReturned["GuestFlushStatus"], "0");

    EXPECT_EQ(run(bxso_reconcileSnaps), 0);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(env->snapshot(rec(0).snapName).empty());
    EXPECT_TRUE(env->snapshot(rec(1).snapName).empty());
}

TEST_F(SnapshotCreateTest, CreateRequestShape) {
    prepare({"data-disk-1"});
    rec(0).snapName = "snap-shape";
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    auto posts = env->requests("POST", "/createSnapshot");
    ASSERT_FALSE(posts.empty());
    const gce::JournalEntry* post = &posts[0];
    EXPECT_EQ(post->path,
              "/compute/v1/projects/demo-project/zones/us-central1-a/disks/data-disk-1/"
              "createSnapshot/");
    jsonxx::Object body;
    ASSERT_TRUE(body.parse(post->body)) << post->body;
    EXPECT_EQ(body.get<jsonxx::String>("name"), "snap-shape");
    jsonxx::Object labels = body.get<jsonxx::Object>("labels");
    EXPECT_EQ(labels.get<jsonxx::String>("data-protection-vendor-bx"), "taldrix");
    EXPECT_EQ(labels.get<jsonxx::String>("data-protection-feature-bx"), "framelock");
    ASSERT_TRUE(labels.has<jsonxx::Number>("snap-backup-job-bx"));
    EXPECT_EQ(labels.get<jsonxx::Number>("snap-backup-job-bx"), 1234);
    EXPECT_EQ(labels.get<jsonxx::String>("snap-name-bx"), "snap-shape");
    std::string description = body.get<jsonxx::String>("description");
    EXPECT_EQ(description.rfind("Snapshot created by job [1234] at time [", 0), 0u) << description;
    EXPECT_NE(description.find("] from host [" + HostDebug::getHostName() + "]"),
              std::string::npos);
    // The snapshot carries exactly those labels.
    EXPECT_EQ(env->snapshot("snap-shape").get<jsonxx::Object>("labels").size(), 4u);
}

TEST_F(SnapshotCreateTest, SkippingTheCaptureCheckLeavesTheWaitToThePostPhase) {
    env->settings().set("~MoverNode", "bGCPSkipSnapCreationStatusCheck", "true");
    env->emu().setTimeScale(1.0);
    env->emu().setLatency("snapshot.create", 0.3);
    env->emu().setLatency("snapshot.upload", 0.3);
    env->emu().setLatency("operation.pending", 0);
    prepare({"data-disk-1"});
    rec(0).configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 1;
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    EXPECT_EQ(rec(0).status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(env->requestsMatching("GET", "/operations/"), 0u);
    EXPECT_TRUE(log.contains(
        "GCP Additional setting [~MoverNode\\bGCPSkipSnapCreationStatusCheck] found and is "
        "[enabled]",
        0));
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    EXPECT_EQ(env->snapshot(rec(0).snapName).get<jsonxx::String>("status"), "READY");
}

TEST_F(SnapshotCreateTest, FailedCreationMarksTheRecordAndReportsGcp) {
    prepare({"data-disk-1", "no-such-disk"});
    EXPECT_EQ(run(bxso_snapDevices), 1);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(rec(1).status, BXSO::SNAP_CREATE_FAILED);
    EXPECT_EQ(rec(0).errorCode, 60001);
    EXPECT_NE(rec(0).errorText.find("Failed to create snapshot of Gcp device [no-such-disk]. REST "
                                    "error returned by GCP [The resource "),
              std::string::npos)
        << rec(0).errorText;
    EXPECT_TRUE(
        log.contains("GCP Failing create for snapshot [bx-no-such-disk-1234] due to "
                     "pre-empt flag set"));
}

}  // namespace
