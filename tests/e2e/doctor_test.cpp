// `bxso-host doctor` against the in-process emulator over real HTTPS: a
// healthy VM, and VMs broken the ways operators meet them (scopes, IAM
// permissions, no service account, no route, an untrusted certificate, bad
// settings, keys that do not work). Each case checks the verdict of the items
// it breaks and that the others stay as they were.
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "host_runner.h"
#include "https_client.h"
#include "service_key.h"
#include "support/crypto_fixtures.h"

namespace bxe2e {
namespace {

using nlohmann::json;

const std::string kComputeSa = "123456789012-compute@developer.gserviceaccount.com";
const std::string kBackupSa = "backup-sa@demo-project.iam.gserviceaccount.com";
const std::string kScopes = "https://www.googleapis.com/auth/";

// This VM (mover-1) with three data disks and a spare one, its default
// account, and an account with a key for the arrays.
json baseScenario() {
    return json::parse(R"({
      "projects": [{"id": "demo-project", "number": "123456789012",
                    "regions": [{"name": "us-central1",
                                 "zones": ["us-central1-a", "us-central1-b"]}]}],
      "serviceAccounts": [
        {"email": "123456789012-compute@developer.gserviceaccount.com",
         "projects": ["demo-project"], "generateKey": false},
        {"email": "backup-sa@demo-project.iam.gserviceaccount.com",
         "projects": ["demo-project"], "generateKey": true}],
      "disks": [
        {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1-boot"},
        {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-1"},
        {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-2"},
        {"project": "demo-project", "zone": "us-central1-a", "name": "spare-disk"}],
      "instances": [
        {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1", "thisVm": true,
         "serviceAccount": "123456789012-compute@developer.gserviceaccount.com",
         "disks": [{"disk": "mover-1-boot", "deviceName": "persistent-disk-0", "boot": true},
                   {"disk": "data-disk-1", "deviceName": "data-disk-1"},
                   {"disk": "data-disk-2", "deviceName": "data-disk-2"}]}],
      "scsiDevices": [{"path": "/dev/sde", "vendor": "QEMU", "product": "QEMU HARDDISK",
                       "revision": "2.5+"}]
    })");
}

json& thisVm(json& scenario) {
    return scenario["instances"][0];
}

json& computeAccount(json& scenario) {
    return scenario["serviceAccounts"][0];
}

struct Item {
    std::string verdict;
    std::string detail;
    std::string fix;
};

struct Outcome {
    int rc = -1;
    bool ready = false;
    std::map<std::string, Item> items;
    std::string all;  // everything printed
    const Item& at(const std::string& item) const {
        static const Item none{"(absent)", "", ""};
        auto it = items.find(item);
        return it == items.end() ? none : it->second;
    }
};

class DoctorTest : public HostTest {
  protected:
    void SetUp() override {}  // each case starts the VM it needs

    void start(const json& scenario, const std::string& machineType = "") {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = scenario.dump();
        options.thisVmMachineType = machineType;
        ASSERT_NO_FATAL_FAILURE(startHost(options));
        env->settings().set("Log", "Level", "5");
    }

    void addArray(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"array", "add"};
        all.insert(all.end(), args.begin(), args.end());
        RunResult r = host(all);
        ASSERT_EQ(r.exitCode, 0) << r.all();
    }

    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        ::chmod(path.c_str(), 0600);
        return path;
    }

    std::string keyJson(const std::string& email) { return env->account(email).jsonFile; }

    Outcome doctor() {
        Outcome o;
        RunResult json = host({"--json", "doctor"});
        RunResult text = host({"doctor"});
        o.rc = json.exitCode;
        o.all = json.all() + text.all();
        EXPECT_EQ(text.exitCode, json.exitCode) << text.all();
        auto parsed = json::parse(json.out, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            ADD_FAILURE() << "doctor --json printed no JSON: " << json.all();
            return o;
        }
        o.ready = parsed.value("ready", false);
        for (const auto& c : parsed["checks"]) {
            o.items[c.value("item", "")] =
                Item{c.value("verdict", ""), c.value("detail", ""), c.value("fix", "")};
            // The text form has the same item, with its verdict in front.
            EXPECT_NE(text.out.find(c.value("verdict", "") + std::string(" ")), std::string::npos);
            EXPECT_NE(text.out.find(c.value("item", "")), std::string::npos);
        }
        EXPECT_NE(text.out.find(o.ready ? "ready: 0 failed" : "not ready:"), std::string::npos)
            << text.out;
        return o;
    }

    // No access token the emulator issued and no line of a private key was
    // printed.
    void expectNoSecretIn(const std::string& output) {
        auto state = json::parse(env->emu().stateJson(), nullptr, false);
        ASSERT_TRUE(state.is_object());
        for (auto it = state["tokens"].begin(); it != state["tokens"].end(); ++it) {
            EXPECT_EQ(output.find(it.key()), std::string::npos) << "a token was printed";
        }
        for (const auto& a : state["serviceAccounts"]) {
            std::string pem = a.value("privateKeyPem", "");
            if (pem.size() > 100) {
                EXPECT_EQ(output.find(pem.substr(40, 60)), std::string::npos)
                    << "a key was printed";
            }
        }
        EXPECT_EQ(output.find("PRIVATE KEY"), std::string::npos);
    }
};

void expectVerdict(const Outcome& o, const std::string& item, const std::string& verdict,
                   const std::string& inDetail = "", const std::string& inFix = "") {
    const Item& i = o.at(item);
    EXPECT_EQ(i.verdict, verdict) << item << ": " << i.detail << "\n" << o.all;
    EXPECT_NE(i.detail.find(inDetail), std::string::npos) << item << ": " << i.detail;
    EXPECT_NE(i.fix.find(inFix), std::string::npos) << item << " fix: " << i.fix;
}

TEST_F(DoctorTest, AHealthyVmIsReady) {
    start(baseScenario());
    addArray({"GCP-Default-IAM"});
    addArray({"backup-sa", "--key-json", keyJson(kBackupSa)});
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 0) << o.all;
    EXPECT_TRUE(o.ready);
    for (const auto& item : o.items) {
        EXPECT_TRUE(item.second.verdict == "OK" || item.second.verdict == "INFO")
            << item.first << " " << item.second.verdict << ": " << item.second.detail;
    }
    expectVerdict(o, "settings", "OK", env->settings().path());
    expectVerdict(o, "plug-in", "OK", "version 1.");
    expectVerdict(o, "metadata server", "OK",
                  "project demo-project, zone us-central1-a, instance mover-1");
    expectVerdict(o, "service account", "OK", kComputeSa);
    expectVerdict(o, "scopes", "OK", "cloud-platform");
    expectVerdict(o, "token", "OK", kComputeSa);
    expectVerdict(o, "compute endpoint", "OK", "TLS verified; instance mover-1 read, 3 disk(s)");
    expectVerdict(o, "permissions on instance mover-1", "OK", "compute.instances.attachDisk");
    for (const char* disk : {"mover-1-boot", "data-disk-1", "data-disk-2"}) {
        expectVerdict(o, std::string("permissions on disk ") + disk, "OK",
                      "compute.disks.createSnapshot");
    }
    expectVerdict(o, "permissions on snapshots", "OK", "compute.snapshots.get");
    expectVerdict(o, "permissions on operations", "OK", "compute.zoneOperations.get");
    expectVerdict(o, "devices", "OK",
                  "/dev/sda (persistent-disk-0), /dev/sdb (data-disk-1), /dev/sdc (data-disk-2)");
    expectVerdict(o, "devices", "OK", "other disks: /dev/sde");
    expectVerdict(o, "attached disks", "OK");
    expectVerdict(o, "array GCP-Default-IAM", "OK", kComputeSa);
    expectVerdict(o, "array backup-sa", "OK", kBackupSa + " (PEM key): the key gets a token");
    // Only reads and testIamPermissions: doctor changes nothing in GCP.
    for (const auto& e : env->emu().journal()) {
        if (e.server == "api" && e.path.rfind("/compute/", 0) == 0 && e.method != "GET") {
            EXPECT_NE(e.path.find("/testIamPermissions"), std::string::npos) << e.path;
        }
    }
    EXPECT_GE(env->requestsMatching("POST", "/testIamPermissions"), 4u);
    // Tokens were issued (to doctor), and none of them was printed.
    auto state = json::parse(env->emu().stateJson());
    EXPECT_FALSE(state["tokens"].empty());
    expectNoSecretIn(o.all);
}

// Each case breaks one thing the way it breaks on a real VM; the items it
// names must say so, with the fix.
struct Broken {
    std::string name;
    std::function<void(json&)> change;
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> expected;
    std::vector<std::string> stillOk;
};

void PrintTo(const Broken& broken, std::ostream* os) {
    *os << broken.name;
}

class DoctorBrokenTest : public DoctorTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(DoctorBrokenTest, SaysWhatIsWrongAndHowToFixIt) {
    json scenario = baseScenario();
    GetParam().change(scenario);
    start(scenario);
    addArray({"GCP-Default-IAM"});
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1) << o.all;
    EXPECT_FALSE(o.ready);
    for (const auto& e : GetParam().expected) {
        expectVerdict(o, std::get<0>(e), std::get<1>(e), std::get<2>(e), std::get<3>(e));
    }
    for (const auto& item : GetParam().stillOk) {
        expectVerdict(o, item, "OK");
    }
    expectNoSecretIn(o.all);
}

const std::string kScopeFix = "--scopes=cloud-platform";

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DoctorBrokenTest,
    ::testing::Values(
        Broken{
            "MissingScope",
            [](json& s) {
                thisVm(s)["scopes"] = {kScopes + "devstorage.read_only", kScopes + "logging.write"};
            },
            {{"scopes", "FAIL", "devstorage.read_only, logging.write", kScopeFix},
             {"compute endpoint", "FAIL", "insufficient authentication scopes", kScopeFix},
             {"permissions", "SKIP", "needs a read of this instance", ""}},
            {"metadata server", "service account", "token", "devices"}},
        Broken{"ReadOnlyScope",
               [](json& s) { thisVm(s)["scopes"] = {kScopes + "compute.readonly"}; },
               {{"scopes", "FAIL", "compute.readonly: none lets Compute Engine make changes",
                 kScopeFix}},
               {"compute endpoint", "permissions on instance mover-1",
                "permissions on disk data-disk-1"}},
        Broken{
            "MissingSnapshotPermission",
            [](json& s) {
                computeAccount(s)["deniedPermissions"] = {"compute.disks.createSnapshot"};
            },
            {{"permissions on disk data-disk-1", "FAIL",
              "missing compute.disks.createSnapshot: backup", "--role=roles/compute.storageAdmin"},
             {"permissions on disk data-disk-2", "FAIL", "compute.disks.createSnapshot",
              kComputeSa}},
            {"compute endpoint", "permissions on instance mover-1", "scopes",
             "permissions on operations"}},
        Broken{"MissingDetachPermission",
               [](json& s) {
                   computeAccount(s)["deniedPermissions"] = {"compute.instances.detachDisk"};
               },
               {{"permissions on instance mover-1", "FAIL",
                 "missing compute.instances.detachDisk: unmount, revert",
                 "--role=roles/compute.instanceAdmin.v1"}},
               {"permissions on disk data-disk-1"}},
        Broken{"MissingOperationPermission",
               [](json& s) {
                   computeAccount(s)["deniedPermissions"] = {"compute.zoneOperations.get"};
               },
               {{"permissions on operations", "FAIL", "missing compute.zoneOperations.get",
                 "roles/compute.storageAdmin"}},
               {"permissions on instance mover-1", "permissions on disk data-disk-1"}},
        Broken{"NoRoleOnTheProject",
               [](json& s) { computeAccount(s)["projects"] = json::array(); },
               {{"compute endpoint", "FAIL", "Required 'compute.instances.get' permission",
                 "add-iam-policy-binding demo-project"}},
               {"scopes", "token"}},
        Broken{"NoServiceAccount",
               [](json& s) { thisVm(s).erase("serviceAccount"); },
               {{"service account", "FAIL", "runs without a service account",
                 "set-service-account mover-1"},
                {"compute endpoint", "SKIP", "needs the VM's service account", ""},
                {"array GCP-Default-IAM", "FAIL", "this VM has none", ""}},
               {"metadata server", "devices"}}),
    [](const ::testing::TestParamInfo<Broken>& info) { return info.param.name; });

TEST_F(DoctorTest, NoMetadataServerMeansNotOnTheVm) {
    start(baseScenario());
    addArray({"GCP-Default-IAM"});
    // A port nothing listens on: what a machine outside GCE sees.
    env->settings().set("Gcp", "MetadataHost", "127.0.0.1:1");
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1);
    expectVerdict(o, "metadata server", "FAIL", "cannot reach the metadata server",
                  "run doctor on the GCE VM");
    expectVerdict(o, "compute endpoint", "SKIP", "needs the metadata server");
    expectVerdict(o, "array GCP-Default-IAM", "SKIP");
    // What does not need it is still checked.
    expectVerdict(o, "settings", "OK");
    expectVerdict(o, "plug-in", "OK");
    expectVerdict(o, "devices", "OK", "/dev/sdb (data-disk-1)");
}

TEST_F(DoctorTest, AnAnswerWithoutTheMetadataMarkIsNotTheMetadataServer) {
    start(baseScenario());
    gce::FaultSpec proxy = bxtest::httpFault("", "/computeMetadata/v1/project/project-id", 200, -1);
    proxy.body = "demo-project";
    proxy.proxyAnswer = true;
    env->emu().injectFault(proxy);
    Outcome o = doctor();
    expectVerdict(o, "metadata server", "FAIL", "without Metadata-Flavor: Google", "no_proxy");
}

TEST_F(DoctorTest, AnUntrustedCertificateIsATlsFailure) {
    start(baseScenario());
    // Another CA than the emulator's.
    auto other = bxtest::makeServerCert({"DNS:localhost"});
    env->settings().set("Gcp", "CaBundle", write("other-ca.pem", other.certPem));
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1);
    expectVerdict(o, "compute endpoint", "FAIL", "TLS verification failed", "[Gcp] CaBundle");
    expectVerdict(o, "token", "OK");  // the metadata server is plain HTTP
}

TEST_F(DoctorTest, SettingsThePluginWouldIgnoreAreFailures) {
    start(baseScenario());
    auto& s = env->settings();
    s.set("Gcp", "TimeoutMs", "soon");
    s.set("Log", "Level", "12");
    s.set("Gcp", "ComputHost", "compute.googleapis.com");  // misspelt
    s.set("Devices", "Backend", "emulator");
    s.set("Base", "dBASEHOME", dir + "/absent");
    s.set("AgentOwnSection", "Anything", "1");  // not the plug-in's business
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1);
    expectVerdict(o, "settings [Gcp] TimeoutMs", "FAIL", "[soon] is not a whole number",
                  "whole number");
    expectVerdict(o, "settings [Log] Level", "FAIL", "out of range (-1 to 9)");
    expectVerdict(o, "settings [Gcp] ComputHost", "WARN", "not a key the plug-in reads");
    expectVerdict(o, "settings [Base] dBASEHOME", "FAIL", "is not a directory");
    EXPECT_EQ(o.items.count("settings [AgentOwnSection] Anything"), 0u);
    EXPECT_EQ(o.items.count("settings [Devices] Backend"), 0u);
    // The rest of the run goes on.
    expectVerdict(o, "compute endpoint", "OK");
}

TEST_F(DoctorTest, RunsOnASettingsFileOtherCommandsRefuse) {
    start(baseScenario());
    std::ofstream(env->settings().path(), std::ios::app)
        << "[Gcp]\nCaBundle = " << std::string(300, 'x') << "\n";
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1);
    expectVerdict(o, "settings", "FAIL", "line", "mend those lines");
}

TEST_F(DoctorTest, ArrayKeysAreProvenByTheTokenTheyGet) {
    start(baseScenario());
    addArray({"GCP-Default-IAM"});
    // A key Google never issued for this account.
    json forged = json::parse(bxe2e::readFile(keyJson(kBackupSa)));
    forged["private_key"] = bxtest::makeRsaKey().privatePem;
    addArray({"forged", "--key-json", write("forged.json", forged.dump())});
    // A key of an account that does not exist (deleted).
    json gone = forged;
    gone["client_email"] = "deleted-sa@demo-project.iam.gserviceaccount.com";
    addArray({"deleted", "--key-json", write("gone.json", gone.dump())});
    // PKCS#12, with and without the right password.
    std::string base = dir + "/base";
    ASSERT_EQ(runProgram({"/bin/mkdir", "-p", base + "/certificates/external"}).exitCode, 0);
    ASSERT_EQ(runProgram({"/bin/cp", env->account(kBackupSa).p12File,
                          base + "/certificates/external/backup-sa.p12"})
                  .exitCode,
              0);
    env->settings().set("Base", "dBASEHOME", base);
    addArray({"p12-good", "--user", kBackupSa, "--key-p12", "backup-sa.p12", "--password-file",
              write("good-password", "notasecret\n")});
    addArray({"p12-bad", "--user", kBackupSa, "--key-p12", "backup-sa.p12", "--password-file",
              write("bad-password", "wrong\n")});
    addArray({"p12-absent", "--user", kBackupSa, "--key-p12", "absent.p12"});
    addArray({"keyless", "--user", kBackupSa});
    Outcome o = doctor();
    EXPECT_EQ(o.rc, 1);
    expectVerdict(o, "array GCP-Default-IAM", "OK");
    expectVerdict(o, "array forged", "FAIL", "refused the key: HTTP 400 invalid_grant",
                  "--key-json FILE");
    expectVerdict(o, "array deleted", "FAIL", "refused the key", "keys create");
    expectVerdict(o, "array p12-good", "OK", "PKCS#12 backup-sa.p12): the key gets a token");
    expectVerdict(o, "array p12-bad", "FAIL", "does not open with the array's password",
                  "--password-file");
    expectVerdict(o, "array p12-absent", "FAIL", "absent.p12");
    expectVerdict(o, "array keyless", "FAIL", "no service-account key", "--key-json FILE");
    expectNoSecretIn(o.all);
    // A host key that is gone leaves the stored keys unreadable.
    ASSERT_EQ(::unlink((dir + "/host.key").c_str()), 0);
    Outcome lost = doctor();
    expectVerdict(lost, "array forged", "FAIL", "does not decrypt with host key",
                  "restore that host key file");
}

TEST_F(DoctorTest, AnAttachedDiskWithoutALocalDeviceIsNamed) {
    start(baseScenario());
    addArray({"GCP-Default-IAM"});
    // The guest does not see disks attached from now on (no rescan yet).
    env->emu().setLateDevices(1000);
    std::string pem = env->pemOf(kBackupSa);
    std::string jwt, why;
    // Google accepts a self-signed JWT of a known account as a bearer token.
    ASSERT_TRUE(bxhost::signedJwtAssertion(pem, kBackupSa, "https://compute.googleapis.com/",
                                           "https://www.googleapis.com/auth/cloud-platform",
                                           std::time(nullptr), &jwt, &why))
        << why;
    bxhost::HttpRequest attach;
    attach.method = "POST";
    attach.url = "https://" + env->emu().apiHost() +
                 "/compute/v1/projects/demo-project/zones/us-central1-a/instances/mover-1/"
                 "attachDisk";
    attach.body = R"({"source":"projects/demo-project/zones/us-central1-a/disks/spare-disk",)"
                  R"("deviceName":"spare-disk"})";
    attach.caBundle = env->emu().caFile();
    attach.bearerToken = jwt;
    bxhost::HttpResult r = bxhost::httpExchange(attach);
    ASSERT_TRUE(r.ok && r.status == 200) << r.error << r.body;
    Outcome o = doctor();
    expectVerdict(o, "attached disks", "WARN", "without a local device: spare-disk", "rescan");
    expectVerdict(o, "compute endpoint", "OK", "4 disk(s) attached");
}

// On the machine series whose disks reach the guest as NVMe namespaces the
// same line names them by the device names their Identify data carries.
TEST_F(DoctorTest, NvmeDisksAreNamedToo) {
    start(baseScenario(), "c3-standard-8");
    addArray({"GCP-Default-IAM"});
    Outcome o = doctor();
    expectVerdict(o, "devices", "OK",
                  "persistent disks: /dev/nvme0n1 (persistent-disk-0), /dev/nvme0n2 (data-disk-1), "
                  "/dev/nvme0n3 (data-disk-2)");
    expectVerdict(o, "attached disks", "OK");
}

}  // namespace
}  // namespace bxe2e
