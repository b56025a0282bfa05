// Recognition of Google persistent disks by INQUIRY, against a scripted
// device tree.
#include <gtest/gtest.h>

#include <memory>

#include "context/gcp_ctx.h"
#include "engine/exports.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"
#include "support/scripted_devices.h"

using namespace DuVavaZid;
using bxtest::Bytes;
using bxtest::RecordSet;
using bxtest::ScriptedDeviceTree;

namespace {

const Bytes kStdCdb = {0x12, 0, 0, 0, 0xFF, 0};
const Bytes kVpdCdb = {0x12, 1, 0x83, 0, 0xFF, 0};

// A persistent disk's standard answer with one field overwritten by raw
// bytes, NULs and all.
Bytes persistentDiskWith(size_t offset, const std::string& raw) {
    Bytes answer = ScriptedDeviceTree::standardInquiry("Google", "PersistentDisk", "1");
    std::copy(raw.begin(), raw.end(), answer.begin() + offset);
    return answer;
}

class ScsiTest : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    ScriptedDeviceTree tree;
};

// ---- isGoogleDevice ------------------------------------------------------

struct IdentityCase {
    const char* name;
    Bytes standard;
    int code;
    const char* error;  // the whole ErrStr text
    // When set, it arranges the device tree and standard goes unused.
    void (*arrange)(ScriptedDeviceTree&) = nullptr;
};

const IdentityCase kIdentityCases[] = {
    {"PersistentDisk", ScriptedDeviceTree::standardInquiry("Google", "PersistentDisk", "1"), 0, ""},
    {"VendorPaddedWithNul", persistentDiskWith(8, std::string("Google\0\0", 8)), 4,
     "Vendor id [Google] for device [/dev/sdb] is not matching - expected vendor id [Google  ]"},
    {"VendorStartsWithNul", persistentDiskWith(8, std::string("\0oogle  ", 8)), 5,
     "Vendor id [] is empty for device [/dev/sdb] - expected vendor id [Google  ]"},
    // Found by fuzzing: a device that answers the standard INQUIRY with no data at all.
    {"NoDataAtAll", Bytes{}, 5,
     "Vendor id [] is empty for device [/dev/sdb] - expected vendor id [Google  ]"},
    {"ProductEmpty", persistentDiskWith(16, std::string(16, '\0')), 5,
     "Product id [] is empty for device [/dev/sdb- expected product id [PersistentDisk  ]"},
    {"OtherVendor", ScriptedDeviceTree::standardInquiry("QEMU", "QEMU HARDDISK", "2.5+"), 4,
     "Vendor id [QEMU    ] for device [/dev/sdb] is not matching - expected vendor id [Google  ]"},
    {"VendorCaseDiffers", ScriptedDeviceTree::standardInquiry("GOOGLE", "PersistentDisk", "1"), 4,
     "Vendor id [GOOGLE  ] for device [/dev/sdb] is not matching - expected vendor id [Google  ]"},
    {"OtherGoogleProduct", ScriptedDeviceTree::standardInquiry("Google", "EphemeralDisk", "1"), 4,
     "Product id [EphemeralDisk   ] for device [/dev/sdb] is not matching - expected product id "
     "[PersistentDisk  ]"},
    // The INQUIRY itself fails: code 3 with the host's reason.
    {"NoSuchDevice",
     {},
     3,
     "Failed to get BxDevice for device [/dev/sdb]. Error:[No such file or directory]",
     [](ScriptedDeviceTree&) {}},
    {"NotScsi",
     {},
     3,
     "nvme0n1 is not SCSI device",
     [](ScriptedDeviceTree& t) {
         auto& d = t.add("/dev/sdb");
         d.scsi = false;
         d.name = "nvme0n1";
     }},
    {"SendFails",
     {},
     3,
     "Failed to send SCSI Inquiry for device [/dev/sdb], caught exception: [Sense key: Not Ready]",
     [](ScriptedDeviceTree& t) {
         auto& d = t.add("/dev/sdb");
         d.sendFails = true;
         d.failText = "Sense key: Not Ready";
     }},
    {"SendThrows",
     {},
     3,
     "Failed to send SCSI Inquiry for device [/dev/sdb], caught exception: [bus reset]",
     [](ScriptedDeviceTree& t) {
         auto& d = t.add("/dev/sdb");
         d.sendThrows = true;
         d.failText = "bus reset";
     }},
};

// Test names and ctest entries show the case's name, not its bytes.
void PrintTo(const IdentityCase& c, std::ostream* os) {
    *os << c.name;
}

class IsGoogleDevice : public ScsiTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IsGoogleDevice, AnswersFromTheStandardInquiry) {
    const IdentityCase& c = GetParam();
    if (c.arrange) {
        c.arrange(tree);
    } else {
        tree.add("/dev/sdb").standard = c.standard;
    }
    GcpCtx ctx(&util, 0, GCP_OP_IS_SUPPORTED);
    GcpUtils utils(&ctx);
    EXPECT_EQ(utils.isGoogleDevice("/dev/sdb"), c.code);
    EXPECT_EQ(ctx.errText(), c.error);
    if (c.code == 0) {
        EXPECT_TRUE(log.containsExact("GCP >> Device [/dev/sdb] is Google GCP device", 0));
        return;
    }
    EXPECT_EQ(ctx.session().ErrCode, c.code);
    const char* head = c.code == 3   ? "GCP SCSI Inquiry failed. "
                       : c.code == 4 ? "GCP Device [/dev/sdb] is NOT a Google GCP one ["
                                     : "GCP Checking for Google GCP device failed [";
    const char* tail = c.code == 3 ? "" : "]";
    EXPECT_TRUE(log.containsExact(head + std::to_string(c.code) + ":" + c.error + tail, -1))
        << log.all();
}

INSTANTIATE_TEST_SUITE_P(Identity, IsGoogleDevice, ::testing::ValuesIn(kIdentityCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- processSCSIDetails ---------------------------------------------------

// Two persistent disks, /dev/sdb and /dev/sdc, whose records know the default
// array; a test changes a device's answers through tree.add(path).
class ProcessScsi : public ScsiTest {
  protected:
    RecordSet records{2};

    void SetUp() override {
        tree.addPersistentDisk("/dev/sdb", "data-disk-1");
        tree.addPersistentDisk("/dev/sdc", "data-disk-2");
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].arrayNumber = 0;
            records[i].knownArrays["GCP-Default-IAM"] = 0;
        }
        ctx = std::make_unique<GcpCtx>(&util, 0, GCP_OP_PREPARE);
        ASSERT_EQ(ctx->initialize(records.data(), 2), 0) << ctx->errText();
        utils = std::make_unique<GcpUtils>(ctx.get());
    }

    int run(std::vector<short> pages = {0, 0x83}) { return utils->processSCSIDetails(pages, 1); }
    GcpObject* object(long key) { return ctx->snapMap.at(key); }
    std::vector<std::string> order() {
        std::vector<std::string> out;
        for (const auto& s : tree.sent()) {
            out.push_back(s.path + (s.cdb[2] ? ":83" : ":00"));
        }
        return out;
    }

    std::unique_ptr<GcpCtx> ctx;
    std::unique_ptr<GcpUtils> utils;
};

TEST_F(ProcessScsi, NamesEveryDiskAndAssociatesTheDefaultArray) {
    EXPECT_EQ(run(), 0) << ctx->errText();
    EXPECT_EQ(object(100)->GCPDeviceName, "data-disk-1");
    EXPECT_EQ(object(101)->GCPDeviceName, "data-disk-2");
    EXPECT_EQ(ctx->arrayDetails.SCSIArrayId, "GCP-Default-IAM");
    EXPECT_EQ(records[0].arrayNameSet, "GCP-Default-IAM");
    EXPECT_EQ(records[1].arrayNameSet, "GCP-Default-IAM");
    // Page codes outside, objects inside.
    EXPECT_EQ(order(), (std::vector<std::string>{"/dev/sdb:00", "/dev/sdc:00", "/dev/sdb:83",
                                                 "/dev/sdc:83"}));
    // Six-byte commands with 255 bytes of data in.
    for (const auto& s : tree.sent()) {
        EXPECT_EQ(s.cdb, s.cdb[2] ? kVpdCdb : kStdCdb);
        EXPECT_EQ(s.dataLength, 255);
        EXPECT_EQ(s.flags, 0);
        EXPECT_EQ(s.direction, BxDeviceScsiIface::kDataIn);
        EXPECT_FALSE(s.senseGiven);
        EXPECT_EQ(s.timeoutSeconds, 10);
    }
    EXPECT_TRUE(log.containsExact(
        "GCP Doing standard SCSI inquiry for device [/dev/sdb] - EVPD [0] SCSI code page [0h]", 2));
    EXPECT_TRUE(log.containsExact(
        "GCP Doing VPD SCSI inquiry for device [/dev/sdb] - EVPD [1] SCSI code page [83h]", 2));
    EXPECT_TRUE(log.containsExact(
        "GCP >> Standard SCSI inq result - vendor [Google  ] product [PersistentDisk  ] version "
        "[1   ]",
        0));
    EXPECT_TRUE(log.containsExact(
        "GCP >> Device identification SCSI inq result - GCP device name [data-disk-2]", 0));
}

TEST_F(ProcessScsi, ANonGoogleDiskStopsBeforeAnyNameIsRead) {
    tree.add("/dev/sdc").standard =
        ScriptedDeviceTree::standardInquiry("QEMU", "QEMU HARDDISK", "1");
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(
        ctx->errText(),
        "Vendor id [QEMU    ] for device [/dev/sdc] is not matching for Google GCP [Google  ]");
    EXPECT_EQ(order(), (std::vector<std::string>{"/dev/sdb:00", "/dev/sdc:00"}));
    EXPECT_EQ(object(100)->GCPDeviceName, "");
}

TEST_F(ProcessScsi, AnotherGoogleProductIsRefused) {
    tree.add("/dev/sdc").standard =
        ScriptedDeviceTree::standardInquiry("Google", "EphemeralDisk", "1");
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(ctx->errText(),
              "Product id [EphemeralDisk   ] for device [/dev/sdc] is not matching for Google GCP "
              "[PersistentDisk  ]");
}

TEST_F(ProcessScsi, NothingToDoIsMinusOne) {
    EXPECT_EQ(run({}), -1);
    EXPECT_TRUE(tree.sent().empty());

    GcpCtx empty(&util, 0, GCP_OP_PREPARE);
    GcpUtils emptyUtils(&empty);
    std::vector<short> pages = {0, 0x83};
    EXPECT_EQ(emptyUtils.processSCSIDetails(pages, 1), -1);
    EXPECT_TRUE(tree.sent().empty());
}

TEST_F(ProcessScsi, ReturnedPageCodeMustMatch) {
    tree.add("/dev/sdb").standard =
        ScriptedDeviceTree::standardInquiry("Google", "PersistentDisk", "1", 0x05);
    EXPECT_EQ(run(), 5);
    EXPECT_EQ(ctx->errText(),
              "Page code [05h] returned in SCSI inq response not match with requested page code "
              "[00h] for device [/dev/sdb]");
    EXPECT_TRUE(log.containsExact(std::string("GCP 5:") + ctx->errText(), -1));
}

TEST_F(ProcessScsi, VpdPageCodeMustMatch) {
    tree.add("/dev/sdc").vpd[0x83] = ScriptedDeviceTree::deviceIdPage("data-disk-2", -1, 0x80);
    EXPECT_EQ(run(), 5);
    EXPECT_EQ(ctx->errText(),
              "Page code [80h] returned in SCSI inq response not match with requested page code "
              "[83h] for device [/dev/sdc]");
    EXPECT_EQ(object(100)->GCPDeviceName, "data-disk-1");  // kept for the disk already named
}

TEST_F(ProcessScsi, ZeroDesignatorLengthIsAnEmptyName) {
    tree.add("/dev/sdb").vpd[0x83] = ScriptedDeviceTree::deviceIdPage("data-disk-1", 0);
    EXPECT_EQ(run(), 5);
    EXPECT_EQ(ctx->errText(), "GCP device name is empty for host device [/dev/sdb]");
    EXPECT_TRUE(log.containsExact(
        "GCP Invalid SCSI details. 5:GCP device name is empty for host device [/dev/sdb]", -1));
}

TEST_F(ProcessScsi, FailingSendEndsTheRun) {
    tree.add("/dev/sdc").sendFails = true;
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(order(), (std::vector<std::string>{"/dev/sdb:00", "/dev/sdc:00"}));
}

TEST_F(ProcessScsi, ArrayUnknownToTheHostIs10) {
    records[0].knownArrays.clear();
    EXPECT_EQ(run(), 10);
    const std::string msg =
        "Array [GCP-Default-IAM] associated with device [/dev/sdb] not found in Array Management. "
        "Please ensure that the array [GCP-Default-IAM] is configured in Array Management properly";
    EXPECT_EQ(ctx->errText(), msg);
    EXPECT_TRUE(log.containsExact(
        "GCP Snap prepare failed for device [/dev/sdb] Err-[10:" + msg + "]", -1));
}

TEST_F(ProcessScsi, RecordedArrayNameIsComparedIgnoringCase) {
    ctx->arrayDetails.SCSIArrayId = "gcp-default-iam";
    records[0].knownArrays["gcp-default-iam"] = 0;
    records[1].knownArrays["gcp-default-iam"] = 0;
    EXPECT_EQ(run(), 0) << ctx->errText();
    EXPECT_EQ(ctx->arrayDetails.SCSIArrayId, "gcp-default-iam");
    EXPECT_EQ(records[1].arrayNameSet, "gcp-default-iam");
}

TEST_F(ProcessScsi, AnotherRecordedArrayIs17WithItsReason) {
    // A device of another array says which, instead of failing without a word.
    ctx->arrayDetails.SCSIArrayId = "prod-array";
    EXPECT_EQ(run(), 17);
    EXPECT_EQ(ctx->errText(),
              "GCP array id [GCP-Default-IAM] of device [/dev/sdb] differs from array id "
              "[prod-array] of the other devices of the call");
    EXPECT_EQ(ctx->session().ErrCode, 17);
    EXPECT_EQ(records[0].arrayNameSet, "");
}

TEST_F(ProcessScsi, EmptyArrayNameIs5) {
    EXPECT_EQ(utils->checkArrayIdAndSet("/dev/sdb", ""), 5);
    EXPECT_EQ(ctx->errText(), "GCP array id is empty for device [/dev/sdb]");
}

TEST_F(ProcessScsi, OtherPagesAreAskedButNotRead) {
    tree.add("/dev/sdb").vpd[0x80] = {0x00, 0x80, 0x00, 0x01, 'x'};
    tree.add("/dev/sdc").vpd[0x80] = {0x00, 0x80, 0x00, 0x01, 'y'};
    EXPECT_EQ(run({0x80}), 0);
    EXPECT_EQ(object(100)->GCPDeviceName, "");
    EXPECT_EQ(records[0].arrayNameSet, "");
}

TEST_F(ProcessScsi, OnlyModeOneIsKnown) {
    std::vector<short> pages = {0};
    EXPECT_EQ(utils->processSCSIDetails(pages, 2), 17);
    EXPECT_TRUE(tree.sent().empty());
}

// ---- reading the answer stays inside the buffer ---------------------------

TEST_F(ScsiTest, DesignatorRunningPastTheBufferIsCut) {
    GcpCtx ctx(&util, 0, GCP_OP_MAP);
    GcpUtils utils(&ctx);
    // Exactly the 255 bytes an INQUIRY gets, on the heap so that a read past
    // them is caught by the address sanitizer.
    auto buffer = std::make_unique<unsigned char[]>(255);
    std::fill(buffer.get(), buffer.get() + 255, 'n');
    buffer[1] = 0x83;
    std::string name;
    for (int claimed : {250, 255}) {  // 255: the longest a device can claim
        buffer[7] = static_cast<unsigned char>(claimed);
        EXPECT_EQ(utils.getGCPDevNameFromSCSIInq(buffer.get(), name), 0);
        EXPECT_EQ(name, std::string(247, 'n'));
        EXPECT_TRUE(
            log.containsExact("GCP GCP device name length [" + std::to_string(claimed) + "]", 2));
    }
    EXPECT_TRUE(log.contains("cut to [247]", 2));

    // Bytes that follow the 255 in memory must never become part of the name.
    unsigned char area[300];
    std::fill(area, area + 255, 'n');
    std::fill(area + 255, area + 300, 'X');
    area[7] = 250;
    EXPECT_EQ(utils.getGCPDevNameFromSCSIInq(area, name), 0);
    EXPECT_EQ(name, std::string(247, 'n'));

    buffer[7] = 5;
    buffer[8 + 2] = 0;  // a NUL inside the designator ends the name
    EXPECT_EQ(utils.getGCPDevNameFromSCSIInq(buffer.get(), name), 0);
    EXPECT_EQ(name, "nn");
}

// ---- dump -----------------------------------------------------------------

TEST(ScsiDump, WrittenOnlyFromLevelSeven) {
    const unsigned char bytes[] = {0x12, 0x0a, 'A', 0xff};
    for (int level : {6, 7, 8}) {
        bxtest::LogCapture log(level);
        bxtest::FakeOSUtil util;
        GcpCtx ctx(&util, 0, GCP_OP_MAP);
        GcpUtils utils(&ctx);
        utils.dumpHexBuffer(4, bytes);
        EXPECT_EQ(log.count("GCP SCSI inquiry dump"), static_cast<size_t>(level - 6)) << level;
        EXPECT_EQ(log.containsExact("GCP SCSI inquiry dump << [12 0A 41 FF ] >>", 7), level >= 7);
        EXPECT_EQ(log.containsExact("GCP SCSI inquiry dump << [.  .  A  .  ] >>", 8), level >= 8);
    }
}

// ---- through the entry points ----------------------------------------------

TEST_F(ScsiTest, PrepareRunsTheScsiStep) {
    tree.addPersistentDisk("/dev/sdb", "data-disk-1");
    tree.add("/dev/sdc").standard =
        ScriptedDeviceTree::standardInquiry("QEMU", "QEMU HARDDISK", "1");
    RecordSet records(2);
    for (size_t i = 0; i < 2; ++i) {
        records[i].arrayNumber = 0;
        records[i].knownArrays["GCP-Default-IAM"] = 0;
    }
    EXPECT_EQ(bxso_prepareDevices(records.data(), 2, &util), 1);
    EXPECT_EQ(records[0].errorCode, 62008);
    EXPECT_EQ(
        records[0].errorText,
        "Vendor id [QEMU    ] for device [/dev/sdc] is not matching for Google GCP [Google  ]");
    EXPECT_EQ(records[0].status, BXSO::SNAP_PREPARE_FAILED);
    EXPECT_EQ(records[1].status, BXSO::SNAP_PREPARE_FAILED);
}

}  // namespace
