// Resources rendered as Compute Engine returns them: kind, string ids, one URL form per
// resource (the emulator's own base) everywhere that resource is named.
#include "errors.h"
#include "impl.h"
#include "util.h"

namespace gce {

Json Emulator::Impl::renderDisk(const Disk& d, int64_t now) const {
    std::string loc = "projects/" + d.project + "/" + d.scope.path();
    Json j;
    j["kind"] = "compute#disk";
    j["id"] = d.id;
    j["creationTimestamp"] = util::rfc3339(d.createdMs);
    j["name"] = d.name;
    if (!d.description.empty()) {
        j["description"] = d.description;
    }
    j["sizeGb"] = std::to_string(d.sizeGb);
    if (d.scope.kind == Scope::Zone) {
        j["zone"] = url(loc);
    } else {
        j["region"] = url(loc);
    }
    j["status"] = diskStatus(d, now);
    if (!d.sourceSnapshotPath.empty()) {
        j["sourceSnapshot"] = url(d.sourceSnapshotPath);
        j["sourceSnapshotId"] = d.sourceSnapshotId;
    }
    j["selfLink"] = url(d.path());
    j["type"] = url(loc + "/diskTypes/" + d.type);
    if (!d.labels.empty()) {
        j["labels"] = d.labels;
    }
    j["labelFingerprint"] = util::labelFingerprint(d.labels);
    if (!d.users.empty()) {
        Json users = Json::array();
        for (const auto& u : d.users) {
            users.push_back(url(u));
        }
        j["users"] = users;
    }
    if (d.scope.kind == Scope::Region) {
        Json zones = Json::array();
        for (const auto& z : d.replicaZones) {
            zones.push_back(url("projects/" + d.project + "/zones/" + z));
        }
        j["replicaZones"] = zones;
    }
    if (!d.resourcePolicies.empty()) {
        Json policies = Json::array();
        for (const auto& p : d.resourcePolicies) {
            policies.push_back(url(p));
        }
        j["resourcePolicies"] = policies;
    }
    if (!d.kmsKeyName.empty()) {
        j["diskEncryptionKey"] = {{"kmsKeyName", d.kmsKeyName + "/cryptoKeyVersions/1"}};
    }
    j["physicalBlockSizeBytes"] = "4096";
    if (!d.users.empty() || !d.sourceSnapshotPath.empty()) {
        j["lastAttachTimestamp"] = util::rfc3339(d.createdMs);
    }
    j["architecture"] = "X86_64";
    return j;
}

Json Emulator::Impl::renderSnapshot(const Snapshot& s, int64_t now) const {
    Json j;
    j["kind"] = "compute#snapshot";
    j["id"] = s.id;
    j["creationTimestamp"] = util::rfc3339(s.createdMs);
    j["name"] = s.name;
    if (!s.description.empty()) {
        j["description"] = s.description;
    }
    std::string status = snapshotStatus(s, now);
    j["status"] = status;
    j["sourceDisk"] = url(s.sourceDiskPath);
    j["sourceDiskId"] = s.sourceDiskId;
    j["diskSizeGb"] = std::to_string(s.diskSizeGb);
    // Bytes that the snapshot holds; settled once the upload is over.
    int64_t full = s.diskSizeGb * 1024LL * 1024 * 1024 / 16;
    j["storageBytes"] = std::to_string(status == "READY" ? full : 0);
    j["storageBytesStatus"] = status == "READY" ? "UP_TO_DATE" : "UPDATING";
    j["selfLink"] = url(s.path());
    if (!s.labels.empty()) {
        j["labels"] = s.labels;
    }
    j["labelFingerprint"] = util::labelFingerprint(s.labels);
    j["storageLocations"] = Json::array({s.storageLocation});
    j["autoCreated"] = false;
    j["downloadBytes"] = std::to_string(full / 2);
    j["snapshotType"] = "STANDARD";
    j["architecture"] = "X86_64";
    return j;
}

Json Emulator::Impl::renderInstance(const Instance& i) const {
    std::string zoneUrl = url("projects/" + i.project + "/zones/" + i.zone);
    Json j;
    j["kind"] = "compute#instance";
    j["id"] = i.id;
    j["creationTimestamp"] = util::rfc3339(i.createdMs);
    j["name"] = i.name;
    j["tags"] = {{"fingerprint", "42WmSpB8rSM="}};
    j["machineType"] = zoneUrl + "/machineTypes/" + i.machineType;
    j["status"] = i.status;
    j["zone"] = zoneUrl;
    j["canIpForward"] = false;
    Json disks = Json::array();
    for (const Attachment& a : i.disks) {
        Json d;
        d["kind"] = "compute#attachedDisk";
        d["type"] = "PERSISTENT";
        d["mode"] = a.mode;
        d["source"] = url(a.diskPath);
        d["deviceName"] = a.deviceName;
        d["index"] = a.index;
        d["boot"] = a.boot;
        d["autoDelete"] = a.autoDelete;
        d["interface"] = a.interface;
        auto disk = world.disks.find(a.diskPath);
        if (disk != world.disks.end()) {
            d["diskSizeGb"] = std::to_string(disk->second.sizeGb);
        }
        d["architecture"] = "X86_64";
        disks.push_back(d);
    }
    j["disks"] = disks;
    j["metadata"] = {{"kind", "compute#metadata"}, {"fingerprint", "42WmSpB8rSM="}};
    if (!i.serviceAccount.empty()) {
        j["serviceAccounts"] = Json::array({{{"email", i.serviceAccount}, {"scopes", i.scopes}}});
    }
    j["selfLink"] = url("projects/" + i.project + "/zones/" + i.zone + "/instances/" + i.name);
    j["scheduling"] = {
        {"onHostMaintenance", "MIGRATE"}, {"automaticRestart", true}, {"preemptible", false}};
    j["cpuPlatform"] = "Intel Broadwell";
    j["labelFingerprint"] = "42WmSpB8rSM=";
    j["startRestricted"] = false;
    j["deletionProtection"] = false;
    j["fingerprint"] = util::labelFingerprint(Json{{"id", i.id}});
    return j;
}

Json Emulator::Impl::renderOperation(const Operation& op, int64_t now) const {
    std::string status = operationStatus(op, now);
    Json j;
    j["kind"] = "compute#operation";
    j["id"] = op.id;
    j["name"] = op.name;
    if (op.scope.kind == Scope::Zone) {
        j["zone"] = url("projects/" + op.project + "/zones/" + op.scope.name);
    } else if (op.scope.kind == Scope::Region) {
        j["region"] = url("projects/" + op.project + "/regions/" + op.scope.name);
    }
    j["operationType"] = op.type;
    j["targetLink"] = url(op.targetPath);
    j["targetId"] = op.targetId;
    j["status"] = status;
    j["user"] = op.user;
    int progress = 0;
    if (status == "DONE") {
        progress = 100;
    } else if (status == "RUNNING" && op.doneMs > op.startMs) {
        progress = static_cast<int>((now - op.startMs) * 100 / (op.doneMs - op.startMs));
        progress = std::max(0, std::min(99, progress));
    }
    j["progress"] = progress;
    j["insertTime"] = util::rfc3339(op.insertMs);
    if (status != "PENDING") {
        j["startTime"] = util::rfc3339(op.startMs);
    }
    if (status == "DONE") {
        j["endTime"] = util::rfc3339(op.doneMs);
        if (op.failed) {
            j["error"] = {{"errors", Json::array({{{"code", op.error.code},
                                                   {"message", op.error.message}}})}};
            if (op.error.httpStatus > 0) {
                j["httpErrorStatusCode"] = op.error.httpStatus;
                j["httpErrorMessage"] = errors::httpReason(op.error.httpStatus);
            }
        }
    }
    j["selfLink"] = url(op.path());
    return j;
}

Json Emulator::Impl::renderZone(const Zone& z) const {
    Json j;
    j["kind"] = "compute#zone";
    j["id"] = z.id;
    j["creationTimestamp"] = util::rfc3339(0);
    j["name"] = z.name;
    j["description"] = z.name;
    j["status"] = "UP";
    j["region"] = url("projects/" + z.project + "/regions/" + z.region);
    j["selfLink"] = url("projects/" + z.project + "/zones/" + z.name);
    j["availableCpuPlatforms"] = Json::array({"Intel Broadwell", "AMD Milan"});
    j["supportsPzs"] = false;
    return j;
}

Json Emulator::Impl::renderRegion(const Region& r) const {
    Json j;
    j["kind"] = "compute#region";
    j["id"] = r.id;
    j["creationTimestamp"] = util::rfc3339(0);
    j["name"] = r.name;
    j["description"] = r.name;
    j["status"] = "UP";
    Json zones = Json::array();
    for (const auto& kv : world.zones) {
        if (kv.second.project == r.project && kv.second.region == r.name) {
            zones.push_back(url("projects/" + r.project + "/zones/" + kv.second.name));
        }
    }
    j["zones"] = zones;
    j["quotas"] = Json::array();
    j["selfLink"] = url("projects/" + r.project + "/regions/" + r.name);
    j["supportsPzs"] = false;
    return j;
}

bool Emulator::Impl::renderPath(const std::string& ref, int64_t now, Json* out) const {
    std::string path = util::refToPath(ref, "");
    if (path.empty()) {
        return false;
    }
    if (auto d = world.disks.find(path); d != world.disks.end()) {
        *out = renderDisk(d->second, now);
        return true;
    }
    if (auto s = world.snapshots.find(path); s != world.snapshots.end()) {
        *out = renderSnapshot(s->second, now);
        return true;
    }
    if (auto i = world.instances.find(path); i != world.instances.end()) {
        *out = renderInstance(i->second);
        return true;
    }
    if (auto o = world.operations.find(path); o != world.operations.end()) {
        *out = renderOperation(o->second, now);
        return true;
    }
    auto seg = util::splitPath(path);
    if (seg.size() == 4 && seg[2] == "zones") {
        auto z = world.zones.find(seg[1] + "/" + seg[3]);
        if (z != world.zones.end()) {
            *out = renderZone(z->second);
            return true;
        }
    }
    if (seg.size() == 4 && seg[2] == "regions") {
        auto r = world.regions.find(seg[1] + "/" + seg[3]);
        if (r != world.regions.end()) {
            *out = renderRegion(r->second);
            return true;
        }
    }
    return false;
}

}  // namespace gce
