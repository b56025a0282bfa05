// Snapshot creation: the snap phase starts one snapshot per disk on the
// worker pool and waits until each is captured; the post phase waits until
// each is READY, records its id, and falls back to snapshots without guest
// flush when an application-consistent one failed.
#include <list>
#include <map>
#include <memory>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "host/settings.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace DuVavaZid {

namespace {

constexpr long kSnapsStartedFlag = 0x8000000;
const char* const kMoverSection = "~MoverNode";
const char* const kSkipCheckSetting = "bGCPSkipSnapCreationStatusCheck";
const char* const kRetryCountSetting = "nGCPSnapStatusCheckRetryCount";
const char* const kRetryIntervalSetting = "nGCPSnapStatusCheckRetryIntervalInMilliseconds";
const char* const kCreateSnapTemplate =
    "{\"name\":\"{1}\",\"labels\":{\"{2}\": \"{3}\",\"{4}\" : \"{5}\",\"{6}\" : {7},\"{8}\" : "
    "\"{9}\"},\"description\": \"{10}\"}";
const char* const kDescriptionTemplate =
    "Snapshot created by job [{1}] at time [{2}] from host [{3}]";
const char* const kTimeFormat = "%F %T %z";

std::string snapshotUrl(const GcpObject* o) {
    return "https://" + bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX + o->ProjectId +
           "/global/snapshots/" + o->SnapUuid;
}

void readCreationSettings(GcpUtils& u) {
    GcpCtx* ctx = u.ctx;
    BXPlatformInfo settings;
    bool skip = false;
    if (settings.getBoolean(kMoverSection, kSkipCheckSetting, &skip)) {
        ctx->skipSnapStatusCheck = skip;
        ctx->log(0, "GCP Additional setting [%s\\%s] found and is [%s]", kMoverSection,
                 kSkipCheckSetting, skip ? "enabled" : "disabled");
    }
    unsigned long number = 0;
    if (settings.getNumber(kMoverSection, kRetryCountSetting, &number)) {
        ctx->snapStatusCheckRetryCount = static_cast<long>(number);
        ctx->log(0, "GCP Additional setting [%s\\%s] found and is [%lu]", kMoverSection,
                 kRetryCountSetting, number);
    }
    if (settings.getNumber(kMoverSection, kRetryIntervalSetting, &number)) {
        ctx->snapStatusCheckRetryIntervalMs = static_cast<long>(number);
        ctx->log(0, "GCP Additional setting [%s\\%s] found and is [%lu]", kMoverSection,
                 kRetryIntervalSetting, number);
    }
}

void fillCreateRecord(const GcpUtils& u, GcpReqOpInfo& rec, const GcpObject* o, bool snapPhase) {
    GcpCtx* ctx = u.ctx;
    rec.operationType = "snapshot-create";
    rec.entityType = GCP_ENTITY_SNAPSHOT;
    if (snapPhase) {
        rec.entityName = o->SnapUuid;
        rec.maxAttempts = static_cast<int>(ctx->snapStatusCheckRetryCount);
        rec.sleepInterval = 1;
        rec.sleepUnitMs = static_cast<int>(ctx->snapStatusCheckRetryIntervalMs);
    } else {
        rec.entityName = o->SnapTag;
        rec.maxAttempts = ctx->arrayDetails.arrayConfigs.RetryMaxCount;
        rec.sleepInterval = ctx->arrayDetails.arrayConfigs.RetrySleepInterval;
    }
}

// After createSnapshot answered 409: true (with the snapshot's own link)
// when the snapshot of that name is the one this job's earlier attempt
// made of this disk (its source disk, the labels and description this
// plug-in writes); false with the refusal left in the session otherwise.
bool adoptEarlierSnapshot(GcpUtils& u, GcpObject* o, std::string& link) {
    GcpCtx* ctx = u.ctx;
    // The refusal stays the call's answer unless the snapshot proves ours.
    const std::string refusedPath = ctx->session().restApiPath;
    const std::string refusal = ctx->session().restResponse;
    auto keepRefusal = [&] {
        ctx->session().restApiPath = refusedPath;
        ctx->session().restResponse = refusal;
        return false;
    };
    if (!u.restGet(o->ProjectId + "/global/snapshots/" + o->SnapUuid, u.activeClient())) {
        return keepRefusal();
    }
    jsonxx::Object snap;
    if (!snap.parse(ctx->session().restResponse) || !snap.has<jsonxx::Object>("labels")) {
        return keepRefusal();
    }
    const jsonxx::Object& labels = snap.get<jsonxx::Object>("labels");
    auto text = [](const jsonxx::Object& object, const char* name) {
        std::string value;
        bool isContainer = false;
        return jsonxx::memberAsText(object, name, value, isContainer) ? value : std::string();
    };
    const std::string job = std::to_string(ctx->JobId);
    const std::string source = text(snap, "sourceDisk");
    const std::string diskTail = "/disks/" + o->GCPDeviceName;
    bool sameDisk = o->GCPDeviceId.empty() ? source.size() >= diskTail.size() &&
                                                 source.compare(source.size() - diskTail.size(),
                                                                diskTail.size(), diskTail) == 0
                                           : text(snap, "sourceDiskId") == o->GCPDeviceId;
    bool ours = sameDisk && text(labels, "data-protection-vendor-bx") == "taldrix" &&
                text(labels, "snap-backup-job-bx") == job &&
                text(labels, "snap-name-bx") == o->SnapUuid &&
                text(snap, "description").rfind("Snapshot created by job [" + job + "]", 0) == 0 &&
                text(snap, "status") != "FAILED" && text(snap, "status") != "DELETING";
    if (!ours) {
        ctx->log(0, "GCP >> Snapshot [%s] exists but was not made for this job's snapshot",
                 o->SnapUuid.c_str());
        return keepRefusal();
    }
    link = text(snap, "selfLink");
    return !link.empty() || keepRefusal();
}

int rest_createSnap(GcpUtils& u, GcpObject* o, GcpCtx* c, std::string& opLink) {
    c->log(2, "GCP Creating snapshot [%s] of Gcp device [%s]...", o->SnapTag.c_str(),
           o->GCPDeviceTag.c_str());
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    int rc = 0;
    u.rest_resetCtx();
    u.buildJSONForCreateSnapReq(o, static_cast<long>(c->JobId));
    std::string location =
        o->RegionalDisk ? "/regions/" + o->GCPDeviceRegion : "/zones/" + o->GCPDeviceZone;
    std::string suffix = "/createSnapshot/";
    if (c->guestFlushEnabled) {
        suffix = "/createSnapshot?guestFlush=true";
        c->log(0, "GCP Creating app-consistent snapshot [%s] for GCP disk [%s] in project [%s]...",
               o->SnapUuid.c_str(), o->GCPDeviceName.c_str(), o->ProjectId.c_str());
    }
    c->session().restApiPath = o->ProjectId + location + "/disks/" + o->GCPDeviceName + suffix;
    constexpr int64_t kConflict = 409;
    bool sent = client && u.sendMutating(true, client);
    // A snapshot of this name may be the one an earlier run of this job made
    // before it was killed or lost its answer: that one is taken over.
    bool adopted = !sent && client && client->getHttpErrorCode() == kConflict &&
                   adoptEarlierSnapshot(u, o, opLink);
    if (adopted) {
        c->log(0,
               "GCP >> Snapshot [%s] of Gcp device [%s] was made by an earlier attempt of this "
               "job and is taken over",
               o->SnapTag.c_str(), o->GCPDeviceTag.c_str());
    } else if (!sent) {
        rc = u.failRequest(nullptr, GCP_ERR_GCP,
                           "Failed to create snapshot of Gcp device [" + o->GCPDeviceName + "].");
    } else {
        jsonxx::Object response;
        response.parse(c->session().restResponse);
        std::string link;
        bool isContainer = false;
        if (u.getValueFromJSONObject("selfLink", response, link, isContainer) == 0) {
            opLink = link;
            c->log(0,
                   "GCP >> Initiated create request for snapshot [%s] for Gcp device [%s] "
                   "successfully",
                   o->SnapTag.c_str(), o->GCPDeviceTag.c_str());
        } else {
            rc =
                u.failResponse("Failed to get operation [snapshot-create] progress link for snap " +
                                   o->SnapUuid + "] using [" + c->session().restApiPath +
                                   "] in array [" + c->arrayDetails.ArrayId + "]",
                               logfmt::kWithRestErrors, GCP_ERR_GCP);
        }
    }
    u.restoreComputeBasePath();
    c->log(3, "GCP Creating snapshot [%s] of Gcp device [%s]... - done", o->SnapTag.c_str(),
           o->GCPDeviceTag.c_str());
    return rc;
}

bool isSnapshotLink(const std::string& link) {
    return link.find("/global/snapshots/") != std::string::npos;
}

// One snapshot started and followed until captured (snap phase).
int takeSnapshot(GcpUtils& u, GcpObject* o) {
    GcpCtx* c = u.ctx;
    std::string opLink;
    int rc = rest_createSnap(u, o, c, opLink);
    if (rc != 0) {
        return rc;
    }
    u.setSnapOpLinkInMetadata(opLink, o, c);
    if (c->hpxMode || c->skipSnapStatusCheck) {
        o->snapInfo->setStatus(BXSO::SNAP_CREATE_SUCCESS);
        return 0;
    }
    GcpReqOpInfo rec;
    fillCreateRecord(u, rec, o, true);
    rc = u.getSnapOpLinkFromMetadata(rec.selfLink, o, c);
    // A snapshot taken over from an earlier attempt has no Operation of ours
    // to follow: its own link stands in the metadata, and it is awaited.
    const bool adopted = isSnapshotLink(rec.selfLink);
    if (rc == 0 && !adopted) {
        rc = u.monitorSnapOpProgress(o, c, rec, false);
    }
    if (rc == 0) {
        const std::string operation = adopted ? std::string() : rec.selfLink;
        rec.reset();
        fillCreateRecord(u, rec, o, true);
        rec.targetLink = snapshotUrl(o);
        // Should the snapshot vanish, its Operation says why.
        rec.selfLink = operation;
        rc = u.monitorResourceStatus(o, c, rec, false);
    }
    if (rc == 0) {
        o->snapInfo->setStatus(BXSO::SNAP_CREATE_SUCCESS);
    }
    return rc;
}

void createSnap(GcpUtils* self, GcpObject* o) {
    GcpCtx* c = self->ctx;
    BXSO::SnapInfo* record = o->snapInfo;
    WorkerSession session(c, o);

    int rc = session.ready() ? 0 : GCP_ERR_INTERNAL;
    if (rc == 0 && !c->hpxMode) {
        rc = self->checkAndSetDiskType(o, c);
    }
    if (rc == 0) {
        self->runRetryingRateLimits([&] { return takeSnapshot(*self, o); },
                                    "Snapshot [" + o->SnapUuid + "]");
    }
    if (record->getStatus() != BXSO::SNAP_CREATE_SUCCESS) {
        self->stopOtherWorkers(o, "create");
    }
    c->log(3, "GCP Creating snapshot [%s] of disk [%s]... done", o->SnapUuid.c_str(),
           o->GCPDeviceName.c_str());
}

// Post phase for one snapshot whose waits succeeded: its id into the metadata.
int recordCreatedSnapshot(GcpUtils& u, GcpObject* o) {
    GcpCtx* ctx = u.ctx;
    if (u.rest_getSnapResourceIdBySnapUuid(o, ctx) != 0) {
        o->snapInfo->setStatus(BXSO::SNAP_CREATE_FAILED);
        return ctx->session().ErrCode != 0 ? ctx->session().ErrCode : GCP_ERR_GCP;
    }
    if (ctx->updateSnapMetadataWithSnapId(o) != 0) {
        ctx->fail(GCP_ERR_INTERNAL, "Failed to update snap metadata with snap id", logfmt::kText);
        o->snapInfo->setStatus(BXSO::SNAP_CREATE_FAILED);
        return GCP_ERR_INTERNAL;
    }
    ctx->log(0, "GCP >> Created snapshot [%s] of Gcp device [%s] successfully", o->SnapTag.c_str(),
             o->GCPDeviceTag.c_str());
    ctx->log(3, "GCP Creating snapshot [%s] of Gcp device [%s]... - done", o->SnapTag.c_str(),
             o->GCPDeviceTag.c_str());
    return 0;
}

int failSnapshot(GcpUtils& u, GcpObject* o) {
    o->snapInfo->setStatus(BXSO::SNAP_CREATE_FAILED);
    // A wait can end badly without leaving a code behind; never report that as success.
    return u.ctx->session().ErrCode > 0 ? u.ctx->session().ErrCode : GCP_ERR_INTERNAL;
}

int retakeWithoutGuestFlush(GcpUtils& u) {
    GcpCtx* ctx = u.ctx;
    ctx->log(0,
             "GCP >> Failed to create snapshots with guest-flush enabled. Trying snapshots with "
             "guest-flush disabled.");
    ctx->guestFlushEnabled = false;
    ctx->resetError();
    const ArrayConfigs& cfg = ctx->arrayDetails.arrayConfigs;

    std::list<GcpReqOpInfo> recs;
    std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> pairs;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        o->snapInfo->setError(0, "");
        recs.emplace_back();
        GcpReqOpInfo& rec = recs.back();
        rec.operationType = "snapshot-delete";
        rec.entityType = GCP_ENTITY_SNAPSHOT;
        rec.entityName = o->SnapTag;
        rec.maxAttempts = cfg.RetryMaxCount;
        rec.sleepInterval = cfg.RetrySleepInterval;
        int rc = u.rest_deleteSnap(o, ctx);
        if (rc == GCP_ERR_NOT_FOUND) {
            ctx->log(0, "GCP Cannot find snapshot [%s] of GCP device [%s], proceeding further",
                     o->SnapTag.c_str(), o->GCPDeviceTag.c_str());
            ctx->resetError();
            continue;
        }
        if (rc != 0) {
            return rc;
        }
        u.processResponseForSnapOpAndTargetLink(ctx, rec);
        pairs.emplace_back(o, &rec);
    }
    for (auto& pair : pairs) {
        if (u.monitorSnapOpProgress(pair.first, ctx, *pair.second, true) != 0) {
            return failSnapshot(u, pair.first);
        }
        ctx->log(0, "GCP >> Snapshot [%s] of GCP device [%s] is deleted successfully",
                 pair.first->SnapTag.c_str(), pair.first->GCPDeviceTag.c_str());
    }

    pairs.clear();
    recs.clear();
    // The description names the time the snapshot is taken: this call's.
    const long now = static_cast<long>(getCurTime());
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        o->CreationTime = now;
        recs.emplace_back();
        GcpReqOpInfo& rec = recs.back();
        fillCreateRecord(u, rec, o, false);
        int rc = rest_createSnap(u, o, ctx, rec.selfLink);
        if (rc != 0) {
            return rc;
        }
        pairs.emplace_back(o, &rec);
    }
    for (auto& pair : pairs) {
        GcpObject* o = pair.first;
        GcpReqOpInfo& rec = *pair.second;
        if (u.monitorSnapOpProgress(o, ctx, rec, true) != 0) {
            return failSnapshot(u, o);
        }
        u.processResponseForSnapOpAndTargetLink(ctx, rec);
        if (u.monitorResourceStatus(o, ctx, rec, true) != 0) {
            return failSnapshot(u, o);
        }
        int rc = recordCreatedSnapshot(u, o);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int followCreatedSnaps(GcpUtils& u) {
    GcpCtx* ctx = u.ctx;
    u.getSourceGcpDeviceDetails();

    std::list<GcpReqOpInfo> recs;
    std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> pairs;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (!getSnapUUID(o)) {
            int rc = ctx->fail(GCP_ERR_HOST_ITEM,
                               "Failed to get snap uuid for GCP device [" + deviceNameOf(o) + "].",
                               logfmt::kSnapOperation);
            o->snapInfo->setStatus(BXSO::SNAP_CREATE_FAILED);
            return rc;
        }
        recs.emplace_back();
        GcpReqOpInfo& rec = recs.back();
        fillCreateRecord(u, rec, o, false);
        ctx->log(
            3,
            "GCP >> Trying to get the Operation progress link for snapshot [%s] of Gcp device [%s]",
            o->SnapTag.c_str(), o->GCPDeviceTag.c_str());
        int rc = u.getSnapOpLinkFromMetadata(rec.selfLink, o, ctx);
        if (rc != 0) {
            return rc;
        }
        pairs.emplace_back(o, &rec);
    }

    bool flushFailed = false;
    std::string flushError;
    for (auto& pair : pairs) {
        GcpObject* o = pair.first;
        GcpReqOpInfo& rec = *pair.second;
        int rc = 0;
        if (isSnapshotLink(rec.selfLink)) {
            // Taken over: no Operation of ours to follow, so the snapshot
            // itself is awaited until READY.
            rec.selfLink.clear();
            rec.uploadingIsBusy = true;
        } else {
            rc = u.monitorSnapOpProgress(o, ctx, rec, true);
        }
        bool failed = rc != 0 || !rec.httpErrorStatusCode.empty();
        if (!failed && !flushFailed) {
            rec.targetLink = snapshotUrl(o);
            rc = u.monitorResourceStatus(o, ctx, rec, true);
            failed = rc != 0 || !rec.httpErrorStatusCode.empty();
        }
        if (failed) {
            if (!ctx->guestFlushEnabled) {
                return failSnapshot(u, o);
            }
            if (flushError.empty()) {
                flushError = ctx->session().restErrStr.str();
            }
            ctx->log(-1,
                     "GCP Snapshot creation with guest-flush failed for snapshot [%s] of GCP "
                     "device [%s] with REST error [%s]. It will be retried without guest-flush.",
                     o->SnapTag.c_str(), o->GCPDeviceTag.c_str(), flushError.c_str());
            ctx->resetError();
            flushFailed = true;
            continue;
        }
        if (flushFailed) {
            continue;
        }
        rc = recordCreatedSnapshot(u, o);
        if (rc != 0) {
            return rc;
        }
    }

    std::map<std::string, std::string> props;
    if (flushFailed) {
        props["GuestFlushStatus"] = "1";
        props["GuestFlushError"] = flushError;
    } else {
        props["GuestFlushStatus"] = "0";
    }
    if (!ctx->firstRecord()->setOperationProperties(props)) {
        ctx->log(-1, "GCP >> Failed to set guest-flush properties");
    }
    if (!flushFailed) {
        return 0;
    }
    return retakeWithoutGuestFlush(u);
}

}  // namespace

int GcpUtils::createSnaps() {
    if (ctx->hpxMode) {
        getSourceGcpDeviceDetails();
    }
    setSnapFlags(static_cast<int>(kSnapsStartedFlag));
    readCreationSettings(*this);
    ctx->log(2, "GCP Creating snapshots...");
    std::list<SnapOpReqParams> items;
    runOnWorkers("createSnaps", &workerEntry<createSnap>, items, "create");
    ctx->log(3, "GCP Creating snapshots... - done");

    size_t failed = 0;
    for (auto& entry : ctx->snapMap) {
        if (entry.second->snapInfo->getStatus() != BXSO::SNAP_CREATE_SUCCESS) {
            ++failed;
        }
    }
    if (failed == 0) {
        return 0;
    }
    return reportWorkersFailure(failed, "create");
}

void GcpUtils::buildJSONForCreateSnapReq(GcpObject* o, const long& jobId) {
    std::string job = std::to_string(jobId);
    int64_t created = o->CreationTime;
    std::string description = CWnString::Format(
        kDescriptionTemplate,
        {job, getFormattedDateTimeStr(created, kTimeFormat), HostDebug::getHostName()});
    // Values go in as JSON string contents, so a quote or backslash in a name
    // or host name cannot change the request's structure.
    std::string name = jsonxx::escape(o->SnapUuid);
    ctx->session().restRequest = CWnString::Format(
        kCreateSnapTemplate,
        {name, "data-protection-vendor-bx", "taldrix", "data-protection-feature-bx", "framelock",
         "snap-backup-job-bx", job, "snap-name-bx", name, jsonxx::escape(description)});
}

int GcpUtils::postCreateSnaps() {
    int rc = followCreatedSnaps(*this);
    if (rc != 0) {
        // A record whose snapshot was never confirmed must not keep the snap
        // phase's success: it has no resource id to delete or map later.
        for (auto& entry : ctx->snapMap) {
            GcpObject* o = entry.second;
            if (o->SnapResourceId.empty()) {
                o->snapInfo->setStatus(BXSO::SNAP_CREATE_FAILED);
            }
        }
    }
    return rc;
}

}  // namespace DuVavaZid
