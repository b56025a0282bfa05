// --state FILE: the whole world as JSON, written atomically whenever it changed, so that
// several runs of a tool can share one emulated GCP. Times are wall-clock milliseconds, so
// an Operation started in one run finishes on time in the next.
#include "crypto.h"
#include "impl.h"

namespace gce {

namespace {

Json scopeJson(const Scope& s) {
    return {{"kind", s.kind == Scope::Zone     ? "zone"
                     : s.kind == Scope::Region ? "region"
                                               : "global"},
            {"name", s.name}};
}

Scope scopeFrom(const Json& j) {
    Scope s;
    std::string k = j.value("kind", "global");
    s.kind = k == "zone" ? Scope::Zone : k == "region" ? Scope::Region : Scope::Global;
    s.name = j.value("name", "");
    return s;
}

}  // namespace

Json Emulator::Impl::worldToJson() const {
    Json j;
    j["version"] = 1;
    Json projects = Json::array();
    for (const auto& kv : world.projects) {
        projects.push_back({{"id", kv.second.id}, {"number", kv.second.number}});
    }
    j["projects"] = projects;
    Json zones = Json::array();
    for (const auto& kv : world.zones) {
        const Zone& z = kv.second;
        zones.push_back(
            {{"project", z.project}, {"name", z.name}, {"region", z.region}, {"id", z.id}});
    }
    j["zones"] = zones;
    Json regions = Json::array();
    for (const auto& kv : world.regions) {
        const Region& r = kv.second;
        regions.push_back({{"project", r.project}, {"name", r.name}, {"id", r.id}});
    }
    j["regions"] = regions;
    Json instances = Json::array();
    for (const auto& kv : world.instances) {
        const Instance& i = kv.second;
        Json disks = Json::array();
        for (const auto& a : i.disks) {
            disks.push_back({{"diskPath", a.diskPath},
                             {"deviceName", a.deviceName},
                             {"index", a.index},
                             {"boot", a.boot},
                             {"mode", a.mode},
                             {"interface", a.interface},
                             {"autoDelete", a.autoDelete}});
        }
        instances.push_back({{"project", i.project},
                             {"zone", i.zone},
                             {"name", i.name},
                             {"id", i.id},
                             {"machineType", i.machineType},
                             {"status", i.status},
                             {"serviceAccount", i.serviceAccount},
                             {"scopes", i.scopes},
                             {"hostname", i.hostname},
                             {"createdMs", i.createdMs},
                             {"disks", disks}});
    }
    j["instances"] = instances;
    Json disks = Json::array();
    for (const auto& kv : world.disks) {
        const Disk& d = kv.second;
        disks.push_back({{"project", d.project},
                         {"name", d.name},
                         {"id", d.id},
                         {"scope", scopeJson(d.scope)},
                         {"type", d.type},
                         {"sizeGb", d.sizeGb},
                         {"labels", d.labels},
                         {"description", d.description},
                         {"sourceSnapshotPath", d.sourceSnapshotPath},
                         {"sourceSnapshotId", d.sourceSnapshotId},
                         {"replicaZones", d.replicaZones},
                         {"users", d.users},
                         {"kmsKeyName", d.kmsKeyName},
                         {"resourcePolicies", d.resourcePolicies},
                         {"createdMs", d.createdMs},
                         {"readyMs", d.readyMs},
                         {"deleting", d.deleting}});
    }
    j["disks"] = disks;
    Json snaps = Json::array();
    for (const auto& kv : world.snapshots) {
        const Snapshot& s = kv.second;
        snaps.push_back({{"project", s.project},
                         {"name", s.name},
                         {"id", s.id},
                         {"sourceDiskPath", s.sourceDiskPath},
                         {"sourceDiskId", s.sourceDiskId},
                         {"diskSizeGb", s.diskSizeGb},
                         {"labels", s.labels},
                         {"description", s.description},
                         {"storageLocation", s.storageLocation},
                         {"guestFlush", s.guestFlush},
                         {"createdMs", s.createdMs},
                         {"uploadingMs", s.uploadingMs},
                         {"readyMs", s.readyMs},
                         {"deleting", s.deleting}});
    }
    j["snapshots"] = snaps;
    Json ops = Json::array();
    for (const auto& kv : world.operations) {
        const Operation& o = kv.second;
        ops.push_back({{"project", o.project},
                       {"name", o.name},
                       {"id", o.id},
                       {"scope", scopeJson(o.scope)},
                       {"type", o.type},
                       {"targetPath", o.targetPath},
                       {"targetId", o.targetId},
                       {"user", o.user},
                       {"insertMs", o.insertMs},
                       {"startMs", o.startMs},
                       {"doneMs", o.doneMs},
                       {"applied", o.applied},
                       {"failed", o.failed},
                       {"error",
                        {{"httpStatus", o.error.httpStatus},
                         {"code", o.error.code},
                         {"message", o.error.message}}},
                       {"effect", o.effect},
                       {"effectArgs", o.effectArgs}});
    }
    j["operations"] = ops;
    Json accounts = Json::array();
    for (const auto& kv : world.accounts) {
        const ServiceAccount& a = kv.second;
        accounts.push_back({{"email", a.email},
                            {"keyId", a.keyId},
                            {"privateKeyPem", a.privateKeyPem},
                            {"publicKeyPem", a.publicKeyPem},
                            {"projects", a.projects},
                            {"deniedPermissions", a.deniedPermissions},
                            {"writeKeyFiles", a.writeKeyFiles}});
    }
    j["serviceAccounts"] = accounts;
    Json tokens = Json::object();
    for (const auto& kv : world.tokens) {
        tokens[kv.first] = {{"email", kv.second.email}, {"expiresMs", kv.second.expiresMs}};
        if (kv.second.limited) {
            tokens[kv.first]["scopes"] = kv.second.scopes;
        }
    }
    j["tokens"] = tokens;
    j["thisVm"] = world.thisVm;
    Json letters = Json::object();
    for (const auto& kv : world.scsiLetters) {
        letters[kv.first] = {{"deviceName", kv.second.deviceName},
                             {"hiddenListCalls", kv.second.hiddenListCalls}};
    }
    j["scsiLetters"] = letters;
    Json extra = Json::array();
    for (const auto& e : world.extraDevices) {
        extra.push_back({{"path", e.path},
                         {"vendor", e.vendor},
                         {"product", e.product},
                         {"revision", e.revision},
                         {"designator", e.designator},
                         {"peripheralType", e.peripheralType},
                         {"model", e.model},
                         {"vendorArea", e.vendorArea}});
    }
    j["scsiDevices"] = extra;
    Json gf = Json::array();
    for (const auto& kv : world.guestFlushFailures) {
        gf.push_back(kv.first);
    }
    j["guestFlushFailures"] = gf;
    return j;
}

bool Emulator::Impl::worldFromJson(const Json& j, std::string* error) {
    World w;
    try {
        for (const auto& p : j.at("projects")) {
            w.projects[p.at("id")] = Project{p.at("id"), p.at("number")};
        }
        for (const auto& z : j.at("zones")) {
            Zone zone{z.at("project"), z.at("name"), z.at("region"), z.at("id")};
            w.zones[zone.project + "/" + zone.name] = zone;
        }
        for (const auto& r : j.at("regions")) {
            Region reg{r.at("project"), r.at("name"), r.at("id")};
            w.regions[reg.project + "/" + reg.name] = reg;
        }
        for (const auto& i : j.at("instances")) {
            Instance inst;
            inst.project = i.at("project");
            inst.zone = i.at("zone");
            inst.name = i.at("name");
            inst.id = i.at("id");
            inst.machineType = i.value("machineType", inst.machineType);
            inst.status = i.value("status", inst.status);
            inst.serviceAccount = i.value("serviceAccount", "");
            inst.scopes = i.value("scopes", inst.scopes);
            inst.hostname = i.value("hostname", "");
            inst.createdMs = i.value("createdMs", int64_t{0});
            for (const auto& a : i.at("disks")) {
                Attachment at;
                at.diskPath = a.at("diskPath");
                at.deviceName = a.at("deviceName");
                at.index = a.value("index", 0);
                at.boot = a.value("boot", false);
                at.mode = a.value("mode", "READ_WRITE");
                at.interface = a.value("interface", "SCSI");
                at.autoDelete = a.value("autoDelete", false);
                inst.disks.push_back(at);
            }
            w.instances["projects/" + inst.project + "/zones/" + inst.zone + "/instances/" +
                        inst.name] = inst;
        }
        for (const auto& x : j.at("disks")) {
            Disk d;
            d.project = x.at("project");
            d.name = x.at("name");
            d.id = x.at("id");
            d.scope = scopeFrom(x.at("scope"));
            d.type = x.value("type", d.type);
            d.sizeGb = x.value("sizeGb", int64_t{10});
            d.labels = x.value("labels", Json::object());
            d.description = x.value("description", "");
            d.sourceSnapshotPath = x.value("sourceSnapshotPath", "");
            d.sourceSnapshotId = x.value("sourceSnapshotId", "");
            d.replicaZones = x.value("replicaZones", std::vector<std::string>{});
            d.users = x.value("users", std::vector<std::string>{});
            d.kmsKeyName = x.value("kmsKeyName", "");
            d.resourcePolicies = x.value("resourcePolicies", std::vector<std::string>{});
            d.createdMs = x.value("createdMs", int64_t{0});
            d.readyMs = x.value("readyMs", int64_t{0});
            d.deleting = x.value("deleting", false);
            w.disks[d.path()] = d;
        }
        for (const auto& x : j.at("snapshots")) {
            Snapshot s;
            s.project = x.at("project");
            s.name = x.at("name");
            s.id = x.at("id");
            s.sourceDiskPath = x.value("sourceDiskPath", "");
            s.sourceDiskId = x.value("sourceDiskId", "");
            s.diskSizeGb = x.value("diskSizeGb", int64_t{10});
            s.labels = x.value("labels", Json::object());
            s.description = x.value("description", "");
            s.storageLocation = x.value("storageLocation", "us");
            s.guestFlush = x.value("guestFlush", false);
            s.createdMs = x.value("createdMs", int64_t{0});
            s.uploadingMs = x.value("uploadingMs", int64_t{0});
            s.readyMs = x.value("readyMs", int64_t{0});
            s.deleting = x.value("deleting", false);
            w.snapshots[s.path()] = s;
        }
        for (const auto& x : j.at("operations")) {
            Operation o;
            o.project = x.at("project");
            o.name = x.at("name");
            o.id = x.at("id");
            o.scope = scopeFrom(x.at("scope"));
            o.type = x.value("type", "");
            o.targetPath = x.value("targetPath", "");
            o.targetId = x.value("targetId", "");
            o.user = x.value("user", "");
            o.insertMs = x.value("insertMs", int64_t{0});
            o.startMs = x.value("startMs", int64_t{0});
            o.doneMs = x.value("doneMs", int64_t{0});
            o.applied = x.value("applied", false);
            o.failed = x.value("failed", false);
            const Json& e = x.at("error");
            o.error = {e.value("httpStatus", 400), e.value("code", ""), e.value("message", "")};
            o.effect = x.value("effect", "");
            o.effectArgs = x.value("effectArgs", Json::object());
            w.operations[o.path()] = o;
        }
        for (const auto& x : j.at("serviceAccounts")) {
            ServiceAccount a;
            a.email = x.at("email");
            a.keyId = x.value("keyId", "");
            a.privateKeyPem = x.value("privateKeyPem", "");
            a.publicKeyPem = x.value("publicKeyPem", "");
            a.projects = x.value("projects", std::vector<std::string>{});
            a.deniedPermissions = x.value("deniedPermissions", std::vector<std::string>{});
            a.writeKeyFiles = x.value("writeKeyFiles", true);
            w.accounts[a.email] = a;
        }
        for (auto it = j.at("tokens").begin(); it != j.at("tokens").end(); ++it) {
            w.tokens[it.key()] = Token{it.value().at("email"), it.value().at("expiresMs"),
                                       it.value().value("scopes", std::vector<std::string>{}),
                                       it.value().contains("scopes")};
        }
        w.thisVm = j.value("thisVm", "");
        for (auto it = j.at("scsiLetters").begin(); it != j.at("scsiLetters").end(); ++it) {
            w.scsiLetters[it.key()] =
                ScsiSlot{it.value().at("deviceName"), it.value().value("hiddenListCalls", 0)};
        }
        for (const auto& x : j.at("scsiDevices")) {
            w.extraDevices.push_back(extraDeviceFromJson(x));
        }
        for (const auto& x : j.at("guestFlushFailures")) {
            w.guestFlushFailures[x.get<std::string>()] = "";
        }
    } catch (const std::exception& e) {
        *error = std::string("state file is not usable: ") + e.what();
        return false;
    }
    world = std::move(w);
    unappliedOps.clear();
    for (const auto& kv : world.operations) {
        if (!kv.second.applied) {
            unappliedOps.insert(kv.first);
        }
    }
    return true;
}

void Emulator::Impl::saveIfChangedLocked() {
    if (!changed) {
        return;
    }
    changed = false;
    if (opts.stateFile.empty()) {
        return;
    }
    // The state holds private keys and tokens: owner-only, like any key file.
    crypto::writeFile(opts.stateFile, worldToJson().dump(1), true);
}

}  // namespace gce
