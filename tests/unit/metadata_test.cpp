#include <gtest/gtest.h>

#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;
using bxtest::FakeSnapInfo;
using bxtest::RecordSet;

namespace {

class MetadataTest : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    RecordSet records{1};
    FakeSnapInfo& rec() { return records[0]; }

    int init(int op) {
        ctx = std::make_unique<GcpCtx>(&util, 0, op);
        return ctx->initialize(records.data(), 1);
    }
    GcpObject* obj() { return ctx->snapMap.begin()->second; }
    std::unique_ptr<GcpCtx> ctx;
};

TEST_F(MetadataTest, PrepareWritesEveryItemTerminated) {
    rec().arrayNumber = 0;
    ASSERT_EQ(init(GCP_OP_PREPARE), 0);
    GcpObject* o = obj();
    o->GCPDeviceId = "4411";
    o->ProjectId = "demo-project";
    o->InstanceId = "7777";
    o->GCPDeviceZone = "us-central1-a";
    o->GCPDeviceType = "pd-ssd";
    o->GCPDeviceName = "data-disk-1";
    o->DiskLabels.set("team", std::string("db"));
    ctx->serviceAccount = "sa@demo";
    EXPECT_EQ(ctx->setSnapMetadata(o), 0);
    EXPECT_EQ(rec().metadata[6], "4411|demo-project|7777||");
    EXPECT_EQ(rec().metadata[154], "us-central1-a||");
    EXPECT_EQ(rec().metadata[156], "pd-ssd|");
    EXPECT_EQ(rec().metadata[157], "sa@demo|");
    EXPECT_EQ(rec().transientMetadata[102], "data-disk-1|");
    EXPECT_EQ(rec().metadata[167], "{\"team\":\"db\"}");
    EXPECT_TRUE(log.contains("GCP >> Snap transient metadata [data-disk-1|]", -1));

    // An empty labels object still yields a non-empty JSON text.
    o->DiskLabels = jsonxx::Object();
    ctx->setSnapMetadata(o);
    EXPECT_EQ(rec().metadata[167], "{}");
}

TEST_F(MetadataTest, SnapReadsEveryItem) {
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a");
    ASSERT_EQ(init(GCP_OP_SNAP), 0) << ctx->errText();
    GcpObject* o = obj();
    EXPECT_EQ(o->GCPDeviceId, "4411");
    EXPECT_EQ(o->ProjectId, "demo-project");
    EXPECT_EQ(o->InstanceId, "7777");
    EXPECT_EQ(o->SnapResourceId, "");
    EXPECT_EQ(o->GCPDeviceName, "data-disk-1");
    EXPECT_EQ(o->GCPDeviceType, "pd-balanced");
    EXPECT_EQ(o->ServiceAccount, "mover@demo-project.iam.gserviceaccount.com");
    EXPECT_EQ(o->GCPDeviceZone, "us-central1-a");
    EXPECT_EQ(o->GCPDeviceRegion, "");
    EXPECT_EQ(o->GCPDeviceTag, "4411");  // the name is read after the tag is set
    EXPECT_EQ(o->SnapTag, "snap-100");
    EXPECT_TRUE(o->DiskLabels.empty());  // labels are read only by map and revert
}

TEST_F(MetadataTest, ResourceIdRulesPerOperation) {
    struct Case {
        int op;
        int code;
    } cases[] = {{GCP_OP_SNAP, 0},  {GCP_OP_POST_SNAP, 0}, {GCP_OP_DELETE, 0},   {GCP_OP_MAP, 8},
                 {GCP_OP_UNMAP, 8}, {GCP_OP_REVERT, 8},    {GCP_OP_RECONCILE, 8}};
    for (const auto& c : cases) {
        bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1");
        EXPECT_EQ(init(c.op), c.code) << "op " << c.op << ": " << ctx->errText();
        if (c.code) {
            EXPECT_EQ(
                ctx->errText(),
                "Snapshot resource id not found in snap uuid metadata [4411|demo-project|7777||]");
        }
    }
    EXPECT_TRUE(log.contains(
        "GCP Snapshot resource id not found in snap uuid metadata... however proceeding further",
        -1));
}

TEST_F(MetadataTest, MapReadsLabelsAndRejectsBadJson) {
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a", "9001");
    ASSERT_EQ(init(GCP_OP_MAP), 0) << ctx->errText();
    EXPECT_EQ(obj()->SnapResourceId, "9001");
    EXPECT_EQ(obj()->DiskLabels.get<jsonxx::String>("env"), "test");

    rec().metadata[167] = "not json";
    EXPECT_EQ(init(GCP_OP_REVERT), 8);
    EXPECT_EQ(ctx->errText(),
              "Failed to parse the labels metadata as a JSON object. Metadata [not json]");
    rec().metadata.erase(167);
    EXPECT_EQ(init(GCP_OP_REVERT), 0);
}

struct BadItemCase {
    const char* name;
    int key;
    const char* value;  // nullptr: item absent
    int op;
    int code;
    const char* text;
};

void PrintTo(const BadItemCase& c, std::ostream* os) {
    *os << c.name;
}

class BadItemTest : public MetadataTest, public ::testing::WithParamInterface<BadItemCase> {};

TEST_P(BadItemTest, Reports) {
    const auto& c = GetParam();
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a", "9001");
    rec().metadata.erase(c.key);
    rec().transientMetadata.erase(c.key);
    if (c.value) {
        rec().metadata[c.key] = c.value;
    }
    EXPECT_EQ(init(c.op), c.code) << c.name;
    EXPECT_EQ(ctx->errText(), c.text) << c.name;
}

const BadItemCase kBadItems[] = {
    {"uuid absent", 6, nullptr, GCP_OP_MAP, 6,
     "Failed to get snap uuid metadata and hence failing"},
    {"uuid empty", 6, "", GCP_OP_MAP, 16,
     "Empty snap uuid metadata found - may be prepare itself failed"},
    {"uuid no device id", 6, "|p|i|r|", GCP_OP_MAP, 8,
     "GCP device id not found in snap uuid metadata [|p|i|r|]"},
    {"uuid no project", 6, "d|", GCP_OP_MAP, 8,
     "GCP project id not found in snap uuid metadata [d|]"},
    {"uuid no instance", 6, "d|p||r|", GCP_OP_MAP, 8,
     "GCP instance id not found in snap uuid metadata [d|p||r|]"},
    {"transient absent", 102, nullptr, GCP_OP_SNAP, 6,
     "Failed to get snap transient metadata and hence failing"},
    {"transient empty", 102, "", GCP_OP_SNAP, 16,
     "Empty snap transient metadata found - may be prepare itself failed"},
    {"transient no name", 102, "|", GCP_OP_SNAP, 8,
     "GCP device name not found in snap transient metadata [|]"},
    {"type absent", 156, nullptr, GCP_OP_MAP, 6,
     "Failed to get GCP device type metadata and hence failing"},
    {"type no bar", 156, "pd-ssd", GCP_OP_MAP, 8,
     "GCP device type not found in snap cloud location metadata [pd-ssd]"},
    {"account empty", 157, "", GCP_OP_UNMAP, 16,
     "Empty GCP service account metadata found - may be prepare itself failed"},
    {"account no bar", 157, "sa", GCP_OP_UNMAP, 8,
     "Service account not found in snap GCP service account metadata [sa]"},
    {"location absent", 154, nullptr, GCP_OP_RECONCILE, 6,
     "Failed to get snap cloud location metadata and hence failing"},
    {"location no bar", 154, "us-central1-a", GCP_OP_RECONCILE, 8,
     "GCP zone not found in snap cloud location metadata [us-central1-a]"},
    {"location one bar", 154, "us-central1-a|", GCP_OP_RECONCILE, 8,
     "GCP region not found in snap cloud location metadata [us-central1-a|]"},
};
INSTANTIATE_TEST_SUITE_P(Metadata, BadItemTest, ::testing::ValuesIn(kBadItems));

// Missing items mean "never created" only while nothing proves the snapshot
// exists; a resource id in item 6 does, and a missing item is then an error.
TEST_F(MetadataTest, DeleteTreatsMissingItemsAsNeverCreatedUnlessTheSnapshotExists) {
    struct Case {
        int key;
        const char* resourceId;
        bool neverCreated;
        const char* sentence;
    } cases[] = {
        {6, "9001", true, ""},
        {156, "", true, ""},
        {157, "", true, ""},
        {154, "", true, ""},
        {156, "9001", false, "Failed to get GCP device type metadata and hence failing"},
        {157, "9001", false, "Failed to get GCP service account metadata and hence failing"},
        {154, "9001", false, "metadata"},
    };
    for (const auto& c : cases) {
        bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a", c.resourceId);
        rec().metadata.erase(c.key);
        rec().status = BXSO::SNAP_STATUS_NONE;
        int rc = init(GCP_OP_DELETE);
        if (c.neverCreated) {
            EXPECT_EQ(rc, 0) << c.key;
            EXPECT_EQ(rec().status, BXSO::SNAP_DELETE_SUCCESS) << c.key;
        } else {
            EXPECT_NE(rc, 0) << c.key;
            EXPECT_NE(rec().status, BXSO::SNAP_DELETE_SUCCESS) << c.key;
            EXPECT_NE(ctx->errText().find(c.sentence), std::string::npos)
                << c.key << ": " << ctx->errText();
        }
    }
}

TEST_F(MetadataTest, UpdatesReplaceOnlyTheirField) {
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1");
    ASSERT_EQ(init(GCP_OP_POST_SNAP), 0);
    obj()->SnapResourceId = "5550001";
    EXPECT_EQ(ctx->updateSnapMetadataWithSnapId(obj()), 0);
    EXPECT_EQ(rec().metadata[6], "4411|demo-project|7777|5550001|");
    obj()->GCPDeviceId = "8888";
    EXPECT_EQ(ctx->updateSnapMetadataWithGcpDeviceId(obj()), 0);
    EXPECT_EQ(rec().metadata[6], "8888|demo-project|7777|5550001|");

    rec().metadata[6] = "x";
    EXPECT_EQ(ctx->updateSnapMetadataWithSnapId(obj()), 6);
    EXPECT_EQ(ctx->updateSnapMetadataWithGcpDeviceId(obj()), 6);
    EXPECT_NE(ctx->errText().find("Snap uuid format is incorrect"), std::string::npos);
    rec().metadata.erase(6);
    EXPECT_EQ(ctx->updateSnapMetadataWithSnapId(obj()), 6);
}

TEST_F(MetadataTest, OperationLinkIsStoredWithoutScheme) {
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1");
    ASSERT_EQ(init(GCP_OP_SNAP), 0);
    GcpUtils utils(ctx.get());
    utils.setSnapOpLinkInMetadata("https://compute.googleapis.com/compute/v1/projects/p/op-1",
                                  obj(), ctx.get());
    EXPECT_EQ(rec().transientMetadata[155], "compute.googleapis.com/compute/v1/projects/p/op-1");
    std::string link;
    EXPECT_EQ(utils.getSnapOpLinkFromMetadata(link, obj(), ctx.get()), 0);
    EXPECT_EQ(link, "compute.googleapis.com/compute/v1/projects/p/op-1");

    rec().transientMetadata.erase(155);
    EXPECT_EQ(utils.getSnapOpLinkFromMetadata(link, obj(), ctx.get()), 6);
    EXPECT_EQ(ctx->errText(), "Failed to get snap operation link and hence failing");
}

TEST_F(MetadataTest, InterimCloneItem) {
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a", "9001");
    ASSERT_EQ(init(GCP_OP_UNMAP), 0);
    GcpUtils utils(ctx.get());
    obj()->SnapUuid = "s1";
    obj()->interimCloneInfo.interimCloneId = "31";
    obj()->interimCloneInfo.interimSnapId = "32";
    EXPECT_EQ(utils.setInterimCloneInfoMetadata(obj(), ctx.get()), 0);
    EXPECT_EQ(rec().metadata[163], "31|32|");

    obj()->interimCloneInfo.reset();
    EXPECT_EQ(utils.getInterimCloneInfoMetadata(obj(), ctx.get()), 0);
    EXPECT_EQ(obj()->interimCloneInfo.interimCloneId, "31");
    EXPECT_EQ(obj()->interimCloneInfo.interimSnapId, "32");

    rec().setMetadataResult = 2;
    EXPECT_EQ(utils.setInterimCloneInfoMetadata(obj(), ctx.get()), 17);
    EXPECT_TRUE(
        log.contains("GCP Interim clone info metadata for snap [s1] is too large with "
                     "length [6]",
                     -1));
    rec().setMetadataResult = 1;
    EXPECT_EQ(utils.setInterimCloneInfoMetadata(obj(), ctx.get()), 17);
    rec().metadata.erase(163);
    int before = ctx->session().ErrCode;
    EXPECT_EQ(utils.getInterimCloneInfoMetadata(obj(), ctx.get()), 17);
    EXPECT_EQ(ctx->session().ErrCode, before);
}

// An item the host refuses fails the prepare of that disk and says which.
TEST_F(MetadataTest, RefusedItemFailsWithItsName) {
    ASSERT_EQ(init(GCP_OP_PREPARE), 0);
    obj()->GCPDeviceName = "data-disk-1";
    jsonxx::Object labels;
    labels.set("app", std::string(300, 'x'));
    obj()->DiskLabels = labels;
    rec().setMetadataResultFor[167] = 2;
    EXPECT_EQ(ctx->setSnapMetadata(obj()), 6);
    EXPECT_NE(ctx->errText().find("Failed to store the GCP labels metadata of GCP device "
                                  "[data-disk-1]: the host refused item [167] of ["),
              std::string::npos)
        << ctx->errText();
    EXPECT_EQ(rec().metadata.count(167), 0u);
    rec().setMetadataResultFor.clear();
    ctx->resetError();
    EXPECT_EQ(ctx->setSnapMetadata(obj()), 0);
    EXPECT_EQ(rec().metadata[167], labels.json());
}

TEST_F(MetadataTest, HpxMapReadsCloneOptions) {
    rec().sourceDevice = "demo-project|4411";
    bxtest::storePreparedMetadata(rec(), "4411", "data-disk-1", "us-central1-a", "9001");
    rec().configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "xenc:pem";
    rec().haveCloneOptions = true;
    rec().cloneOptions = {{"destination-replica-zones", "us-east1-b,us-east1-c"},
                          {"destination-encryption-key", "projects/k/keyRings/r/cryptoKeys/c"}};
    ASSERT_EQ(init(GCP_OP_MAP), 0) << ctx->errText();
    EXPECT_TRUE(obj()->RegionalDisk);
    EXPECT_EQ(obj()->cloneOptions.DestinationReplicaZones,
              (std::vector<std::string>{"us-east1-b", "us-east1-c"}));
    EXPECT_EQ(obj()->cloneOptions.destEncryptionKey, "projects/k/keyRings/r/cryptoKeys/c");
}

}  // namespace
