// --state persistence across restarts, and the SCSI view of "this VM".
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;
using emutest::kZone;

TEST(Persistence, StateSurvivesARestartIncludingRunningOperationsAndKeys) {
    bxtest::TempDir tmp("emu-test");
    const std::string& dir = tmp.path();
    gce::EmulatorOptions o;
    o.stateFile = dir + "/state.json";
    o.workDir = dir + "/work";
    std::string snapId, opLink, pem;
    {
        Harness h(0.001, o);
        h.emu->setLatency("snapshot.upload", 300);
        auto r = h.snapshot("data-disk-1", "kept");
        ASSERT_EQ(r.status, 200);
        opLink = r.body["selfLink"];
        snapId = h.call("GET", "demo-project/global/snapshots/kept").body["id"];
        ASSERT_EQ(h.call("POST", kZone + "/instances/mover-1/detachDisk?deviceName=data-disk-3", "")
                      .status,
                  200);
        pem = emutest::readFile(h.env->account("backup-sa").pemFile);
        h.emu->stop();
    }
    gce::EmulatorOptions o2 = o;
    o2.scenarioJson = R"({"projects":[]})";  // ignored: the state file wins
    Harness h2(0.001, o2);
    EXPECT_EQ(h2.call("GET", "demo-project/global/snapshots/kept").body["id"], snapId);
    // The Operation started before the restart finishes on time.
    std::string path = opLink.substr(opLink.find("/compute/v1/"));
    Json done = h2.waitDone(h2.call("GET", path).body);
    EXPECT_EQ(done["status"], "DONE");
    EXPECT_EQ(h2.call("GET", "demo-project/global/snapshots/kept").body["status"], "READY");
    auto inst = h2.call("GET", kZone + "/instances/mover-1").body;
    EXPECT_EQ(inst["disks"].size(), 3u);
    EXPECT_EQ(emutest::readFile(h2.env->account("backup-sa").pemFile), pem);
}

std::string inquiryHex(Harness& h, const std::string& dev, int evpd, int page) {
    auto r = h.control("GET", "scsi/inquiry?device=" + dev + "&evpd=" + std::to_string(evpd) +
                                  "&page=" + std::to_string(page) + "&alloc=255");
    EXPECT_EQ(r.status, 200) << r.text;
    return r.body.value("data", "");
}

TEST(ScsiView, DevicesTakeTheLowestFreeLetterAndAnswerInquiryLikeAPersistentDisk) {
    Harness h;
    auto devs = h.control("GET", "scsi/devices").body["devices"];
    EXPECT_EQ(devs, Json::array({"/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde"}));
    std::string std0 = inquiryHex(h, "/dev/sdb", 0, 0);
    ASSERT_EQ(std0.size(), 72u);
    EXPECT_EQ(std0.substr(16, 16), "476f6f676c652020");                  // "Google  "
    EXPECT_EQ(std0.substr(32, 32), "50657273697374656e744469736b2020");  // "PersistentDisk  "
    std::string p83 = inquiryHex(h, "/dev/sdc", 1, 0x83);
    // Header, then the first designator: ASCII, vendor specific, length, "data-disk-2".
    EXPECT_EQ(p83, "0083000f0200000b" + std::string("646174612d6469736b2d32"));
    std::string p0 = inquiryHex(h, "/dev/sda", 1, 0);
    EXPECT_EQ(p0, "00000003008083");
    // The non-Google device.
    EXPECT_EQ(inquiryHex(h, "/dev/sde", 0, 0).substr(16, 8), "51454d55");  // "QEMU"
    // Allocation length truncates.
    auto cut = h.control("GET", "scsi/inquiry?device=/dev/sdb&evpd=0&page=0&alloc=8");
    EXPECT_EQ(cut.body["data"].get<std::string>().size(), 16u);
    EXPECT_EQ(h.control("GET", "scsi/inquiry?device=/dev/sdz&evpd=0").status, 404);
    EXPECT_EQ(h.control("GET", "scsi/inquiry?device=/dev/sdb&evpd=1&page=0x99").status, 400);

    // Detach the disk at sdc; the next attach takes sdc again (sde is the QEMU disk).
    ASSERT_EQ(
        h.call("POST", kZone + "/instances/mover-1/detachDisk?deviceName=data-disk-2", "").status,
        200);
    EXPECT_EQ(h.emu->scsiDevices(),
              (std::vector<std::string>{"/dev/sda", "/dev/sdb", "/dev/sdd", "/dev/sde"}));
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"new-1"})").status, 200);
    ASSERT_EQ(h.attach("new-1", "nd1").status, 200);
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"new-2"})").status, 200);
    ASSERT_EQ(h.attach("new-2", "nd2").status, 200);
    std::vector<unsigned char> data;
    ASSERT_TRUE(h.emu->scsiInquiry("/dev/sdc", true, 0x83, 255, &data));
    EXPECT_EQ(std::string(data.begin() + 8, data.end()), "nd1");
    ASSERT_TRUE(h.emu->scsiInquiry("/dev/sdf", true, 0x83, 255, &data));
    EXPECT_EQ(std::string(data.begin() + 8, data.end()), "nd2");
}

TEST(ScsiView, LateDevicesAppearAfterRescans) {
    Harness h;
    h.emu->setLateDevices(2);
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"late-1"})").status, 200);
    ASSERT_EQ(h.attach("late-1", "late-1").status, 200);
    std::vector<unsigned char> data;
    EXPECT_FALSE(h.emu->scsiInquiry("/dev/sdf", true, 0x83, 255, &data));
    EXPECT_EQ(h.emu->scsiDevices().size(), 5u);  // first list: not there yet
    EXPECT_EQ(h.control("POST", "scsi/rescan").status, 200);
    EXPECT_TRUE(h.emu->scsiInquiry("/dev/sdf", true, 0x83, 255, &data));  // after two calls
    auto devs = h.emu->scsiDevices();
    EXPECT_EQ(devs.size(), 6u);
    EXPECT_EQ(devs.back(), "/dev/sdf");
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string runDecoder(const std::string& tool, const std::string& hex) {
    std::string spaced;
    for (size_t i = 0; i < hex.size(); i += 2) {
        spaced += hex.substr(i, 2) + (i + 2 < hex.size() ? " " : "\n");
    }
    bxtest::TempDir dir("emu-inq");
    std::string out;
    FILE* p = popen((tool + " --inhex=" + dir.write("inq.hex", spaced) + " 2>&1").c_str(), "r");
    char buf[512];
    while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) {
        out += buf;
    }
    if (p != nullptr) {
        pclose(p);
    }
    return out;
}

TEST(ScsiView, Sg3UtilsDecodesTheInquiryData) {
    if (!haveTool("sg_inq") || !haveTool("sg_vpd")) {
        GTEST_SKIP() << "sg3-utils not installed";
    }
    Harness h;
    std::string inq = runDecoder("sg_inq", inquiryHex(h, "/dev/sdb", 0, 0));
    EXPECT_NE(inq.find("Vendor identification: Google"), std::string::npos) << inq;
    EXPECT_NE(inq.find("Product identification: PersistentDisk"), std::string::npos) << inq;
    EXPECT_NE(inq.find("Peripheral device type: disk"), std::string::npos) << inq;
    std::string vpd = runDecoder("sg_vpd", inquiryHex(h, "/dev/sdb", 1, 0x83));
    EXPECT_NE(vpd.find("designator type: vendor specific [0x0],  code set: ASCII"),
              std::string::npos)
        << vpd;
    EXPECT_NE(vpd.find("vendor specific: data-disk-1"), std::string::npos) << vpd;
    std::string pages = runDecoder("sg_vpd", inquiryHex(h, "/dev/sdb", 1, 0));
    EXPECT_NE(pages.find("Device identification"), std::string::npos) << pages;
}

}  // namespace
