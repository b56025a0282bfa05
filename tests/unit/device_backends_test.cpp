// The runtime's device backends: the Linux one against sysfs trees of the
// test's own and this machine's real device nodes, and the choice of the
// backend from the settings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/exports.h"
#include "runtime/devices.h"
#include "support/fake_host.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/settings_file.h"

namespace {

// A temporary directory tree standing in for /sys.
class FakeSysfs {
  public:
    const std::string& root() const { return root_; }
    void dir(const std::string& rel) { std::filesystem::create_directories(root_ + "/" + rel); }
    void file(const std::string& rel) {
        dir(std::filesystem::path(rel).parent_path());
        std::ofstream(root_ + "/" + rel).flush();
    }
    std::string read(const std::string& rel) const { return bxtest::readFile(root_ + "/" + rel); }

  private:
    bxtest::TempDir tmp_{"bxso-sysfs"};
    const std::string& root_ = tmp_.path();
};

using Paths = std::vector<std::string>;

TEST(LinuxDevices, BlockDevicesComeFromSysBlockInKernelOrder) {
    FakeSysfs sys;
    for (const char* name : {"sdb", "sdaa", "loop0", "sda", "cciss!c0d0"}) {
        sys.dir(std::string("block/") + name);
    }
    auto backend = bxrt::makeLinuxDeviceBackend(sys.root());
    Paths devices = {"stale"};
    CWnError err;
    ASSERT_TRUE(backend->listDevices(&devices, &err)) << err.AsString();
    EXPECT_EQ(devices,
              (Paths{"/dev/sda", "/dev/sdb", "/dev/sdaa", "/dev/loop0", "/dev/cciss/c0d0"}));

    auto missing = bxrt::makeLinuxDeviceBackend(sys.root() + "/nowhere");
    EXPECT_FALSE(missing->listDevices(&devices, &err));
    EXPECT_NE(err.AsString().find("cannot read [" + sys.root() + "/nowhere/block]"),
              std::string::npos)
        << err.AsString();
}

TEST(LinuxDevices, RescanAsksEveryScsiHostAndNvmeController) {
    FakeSysfs sys;
    CWnError err;
    EXPECT_TRUE(bxrt::makeLinuxDeviceBackend(sys.root())->rescan(&err));  // nothing to rescan
    sys.file("class/scsi_host/host0/scan");
    sys.file("class/scsi_host/host2/scan");
    sys.dir("class/scsi_host/unrelated");
    sys.file("class/nvme/nvme0/rescan_controller");
    sys.file("class/nvme/nvme1/rescan_controller");
    auto backend = bxrt::makeLinuxDeviceBackend(sys.root());
    ASSERT_TRUE(backend->rescan(&err)) << err.AsString();
    EXPECT_EQ(sys.read("class/scsi_host/host0/scan"), "- - -\n");
    EXPECT_EQ(sys.read("class/scsi_host/host2/scan"), "- - -\n");
    EXPECT_EQ(sys.read("class/nvme/nvme0/rescan_controller"), "1\n");
    EXPECT_EQ(sys.read("class/nvme/nvme1/rescan_controller"), "1\n");

    // A file that cannot be written fails the rescan, whichever kind it is.
    for (const char* unwritable :
         {"class/scsi_host/host3/scan", "class/nvme/nvme2/rescan_controller"}) {
        FakeSysfs bad;
        bad.file("class/scsi_host/host0/scan");
        bad.dir(unwritable);
        EXPECT_FALSE(bxrt::makeLinuxDeviceBackend(bad.root())->rescan(&err)) << unwritable;
        EXPECT_NE(err.AsString().find(unwritable), std::string::npos) << err.AsString();
    }
}

TEST(LinuxDevices, PathsThatAreNoDevices) {
    auto backend = bxrt::makeLinuxDeviceBackend();
    struct Case {
        const char* path;
        const char* error;
    };
    for (const Case& c :
         {Case{"", "empty device path"}, Case{"/dev/does-not-exist-6", "No such file or directory"},
          Case{"/etc/hostname", "[/etc/hostname] is not a device node"}}) {
        CWnError err;
        EXPECT_EQ(backend->getDevice(c.path, &err), nullptr) << c.path;
        EXPECT_FALSE(err.Success());
        EXPECT_EQ(err.AsString(), c.error);
    }
}

TEST(LinuxDevices, SysfsDecidesTheInterfaceAndTheKernelHasTheLastWord) {
    // A sysfs that claims /dev/null (1:3) is a SCSI device, or gives it a
    // namespace id: that interface is offered, and the pass-through or
    // Identify reports what the kernel answers.
    FakeSysfs scsiSys, nvmeSys;
    scsiSys.dir("dev/char/1:3/device/scsi_device/0:0:0:0");
    nvmeSys.file("dev/char/1:3/nsid");
    CWnError err;
    auto scsiNull = bxrt::makeLinuxDeviceBackend(scsiSys.root())->getDevice("/dev/null", &err);
    auto nvmeNull = bxrt::makeLinuxDeviceBackend(nvmeSys.root())->getDevice("/dev/null", &err);
    ASSERT_TRUE(scsiNull && nvmeNull) << err.AsString();
    auto* scsi = dynamic_cast<BxDeviceScsiIface*>(scsiNull->GetInterface(kBxDeviceScsiIfaceName));
    ASSERT_NE(scsi, nullptr);
    EXPECT_EQ(scsiNull->GetInterface("SomethingElse"), nullptr);
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 0xFF, 0};
    unsigned char data[255] = {0};
    CWnError sendErr;
    EXPECT_EQ(scsi->SendCommand(cdb, 6, data, 255, 0, 1, nullptr, 0, 10, &sendErr), -1);
    EXPECT_FALSE(sendErr.Success());
    EXPECT_EQ(sendErr.AsString(), std::strerror(ENOTTY));  // SG_IO is no ioctl of /dev/null

    // The NVMe interface is offered instead of the SCSI one.
    EXPECT_EQ(nvmeNull->GetInterface(kBxDeviceScsiIfaceName), nullptr);
    auto* nvme = dynamic_cast<BxDeviceNvmeIface*>(nvmeNull->GetInterface(kBxDeviceNvmeIfaceName));
    ASSERT_NE(nvme, nullptr);
    std::vector<unsigned char> identity(BxDeviceNvmeIface::kIdentifyLength);
    CWnError identifyErr;
    EXPECT_EQ(nvme->Identify(BxDeviceNvmeIface::kIdentifyController, identity.data(),
                             static_cast<int>(identity.size()), &identifyErr),
              -1);
    EXPECT_NE(identifyErr.AsString().find("[/dev/null] is not an NVMe namespace"),
              std::string::npos)
        << identifyErr.AsString();
    EXPECT_EQ(nvme->Identify(7, identity.data(), static_cast<int>(identity.size()), &identifyErr),
              -1);
    EXPECT_EQ(identifyErr.AsString(), "invalid NVMe Identify parameters");
}

TEST(LinuxDevices, PassThroughRefusesBadArgumentsAndMissingNodes) {
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 0xFF, 0};
    unsigned char data[255];
    CWnError err;
    EXPECT_EQ(bxrt::linuxScsiSend("/dev/null", cdb, 3, data, 255, 1, nullptr, 0, 10, &err), -1);
    EXPECT_EQ(err.AsString(), "invalid SCSI command parameters");
    EXPECT_EQ(bxrt::linuxScsiSend("/dev/null", cdb, 6, nullptr, 255, 1, nullptr, 0, 10, &err), -1);
    EXPECT_EQ(
        bxrt::linuxScsiSend("/dev/does-not-exist-6", cdb, 6, data, 255, 1, nullptr, 0, 10, &err),
        -1);
    EXPECT_EQ(err.AsString(), "cannot open [/dev/does-not-exist-6]: No such file or directory");
}

// ---- the backend the settings choose ------------------------------------------

TEST(DeviceSettings, BackendComesFromTheSettings) {
    bxtest::SettingsFile settings;
    CWnError err;
    // Default: this machine.
    auto device = BxDeviceTree::getDevice("/dev/null", &err);
    ASSERT_NE(device, nullptr) << err.AsString();
    EXPECT_EQ(device->GetInterface(kBxDeviceScsiIfaceName), nullptr);

    settings.set("Devices", "Backend", "sg-io");
    EXPECT_EQ(BxDeviceTree::getDevice("/dev/null", &err), nullptr);
    EXPECT_EQ(err.AsString(), "unknown device backend [sg-io] in setting Devices/Backend");

    settings.set("Devices", "Backend", "Emulator");
    err.SetSuccess();
    EXPECT_EQ(BxDeviceTree::getDevice("/dev/sdb", &err), nullptr);
    EXPECT_EQ(err.AsString(), "device backend [emulator] needs the setting Devices/EmulatorUrl");
    Paths devices;
    EXPECT_FALSE(HostScsi::listDevices(&devices, &err));
    EXPECT_FALSE(HostScsi::refreshDeviceList(HostScsi::kScsiDevices, false));

    settings.set("Devices", "Backend", " linux ");
    EXPECT_NE(BxDeviceTree::getDevice("/dev/null", &err), nullptr);
    EXPECT_FALSE(HostScsi::refreshDeviceList(7, false));  // only SCSI devices are rescanned
}

TEST(DeviceSettings, EmulatorThatDoesNotAnswerIsAnError) {
    bxtest::SettingsFile settings;
    settings.set("Devices", "Backend", "emulator");
    settings.set("Devices", "EmulatorUrl", "https://127.0.0.1:1");
    settings.set("Gcp", "ConnectTimeoutMs", "500");
    CWnError err;
    EXPECT_EQ(BxDeviceTree::getDevice("/dev/sdb", &err), nullptr);
    EXPECT_FALSE(err.Success());
    EXPECT_FALSE(err.AsString().empty());
}

// This machine has no SCSI disk: a character device, and no device at all,
// must be turned down with a reason, not crash.
TEST(DeviceSettings, IsSupportedOnARealNonScsiNode) {
    bxtest::SettingsFile settings;
    bxtest::LogCapture log(9);
    bxtest::FakeOSUtil util;
    EXPECT_EQ(bxso_isSupported("/dev/null", 0, &util, nullptr, 0), 1);
    EXPECT_TRUE(log.containsExact("GCP SCSI Inquiry failed. 3:/dev/null is not SCSI device", -1))
        << log.all();
    EXPECT_EQ(bxso_isSupported(nullptr, 0, &util, nullptr, 0), 1);
}

}  // namespace
