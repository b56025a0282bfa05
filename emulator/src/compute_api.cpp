// Compute Engine API v1: instances, zonal and regional disks, global snapshots, zones,
// regions and Operations, with the semantics a client can observe on the real service.
#include <algorithm>
#include <chrono>
#include <thread>

#include "impl.h"
#include "util.h"

namespace gce {

namespace {

using errors::ApiError;

const char* kDiskTypes[] = {"pd-standard",      "pd-balanced",        "pd-ssd",
                            "pd-extreme",       "hyperdisk-balanced", "hyperdisk-throughput",
                            "hyperdisk-extreme"};

bool validLabelText(const std::string& s, bool key) {
    if (s.size() > 63 || (key && s.empty())) {
        return false;
    }
    if (key && !(s[0] >= 'a' && s[0] <= 'z')) {
        return false;
    }
    for (unsigned char c : s) {
        // Lower-case letters, digits, '_' and '-'; international (UTF-8) letters are allowed.
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c >= 0x80)) {
            return false;
        }
    }
    return true;
}

// Label values arrive as strings; numbers are taken as their decimal text, as Google's
// JSON front end does for string fields.
bool readLabels(const Json& body, Json* labels, ApiError* err) {
    *labels = Json::object();
    if (!body.contains("labels") || body["labels"].is_null()) {
        return true;
    }
    const Json& l = body["labels"];
    if (!l.is_object()) {
        *err = errors::invalid("labels", l.dump(), "Labels must be a map of strings.");
        return false;
    }
    for (auto it = l.begin(); it != l.end(); ++it) {
        std::string v;
        if (it.value().is_string()) {
            v = it.value().get<std::string>();
        } else if (it.value().is_number_integer()) {
            v = it.value().dump();
        } else {
            *err = errors::invalid("labels." + it.key(), it.value().dump(),
                                   "Label values must be strings.");
            return false;
        }
        if (!validLabelText(it.key(), true) || !validLabelText(v, false)) {
            *err = errors::make(400, "invalid",
                                "Invalid value for field 'labels': '" + it.key() + "=" + v +
                                    "'. Label keys and values may contain lower-case letters, "
                                    "digits, '_' and '-', at most 63 characters; keys start with "
                                    "a letter.");
            return false;
        }
        (*labels)[it.key()] = v;
    }
    return true;
}

bool readSize(const Json& body, const char* key, int64_t* size, ApiError* err) {
    if (!body.contains(key)) {
        return true;
    }
    const Json& v = body[key];
    try {
        if (v.is_string()) {
            *size = std::stoll(v.get<std::string>());
        } else if (v.is_number_integer()) {
            *size = v.get<int64_t>();
        } else {
            throw std::invalid_argument("type");
        }
    } catch (const std::exception&) {
        *err = errors::invalid(key, v.dump(), "Size must be a positive integer.");
        return false;
    }
    if (*size <= 0) {
        *err = errors::invalid(key, v.dump(), "Size must be a positive integer.");
        return false;
    }
    return true;
}

std::string str(const Json& body, const char* key) {
    return body.contains(key) && body[key].is_string() ? body[key].get<std::string>() : "";
}

struct Route {
    std::string project, method, path;
    std::vector<std::string> r;  // segments after projects/P
    Json body;
};

std::string permissionFor(const Route& rt) {
    std::string collection = "projects";
    std::string verb = rt.method == "GET" ? "get" : rt.method == "DELETE" ? "delete" : "create";
    const auto& r = rt.r;
    if (r.size() >= 3 && (r[0] == "zones" || r[0] == "regions")) {
        collection = r[2];
        if (collection == "operations") {
            collection = r[0] == "zones" ? "zoneOperations" : "regionOperations";
        } else if (r[0] == "regions") {
            collection = "region" + std::string(1, static_cast<char>(std::toupper(r[2][0]))) +
                         r[2].substr(1);
        }
        if (r.size() == 3 && rt.method == "GET") {
            verb = "list";
        }
        if (r.size() == 5) {
            verb = r[4] == "wait" ? "get" : r[4];
        }
    } else if (r.size() >= 2 && r[0] == "global") {
        collection = r[1] == "operations" ? "globalOperations" : r[1];
        if (r.size() == 2 && rt.method == "GET") {
            verb = "list";
        }
    } else if (r.size() == 2) {
        collection = r[0];
    }
    return "compute." + collection + "." + verb;
}

}  // namespace

namespace {

// The key of a request's requestId: per project, like GCE; empty when there is none.
std::string requestIdKey(const httplib::Request& req) {
    if (req.method != "POST" && req.method != "DELETE" && req.method != "PATCH" &&
        req.method != "PUT") {
        return "";
    }
    std::string id = req.get_param_value("requestId");
    if (id.empty()) {
        return "";
    }
    auto seg = util::splitPath(req.path.substr(std::string("/compute/v1/").size()));
    return (seg.size() >= 2 ? seg[1] : std::string()) + "/" + id;
}

}  // namespace

bool Emulator::Impl::repeatedRequest(const httplib::Request& req, Reply& out) {
    std::string key = requestIdKey(req);
    if (key.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    auto seen = requestIds.find(key);
    if (seen == requestIds.end()) {
        return false;
    }
    auto op = world.operations.find(seen->second);
    if (op == world.operations.end()) {
        return false;
    }
    int64_t now = util::nowMs();
    advance(now);
    out.status = 200;
    out.body = renderOperation(op->second, now);
    return true;
}

void Emulator::Impl::rememberRequest(const httplib::Request& req, const Reply& out) {
    std::string key = requestIdKey(req);
    if (key.empty() || out.status != 200 || !out.body.is_object() ||
        out.body.value("kind", "") != "compute#operation") {
        return;
    }
    std::string link = out.body.value("selfLink", "");
    size_t at = link.find("/compute/v1/");
    if (at == std::string::npos) {
        return;
    }
    std::lock_guard<std::mutex> lock(mu);
    requestIds[key] = link.substr(at + std::string("/compute/v1/").size());
}

void Emulator::Impl::handleCompute(const httplib::Request& req, Reply& out,
                                   const std::string& email) {
    const std::string prefix = "/compute/v1/";
    auto seg = util::splitPath(req.path.substr(prefix.size()));
    if (seg.size() < 2 || seg[0] != "projects") {
        out.error(errors::notFound(req.path.substr(prefix.size())));
        return;
    }
    Route rt;
    rt.project = seg[1];
    rt.method = req.method;
    rt.r.assign(seg.begin() + 2, seg.end());
    rt.path = "projects/" + rt.project;
    for (const auto& s : rt.r) {
        rt.path += "/" + s;
    }
    if ((rt.method == "POST" || rt.method == "PUT" || rt.method == "PATCH") && !req.body.empty()) {
        try {
            rt.body = Json::parse(req.body);
        } catch (const std::exception&) {
            out.error(errors::make(400, "parseError",
                                   "Invalid JSON payload received. Unexpected token."));
            return;
        }
        if (!rt.body.is_object()) {
            out.error(errors::make(400, "parseError",
                                   "Invalid JSON payload received. Expected an object."));
            return;
        }
    } else {
        rt.body = Json::object();
    }
    const auto& r = rt.r;
    const std::string& m = rt.method;
    const std::string& P = rt.project;

    // Operation wait blocks, so it runs outside the lock.
    bool isWait = m == "POST" && !r.empty() && r.back() == "wait" && r.size() >= 4 &&
                  r[r.size() - 3] == "operations";
    // testIamPermissions needs no permission of its own: it says which of the
    // asked ones the caller holds.
    bool isTestIam = m == "POST" && !r.empty() && r.back() == "testIamPermissions";
    std::unique_lock<std::mutex> lock(mu);
    int64_t now = util::nowMs();
    advance(now);
    if (!isTestIam && (!accountMay(email, P) || permissionDenied(email, permissionFor(rt)))) {
        out.error(errors::forbidden(permissionFor(rt), rt.path));
        return;
    }
    if (!world.projects.count(P)) {
        out.error(errors::notFound("projects/" + P));
        return;
    }
    if (isWait) {
        std::string opPath = rt.path.substr(0, rt.path.size() - 5);
        lock.unlock();
        waitOperation(opPath, out);
        return;
    }

    auto findDisk = [&](const Scope& sc, const std::string& nameOrId) -> Disk* {
        auto it = world.disks.find("projects/" + P + "/" + sc.path() + "/disks/" + nameOrId);
        if (it != world.disks.end()) {
            return &it->second;
        }
        for (auto& kv : world.disks) {
            const Disk& d = kv.second;
            if (d.project == P && d.scope.path() == sc.path() && d.id == nameOrId) {
                return &kv.second;
            }
        }
        return nullptr;
    };
    auto findSnapshot = [&](const std::string& nameOrId) -> Snapshot* {
        auto it = world.snapshots.find("projects/" + P + "/global/snapshots/" + nameOrId);
        if (it != world.snapshots.end()) {
            return &it->second;
        }
        for (auto& kv : world.snapshots) {
            if (kv.second.project == P && kv.second.id == nameOrId) {
                return &kv.second;
            }
        }
        return nullptr;
    };
    auto findInstance = [&](const std::string& zone, const std::string& nameOrId) -> Instance* {
        auto it =
            world.instances.find("projects/" + P + "/zones/" + zone + "/instances/" + nameOrId);
        if (it != world.instances.end()) {
            return &it->second;
        }
        for (auto& kv : world.instances) {
            if (kv.second.project == P && kv.second.zone == zone && kv.second.id == nameOrId) {
                return &kv.second;
            }
        }
        return nullptr;
    };
    auto pendingOps = [&](const std::string& effect) {
        std::vector<const Operation*> v;
        for (const auto& kv : world.operations) {
            if (!kv.second.applied && !kv.second.failed && kv.second.effect == effect) {
                v.push_back(&kv.second);
            }
        }
        return v;
    };
    auto reply = [&](const Json& j) { out.body = j; };

    if (isTestIam) {
        bool zonal = r.size() == 5 && (r[0] == "zones" || r[0] == "regions");
        Scope sc{zonal && r[0] == "regions" ? Scope::Region : Scope::Zone, zonal ? r[1] : ""};
        bool found = zonal && r[2] == "instances" && r[0] == "zones"
                         ? findInstance(r[1], r[3]) != nullptr
                     : zonal && r[2] == "disks" ? findDisk(sc, r[3]) != nullptr
                     : r.size() == 4 && r[0] == "global" && r[1] == "snapshots"
                         ? findSnapshot(r[2]) != nullptr
                         : false;
        if (!found) {
            return out.error(errors::notFound(rt.path.substr(0, rt.path.rfind('/'))));
        }
        Json asked = rt.body.value("permissions", Json::array());
        if (!asked.is_array()) {
            return out.error(errors::invalid("permissions", asked.dump(), "Must be a list."));
        }
        Json granted = Json::array();
        for (const auto& p : asked) {
            if (!p.is_string() || p.get<std::string>().find('*') != std::string::npos) {
                return out.error(errors::invalid(
                    "permissions", p.dump(),
                    "Permissions with wildcards (such as '*' or 'storage.*') are not allowed."));
            }
            if (accountMay(email, P) && !permissionDenied(email, p.get<std::string>())) {
                granted.push_back(p);
            }
        }
        // Like Compute Engine, an empty answer leaves the list out.
        return reply(granted.empty() ? Json::object() : Json{{"permissions", granted}});
    }
    auto replyOp = [&](const std::string& opPath) {
        advance(now);
        out.body = renderOperation(world.operations.at(opPath), now);
    };

    // Creates a snapshot of a disk; the Operation is the disk's (createSnapshot) or global
    // (snapshots.insert).
    auto snapshotDisk = [&](Disk& disk, bool guestFlush, bool globalInsert) {
        std::string name = str(rt.body, "name");
        if (name.empty()) {
            return out.error(errors::required("resource.name"));
        }
        if (!util::validName(name)) {
            return out.error(errors::invalid("resource.name", name,
                                             "Must be a match of regex "
                                             "'[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?'"));
        }
        std::string status = diskStatus(disk, now);
        if (status != "READY") {
            return out.error(errors::notReady(disk.path()));
        }
        Snapshot s;
        s.project = P;
        s.name = name;
        if (world.snapshots.count(s.path())) {
            return out.error(errors::alreadyExists(s.path()));
        }
        ApiError err;
        if (!readLabels(rt.body, &s.labels, &err)) {
            return out.error(err);
        }
        s.id = util::newId(world);
        s.description = str(rt.body, "description");
        if (rt.body.contains("storageLocations") && rt.body["storageLocations"].is_array() &&
            !rt.body["storageLocations"].empty() && rt.body["storageLocations"][0].is_string()) {
            s.storageLocation = rt.body["storageLocations"][0].get<std::string>();
        }
        s.sourceDiskPath = disk.path();
        s.sourceDiskId = disk.id;
        s.diskSizeGb = disk.sizeGb;
        s.guestFlush = guestFlush;
        s.createdMs = now;
        int64_t start = now + scaledMs("operation.pending");
        s.uploadingMs = start + scaledMs("snapshot.create");
        s.readyMs = s.uploadingMs + scaledMs("snapshot.upload");
        bool flushFails = guestFlush && world.guestFlushFailures.count(disk.path());
        int64_t run = (flushFails ? s.uploadingMs : s.readyMs) - start;
        std::string snapPath = s.path();
        std::string snapId = s.id;
        world.snapshots[snapPath] = s;
        Operation& op =
            globalInsert
                ? startOperation(P, Scope{}, "insert", snapPath, snapId, email, run,
                                 "snapshotReady", Json{{"snapshot", snapPath}}, now)
                : startOperation(P, disk.scope, "createSnapshot", disk.path(), disk.id, email, run,
                                 "snapshotReady", Json{{"snapshot", snapPath}}, now);
        if (flushFails && !op.failed) {
            op.failed = true;
            op.error = {400, "GUEST_FLUSH_FAILED",
                        "Guest flush failed for disk '" + disk.path() +
                            "': the guest environment could not quiesce the file systems. "
                            "Retry without guestFlush."};
        }
        replyOp(op.path());
    };

    // ---- projects/P ----
    if (r.empty()) {
        if (m != "GET") {
            return out.error(errors::notFound(rt.path));
        }
        const Project& p = world.projects.at(P);
        return reply(
            Json{{"kind", "compute#project"},
                 {"id", p.number},
                 {"name", p.id},
                 {"selfLink", url("projects/" + P)},
                 {"defaultServiceAccount", p.number + "-compute@developer.gserviceaccount.com"}});
    }

    // ---- zones/Z/... and regions/R/... ----
    if ((r[0] == "zones" || r[0] == "regions") && r.size() >= 2) {
        Scope sc{r[0] == "zones" ? Scope::Zone : Scope::Region, r[1]};
        std::string scopePath = "projects/" + P + "/" + sc.path();
        bool known = sc.kind == Scope::Zone ? world.zones.count(P + "/" + sc.name) > 0
                                            : world.regions.count(P + "/" + sc.name) > 0;
        if (!known) {
            return out.error(errors::notFound(scopePath));
        }
        if (r.size() == 2 && m == "GET") {
            return reply(sc.kind == Scope::Zone
                             ? renderZone(world.zones.at(P + "/" + sc.name))
                             : renderRegion(world.regions.at(P + "/" + sc.name)));
        }
        const std::string coll = r.size() >= 3 ? r[2] : "";
        if (coll == "diskTypes" && r.size() == 4 && m == "GET") {
            if (std::find(std::begin(kDiskTypes), std::end(kDiskTypes), r[3]) ==
                std::end(kDiskTypes)) {
                return out.error(errors::notFound(rt.path));
            }
            return reply(Json{{"kind", "compute#diskType"},
                              {"name", r[3]},
                              {"description", r[3]},
                              {"validDiskSize", "10GB-65536GB"},
                              {"defaultDiskSizeGb", "100"},
                              {sc.kind == Scope::Zone ? "zone" : "region", url(scopePath)},
                              {"selfLink", url(rt.path)}});
        }
        if (coll == "operations" && r.size() == 4 && m == "GET") {
            auto it = world.operations.find(rt.path);
            if (it == world.operations.end()) {
                return out.error(errors::notFound(rt.path));
            }
            return reply(renderOperation(it->second, now));
        }
        if (coll == "disks" && r.size() == 3 && m == "GET") {
            Json items = Json::array();
            for (const auto& kv : world.disks) {
                if (kv.second.project == P && kv.second.scope.path() == sc.path()) {
                    items.push_back(renderDisk(kv.second, now));
                }
            }
            Json j = {{"kind", "compute#diskList"}, {"id", scopePath + "/disks"}};
            if (!items.empty()) {
                j["items"] = items;
            }
            j["selfLink"] = url(scopePath + "/disks");
            return reply(j);
        }
        if (coll == "disks" && r.size() == 3 && m == "POST") {
            Disk d;
            d.project = P;
            d.scope = sc;
            d.name = str(rt.body, "name");
            if (d.name.empty()) {
                return out.error(errors::required("resource.name"));
            }
            if (!util::validName(d.name)) {
                return out.error(errors::invalid("resource.name", d.name,
                                                 "Must be a match of regex "
                                                 "'[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?'"));
            }
            if (world.disks.count(d.path())) {
                return out.error(errors::alreadyExists(d.path()));
            }
            ApiError err;
            if (!readLabels(rt.body, &d.labels, &err)) {
                return out.error(err);
            }
            d.description = str(rt.body, "description");
            std::string type = str(rt.body, "type");
            if (!type.empty()) {
                d.type = util::lastSegment(type);
                if (std::find(std::begin(kDiskTypes), std::end(kDiskTypes), d.type) ==
                    std::end(kDiskTypes)) {
                    return out.error(errors::invalid(
                        "resource.type", type,
                        "Disk type '" + d.type + "' does not exist in '" + scopePath + "'."));
                }
            }
            std::string region = str(rt.body, "region");
            if (sc.kind == Scope::Region && !region.empty() &&
                util::lastSegment(region) != sc.name) {
                return out.error(errors::invalid("resource.region", region,
                                                 "Region must match the request's region."));
            }
            if (rt.body.contains("replicaZones")) {
                if (!rt.body["replicaZones"].is_array()) {
                    return out.error(errors::invalid("resource.replicaZones",
                                                     rt.body["replicaZones"].dump(),
                                                     "Must be a list of zones."));
                }
                for (const auto& z : rt.body["replicaZones"]) {
                    std::string zn = z.is_string() ? util::lastSegment(z.get<std::string>()) : "";
                    auto zit = world.zones.find(P + "/" + zn);
                    if (zn.empty() || zit == world.zones.end() ||
                        (sc.kind == Scope::Region && zit->second.region != sc.name)) {
                        return out.error(
                            errors::invalid("resource.replicaZones",
                                            z.is_string() ? z.get<std::string>() : z.dump(),
                                            "Replica zones must be zones of the disk's region."));
                    }
                    d.replicaZones.push_back(zn);
                }
            }
            if (sc.kind == Scope::Zone && !d.replicaZones.empty()) {
                return out.error(errors::invalid("resource.replicaZones", d.replicaZones[0],
                                                 "Zonal disks cannot have replica zones."));
            }
            if (sc.kind == Scope::Region && d.replicaZones.size() != 2) {
                return out.error(errors::invalid("resource.replicaZones",
                                                 std::to_string(d.replicaZones.size()) + " zones",
                                                 "Regional disks need exactly two replica zones."));
            }
            if (rt.body.contains("resourcePolicies")) {
                const Json& policies = rt.body["resourcePolicies"];
                for (const auto& p : policies.is_array() ? policies : Json::array({nullptr})) {
                    std::string text = p.is_string() ? p.get<std::string>() : "";
                    size_t at = text.find("projects/");
                    if (at == std::string::npos ||
                        text.find("/resourcePolicies/") == std::string::npos) {
                        return out.error(errors::invalid("resource.resourcePolicies",
                                                         p.is_string() ? text : p.dump(),
                                                         "Invalid resource policy."));
                    }
                    d.resourcePolicies.push_back(text.substr(at));
                }
            }
            if (rt.body.contains("diskEncryptionKey")) {
                const Json& k = rt.body["diskEncryptionKey"];
                d.kmsKeyName = k.is_object() ? str(k, "kmsKeyName") : "";
                if (d.kmsKeyName.empty()) {
                    return out.error(errors::invalid("resource.diskEncryptionKey", k.dump(),
                                                     "A kmsKeyName is required."));
                }
            }
            int64_t size = 0;
            if (!readSize(rt.body, "sizeGb", &size, &err)) {
                return out.error(err);
            }
            std::string src = str(rt.body, "sourceSnapshot");
            if (!src.empty()) {
                std::string sp = util::refToPath(src, P);
                if (sp.empty()) {
                    sp = "projects/" + P + "/global/snapshots/" + src;
                }
                auto sit = world.snapshots.find(sp);
                if (sit == world.snapshots.end()) {
                    return out.error(errors::notFound(sp));
                }
                if (snapshotStatus(sit->second, now) != "READY") {
                    return out.error(errors::notReady(sp));
                }
                d.sourceSnapshotPath = sp;
                d.sourceSnapshotId = sit->second.id;
                if (size != 0 && size < sit->second.diskSizeGb) {
                    return out.error(errors::invalid(
                        "resource.sizeGb", std::to_string(size),
                        "Requested disk size cannot be smaller than the snapshot size (" +
                            std::to_string(sit->second.diskSizeGb) + " GB)."));
                }
                d.sizeGb = size != 0 ? size : sit->second.diskSizeGb;
            } else {
                d.sizeGb = size != 0 ? size : 10;
            }
            d.id = util::newId(world);
            d.createdMs = now;
            int64_t run = scaledMs("disk.insert");
            d.readyMs = now + scaledMs("operation.pending") + run;
            std::string path = d.path();
            std::string id = d.id;
            world.disks[path] = d;
            Operation& op = startOperation(P, sc, "insert", path, id, email, run, "diskReady",
                                           Json::object(), now);
            return replyOp(op.path());
        }
        if (coll == "disks" && r.size() == 4 && (m == "GET" || m == "DELETE")) {
            Disk* d = findDisk(sc, r[3]);
            if (d == nullptr) {
                return out.error(errors::notFound(rt.path));
            }
            if (m == "GET") {
                return reply(renderDisk(*d, now));
            }
            if (!d->users.empty()) {
                return out.error(errors::inUse(d->path(), d->users.front()));
            }
            for (const Operation* op : pendingOps("attach")) {
                if (op->effectArgs.value("disk", "") == d->path()) {
                    return out.error(errors::inUse(d->path(), op->targetPath));
                }
            }
            if (diskStatus(*d, now) != "READY") {
                return out.error(errors::notReady(d->path()));
            }
            d->deleting = true;
            Operation& op =
                startOperation(P, sc, "delete", d->path(), d->id, email, scaledMs("disk.delete"),
                               "diskDelete", Json::object(), now);
            return replyOp(op.path());
        }
        if (coll == "disks" && r.size() == 5 && r[4] == "createSnapshot" && m == "POST") {
            Disk* d = findDisk(sc, r[3]);
            if (d == nullptr) {
                return out.error(errors::notFound(scopePath + "/disks/" + r[3]));
            }
            return snapshotDisk(*d, req.get_param_value("guestFlush") == "true", false);
        }
        if (coll == "instances" && sc.kind == Scope::Zone && r.size() >= 4) {
            Instance* inst = findInstance(sc.name, r[3]);
            std::string instPath = scopePath + "/instances/" + r[3];
            if (inst == nullptr) {
                return out.error(errors::notFound(instPath));
            }
            instPath = scopePath + "/instances/" + inst->name;
            if (r.size() == 4 && m == "GET") {
                return reply(renderInstance(*inst));
            }
            if (r.size() == 5 && r[4] == "attachDisk" && m == "POST") {
                std::string source = str(rt.body, "source");
                if (source.empty()) {
                    return out.error(errors::required("resource.source"));
                }
                std::string dp = util::refToPath(source, P);
                if (dp.empty()) {
                    dp = scopePath + "/disks/" + source;
                }
                auto dit = world.disks.find(dp);
                if (dit == world.disks.end()) {
                    return out.error(errors::notFound(dp));
                }
                Disk& disk = dit->second;
                if (diskStatus(disk, now) != "READY") {
                    return out.error(errors::notReady(dp));
                }
                bool sameZone = disk.scope.kind == Scope::Zone
                                    ? disk.scope.name == inst->zone
                                    : std::find(disk.replicaZones.begin(), disk.replicaZones.end(),
                                                inst->zone) != disk.replicaZones.end();
                if (!sameZone) {
                    return out.error(errors::invalid("resource.source", source,
                                                     "The disk must be in the instance's zone."));
                }
                std::string mode = str(rt.body, "mode");
                if (mode.empty()) {
                    mode = "READ_WRITE";
                }
                if (mode != "READ_WRITE" && mode != "READ_ONLY") {
                    return out.error(errors::invalid("resource.mode", mode, "Unknown mode."));
                }
                for (const auto& u : disk.users) {
                    if (u == instPath || mode == "READ_WRITE") {
                        return out.error(errors::inUse(dp, u));
                    }
                    auto other = world.instances.find(u);
                    if (other == world.instances.end()) {
                        continue;
                    }
                    for (const auto& a : other->second.disks) {
                        if (a.diskPath == dp && a.mode == "READ_WRITE") {
                            return out.error(errors::inUse(dp, u));
                        }
                    }
                }
                std::vector<std::string> taken;
                std::vector<int> indexes;
                for (const auto& a : inst->disks) {
                    taken.push_back(a.deviceName);
                    indexes.push_back(a.index);
                }
                for (const Operation* op : pendingOps("attach")) {
                    if (op->effectArgs.value("disk", "") == dp) {
                        return out.error(errors::inUse(dp, op->targetPath));
                    }
                    if (op->targetPath == instPath) {
                        taken.push_back(op->effectArgs.value("deviceName", ""));
                    }
                }
                std::string device = str(rt.body, "deviceName");
                if (device.empty()) {
                    for (int i = 0;; ++i) {
                        device = "persistent-disk-" + std::to_string(i);
                        if (std::find(taken.begin(), taken.end(), device) == taken.end()) {
                            break;
                        }
                    }
                }
                if (!util::validName(device)) {
                    return out.error(errors::invalid("resource.deviceName", device,
                                                     "Must be a match of regex "
                                                     "'[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?'"));
                }
                if (std::find(taken.begin(), taken.end(), device) != taken.end()) {
                    return out.error(errors::invalid(
                        "resource.deviceName", device,
                        "A disk with this device name is already attached to '" + instPath + "'."));
                }
                std::string iface = str(rt.body, "interface");
                Json args = {
                    {"disk", dp},
                    {"deviceName", device},
                    {"mode", mode},
                    {"boot", rt.body.value("boot", false)},
                    {"autoDelete", rt.body.value("autoDelete", false)},
                    {"interface",
                     iface.empty() ? util::defaultDiskInterface(inst->machineType) : iface}};
                Operation& op =
                    startOperation(P, sc, "attachDisk", instPath, inst->id, email,
                                   scaledMs("instance.attachDisk"), "attach", args, now);
                return replyOp(op.path());
            }
            if (r.size() == 5 && r[4] == "detachDisk" && m == "POST") {
                std::string device = req.get_param_value("deviceName");
                if (device.empty()) {
                    return out.error(errors::required("deviceName"));
                }
                bool attached =
                    std::any_of(inst->disks.begin(), inst->disks.end(),
                                [&](const Attachment& a) { return a.deviceName == device; });
                for (const Operation* op : pendingOps("detach")) {
                    if (op->targetPath == instPath &&
                        op->effectArgs.value("deviceName", "") == device) {
                        attached = false;
                    }
                }
                if (!attached) {
                    return out.error(errors::invalid(
                        "deviceName", device,
                        "No attached disk found with device name '" + device + "'."));
                }
                Operation& op = startOperation(P, sc, "detachDisk", instPath, inst->id, email,
                                               scaledMs("instance.detachDisk"), "detach",
                                               Json{{"deviceName", device}}, now);
                return replyOp(op.path());
            }
        }
        return out.error(errors::notFound(rt.path));
    }

    // ---- global/... ----
    if (r[0] == "global" && r.size() >= 2) {
        if (r[1] == "operations" && r.size() == 3 && m == "GET") {
            auto it = world.operations.find(rt.path);
            if (it == world.operations.end()) {
                return out.error(errors::notFound(rt.path));
            }
            return reply(renderOperation(it->second, now));
        }
        if (r[1] == "snapshots" && r.size() == 2 && m == "GET") {
            Json items = Json::array();
            for (const auto& kv : world.snapshots) {
                if (kv.second.project == P) {
                    items.push_back(renderSnapshot(kv.second, now));
                }
            }
            Json j = {{"kind", "compute#snapshotList"},
                      {"id", "projects/" + P + "/global/snapshots"}};
            if (!items.empty()) {
                j["items"] = items;
            }
            j["selfLink"] = url("projects/" + P + "/global/snapshots");
            return reply(j);
        }
        if (r[1] == "snapshots" && r.size() == 2 && m == "POST") {
            std::string src = str(rt.body, "sourceDisk");
            if (src.empty()) {
                return out.error(errors::required("resource.sourceDisk"));
            }
            std::string dp = util::refToPath(src, P);
            auto dit = world.disks.find(dp);
            if (dp.empty() || dit == world.disks.end()) {
                return out.error(errors::notFound(dp.empty() ? src : dp));
            }
            return snapshotDisk(dit->second, rt.body.value("guestFlush", false), true);
        }
        if (r[1] == "snapshots" && r.size() == 3 && (m == "GET" || m == "DELETE")) {
            Snapshot* s = findSnapshot(r[2]);
            if (s == nullptr) {
                return out.error(errors::notFound(rt.path));
            }
            if (m == "GET") {
                return reply(renderSnapshot(*s, now));
            }
            if (snapshotStatus(*s, now) != "READY") {
                return out.error(errors::notReady(s->path()));
            }
            s->deleting = true;
            Operation& op =
                startOperation(P, Scope{}, "delete", s->path(), s->id, email,
                               scaledMs("snapshot.delete"), "snapshotDelete", Json::object(), now);
            return replyOp(op.path());
        }
    }
    out.error(errors::notFound(rt.path));
}

void Emulator::Impl::waitOperation(const std::string& opPath, Reply& out) {
    int64_t deadline = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu);
            int64_t now = util::nowMs();
            if (deadline == 0) {
                // Compute Engine answers after about two minutes at most; scaled, and never
                // longer than 30 s of real time so that a test cannot hang on it.
                deadline = now + std::min<int64_t>(scaledMs("operation.wait"), 30000);
            }
            advance(now);
            auto it = world.operations.find(opPath);
            if (it == world.operations.end()) {
                out.error(errors::notFound(opPath));
                return;
            }
            if (operationStatus(it->second, now) == "DONE" || now >= deadline) {
                out.body = renderOperation(it->second, now);
                saveIfChangedLocked();
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace gce
