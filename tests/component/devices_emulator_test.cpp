// The emulator device backend against the in-process emulator over HTTPS:
// the emulated VM's block devices, INQUIRY answers of its persistent disks
// and of a disk that is not Google's, and a disk that appears after an attach.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "context/gcp_ctx.h"
#include "engine/exports.h"
#include "gcp/gcp_utils.h"
#include "host/http_client.h"
#include "host/scsi.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;
using bxtest::RecordSet;

namespace {

using Paths = std::vector<std::string>;

class EmulatedDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(env.ok()) << env.error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
    }

    // Attaches a new disk to this VM through the Compute API, as a map does.
    void attachNewDisk(const std::string& diskName, const std::string& deviceName) {
        ASSERT_TRUE(emulator->seed(R"({"disks":[{"project":"demo-project","zone":"us-central1-a",)"
                                   R"("name":")" +
                                   diskName + R"(","sizeGb":10}]})"));
        BXLibCurl http;
        ASSERT_TRUE(http.BXLibCurlInit(emulator->caFile().c_str(), true, false, nullptr));
        ASSERT_TRUE(http.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "Metadata-Flavor: Google"));
        ASSERT_TRUE(http.BXLibCurlSendHttpReq(
            BX_HTTP_REQ_GET,
            "http://" + emulator->metadataHost() +
                "/computeMetadata/v1/instance/service-accounts/default/token",
            nullptr, 0, false, nullptr));
        size_t length = 0;
        const char* body = http.GetHttpResponse(length, false);
        std::string token = nlohmann::json::parse(std::string(body, length)).at("access_token");
        http.BXLibCurlFreeHttpHeaderList();
        ASSERT_TRUE(
            http.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "Authorization: Bearer " + token));
        ASSERT_TRUE(
            http.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "Content-Type: application/json"));
        std::string request = nlohmann::json{
            {"source", "projects/demo-project/zones/us-central1-a/disks/" + diskName},
            {"deviceName",
             deviceName}}.dump();
        ASSERT_TRUE(http.BXLibCurlSendHttpReq(BX_HTTP_REQ_POST,
                                              "https://" + emulator->apiHost() +
                                                  "/compute/v1/projects/demo-project/zones/"
                                                  "us-central1-a/instances/mover-1/attachDisk",
                                              request.data(), request.size(), false, nullptr))
            << http.GetLastError();
    }

    // A map context waiting for one clone attached under cloneName.
    void startMap(const std::string& cloneName) {
        ctx = std::make_unique<GcpCtx>(&util, 0, GCP_OP_MAP);
        ctx->instanceName = "mover-1";
        ctx->mapCtx = std::make_unique<GcpMapCtx>();
        auto* object = new GcpObject(&records[0]);
        object->CloneName = cloneName;
        ctx->snapMap[records[0].getSnapNumber()] = object;
        ctx->SnapCount = 1;
        utils = std::make_unique<GcpUtils>(ctx.get());
    }

    bxtest::EmulatorEnv env;
    gce::Emulator* emulator = &env.emu();
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    RecordSet records{1};
    std::unique_ptr<GcpCtx> ctx;
    std::unique_ptr<GcpUtils> utils;
};

TEST_F(EmulatedDevices, ListsTheEmulatedVmsBlockDevices) {
    Paths devices;
    CWnError err;
    ASSERT_TRUE(HostScsi::listDevices(&devices, &err)) << err.AsString();
    EXPECT_EQ(devices, (Paths{"/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde"}));
    EXPECT_TRUE(HostScsi::refreshDeviceList(HostScsi::kScsiDevices, false));
}

TEST_F(EmulatedDevices, IsSupportedKnowsPersistentDisksFromOtherDisks) {
    EXPECT_EQ(bxso_isSupported("/dev/sdb", 0, &util, nullptr, 0), 0);
    EXPECT_EQ(bxso_isSupported("/dev/sda", 0, &util, nullptr, 0), 0);
    EXPECT_EQ(bxso_isSupported("/dev/sde", 0, &util, nullptr, 0), 1);
    EXPECT_TRUE(
        log.contains("Vendor id [QEMU    ] for device [/dev/sde] is not matching - expected vendor "
                     "id [Google  ]",
                     -1));
    EXPECT_EQ(bxso_isSupported("/dev/sdz", 0, &util, nullptr, 0), 1);
    EXPECT_TRUE(log.contains("Failed to get BxDevice for device [/dev/sdz]. Error:[", -1));
}

TEST_F(EmulatedDevices, PrepareStepReadsTheAttachedDeviceNames) {
    RecordSet disks(3);  // /dev/sdb, /dev/sdc, /dev/sdd
    for (size_t i = 0; i < disks.size(); ++i) {
        disks[i].arrayNumber = 0;
        disks[i].knownArrays["GCP-Default-IAM"] = 0;
    }
    GcpCtx prepare(&util, 0, GCP_OP_PREPARE);
    ASSERT_EQ(prepare.initialize(disks.data(), 3), 0) << prepare.errText();
    GcpUtils prepareUtils(&prepare);
    std::vector<short> pages = {0, 0x83};
    ASSERT_EQ(prepareUtils.processSCSIDetails(pages, 1), 0) << prepare.errText();
    EXPECT_EQ(prepare.snapMap.at(100)->GCPDeviceName, "data-disk-1");
    EXPECT_EQ(prepare.snapMap.at(101)->GCPDeviceName, "data-disk-2");
    EXPECT_EQ(prepare.snapMap.at(102)->GCPDeviceName, "data-disk-3");
    EXPECT_EQ(disks[2].arrayNameSet, "GCP-Default-IAM");
}

TEST_F(EmulatedDevices, AnAttachedDiskIsFoundByItsDeviceNameOnceItAppears) {
    startMap("clone-b");
    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), true), 0) << ctx->errText();
    emulator->setLateDevices(3);  // hidden for a rescan, a listing and one more rescan
    attachNewDisk("clone-disk-b", "clone-b");

    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), false), 0);
    Paths fresh;
    utils->getDiffDeviceList(fresh);
    EXPECT_TRUE(fresh.empty());
    int found = 0;
    EXPECT_EQ(utils->checkForMappedDevices(ctx->mapCtx.get(), ctx->mapCtx->devicesAfter, found),
              18);
    EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_FAILED);

    ASSERT_EQ(utils->getDeviceList(ctx->mapCtx.get(), false), 0);
    utils->getDiffDeviceList(fresh);
    ASSERT_EQ(fresh, (Paths{"/dev/sdf"}));
    EXPECT_EQ(utils->checkForMappedDevices(ctx->mapCtx.get(), fresh, found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(records[0].snapDevice, "/dev/sdf");
    EXPECT_EQ(records[0].status, BXSO::SNAP_MAP_SUCCESS);
    EXPECT_EQ(util.listCalls, (Paths{"mover-1", "mover-1", "mover-1"}));
}

}  // namespace
