// Scenario files seed the world: projects with their regions and zones, service accounts
// (given public keys, or key pairs the emulator generates and writes as PEM, PKCS#12 and
// Google-style JSON key files), disks, snapshots, instances with attached disks, which
// instance is "this VM", SCSI devices that are not Google disks, guest-flush failures.
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "crypto.h"
#include "impl.h"
#include "util.h"

namespace gce {

ScsiExtraDevice extraDeviceFromJson(const Json& x) {
    ScsiExtraDevice e;
    e.path = x.at("path");
    e.vendor = x.value("vendor", "ATA");
    e.product = x.value("product", "Local Disk");
    e.revision = x.value("revision", "1.0");
    e.designator = x.value("designator", "");
    e.peripheralType = x.value("peripheralType", 0);
    e.model = x.value("model", e.model);
    e.vendorArea = x.value("vendorArea", "");
    return e;
}

namespace {

// Generating RSA keys is the slowest part of a start. Keys already in the work directory are
// reused (a restart keeps its key files valid), one process generates each account's key once
// (tests start many emulators with the same default accounts), and the keys that are really
// new are generated in parallel.
std::mutex g_keyMutex;
std::map<std::string, std::string> g_keyCache;

std::string keyFileFor(const std::string& workDir, const std::string& email) {
    return workDir + "/keys/" + email.substr(0, email.find('@')) + ".pem";
}

std::string cachedKeyFor(const std::string& email, const std::string& workDir) {
    {
        std::lock_guard<std::mutex> lock(g_keyMutex);
        auto it = g_keyCache.find(email);
        if (it != g_keyCache.end()) {
            return it->second;
        }
    }
    std::string pem;
    if (crypto::readFile(keyFileFor(workDir, email), &pem) &&
        !crypto::publicKeyPemFromPrivate(pem).empty()) {
        return pem;
    }
    pem = crypto::generateRsaKeyPem();
    if (pem.empty()) {
        return pem;
    }
    std::lock_guard<std::mutex> lock(g_keyMutex);
    return g_keyCache.emplace(email, pem).first->second;
}

void prefetchKeys(const Json& accounts, const std::string& workDir) {
    std::vector<std::thread> threads;
    for (const auto& a : accounts) {
        if (a.value("generateKey", true) && !a.contains("privateKeyPem") &&
            !a.contains("publicKeyPem") && a.contains("email") && a["email"].is_string()) {
            std::string email = a["email"];
            threads.emplace_back([email, workDir] { cachedKeyFor(email, workDir); });
        }
    }
    for (auto& t : threads) {
        t.join();
    }
}

std::string keyIdFor(const std::string& pem) {
    return crypto::hex(crypto::sha256(pem)).substr(0, 40);
}

}  // namespace

const std::string& Emulator::Impl::defaultScenario() {
    static const std::string s = R"JSON({
  "projects": [
    {"id": "demo-project", "number": "123456789012",
     "regions": [{"name": "us-central1", "zones": ["us-central1-a", "us-central1-b", "us-central1-c"]},
                 {"name": "us-east1", "zones": ["us-east1-b", "us-east1-c", "us-east1-d"]}]},
    {"id": "other-project", "number": "210987654321",
     "regions": [{"name": "us-central1", "zones": ["us-central1-a", "us-central1-b", "us-central1-c"]}]}
  ],
  "serviceAccounts": [
    {"email": "123456789012-compute@developer.gserviceaccount.com", "projects": ["demo-project"],
     "generateKey": false},
    {"email": "backup-sa@demo-project.iam.gserviceaccount.com",
     "projects": ["demo-project", "other-project"], "generateKey": true},
    {"email": "limited-sa@demo-project.iam.gserviceaccount.com", "projects": ["demo-project"],
     "generateKey": true}
  ],
  "disks": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1-boot", "sizeGb": 20,
     "type": "pd-balanced", "labels": {"role": "boot"}},
    {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-1", "sizeGb": 10,
     "type": "pd-ssd", "labels": {"app": "db", "tier": "data"}},
    {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-2", "sizeGb": 20,
     "type": "pd-balanced"},
    {"project": "demo-project", "zone": "us-central1-a", "name": "data-disk-3", "sizeGb": 30,
     "type": "pd-standard"},
    {"project": "demo-project", "region": "us-central1", "name": "regional-disk-1", "sizeGb": 10,
     "type": "pd-balanced", "replicaZones": ["us-central1-a", "us-central1-b"]},
    {"project": "other-project", "zone": "us-central1-a", "name": "app-vm-boot", "sizeGb": 20},
    {"project": "other-project", "zone": "us-central1-a", "name": "app-data-1", "sizeGb": 10,
     "type": "pd-ssd", "labels": {"app": "web"}},
    {"project": "other-project", "zone": "us-central1-a", "name": "app-data-2", "sizeGb": 10}
  ],
  "instances": [
    {"project": "demo-project", "zone": "us-central1-a", "name": "mover-1", "thisVm": true,
     "serviceAccount": "123456789012-compute@developer.gserviceaccount.com",
     "disks": [{"disk": "mover-1-boot", "deviceName": "persistent-disk-0", "boot": true},
               {"disk": "data-disk-1", "deviceName": "data-disk-1"},
               {"disk": "data-disk-2", "deviceName": "data-disk-2"},
               {"disk": "data-disk-3", "deviceName": "data-disk-3"}]},
    {"project": "other-project", "zone": "us-central1-a", "name": "app-vm",
     "serviceAccount": "210987654321-compute@developer.gserviceaccount.com",
     "disks": [{"disk": "app-vm-boot", "deviceName": "persistent-disk-0", "boot": true},
               {"disk": "app-data-1", "deviceName": "app-data-1"}]}
  ],
  "scsiDevices": [
    {"path": "/dev/sde", "vendor": "QEMU", "product": "QEMU HARDDISK", "revision": "2.5+"}
  ]
})JSON";
    return s;
}

bool Emulator::Impl::seedLocked(const Json& sc, std::string* error) {
    int64_t now = util::nowMs();
    auto fail = [&](const std::string& msg) {
        *error = msg;
        return false;
    };
    if (!sc.is_object()) {
        return fail("scenario must be a JSON object");
    }
    try {
        for (const auto& p : sc.value("projects", Json::array())) {
            std::string id = p.at("id");
            std::string number = p.value("number", "");
            if (number.empty()) {
                number = std::to_string(100000000000ULL +
                                        std::hash<std::string>{}(id) % 800000000000ULL);
            }
            world.projects[id] = Project{id, number};
            for (const auto& r : p.value("regions", Json::array())) {
                std::string rn = r.at("name");
                if (!world.regions.count(id + "/" + rn)) {
                    world.regions[id + "/" + rn] = Region{id, rn, util::newId(world)};
                }
                for (const auto& z : r.value("zones", Json::array())) {
                    std::string zn = z.get<std::string>();
                    if (!world.zones.count(id + "/" + zn)) {
                        world.zones[id + "/" + zn] = Zone{id, zn, rn, util::newId(world)};
                    }
                }
            }
        }
        prefetchKeys(sc.value("serviceAccounts", Json::array()), workDir);
        for (const auto& a : sc.value("serviceAccounts", Json::array())) {
            ServiceAccount acct;
            acct.email = a.at("email");
            acct.projects = a.value("projects", std::vector<std::string>{});
            acct.deniedPermissions = a.value("deniedPermissions", std::vector<std::string>{});
            acct.privateKeyPem = a.value("privateKeyPem", "");
            acct.publicKeyPem = a.value("publicKeyPem", "");
            acct.writeKeyFiles = a.value("writeKeyFiles", true);
            if (acct.privateKeyPem.empty() && acct.publicKeyPem.empty() &&
                a.value("generateKey", true)) {
                acct.privateKeyPem = cachedKeyFor(acct.email, workDir);
                if (acct.privateKeyPem.empty()) {
                    return fail("cannot generate a key for " + acct.email);
                }
            }
            if (!acct.privateKeyPem.empty() && acct.publicKeyPem.empty()) {
                acct.publicKeyPem = crypto::publicKeyPemFromPrivate(acct.privateKeyPem);
                if (acct.publicKeyPem.empty()) {
                    return fail("the private key of " + acct.email + " does not parse");
                }
            }
            acct.keyId =
                a.value("keyId", acct.publicKeyPem.empty() ? "" : keyIdFor(acct.publicKeyPem));
            world.accounts[acct.email] = acct;
        }
        for (const auto& x : sc.value("disks", Json::array())) {
            Disk d;
            d.project = x.at("project");
            d.name = x.at("name");
            if (x.contains("region")) {
                d.scope = Scope{Scope::Region, x.at("region")};
            } else {
                d.scope = Scope{Scope::Zone, x.at("zone")};
            }
            if (!world.projects.count(d.project)) {
                return fail("disk " + d.name + ": unknown project " + d.project);
            }
            d.id = x.value("id", util::newId(world));
            d.type = x.value("type", d.type);
            d.sizeGb = x.value("sizeGb", int64_t{10});
            d.labels = x.value("labels", Json::object());
            d.kmsKeyName = x.value("kmsKeyName", "");
            d.description = x.value("description", "");
            d.replicaZones = x.value("replicaZones", std::vector<std::string>{});
            d.resourcePolicies = x.value("resourcePolicies", std::vector<std::string>{});
            d.createdMs = d.readyMs = now;
            world.disks[d.path()] = d;
        }
        for (const auto& x : sc.value("snapshots", Json::array())) {
            Snapshot s;
            s.project = x.at("project");
            s.name = x.at("name");
            s.id = x.value("id", util::newId(world));
            std::string src = x.value("sourceDisk", "");
            s.sourceDiskPath = util::refToPath(src, s.project);
            auto d = world.disks.find(s.sourceDiskPath);
            if (d != world.disks.end()) {
                s.sourceDiskId = d->second.id;
                s.diskSizeGb = d->second.sizeGb;
            }
            s.sourceDiskId = x.value("sourceDiskId", s.sourceDiskId);
            s.diskSizeGb = x.value("diskSizeGb", s.diskSizeGb);
            s.labels = x.value("labels", Json::object());
            s.description = x.value("description", "");
            s.createdMs = s.uploadingMs = s.readyMs = now;
            world.snapshots[s.path()] = s;
        }
        for (const auto& x : sc.value("instances", Json::array())) {
            Instance inst;
            inst.project = x.at("project");
            inst.zone = x.at("zone");
            inst.name = x.at("name");
            inst.id = x.value("id", util::newId(world));
            inst.machineType = x.value("machineType", inst.machineType);
            inst.serviceAccount = x.value("serviceAccount", "");
            inst.scopes = x.value("scopes", inst.scopes);
            inst.hostname = x.value("hostname", "");
            inst.createdMs = now;
            std::string ipath =
                "projects/" + inst.project + "/zones/" + inst.zone + "/instances/" + inst.name;
            std::vector<int> used;
            for (const auto& a : x.value("disks", Json::array())) {
                if (a.value("boot", false)) {
                    used.push_back(0);  // the boot disk is index 0 wherever it is listed
                }
            }
            for (const auto& a : x.value("disks", Json::array())) {
                std::string ref = a.at("disk");
                std::string dp = util::refToPath(ref, inst.project);
                if (dp.empty()) {
                    dp = "projects/" + inst.project + "/zones/" + inst.zone + "/disks/" + ref;
                }
                auto d = world.disks.find(dp);
                if (d == world.disks.end()) {
                    // An instance may name disks that the scenario does not list.
                    Disk nd;
                    nd.project = inst.project;
                    nd.scope = Scope{Scope::Zone, inst.zone};
                    nd.name = util::lastSegment(dp);
                    nd.id = util::newId(world);
                    nd.createdMs = nd.readyMs = now;
                    d = world.disks.emplace(nd.path(), nd).first;
                }
                Attachment at;
                at.diskPath = dp;
                at.boot = a.value("boot", false);
                int idx = 0;
                while (!at.boot && std::find(used.begin(), used.end(), idx) != used.end()) {
                    ++idx;
                }
                at.index = a.value("index", idx);
                used.push_back(at.index);
                at.deviceName =
                    a.value("deviceName", "persistent-disk-" + std::to_string(at.index));
                at.mode = a.value("mode", "READ_WRITE");
                at.autoDelete = a.value("autoDelete", at.boot);
                at.interface = a.value("interface", util::defaultDiskInterface(inst.machineType));
                inst.disks.push_back(at);
                d->second.users.push_back(ipath);
            }
            std::sort(inst.disks.begin(), inst.disks.end(),
                      [](const Attachment& l, const Attachment& r) { return l.index < r.index; });
            world.instances[ipath] = inst;
            if (x.value("thisVm", false)) {
                world.thisVm = ipath;
            }
        }
        for (const auto& x : sc.value("scsiDevices", Json::array())) {
            world.extraDevices.push_back(extraDeviceFromJson(x));
        }
        for (const auto& x : sc.value("guestFlushFailures", Json::array())) {
            world.guestFlushFailures[util::refToPath(x.get<std::string>(), "")] = "";
        }
    } catch (const std::exception& e) {
        return fail(std::string("scenario: ") + e.what());
    }
    rebuildScsiLocked();
    changed = true;
    return true;
}

bool Emulator::Impl::writeKeyFilesLocked(std::string* error) {
    std::string dir = workDir + "/keys";
    mkdir(dir.c_str(), 0700);
    for (auto& kv : world.accounts) {
        ServiceAccount& a = kv.second;
        if (a.privateKeyPem.empty() || !a.writeKeyFiles) {
            continue;
        }
        std::string local = a.email.substr(0, a.email.find('@'));
        a.pemFile = dir + "/" + local + ".pem";
        a.p12File = dir + "/" + local + ".p12";
        a.jsonFile = dir + "/" + local + ".json";
        std::string project = a.projects.empty() ? "" : a.projects.front();
        Json key = {
            {"type", "service_account"},
            {"project_id", project},
            {"private_key_id", a.keyId},
            {"private_key", a.privateKeyPem},
            {"client_email", a.email},
            {"client_id", std::to_string(100000000000000000ULL +
                                         std::hash<std::string>{}(a.email) % 99999999999999ULL)},
            {"auth_uri", "https://accounts.google.com/o/oauth2/auth"},
            {"token_uri", "https://127.0.0.1:" + std::to_string(apiPort) + "/token"},
            {"universe_domain", "googleapis.com"}};
        if (!crypto::writeFile(a.pemFile, a.privateKeyPem, true) ||
            !crypto::writeFile(a.jsonFile, key.dump(2), true) ||
            !crypto::writePkcs12(a.p12File, a.privateKeyPem, a.email, "notasecret", error)) {
            if (error->empty()) {
                *error = "cannot write the key files of " + a.email;
            }
            return false;
        }
    }
    return true;
}

}  // namespace gce
