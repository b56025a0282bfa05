// Revert of a regional disk attached under a device name of its own: the
// safe-point, the deletion and the new disk all go through the disk's region,
// and the new disk keeps its replica zones, labels, encryption key, snapshot
// schedule and description.
#include "support/snapped_disks.h"

namespace {

const char* const kScenario = R"JSON({
  "projects": [{"id": "demo-project", "number": "123456789012",
    "regions": [{"name": "us-central1", "zones": ["us-central1-a", "us-central1-b", "us-central1-c"]}]}],
  "serviceAccounts": [{"email": "123456789012-compute@developer.gserviceaccount.com",
                       "projects": ["demo-project"], "generateKey": false}],
  "disks": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-boot", "sizeGb": 20},
    {"project": "demo-project", "region": "us-central1", "name": "regional-disk-1", "sizeGb": 10,
     "type": "pd-balanced", "replicaZones": ["us-central1-a", "us-central1-b"],
     "labels": {"app": "ledger"}, "description": "Ledger volume",
     "resourcePolicies": ["projects/demo-project/regions/us-central1/resourcePolicies/daily"],
     "kmsKeyName": "projects/demo-project/locations/us-central1/keyRings/r/cryptoKeys/ledger"}
  ],
  "instances": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1", "thisVm": true,
     "serviceAccount": "123456789012-compute@developer.gserviceaccount.com",
     "disks": [{"disk": "mover-boot", "deviceName": "persistent-disk-0", "boot": true},
               {"disk": "projects/demo-project/regions/us-central1/disks/regional-disk-1",
                "deviceName": "regional-dev"}]}
  ]
})JSON";

const char* const kRegionalDisk = "projects/demo-project/regions/us-central1/disks/regional-disk-1";

using RevertRegionalTest = bxtest::SnappedDisks;

TEST_F(RevertRegionalTest, RegionalDiskIsReplacedInItsRegion) {
    gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
    options.scenarioJson = kScenario;
    ASSERT_NO_FATAL_FAILURE(startEmulator(options));
    records = bxtest::EmulatorEnv::fleetRecords(1, "bk-regional-", 0, 3);  // on /dev/sdb
    auto& r = rec(0);
    r.intProperties[13] = 77;
    r.hostInfoText = "ab12";
    ASSERT_NO_FATAL_FAILURE(snapAll(true));
    jsonxx::Object before = env->resource(kRegionalDisk);

    ASSERT_EQ(run(bxso_revertSnaps), 0) << r.errorText;
    EXPECT_EQ(r.status, BXSO::SNAP_REVERT_SUCCESS);
    jsonxx::Object after = env->resource(kRegionalDisk);
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after.get<jsonxx::String>("id"), before.get<jsonxx::String>("id"));
    EXPECT_NE(after.get<jsonxx::String>("sourceSnapshot").find("/global/snapshots/bk-regional-1"),
              std::string::npos);
    EXPECT_EQ(after.get<jsonxx::Array>("replicaZones").size(), 2u);
    EXPECT_EQ(after.get<jsonxx::Object>("labels").get<jsonxx::String>("app"), "ledger");
    // Still encrypted with the customer's key (GCP names the key version it used).
    EXPECT_EQ(after.get<jsonxx::Object>("diskEncryptionKey")
                  .get<jsonxx::String>("kmsKeyName")
                  .rfind("projects/demo-project/locations/us-central1/keyRings/r/cryptoKeys/ledger/"
                         "cryptoKeyVersions/",
                         0),
              0u);
    EXPECT_EQ(after.get<jsonxx::String>("description"), "Ledger volume");
    ASSERT_EQ(after.get<jsonxx::Array>("resourcePolicies").size(), 1u);
    EXPECT_EQ(after.get<jsonxx::Array>("resourcePolicies").get<jsonxx::String>(0),
              before.get<jsonxx::Array>("resourcePolicies").get<jsonxx::String>(0));
    EXPECT_EQ(r.revertDevice.rfind("/dev/sd", 0), 0u) << r.revertDevice;

    // Attached again under its own device name.
    EXPECT_NE(
        env->attachedSource("regional-dev").find("/regions/us-central1/disks/regional-disk-1"),
        std::string::npos);

    // Every request about the disk named its region, and the new disk's body
    // carried the region, both replica zones and a regional type.
    size_t inserts = 0;
    for (const auto& e : env->emu().journal()) {
        if (e.path.find("/disks/regional-disk-1") != std::string::npos) {
            EXPECT_NE(e.path.find("/regions/us-central1/"), std::string::npos) << e.path;
        }
        if (e.method == "POST" && e.path.find("/regions/us-central1/disks") != std::string::npos &&
            e.path.find("createSnapshot") == std::string::npos) {
            ++inserts;
            jsonxx::Object body;
            ASSERT_TRUE(body.parse(e.body)) << e.body;
            EXPECT_NE(body.get<jsonxx::String>("region").find("us-central1"), std::string::npos);
            EXPECT_EQ(body.get<jsonxx::Array>("replicaZones").size(), 2u) << e.body;
            EXPECT_NE(body.get<jsonxx::String>("type").find("/regions/us-central1/diskTypes/"),
                      std::string::npos)
                << e.body;
        }
    }
    EXPECT_EQ(inserts, 1u);
    EXPECT_EQ(env->requestsMatching("POST",
                                    "/regions/us-central1/disks/regional-disk-1/"
                                    "createSnapshot"),
              1u);  // the safe-point
}

}  // namespace
