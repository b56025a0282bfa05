// Compute API refusals, with the error bodies Compute Engine sends.
#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;
using emutest::kZone;

void expectError(const emutest::Resp& r, int code, const std::string& reason,
                 const std::string& messagePart) {
    EXPECT_EQ(r.status, code) << r.text;
    ASSERT_TRUE(r.body.contains("error")) << r.text;
    const Json& e = r.body["error"];
    EXPECT_EQ(e["code"], code);
    EXPECT_NE(e["message"].get<std::string>().find(messagePart), std::string::npos) << e["message"];
    ASSERT_EQ(e["errors"].size(), 1u);
    EXPECT_EQ(e["errors"][0]["domain"], "global");
    EXPECT_EQ(e["errors"][0]["reason"], reason);
    EXPECT_EQ(e["errors"][0]["message"], e["message"]);
}

TEST(ComputeErrors, RealSemanticsAreEnforced) {
    Harness h;
    struct Case {
        const char* what;
        const char* method;
        std::string path, body;
        int code;
        const char* reason;
        std::string message;
    };
    std::vector<Case> cases = {
        {"missing disk", "GET", kZone + "/disks/nope", "", 404, "notFound",
         "The resource 'projects/demo-project/zones/us-central1-a/disks/nope' was not found"},
        {"missing snapshot", "GET", "demo-project/global/snapshots/nope", "", 404, "notFound",
         "The resource 'projects/demo-project/global/snapshots/nope' was not found"},
        {"delete attached disk", "DELETE", kZone + "/disks/data-disk-1", "", 400,
         "resourceInUseByAnotherResource",
         "is already being used by 'projects/demo-project/zones/us-central1-a/instances/mover-1'"},
        {"disk exists", "POST", kZone + "/disks", R"({"name":"data-disk-1"})", 409, "alreadyExists",
         "The resource 'projects/demo-project/zones/us-central1-a/disks/data-disk-1' already "
         "exists"},
        {"snapshot of missing disk", "POST", kZone + "/disks/ghost/createSnapshot",
         R"({"name":"s"})", 404, "notFound", "disks/ghost' was not found"},
        {"clone of missing snapshot", "POST", kZone + "/disks",
         R"({"name":"c1","sourceSnapshot":"projects/demo-project/global/snapshots/ghost"})", 404,
         "notFound", "global/snapshots/ghost' was not found"},
        {"attach missing disk", "POST", kZone + "/instances/mover-1/attachDisk",
         R"({"source":"projects/demo-project/zones/us-central1-a/disks/regional-x","deviceName":"data-disk-1"})",
         404, "notFound", "regional-x"},
        {"detach unknown device", "POST", kZone + "/instances/mover-1/detachDisk?deviceName=nope",
         "", 400, "invalid", "No attached disk found with device name 'nope'"},
        {"detach without device", "POST", kZone + "/instances/mover-1/detachDisk", "", 400,
         "required", "deviceName"},
        {"attach disk in use", "POST", kZone + "/instances/mover-1/attachDisk",
         R"({"source":"zones/us-central1-a/disks/data-disk-1","deviceName":"again"})", 400,
         "resourceInUseByAnotherResource", "data-disk-1"},
        {"bad name", "POST", kZone + "/disks", R"({"name":"Bad_Name"})", 400, "invalid",
         "resource.name"},
        {"no name", "POST", kZone + "/disks", R"({"sizeGb":"10"})", 400, "required",
         "resource.name"},
        {"bad label", "POST", kZone + "/disks/data-disk-1/createSnapshot",
         R"({"name":"s9","labels":{"Upper":"x"}})", 400, "invalid", "labels"},
        {"unknown zone", "GET", "demo-project/zones/mars-1a/disks/x", "", 404, "notFound",
         "projects/demo-project/zones/mars-1a"},
        {"bad json", "POST", kZone + "/disks", "{not json", 400, "parseError", "Invalid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectError(h.call(c.method, c.path, c.body), c.code, c.reason, c.message);
    }
    // A device name already used on the instance is refused even for a free disk.
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"free-1"})").status, 200);
    expectError(h.attach("free-1", "data-disk-1"), 400, "invalid", "device name");
    // A snapshot name that exists cannot be created again.
    ASSERT_EQ(h.snapshot("free-1", "dup").status, 200);
    expectError(h.snapshot("free-1", "dup"), 409, "alreadyExists",
                "global/snapshots/dup' already exists");
}

TEST(ComputeErrors, PendingWorkBlocksConflictingRequests) {
    Harness h(0.001);
    h.emu->setLatency("instance.attachDisk", 100000);
    h.emu->setLatency("disk.insert", 0);
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"free-2"})").status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(h.attach("free-2", "dev-x").status, 200);
    // The attach is still running: the disk cannot be deleted or attached twice, and the
    // device name is taken.
    EXPECT_EQ(h.call("DELETE", kZone + "/disks/free-2").status, 400);
    EXPECT_EQ(h.attach("free-2").status, 400);
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"free-3"})").status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(h.attach("free-3", "dev-x").status, 400);
    // A disk still being created cannot be snapshotted.
    h.emu->setLatency("disk.insert", 100000);
    ASSERT_EQ(h.call("POST", kZone + "/disks", R"({"name":"slow-1"})").status, 200);
    auto r = h.snapshot("slow-1", "s-slow");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["errors"][0]["reason"], "resourceNotReady");
}

TEST(ComputeErrors, FailedOperationsCarryErrorsAndHttpStatus) {
    Harness h;
    gce::OperationFault f;
    f.operationType = "createSnapshot";
    f.targetPattern = "*/disks/data-disk-3";
    f.httpStatus = 403;
    f.errorCode = "QUOTA_EXCEEDED";
    f.message = "Quota 'SNAPSHOTS' exceeded.";
    h.emu->failOperation(f);
    auto ok = h.snapshot("data-disk-1", "ok-1");
    EXPECT_FALSE(ok.body.contains("error"));
    auto r = h.snapshot("data-disk-3", "bad-1");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body["status"], "DONE");
    EXPECT_EQ(r.body["httpErrorStatusCode"], 403);
    EXPECT_EQ(r.body["httpErrorMessage"], "FORBIDDEN");
    EXPECT_EQ(r.body["error"]["errors"][0]["code"], "QUOTA_EXCEEDED");
    EXPECT_EQ(r.body["error"]["errors"][0]["message"], "Quota 'SNAPSHOTS' exceeded.");
    EXPECT_EQ(h.call("GET", "demo-project/global/snapshots/bad-1").status, 404);
    // The fault was for one Operation only.
    EXPECT_FALSE(h.snapshot("data-disk-3", "ok-2").body.contains("error"));

    // Guest flush fails for one disk, and only with guestFlush.
    h.emu->failGuestFlush("demo-project", "data-disk-2");
    auto gf = h.snapshot("data-disk-2", "gf-1", "?guestFlush=true");
    EXPECT_EQ(gf.body["httpErrorStatusCode"], 400);
    EXPECT_EQ(gf.body["error"]["errors"][0]["code"], "GUEST_FLUSH_FAILED");
    auto plain = h.call("POST", kZone + "/disks/data-disk-2/createSnapshot/", R"({"name":"gf-1"})");
    EXPECT_FALSE(plain.body.contains("error")) << plain.text;
}

}  // namespace
