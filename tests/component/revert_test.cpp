// Revert through the exported entry point: the source disks of the emulated VM
// replaced by disks made from their snapshots, and the undo when any step of
// any disk fails. After every call each disk of the call must exist and be
// attached under its former device name.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "context/gcp_ctx.h"
#include "engine/exports.h"
#include "gcp/gcp_utils.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

const char* const kDisks[] = {"data-disk-1", "data-disk-2"};
const char* const kSafePointSetting = "SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY";
constexpr int kBackupJobId = 77;

class RevertTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env = std::make_unique<bxtest::EmulatorEnv>();
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        util.jobId = 4321;
        records = std::make_unique<bxtest::RecordSet>(2);
        for (size_t i = 0; i < 2; ++i) {
            auto& r = rec(i);
            originalIds.push_back(disk(kDisks[i]).get<jsonxx::String>("id"));
            originalLabels.push_back(disk(kDisks[i]).get<jsonxx::Object>("labels").json());
            bxtest::storePreparedMetadata(r, originalIds[i], kDisks[i]);
            r.metadata[167] = originalLabels[i];  // as prepare stores the disk's labels
            r.snapName = std::string("bk-") + kDisks[i];
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 3;
            r.intProperties[13] = kBackupJobId;
            r.hostInfoText = "ab12";
        }
        ASSERT_EQ(bxso_snapDevices(records->data(), 2, &util), 0) << rec(0).errorText;
        ASSERT_EQ(bxso_postSnapDevices(records->data(), 2, &util), 0) << rec(0).errorText;
        env->emu().clearJournal();
    }

    bxtest::FakeSnapInfo& rec(size_t i) { return (*records)[i]; }
    jsonxx::Object disk(const std::string& name) {
        jsonxx::Object o;
        o.parse(env->emu().resourceJson(bxtest::EmulatorEnv::diskPath(name)));
        return o;
    }
    // The source of the disk attached to the VM under this device name; "" when none.
    std::string attachedSource(const std::string& deviceName) {
        jsonxx::Object vm;
        vm.parse(
            env->emu().resourceJson("projects/demo-project/zones/us-central1-a/instances/mover-1"));
        jsonxx::Array disks = vm.get<jsonxx::Array>("disks");
        for (size_t i = 0; i < disks.size(); ++i) {
            jsonxx::Object d = disks.get<jsonxx::Object>(i);
            if (d.get<jsonxx::String>("deviceName") == deviceName) {
                return d.get<jsonxx::String>("source");
            }
        }
        return "";
    }
    std::vector<std::string> safePointNames() {
        std::vector<std::string> names;
        for (const auto& e : env->emu().journal()) {
            if (e.method == "POST" && e.path.find("/createSnapshot") != std::string::npos) {
                jsonxx::Object body;
                body.parse(e.body);
                names.push_back(body.get<jsonxx::String>("name"));
            }
        }
        return names;
    }
    // Every disk of the call exists and is attached under its former device name.
    void expectEveryDiskAttached() {
        for (const char* name : kDisks) {
            EXPECT_FALSE(disk(name).empty()) << name << " was lost";
            std::string source = attachedSource(name);
            EXPECT_NE(source.find(std::string("/disks/") + name), std::string::npos)
                << name << " is not attached: [" << source << "]";
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

    bxtest::LogCapture log{9};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    std::unique_ptr<bxtest::RecordSet> records;
    std::vector<std::string> originalIds;
    std::vector<std::string> originalLabels;
};

TEST_F(RevertTest, DisksComeBackFromTheirSnapshotsUnderTheirDeviceNames) {
    ASSERT_EQ(bxso_revertSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
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
        EXPECT_NE(attachedSource(kDisks[i]).find(std::string("/disks/") + kDisks[i]),
                  std::string::npos);
        EXPECT_EQ(rec(i).revertDevice.rfind("/dev/sd", 0), 0u) << rec(i).revertDevice;
    }
    EXPECT_NE(rec(0).revertDevice, rec(1).revertDevice);

    // Safe-point snapshots: named from cell id, snapshot number, job and time,
    // labelled with both job ids as numbers, and deleted once all succeeded.
    std::vector<std::string> safePoints = safePointNames();
    ASSERT_EQ(safePoints.size(), 2u);
    for (const auto& name : safePoints) {
        EXPECT_EQ(name.rfind("bx-sp-ab12-", 0), 0u) << name;
        EXPECT_NE(name.find("-4321-"), std::string::npos) << name;
        EXPECT_TRUE(
            env->emu().resourceJson("projects/demo-project/global/snapshots/" + name).empty());
    }
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/bx-sp-"), 2u);
    for (const auto& e : env->emu().journal()) {
        if (e.method == "POST" && e.path.find("/createSnapshot") != std::string::npos) {
            jsonxx::Object labels;
            jsonxx::Object body;
            body.parse(e.body);
            labels = body.get<jsonxx::Object>("labels");
            EXPECT_TRUE(labels.has<jsonxx::Number>("snap-backup-job-bx")) << e.body;
            EXPECT_TRUE(labels.has<jsonxx::Number>("snap-revert-job-bx")) << e.body;
            EXPECT_EQ(labels.get<jsonxx::String>("data-protection-vendor-bx"), "taldrix");
        }
        if (e.method == "POST" && e.path.find("/detachDisk") != std::string::npos) {
            EXPECT_EQ(e.query.rfind("deviceName=data-disk-", 0), 0u) << e.query;
        }
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

class RevertFailureTest : public RevertTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RevertFailureTest, EveryDiskIsAttachedAfterTheUndo) {
    const FailureCase& c = GetParam();
    if (c.operationFault) {
        gce::OperationFault fault;
        fault.operationType = c.operationType;
        fault.errorCode = "INTERNAL_ERROR";  // rate errors are tried again
        env->emu().failOperation(fault);
    } else {
        gce::FaultSpec fault;
        fault.method = c.method;
        fault.path = c.path;
        // A refusal that no repeat cures: transient answers are repeated.
        fault.status = 400;
        fault.count = c.count;
        env->emu().injectFault(fault);
    }
    EXPECT_EQ(bxso_revertSnaps(records->data(), 2, &util), 1);
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
    gce::OperationFault attach;
    attach.operationType = "attachDisk";
    attach.errorCode = "INTERNAL_ERROR";
    env->emu().failOperation(attach);
    gce::FaultSpec create;
    create.method = "POST";
    create.path = "re:/zones/us-central1-a/disks/?$";
    create.status = 400;
    create.skip = 1;  // the revert's own insert passes; the undo's first is refused
    env->emu().injectFault(create);
    EXPECT_EQ(bxso_revertSnaps(records->data(), 2, &util), 1);
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
        gce::OperationFault fault;
        fault.operationType = type;
        fault.errorCode = "RATE_LIMIT_EXCEEDED";
        env->emu().failOperation(fault);
    }
    ASSERT_EQ(bxso_revertSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
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
    gce::OperationFault fault;
    fault.operationType = "detachDisk";
    fault.errorCode = "INTERNAL_ERROR";  // rate errors are tried again
    env->emu().failOperation(fault);
    EXPECT_EQ(bxso_revertSnaps(records->data(), 2, &util), 1);
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
    gce::OperationFault fault;
    fault.operationType = "attachDisk";
    fault.errorCode = "INTERNAL_ERROR";
    fault.count = 1;
    env->emu().failOperation(fault);
    EXPECT_EQ(bxso_revertSnaps(records->data(), 2, &util), 1);
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
