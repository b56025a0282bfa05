// The single GCP operations of a revert: detach, safe-point snapshot, delete,
// create from a snapshot and attach, each started and followed to its end,
// plus the queries the undo relies on (new disk id, attachment, existence).
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
const char* const kAttachTemplate = "{\t\"source\":\"{1}\",\t\t\t\"deviceName\":\"{2}\"\t\t}";
const char* const kSafePointDescription =
    "Safe-point snapshot created by snap revert job [%ld] for snap backup job [%d] at time [%s] "
    "from host [%s]";
const char* const kTimeFormat = "%F %T %z";

std::string safePointSnapUrl(const GcpObject* o) {
    return "https://" + bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX + o->ProjectId +
           "/global/snapshots/" + o->SafePointSnapName;
}

}  // namespace

void GcpUtils::fillRevertRecord(GcpReqOpInfo& rec, const GcpObject* o, const char* type) const {
    rec.reset();
    rec.operationType = type;
    const bool snapshot = std::string(type) == "snapshot-create";
    rec.entityType = snapshot ? GCP_ENTITY_SNAPSHOT : GCP_ENTITY_DEVICE;
    rec.entityName = snapshot ? o->SafePointSnapName : o->GCPDeviceName;
    rec.maxAttempts = ctx->arrayDetails.arrayConfigs.RetryMaxCount;
    rec.sleepInterval = ctx->arrayDetails.arrayConfigs.RetrySleepInterval;
}

std::string GcpUtils::diskLocationPath(const GcpObject* o) const {
    return o->RegionalDisk ? "/regions/" + o->GCPDeviceRegion : "/zones/" + o->GCPDeviceZone;
}

// Sends the prepared request with the source client; the caller holds the
// lock and has cleared the work strings and built the body.
int GcpUtils::sendRevertRequest(bool post, const std::string& path, GcpReqOpInfo& rec,
                                const std::string& failSentence) {
    ctx->session().restApiPath = path;
    BXSnapRESTAPI_Gcp* client = ctx->session().restClient.get();
    bool sent = client && sendMutating(post, client);
    if (!sent) {
        return failRequest(nullptr, GCP_ERR_GCP, failSentence);
    }
    return processResponseForSnapOpAndTargetLink(ctx, rec);
}

// ---- Request starters ----

int GcpUtils::rest_detachDisk(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    if (o->GcpOSDevName.empty()) {
        return c->fail(GCP_ERR_INTERNAL,
                       "OS device name for Gcp device [" + o->GCPDeviceName + "] is empty.",
                       "GCP %d-%s");
    }
    rest_resetCtx();
    // The device name goes into a query: encoded, so it cannot add parameters.
    std::string path = c->projectId + "/zones/" + c->instanceZone + "/instances/" +
                       c->instanceName + "/detachDisk/" + "?" +
                       "deviceName=" + urlEncode(o->GcpOSDevName);
    int rc = sendRevertRequest(true, path, rec,
                               "Failed to detach disk with device name [" + o->GcpOSDevName +
                                   "] from instance [" + c->instanceName + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated detach request for disk with device name [%s] successfully",
               o->GcpOSDevName.c_str());
    }
    return rc;
}

int GcpUtils::rest_createSafePointSnap(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    int rc = buildJSONForCreateSafePointSnapReq(o, c);
    if (rc != 0) {
        return rc;
    }
    std::string path =
        c->projectId + diskLocationPath(o) + "/disks/" + o->GCPDeviceName + "/createSnapshot/";
    rc = sendRevertRequest(true, path, rec,
                           "Failed to create safe-point snapshot [" + o->SafePointSnapName + "].");
    if (rc == 0) {
        c->log(0,
               "GCP >> Initiated create request for safe-point snapshot [%s] for disk [%s] "
               "successfully",
               o->SafePointSnapName.c_str(), o->GCPDeviceName.c_str());
    }
    return rc;
}

int GcpUtils::rest_deleteSourceDisk(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    c->log(2, "GCP Deleting disk [%s]...", o->GCPDeviceName.c_str());
    std::string path = o->ProjectId + diskLocationPath(o) + "/disks/" + o->GCPDeviceName;
    int rc =
        sendRevertRequest(false, path, rec, "Failed to delete disk [" + o->GCPDeviceName + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated delete request for disk [%s] successfully",
               o->GCPDeviceName.c_str());
    }
    return rc;
}

int GcpUtils::rest_createDiskFromSnap(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    c->log(2, "GCP Creating disk [%s] from snapshot [%s]...", o->GCPDeviceName.c_str(),
           o->SnapUuid.c_str());
    buildJSONForCreateDiskFromSnapReq(o, c);
    std::string path = o->ProjectId + diskLocationPath(o) + "/disks/";
    int rc = sendRevertRequest(true, path, rec,
                               "Failed to create disk of snapshot [" + o->SnapUuid + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated request for clone creation for snapshot [%s] successfully",
               o->SnapTag.c_str());
    }
    return rc;
}

int GcpUtils::rest_attachDisk(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    buildJSONForAttachDiskReq(o, c);
    std::string path = c->projectId + "/zones/" + c->instanceZone + "/instances/" +
                       c->instanceName + "/attachDisk/";
    int rc = sendRevertRequest(
        true, path, rec,
        "Failed to attach disk [" + o->GCPDeviceName + "] to instance [" + c->instanceName + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated attach request for disk [%s] of snapshot [%s] successfully",
               o->GCPDeviceName.c_str(), o->SnapTag.c_str());
    }
    return rc;
}

int GcpUtils::rest_deleteSafePointSnap(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    std::string path = o->ProjectId + "/global/snapshots/" + o->SafePointSnapName;
    int rc = sendRevertRequest(
        false, path, rec, "Failed to delete safe-point snapshot [" + o->SafePointSnapName + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated delete request for safe-point snapshot [%s] successfully",
               o->SafePointSnapName.c_str());
    }
    return rc;
}

int GcpUtils::rest_createDiskFromSafepointSnap(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    buildJSONForCreateDiskFromSafepointSnapReq(o, c);
    std::string path = o->ProjectId + diskLocationPath(o) + "/disks/";
    int rc = sendRevertRequest(true, path, rec,
                               "Failed to create disk of snapshot [" + o->SnapUuid + "].");
    if (rc == 0) {
        c->log(0, "GCP >> Initiated request for disk creation for snapshot [%s] successfully",
               o->SnapTag.c_str());
    }
    return rc;
}

// ---- Bodies (serialised by the JSON model, so every value is escaped) ----

int GcpUtils::buildJSONForCreateSafePointSnapReq(GcpObject* o, GcpCtx* c) {
    int backupJobId = 0;
    if (o->snapInfo->getIntProperty(kBackupJobIdProperty, &backupJobId) != 0) {
        return c->fail(GCP_ERR_HOST_ITEM,
                       "Failed to get snap job id for snap [" + o->SnapUuid + "]", "GCP %d-%s");
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

void GcpUtils::buildDiskBody(GcpObject* o, const std::string& sourceSnapshot, bool withLabels) {
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
            zones.append(ctx->zoneUrlMap[zone]);
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
    ctx->session().restRequest = body.json();
}

void GcpUtils::buildJSONForCreateDiskFromSnapReq(GcpObject* o, GcpCtx*) {
    buildDiskBody(o, o->SnapUuid, true);
}

void GcpUtils::buildJSONForCreateDiskFromSafepointSnapReq(GcpObject* o, GcpCtx*) {
    // The disk made again is the user's disk: its labels come back with it.
    buildDiskBody(o, o->SafePointSnapName, true);
}

void GcpUtils::buildJSONForAttachDiskReq(GcpObject* o, GcpCtx* c) {
    // Escaped, so that a link or device name cannot change the request's structure.
    c->session().restRequest = CWnString::Format(
        kAttachTemplate, {jsonxx::escape(o->SourceDiskUrl), jsonxx::escape(o->GcpOSDevName)});
}

// ---- Step operations ----

int GcpUtils::detachDisk(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Detaching disk [%s] from instance [%s]...", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    GcpReqOpInfo rec;
    fillRevertRecord(rec, o, "disk-detach");
    int rc = rest_detachDisk(o, c, rec);
    if (rc == 0) {
        rc = monitorSnapOpProgress(o, c, rec, true);
    }
    if (rc != 0) {
        return rc;
    }
    c->log(0, "Detached disk [%s] from instance [%s]", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    c->log(3, "GCP Detaching disk [%s] from instance [%s]... - done", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    return 0;
}

int GcpUtils::createSafePointSnap(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Creating safe-point snapshot [%s] of disk [%s]...", o->SafePointSnapName.c_str(),
           o->GCPDeviceName.c_str());
    GcpReqOpInfo rec;
    fillRevertRecord(rec, o, "snapshot-create");
    int rc = rest_createSafePointSnap(o, c, rec);
    if (rc == 0) {
        rc = monitorSnapOpProgress(o, c, rec, true);
    }
    if (rc == 0) {
        // The Operation's target is the disk; the snapshot itself must be READY.
        rec.targetLink = safePointSnapUrl(o);
        rc = monitorResourceStatus(o, c, rec, true);
    }
    if (rc != 0) {
        return rc;
    }
    c->log(0, "GCP >> Created safe-point snapshot [%s] of disk [%s] successfully",
           o->SafePointSnapName.c_str(), o->GCPDeviceName.c_str());
    c->log(3, "GCP Creating safe-point snapshot [%s] of disk [%s]... done",
           o->SafePointSnapName.c_str(), o->GCPDeviceName.c_str());
    return 0;
}

int GcpUtils::deleteSourceDisk(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Deleting disk [%s]...", o->GCPDeviceName.c_str());
    GcpReqOpInfo rec;
    fillRevertRecord(rec, o, "disk-delete");
    int rc = rest_deleteSourceDisk(o, c, rec);
    if (rc == 0) {
        rc = monitorSnapOpProgress(o, c, rec, true);
    }
    if (rc != 0) {
        return rc;
    }
    c->log(0, "Deleted disk [%s]", o->GCPDeviceName.c_str());
    c->log(3, "GCP Deleting disk [%s]... done", o->GCPDeviceName.c_str());
    return 0;
}

// After a disk was created and is READY: its new id into the object and the metadata.
int GcpUtils::readNewDiskId(GcpObject* o, GcpReqOpInfo& rec) {
    int rc = rest_getDiskIdByURL(o, ctx, rec);
    if (rc != 0) {
        return rc;
    }
    return ctx->updateSnapMetadataWithGcpDeviceId(o);
}

int GcpUtils::createDiskFromSnap(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Creating disk [%s] from snapshot [%s]...", o->GCPDeviceName.c_str(),
           o->SnapUuid.c_str());
    GcpReqOpInfo rec;
    fillRevertRecord(rec, o, "disk-create");
    int rc = rest_createDiskFromSnap(o, c, rec);
    if (rc == 0) {
        rc = monitorSnapOpProgress(o, c, rec, true);
    }
    if (rc == 0) {
        rc = monitorResourceStatus(o, c, rec, true);
    }
    if (rc == 0) {
        rc = readNewDiskId(o, rec);
    }
    if (rc != 0) {
        return rc;
    }
    c->log(0, "Created disk [%s] from snap [%s]", o->GCPDeviceName.c_str(), o->SnapUuid.c_str());
    return 0;
}

int GcpUtils::attachDisk(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Attaching disk [%s] to instance [%s]...", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    GcpReqOpInfo rec;
    fillRevertRecord(rec, o, "disk-attach");
    int rc = rest_attachDisk(o, c, rec);
    if (rc == 0) {
        rc = monitorSnapOpProgress(o, c, rec, true);
    }
    if (rc != 0) {
        return rc;
    }
    c->log(0, "GCP Attached disk [%s] to instance [%s]", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    c->log(3, "GCP Attaching disk [%s] to instance [%s]... done", o->GCPDeviceName.c_str(),
           c->instanceName.c_str());
    return 0;
}

// ---- Queries ----

int GcpUtils::rest_getDiskIdByURL(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec) {
    rest_resetCtx();
    c->log(2, "GCP Getting disk [%s] details...", o->GCPDeviceName.c_str());
    BXSnapRESTAPI_Gcp* client = c->session().restClient.get();
    if (client) {
        client->setBasePath(rec.targetLink);
    }
    int rc = 0;
    const std::string head = "Failed to get details for GCP device [" + o->GCPDeviceName + "]";
    if (!restGet("", client)) {
        rc = failRequest(o, GCP_ERR_GCP,
                         "Failed to get details of GCP device [" + o->GCPDeviceName + "].");
    } else {
        jsonxx::Object response;
        std::vector<std::string> names;
        std::map<std::string, std::string> values;
        buildFieldList("name,id,type", names);
        if (!response.parse(c->session().restResponse)) {
            rc = c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", "GCP %d-%s");
        } else if (extractValuesFromJSONObject(names, response, values) != 0) {
            failResponse(head + " with error - ");
            rc = GCP_ERR_RESPONSE;
        } else if (values["name"] != o->GCPDeviceName) {
            rc = failMismatch(GCP_ERR_RESPONSE,
                              head + " - wrong GCP device name [" + values["name"] +
                                  "] returned - expected value [" + o->GCPDeviceName + "]");
        } else if (values["id"].empty()) {
            rc = failMismatch(GCP_ERR_RESPONSE,
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

int GcpUtils::rest_getDiskAttachStatus(GcpObject* o, GcpCtx* c, GcpReqOpInfo& rec, bool& attached) {
    c->log(2, "GCP Getting disk attach status for disk [%s]...", rec.entityName.c_str());
    int rc = getMNInstanceDetails();
    if (rc != 0) {
        return rc;
    }
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        return c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", "GCP %d-%s");
    }
    if (!response.has<jsonxx::Array>("disks")) {
        c->session().ErrCode = GCP_ERR_RESPONSE;
        c->session().ErrStr << "Disks entity in response is empty";
        std::string text = c->errText();
        c->log(-1, "GCP %s", text.c_str());
        return GCP_ERR_RESPONSE;
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
                "GCP %d-%s");
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
