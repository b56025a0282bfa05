// Fault injection, the journal, connection counting and the control API over HTTPS.
#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;
using emutest::kZone;

TEST(Faults, FailNextMatchingRequestsThenRecover) {
    Harness h;
    h.defaultToken();
    gce::FaultSpec f;
    f.method = "GET";
    f.path = "/compute/v1/projects/*/disks/data-disk-1";
    f.count = 2;
    f.status = 503;
    h.emu->injectFault(f);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-2").status, 200);  // not matching
    for (int i = 0; i < 2; ++i) {
        auto r = h.call("GET", kZone + "/disks/data-disk-1");
        EXPECT_EQ(r.status, 503);
        EXPECT_EQ(r.body["error"]["code"], 503);
        EXPECT_EQ(r.body["error"]["errors"][0]["reason"], "backendError");
    }
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1").status, 200);

    // Rate limit as Compute Engine mostly sends it (403), a custom body, regex paths, skip.
    f = {};
    f.method = "DELETE";
    f.path = "re:/global/snapshots/";
    f.status = 403;
    f.reason = "rateLimitExceeded";
    f.skip = 1;
    h.emu->injectFault(f);
    ASSERT_EQ(h.snapshot("data-disk-1", "a1").status, 200);
    ASSERT_EQ(h.snapshot("data-disk-1", "a2").status, 200);
    EXPECT_EQ(h.call("DELETE", "demo-project/global/snapshots/a1").status, 200);  // skipped
    auto limited = h.call("DELETE", "demo-project/global/snapshots/a2");
    EXPECT_EQ(limited.status, 403);
    EXPECT_EQ(limited.body["error"]["errors"][0]["reason"], "rateLimitExceeded");
    EXPECT_EQ(limited.body["error"]["message"], "Rate Limit Exceeded");

    f = {};
    f.path = "/token";
    f.status = 400;
    f.body = R"({"error":"invalid_grant","error_description":"boom"})";
    h.emu->injectFault(f);
    auto tok = emutest::toResp(h.api->Post("/token", "x=y", "application/x-www-form-urlencoded"));
    EXPECT_EQ(tok.body["error_description"], "boom");
}

TEST(Faults, DropConnectionAndLatency) {
    Harness h;
    h.defaultToken();
    gce::FaultSpec f;
    f.path = "*/instances/mover-1";
    f.dropConnection = true;
    h.emu->injectFault(f);
    auto dropped = h.call("GET", kZone + "/instances/mover-1");
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(h.call("GET", kZone + "/instances/mover-1").status, 200);

    f = {};
    f.path = "/computeMetadata/v1/project/*";
    f.dropConnection = true;
    h.emu->injectFault(f);
    auto r = h.meta->Get("/computeMetadata/v1/project/project-id", {{"Metadata-Flavor", "Google"}});
    EXPECT_TRUE(!r || r->body != "demo-project");

    f = {};
    f.path = "*/disks/data-disk-3";
    f.status = 0;
    f.latencySeconds = 0.2;
    h.emu->injectFault(f);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-3").status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
}

TEST(Faults, JournalRecordsRequestsWithSecretsAndConnectionsAreCounted) {
    Harness h;
    h.defaultToken();
    h.emu->clearJournal();
    long before = h.emu->connectionsAccepted();
    ASSERT_EQ(h.snapshot("data-disk-1", "j1", "?guestFlush=true").status, 200);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1").status, 200);
    auto j = h.emu->journal();
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0].server, "api");
    EXPECT_EQ(j[0].method, "POST");
    EXPECT_EQ(
        j[0].path,
        "/compute/v1/projects/demo-project/zones/us-central1-a/disks/data-disk-1/createSnapshot");
    EXPECT_EQ(j[0].query, "guestFlush=true");
    EXPECT_EQ(j[0].body, R"({"name":"j1"})");
    EXPECT_EQ(j[0].headers.at("authorization"), "Bearer " + h.token);
    EXPECT_EQ(j[0].status, 200);
    EXPECT_EQ(j[1].method, "GET");
    // The client keeps its connection alive: no new connection for the second request.
    EXPECT_LE(h.emu->connectionsAccepted() - before, 1);
    httplib::SSLClient fresh("127.0.0.1", h.emu->apiPort());
    fresh.set_ca_cert_path(h.emu->caFile().c_str());
    fresh.enable_server_certificate_verification(true);
    long mid = h.emu->connectionsAccepted();
    ASSERT_TRUE(fresh.Get("/emulator/v1/stats"));
    EXPECT_EQ(h.emu->connectionsAccepted(), mid + 1);

    // The same through the control API.
    auto cj = h.control("GET", "journal");
    ASSERT_EQ(cj.status, 200);
    EXPECT_EQ(cj.body["entries"].size(), 2u);
    EXPECT_EQ(h.control("DELETE", "journal").status, 200);
    EXPECT_TRUE(h.emu->journal().empty());
    EXPECT_GE(h.control("GET", "stats").body["connectionsAccepted"].get<long>(), 2);
}

TEST(Faults, ControlApiInjectsFaultsSeedsAndReadsResources) {
    Harness h(0.001);
    h.defaultToken();
    ASSERT_EQ(
        h.control("POST", "faults", R"({"method":"GET","path":"*/disks/data-disk-2","status":429})")
            .status,
        200);
    auto r = h.call("GET", kZone + "/disks/data-disk-2");
    EXPECT_EQ(r.status, 429);
    EXPECT_EQ(r.body["error"]["status"], "RESOURCE_EXHAUSTED");
    ASSERT_EQ(
        h.control(
             "POST", "operation-faults",
             R"({"operationType":"insert","httpStatus":409,"errorCode":"RESOURCE_ALREADY_EXISTS"})")
            .status,
        200);
    ASSERT_EQ(h.control("POST", "latencies", R"({"timeScale":0})").status, 200);
    auto ins = h.call("POST", kZone + "/disks", R"({"name":"z1"})");
    EXPECT_EQ(ins.body["httpErrorStatusCode"], 409);
    ASSERT_EQ(h.control("POST", "guest-flush-failures",
                        R"({"project":"demo-project","disk":"data-disk-3"})")
                  .status,
              200);
    EXPECT_EQ(h.snapshot("data-disk-3", "g", "?guestFlush=true").body["error"]["errors"][0]["code"],
              "GUEST_FLUSH_FAILED");
    ASSERT_EQ(h.control("POST", "tokens/expire").status, 200);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1").status, 401);

    std::string scenario =
        R"({"disks":[{"project":"demo-project","zone":"us-central1-b","name":"seeded-1","sizeGb":7}]})";
    ASSERT_EQ(h.control("POST", "seed", scenario).status, 200);
    auto res =
        h.control("GET", "resource?path=projects/demo-project/zones/us-central1-b/disks/seeded-1");
    EXPECT_EQ(res.body["sizeGb"], "7");
    EXPECT_EQ(Json::parse(h.emu->resourceJson(res.body["selfLink"]))["name"], "seeded-1");
    EXPECT_EQ(h.control("GET", "resource?path=projects/demo-project/zones/us-central1-b/disks/none")
                  .status,
              404);
    auto lat = h.control("GET", "latencies");
    EXPECT_EQ(lat.body["timeScale"], 0.0);
    EXPECT_TRUE(lat.body["latencies"].contains("snapshot.upload"));
    auto info = h.control("GET", "info");
    EXPECT_EQ(info.body["caFile"], h.emu->caFile());
    EXPECT_EQ(h.control("GET", "nope").status, 404);
}

}  // namespace
