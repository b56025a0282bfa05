// Compute Engine API v1: instances, and the disks they attach and detach. compute_api.cpp
// routes the requests here once it has found the instance (c.instance, by name or id).
#include <algorithm>

#include "impl.h"
#include "util.h"

namespace gce {

void Emulator::Impl::instancesGet(ComputeCall& c, Reply& out) {
    out.body = renderInstance(*c.instance);
}

void Emulator::Impl::instancesAttachDisk(ComputeCall& c, Reply& out) {
    Instance* inst = c.instance;
    const std::string& instPath = c.instancePath;
    std::string source = jsonString(c.body, "source");
    if (source.empty()) {
        return out.error(errors::required("resource.source"));
    }
    std::string dp = util::refToPath(source, c.project);
    if (dp.empty()) {
        dp = c.scopePath + "/disks/" + source;
    }
    auto dit = world.disks.find(dp);
    if (dit == world.disks.end()) {
        return out.error(errors::notFound(dp));
    }
    Disk& disk = dit->second;
    if (diskStatus(disk, c.now) != "READY") {
        return out.error(errors::notReady(dp));
    }
    bool sameZone = disk.scope.kind == Scope::Zone
                        ? disk.scope.name == inst->zone
                        : std::find(disk.replicaZones.begin(), disk.replicaZones.end(),
                                    inst->zone) != disk.replicaZones.end();
    if (!sameZone) {
        return out.error(
            errors::invalid("resource.source", source, "The disk must be in the instance's zone."));
    }
    std::string mode = jsonString(c.body, "mode");
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
    for (const auto& a : inst->disks) {
        taken.push_back(a.deviceName);
    }
    for (const Operation* op : pendingOperationsLocked("attach")) {
        if (op->effectArgs.value("disk", "") == dp) {
            return out.error(errors::inUse(dp, op->targetPath));
        }
        if (op->targetPath == instPath) {
            taken.push_back(op->effectArgs.value("deviceName", ""));
        }
    }
    std::string device = jsonString(c.body, "deviceName");
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
    std::string iface = jsonString(c.body, "interface");
    Json args = {
        {"disk", dp},
        {"deviceName", device},
        {"mode", mode},
        {"boot", c.body.value("boot", false)},
        {"autoDelete", c.body.value("autoDelete", false)},
        {"interface", iface.empty() ? util::defaultDiskInterface(inst->machineType) : iface}};
    Operation& op = startOperation(c.project, c.scope, "attachDisk", instPath, inst->id, c.email,
                                   scaledMs("instance.attachDisk"), "attach", args, c.now);
    replyOperationLocked(op.path(), c.now, out);
}

void Emulator::Impl::instancesDetachDisk(ComputeCall& c, Reply& out) {
    Instance* inst = c.instance;
    const std::string& instPath = c.instancePath;
    std::string device = c.req.get_param_value("deviceName");
    if (device.empty()) {
        return out.error(errors::required("deviceName"));
    }
    bool attached = std::any_of(inst->disks.begin(), inst->disks.end(),
                                [&](const Attachment& a) { return a.deviceName == device; });
    for (const Operation* op : pendingOperationsLocked("detach")) {
        if (op->targetPath == instPath && op->effectArgs.value("deviceName", "") == device) {
            attached = false;
        }
    }
    if (!attached) {
        return out.error(errors::invalid(
            "deviceName", device, "No attached disk found with device name '" + device + "'."));
    }
    Operation& op = startOperation(c.project, c.scope, "detachDisk", instPath, inst->id, c.email,
                                   scaledMs("instance.detachDisk"), "detach",
                                   Json{{"deviceName", device}}, c.now);
    replyOperationLocked(op.path(), c.now, out);
}

}  // namespace gce
