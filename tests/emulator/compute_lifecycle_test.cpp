// Compute API resources and their lifecycle in emulated time, over real HTTPS.
#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;
using emutest::kZone;

TEST(ComputeLifecycle, SnapshotMovesCreatingUploadingReadyAndOperationProgressGrows) {
    Harness h(0.001);  // 1 emulated second = 1 ms
    h.emu->setLatency("operation.pending", 30);
    h.emu->setLatency("snapshot.create", 100);
    h.emu->setLatency("snapshot.upload", 100);
    auto r = h.call(
        "POST", kZone + "/disks/data-disk-1/createSnapshot?guestFlush=true",
        R"({"name":"snap-a","labels":{"snap-backup-job-bx" : 1234,"k":"v"},"description":"d"})");
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.body["kind"], "compute#operation");
    EXPECT_EQ(r.body["operationType"], "createSnapshot");
    EXPECT_EQ(r.body["status"], "PENDING");
    EXPECT_EQ(
        r.body["targetLink"],
        h.emu->selfLinkBase() + "projects/demo-project/zones/us-central1-a/disks/data-disk-1");
    EXPECT_EQ(r.body["zone"], h.emu->selfLinkBase() + "projects/demo-project/zones/us-central1-a");
    std::string opLink = r.body["selfLink"];
    std::string opPath = opLink.substr(opLink.find("/compute/v1/"));

    std::set<std::string> snapStates, opStates;
    int lastProgress = -1;
    for (int i = 0; i < 400; ++i) {
        auto op = h.call("GET", opPath);
        auto snap = h.call("GET", "demo-project/global/snapshots/snap-a");
        ASSERT_EQ(op.status, 200);
        int progress = op.body["progress"];
        EXPECT_GE(progress, lastProgress);
        lastProgress = progress;
        opStates.insert(op.body["status"].get<std::string>());
        if (snap.status == 200) {
            snapStates.insert(snap.body["status"].get<std::string>());
        }
        if (op.body["status"] == "DONE") {
            EXPECT_EQ(snap.body["status"], "READY");
            EXPECT_TRUE(op.body.contains("endTime"));
            EXPECT_FALSE(op.body.contains("error"));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_EQ(lastProgress, 100);
    EXPECT_TRUE(opStates.count("RUNNING"));
    EXPECT_TRUE(snapStates.count("CREATING"));
    EXPECT_TRUE(snapStates.count("UPLOADING"));
    auto snap = h.call("GET", "demo-project/global/snapshots/snap-a").body;
    EXPECT_EQ(snap["labels"]["snap-backup-job-bx"], "1234");  // a number label becomes text
    EXPECT_EQ(
        snap["sourceDisk"],
        h.emu->selfLinkBase() + "projects/demo-project/zones/us-central1-a/disks/data-disk-1");
    auto disk = h.call("GET", kZone + "/disks/data-disk-1").body;
    EXPECT_EQ(snap["sourceDiskId"], disk["id"]);
    EXPECT_TRUE(snap["diskSizeGb"].is_string());
    EXPECT_NE(snap["storageBytes"], "0");
    // By numeric id too.
    auto byId = h.call("GET", "demo-project/global/snapshots/" + snap["id"].get<std::string>());
    EXPECT_EQ(byId.body["name"], "snap-a");
}

TEST(ComputeLifecycle, WaitReturnsWhenDoneAndBoundedOtherwise) {
    Harness h(0.001);
    h.emu->setLatency("disk.insert", 200);
    auto r = h.call("POST", kZone + "/disks", R"({"name":"blank-1","sizeGb":"5"})");
    ASSERT_EQ(r.status, 200) << r.text;
    Json done = h.waitDone(r.body);
    EXPECT_EQ(done["status"], "DONE");
    EXPECT_EQ(h.call("GET", kZone + "/disks/blank-1").body["status"], "READY");

    // An Operation longer than the wait bound comes back unfinished.
    h.emu->setLatency("disk.insert", 100000);
    h.emu->setLatency("operation.wait", 50);
    r = h.call("POST", kZone + "/disks", R"({"name":"blank-2"})");
    std::string link = r.body["selfLink"];
    auto w = h.call("POST", link.substr(link.find("/compute/v1/")) + "/wait/", "{}");
    EXPECT_EQ(w.status, 200);
    EXPECT_NE(w.body["status"], "DONE");
    EXPECT_EQ(h.call("GET", kZone + "/disks/blank-2").body["status"], "CREATING");
}

TEST(ComputeLifecycle, CloneFromSnapshotAttachDetachDeleteKeepsUsersIndexesAndLinksInStep) {
    Harness h;  // time scale 0: every Operation is DONE in its first answer
    ASSERT_EQ(h.call("POST", kZone + "/disks/data-disk-2/createSnapshot/", R"({"name":"s2"})")
                  .body["status"],
              "DONE");
    auto ins = h.call(
        "POST", kZone + "/disks",
        R"({"name":"clone-1","sourceSnapshot":"projects/demo-project/global/snapshots/s2","labels":{"x":"y"}})");
    ASSERT_EQ(ins.status, 200) << ins.text;
    EXPECT_EQ(ins.body["operationType"], "insert");
    auto clone = h.call("GET", kZone + "/disks/clone-1").body;
    EXPECT_EQ(ins.body["targetLink"], clone["selfLink"]);
    EXPECT_EQ(ins.body["targetId"], clone["id"]);
    EXPECT_EQ(clone["sizeGb"], "20");
    EXPECT_EQ(clone["sourceSnapshot"],
              h.emu->selfLinkBase() + "projects/demo-project/global/snapshots/s2");
    EXPECT_EQ(clone["type"], h.emu->selfLinkBase() +
                                 "projects/demo-project/zones/us-central1-a/diskTypes/pd-balanced");
    EXPECT_FALSE(clone.contains("users"));

    // Detach data-disk-2 (index 2) and attach the clone: it takes the freed index.
    auto det = h.call("POST", kZone + "/instances/mover-1/detachDisk/?deviceName=data-disk-2", "");
    ASSERT_EQ(det.status, 200) << det.text;
    EXPECT_EQ(det.body["operationType"], "detachDisk");
    auto att = h.call("POST", kZone + "/instances/mover-1/attachDisk/",
                      "{\t\"source\":\"" + clone["selfLink"].get<std::string>() +
                          "\",\t\t\t\"deviceName\":\"clone-1\"\t\t}");
    ASSERT_EQ(att.status, 200) << att.text;
    auto inst = h.call("GET", kZone + "/instances/mover-1").body;
    EXPECT_EQ(att.body["targetLink"], inst["selfLink"]);
    bool found = false;
    for (const auto& d : inst["disks"]) {
        EXPECT_NE(d["deviceName"], "data-disk-2");
        if (d["deviceName"] == "clone-1") {
            found = true;
            EXPECT_EQ(d["index"], 2);
            EXPECT_EQ(d["source"], clone["selfLink"]);
            EXPECT_EQ(d["mode"], "READ_WRITE");
            EXPECT_EQ(d["interface"], "SCSI");
            EXPECT_EQ(d["boot"], false);
        }
    }
    EXPECT_TRUE(found);
    clone = h.call("GET", kZone + "/disks/clone-1").body;
    EXPECT_EQ(clone["users"], Json::array({inst["selfLink"]}));
    EXPECT_FALSE(h.call("GET", kZone + "/disks/data-disk-2").body.contains("users"));

    // Detach, delete; the disk is gone afterwards.
    ASSERT_EQ(h.call("POST", kZone + "/instances/mover-1/detachDisk?deviceName=clone-1", "").status,
              200);
    auto del = h.call("DELETE", kZone + "/disks/clone-1");
    ASSERT_EQ(del.status, 200) << del.text;
    EXPECT_EQ(del.body["operationType"], "delete");
    EXPECT_EQ(h.call("GET", kZone + "/disks/clone-1").status, 404);
    auto sdel = h.call("DELETE", "demo-project/global/snapshots/s2");
    EXPECT_EQ(sdel.status, 200);
    EXPECT_FALSE(sdel.body.contains("zone"));  // snapshot deletion is a global Operation
    EXPECT_NE(sdel.body["selfLink"].get<std::string>().find("/global/operations/"),
              std::string::npos);
}

TEST(ComputeLifecycle, RegionalDiskFromSnapshotWithReplicaZonesTypeAndKey) {
    Harness h;
    ASSERT_EQ(
        h.call("POST", kZone + "/disks/data-disk-1/createSnapshot/", R"({"name":"rs"})").status,
        200);
    std::string base = h.emu->selfLinkBase();
    Json body = {
        {"name", "rclone"},
        {"region", "us-central1"},
        {"replicaZones",
         {base + "projects/demo-project/zones/us-central1-a",
          base + "projects/demo-project/zones/us-central1-b"}},
        {"type", "projects/demo-project/regions/us-central1/diskTypes/pd-ssd"},
        {"diskEncryptionKey", {{"kmsKeyName", "projects/k/locations/us/keyRings/r/cryptoKeys/c"}}},
        {"sourceSnapshot", "projects/demo-project/global/snapshots/rs"},
        {"labels", Json::object()}};
    auto r = h.call("POST", "demo-project/regions/us-central1/disks", body.dump());
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.body["region"], base + "projects/demo-project/regions/us-central1");
    auto d = h.call("GET", "demo-project/regions/us-central1/disks/rclone").body;
    EXPECT_EQ(d["replicaZones"].size(), 2u);
    EXPECT_EQ(d["type"], base + "projects/demo-project/regions/us-central1/diskTypes/pd-ssd");
    EXPECT_TRUE(d["diskEncryptionKey"]["kmsKeyName"].get<std::string>().rfind("projects/k/", 0) ==
                0);
    // A regional disk attaches to an instance in one of its replica zones.
    auto att = h.call("POST", kZone + "/instances/mover-1/attachDisk",
                      Json{{"source", d["selfLink"]}}.dump());
    EXPECT_EQ(att.status, 200) << att.text;
    EXPECT_EQ(h.call("GET", kZone + "/instances/mover-1").body["disks"].size(), 5u);
}

TEST(ComputeLifecycle, ZonesRegionsInstancesAndDisksByNameOrId) {
    Harness h;
    auto zone = h.call("GET", kZone + "/");
    ASSERT_EQ(zone.status, 200);
    EXPECT_EQ(zone.body["kind"], "compute#zone");
    EXPECT_EQ(zone.body["region"],
              h.emu->selfLinkBase() + "projects/demo-project/regions/us-central1");
    auto region = h.call("GET", "demo-project/regions/us-central1");
    EXPECT_EQ(region.body["zones"].size(), 3u);
    auto inst = h.call("GET", kZone + "/instances/mover-1").body;
    auto byId = h.call("GET", kZone + "/instances/" + inst["id"].get<std::string>());
    EXPECT_EQ(byId.body["name"], "mover-1");
    auto disk = h.call("GET", kZone + "/disks/data-disk-3").body;
    EXPECT_EQ(disk["kind"], "compute#disk");
    EXPECT_EQ(disk["sizeGb"], "30");
    EXPECT_EQ(disk["status"], "READY");
    EXPECT_EQ(disk["labelFingerprint"], "42WmSpB8rSM=");
    EXPECT_EQ(h.call("GET", kZone + "/disks/" + disk["id"].get<std::string>()).body["name"],
              "data-disk-3");
    // Ids are 64-bit decimal strings.
    std::string id = disk["id"];
    EXPECT_GE(id.size(), 18u);
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_NO_THROW(std::stoull(id));
    EXPECT_EQ(inst["disks"][0]["deviceName"], "persistent-disk-0");
    EXPECT_EQ(inst["disks"][0]["boot"], true);
    EXPECT_EQ(inst["disks"][3]["index"], 3);
}

}  // namespace
