#include <gtest/gtest.h>

#include "engine/exports.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using bxtest::RecordSet;

namespace {

class EntryPointTest : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
};

using EntryFn = int (*)(BXSO::SnapInfo**, short, BXSO::BXOSUtil*);

struct OpCase {
    const char* name;
    EntryFn fn;
    int hostError;
    BXSO::SnapStatus failure;  // SNAP_STATUS_NONE: statuses untouched
    const char* startText;
    const char* failureText;
};

const OpCase kOps[] = {
    {"prepare", bxso_prepareDevices, 62008, BXSO::SNAP_PREPARE_FAILED,
     "Prepare snap operation - no of devices [0]", "Prepare snap operation -- failed"},
    {"snap", bxso_snapDevices, 60001, BXSO::SNAP_CREATE_FAILED,
     "Create snap operation - no of devices [0]", "Create snap operation -- failed"},
    {"post", bxso_postSnapDevices, 60001, BXSO::SNAP_CREATE_FAILED,
     "Post create snap operation - no of devices [0]", "Post create snap operation -- failed"},
    {"map", bxso_mapSnaps, 62009, BXSO::SNAP_MAP_FAILED, "Map snap operation - no of snaps [0]",
     "Map snap operation -- failed"},
    {"unmap", bxso_unmapSnaps, 62010, BXSO::SNAP_UNMAP_FAILED,
     "Unmap snap operation - no of snaps [0]", "Unmap snap operation -- failed"},
    {"delete", bxso_deleteSnaps, 60004, BXSO::SNAP_DELETE_FAILED,
     "Delete snap operation - no of snaps [0]", "Delete snap operation -- failed"},
    {"revert", bxso_revertSnaps, 60005, BXSO::SNAP_REVERT_FAILED,
     "Revert snap operation - no of devices [0]", "Revert snap operation -- failed"},
    {"reconcile", bxso_reconcileSnaps, 60298, BXSO::SNAP_STATUS_NONE,
     "Reconcile snap operation - no of snaps [0]", "Reconcile snap operation -- failed"},
};

class EveryOperation : public EntryPointTest, public ::testing::WithParamInterface<OpCase> {};

TEST_P(EveryOperation, CountZeroReportsOnFirstRecordWithoutStatusChange) {
    const auto& op = GetParam();
    RecordSet records(1);
    records[0].status = BXSO::SNAP_PREPARE_SUCCESS;
    EXPECT_EQ(op.fn(records.data(), 0, &util), 1);
    EXPECT_EQ(records[0].status, BXSO::SNAP_PREPARE_SUCCESS);
    EXPECT_EQ(records[0].errorCode, op.hostError);
    EXPECT_EQ(records[0].errorText, "Invalid snap count [0]");
    ASSERT_GE(records[0].hostLog.size(), 2u);
    EXPECT_EQ(records[0].hostLog.front().level, 1);
    EXPECT_EQ(records[0].hostLog.front().prefix, "GCP ");
    EXPECT_EQ(records[0].hostLog.front().text, op.startText);
    EXPECT_EQ(records[0].hostLog.back().level, 2);
    EXPECT_EQ(records[0].hostLog.back().text, op.failureText);
}

TEST_P(EveryOperation, FailureMarksOnlyUnsuccessfulRecords) {
    const auto& op = GetParam();
    RecordSet records(3);
    records[1].arrayNumber = 2;  // two arrays in one call: validation fails (not for prepare)
    records[1].sourceDeviceOk = false;  // and prepare fails on the source device
    const BXSO::SnapStatus statuses[] = {BXSO::SNAP_PREPARE_SUCCESS, BXSO::SNAP_STATUS_NONE,
                                         BXSO::SNAP_DELETE_SUCCESS};
    for (size_t i = 0; i < 3; ++i) {
        records[i].status = statuses[i];
    }
    EXPECT_EQ(op.fn(records.data(), 3, &util), 1);
    if (op.failure == BXSO::SNAP_STATUS_NONE) {
        EXPECT_EQ(records[1].status, BXSO::SNAP_STATUS_NONE);
        return;
    }
    for (size_t i = 0; i < 3; ++i) {
        const BXSO::SnapStatus before = statuses[i];
        bool wasSuccess = (op.hostError == 62008 && before == BXSO::SNAP_PREPARE_SUCCESS) ||
                          (op.hostError == 60004 && before == BXSO::SNAP_DELETE_SUCCESS);
        EXPECT_EQ(records[i].status, wasSuccess ? before : op.failure) << op.name << " #" << i;
    }
    EXPECT_EQ(records[0].errorCode, op.hostError);
    EXPECT_FALSE(records[0].errorText.empty());
}

TEST_P(EveryOperation, ErrorAlreadyOnFirstRecordIsKept) {
    const auto& op = GetParam();
    RecordSet records(1);
    records[0].errorCode = 15;
    records[0].errorText = "deeper failure";
    EXPECT_EQ(op.fn(records.data(), 0, &util), 1);
    EXPECT_EQ(records[0].errorCode, 15);
    EXPECT_EQ(records[0].errorText, "deeper failure");
    // A code without a text does not count as a complete error.
    records[0].errorText.clear();
    EXPECT_EQ(op.fn(records.data(), 0, &util), 1);
    EXPECT_EQ(records[0].errorCode, op.hostError);
}

TEST_P(EveryOperation, NullRecordArrayTouchesNothing) {
    EXPECT_EQ(GetParam().fn(nullptr, 2, &util), 1);
    BXSO::SnapInfo* none[1] = {nullptr};
    EXPECT_EQ(GetParam().fn(none, 1, &util), 1);
}

INSTANTIATE_TEST_SUITE_P(Entry, EveryOperation, ::testing::ValuesIn(kOps),
                         [](const auto& info) { return std::string(info.param.name); });

// The only call that reaches an entry point without a utility object: it
// must fail the records with the reason, not touch the missing object.
TEST_F(EntryPointTest, MissingUtilityObjectIsCode19) {
    RecordSet records(1);
    EXPECT_EQ(bxso_snapDevices(records.data(), 1, nullptr), 1);
    EXPECT_EQ(records[0].errorText, "Snap OS Util object is null or not initialized");
    EXPECT_EQ(records[0].status, BXSO::SNAP_CREATE_FAILED);
    EXPECT_TRUE(log.contains("GCP Input validation for snap operation failed [19:", -1));
}

TEST_F(EntryPointTest, DeleteWithoutStoredMetadataSucceedsWithoutGcp) {
    RecordSet records(2);
    // Neither record ever got metadata: their snapshots never existed.
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 2, &util), 0);
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_SUCCESS);
    EXPECT_EQ(records[1].status, BXSO::SNAP_DELETE_SUCCESS);
    EXPECT_EQ(records[0].errorCode, 0);
    ASSERT_EQ(records[0].hostLog.size(), 3u);
    EXPECT_EQ(records[0].hostLog[1].text,
              "All snaps are marked as delete success - hence returning");
    EXPECT_EQ(records[0].hostLog[1].prefix, "GCP ");
    EXPECT_EQ(records[0].hostLog[2].text, "Delete snap operation -- success");
    EXPECT_EQ(records[0].hostLog[2].prefix, "GCP >> ");
    EXPECT_EQ(records[0].hostLog[2].level, 1);
    EXPECT_FALSE(log.contains("rest_connectToArray"));
}

TEST_F(EntryPointTest, DeleteWithOneLiveSnapshotGoesOnToGcp) {
    RecordSet records(2);
    bxtest::storePreparedMetadata(records[1], "4411", "data-disk-1", "us-central1-a", "9001");
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 2, &util), 1);
    // The record without metadata keeps its delete success; the other is marked failed.
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_SUCCESS);
    EXPECT_EQ(records[1].status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_EQ(records[0].errorCode, 60004);
}

TEST_F(EntryPointTest, Version) {
    short major = 0, minor = 0, revision = 0;
    bxso_version(&major, &minor, &revision);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(revision, 1);
    EXPECT_TRUE(log.containsExact("GCP Version: Major[1] Minor[1] Revision[1]", 2));
    log.clear();
    bxso_version(&major, nullptr, &revision);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EntryPointTest, UnsupportedOperationsAnswerOneAndLeaveRecordsAlone) {
    RecordSet records(2);
    EXPECT_EQ(bxso_unprepareDevices(records.data(), 2, &util), 1);
    EXPECT_EQ(bxso_isMapped(records.data(), 2, &util), 1);
    EXPECT_EQ(bxso_fileRevert(nullptr, nullptr, nullptr, 0, &util), 1);
    EXPECT_TRUE(log.containsExact("GCP Snap unprepare for [2] devices -- NOT Supported", 0));
    EXPECT_TRUE(log.containsExact("GCP IsMapped not yet supported", 0));
    EXPECT_TRUE(log.containsExact("GCP Snap file revert not supported for Google GCP", 0));
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].status, BXSO::SNAP_STATUS_NONE);
        EXPECT_TRUE(records[i].hostLog.empty());
        EXPECT_EQ(records[i].errorCode, 0);
    }
}

TEST_F(EntryPointTest, StatusLoopHelpers) {
    RecordSet records(3);
    records[1].status = BXSO::SNAP_MAP_SUCCESS;
    std::vector<BXSO::SnapInfo*> ptrs(records.data(), records.data() + 3);
    ptrs[2] = nullptr;
    setSnapStatus(BXSO::SNAP_MAP_SUCCESS, BXSO::SNAP_MAP_FAILED, ptrs.data(), 3);
    EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_FAILED);
    EXPECT_EQ(records[1].status, BXSO::SNAP_MAP_SUCCESS);
    EXPECT_EQ(records[2].status, BXSO::SNAP_STATUS_NONE);
    setSnapStatus(BXSO::SNAP_MAP_SUCCESS, BXSO::SNAP_MAP_FAILED, ptrs.data(), 0);
    setSnapStatus(BXSO::SNAP_MAP_SUCCESS, BXSO::SNAP_MAP_FAILED, nullptr, 3);
    setSnapOpError(&records[0], 62009, "why");
    EXPECT_EQ(records[0].errorCode, 62009);
    EXPECT_EQ(records[0].errorText, "why");
}

TEST(WorkerPool, SizedByThreadCountAndSnapshots) {
    bxtest::LogCapture log(3);
    bxtest::FakeOSUtil util;
    struct Case {
        int snaps;
        int threadCount;  // -1: not configured (default 8)
        int want;
    } cases[] = {{1, -1, 1}, {20, -1, 8}, {20, 32, 20}, {5, 2, 2}};
    for (const auto& c : cases) {
        bxtest::RecordSet records(c.snaps);
        for (size_t i = 0; i < records.size(); ++i) {
            bxtest::storePreparedMetadata(records[i], "1", "d" + std::to_string(i));
            if (c.threadCount >= 0) {
                records[i].configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = c.threadCount;
            }
        }
        DuVavaZid::GcpCtx ctx(&util, 0, DuVavaZid::GCP_OP_SNAP);
        ASSERT_EQ(ctx.initialize(records.data(), records.count()), 0) << ctx.errText();
        DuVavaZid::GcpUtils utils(&ctx);
        utils.initThreadPool("createSnaps");
        EXPECT_EQ(ctx.threadPool.maxThreads(), c.want) << c.snaps << "/" << c.threadCount;
    }
}

}  // namespace
