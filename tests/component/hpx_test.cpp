// Disks of another VM ("HPX"): backup with the array's service-account key,
// application-consistent snapshots with their fallback, and restores into
// another project through interim objects, all through the exported entry
// points against the emulator.
#include <algorithm>

#include "support/snapped_disks.h"

namespace {

const std::string kBackupAccount = "backup-sa@demo-project.iam.gserviceaccount.com";
const std::string kLimitedAccount = "limited-sa@demo-project.iam.gserviceaccount.com";
const std::string kRestoreAccount = "restore-sa@restore-project.iam.gserviceaccount.com";
const std::string kKmsKey = "projects/keys/locations/us-central1/keyRings/ring/cryptoKeys/k1";
constexpr int kInterimMetadata = 163;

// A third project to restore into, reachable by an account of its own that
// can also read the source project.
const char* const kRestoreScenario = R"({
  "projects": [{"id": "restore-project", "number": "333333333333",
                "regions": [{"name": "us-central1",
                             "zones": ["us-central1-a", "us-central1-b", "us-central1-c"]}]}],
  "serviceAccounts": [{"email": "restore-sa@restore-project.iam.gserviceaccount.com",
                       "projects": ["restore-project", "other-project"]}]
})";

class HpxTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        util.lister = nullptr;  // the disks are another VM's
        std::string error;
        ASSERT_TRUE(env->emu().seed(kRestoreScenario, &error)) << error;
        util.jobId = 5150;
        std::string vm = env->idOf("projects/other-project/zones/us-central1-a/instances/app-vm");
        records = std::make_unique<bxtest::RecordSet>(2);
        const char* disks[] = {"app-data-1", "app-data-2"};
        for (size_t i = 0; i < 2; ++i) {
            auto& r = rec(i);
            asHpx(r, "other-project",
                  env->disk(disks[i], "us-central1-a", "other-project").get<jsonxx::String>("id"),
                  vm, kBackupAccount);
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 5;
            r.snapName = std::string("hpx-") + disks[i];
            r.cloneNumber = 7;
            r.flagsSet[0x8000] = true;
        }
    }

    void backUp(bool guestFlush = false) {
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
        for (size_t i = 0; i < records->size(); ++i) {
            rec(i).haveOperationProperties = true;
            rec(i).operationProperties["EnableGuestFlush"] = guestFlush ? "true" : "false";
        }
        ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
        ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    }

    // Restore options: into restore-project as a regional disk over two zones,
    // encrypted with a destination key, by the destination's own account.
    void restoreInto(const std::string& project, const std::string& account) {
        for (size_t i = 0; i < records->size(); ++i) {
            auto& r = rec(i);
            r.operationProperties = {{"destination-project-id", project},
                                     {"destination-zone", "us-central1-a"},
                                     {"destination-region", "us-central1"},
                                     {"destination-user", account},
                                     {"destination-pwd", "*enc:" + env->pemOf(account)}};
            r.haveCloneOptions = true;
            r.cloneOptions = {{"destination-replica-zones", "us-central1-a,us-central1-b"},
                              {"destination-encryption-key", kKmsKey}};
        }
    }

    size_t posts(const std::string& pathPart) { return env->requestsMatching("POST", pathPart); }
};

TEST_F(HpxTest, RestoreIntoAnotherProjectWithAKeyGoesThroughInterimObjects) {
    backUp();
    std::vector<std::string> sourceDisks = env->names("disks", "other-project");
    restoreInto("restore-project", kRestoreAccount);
    env->emu().clearJournal();

    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    const char* disks[] = {"app-data-1", "app-data-2"};
    for (size_t i = 0; i < 2; ++i) {
        auto& r = rec(i);
        std::string clone = std::string("bxclone-") + disks[i] + "-7";
        jsonxx::Object disk =
            env->resource("projects/restore-project/regions/us-central1/disks/" + clone);
        ASSERT_FALSE(disk.empty()) << clone;
        EXPECT_EQ(r.status, BXSO::SNAP_MAP_SUCCESS);
        EXPECT_EQ(r.snapDevice, clone + "|" + disk.get<jsonxx::String>("id") + "|" +
                                    disk.get<jsonxx::String>("selfLink"));
        // Made from the interim snapshot, which is gone again, as is the interim disk.
        std::string interimSnap = r.snapName + "-7-interim";
        EXPECT_NE(
            disk.get<jsonxx::String>("sourceSnapshot").find("/global/snapshots/" + interimSnap),
            std::string::npos);
        // GCP names the key version it used.
        EXPECT_EQ(disk.get<jsonxx::Object>("diskEncryptionKey")
                      .get<jsonxx::String>("kmsKeyName")
                      .rfind(kKmsKey + "/cryptoKeyVersions/", 0),
                  0u);
        EXPECT_EQ(disk.get<jsonxx::Array>("replicaZones").size(), 2u);
        EXPECT_TRUE(
            env->resource("projects/other-project/global/snapshots/" + interimSnap).empty());
        // Its readiness was read from the snapshot, not from the disk it was taken of.
        EXPECT_TRUE(log.contains("GCP Fetching resource status succeeded, snapshot [" +
                                 interimSnap + "] is ready"))
            << interimSnap;
        EXPECT_GE(env->requestsMatching("GET", "/other-project/global/snapshots/" + interimSnap),
                  1u);
        // The ids of both interim objects were kept for an unmap that has to clean up.
        const std::string& ids = r.metadata[kInterimMetadata];
        EXPECT_EQ(std::count(ids.begin(), ids.end(), '|'), 2) << ids;
        EXPECT_NE(ids.find('|'), 0u) << ids;
    }
    EXPECT_EQ(posts("projects/other-project/zones/us-central1-a/disks"), 4u);  // 2 disks, 2 snaps
    for (const auto& e : env->emu().journal()) {
        if (e.method == "POST" &&
            e.path.find("projects/other-project/zones/us-central1-a/disks") != std::string::npos) {
            if (e.path.find("/createSnapshot") == std::string::npos) {
                EXPECT_NE(e.body.find("\"sourceSnapshot\""), std::string::npos) << e.body;
                EXPECT_NE(e.body.find("bxclone-app-data-"), std::string::npos) << e.body;
            }
        }
    }
    EXPECT_EQ(env->names("disks", "other-project"), sourceDisks);

    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(env->names("disks", "restore-project").empty());
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_SUCCESS);
    ASSERT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(env->names("snapshots", "other-project").empty());
}

// A map repeated after a failure finds the interim snapshots it made before
// and keeps their ids like those of new ones.
TEST_F(HpxTest, RepeatedMapKeepsTheIdOfAnInterimSnapshotItFinds) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    env->emu().injectFault(
        bxtest::httpFault("POST", "*/restore-project/regions/us-central1/disks*", 400, -1));
    EXPECT_NE(run(bxso_mapSnaps), 0);
    env->emu().clearFaults();
    for (size_t i = 0; i < 2; ++i) {
        rec(i).metadata.erase(kInterimMetadata);
    }
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        const std::string& ids = rec(i).metadata[kInterimMetadata];
        size_t bar = ids.find('|');
        ASSERT_NE(bar, std::string::npos) << ids;
        EXPECT_GT(ids.size(), bar + 2) << "no interim snapshot id in [" << ids << "]";
    }
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
}

TEST_F(HpxTest, UnmapRemovesInterimObjectsThatAFailedMapLeft) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    // The interim disks cannot be deleted during the map, and the clones cannot be made.
    // Refusals that no repeat cures; the interim disks are deleted by id.
    env->emu().injectFault(
        bxtest::httpFault("DELETE", "*/other-project/zones/us-central1-a/disks/*", 400, 2));
    env->emu().injectFault(
        bxtest::httpFault("POST", "*/restore-project/regions/us-central1/disks*", 400));

    EXPECT_NE(run(bxso_mapSnaps), 0);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_MAP_FAILED);
    EXPECT_FALSE(rec(0).errorText.empty());
    EXPECT_EQ(log.count("GCP Delete stats for interim clones -- total [2] deleted [0] failed [2]"),
              1u);
    EXPECT_EQ(env->names("disks", "other-project").size(), 5u);      // 3 + 2 interim disks
    EXPECT_EQ(env->names("snapshots", "other-project").size(), 4u);  // 2 + 2 interim snapshots

    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(log.count("GCP Delete stats for interim clones -- total [2] deleted [2] failed [0]"),
              1u);
    EXPECT_EQ(
        log.count("GCP Delete stats for interim snapshots -- total [2] deleted [2] failed [0]"),
        1u);
    ASSERT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(env->names("disks", "other-project"),
              (std::vector<std::string>{"app-data-1", "app-data-2", "app-vm-boot"}));
    EXPECT_TRUE(env->names("snapshots", "other-project").empty());
    EXPECT_TRUE(env->names("disks", "restore-project").empty());
}

TEST_F(HpxTest, RestoreWithoutAKeyOrIntoTheSameProjectNeedsNoInterimObjects) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    for (size_t i = 0; i < 2; ++i) {
        rec(i).cloneOptions["destination-encryption-key"] = "";
    }
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(posts("projects/other-project/"), 0u);
    EXPECT_EQ(log.count("GCP Delete stats for interim"), 0u);
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("DELETE", "projects/other-project/"), 0u);
    EXPECT_TRUE(env->names("disks", "restore-project").empty());
}

TEST_F(HpxTest, DestinationAccountWithoutARoleFailsWithGcpsMessage) {
    backUp();
    restoreInto("restore-project", kLimitedAccount);
    EXPECT_NE(run(bxso_mapSnaps), 0);
    EXPECT_NE(rec(0).errorText.find("Required 'compute."), std::string::npos) << rec(0).errorText;
    EXPECT_NE(rec(0).errorCode, 0);
    EXPECT_TRUE(env->names("disks", "restore-project").empty());
    EXPECT_EQ(env->names("disks", "other-project").size(), 3u);
    EXPECT_EQ(env->names("snapshots", "other-project").size(), 2u);
}

TEST_F(HpxTest, GuestFlushFailingOnOneDiskRetakesAllWithoutIt) {
    env->emu().failGuestFlush("other-project", "app-data-2");
    backUp(true);
    EXPECT_EQ(posts("/createSnapshot"), 4u);  // two with guest flush, two without
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/"), 2u);
    for (size_t i = 0; i < 2; ++i) {
        jsonxx::Object snap =
            env->resource("projects/other-project/global/snapshots/" + rec(i).snapName);
        ASSERT_FALSE(snap.empty()) << i;
        EXPECT_EQ(snap.get<jsonxx::String>("status"), "READY");
    }
    size_t withFlush = 0;
    for (const auto& e : env->requests("POST", "/createSnapshot")) {
        withFlush += e.query.find("guestFlush=true") != std::string::npos;
    }
    EXPECT_EQ(withFlush, 2u);
    EXPECT_EQ(rec(0).propertiesReturned["GuestFlushStatus"], "1");
    EXPECT_FALSE(rec(0).propertiesReturned["GuestFlushError"].empty());
}

TEST_F(HpxTest, GuestFlushThatWorksIsReportedAsSuch) {
    backUp(true);
    EXPECT_EQ(posts("/createSnapshot"), 2u);
    EXPECT_EQ(env->requestsMatching("DELETE", ""), 0u);
    EXPECT_EQ(rec(0).propertiesReturned["GuestFlushStatus"], "0");
}

}  // namespace
