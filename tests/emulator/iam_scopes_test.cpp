// Access scopes of "this VM" and IAM permissions an account's roles lack:
// testIamPermissions on instances, disks and snapshots, requests refused for a
// denied permission, metadata-server tokens bounded by the VM's scopes.
#include <unistd.h>

#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;
using emutest::kZone;

const std::string kComputeSa = "123456789012-compute@developer.gserviceaccount.com";
const std::string kScope = "https://www.googleapis.com/auth/";

// Options for a VM with the given scopes, its account with the given denied permissions.
gce::EmulatorOptions scenario(const Json& scopes, const Json& denied) {
    Json s = Json::parse(R"({
      "projects": [{"id": "demo-project", "number": "123456789012",
                    "regions": [{"name": "us-central1",
                                 "zones": ["us-central1-a", "us-central1-b"]}]},
                   {"id": "other-project", "number": "210987654321",
                    "regions": [{"name": "us-central1", "zones": ["us-central1-a"]}]}],
      "serviceAccounts": [
        {"email": "123456789012-compute@developer.gserviceaccount.com",
         "projects": ["demo-project"], "generateKey": false},
        {"email": "backup-sa@demo-project.iam.gserviceaccount.com",
         "projects": ["demo-project"], "generateKey": true}],
      "disks": [
        {"project": "demo-project", "region": "us-central1", "name": "regional-disk-1",
         "replicaZones": ["us-central1-a", "us-central1-b"]},
        {"project": "other-project", "zone": "us-central1-a", "name": "elsewhere"}],
      "snapshots": [{"project": "demo-project", "name": "snap-1",
                     "sourceDisk": "zones/us-central1-a/disks/data-disk-1"}],
      "instances": [
        {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1", "thisVm": true,
         "serviceAccount": "123456789012-compute@developer.gserviceaccount.com",
         "disks": [{"disk": "boot", "boot": true},
                   {"disk": "data-disk-1", "deviceName": "data-disk-1"}]}]
    })");
    s["instances"][0]["scopes"] = scopes;
    s["serviceAccounts"][0]["deniedPermissions"] = denied;
    gce::EmulatorOptions o;
    o.scenarioJson = s.dump();
    return o;
}

std::vector<std::string> granted(const emutest::Resp& r) {
    return r.body.value("permissions", std::vector<std::string>());
}

Json ask(std::initializer_list<const char*> permissions) {
    return {{"permissions", std::vector<std::string>(permissions.begin(), permissions.end())}};
}

TEST(IamScopes, TestIamPermissionsAnswersTheGrantedSubset) {
    Harness h(0.0, scenario({kScope + "cloud-platform"},
                            {"compute.disks.createSnapshot", "compute.instances.attachDisk",
                             "compute.snapshots.delete"}));
    ASSERT_TRUE(h.started);
    struct Case {
        std::string path;
        Json asked;
        std::vector<std::string> expected;
    } cases[] = {
        {kZone + "/instances/mover-1",
         ask({"compute.instances.get", "compute.instances.attachDisk",
              "compute.instances.detachDisk"}),
         {"compute.instances.get", "compute.instances.detachDisk"}},
        {kZone + "/disks/data-disk-1",
         ask({"compute.disks.get", "compute.disks.createSnapshot", "compute.disks.delete"}),
         {"compute.disks.get", "compute.disks.delete"}},
        // IAM names regional disks' permissions after zonal ones.
        {"demo-project/regions/us-central1/disks/regional-disk-1",
         ask({"compute.disks.get", "compute.disks.createSnapshot"}),
         {"compute.disks.get"}},
        {"demo-project/global/snapshots/snap-1",
         ask({"compute.snapshots.get", "compute.snapshots.delete",
              "compute.snapshots.useReadOnly"}),
         {"compute.snapshots.get", "compute.snapshots.useReadOnly"}},
        // Everything denied: the list is left out.
        {kZone + "/disks/data-disk-1", ask({"compute.disks.createSnapshot"}), {}},
        // No role on the project at all.
        {"other-project/zones/us-central1-a/disks/elsewhere", ask({"compute.disks.get"}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto r = h.call("POST", c.path + "/testIamPermissions", c.asked.dump());
        ASSERT_EQ(r.status, 200) << r.text;
        EXPECT_EQ(granted(r), c.expected);
        EXPECT_EQ(r.body.contains("permissions"), !c.expected.empty()) << r.text;
    }
    // By numeric id as well as by name.
    auto disk = h.call("GET", kZone + "/disks/data-disk-1");
    auto byId = h.call(
        "POST", kZone + "/disks/" + disk.body["id"].get<std::string>() + "/testIamPermissions",
        ask({"compute.disks.get"}).dump());
    EXPECT_EQ(granted(byId), std::vector<std::string>{"compute.disks.get"});
    // A missing resource, a wildcard, a body that is not a list.
    EXPECT_EQ(h.call("POST", kZone + "/disks/absent/testIamPermissions",
                     ask({"compute.disks.get"}).dump())
                  .status,
              404);
    auto wildcard =
        h.call("POST", kZone + "/disks/data-disk-1/testIamPermissions", ask({"compute.*"}).dump());
    EXPECT_EQ(wildcard.status, 400);
    EXPECT_EQ(wildcard.body["error"]["errors"][0]["reason"], "invalid");
    EXPECT_EQ(h.call("POST", kZone + "/disks/data-disk-1/testIamPermissions",
                     R"({"permissions":"compute.disks.get"})")
                  .status,
              400);
}

TEST(IamScopes, ADeniedPermissionRefusesItsRequests) {
    Harness h(0.0, scenario({kScope + "cloud-platform"}, {"compute.disks.createSnapshot"}));
    ASSERT_TRUE(h.started);
    for (const std::string& disk :
         {kZone + "/disks/data-disk-1", std::string("demo-project/regions/us-central1/disks/"
                                                    "regional-disk-1")}) {
        SCOPED_TRACE(disk);
        auto r = h.call("POST", disk + "/createSnapshot", R"({"name":"s-denied"})");
        EXPECT_EQ(r.status, 403) << r.text;
        EXPECT_EQ(r.body["error"]["errors"][0]["reason"], "forbidden");
        EXPECT_EQ(r.body["error"]["status"], "PERMISSION_DENIED");
        EXPECT_NE(r.text.find("createSnapshot' permission"), std::string::npos) << r.text;
        EXPECT_EQ(h.call("GET", disk).status, 200);
    }
    EXPECT_TRUE(h.emu->resourceJson("projects/demo-project/global/snapshots/s-denied").empty());
}

TEST(IamScopes, MetadataTokensReachOnlyWhatTheScopesAllow) {
    struct Case {
        std::string name;
        Json scopes;
        int read;   // GET of the instance
        int write;  // createSnapshot
        int test;   // testIamPermissions
    } cases[] = {
        {"CloudPlatform", {kScope + "cloud-platform"}, 200, 200, 200},
        {"Compute", {kScope + "compute"}, 200, 200, 200},
        {"ComputeReadOnly", {kScope + "compute.readonly"}, 200, 403, 200},
        {"StorageAndLogging",
         {kScope + "devstorage.read_only", kScope + "logging.write"},
         403,
         403,
         403},
        {"None", Json::array(), 403, 403, 403},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(0.0, scenario(c.scopes, Json::array()));
        ASSERT_TRUE(h.started);
        auto scopes = h.meta->Get("/computeMetadata/v1/instance/service-accounts/default/scopes",
                                  {{"Metadata-Flavor", "Google"}});
        ASSERT_TRUE(scopes);
        std::string expected;
        for (const auto& s : c.scopes) {
            expected += s.get<std::string>() + "\n";
        }
        EXPECT_EQ(scopes->body, expected);
        auto tree = h.meta->Get(
            "/computeMetadata/v1/instance/service-accounts/default/"
            "?recursive=true",
            {{"Metadata-Flavor", "Google"}});
        ASSERT_TRUE(tree);
        EXPECT_EQ(Json::parse(tree->body)["scopes"], c.scopes);
        auto read = h.call("GET", kZone + "/instances/mover-1");
        EXPECT_EQ(read.status, c.read) << read.text;
        if (read.status == 200) {
            EXPECT_EQ(read.body["serviceAccounts"][0]["scopes"], c.scopes);
        } else {
            EXPECT_EQ(read.body["error"]["errors"][0]["reason"], "insufficientPermissions");
            EXPECT_EQ(read.body["error"]["status"], "PERMISSION_DENIED");
            EXPECT_EQ(read.body["error"]["message"],
                      "Request had insufficient authentication scopes.");
        }
        auto write = h.snapshot("data-disk-1", "s-" + std::to_string(n++));
        EXPECT_EQ(write.status, c.write) << write.text;
        auto test = h.call("POST", kZone + "/instances/mover-1/testIamPermissions",
                           ask({"compute.instances.get"}).dump());
        EXPECT_EQ(test.status, c.test) << test.text;
        // A token from a key is not the VM's: its scopes do not apply.
        auto sa = h.env->account("backup-sa");
        auto grant = h.grant(emutest::signJwt(
            sa.pemFile, emutest::kJwtHeader, emutest::claimsFor(sa.email, h.emu->tokenUrl(), 600)));
        ASSERT_EQ(grant.status, 200) << grant.text;
        EXPECT_EQ(
            h.call("GET", kZone + "/instances/mover-1", "", grant.body["access_token"]).status,
            200);
    }
}

TEST(IamScopes, ScopesAndDeniedPermissionsSurviveARestart) {
    bxtest::TempDir dir("gce-iam-state");
    gce::EmulatorOptions o = scenario({kScope + "compute.readonly"}, {"compute.disks.delete"});
    o.stateFile = dir.file("state.json");
    std::string token;
    {
        Harness h(0.0, o);
        ASSERT_TRUE(h.started);
        token = h.defaultToken();
    }
    Harness h(0.0, o);
    ASSERT_TRUE(h.started);
    // The token issued before the restart keeps the VM's scopes.
    EXPECT_EQ(h.call("POST", kZone + "/disks/data-disk-1/createSnapshot", R"({"name":"s"})", token)
                  .status,
              403);
    EXPECT_EQ(h.call("GET", kZone + "/instances/mover-1", "", token).status, 200);
    auto test = h.call("POST", kZone + "/disks/data-disk-1/testIamPermissions",
                       ask({"compute.disks.get", "compute.disks.delete"}).dump(), token);
    EXPECT_EQ(granted(test), std::vector<std::string>{"compute.disks.get"});
}

}  // namespace
