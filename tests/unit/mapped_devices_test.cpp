// Discovery of the local devices that attached disks appear under, against
// a scripted device tree.
#include <gtest/gtest.h>

#include <memory>

#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"
#include "support/scripted_devices.h"

using namespace DuVavaZid;
using bxtest::RecordSet;
using bxtest::ScriptedDeviceTree;

namespace {

using Paths = std::vector<std::string>;

class Discovery : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    ScriptedDeviceTree tree;
    RecordSet records{2};
    std::unique_ptr<GcpCtx> ctx;
    std::unique_ptr<GcpUtils> utils;

    // A map (or revert) of the records' clones, named clone-0, clone-1, ...
    void start(int opCode, int count = 2) {
        ctx = std::make_unique<GcpCtx>(&util, 0, opCode);
        ctx->instanceName = "mover-1";
        ctx->mapCtx = std::make_unique<GcpMapCtx>();
        for (int i = 0; i < count; ++i) {
            auto* o = new GcpObject(&records[i]);
            o->CloneName = "clone-" + std::to_string(i);
            o->GcpOSDevName = "disk-" + std::to_string(i);
            o->GCPDeviceName = "data-disk-" + std::to_string(i);
            o->GCPDeviceId = "44" + std::to_string(i);
            o->SnapTag = "snap-" + std::to_string(i);
            ctx->snapMap[records[i].getSnapNumber()] = o;
        }
        ctx->SnapCount = count;
        utils = std::make_unique<GcpUtils>(ctx.get());
    }
    int check(const Paths& candidates, int& found) {
        return utils->checkForMappedDevices(ctx->mapCtx.get(), candidates, found);
    }
    GcpObject* object(int i) { return ctx->snapMap.at(100 + i); }
    Paths inquired() {
        Paths out;
        for (const auto& s : tree.sent()) {
            if (s.cdb[2] == 0) {
                out.push_back(s.path);
            }
        }
        return out;
    }
};

// ---- lists ------------------------------------------------------------------

TEST_F(Discovery, DeviceListsAreTakenAfterARescan) {
    start(GCP_OP_MAP);
    util.devices = {"/dev/sda", "/dev/sdb"};
    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), true), 0);
    util.devices = {"/dev/sda", "/dev/sdb", "/dev/sdc"};
    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), false), 0);
    EXPECT_EQ(ctx->mapCtx->devicesBefore, (Paths{"/dev/sda", "/dev/sdb"}));
    EXPECT_EQ(ctx->mapCtx->devicesAfter, (Paths{"/dev/sda", "/dev/sdb", "/dev/sdc"}));
    EXPECT_EQ(tree.rescans, 2);
    EXPECT_EQ(util.listCalls, (Paths{"mover-1", "mover-1"}));
    EXPECT_TRUE(log.containsExact("GCP Device count before mapping [2]", 0));
    EXPECT_TRUE(log.containsExact("GCP Device count after mapping [3]", 0));
    EXPECT_TRUE(log.containsExact(
        "GCP Getting list of devices available on instance [mover-1]... - done", 3));
}

TEST_F(Discovery, FailedListingIs17AndKeepsTheLists) {
    start(GCP_OP_MAP);
    ctx->mapCtx->devicesBefore = {"/dev/sda"};
    util.listOk = false;
    EXPECT_EQ(utils->getDeviceList(ctx->mapCtx.get(), true), 17);
    EXPECT_EQ(ctx->errText(), "Failed to get device list for instance [mover-1].");
    EXPECT_TRUE(log.containsExact("GCP 17:Failed to get device list for instance [mover-1].", -1));
    EXPECT_EQ(ctx->mapCtx->devicesBefore, (Paths{"/dev/sda"}));
}

TEST_F(Discovery, ListingCanComeFromTheRuntime) {
    start(GCP_OP_MAP);
    tree.listed = {"/dev/sda", "/dev/sdb"};
    util.lister = [](std::vector<std::string>* out) { return HostScsi::listDevices(out, nullptr); };
    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), false), 0);
    EXPECT_EQ(ctx->mapCtx->devicesAfter, tree.listed);
    tree.listFails = true;
    EXPECT_EQ(utils->getDeviceList(ctx->mapCtx.get(), false), 17);
}

TEST_F(Discovery, DiffKeepsOrderAndListsEachNewDeviceOnce) {
    start(GCP_OP_MAP);
    ctx->mapCtx->devicesBefore = {"/dev/sda", "/dev/sdb"};
    ctx->mapCtx->devicesAfter = {"/dev/sda", "/dev/sdd", "/dev/sdb", "/dev/sdc", "/dev/sdd"};
    Paths diff = {"stale"};
    utils->getDiffDeviceList(diff);
    EXPECT_EQ(diff, (Paths{"/dev/sdd", "/dev/sdc"}));
    EXPECT_TRUE(log.containsExact(
        "GCP >> Initial device count [2] Device count after map [5] Diff device count [2]", 0));
}

// ---- matching ---------------------------------------------------------------

TEST_F(Discovery, MapFindsEveryClone) {
    tree.addPersistentDisk("/dev/sdc", "clone-1");
    tree.addPersistentDisk("/dev/sdd", "clone-0");
    start(GCP_OP_MAP);
    int found = -7;
    EXPECT_EQ(check({"/dev/sdc", "/dev/sdd"}, found), 0);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(records[0].snapDevice, "/dev/sdd");
    EXPECT_EQ(records[1].snapDevice, "/dev/sdc");
    EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_SUCCESS);
    EXPECT_EQ(object(0)->MapStatus, 39);
    EXPECT_EQ(object(1)->MapStatus, 39);
    EXPECT_TRUE(log.containsExact(
        "GCP Successfully mapped clone [clone-0] device [/dev/sdd] - snapshot [snap-0] volume "
        "[440]",
        0));
    EXPECT_TRUE(log.containsExact(
        "GCP Doing VPD SCSI inquiry for device [/dev/sdc]... - done. Its associated with view "
        "[clone-1] snapshot [snap-1] volume [441]",
        2));
    EXPECT_TRUE(log.containsExact(
        "GCP Search device for mapped clone - name [clone-0] device name [data-disk-0]", 2));
}

TEST_F(Discovery, RevertMatchesTheOsDeviceName) {
    tree.addPersistentDisk("/dev/sdf", "disk-0");
    start(GCP_OP_REVERT);
    int found = 0;
    EXPECT_EQ(check({"/dev/sdf"}, found), 18);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(records[0].revertDevice, "/dev/sdf");
    EXPECT_EQ(object(0)->MapStatus, 39);
    EXPECT_EQ(records[0].status, BXSO::SNAP_STATUS_NONE);
    EXPECT_EQ(records[1].status, BXSO::SNAP_REVERT_FAILED);
    EXPECT_EQ(records[1].snapDevice, "");
    EXPECT_TRUE(log.containsExact(
        "GCP Successfully mapped disk [data-disk-0] device [/dev/sdf] - snapshot [snap-0]", 0));
    EXPECT_TRUE(log.containsExact("GCP Not all devices are found. Total - [2] Found- [1]", -1));
}

TEST_F(Discovery, CandidatesThatAreNotWantedAreSkipped) {
    tree.add("/dev/sde").standard =
        ScriptedDeviceTree::standardInquiry("QEMU", "QEMU HARDDISK", "2.5+");
    tree.addPersistentDisk("/dev/sdg", "somebody-else");
    tree.addPersistentDisk("/dev/sdh", "").vpd[0x83] = ScriptedDeviceTree::deviceIdPage("x", 0);
    tree.addPersistentDisk("/dev/sdi", "clone-0").standard =
        ScriptedDeviceTree::standardInquiry("Google", "PersistentDisk", "1", 0x05);
    tree.addPersistentDisk("/dev/sdj", "clone-0").vpd[0x83] =
        ScriptedDeviceTree::deviceIdPage("clone-0", -1, 0x80);
    start(GCP_OP_MAP, 1);
    int found = 5;
    EXPECT_EQ(check({"", "/dev/sde", "/dev/sdg", "/dev/sdh", "/dev/sdi", "/dev/sdj"}, found), 18);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_FAILED);
    EXPECT_EQ(records[0].snapDevice, "");
    EXPECT_TRUE(log.containsExact(
        "GCP Vendor id [QEMU    ] for device [/dev/sde] is not matching for Google GCP [Google  ] "
        "and hence skipping this device",
        2));
    EXPECT_TRUE(log.containsExact(
        "GCP Device name [somebody-else] is not associated with any of the devices to be mapped in "
        "this request - hence skipping this...",
        2));
    EXPECT_TRUE(log.containsExact("GCP Device name [] is empty - hence skipping this", 2));
    EXPECT_TRUE(log.containsExact(
        "GCP Page code [05h] returned in SCSI inq response not match with requested page code "
        "[0n] for device [/dev/sdi]",
        0));
    EXPECT_TRUE(log.containsExact(
        "GCP Page code [80h] returned in SCSI inq response not match with requested page code "
        "[131n] for device [/dev/sdj]",
        0));
    EXPECT_EQ(inquired(), (Paths{"/dev/sde", "/dev/sdg", "/dev/sdh", "/dev/sdi", "/dev/sdj"}));
}

TEST_F(Discovery, AFailedInquirySkipsOnlyThatDeviceAndMatchingStopsAtTheExpectedCount) {
    tree.addPersistentDisk("/dev/sdc", "clone-0").sendFails = true;
    tree.addPersistentDisk("/dev/sdd", "clone-0");
    tree.addPersistentDisk("/dev/sde", "clone-9");
    start(GCP_OP_MAP, 1);
    int found = 0;
    EXPECT_EQ(check({"/dev/sdq", "/dev/sdc", "/dev/sdd", "/dev/sde"}, found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(records[0].snapDevice, "/dev/sdd");
    EXPECT_EQ(inquired(), (Paths{"/dev/sdc", "/dev/sdd"}));
}

TEST_F(Discovery, NotFindingEveryDiskIs18WhateverTheLastCandidate) {
    tree.addPersistentDisk("/dev/sdc", "clone-0");
    // The last candidate fails its INQUIRY, yet only the count decides. A
    // listing that repeats a device (a revert hands over the whole list)
    // must not make one disk count for two.
    for (const Paths& candidates : {Paths{"/dev/sdc", "/dev/sdq"}, Paths{"/dev/sdc", "/dev/sdc"}}) {
        records[0].status = records[1].status = BXSO::SNAP_STATUS_NONE;
        start(GCP_OP_MAP, 2);
        int found = 0;
        EXPECT_EQ(check(candidates, found), 18) << candidates[1];
        EXPECT_EQ(found, 1);
        EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_SUCCESS);
        EXPECT_EQ(records[1].status, BXSO::SNAP_MAP_FAILED);
    }
}

TEST_F(Discovery, HpxModeSkipsEveryCandidate) {
    tree.addPersistentDisk("/dev/sdc", "clone-0");
    start(GCP_OP_MAP, 1);
    ctx->hpxMode = true;
    int found = 0;
    EXPECT_EQ(check({"/dev/sdc", "/dev/sdd"}, found), 18);
    EXPECT_EQ(log.count("GCP HPX devices cannot be mapped"), 2u);
    EXPECT_TRUE(tree.sent().empty());

    start(GCP_OP_MAP, 0);
    ctx->hpxMode = true;
    EXPECT_EQ(check({"/dev/sdc"}, found), -1);
    EXPECT_EQ(check({}, found), -1);
}

}  // namespace
