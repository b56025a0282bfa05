// The steps of a revert: detach, safe-point snapshot, delete, create from a
// snapshot and attach, plus the queries the undo relies on (new disk id,
// attachment, existence).
#include <cstdint>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "gcp/revert_common.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace DuVavaZid {

namespace {

constexpr int kBackupJobIdProperty = 13;
const char* const kSafePointDescription =
    "Safe-point snapshot created by snap revert job [%ld] for snap backup job [%d] at time [%s] "
    "from host [%s]";
const char* const kTimeFormat = "%F %T %z";

std::string safePointSnapUrl(const GcpObject* o) {
    return "https://" + bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX + o->ProjectId +
           "/global/snapshots/" + o->SafePointSnapName;
}

std::string diskLocationPath(const GcpObject* o) {
    return o->RegionalDisk ? "/regions/" + o->GCPDeviceRegion : "/zones/" + o->GCPDeviceZone;
}

// ---- Bodies (serialised by the JSON model, so every value is escaped) ----

int buildJSONForCreateSafePointSnapReq(GcpObject* o, GcpCtx* c) {
    int backupJobId = 0;
    if (o->snapInfo->getIntProperty(kBackupJobIdProperty, &backupJobId) != 0) {
        return c->fail(GCP_ERR_HOST_ITEM,
                       "Failed to get snap job id for snap [" + o->SnapUuid + "]", logfmt::kStep);
    }
    int64_t created = o->CreationTime;
    std::string when = getFormattedDateTimeStr(created, kTimeFormat);
    std::string description =
        HostStr::Format(kSafePointDescription, static_cast<long>(c->JobId), backupJobId,
                        when.c_str(), HostDebug::getHostName().c_str());
    jsonxx::Object labels;
    labels.set("data-protection-vendor-bx", std::string("taldrix"));
    labels.set("data-protection-feature-bx", std::string("framelock"));
    labels.raw()["snap-backup-job-bx"] = static_cast<int64_t>(backupJobId);
    labels.raw()["snap-revert-job-bx"] = static_cast<int64_t>(c->JobId);
    labels.set("snap-name-bx", o->SafePointSnapName);
    jsonxx::Object body;
    body.set("name", o->SafePointSnapName);
    body.set("labels", labels);
    body.set("description", description);
    c->session().restRequest = body.json();
    return 0;
}

void buildDiskBody(GcpUtils& u, GcpObject* o, const std::string& sourceSnapshot, bool withLabels) {
    jsonxx::Object body;
    body.set("name", o->GCPDeviceName);
    body.set("sourceSnapshot", HostStr::Format("projects/%s/global/snapshots/%s",
                                               o->ProjectId.c_str(), sourceSnapshot.c_str()));
    if (o->RegionalDisk) {
        body.set("type",
                 HostStr::Format("projects/%s/regions/%s/diskTypes/%s", o->ProjectId.c_str(),
                                 o->GCPDeviceRegion.c_str(), o->GCPDeviceType.c_str()));
        body.set("region", o->GCPDeviceRegion);
        jsonxx::Array zones;
        for (const auto& zone : o->DiskReplicaZones) {
            zones.append(u.ctx->zoneUrlMap[zone]);
        }
        body.set("replicaZones", zones);
    } else {
        body.set("type", HostStr::Format("projects/%s/zones/%s/diskTypes/%s", o->ProjectId.c_str(),
                                         o->GCPDeviceZone.c_str(), o->GCPDeviceType.c_str()));
    }
    if (withLabels) {
        body.set("labels", o->DiskLabels);
    }
    if (!o->DiskKmsKeyName.empty()) {
        jsonxx::Object key;
        key.set("kmsKeyName", o->DiskKmsKeyName);
        body.set("diskEncryptionKey", key);
    }
    if (!o->DiskResourcePolicies.empty()) {
        jsonxx::Array policies;
        for (const auto& policy : o->DiskResourcePolicies) {
            policies.append(policy);
        }
        body.set("resourcePolicies", policies);
    }
    if (!o->DiskDescription.empty()) {
        body.set("description", o->DiskDescription);
    }
    u.ctx->session().restRequest = body.json();
}

// ---- The id of a disk made again ----

int rest_getDiskIdByURL(GcpUtils& u, GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    u.rest_resetCtx();
    c->log(2, "GCP Getting disk [%s] details...", o->GCPDeviceName.c_str());
    BXSnapRESTAPI_Gcp* client = c->session().restClient.get();
    if (client) {
        client->setBasePath(rec.targetLink);
    }
    int rc = 0;
    const std::string head = "Failed to get details for GCP device [" + o->GCPDeviceName + "]";
    if (!u.restGet("", client)) {
        rc = u.failRequest(o, GCP_ERR_GCP,
                           "Failed to get details of GCP device [" + o->GCPDeviceName + "].");
    } else {
        jsonxx::Object response;
        GcpUtils::Fields values;
        if (!response.parse(c->session().restResponse)) {
            rc = c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", logfmt::kStep);
        } else if (u.readFields(response, "name,id,type", values, head + " with error - ") != 0) {
            rc = GCP_ERR_RESPONSE;
        } else if (values["name"] != o->GCPDeviceName) {
            rc = u.failMismatch(GCP_ERR_RESPONSE,
                                head + " - wrong GCP device name [" + values["name"] +
                                    "] returned - expected value [" + o->GCPDeviceName + "]");
        } else if (values["id"].empty()) {
            rc = u.failMismatch(GCP_ERR_RESPONSE,
                                head + " - GCP device id returned [" + values["id"] + "] is empty");
        } else {
            o->GCPDeviceId = values["id"];
            c->log(0, "GCP >> New GCP device id [%s]", o->GCPDeviceId.c_str());
        }
    }
    if (client) {
        client->setBasePath(bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX);
    }
    c->log(3, "GCP Getting disk [%s] details... done", o->GCPDeviceName.c_str());
    return rc;
}

// After a disk was created and is READY: its new id into the object and the metadata.
int readNewDiskId(GcpUtils& u, GcpObject* o, GcpReqOpInfo& rec) {
    int rc = rest_getDiskIdByURL(u, o, u.ctx, rec);
    if (rc != 0) {
        return rc;
    }
    return u.ctx->updateSnapMetadataWithGcpDeviceId(o);
}

GcpStep createDiskStep(GcpUtils& u, GcpObject* o, bool fromSafePoint) {
    GcpStep step;
    step.record = u.revertRecord(o, "disk-create");
    const std::string source = fromSafePoint ? o->SafePointSnapName : o->SnapUuid;
    // The disk made again is the user's disk: its labels come back with it.
    step.request.body = [&u, o, source] {
        buildDiskBody(u, o, source, true);
        return 0;
    };
    step.request.sourceAccount = true;
    step.request.path = o->ProjectId + diskLocationPath(o) + "/disks/";
    step.request.failure = "Failed to create disk of snapshot [" + o->SnapUuid + "].";
    step.waitResource = true;
    step.after = [&u, o](GcpReqOpInfo& rec) { return readNewDiskId(u, o, rec); };
    if (fromSafePoint) {
        step.request.started = "GCP >> Initiated request for disk creation for snapshot [" +
                               o->SnapTag + "] successfully";
        step.begin = "GCP Creating disk [" + o->GCPDeviceName + "] from safe-point snapshot [" +
                     source + "]...";
        step.done =
            "Created disk [" + o->GCPDeviceName + "] from safe-point snapshot [" + source + "]";
    } else {
        step.request.started = "GCP >> Initiated request for clone creation for snapshot [" +
                               o->SnapTag + "] successfully";
        step.begin =
            "GCP Creating disk [" + o->GCPDeviceName + "] from snapshot [" + source + "]...";
        step.request.begin = step.begin;
        step.done = "Created disk [" + o->GCPDeviceName + "] from snap [" + source + "]";
    }
    return step;
}

}  // namespace

GcpReqOpInfo GcpUtils::revertRecord(const GcpObject* o, const char* type) const {
    const bool snapshot = std::string(type) == "snapshot-create";
    return opRecord(type, snapshot ? GCP_ENTITY_SNAPSHOT : GCP_ENTITY_DEVICE,
                    snapshot ? o->SafePointSnapName : o->GCPDeviceName);
}

// ---- Steps ----

GcpStep GcpUtils::detachDiskStep(GcpObject* o) {
    GcpCtx* c = ctx;
    GcpStep step;
    step.record = revertRecord(o, "disk-detach");
    step.request.sourceAccount = true;
    step.request.body = [c, o] {
        return o->GcpOSDevName.empty()
                   ? c->fail(GCP_ERR_INTERNAL,
                             "OS device name for Gcp device [" + o->GCPDeviceName + "] is empty.",
                             logfmt::kStep)
                   : 0;
    };
    step.request.path = ownInstancePath(false, o->GcpOSDevName);
    step.request.failure = "Failed to detach disk with device name [" + o->GcpOSDevName +
                           "] from instance [" + c->instanceName + "].";
    step.request.started = "GCP >> Initiated detach request for disk with device name [" +
                           o->GcpOSDevName + "] successfully";
    const std::string what =
        "disk [" + o->GCPDeviceName + "] from instance [" + c->instanceName + "]";
    step.begin = "GCP Detaching " + what + "...";
    step.done = "Detached " + what;
    step.doneTrace = "GCP Detaching " + what + "... - done";
    return step;
}

GcpStep GcpUtils::safePointStep(GcpObject* o) {
    GcpStep step;
    step.record = revertRecord(o, "snapshot-create");
    step.request.body = [this, o] { return buildJSONForCreateSafePointSnapReq(o, ctx); };
    step.request.path =
        ctx->projectId + diskLocationPath(o) + "/disks/" + o->GCPDeviceName + "/createSnapshot/";
    step.request.sourceAccount = true;
    step.request.failure = "Failed to create safe-point snapshot [" + o->SafePointSnapName + "].";
    const std::string what =
        "safe-point snapshot [" + o->SafePointSnapName + "] of disk [" + o->GCPDeviceName + "]";
    step.request.started = "GCP >> Initiated create request for safe-point snapshot [" +
                           o->SafePointSnapName + "] for disk [" + o->GCPDeviceName +
                           "] successfully";
    // The Operation's target is the disk; the snapshot itself must be READY.
    step.after = [this, o](GcpReqOpInfo& rec) {
        rec.targetLink = safePointSnapUrl(o);
        return monitorResourceStatus(o, ctx, rec, true);
    };
    step.begin = "GCP Creating " + what + "...";
    step.done = "GCP >> Created " + what + " successfully";
    step.doneTrace = "GCP Creating " + what + "... done";
    return step;
}

GcpStep GcpUtils::deleteDiskStep(GcpObject* o) {
    GcpStep step;
    step.record = revertRecord(o, "disk-delete");
    step.request.post = false;
    step.request.sourceAccount = true;
    step.request.path = o->ProjectId + diskLocationPath(o) + "/disks/" + o->GCPDeviceName;
    step.request.failure = "Failed to delete disk [" + o->GCPDeviceName + "].";
    step.request.begin = "GCP Deleting disk [" + o->GCPDeviceName + "]...";
    step.request.started =
        "GCP >> Initiated delete request for disk [" + o->GCPDeviceName + "] successfully";
    step.begin = step.request.begin;
    step.done = "Deleted disk [" + o->GCPDeviceName + "]";
    step.doneTrace = "GCP Deleting disk [" + o->GCPDeviceName + "]... done";
    return step;
}

GcpStep GcpUtils::diskFromSnapshotStep(GcpObject* o) {
    return createDiskStep(*this, o, false);
}

GcpStep GcpUtils::diskFromSafePointStep(GcpObject* o) {
    return createDiskStep(*this, o, true);
}

GcpStep GcpUtils::attachDiskStep(GcpObject* o) {
    GcpStep step;
    step.record = revertRecord(o, "disk-attach");
    step.request.body = [this, o] {
        ctx->session().restRequest = attachBody(o->SourceDiskUrl, o->GcpOSDevName);
        return 0;
    };
    step.request.sourceAccount = true;
    step.request.path = ownInstancePath(true, "");
    const std::string what =
        "disk [" + o->GCPDeviceName + "] to instance [" + ctx->instanceName + "]";
    step.request.failure = "Failed to attach " + what + ".";
    step.request.started = "GCP >> Initiated attach request for disk [" + o->GCPDeviceName +
                           "] of snapshot [" + o->SnapTag + "] successfully";
    step.begin = "GCP Attaching " + what + "...";
    step.done = "GCP Attached " + what;
    step.doneTrace = "GCP Attaching " + what + "... done";
    return step;
}

GcpStep GcpUtils::deleteSafePointStep(GcpObject* o) {
    GcpStep step;
    step.record = opRecord("snapshot-delete", GCP_ENTITY_SNAPSHOT, o->SafePointSnapName);
    step.request.post = false;
    step.request.sourceAccount = true;
    step.request.path = o->ProjectId + "/global/snapshots/" + o->SafePointSnapName;
    step.request.failure = "Failed to delete safe-point snapshot [" + o->SafePointSnapName + "].";
    step.request.started = "GCP >> Initiated delete request for safe-point snapshot [" +
                           o->SafePointSnapName + "] successfully";
    step.done = "GCP Deleted safe-point snapshot [" + o->SafePointSnapName + "] of disk [" +
                o->GCPDeviceName + "] successfully";
    return step;
}

// ---- Queries ----

int GcpUtils::rest_getDiskAttachStatus(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec, bool& attached) {
    c->log(2, "GCP Getting disk attach status for disk [%s]...", rec.entityName.c_str());
    int rc = getMNInstanceDetails();
    if (rc != 0) {
        return rc;
    }
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        return c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", logfmt::kStep);
    }
    if (!response.has<jsonxx::Array>("disks")) {
        return c->fail(GCP_ERR_RESPONSE, "Disks entity in response is empty", logfmt::kText);
    }
    jsonxx::Array disks = response.get<jsonxx::Array>("disks");
    bool matched = false;
    for (size_t i = 0; i < disks.size() && !matched; ++i) {
        std::string source;
        bool isContainer = false;
        if (getValueFromJSONObject("source", disks.get<jsonxx::Object>(i), source, isContainer) !=
            0) {
            return failResponse(
                "Failed to get disk attach status for disk [" + rec.entityName + "]. ",
                logfmt::kStep);
        }
        if (strCompare(source, o->SourceDiskUrl, true)) {
            attached = true;
            matched = true;
            c->log(0, "GCP Disk [%s] is already attached", rec.entityName.c_str());
        }
    }
    if (!matched) {
        c->log(0, "GCP Disk [%s] is not attached", rec.entityName.c_str());
    }
    c->log(3, "GCP Getting disk attach status for disk [%s]... done", rec.entityName.c_str());
    return 0;
}

int GcpUtils::rest_checkWhetherDiskExists(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec,
                                          bool& exists) {
    c->log(2, "GCP Checking whether disk [%s] exists...", rec.entityName.c_str());
    std::string location =
        o->RegionalDisk ? "/regions/" + o->GCPDeviceRegion : "/zones/" + c->instanceZone;
    if (restGet(c->projectId + location + "/disks/" + o->GCPDeviceName)) {
        exists = true;
        c->log(0, "GCP Disk [%s] found", o->GCPDeviceName.c_str());
        c->log(3, "GCP Checking whether disk [%s] exists... done", rec.entityName.c_str());
        return 0;
    }
    if (answeredNotFound(o, c->session().restClient.get())) {
        exists = false;
        c->log(0, "GCP Disk [%s] not found", o->GCPDeviceName.c_str());
        return 0;
    }
    return failRequest(o, GCP_ERR_GCP, "Failed to get details of disk [" + o->GCPDeviceName + "].");
}

}  // namespace DuVavaZid
