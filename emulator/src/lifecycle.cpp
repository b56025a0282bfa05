// Emulated time: Operations move PENDING -> RUNNING -> DONE, disks CREATING -> READY, snapshots
// CREATING -> UPLOADING -> READY. Nothing ticks in the background: every request first
// advances the world to "now" from the timestamps stored on the resources, which keeps the
// emulator deterministic, cheap, and correct across a restart from a state file.
#include <algorithm>
#include <cmath>

#include "impl.h"
#include "util.h"

namespace gce {

const std::map<std::string, double>& Emulator::Impl::defaultLatencies() {
    static const std::map<std::string, double> d = {
        {"operation.pending", 0.5},   {"disk.insert", 3.0},         {"disk.delete", 2.0},
        {"snapshot.create", 2.0},     {"snapshot.upload", 3.0},     {"snapshot.delete", 2.0},
        {"instance.attachDisk", 2.0}, {"instance.detachDisk", 2.0}, {"api.request", 0.0},
        {"metadata.request", 0.0},    {"operation.wait", 120.0},
    };
    return d;
}

int64_t Emulator::Impl::scaledMs(const std::string& kind) const {
    auto it = latency.find(kind);
    double s = it == latency.end() ? 0.0 : it->second;
    double ms = s * timeScale * 1000.0;
    if (!(ms > 0)) {
        return 0;
    }
    return static_cast<int64_t>(std::llround(ms));
}

Operation& Emulator::Impl::startOperation(const std::string& project, const Scope& scope,
                                          const std::string& type, const std::string& targetPath,
                                          const std::string& targetId, const std::string& user,
                                          int64_t runMs, const std::string& effect, Json args,
                                          int64_t now) {
    Operation op;
    op.project = project;
    op.scope = scope;
    op.name = util::newOperationName(now);
    op.id = util::newId(world);
    op.type = type;
    op.targetPath = targetPath;
    op.targetId = targetId;
    op.user = user;
    op.insertMs = now;
    op.startMs = now + scaledMs("operation.pending");
    op.doneMs = op.startMs + runMs;
    op.effect = effect;
    op.effectArgs = std::move(args);
    OperationError err;
    if (matchOperationFaultLocked(type, targetPath, &err)) {
        op.failed = true;
        op.error = err;
    }
    std::string key = op.path();
    changed = true;
    unappliedOps.insert(key);
    return world.operations[key] = std::move(op);
}

std::string Emulator::Impl::operationStatus(const Operation& op, int64_t now) const {
    if (now < op.startMs) {
        return "PENDING";
    }
    return now < op.doneMs ? "RUNNING" : "DONE";
}

std::string Emulator::Impl::diskStatus(const Disk& d, int64_t now) const {
    if (d.deleting) {
        return "DELETING";
    }
    return now < d.readyMs ? "CREATING" : "READY";
}

std::string Emulator::Impl::snapshotStatus(const Snapshot& s, int64_t now) const {
    if (s.deleting) {
        return "DELETING";
    }
    if (now < s.uploadingMs) {
        return "CREATING";
    }
    return now < s.readyMs ? "UPLOADING" : "READY";
}

void Emulator::Impl::advance(int64_t now) {
    std::vector<Operation*> due;
    for (auto it = unappliedOps.begin(); it != unappliedOps.end();) {
        auto op = world.operations.find(*it);
        if (op == world.operations.end() || op->second.applied) {
            it = unappliedOps.erase(it);
            continue;
        }
        if (op->second.doneMs <= now) {
            due.push_back(&op->second);
            it = unappliedOps.erase(it);
            continue;
        }
        ++it;
    }
    std::sort(due.begin(), due.end(), [](const Operation* a, const Operation* b) {
        return a->doneMs != b->doneMs ? a->doneMs < b->doneMs : a->insertMs < b->insertMs;
    });
    for (Operation* op : due) {
        applyEffect(*op);
        op->applied = true;
        changed = true;
    }
}

namespace {
int lowestFreeIndex(const Instance& inst) {
    for (int i = 0;; ++i) {
        bool used = false;
        for (const Attachment& a : inst.disks) {
            used = used || a.index == i;
        }
        if (!used) {
            return i;
        }
    }
}
}  // namespace

void Emulator::Impl::applyEffect(Operation& op) {
    const Json& a = op.effectArgs;
    auto arg = [&](const char* k) { return a.contains(k) ? a[k].get<std::string>() : ""; };
    if (op.effect == "diskReady") {
        if (op.failed) {
            world.disks.erase(op.targetPath);
        }
    } else if (op.effect == "diskDelete") {
        auto it = world.disks.find(op.targetPath);
        if (it != world.disks.end()) {
            if (op.failed) {
                it->second.deleting = false;
            } else {
                world.disks.erase(it);
            }
        }
    } else if (op.effect == "snapshotReady") {
        if (op.failed) {
            world.snapshots.erase(arg("snapshot"));
        }
    } else if (op.effect == "snapshotDelete") {
        auto it = world.snapshots.find(op.targetPath);
        if (it != world.snapshots.end()) {
            if (op.failed) {
                it->second.deleting = false;
            } else {
                world.snapshots.erase(it);
            }
        }
    } else if (op.effect == "attach" && !op.failed) {
        auto inst = world.instances.find(op.targetPath);
        auto disk = world.disks.find(arg("disk"));
        if (inst == world.instances.end() || disk == world.disks.end()) {
            op.failed = true;
            op.error = {404, "RESOURCE_NOT_FOUND",
                        "The resource '" + arg("disk") + "' was not found"};
            return;
        }
        Attachment at;
        at.diskPath = disk->first;
        at.deviceName = arg("deviceName");
        at.mode = arg("mode");
        at.boot = a.value("boot", false);
        at.autoDelete = a.value("autoDelete", false);
        at.interface = arg("interface");
        at.index = at.boot ? 0 : lowestFreeIndex(inst->second);
        inst->second.disks.push_back(at);
        std::sort(inst->second.disks.begin(), inst->second.disks.end(),
                  [](const Attachment& x, const Attachment& y) { return x.index < y.index; });
        auto& users = disk->second.users;
        if (std::find(users.begin(), users.end(), inst->first) == users.end()) {
            users.push_back(inst->first);
        }
        if (inst->first == world.thisVm) {
            assignScsiLetterLocked(at.deviceName, at.interface == "NVME");
        }
    } else if (op.effect == "detach" && !op.failed) {
        auto inst = world.instances.find(op.targetPath);
        if (inst == world.instances.end()) {
            return;
        }
        auto& disks = inst->second.disks;
        std::string device = arg("deviceName");
        auto at = std::find_if(disks.begin(), disks.end(),
                               [&](const Attachment& x) { return x.deviceName == device; });
        if (at == disks.end()) {
            return;
        }
        std::string diskPath = at->diskPath;
        disks.erase(at);
        bool stillUsed = std::any_of(disks.begin(), disks.end(),
                                     [&](const Attachment& x) { return x.diskPath == diskPath; });
        auto disk = world.disks.find(diskPath);
        if (disk != world.disks.end() && !stillUsed) {
            auto& users = disk->second.users;
            users.erase(std::remove(users.begin(), users.end(), inst->first), users.end());
        }
        if (inst->first == world.thisVm) {
            releaseScsiLetterLocked(device);
        }
    }
}

bool Emulator::Impl::matchOperationFaultLocked(const std::string& type, const std::string& target,
                                               OperationError* err) {
    for (auto it = opFaults.begin(); it != opFaults.end(); ++it) {
        bool typeOk = it->operationType.empty() || it->operationType == type;
        bool targetOk = it->targetPattern.empty() || util::patternMatch(it->targetPattern, target);
        if (typeOk && targetOk) {
            *err = {it->httpStatus, it->errorCode, it->message};
            if (it->count > 0 && --it->count == 0) {
                opFaults.erase(it);
            }
            return true;
        }
    }
    return false;
}

}  // namespace gce
