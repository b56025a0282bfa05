// Map and unmap of local snapshots through the exported entry points: clones
// made from snapshots, attached to the emulated VM and found as its devices.
#include "support/snapped_disks.h"

namespace {

using bxtest::httpFault;

class MapTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        preparedRecords({"data-disk-1", "data-disk-2"}, "bk-");
        rec(0).cloneNumber = rec(1).cloneNumber = 7;
        snapAll(false);
    }

    // Clones made, but no attach went through.
    void mapWithoutAttach() {
        // A refusal: transient answers would be repeated.
        env->emu().injectFault(httpFault("POST", "*/attachDisk*", 400, -1));
        EXPECT_EQ(run(bxso_mapSnaps), 1);
        env->emu().clearFaults();
        ASSERT_FALSE(disk(rec(0).snapName).empty());
    }
};

TEST_F(MapTest, MapFindsTheClonesAsLocalDevicesAndUnmapRemovesThem) {
    // With flag 0x8000 the clone gets a name of its own; without it, its snapshot's.
    rec(0).flagsSet[0x8000] = true;
    const std::string clones[] = {"bxclone-bk-data-disk-1-7", "bk-data-disk-2"};
    auto devicesBefore = env->emu().scsiDevices();
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_MAP_SUCCESS);
        EXPECT_EQ(rec(i).snapDevice.rfind("/dev/sd", 0), 0u) << rec(i).snapDevice;
        jsonxx::Object clone = disk(clones[i]);
        ASSERT_FALSE(clone.empty()) << clones[i];
        EXPECT_NE(clone.get<jsonxx::String>("sourceSnapshot")
                      .find("/global/snapshots/" + rec(i).snapName),
                  std::string::npos);
    }
    EXPECT_NE(rec(0).snapDevice, rec(1).snapDevice);
    EXPECT_EQ(env->emu().scsiDevices().size(), devicesBefore.size() + 2);
    // The source disk's labels (as read at map time) overlaid by the snapshot's.
    jsonxx::Object labels = disk(clones[0]).get<jsonxx::Object>("labels");
    EXPECT_EQ(labels.get<jsonxx::String>("app"), "db");
    EXPECT_EQ(labels.get<jsonxx::String>("data-protection-vendor-bx"), "taldrix");

    // Mapping again reuses what is there.
    env->emu().clearJournal();
    std::string device = rec(0).snapDevice;
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("POST", ""), 0u);
    EXPECT_EQ(rec(0).snapDevice, device);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_MAP_SUCCESS);

    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_UNMAP_SUCCESS);
        EXPECT_TRUE(disk(clones[i]).empty()) << clones[i];
    }
    auto detaches = env->requests("POST", "/detachDisk");
    ASSERT_FALSE(detaches.empty());
    // The device name, then the request id that makes a repeat harmless.
    EXPECT_EQ(detaches[0].query.rfind("deviceName=" + clones[0] + "&requestId=", 0), 0u)
        << detaches[0].query;
    EXPECT_EQ(env->emu().scsiDevices().size(), devicesBefore.size());
}

TEST_F(MapTest, UnreadableSnapshotLabelsStillGiveAClone) {
    // The verification reads the snapshot by id; only the label read uses its name.
    gce::FaultSpec fault = httpFault("GET", "*/global/snapshots/bk-data-disk-1", 403);
    fault.reason = "forbidden";
    env->emu().injectFault(fault);
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(disk("bk-data-disk-1").get<jsonxx::Object>("labels").empty());
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
}

TEST_F(MapTest, DevicesThatNeverAppearFailTheMapAfterRetries) {
    env->emu().setLateDevices(1000);
    EXPECT_EQ(run(bxso_mapSnaps), 1);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_MAP_FAILED);
    EXPECT_EQ(rec(0).snapDevice, "");
    EXPECT_EQ(log.count("GCP Waiting for [0] seconds before retrying map"), 2u);  // count 3
    EXPECT_EQ(rec(0).errorCode, 62009);
    // The call says which devices are missing, not just that it failed.
    EXPECT_NE(rec(0).errorText.find("Not all devices are found. Total - [2] Found- [0]"),
              std::string::npos)
        << rec(0).errorText;
    EXPECT_NE(rec(0).errorText.find(rec(1).snapName), std::string::npos) << rec(0).errorText;
    // The clones were made and attached; unmap cleans them up.
    env->emu().setLateDevices(0);
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(disk("bk-data-disk-1").empty());
}

TEST_F(MapTest, InterruptedMapAndUnmapPickUpWhereTheyStopped) {
    env->emu().injectFault(httpFault("POST", "*/attachDisk*", 400));  // not transient
    EXPECT_EQ(run(bxso_mapSnaps), 1);
    EXPECT_FALSE(disk(rec(0).snapName).empty());  // the clone was made before the failure

    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("POST", "/disks/"), 0u);  // nothing created twice
    EXPECT_EQ(env->requestsMatching("POST", "/attachDisk"), 2u);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_MAP_SUCCESS);

    env->emu().injectFault(httpFault("POST", "*/detachDisk*", 400));
    EXPECT_EQ(run(bxso_unmapSnaps), 1);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_FAILED);
    EXPECT_FALSE(disk(rec(0).snapName).empty());  // kept for a later unmap
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(disk(rec(0).snapName).empty());
    EXPECT_TRUE(disk(rec(1).snapName).empty());
}

TEST_F(MapTest, UnmapDeletesClonesThatWereNeverAttachedAndToleratesNone) {
    // Nothing mapped yet: success without touching anything.
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_SUCCESS);
    EXPECT_EQ(rec(1).status, BXSO::SNAP_UNMAP_SUCCESS);
    EXPECT_EQ(env->requestsMatching("POST", ""), 0u);
    EXPECT_EQ(env->requestsMatching("DELETE", ""), 0u);

    ASSERT_NO_FATAL_FAILURE(mapWithoutAttach());
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("POST", "/detachDisk"), 0u);
    EXPECT_EQ(env->requestsMatching("DELETE", "/disks/"), 2u);
    EXPECT_TRUE(disk(rec(0).snapName).empty());
    EXPECT_TRUE(disk(rec(1).snapName).empty());
}

// Only GCP's "not found" makes a clone absent: one that cannot be read fails
// the unmap with GCP's message and stays for a later unmap.
TEST_F(MapTest, UnmapOfAnUnreadableCloneFailsAndKeepsIt) {
    ASSERT_NO_FATAL_FAILURE(mapWithoutAttach());
    env->emu().injectFault(httpFault("GET", "*/disks/" + rec(0).snapName, 503, -1));
    EXPECT_EQ(run(bxso_unmapSnaps), 1);
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_FAILED);
    EXPECT_EQ(rec(0).errorCode, 62010);
    EXPECT_NE(rec(0).errorText.find("Failed to get details of GCP clone device [" +
                                    rec(0).snapName + "]."),
              std::string::npos)
        << rec(0).errorText;
    EXPECT_FALSE(disk(rec(0).snapName).empty());
    env->emu().clearFaults();
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_TRUE(disk(rec(0).snapName).empty());
}

// An insert answered without its Operation's link cannot be followed: the
// map fails and says so instead of waiting on nothing.
TEST_F(MapTest, CloneInsertAnsweredWithoutItsOperationFailsTheMap) {
    gce::FaultSpec answer = httpFault("POST", "*/zones/us-central1-a/disks/", 200);
    answer.body = R"({"kind":"compute#operation","status":"PENDING"})";
    env->emu().injectFault(answer);
    EXPECT_EQ(run(bxso_mapSnaps), 1);
    EXPECT_NE(rec(0).errorText.find("Failed to get operation [clone-create] progress link for"),
              std::string::npos)
        << rec(0).errorText;
    EXPECT_NE(rec(0).status, BXSO::SNAP_MAP_SUCCESS);
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
}

// A snapshot deleted outside the plug-in while mapped: its clone is still
// detached and deleted, and the log says the snapshot was already gone.
TEST_F(MapTest, UnmapAfterTheSnapshotWasDeletedOutsideRemovesTheClone) {
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    std::string id = env->snapshot(rec(0).snapName).get<jsonxx::String>("id");
    ASSERT_FALSE(id.empty());
    bxtest::RecordSet outside(1);
    bxtest::storePreparedMetadata(outside[0], "1", "data-disk-1", "us-central1-a", id);
    outside[0].snapName = rec(0).snapName;
    outside[0].configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
    ASSERT_EQ(bxso_deleteSnaps(outside.data(), 1, &util), 0) << outside[0].errorText;

    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(rec(0).status, BXSO::SNAP_UNMAP_SUCCESS);
    EXPECT_TRUE(disk(rec(0).snapName).empty());
    EXPECT_TRUE(disk(rec(1).snapName).empty());
    EXPECT_TRUE(log.contains("is already gone from GCP"));
}

// An exception out of the host's record still runs the failure path.
TEST_F(MapTest, ExceptionFromTheHostFailsTheCallWithAReason) {
    rec(1).snapDeviceThrows = true;
    EXPECT_EQ(run(bxso_mapSnaps), 1);
    EXPECT_EQ(rec(0).errorCode, 62009);
    EXPECT_NE(rec(0).errorText.find("host record refused the device"), std::string::npos)
        << rec(0).errorText;
    EXPECT_EQ(rec(1).status, BXSO::SNAP_MAP_FAILED);
    EXPECT_TRUE(rec(0).hostLogContains("-- failed"));
    rec(1).snapDeviceThrows = false;
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
}

}  // namespace
