#include <gtest/gtest.h>

#include "context/records.h"
#include "support/fake_host.h"

using namespace DuVavaZid;

namespace {

TEST(GcpObjectRecord, TagsFallBackToIds) {
    GcpObject o;
    std::string tag = "stale";
    getGcpDevTagFromNameOrId(&o, tag);
    EXPECT_EQ(tag, "");
    o.GCPDeviceId = "8812";
    getGcpDevTagFromNameOrId(&o, tag);
    EXPECT_EQ(tag, "8812");
    o.GCPDeviceName = "data-disk-1";
    getGcpDevTagFromNameOrId(&o, tag);
    EXPECT_EQ(tag, "data-disk-1");

    o.SnapResourceId = "991";
    getSnapTagFromUuidOrId(&o, tag);
    EXPECT_EQ(tag, "991");
    o.SnapUuid = "snap-a";
    getSnapTagFromUuidOrId(&o, tag);
    EXPECT_EQ(tag, "snap-a");
}

TEST(GcpObjectRecord, SnapNameComesFromTheHost) {
    bxtest::FakeSnapInfo record(5);
    record.snapName = "bx-5-job-1";
    GcpObject o(&record);
    EXPECT_NE(getSnapUUID(&o), 0);
    EXPECT_EQ(o.SnapUuid, "bx-5-job-1");
    record.snapNameOk = false;
    EXPECT_EQ(getSnapUUID(&o), 0);
}

TEST(GcpObjectRecord, DumpListsEveryFieldInOrder) {
    GcpObject o;
    o.HostSrcDev = "/dev/sdb";
    o.GCPDeviceName = "d1";
    o.RegionalDisk = true;
    o.CloneDevStatus = 3;
    o.cloneOptions.DestinationReplicaZones = {"us-east1-b", "us-east1-c"};
    o.Flags = 18;
    o.DiskReplicaZones = {"z1"};
    std::string out;
    o.dump(out, true);
    EXPECT_EQ(out,
              "Dump of Internal Object: HostSrcDev [/dev/sdb] GCPDeviceName [d1] GCPDeviceId [] "
              "GCPDeviceType [] GCPDeviceZone [] GCPDeviceRegion [] RegionalDisk [true] "
              "MarkedForDeletion [true] GCPDeviceTag [] SnapUuid [] SnapResourceId [] SnapTag [] "
              "CloneSourceLink [] CloneName [] CloneTag [] CloneDevStatus [3] "
              "DestinationReplicaZones [us-east1-b,us-east1-c] ServiceAccount [] Flags [18] "
              "IsHPXDevice [false] ConnType [] MapStatus [0] SafePointSnapName [] GcpOSDevName [] "
              "DiskReplicaZones [z1]");
    std::string bare;
    o.dump(bare, false);
    EXPECT_EQ(bare, out.substr(std::string("Dump of Internal Object: ").size()));
}

TEST(GcpObjectRecord, ResetRestoresInitialValues) {
    bxtest::FakeSnapInfo record;
    GcpObject o(&record);
    o.MarkedForDeletion = false;
    o.Flags = 18;
    o.DiskLabels.set("a", std::string("b"));
    o.interimCloneInfo.interimSnapId = "1";
    o.reset();
    EXPECT_EQ(o.snapInfo, nullptr);
    EXPECT_TRUE(o.MarkedForDeletion);
    EXPECT_EQ(o.Flags, 0);
    EXPECT_TRUE(o.DiskLabels.empty());
    EXPECT_TRUE(o.interimCloneInfo.interimSnapId.empty());
}

TEST(OperationRecord, EntityTypeNames) {
    GcpReqOpInfo op;
    const std::pair<int, const char*> cases[] = {
        {0, "none"}, {1, "Gcp device"}, {2, "snapshot"}, {3, "clone"}, {4, "none"}};
    for (const auto& c : cases) {
        op.entityType = static_cast<uint8_t>(c.first);
        EXPECT_STREQ(op.getEntityTypeStr(), c.second);
    }
}

TEST(OperationRecord, ResetKeepsTargetAndFailureDetails) {
    GcpReqOpInfo op;
    EXPECT_EQ(op.sleepUnitMs, 1000);
    op.targetLink = "https://x/disks/d1";
    op.httpErrorStatusCode = "400";
    op.httpErrorMessage = "BAD REQUEST";
    op.status = "DONE";
    op.sleepUnitMs = 300;
    op.maxAttempts = 5;
    op.reset();
    EXPECT_EQ(op.targetLink, "https://x/disks/d1");
    EXPECT_EQ(op.httpErrorStatusCode, "400");
    EXPECT_EQ(op.httpErrorMessage, "BAD REQUEST");
    EXPECT_EQ(op.status, "");
    EXPECT_EQ(op.sleepUnitMs, 1000);
    EXPECT_EQ(op.maxAttempts, 0);
}

TEST(OperationRecord, Dump) {
    GcpReqOpInfo op;
    op.name = "operation-1";
    op.status = "RUNNING";
    op.progress = 40;
    op.entityType = GCP_ENTITY_SNAPSHOT;
    op.entityName = "s1";
    op.maxAttempts = 3;
    std::string out;
    op.dump(out);
    EXPECT_EQ(out,
              "id [] name [operation-1] operationType [] targetId [] status [RUNNING] progress "
              "[40] startTime [] endTime [] selfLink [] targetLink [] snapshot [s1] maxAttempts "
              "[3] sleepInterval [0] currentAttempt [0]");
}

TEST(ArrayRecord, DefaultsAfterReset) {
    ArrayDetails d;
    d.arrayConfigs.ThreadCount = 2;
    d.UserPswd = "x";
    d.reset();
    EXPECT_EQ(d.arrayConfigs.RetryMaxCount, 10);
    EXPECT_EQ(d.arrayConfigs.RetrySleepInterval, 60);
    EXPECT_EQ(d.arrayConfigs.RestApiLogging, 1);
    EXPECT_TRUE(d.arrayConfigs.CreateSafepointSnapBeforeRevert);
    EXPECT_EQ(d.arrayConfigs.ThreadCount, 8);
    EXPECT_TRUE(d.UserPswd.empty());
    ArrayConfigs c = d.arrayConfigs;
    c.reset();
    EXPECT_EQ(c.ThreadCount, 0);
    EXPECT_FALSE(c.CreateSafepointSnapBeforeRevert);
}

TEST(JsonModel, TypedReadsNeverThrow) {
    jsonxx::Object o;
    EXPECT_TRUE(o.parse(R"({"s":"x","b":true,"n":12.5,"o":{"k":1},"a":[1,"two"],"z":null})"));
    EXPECT_TRUE(o.has<jsonxx::String>("s"));
    EXPECT_FALSE(o.has<jsonxx::Number>("s"));
    EXPECT_TRUE(o.has<jsonxx::Boolean>("b"));
    EXPECT_TRUE(o.has<jsonxx::Number>("n"));
    EXPECT_TRUE(o.has<jsonxx::Object>("o"));
    EXPECT_TRUE(o.has<jsonxx::Array>("a"));
    EXPECT_TRUE(o.has<jsonxx::Null>("z"));
    EXPECT_EQ(o.get<jsonxx::String>("n"), "");
    EXPECT_EQ(o.get<jsonxx::Array>("a").get<jsonxx::String>(1), "two");
    EXPECT_EQ(o.get<jsonxx::Array>("a").get<jsonxx::String>(0), "");
    EXPECT_EQ(o.get<jsonxx::Object>("o").size(), 1u);

    EXPECT_FALSE(o.parse("[1,2]"));
    EXPECT_TRUE(o.empty());
    EXPECT_FALSE(o.parse("{\"unterminated\": "));
    EXPECT_EQ(o.json(), "{}");

    jsonxx::Object labels;
    labels.set("env", std::string("prod"));
    labels.set("bad", std::string("\xff\xfe"));
    EXPECT_NE(labels.json().find("\"env\":\"prod\""), std::string::npos);
}

}  // namespace
