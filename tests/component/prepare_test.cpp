// Prepare through the exported entry point: local devices recognised by SCSI
// INQUIRY and resolved to their disks, disks of other VMs found by id zonal
// then regional, and the identity every later call rebuilds from stored on
// each record.
#include "support/snapped_disks.h"

namespace {

const std::string kDefaultAccount = "123456789012-compute@developer.gserviceaccount.com";
const std::string kBackupAccount = "backup-sa@demo-project.iam.gserviceaccount.com";

class PrepareTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startEmulator()); }

    std::string diskId(const std::string& name) { return disk(name).get<jsonxx::String>("id"); }

    // Records for disks of another VM, reached with the backup account's key.
    void useHpx(bxtest::RecordSet& records, const std::vector<std::string>& diskIds) {
        std::string vm = env->idOf("projects/demo-project/zones/us-central1-a/instances/mover-1");
        for (size_t i = 0; i < diskIds.size(); ++i) {
            asHpx(records[i], "demo-project", diskIds[i], vm, kBackupAccount);
        }
    }
};

TEST_F(PrepareTest, LocalDisksGetTheirIdentityStored) {
    // /dev/sdb and /dev/sdc, in the array of the VM's own account.
    records = bxtest::EmulatorEnv::fleetRecords(2, "p-", 0, 3);
    ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    std::string vm = env->idOf("projects/demo-project/zones/us-central1-a/instances/mover-1");

    struct Expected {
        const char* disk;
        const char* type;
        const char* labels;
    };
    const Expected expected[] = {{"data-disk-1", "pd-ssd", R"({"app":"db","tier":"data"})"},
                                 {"data-disk-2", "pd-balanced", "{}"}};
    for (size_t i = 0; i < 2; ++i) {
        auto& r = rec(i);
        const Expected& e = expected[i];
        SCOPED_TRACE(e.disk);
        EXPECT_EQ(r.status, BXSO::SNAP_PREPARE_SUCCESS);
        EXPECT_EQ(r.metadata[6], diskId(e.disk) + "|demo-project|" + vm + "||");
        EXPECT_EQ(r.metadata[154], "us-central1-a||");
        EXPECT_EQ(r.metadata[156], std::string(e.type) + "|");
        EXPECT_EQ(r.metadata[157], kDefaultAccount + "|");
        EXPECT_EQ(r.transientMetadata[102], std::string(e.disk) + "|");
        jsonxx::Object stored, want;
        ASSERT_TRUE(stored.parse(r.metadata[167])) << r.metadata[167];
        want.parse(e.labels);
        EXPECT_EQ(stored.json(), want.json());
    }
}

TEST_F(PrepareTest, NonGoogleDeviceFailsThePrepare) {
    records = bxtest::EmulatorEnv::fleetRecords(2, "p-", 0, 3);
    rec(1).sourceDevice = "/dev/sde";  // a QEMU disk
    EXPECT_EQ(run(bxso_prepareDevices), 1);
    EXPECT_NE(rec(0).errorCode, 0);
    EXPECT_NE(rec(0).errorText.find("[/dev/sde] is not matching for Google GCP"), std::string::npos)
        << rec(0).errorText;
    EXPECT_NE(rec(1).status, BXSO::SNAP_PREPARE_SUCCESS);
}

TEST_F(PrepareTest, HpxDisksAreFoundByIdZonalThenRegional) {
    bxtest::RecordSet records(2);
    std::string regionalId =
        env->idOf("projects/demo-project/regions/us-central1/disks/regional-disk-1");
    ASSERT_FALSE(regionalId.empty());
    useHpx(records, {diskId("data-disk-3"), regionalId});
    ASSERT_EQ(bxso_prepareDevices(records.data(), 2, &util), 0) << records[0].errorText;

    EXPECT_EQ(records[0].status, BXSO::SNAP_PREPARE_SUCCESS);
    EXPECT_EQ(records[0].transientMetadata[102], "data-disk-3|");
    EXPECT_EQ(records[0].metadata[156], "pd-standard|");
    // Not in the zone: the zonal 404 is not the record's error; the region decides.
    EXPECT_EQ(records[1].status, BXSO::SNAP_PREPARE_SUCCESS);
    EXPECT_EQ(records[1].errorCode, 0) << records[1].errorText;
    EXPECT_EQ(records[1].transientMetadata[102], "regional-disk-1|");
    EXPECT_EQ(records[1].metadata[6].rfind(regionalId + "|demo-project|", 0), 0u)
        << records[1].metadata[6];
    EXPECT_EQ(env->requestsMatching("GET", "/zones/us-central1-a/disks/" + regionalId), 1u);
    EXPECT_EQ(env->requestsMatching("GET", "/regions/us-central1/disks/" + regionalId), 1u);
    // The account is the array's, not the VM's.
    EXPECT_EQ(records[0].metadata[157], kBackupAccount + "|");
}

// A disk in neither the zone nor the region fails with GCP's message; given
// with a zone only, with the lookup's own sentence (the 404 was cleared for a
// region that was never tried). Nothing is stored for it.
TEST_F(PrepareTest, HpxDiskThatIsNotThereFailsAndSaysWhy) {
    struct Case {
        const char* location;
        const char* text;
    };
    const Case cases[] = {
        {"us-central1-a|us-central1|", "was not found"},
        {"us-central1-a||",
         "Failed to get details of GCP device by id [4242424242] and zone [us-central1-a]."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        bxtest::RecordSet records(1);
        useHpx(records, {"4242424242"});
        records[0].metadata[154] = c.location;
        EXPECT_EQ(bxso_prepareDevices(records.data(), 1, &util), 1);
        EXPECT_NE(records[0].status, BXSO::SNAP_PREPARE_SUCCESS);
        EXPECT_EQ(records[0].errorCode, 62008);
        EXPECT_NE(records[0].errorText.find(c.text), std::string::npos) << records[0].errorText;
        EXPECT_TRUE(records[0].metadata.count(6) == 0 || records[0].metadata[6].empty());
    }
}

}  // namespace
