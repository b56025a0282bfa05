// Revert through the exported entry point: the source disks of the emulated VM
// replaced by disks made from their snapshots, and the undo when any step of
// any disk fails. After every call each disk of the call must exist and be
// attached under its former device name.
#include <iostream>
#include <string>
#include <vector>

#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "support/snapped_disks.h"

namespace {

using bxtest::httpFault;
using bxtest::opFault;

const char* const kDisks[] = {"data-disk-1", "data-disk-2"};
const char* const kSafePointSetting = "SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY";
constexpr int kBackupJobId = 77;

class RevertTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        util.jobId = 4321;
        preparedRecords({kDisks[0], kDisks[1]}, "bk-");
        for (size_t i = 0; i < 2; ++i) {
            auto& r = rec(i);
            originalIds.push_back(disk(kDisks[i]).get<jsonxx::String>("id"));
            originalLabels.push_back(disk(kDisks[i]).get<jsonxx::Object>("labels").json());
            bxtest::storePreparedMetadata(r, originalIds[i], kDisks[i]);
            r.metadata[167] = originalLabels[i];  // as prepare stores the disk's labels
            r.intProperties[13] = kBackupJobId;
            r.hostInfoText = "ab12";
        }
        snapAll(false);
    }

    // Every disk of the call exists and is attached under its former device name.
    void expectEveryDiskAttached() {
        for (const char* name : kDisks) {
            EXPECT_FALSE(disk(name).empty()) << name << " was lost";
            EXPECT_TRUE(env->attachedUnderItsName(name))
                << name << " is not attached: [" << env->attachedSource(name) << "]";
        }
    }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& line : log.lines()) {
                if (line.level <= 0) {
                    std::cerr << line.level << " " << line.text << "\n";
                }
            }
        }
    }

    std::vector<std::string> originalIds;
    std::vector<std::string> originalLabels;
};

TEST_F(RevertTest, DisksComeBackFromTheirSnapshotsUnderTheirDeviceNames) {
    ASSERT_EQ(run(bxso_revertSnaps), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(kDisks[i]);
        EXPECT_EQ(rec(i).status, BXSO::SNAP_REVERT_SUCCESS);
        jsonxx::Object d = disk(kDisks[i]);
        ASSERT_FALSE(d.empty());
        EXPECT_NE(d.get<jsonxx::String>("sourceSnapshot")
                      .find("/global/snapshots/bk-" + std::string(kDisks[i])),
                  std::string::npos);
        EXPECT_EQ(d.get<jsonxx::Object>("labels").json(), originalLabels[i]);
        // A new disk, its id in the first field of item 6.
        std::string id = d.get<jsonxx::String>("id");
        EXPECT_NE(id, originalIds[i]);
        EXPECT_EQ(rec(i).metadata[6].substr(0, rec(i).metadata[6].find('|')), id);
        EXPECT_TRUE(env->attachedUnderItsName(kDisks[i]));
        EXPECT_EQ(rec(i).revertDevice.rfind("/dev/sd", 0), 0u) << rec(i).revertDevice;
    }
    EXPECT_NE(rec(0).revertDevice, rec(1).revertDevice);

    // Safe-point snapshots: named from cell id, snapshot number, job and time,
    // labelled with both job ids as numbers, and deleted once all succeeded.
    auto safePoints = env->requests("POST", "/createSnapshot");
    ASSERT_EQ(safePoints.size(), 2u);
    for (const auto& e : safePoints) {
        jsonxx::Object body;
        body.parse(e.body);
        const std::string name = body.get<jsonxx::String>("name");
        EXPECT_EQ(name.rfind("bx-sp-ab12-", 0), 0u) << name;
        EXPECT_NE(name.find("-4321-"), std::string::npos) << name;
        EXPECT_TRUE(env->snapshot(name).empty());
        jsonxx::Object labels = body.get<jsonxx::Object>("labels");
        EXPECT_TRUE(labels.has<jsonxx::Number>("snap-backup-job-bx")) << e.body;
        EXPECT_TRUE(labels.has<jsonxx::Number>("snap-revert-job-bx")) << e.body;
        EXPECT_EQ(labels.get<jsonxx::String>("data-protection-vendor-bx"), "taldrix");
    }
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/bx-sp-"), 2u);
    for (const auto& e : env->requests("POST", "/detachDisk")) {
        EXPECT_EQ(e.query.rfind("deviceName=data-disk-", 0), 0u) << e.query;
    }
}

struct FailureCase {
    const char* name;
    bool operationFault;  // the request is accepted and its Operation fails
    const char* method;
    const char* path;
    const char* operationType;
    bool pastDelete;  // the failed disk was deleted and must come from its safe-point
    int count = 1;    // requests that fail; beyond the two disks' own, the undo's
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class RevertFailureTest : public RevertTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RevertFailureTest, EveryDiskIsAttachedAfterTheUndo) {
    const FailureCase& c = GetParam();
    if (c.operationFault) {
        env->emu().failOperation(opFault(c.operationType));  // rate errors are tried again
    } else {
        // A refusal that no repeat cures: transient answers are repeated.
        env->emu().injectFault(httpFault(c.method, c.path, 400, c.count));
    }
    EXPECT_EQ(run(bxso_revertSnaps), 1);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_REVERT_FAILED);
    }
    EXPECT_TRUE(log.contains("GCP Revert failed for ["));
    expectEveryDiskAttached();
    // All or nothing: a disk is either the original or made from its safe-point.
    size_t fromSafePoint = 0;
    for (const char* name : kDisks) {
        std::string source = disk(name).get<jsonxx::String>("sourceSnapshot");
        EXPECT_TRUE(source.empty() || source.find("/global/snapshots/bx-sp-") != std::string::npos)
            << name << " " << source;
        if (!source.empty()) {
            ++fromSafePoint;
            // The disk made again carries the labels it had.
            size_t i = std::string(name) == kDisks[0] ? 0 : 1;
            EXPECT_EQ(disk(name).get<jsonxx::Object>("labels").json(), originalLabels[i]) << name;
        }
    }
    if (c.pastDelete) {
        EXPECT_GE(fromSafePoint, 1u);
    }
    // The safe-point snapshots stay for recovery.
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/"), 0u);
    EXPECT_FALSE(log.contains("GCP Failed to undo revert for snapshot"));
}

// The undo's first pass deletes the new disk and then cannot make the old one
// again; the next pass must not wait for the deleted disk but make it.
TEST_F(RevertTest, UndoRecreatesADiskThatItsFirstPassDeleted) {
    for (size_t i = 0; i < 2; ++i) {
        rec(i).configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = 1;  // one disk after the other
    }
    env->emu().failOperation(opFault("attachDisk"));
    gce::FaultSpec create = httpFault("POST", "re:/zones/us-central1-a/disks/?$", 400);
    create.skip = 1;  // the revert's own insert passes; the undo's first is refused
    env->emu().injectFault(create);
    EXPECT_EQ(run(bxso_revertSnaps), 1);
    expectEveryDiskAttached();
    EXPECT_NE(
        disk(kDisks[0]).get<jsonxx::String>("sourceSnapshot").find("/global/snapshots/bx-sp-"),
        std::string::npos);
    EXPECT_FALSE(log.contains("still busy after repeated attempts"));
    EXPECT_FALSE(log.contains("GCP Failed to undo revert for snapshot"));
}

// An Operation that GCP ended with a rate error did nothing: the step is
// taken again and the revert goes through.
TEST_F(RevertTest, StepRefusedForTheRateOfOperationsIsTakenAgain) {
    for (const char* type : {"detachDisk", "createSnapshot", "delete", "insert", "attachDisk"}) {
        env->emu().failOperation(opFault(type, "RATE_LIMIT_EXCEEDED"));
    }
    ASSERT_EQ(run(bxso_revertSnaps), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_REVERT_SUCCESS);
    }
    EXPECT_TRUE(log.contains("was refused for the rate of operations"));
    expectEveryDiskAttached();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RevertFailureTest,
    ::testing::Values(
        FailureCase{"DetachRequest", false, "POST", "*/detachDisk*", "", false},
        FailureCase{"DetachOperation", true, "", "", "detachDisk", false},
        FailureCase{"SafePointRequest", false, "POST", "*/createSnapshot*", "", false},
        FailureCase{"SafePointOperation", true, "", "", "createSnapshot", false},
        FailureCase{"DeleteRequest", false, "DELETE", "*/disks/data-disk-*", "", false},
        FailureCase{"DeleteOperation", true, "", "", "delete", false},
        FailureCase{"CreateRequest", false, "POST", "re:/disks/?$", "", true},
        FailureCase{"CreateOperation", true, "", "", "insert", true},
        FailureCase{"AttachRequest", false, "POST", "*/attachDisk*", "", true},
        FailureCase{"AttachOperation", true, "", "", "attachDisk", true},
        // A transient failure of the undo itself: the undo is tried again.
        FailureCase{"AttachRequestAlsoInTheUndo", false, "POST", "*/attachDisk*", "", true, 3}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(RevertTest, WithoutSafePointsADetachedDiskIsStillAttachedAgain) {
    for (size_t i = 0; i < 2; ++i) {
        rec(i).configValues[kSafePointSetting] = 0;
    }
    env->emu().failOperation(opFault("detachDisk"));  // rate errors are tried again
    EXPECT_EQ(run(bxso_revertSnaps), 1);
    expectEveryDiskAttached();
    EXPECT_EQ(env->requestsMatching("POST", "/createSnapshot"), 0u);
    // The disk whose detach failed (the workers' interleaving decides which)
    // is never reported as a failed undo; the other one may have been
    // replaced already, which cannot be undone here.
    int failedDetaches = 0;
    for (const char* name : kDisks) {
        if (log.contains("GCP Operation [disk-detach] failed for Gcp device [" + std::string(name) +
                         "]")) {
            ++failedDetaches;
            std::string snap = std::string("bk-") + name;
            EXPECT_FALSE(log.contains("GCP Cannot undo revert for snapshot [" + snap + "]"));
        }
    }
    EXPECT_EQ(failedDetaches, 1);
    EXPECT_TRUE(log.contains("GCP Skipping delete as safe-point snapshots") ||
                log.contains("GCP Revert failed for ["));
}

TEST_F(RevertTest, WithoutSafePointsALateFailureCannotBeUndone) {
    for (size_t i = 0; i < 2; ++i) {
        rec(i).configValues[kSafePointSetting] = 0;
    }
    // One attach fails. (Failing two would make the outcome depend on whether
    // the second fault hits the other disk's attach or the first disk's
    // re-attach, which the workers' interleaving decides.)
    env->emu().failOperation(opFault("attachDisk", "INTERNAL_ERROR", 1));
    EXPECT_EQ(run(bxso_revertSnaps), 1);
    EXPECT_TRUE(
        log.contains("since snapshot config [Create safe-point snapshot before revert] is "
                     "not enabled"));
    EXPECT_TRUE(log.contains("GCP Failed to undo revert for snapshot"));
    // The old content is gone, but the disks made from the snapshots are not
    // left detached.
    expectEveryDiskAttached();
}

TEST(RevertNameTest, SafePointNameFromCellSnapshotJobAndTime) {
    bxtest::FakeOSUtil util;
    DuVavaZid::GcpCtx ctx(&util, 0, DuVavaZid::GCP_OP_REVERT);
    DuVavaZid::GcpUtils utils(&ctx);
    ctx.JobId = 1234;
    bxtest::FakeSnapInfo record(255);
    DuVavaZid::GcpObject object(&record);
    object.CreationTime = 65535;

    struct Case {
        const char* cellId;
        long created;
        int rc;
        const char* name;
    } cases[] = {
        {"ab12", 65535, 0, "bx-sp-ab12-ff-1234-ffff"},
        {"ab12", 0, DuVavaZid::GCP_ERR_INTERNAL, ""},         // time not set
        {"ab/../x", 65535, DuVavaZid::GCP_ERR_INTERNAL, ""},  // not usable in a path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cellId);
        record.hostInfoText = c.cellId;
        object.CreationTime = c.created;
        object.SafePointSnapName.clear();
        EXPECT_EQ(utils.generateSafePointSnapName(&object, &ctx), c.rc);
        EXPECT_EQ(object.SafePointSnapName, c.name);
    }
}

}  // namespace
