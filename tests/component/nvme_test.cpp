// A data mover of a newer machine series sees its persistent disks as NVMe
// namespaces: the whole cycle runs on their Identify data, on a VM with NVMe
// disks only and on one with both kinds.
#include <algorithm>
#include <set>

#include "support/snapped_disks.h"

namespace {

const char* const kPrefix = "nv-disk-";

class NvmeTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override { log.setLevel(-1); }

    // disks data disks; those in nvme are NVMe namespaces, the others SCSI
    // disks; machineType picks the VM's series.
    void start(int disks, const std::string& machineType, const std::set<int>& nvme,
               const std::string& extraDevices = "") {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        std::string scenario =
            bxtest::EmulatorEnv::fleetScenario(disks, kPrefix, machineType, nvme);
        if (!extraDevices.empty()) {
            scenario.insert(scenario.size() - 1, R"(,"scsiDevices":)" + extraDevices);
        }
        options.scenarioJson = scenario;
        ASSERT_NO_FATAL_FAILURE(startEmulator(options));
        util.jobId = 55;
        records = bxtest::EmulatorEnv::fleetRecords(disks, "nv-snap-", 0, 5);
        // The boot disk comes first on its bus; data disks follow in order.
        const bool nvmeBoot = machineType.rfind("c3", 0) == 0;
        int nextNvme = nvmeBoot ? 2 : 1;
        char nextScsi = nvmeBoot ? 'a' : 'b';
        for (int i = 0; i < disks; ++i) {
            auto& r = rec(i);
            bool onNvme = nvmeBoot || nvme.count(i) > 0;
            r.sourceDevice = onNvme ? "/dev/nvme0n" + std::to_string(nextNvme++)
                                    : std::string("/dev/sd") + nextScsi++;
            r.intProperties[13] = 55;
            r.hostInfoText = "ab12";
            r.cloneNumber = 1;
        }
    }

    static std::string name(int i) { return kPrefix + std::to_string(i + 1); }

    void runWholeCycle(int n) {
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(rec(i).transientMetadata[102], name(i) + "|")
                << "device name read from " << rec(i).sourceDevice << ": "
                << rec(i).transientMetadata[102];
        }
        ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
        ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
        auto before = env->emu().scsiDevices();
        ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
        for (int i = 0; i < n; ++i) {
            // The clone's device is the new device that names the clone.
            std::string device = rec(i).snapDevice;
            EXPECT_FALSE(device.empty()) << name(i);
            EXPECT_EQ(std::count(before.begin(), before.end(), device), 0) << device;
        }
        ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
        EXPECT_EQ(env->emu().scsiDevices(), before);
        ASSERT_EQ(run(bxso_revertSnaps), 0) << rec(0).errorText;
        for (int i = 0; i < n; ++i) {
            EXPECT_NE(disk(name(i))
                          .get<jsonxx::String>("sourceSnapshot")
                          .find("/global/snapshots/" + rec(i).snapName),
                      std::string::npos)
                << name(i);
            EXPECT_EQ(rec(i).revertDevice.empty(), false) << name(i);
        }
        ASSERT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
    }
};

TEST_F(NvmeTest, WholeCycleOnAnNvmeVm) {
    start(3, "c3-standard-8", {});
    auto devices = env->emu().scsiDevices();
    EXPECT_EQ(devices, (std::vector<std::string>{"/dev/nvme0n1", "/dev/nvme0n2", "/dev/nvme0n3",
                                                 "/dev/nvme0n4"}));
    runWholeCycle(3);
}

TEST_F(NvmeTest, WholeCycleOnAVmWithBothKinds) {
    start(4, "", {1, 3});
    runWholeCycle(4);
}

// Only a persistent disk's controller with a device name in its namespace is
// taken; a local SSD and a disk whose vendor data is broken are refused with
// a reason.
TEST_F(NvmeTest, DevicesThatAreNotUsablePersistentDisksAreRefused) {
    start(1, "c3-standard-8", {},
          R"([{"path":"/dev/nvme1n1","model":"nvme_card"},)"
          R"({"path":"/dev/nvme2n1","model":"nvme_card-pd","vendorArea":"{\"disk_type\":1}"}])");
    struct Case {
        const char* device;
        int supported;  // bxso_isSupported: 0 yes, 1 no
        const char* logged;
    };
    const Case cases[] = {
        {"/dev/nvme0n2", 0, ""},
        {"/dev/nvme1n1", 1, "Vendor id [NVMe    ] for device [/dev/nvme1n1] is not matching"},
        {"/dev/nvme2n1", 1,
         "NVMe persistent disk [/dev/nvme2n1] is refused: its vendor-specific "
         "JSON has no \"device_name\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bxso_isSupported(c.device, 0, &util, nullptr, 0), c.supported) << c.device;
        if (*c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << c.device;
        }
    }
    rec(0).sourceDevice = "/dev/nvme2n1";
    EXPECT_EQ(bxso_prepareDevices(records->data(), 1, &util), 1);
    EXPECT_NE(rec(0).errorText.find("has no \"device_name\""), std::string::npos)
        << rec(0).errorText;
}

}  // namespace
