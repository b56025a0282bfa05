// Snapshot creation (snap and post-snap phases) through the exported entry points.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "host/debug_log.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

class SnapshotCreateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env = std::make_unique<bxtest::EmulatorEnv>();
        ASSERT_TRUE(env->ok()) << env->error();
        util.jobId = 1234;
    }

    // Records as prepare leaves them for data-disk-1..n (or the given disks).
    std::unique_ptr<bxtest::RecordSet> preparedRecords(const std::vector<std::string>& disks) {
        auto records = std::make_unique<bxtest::RecordSet>(static_cast<int>(disks.size()));
        for (size_t i = 0; i < disks.size(); ++i) {
            auto& r = (*records)[i];
            bxtest::storePreparedMetadata(r, "1", disks[i]);
            r.snapName = "bx-" + disks[i] + "-1234";
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 20;
        }
        return records;
    }

    jsonxx::Object snapshot(const std::string& name) {
        jsonxx::Object o;
        o.parse(env->emu().resourceJson("projects/demo-project/global/snapshots/" + name));
        return o;
    }

    const gce::JournalEntry* firstRequest(const std::string& method, const std::string& part) {
        journal = env->emu().journal();
        for (const auto& e : journal) {
            if (e.method == method && (e.path + "?" + e.query).find(part) != std::string::npos) {
                return &e;
            }
        }
        return nullptr;
    }

    bxtest::LogCapture log{9};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    std::vector<gce::JournalEntry> journal;
};

TEST_F(SnapshotCreateTest, BackupCycleSnapPostReconcileDelete) {
    auto records = preparedRecords({"data-disk-1", "data-disk-2"});
    auto& rs = *records;
    ASSERT_EQ(bxso_snapDevices(rs.data(), rs.count(), &util), 0) << rs[0].errorText;
    for (size_t i = 0; i < rs.size(); ++i) {
        EXPECT_EQ(rs[i].status, BXSO::SNAP_CREATE_SUCCESS);
        ASSERT_FALSE(rs[i].snapFlags.empty());
        EXPECT_EQ(rs[i].snapFlags.back(), 0x8000000);
        // The operation link is kept without its scheme for the post phase.
        EXPECT_EQ(rs[i].transientMetadata[155].rfind(env->emu().apiHost() + "/compute/v1/", 0), 0u);
    }
    ASSERT_EQ(bxso_postSnapDevices(rs.data(), rs.count(), &util), 0) << rs[0].errorText;
    for (size_t i = 0; i < rs.size(); ++i) {
        jsonxx::Object snap = snapshot(rs[i].snapName);
        ASSERT_EQ(snap.get<jsonxx::String>("status"), "READY");
        EXPECT_EQ(rs[i].metadata[6], "1|demo-project|7777|" + snap.get<jsonxx::String>("id") + "|");
    }
    EXPECT_EQ(rs[0].propertiesReturned["GuestFlushStatus"], "0");

    EXPECT_EQ(bxso_reconcileSnaps(rs.data(), rs.count(), &util), 0);
    EXPECT_EQ(rs[0].status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(bxso_deleteSnaps(rs.data(), rs.count(), &util), 0) << rs[0].errorText;
    EXPECT_TRUE(snapshot(rs[0].snapName).empty());
    EXPECT_TRUE(snapshot(rs[1].snapName).empty());
}

TEST_F(SnapshotCreateTest, CreateRequestShape) {
    auto records = preparedRecords({"data-disk-1"});
    auto& rs = *records;
    rs[0].snapName = "snap-shape";
    ASSERT_EQ(bxso_snapDevices(rs.data(), 1, &util), 0) << rs[0].errorText;
    const gce::JournalEntry* post = firstRequest("POST", "/createSnapshot");
    ASSERT_NE(post, nullptr);
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
    EXPECT_EQ(snapshot("snap-shape").get<jsonxx::Object>("labels").size(), 4u);
}

TEST_F(SnapshotCreateTest, RegionalDiskIsSnapshottedThroughItsRegion) {
    auto records = preparedRecords({"regional-disk-1"});
    auto& rs = *records;
    rs[0].metadata[154] = "|us-central1|";
    ASSERT_EQ(bxso_snapDevices(rs.data(), 1, &util), 0) << rs[0].errorText;
    EXPECT_NE(firstRequest("POST", "/regions/us-central1/disks/regional-disk-1/createSnapshot/"),
              nullptr);
    ASSERT_EQ(bxso_postSnapDevices(rs.data(), 1, &util), 0) << rs[0].errorText;
}

TEST_F(SnapshotCreateTest, TwentyDisksAllEndReadyWithTheirIds) {
    std::ostringstream seed;
    seed << R"({"disks":[)";
    std::vector<std::string> disks;
    for (int i = 1; i <= 20; ++i) {
        disks.push_back("bulk-" + std::to_string(i));
        seed << (i > 1 ? "," : "") << R"({"project":"demo-project","zone":"us-central1-a","name":")"
             << disks.back() << R"(","sizeGb":10})";
    }
    seed << "]}";
    std::string error;
    ASSERT_TRUE(env->emu().seed(seed.str(), &error)) << error;
    auto records = preparedRecords(disks);
    auto& rs = *records;
    ASSERT_EQ(bxso_snapDevices(rs.data(), rs.count(), &util), 0) << rs[0].errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs.data(), rs.count(), &util), 0) << rs[0].errorText;
    EXPECT_EQ(env->requestsMatching("POST", "/createSnapshot"), 20u);
    for (size_t i = 0; i < rs.size(); ++i) {
        jsonxx::Object snap = snapshot(rs[i].snapName);
        EXPECT_EQ(snap.get<jsonxx::String>("status"), "READY") << i;
        EXPECT_EQ(rs[i].metadata[6], "1|demo-project|7777|" + snap.get<jsonxx::String>("id") + "|");
    }
}

TEST_F(SnapshotCreateTest, SkippingTheCaptureCheckLeavesTheWaitToThePostPhase) {
    env->settings().set("~MoverNode", "bGCPSkipSnapCreationStatusCheck", "true");
    env->emu().setTimeScale(1.0);
    env->emu().setLatency("snapshot.create", 0.3);
    env->emu().setLatency("snapshot.upload", 0.3);
    env->emu().setLatency("operation.pending", 0);
    auto records = preparedRecords({"data-disk-1"});
    auto& rs = *records;
    rs[0].configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 1;
    ASSERT_EQ(bxso_snapDevices(rs.data(), 1, &util), 0) << rs[0].errorText;
    EXPECT_EQ(rs[0].status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(env->requestsMatching("GET", "/operations/"), 0u);
    EXPECT_TRUE(log.contains(
        "GCP Additional setting [~MoverNode\\bGCPSkipSnapCreationStatusCheck] found and is "
        "[enabled]",
        0));
    ASSERT_EQ(bxso_postSnapDevices(rs.data(), 1, &util), 0) << rs[0].errorText;
    EXPECT_EQ(snapshot(rs[0].snapName).get<jsonxx::String>("status"), "READY");
}

TEST_F(SnapshotCreateTest, FailedCreationMarksTheRecordAndReportsGcp) {
    auto records = preparedRecords({"data-disk-1", "no-such-disk"});
    auto& rs = *records;
    EXPECT_EQ(bxso_snapDevices(rs.data(), rs.count(), &util), 1);
    EXPECT_EQ(rs[0].status, BXSO::SNAP_CREATE_SUCCESS);
    EXPECT_EQ(rs[1].status, BXSO::SNAP_CREATE_FAILED);
    EXPECT_EQ(rs[0].errorCode, 60001);
    EXPECT_NE(rs[0].errorText.find("Failed to create snapshot of Gcp device [no-such-disk]. REST "
                                   "error returned by GCP [The resource "),
              std::string::npos)
        << rs[0].errorText;
    EXPECT_TRUE(
        log.contains("GCP Failing create for snapshot [bx-no-such-disk-1234] due to "
                     "pre-empt flag set"));
}

}  // namespace
