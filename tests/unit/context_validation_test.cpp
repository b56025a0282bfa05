#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "context/gcp_ctx.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;
using bxtest::FakeOSUtil;
using bxtest::RecordSet;

namespace {

class ContextTest : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    FakeOSUtil util;
};

// The job id taken from the utility object shows in DumpOnlyAtLevelEight.
TEST_F(ContextTest, ConstructorTakesJobIdFromUtility) {
    GcpCtx orphan(nullptr, 0, GCP_OP_SNAP);
    EXPECT_EQ(orphan.JobId, -123456);
}

struct ValidationCase {
    const char* name;
    int op;
    bool nullUtil;
    int count;
    bool nullArray;
    int nullIndex;        // -1: none
    const char* arrayOf;  // array numbers of the three records, one digit each
    int wantCode;
    const char* wantText;
    const char* wantLogFormatHead;
};

// Test names show the case's name, not its bytes.
void PrintTo(const ValidationCase& c, std::ostream* os) {
    *os << c.name;
}

class ValidationTest : public ContextTest, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidationTest, RulesApplyInOrderWithTheirCodes) {
    const auto& c = GetParam();
    RecordSet records(3);
    for (int i = 0; i < 3; ++i) {
        records[i].arrayNumber = c.arrayOf[i] - '0';
    }
    std::vector<BXSO::SnapInfo*> ptrs(records.data(), records.data() + 3);
    if (c.nullIndex >= 0) {
        ptrs[c.nullIndex] = nullptr;
    }
    GcpCtx ctx(c.nullUtil ? nullptr : &util, 0, c.op);
    int rc = ctx.validateSnapList(c.nullArray ? nullptr : ptrs.data(), c.count);
    EXPECT_EQ(rc, c.wantCode) << c.name;
    EXPECT_EQ(ctx.session().ErrCode, c.wantCode) << c.name;
    EXPECT_EQ(ctx.errText(), c.wantText) << c.name;
    EXPECT_TRUE(log.contains(c.wantLogFormatHead, -1)) << c.name << "\n" << log.all();
}

const ValidationCase kValidationCases[] = {
    {"null util first", GCP_OP_SNAP, true, 0, true, -1, "000", 19,
     "Snap OS Util object is null or not initialized",
     "GCP Input validation for snap operation failed [19:Snap OS Util object"},
    {"count zero", GCP_OP_SNAP, false, 0, true, -1, "111", 7, "Invalid snap count [0]",
     "GCP Input snap list validation failed [7:Invalid snap count [0]]"},
    {"null list", GCP_OP_SNAP, false, 2, true, -1, "111", 8, "Empty snap list [0]",
     "GCP Input internal object validation failed [8:Empty snap list [0]]"},
    {"null record", GCP_OP_SNAP, false, 3, false, 1, "111", 8, "Empty snap info @ idx [1] of [3]",
     "GCP Input internal object validation failed [8:"},
    {"no array", GCP_OP_MAP, false, 3, false, -1, "101", 10,
     "No GCP array [0] associated with snapshot - may be prepare itself failed",
     "GCP 10:No GCP array [0]"},
    {"wrong array before null record", GCP_OP_DELETE, false, 3, false, 2, "121", 9,
     "Snapshots from multiple regions detected - current snapshot array num [2] not matching "
     "with array num [1] of other snapshots in the current operation. Snapshots from multiple "
     "regions are detected in current operation. Multiple regions are not supported",
     "GCP 9:Snapshots from multiple regions detected"},
};
INSTANTIATE_TEST_SUITE_P(Context, ValidationTest, ::testing::ValuesIn(kValidationCases));

TEST_F(ContextTest, DuplicateSnapNumbersAreRejected) {
    RecordSet records(2);
    records[1].snapNumber = records[0].snapNumber;
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    EXPECT_EQ(ctx.initialize(records.data(), 2), 8);
    EXPECT_EQ(ctx.errText(), "Duplicate snap number [100] in snap list");
}

TEST_F(ContextTest, InitializeForIsSupportedOnlyResets) {
    GcpCtx ctx(&util, 7, GCP_OP_IS_SUPPORTED);
    EXPECT_EQ(ctx.initialize(nullptr, 1), 0);
    EXPECT_EQ(ctx.Flags, 0);
    EXPECT_TRUE(ctx.snapMap.empty());
}

// Prepare takes records with no array, or with different ones.
TEST_F(ContextTest, PrepareOfPathDevicesBuildsObjectsWithoutArrayLookup) {
    RecordSet records(2);
    records[0].arrayNumber = 0;
    records[1].arrayNumber = 5;
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    ASSERT_EQ(ctx.initialize(records.data(), 2), 0) << ctx.errText();
    EXPECT_TRUE(log.contains("GCP Validating inputs for snap operation... - done", 3));
    ASSERT_EQ(ctx.snapMap.size(), 2u);
    EXPECT_EQ(ctx.snapMap.at(100)->HostSrcDev, "/dev/sdb");
    EXPECT_EQ(ctx.snapMap.at(101)->HostSrcDev, "/dev/sdc");
    EXPECT_FALSE(ctx.hpxMode);
    EXPECT_FALSE(ctx.snapMap.at(100)->IsHPXDevice);
    EXPECT_EQ(records[0].arrayInfoOutstanding, 0);
    EXPECT_TRUE(ctx.arrayDetails.ArrayId.empty());
    EXPECT_TRUE(ctx.snapMap.at(100)->SnapUuid.empty());  // prepare asks for names later
}

TEST_F(ContextTest, SourceDeviceFailures) {
    struct Case {
        const char* device;
        bool ok;
        int code;
        const char* text;
    } cases[] = {
        {"", false, 6, "Failed to get source device details for snap # [100]"},
        {"", true, 2, "Source device [] is empty"},
        {"demo-project", true, 6,
         "Failed to get source device details for snap # [100]. Device format is incorrect."},
        {"|123", true, 6,
         "Failed to get source device details for snap # [100]. Device details are missing."},
        {"demo-project|", true, 6,
         "Failed to get source device details for snap # [100]. Device details are missing."},
    };
    for (const auto& c : cases) {
        RecordSet records(1);
        records[0].sourceDevice = c.device;
        records[0].sourceDeviceOk = c.ok;
        GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
        EXPECT_EQ(ctx.initialize(records.data(), 1), c.code) << c.device;
        EXPECT_EQ(ctx.errText(), c.text);
    }
    EXPECT_TRUE(log.contains("GCP Snap operation failed. Err-[6:", -1));
}

TEST_F(ContextTest, HpxDeviceFollowedByPathDeviceFails) {
    RecordSet records(2);
    records[0].sourceDevice = "demo-project|1234";
    records[0].metadata[154] = "us-central1-a||";
    records[1].sourceDevice = "/dev/sdc";
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    EXPECT_EQ(ctx.initialize(records.data(), 2), 20);
    EXPECT_EQ(ctx.errText(), "The device [/dev/sdc] for snap # [101] is not a HPX device.");
}

TEST_F(ContextTest, PathDeviceFollowedByHpxDeviceSwitchesToHpx) {
    RecordSet records(2);
    records[0].sourceDevice = "/dev/sdb";
    records[1].sourceDevice = "demo-project|1234";
    records[1].metadata[154] = "us-central1-a||";  // the host supplies the location of HPX disks
    for (size_t i = 0; i < 2; ++i) {
        records[i].configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "xenc:-----BEGIN KEY-----";
    }
    records[0].sourceInfo = "other-project|555";
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    ASSERT_EQ(ctx.initialize(records.data(), 2), 0) << ctx.errText();
    EXPECT_TRUE(ctx.hpxMode);
    EXPECT_FALSE(ctx.snapMap.at(100)->IsHPXDevice);
    EXPECT_TRUE(ctx.snapMap.at(101)->IsHPXDevice);
    EXPECT_EQ(ctx.snapMap.at(101)->ProjectId, "demo-project");
    EXPECT_EQ(ctx.snapMap.at(101)->GCPDeviceId, "1234");
    EXPECT_EQ(ctx.projectId, "other-project");
    EXPECT_EQ(ctx.instanceId, "555");
    EXPECT_EQ(ctx.snapMap.at(100)->InstanceId, "555");
    EXPECT_TRUE(ctx.useServiceAccount);
    EXPECT_EQ(records[0].arrayInfoOutstanding, 0);
}

TEST_F(ContextTest, HpxSourceInstanceMustHaveExactlyOneBar) {
    const std::string head = "Failed to get source instance details for snap # [100]";
    struct Case {
        const char* info;
        bool ok;
        std::string text;
    } cases[] = {
        {"p|i|x", true, head + ". Source path format is incorrect."},
        {"pi", true, head + ". Source path format is incorrect."},
        {"", false, head},
    };
    for (const auto& c : cases) {
        RecordSet records(1);
        records[0].sourceDevice = "demo-project|1234";
        records[0].metadata[154] = "us-central1-a||";
        records[0].sourceInfo = c.info;
        records[0].sourceInfoOk = c.ok;
        GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
        EXPECT_EQ(ctx.initialize(records.data(), 1), 6) << c.info;
        EXPECT_EQ(ctx.errText(), c.text);
    }
}

TEST_F(ContextTest, MissingSnapNameFailsOutsidePrepare) {
    RecordSet records(1);
    bxtest::storePreparedMetadata(records[0], "111", "data-disk-1");
    records[0].snapNameOk = false;
    GcpCtx ctx(&util, 0, GCP_OP_POST_SNAP);
    EXPECT_EQ(ctx.initialize(records.data(), 1), 6);
    EXPECT_EQ(ctx.errText(), "Failed to get snap uuid for GCP device [].");
}

// HPX map with restore options: the destination key handling.
class RestoreOptionsTest : public ContextTest {
  protected:
    RecordSet records{1};
    void SetUp() override {
        auto& r = records[0];
        r.sourceDevice = "demo-project|1234";
        bxtest::storePreparedMetadata(r, "1234", "data-disk-1", "us-central1-a", "9001");
        r.configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "xenc:pem-key";
        r.haveOperationProperties = true;
    }
};

TEST_F(RestoreOptionsTest, PemKeyIsDecryptedWithoutItsFirstCharacter) {
    auto& r = records[0];
    r.operationProperties = {{"destination-project-id", "dest-proj"},
                             {"destination-zone", "europe-west1-b"},
                             {"destination-user", "sa@dest"},
                             {"destination-pwd", "Xenc:dest-pem"},
                             {"in-place-restore", "TRUE"}};
    GcpCtx ctx(&util, 0, GCP_OP_MAP);
    ASSERT_EQ(ctx.initialize(records.data(), 1), 0) << ctx.errText();
    EXPECT_TRUE(ctx.restoreOptionsFound);
    EXPECT_TRUE(ctx.restoreInfo.destKeyIsPem);
    EXPECT_EQ(ctx.restoreInfo.destKey, "dest-pem");
    EXPECT_EQ(ctx.restoreInfo.destRegion, "europe-west1");
    EXPECT_TRUE(ctx.restoreInfo.inPlaceRestore);
    EXPECT_EQ(ctx.restoreInfo.destProjectId, "dest-proj");
    EXPECT_TRUE(log.contains("GCP >> Restore options key [destination-pwd] value [******]", 0));
    EXPECT_FALSE(log.contains("dest-pem"));
}

TEST_F(RestoreOptionsTest, P12FileKeepsPasswordAndRegionFromZoneWithoutDash) {
    records[0].operationProperties = {{"destination-zone", "zoneless"},
                                      {"destination-p12file", "dest.p12"},
                                      {"destination-pwd", "notasecret"}};
    GcpCtx ctx(&util, 0, GCP_OP_UNMAP);
    ASSERT_EQ(ctx.initialize(records.data(), 1), 0) << ctx.errText();
    EXPECT_FALSE(ctx.restoreInfo.destKeyIsPem);
    EXPECT_EQ(ctx.restoreInfo.destKey, "dest.p12");
    EXPECT_EQ(ctx.restoreInfo.destPassword, "notasecret");
    EXPECT_EQ(ctx.restoreInfo.destRegion, "zoneless");
    EXPECT_FALSE(ctx.restoreInfo.inPlaceRestore);
    EXPECT_FALSE(log.contains("notasecret"));
}

TEST_F(RestoreOptionsTest, KeyFailures) {
    struct Case {
        const char* pwd;
        bool decryptFails;
        const char* text;
    } cases[] = {
        {"X", false, "Invalid private key sent via restore options. Key length [1]"},
        {"Xenc:k", true,
         "Unable to decrypt private key sent via restore options. Encrypted key length [6]"},
    };
    for (const auto& c : cases) {
        records[0].operationProperties = {{"destination-pwd", c.pwd}};
        records[0].decryptFails = c.decryptFails;
        GcpCtx ctx(&util, 0, GCP_OP_MAP);
        EXPECT_EQ(ctx.initialize(records.data(), 1), 17);
        EXPECT_EQ(ctx.errText(), c.text);
    }
}

TEST_F(RestoreOptionsTest, AbsentOptionsAreLoggedEmpty) {
    records[0].haveOperationProperties = false;
    GcpCtx ctx(&util, 0, GCP_OP_MAP);
    ASSERT_EQ(ctx.initialize(records.data(), 1), 0) << ctx.errText();
    EXPECT_FALSE(ctx.restoreOptionsFound);
    EXPECT_TRUE(log.contains("GCP Restore options not found", 3));
    EXPECT_TRUE(log.contains("GCP >> Restore options key [destination-zone] value []", 0));
}

TEST_F(ContextTest, GuestFlushPropertyInHpxSnap) {
    for (const char* value : {"True", "no"}) {
        RecordSet records(1);
        records[0].sourceDevice = "demo-project|1234";
        bxtest::storePreparedMetadata(records[0], "1234", "data-disk-1");
        records[0].configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "xenc:pem";
        records[0].haveOperationProperties = true;
        records[0].operationProperties = {{"EnableGuestFlush", value}};
        GcpCtx ctx(&util, 0, GCP_OP_SNAP);
        ASSERT_EQ(ctx.initialize(records.data(), 1), 0) << ctx.errText();
        EXPECT_EQ(ctx.guestFlushEnabled, std::string(value) == "True");
    }
    EXPECT_TRUE(
        log.contains("GCP >> Snap operation properties - key [EnableGuestFlush] value [no]"));
}

TEST_F(ContextTest, ErrorTextAccumulatesAndPrepends) {
    GcpCtx ctx(&util, 0, GCP_OP_SNAP);
    ctx.fail(15, "first.");
    ctx.fail(14, "second.");
    EXPECT_EQ(ctx.errText(), "first.second.");
    ctx.prependErrorMsg("Head: ");
    ctx.session().ErrStr << "tail";
    EXPECT_EQ(ctx.errText(), "Head: first.second.tail");
    ctx.resetError();
    EXPECT_EQ(ctx.session().ErrCode, 0);
    EXPECT_EQ(ctx.errText(), "");
}

TEST_F(ContextTest, RestErrorExtraction) {
    GcpCtx ctx(&util, 0, GCP_OP_SNAP);
    ctx.session().restResponse =
        R"({"error":{"code":404,"message":"The resource 'projects/p/zones/z/disks/d' was not found","errors":[]}})";
    ctx.extractRESTErrorMsgs();
    ctx.session().restResponse = "<html>not json</html>";
    ctx.extractRESTErrorMsgs();
    ctx.session().restResponse = R"({"error":{"code":500}})";
    ctx.extractRESTErrorMsgs();
    EXPECT_EQ(ctx.session().restErrStr.str(),
              "The resource 'projects/p/zones/z/disks/d' was not found \"error\" tag not found in "
              "REST error response\"message\" tag not found in REST error response");
    EXPECT_TRUE(log.contains("GCP Invalid REST error response. ", -1));
}

TEST_F(ContextTest, DumpOnlyAtLevelEight) {
    RecordSet records(1);
    records[0].arrayNumber = 0;
    {
        bxtest::LogCapture quiet(7);
        GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
        ASSERT_EQ(ctx.initialize(records.data(), 1), 0);
        ctx.dump();
        EXPECT_FALSE(quiet.contains("Dump of GcpCtx object"));
    }
    bxtest::LogCapture verbose(8);
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    ASSERT_EQ(ctx.initialize(records.data(), 1), 0);
    ctx.dump();
    EXPECT_TRUE(verbose.contains(
        "GCP Dump of GcpCtx object: JobId [4242] Flags [0] OpCode [1] SnapCount [1] MapCount [1] "
        "SCSIArray [] Array [] ErrCode [-1] ErrStr []\n\tHostSrcDev [/dev/sdb]",
        8));
}

TEST_F(ContextTest, LockIsTakenOnlyWhenThreadsRun) {
    GcpCtx ctx(&util, 0, GCP_OP_SNAP);
    // Without worker threads nothing is held, so nested use cannot deadlock.
    EXPECT_EQ(ctx.checkAndTryLock(), 1);
    EXPECT_EQ(ctx.checkAndTryLock(), 1);
    ctx.checkAndReleaseLock();
    ctx.checkAndReleaseLock();

    ctx.threadsInUse = true;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&ctx] {
            for (int i = 0; i < 500; ++i) {
                CtxLockGuard guard(&ctx);
                ctx.session().restRequest += "x";
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(ctx.session().restRequest.size(), 2000u);
}

}  // namespace
