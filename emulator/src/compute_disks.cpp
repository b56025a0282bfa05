// Compute Engine API v1: disk types, zonal and regional disks (regionDisks.* share these
// handlers) and global snapshots. compute_api.cpp routes the requests here.
#include <algorithm>

#include "impl.h"
#include "util.h"

namespace gce {

namespace {

using errors::ApiError;

const char* kDiskTypes[] = {"pd-standard",      "pd-balanced",        "pd-ssd",
                            "pd-extreme",       "hyperdisk-balanced", "hyperdisk-throughput",
                            "hyperdisk-extreme"};

bool knownDiskType(const std::string& type) {
    return std::find(std::begin(kDiskTypes), std::end(kDiskTypes), type) != std::end(kDiskTypes);
}

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

ApiError invalidName(const std::string& field, const std::string& name) {
    return errors::invalid(field, name,
                           "Must be a match of regex '[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?'");
}

}  // namespace

// ---- disk types ----

void Emulator::Impl::diskTypesGet(ComputeCall& c, Reply& out) {
    const std::string& type = c.arg("diskType");
    if (!knownDiskType(type)) {
        return out.error(errors::notFound(c.path));
    }
    out.body = Json{{"kind", "compute#diskType"},
                    {"name", type},
                    {"description", type},
                    {"validDiskSize", "10GB-65536GB"},
                    {"defaultDiskSizeGb", "100"},
                    {c.scope.kind == Scope::Zone ? "zone" : "region", url(c.scopePath)},
                    {"selfLink", url(c.path)}};
}

// ---- disks ----

void Emulator::Impl::disksList(ComputeCall& c, Reply& out) {
    Json items = Json::array();
    for (const auto& kv : world.disks) {
        if (kv.second.project == c.project && kv.second.scope.path() == c.scope.path()) {
            items.push_back(renderDisk(kv.second, c.now));
        }
    }
    Json j = {{"kind", "compute#diskList"}, {"id", c.scopePath + "/disks"}};
    if (!items.empty()) {
        j["items"] = items;
    }
    j["selfLink"] = url(c.scopePath + "/disks");
    out.body = j;
}

void Emulator::Impl::disksInsert(ComputeCall& c, Reply& out) {
    const std::string& P = c.project;
    const Scope& sc = c.scope;
    const Json& body = c.body;
    Disk d;
    d.project = P;
    d.scope = sc;
    d.name = jsonString(body, "name");
    if (d.name.empty()) {
        return out.error(errors::required("resource.name"));
    }
    if (!util::validName(d.name)) {
        return out.error(invalidName("resource.name", d.name));
    }
    if (world.disks.count(d.path())) {
        return out.error(errors::alreadyExists(d.path()));
    }
    ApiError err;
    if (!readLabels(body, &d.labels, &err)) {
        return out.error(err);
    }
    d.description = jsonString(body, "description");
    std::string type = jsonString(body, "type");
    if (!type.empty()) {
        d.type = util::lastSegment(type);
        if (!knownDiskType(d.type)) {
            return out.error(errors::invalid(
                "resource.type", type,
                "Disk type '" + d.type + "' does not exist in '" + c.scopePath + "'."));
        }
    }
    std::string region = jsonString(body, "region");
    if (sc.kind == Scope::Region && !region.empty() && util::lastSegment(region) != sc.name) {
        return out.error(
            errors::invalid("resource.region", region, "Region must match the request's region."));
    }
    if (body.contains("replicaZones")) {
        if (!body["replicaZones"].is_array()) {
            return out.error(errors::invalid("resource.replicaZones", body["replicaZones"].dump(),
                                             "Must be a list of zones."));
        }
        for (const auto& z : body["replicaZones"]) {
            std::string zn = z.is_string() ? util::lastSegment(z.get<std::string>()) : "";
            auto zit = world.zones.find(P + "/" + zn);
            if (zn.empty() || zit == world.zones.end() ||
                (sc.kind == Scope::Region && zit->second.region != sc.name)) {
                return out.error(errors::invalid(
                    "resource.replicaZones", z.is_string() ? z.get<std::string>() : z.dump(),
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
    if (body.contains("resourcePolicies")) {
        const Json& policies = body["resourcePolicies"];
        for (const auto& p : policies.is_array() ? policies : Json::array({nullptr})) {
            std::string text = p.is_string() ? p.get<std::string>() : "";
            size_t at = text.find("projects/");
            if (at == std::string::npos || text.find("/resourcePolicies/") == std::string::npos) {
                return out.error(errors::invalid("resource.resourcePolicies",
                                                 p.is_string() ? text : p.dump(),
                                                 "Invalid resource policy."));
            }
            d.resourcePolicies.push_back(text.substr(at));
        }
    }
    if (body.contains("diskEncryptionKey")) {
        const Json& k = body["diskEncryptionKey"];
        d.kmsKeyName = k.is_object() ? jsonString(k, "kmsKeyName") : "";
        if (d.kmsKeyName.empty()) {
            return out.error(errors::invalid("resource.diskEncryptionKey", k.dump(),
                                             "A kmsKeyName is required."));
        }
    }
    int64_t size = 0;
    if (!readSize(body, "sizeGb", &size, &err)) {
        return out.error(err);
    }
    std::string src = jsonString(body, "sourceSnapshot");
    if (!src.empty()) {
        std::string sp = util::refToPath(src, P);
        if (sp.empty()) {
            sp = "projects/" + P + "/global/snapshots/" + src;
        }
        auto sit = world.snapshots.find(sp);
        if (sit == world.snapshots.end()) {
            return out.error(errors::notFound(sp));
        }
        if (snapshotStatus(sit->second, c.now) != "READY") {
            return out.error(errors::notReady(sp));
        }
        d.sourceSnapshotPath = sp;
        d.sourceSnapshotId = sit->second.id;
        if (size != 0 && size < sit->second.diskSizeGb) {
            return out.error(
                errors::invalid("resource.sizeGb", std::to_string(size),
                                "Requested disk size cannot be smaller than the snapshot size (" +
                                    std::to_string(sit->second.diskSizeGb) + " GB)."));
        }
        d.sizeGb = size != 0 ? size : sit->second.diskSizeGb;
    } else {
        d.sizeGb = size != 0 ? size : 10;
    }
    d.id = util::newId(world);
    d.createdMs = c.now;
    int64_t run = scaledMs("disk.insert");
    d.readyMs = c.now + scaledMs("operation.pending") + run;
    std::string path = d.path();
    std::string id = d.id;
    world.disks[path] = d;
    Operation& op =
        startOperation(P, sc, "insert", path, id, c.email, run, "diskReady", Json::object(), c.now);
    replyOperationLocked(op.path(), c.now, out);
}

void Emulator::Impl::disksGet(ComputeCall& c, Reply& out) {
    Disk* d = findDiskLocked(c.project, c.scope, c.arg("disk"));
    if (d == nullptr) {
        return out.error(errors::notFound(c.path));
    }
    out.body = renderDisk(*d, c.now);
}

void Emulator::Impl::disksDelete(ComputeCall& c, Reply& out) {
    Disk* d = findDiskLocked(c.project, c.scope, c.arg("disk"));
    if (d == nullptr) {
        return out.error(errors::notFound(c.path));
    }
    if (!d->users.empty()) {
        return out.error(errors::inUse(d->path(), d->users.front()));
    }
    for (const Operation* op : pendingOperationsLocked("attach")) {
        if (op->effectArgs.value("disk", "") == d->path()) {
            return out.error(errors::inUse(d->path(), op->targetPath));
        }
    }
    if (diskStatus(*d, c.now) != "READY") {
        return out.error(errors::notReady(d->path()));
    }
    d->deleting = true;
    Operation& op = startOperation(c.project, c.scope, "delete", d->path(), d->id, c.email,
                                   scaledMs("disk.delete"), "diskDelete", Json::object(), c.now);
    replyOperationLocked(op.path(), c.now, out);
}

void Emulator::Impl::disksCreateSnapshot(ComputeCall& c, Reply& out) {
    Disk* d = findDiskLocked(c.project, c.scope, c.arg("disk"));
    if (d == nullptr) {
        return out.error(errors::notFound(c.scopePath + "/disks/" + c.arg("disk")));
    }
    snapshotDiskLocked(c, *d, c.req.get_param_value("guestFlush") == "true", false, out);
}

// ---- snapshots ----

void Emulator::Impl::snapshotDiskLocked(ComputeCall& c, Disk& disk, bool guestFlush,
                                        bool globalInsert, Reply& out) {
    const std::string& P = c.project;
    const Json& body = c.body;
    std::string name = jsonString(body, "name");
    if (name.empty()) {
        return out.error(errors::required("resource.name"));
    }
    if (!util::validName(name)) {
        return out.error(invalidName("resource.name", name));
    }
    std::string status = diskStatus(disk, c.now);
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
    if (!readLabels(body, &s.labels, &err)) {
        return out.error(err);
    }
    s.id = util::newId(world);
    s.description = jsonString(body, "description");
    if (body.contains("storageLocations") && body["storageLocations"].is_array() &&
        !body["storageLocations"].empty() && body["storageLocations"][0].is_string()) {
        s.storageLocation = body["storageLocations"][0].get<std::string>();
    }
    s.sourceDiskPath = disk.path();
    s.sourceDiskId = disk.id;
    s.diskSizeGb = disk.sizeGb;
    s.guestFlush = guestFlush;
    s.createdMs = c.now;
    int64_t start = c.now + scaledMs("operation.pending");
    s.uploadingMs = start + scaledMs("snapshot.create");
    s.readyMs = s.uploadingMs + scaledMs("snapshot.upload");
    bool flushFails = guestFlush && world.guestFlushFailures.count(disk.path());
    int64_t run = (flushFails ? s.uploadingMs : s.readyMs) - start;
    std::string snapPath = s.path();
    std::string snapId = s.id;
    world.snapshots[snapPath] = s;
    Operation& op =
        globalInsert
            ? startOperation(P, Scope{}, "insert", snapPath, snapId, c.email, run, "snapshotReady",
                             Json{{"snapshot", snapPath}}, c.now)
            : startOperation(P, disk.scope, "createSnapshot", disk.path(), disk.id, c.email, run,
                             "snapshotReady", Json{{"snapshot", snapPath}}, c.now);
    if (flushFails && !op.failed) {
        op.failed = true;
        op.error = {400, "GUEST_FLUSH_FAILED",
                    "Guest flush failed for disk '" + disk.path() +
                        "': the guest environment could not quiesce the file systems. "
                        "Retry without guestFlush."};
    }
    replyOperationLocked(op.path(), c.now, out);
}

void Emulator::Impl::snapshotsList(ComputeCall& c, Reply& out) {
    const std::string& P = c.project;
    Json items = Json::array();
    for (const auto& kv : world.snapshots) {
        if (kv.second.project == P) {
            items.push_back(renderSnapshot(kv.second, c.now));
        }
    }
    Json j = {{"kind", "compute#snapshotList"}, {"id", "projects/" + P + "/global/snapshots"}};
    if (!items.empty()) {
        j["items"] = items;
    }
    j["selfLink"] = url("projects/" + P + "/global/snapshots");
    out.body = j;
}

void Emulator::Impl::snapshotsInsert(ComputeCall& c, Reply& out) {
    std::string src = jsonString(c.body, "sourceDisk");
    if (src.empty()) {
        return out.error(errors::required("resource.sourceDisk"));
    }
    std::string dp = util::refToPath(src, c.project);
    auto dit = world.disks.find(dp);
    if (dp.empty() || dit == world.disks.end()) {
        return out.error(errors::notFound(dp.empty() ? src : dp));
    }
    snapshotDiskLocked(c, dit->second, c.body.value("guestFlush", false), true, out);
}

void Emulator::Impl::snapshotsGet(ComputeCall& c, Reply& out) {
    Snapshot* s = findSnapshotLocked(c.project, c.arg("snapshot"));
    if (s == nullptr) {
        return out.error(errors::notFound(c.path));
    }
    out.body = renderSnapshot(*s, c.now);
}

void Emulator::Impl::snapshotsDelete(ComputeCall& c, Reply& out) {
    Snapshot* s = findSnapshotLocked(c.project, c.arg("snapshot"));
    if (s == nullptr) {
        return out.error(errors::notFound(c.path));
    }
    if (snapshotStatus(*s, c.now) != "READY") {
        return out.error(errors::notReady(s->path()));
    }
    s->deleting = true;
    Operation& op =
        startOperation(c.project, Scope{}, "delete", s->path(), s->id, c.email,
                       scaledMs("snapshot.delete"), "snapshotDelete", Json::object(), c.now);
    replyOperationLocked(op.path(), c.now, out);
}

}  // namespace gce
