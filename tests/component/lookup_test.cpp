// Finding source disks, attachments and snapshots against the emulator.
#include <gtest/gtest.h>

#include <regex>

#include "support/snapped_disks.h"

using namespace DuVavaZid;

namespace {

// The data mover has one disk attached under a device name of its own and a
// regional disk; data-disk-3 is attached to another instance only.
const char* kScenario = R"JSON({
  "projects": [
    {"id": "demo-project", "number": "123456789012",
     "regions": [{"name": "us-central1", "zones": ["us-central1-a", "us-central1-b", "us-central1-c"]}]},
    {"id": "other-project", "number": "210987654321",
     "regions": [{"name": "us-central1", "zones": ["us-central1-a", "us-central1-b"]}]}
  ],
  "serviceAccounts": [
    {"email": "123456789012-compute@developer.gserviceaccount.com",
     "projects": ["demo-project", "other-project"], "generateKey": false}
  ],
  "disks": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-boot", "sizeGb": 20},
    {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-1", "sizeGb": 10,
     "type": "pd-ssd", "labels": {"app": "db"}},
    {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-3", "sizeGb": 30},
    {"project": "demo-project", "region": "us-central1", "name": "regional-disk-1", "sizeGb": 10,
     "type": "pd-balanced", "replicaZones": ["us-central1-a", "us-central1-b"]},
    {"project": "other-project", "zone": "us-central1-a", "name": "app-data-1", "sizeGb": 10,
     "type": "pd-ssd", "labels": {"app": "web"}},
    {"project": "other-project", "region": "us-central1", "name": "app-regional", "sizeGb": 10,
     "replicaZones": ["us-central1-a", "us-central1-b"]}
  ],
  "instances": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1", "thisVm": true,
     "serviceAccount": "123456789012-compute@developer.gserviceaccount.com",
     "disks": [{"disk": "mover-boot", "deviceName": "persistent-disk-0", "boot": true},
               {"disk": "data-disk-1", "deviceName": "persistent-disk-1"},
               {"disk": "projects/demo-project/regions/us-central1/disks/regional-disk-1",
                "deviceName": "regional-dev"}]},
    {"project": "demo-project", "zone": "us-central1-a", "name": "other-vm",
     "disks": [{"disk": "data-disk-3", "deviceName": "data-disk-3"}]}
  ]
})JSON";

class LookupTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = kScenario;
        ASSERT_NO_FATAL_FAILURE(startEmulator(options));
        records = std::make_unique<bxtest::RecordSet>(2);
        rec(0).arrayNumber = rec(1).arrayNumber = 0;
        ASSERT_NO_FATAL_FAILURE(connect(GCP_OP_PREPARE, true));
    }
};

TEST_F(LookupTest, LocalDeviceAttachedUnderAnotherNameResolvesToItsDisk) {
    GcpObject* o = object(0);
    o->GCPDeviceName = "persistent-disk-1";
    ASSERT_EQ(utils->getGcpDeviceDetails(o, ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(o->GCPDeviceName, "data-disk-1");
    EXPECT_EQ(o->GCPDeviceId,
              env->idOf("projects/demo-project/zones/us-central1-a/disks/data-disk-1"));
    EXPECT_EQ(o->GCPDeviceType, "pd-ssd");
    EXPECT_EQ(o->GCPDeviceZone, "us-central1-a");
    EXPECT_FALSE(o->RegionalDisk);
    EXPECT_EQ(o->ProjectId, "demo-project");
    EXPECT_EQ(o->InstanceId, ctx->instanceId);
    EXPECT_EQ(o->DiskLabels.json(), "{\"app\":\"db\"}");
    EXPECT_EQ(env->requestsMatching("GET", "/instances/mover-1"), 1u);
}

TEST_F(LookupTest, RegionalAttachmentIsReadUnderItsRegion) {
    GcpObject* o = object(0);
    o->GCPDeviceName = "regional-dev";
    ASSERT_EQ(utils->getGcpDeviceDetails(o, ctx.get()), 0) << ctx->errText();
    EXPECT_TRUE(o->RegionalDisk);
    EXPECT_EQ(o->GCPDeviceRegion, "us-central1");
    EXPECT_EQ(o->GCPDeviceName, "regional-disk-1");
    EXPECT_EQ(env->requestsMatching("GET", "/regions/us-central1/disks/regional-disk-1"), 1u);
}

TEST_F(LookupTest, UnmatchedDeviceNameIsReadAsADiskName) {
    GcpObject* o = object(0);
    o->GCPDeviceName = "data-disk-3";
    ASSERT_EQ(utils->getGcpDeviceDetails(o, ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(o->GCPDeviceName, "data-disk-3");
    EXPECT_EQ(env->requestsMatching("GET", "/zones/us-central1-a/disks/data-disk-3"), 1u);
    // The disk read under that name must be the disk of that name.
    gce::FaultSpec fault = bxtest::httpFault("GET", "*/disks/data-disk-3", 200);
    fault.body = env->disk("data-disk-1").json();
    env->emu().injectFault(fault);
    EXPECT_EQ(utils->getGcpDeviceDetails(o, ctx.get()), 15);
    EXPECT_EQ(ctx->errText(),
              "Failed to get details for GCP device by name [data-disk-3] in array [gcp-array] - "
              "wrong GCP device name [data-disk-1] returned - expected value [data-disk-3]");
}

TEST_F(LookupTest, MissingDiskSurfacesGcpMessageOnTheRecord) {
    GcpObject* o = object(0);
    o->GCPDeviceName = "no-such-disk";
    EXPECT_EQ(utils->getGcpDeviceDetails(o, ctx.get()), 15);
    EXPECT_EQ(ctx->errText().rfind("Failed to get details of GCP device [no-such-disk]. REST error "
                                   "returned by GCP [The resource ",
                                   0),
              0u)
        << ctx->errText();
    EXPECT_EQ(rec(0).errorCode, 62008);
}

TEST_F(LookupTest, ByIdZonalThenRegional) {
    GcpObject* zonal = object(0);
    zonal->ProjectId = "other-project";
    zonal->GCPDeviceId = env->idOf("projects/other-project/zones/us-central1-a/disks/app-data-1");
    zonal->GCPDeviceZone = "us-central1-a";
    ASSERT_EQ(utils->getGcpDeviceDetailsUsingGcpDevNameOrId(zonal, ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(zonal->GCPDeviceName, "app-data-1");
    EXPECT_EQ(zonal->GCPDeviceTag, "app-data-1");
    EXPECT_FALSE(zonal->RegionalDisk);

    GcpObject* regional = object(1);
    regional->ProjectId = "other-project";
    regional->GCPDeviceId =
        env->idOf("projects/other-project/regions/us-central1/disks/app-regional");
    regional->GCPDeviceZone = "us-central1-a";
    regional->GCPDeviceRegion = "us-central1";
    rec(1).errorCode = 5;
    rec(1).errorText = "stale";
    ASSERT_EQ(utils->getGcpDeviceDetailsUsingGcpDevNameOrId(regional, ctx.get()), 0)
        << ctx->errText();
    EXPECT_TRUE(regional->RegionalDisk);
    EXPECT_EQ(regional->GCPDeviceName, "app-regional");
    EXPECT_EQ(regional->DiskReplicaZones,
              (std::vector<std::string>{"us-central1-a", "us-central1-b"}));
    EXPECT_EQ(ctx->zoneUrlMap.count("us-central1-b"), 1u);
    EXPECT_EQ(rec(1).errorCode, 0);  // the zonal 404 left nothing behind
    EXPECT_EQ(rec(1).errorText, "");
    EXPECT_EQ(ctx->session().ErrCode, 0);
}

TEST_F(LookupTest, SourceLookupSwallowsMissingDisksAndAsksOncePerId) {
    std::string id = env->idOf("projects/other-project/zones/us-central1-a/disks/app-data-1");
    for (size_t i = 0; i < 2; ++i) {
        object(i)->ProjectId = "other-project";
        object(i)->GCPDeviceId = id;
        object(i)->GCPDeviceZone = "us-central1-a";
    }
    ASSERT_EQ(utils->getSourceGcpDeviceDetails(), 0);
    EXPECT_EQ(env->requestsMatching("GET", "/disks/"), 1u);
    EXPECT_EQ(object(1)->GCPDeviceName, "app-data-1");

    object(0)->GCPDeviceId = "999999";
    object(0)->GCPDeviceName.clear();
    object(1)->GCPDeviceZone.clear();
    object(1)->GCPDeviceRegion.clear();
    object(1)->GCPDeviceId = "888888";
    EXPECT_EQ(utils->getSourceGcpDeviceDetails(), 0);
    EXPECT_EQ(object(0)->Flags, 18);
    EXPECT_EQ(object(1)->Flags, 0);  // 17: no location at all, not a missing disk
    EXPECT_EQ(ctx->session().ErrCode, 0);
}

TEST_F(LookupTest, ZoneUrlsAreAskedOnce) {
    object(0)->ProjectId = "demo-project";
    object(1)->ProjectId = "demo-project";
    object(0)->cloneOptions.DestinationReplicaZones = {"us-central1-a", "us-central1-b"};
    object(1)->cloneOptions.DestinationReplicaZones = {"us-central1-b"};
    ctx->zoneUrlMap["us-central1-a"] = "known";
    ASSERT_EQ(utils->getReplicaZoneURLs(), 0) << ctx->errText();
    EXPECT_EQ(env->requestsMatching("GET", "/zones/us-central1-b"), 1u);
    EXPECT_EQ(env->requestsMatching("GET", "/zones/us-central1-a"), 0u);
    EXPECT_NE(ctx->zoneUrlMap["us-central1-b"].find("/projects/demo-project/zones/us-central1-b"),
              std::string::npos);
}

TEST_F(LookupTest, AttachedDeviceNames) {
    object(0)->GCPDeviceName = "data-disk-1";
    object(1)->GCPDeviceName = "data-disk-3";
    object(1)->GcpOSDevName = "kept";
    ASSERT_EQ(utils->rest_getAttachedGcpDeviceDetails(ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(object(0)->GcpOSDevName, "persistent-disk-1");
    EXPECT_EQ(object(1)->GcpOSDevName, "kept");
}

TEST_F(LookupTest, SnapshotLookups) {
    const std::string disk1 = "demo-project/zones/us-central1-a/disks/data-disk-1";
    ASSERT_TRUE(postSnapshot(disk1, "snap-a"));
    ASSERT_TRUE(postSnapshot("demo-project/regions/us-central1/disks/regional-disk-1", "snap-r"));
    GcpObject* o = object(0);
    o->ProjectId = "demo-project";
    o->SnapUuid = "snap-a";
    ASSERT_EQ(utils->rest_getSnapResourceIdBySnapUuid(o, ctx.get()), 0) << ctx->errText();
    EXPECT_FALSE(o->SnapResourceId.empty());

    // A known id is what the lookup asks for; the answer must still carry the name.
    env->emu().clearJournal();
    o->GCPDeviceName.clear();
    o->GCPDeviceZone.clear();
    ASSERT_EQ(utils->rest_getSnapDetailsByResIdOrUuid(o, ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/" + o->SnapResourceId), 1u);
    EXPECT_EQ(o->GCPDeviceName, "data-disk-1");
    EXPECT_EQ(o->GCPDeviceZone, "us-central1-a");
    EXPECT_NE(o->SourceDiskUrl.find("/zones/us-central1-a/disks/data-disk-1"), std::string::npos);

    GcpObject* r = object(1);
    r->ProjectId = "demo-project";
    r->SnapUuid = "snap-r";
    ASSERT_EQ(utils->rest_getSnapDetailsByResIdOrUuid(r, ctx.get()), 0) << ctx->errText();
    EXPECT_EQ(r->GCPDeviceRegion, "us-central1");
    EXPECT_TRUE(r->GCPDeviceZone.empty());

    std::string id;
    ASSERT_EQ(utils->rest_getSnapResourceIdByName("snap-r", r, ctx.get(), id), 0);
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(utils->rest_getSnapResourceIdByName("nope", r, ctx.get(), id), 15);
    EXPECT_TRUE(id.empty());

    // A disk name that does not match the snapshot's source is refused.
    r->GCPDeviceName = "data-disk-1";
    EXPECT_EQ(utils->rest_getSnapDetailsByResIdOrUuid(r, ctx.get()), 15);
}

TEST_F(LookupTest, SnapshotChecksAndMissingSnapshots) {
    ASSERT_TRUE(postSnapshot("demo-project/zones/us-central1-a/disks/data-disk-1", "snap-b"));
    GcpObject* o = object(0);
    o->ProjectId = "demo-project";
    o->SnapUuid = "snap-b";
    o->SnapResourceId = "12345";  // not this snapshot's id
    EXPECT_EQ(utils->rest_getSnapDetailsByResIdOrUuid(o, ctx.get()), 18);

    o->SnapResourceId.clear();
    gce::FaultSpec fault = bxtest::httpFault("GET", "*/global/snapshots/snap-b", 200);
    fault.body = R"({"name":"snap-b","id":"1","status":"READY","sourceDisk":"x/zones/z/disks/d"})";
    env->emu().injectFault(fault);
    EXPECT_EQ(utils->rest_getSnapDetailsByResIdOrUuid(o, ctx.get()), 14);
    EXPECT_NE(ctx->errText().find("\"sourceDiskId\" tag not found in REST response."),
              std::string::npos);

    // Three snapshots, the second missing: the third is never asked for.
    utils.reset();
    ctx.reset();  // before the records it points to
    records = std::make_unique<bxtest::RecordSet>(3);
    for (size_t i = 0; i < 3; ++i) {
        bxtest::storePreparedMetadata(rec(i), "1", "data-disk-1");
        rec(i).snapName = i == 1 ? "missing-snap" : "snap-b";
    }
    ASSERT_NO_FATAL_FAILURE(connect(GCP_OP_POST_SNAP));
    EXPECT_EQ(utils->getSnapDetails(), 18);
    EXPECT_EQ(env->requestsMatching("GET", "/global/snapshots/"), 2u);
}

// An answer that lacks what the lookup needs fails it with code 14 and a
// sentence, instead of going on with whatever code the context held.
TEST_F(LookupTest, AnswerWithoutItsListsFailsTheLookup) {
    const std::string regionalPath =
        "projects/other-project/regions/us-central1/disks/app-regional";
    std::string regionalWithoutZones =
        std::regex_replace(env->emu().resourceJson(regionalPath),
                           std::regex(R"("replicaZones"\s*:\s*\[[^\]]*\]\s*,?)"), "");
    ASSERT_EQ(regionalWithoutZones.find("replicaZones"), std::string::npos);
    struct Case {
        const char* path;
        std::string body;
        const char* sentence;
    };
    const Case cases[] = {
        {"*/instances/mover-1", R"({"kind":"compute#instance","name":"mover-1","id":"42"})",
         "Failed to get details for GCP device by instance [mover-1] in array [gcp-array] - "
         "Disks entity in response is empty"},
        {"*/regions/us-central1/disks/*", regionalWithoutZones,
         "replicaZones entity in response is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        env->emu().clearFaults();
        gce::FaultSpec fault = bxtest::httpFault("GET", c.path, 200, -1);
        fault.body = c.body;
        env->emu().injectFault(fault);
        GcpObject* o = object(0);
        int rc = 0;
        if (std::string(c.path).find("instances") != std::string::npos) {
            o->GCPDeviceName = "persistent-disk-1";
            rc = utils->getGcpDeviceDetails(o, ctx.get());
        } else {
            o->ProjectId = "other-project";
            o->GCPDeviceId = env->idOf(regionalPath);
            o->GCPDeviceZone = "us-central1-a";
            o->GCPDeviceRegion = "us-central1";
            rc = utils->getGcpDeviceDetailsUsingGcpDevNameOrId(o, ctx.get());
        }
        EXPECT_EQ(rc, 14);
        EXPECT_NE(ctx->errText().find(c.sentence), std::string::npos) << ctx->errText();
        ctx->resetError();
    }
}

}  // namespace
