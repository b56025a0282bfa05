// Disks of another VM ("HPX"): backup with the array's service-account key,
// application-consistent snapshots with their fallback, and restores into
// another project through interim objects, all through the exported entry
// points against the emulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

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

class HpxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env = std::make_unique<bxtest::EmulatorEnv>();
        ASSERT_TRUE(env->ok()) << env->error();
        std::string error;
        ASSERT_TRUE(env->emu().seed(kRestoreScenario, &error)) << error;
        util.jobId = 5150;
        jsonxx::Object vm = resource("projects/other-project/zones/us-central1-a/instances/app-vm");
        records = std::make_unique<bxtest::RecordSet>(2);
        const char* disks[] = {"app-data-1", "app-data-2"};
        for (size_t i = 0; i < 2; ++i) {
            auto& r = rec(i);
            jsonxx::Object disk =
                resource(bxtest::EmulatorEnv::diskPath(disks[i], "us-central1-a", "other-project"));
            r.sourceDevice = "other-project|" + disk.get<jsonxx::String>("id");
            r.sourceInfo = "other-project|" + vm.get<jsonxx::String>("id");
            // The host knows where another VM's disk lives.
            r.metadata[154] = "us-central1-a|us-central1|";
            r.array.user = kBackupAccount;
            r.configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "*enc:" + pemOf(kBackupAccount);
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 5;
            r.snapName = std::string("hpx-") + disks[i];
            r.cloneNumber = 7;
            r.flagsSet[0x8000] = true;
        }
    }

    bxtest::FakeSnapInfo& rec(size_t i) { return (*records)[i]; }

    jsonxx::Object resource(const std::string& path) {
        jsonxx::Object o;
        o.parse(env->emu().resourceJson(path));
        return o;
    }

    std::string pemOf(const std::string& email) {
        for (const auto& sa : env->emu().serviceAccounts()) {
            if (sa.email == email) {
                std::ifstream in(sa.pemFile);
                std::stringstream text;
                text << in.rdbuf();
                return text.str();
            }
        }
        ADD_FAILURE() << "no key for " << email;
        return "";
    }

    void backUp(bool guestFlush = false) {
        short n = records->count();
        ASSERT_EQ(bxso_prepareDevices(records->data(), n, &util), 0) << rec(0).errorText;
        for (size_t i = 0; i < records->size(); ++i) {
            rec(i).haveOperationProperties = true;
            rec(i).operationProperties["EnableGuestFlush"] = guestFlush ? "true" : "false";
        }
        ASSERT_EQ(bxso_snapDevices(records->data(), n, &util), 0) << rec(0).errorText;
        ASSERT_EQ(bxso_postSnapDevices(records->data(), n, &util), 0) << rec(0).errorText;
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
                                     {"destination-pwd", "*enc:" + pemOf(account)}};
            r.haveCloneOptions = true;
            r.cloneOptions = {{"destination-replica-zones", "us-central1-a,us-central1-b"},
                              {"destination-encryption-key", kKmsKey}};
        }
    }

    // Sorted names of the disks or snapshots a project holds (not being deleted).
    std::vector<std::string> names(const std::string& collection, const std::string& project) {
        jsonxx::Object state;
        state.parse(env->emu().stateJson());
        std::vector<std::string> out;
        if (!state.has<jsonxx::Array>(collection)) {
            return out;
        }
        const jsonxx::Array& items = state.get<jsonxx::Array>(collection);
        for (size_t i = 0; i < items.size(); ++i) {
            const jsonxx::Object& item = items.get<jsonxx::Object>(i);
            if (item.get<jsonxx::String>("project") == project &&
                !item.get<jsonxx::Boolean>("deleting")) {
                out.push_back(item.get<jsonxx::String>("name"));
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    size_t posts(const std::string& pathPart) { return env->requestsMatching("POST", pathPart); }

    bxtest::LogCapture log{9};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    std::unique_ptr<bxtest::RecordSet> records;
};

TEST_F(HpxTest, RestoreIntoAnotherProjectWithAKeyGoesThroughInterimObjects) {
    backUp();
    std::vector<std::string> sourceDisks = names("disks", "other-project");
    restoreInto("restore-project", kRestoreAccount);
    env->emu().clearJournal();

    ASSERT_EQ(bxso_mapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    const char* disks[] = {"app-data-1", "app-data-2"};
    for (size_t i = 0; i < 2; ++i) {
        auto& r = rec(i);
        std::string clone = std::string("bxclone-") + disks[i] + "-7";
        jsonxx::Object disk =
            resource("projects/restore-project/regions/us-central1/disks/" + clone);
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
        EXPECT_TRUE(resource("projects/other-project/global/snapshots/" + interimSnap).empty());
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
            EXPECT_EQ(e.headers.count("authorization"), 1u);
            if (e.path.find("/createSnapshot") == std::string::npos) {
                EXPECT_NE(e.body.find("\"sourceSnapshot\""), std::string::npos) << e.body;
                EXPECT_NE(e.body.find("bxclone-app-data-"), std::string::npos) << e.body;
            }
        }
    }
    EXPECT_EQ(names("disks", "other-project"), sourceDisks);

    ASSERT_EQ(bxso_unmapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_TRUE(names("disks", "restore-project").empty());
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_SUCCESS);
    ASSERT_EQ(bxso_deleteSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_TRUE(names("snapshots", "other-project").empty());
}

// A map repeated after a failure finds the interim snapshots it made before
// and keeps their ids like those of new ones.
TEST_F(HpxTest, RepeatedMapKeepsTheIdOfAnInterimSnapshotItFinds) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    gce::FaultSpec noClone;
    noClone.method = "POST";
    noClone.path = "*/restore-project/regions/us-central1/disks*";
    noClone.status = 400;
    noClone.count = -1;
    env->emu().injectFault(noClone);
    EXPECT_NE(bxso_mapSnaps(records->data(), 2, &util), 0);
    env->emu().clearFaults();
    for (size_t i = 0; i < 2; ++i) {
        rec(i).metadata.erase(kInterimMetadata);
    }
    ASSERT_EQ(bxso_mapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        const std::string& ids = rec(i).metadata[kInterimMetadata];
        size_t bar = ids.find('|');
        ASSERT_NE(bar, std::string::npos) << ids;
        EXPECT_GT(ids.size(), bar + 2) << "no interim snapshot id in [" << ids << "]";
    }
    ASSERT_EQ(bxso_unmapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
}

TEST_F(HpxTest, UnmapRemovesInterimObjectsThatAFailedMapLeft) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    // The interim disks cannot be deleted during the map, and the clones cannot be made.
    gce::FaultSpec keepInterim;
    keepInterim.method = "DELETE";
    keepInterim.path = "*/other-project/zones/us-central1-a/disks/*";  // by id
    keepInterim.status = 400;  // refusals that no repeat cures
    keepInterim.count = 2;
    env->emu().injectFault(keepInterim);
    gce::FaultSpec noClone;
    noClone.method = "POST";
    noClone.path = "*/restore-project/regions/us-central1/disks*";
    noClone.status = 400;
    env->emu().injectFault(noClone);

    EXPECT_NE(bxso_mapSnaps(records->data(), 2, &util), 0);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_MAP_FAILED);
    EXPECT_FALSE(rec(0).errorText.empty());
    EXPECT_EQ(log.count("GCP Delete stats for interim clones -- total [2] deleted [0] failed [2]"),
              1u);
    EXPECT_EQ(names("disks", "other-project").size(), 5u);      // 3 + 2 interim disks
    EXPECT_EQ(names("snapshots", "other-project").size(), 4u);  // 2 + 2 interim snapshots

    ASSERT_EQ(bxso_unmapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_EQ(log.count("GCP Delete stats for interim clones -- total [2] deleted [2] failed [0]"),
              1u);
    EXPECT_EQ(
        log.count("GCP Delete stats for interim snapshots -- total [2] deleted [2] failed [0]"),
        1u);
    ASSERT_EQ(bxso_deleteSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_EQ(names("disks", "other-project"),
              (std::vector<std::string>{"app-data-1", "app-data-2", "app-vm-boot"}));
    EXPECT_TRUE(names("snapshots", "other-project").empty());
    EXPECT_TRUE(names("disks", "restore-project").empty());
}

TEST_F(HpxTest, RestoreWithoutAKeyOrIntoTheSameProjectNeedsNoInterimObjects) {
    backUp();
    restoreInto("restore-project", kRestoreAccount);
    for (size_t i = 0; i < 2; ++i) {
        rec(i).cloneOptions["destination-encryption-key"] = "";
    }
    env->emu().clearJournal();
    ASSERT_EQ(bxso_mapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_EQ(posts("projects/other-project/"), 0u);
    EXPECT_EQ(log.count("GCP Delete stats for interim"), 0u);
    ASSERT_EQ(bxso_unmapSnaps(records->data(), 2, &util), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("DELETE", "projects/other-project/"), 0u);
    EXPECT_TRUE(names("disks", "restore-project").empty());
}

TEST_F(HpxTest, DestinationAccountWithoutARoleFailsWithGcpsMessage) {
    backUp();
    restoreInto("restore-project", kLimitedAccount);
    std::string before = env->emu().stateJson();
    EXPECT_NE(bxso_mapSnaps(records->data(), 2, &util), 0);
    EXPECT_NE(rec(0).errorText.find("Required 'compute."), std::string::npos) << rec(0).errorText;
    EXPECT_NE(rec(0).errorCode, 0);
    EXPECT_TRUE(names("disks", "restore-project").empty());
    EXPECT_EQ(names("disks", "other-project").size(), 3u);
    EXPECT_EQ(names("snapshots", "other-project").size(), 2u);
}

TEST_F(HpxTest, GuestFlushFailingOnOneDiskRetakesAllWithoutIt) {
    env->emu().failGuestFlush("other-project", "app-data-2");
    backUp(true);
    EXPECT_EQ(posts("/createSnapshot"), 4u);  // two with guest flush, two without
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/"), 2u);
    for (size_t i = 0; i < 2; ++i) {
        jsonxx::Object snap =
            resource("projects/other-project/global/snapshots/" + rec(i).snapName);
        ASSERT_FALSE(snap.empty()) << i;
        EXPECT_EQ(snap.get<jsonxx::String>("status"), "READY");
    }
    size_t withFlush = 0;
    for (const auto& e : env->emu().journal()) {
        if (e.method == "POST" && e.path.find("/createSnapshot") != std::string::npos &&
            e.query.find("guestFlush=true") != std::string::npos) {
            ++withFlush;
        }
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

TEST_F(HpxTest, PathDeviceAfterAnHpxDeviceIsRefused) {
    rec(1).sourceDevice = "/dev/sdb";
    EXPECT_EQ(bxso_prepareDevices(records->data(), 2, &util), 1);
    EXPECT_NE(rec(0).errorText.find("is not a HPX device"), std::string::npos) << rec(0).errorText;
    EXPECT_EQ(posts(""), 0u);
}

}  // namespace
