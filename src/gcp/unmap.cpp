// Unmap: detach each clone from this instance and delete it. Clones that
// were never made, are already detached or already gone are tolerated.
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

int GcpUtils::unmapSnaps() {
    ctx->log(2, "Unmapping snapshots - count[%zu]...", ctx->snapMap.size());
    ctx->mapCtx = std::make_unique<GcpMapCtx>();
    setSnapStatus(BXSO::SNAP_UNMAP_FAILED);

    if (ctx->hpxMode && ctx->restoreOptionsFound) {
        const std::string& destUser = ctx->restoreInfo.destUser;
        if (!destUser.empty() && !strCompare(destUser, ctx->arrayDetails.UserName, true)) {
            int rc = performDestAccLogon();
            if (rc != 0) {
                return rc;
            }
        }
    }
    // The clone's name and link do not need the snapshot: one deleted
    // outside the plug-in must not keep its clone attached for ever.
    int rc = getSnapDetails(true);
    if (rc == 0 && !ctx->hpxMode) {
        rc = getSourceGcpDeviceDetails();
    }
    if (rc == 0) {
        rc = getCloneDetails();
    }
    if (rc == 0) {
        rc = detachClones();
    }
    if (rc == 0) {
        rc = deleteClones();
    }
    if (rc == 0 && ctx->hpxMode) {
        rc = deleteInterimClones();
        if (rc == 0) {
            rc = deleteInterimSnaps();
        }
    }
    if (rc != 0) {
        return rc;
    }
    size_t unmapped = 0;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->CloneDevStatus == 3) {
            o->snapInfo->setStatus(BXSO::SNAP_UNMAP_SUCCESS);
        }
        if (o->snapInfo->getStatus() == BXSO::SNAP_UNMAP_SUCCESS) {
            ++unmapped;
        }
    }
    ctx->log(3, "Unmapping snapshots - count[%zu]... - done", ctx->snapMap.size());
    if (unmapped != ctx->snapMap.size()) {
        std::ostringstream msg;
        msg << "Failed to unmap [" << ctx->snapMap.size() - unmapped << "] of ["
            << ctx->snapMap.size() << "] snapshots.";
        if (ctx->errText().empty()) {
            ctx->session().resetError();
            return ctx->fail(GCP_ERR_INTERNAL, msg.str(), "GCP %d-%s");
        }
        ctx->session().ErrCode = GCP_ERR_INTERNAL;
        return GCP_ERR_INTERNAL;
    }
    return 0;
}

int GcpUtils::detachClones() {
    ctx->log(2, "Detaching clones...");
    GcpReqOpInfo rec;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->CloneDevStatus != 1) {
            continue;
        }
        int rc = runRetryingRateLimits(
            [&] {
                int step = rest_detachClone(o, ctx);
                if (step == 0) {
                    fillCloneRecord(rec, o, "clone-detach");
                    step = monitorSnapOpProgress(o, ctx, rec, true);
                }
                return step;
            },
            "Detach of clone [" + o->CloneName + "]");
        if (rc != 0) {
            return rc;
        }
        ctx->log(0, "Detached clone [%s] from instance [%s]", o->SnapUuid.c_str(),
                 o->InstanceId.c_str());
    }
    ctx->log(3, "Detaching clones... - done");
    return 0;
}

int GcpUtils::rest_detachClone(GcpObject* o, GcpCtx* c) {
    rest_resetCtx();
    c->log(2, "GCP Detaching clone [%s] of snapshot [%s]...", o->CloneName.c_str(),
           o->SnapTag.c_str());
    // The device name goes into a query: encoded, so it cannot add parameters.
    c->session().restApiPath = c->projectId + "/zones/" + c->instanceZone + "/instances/" +
                               c->instanceName + "/detachDisk/" + "?" +
                               "deviceName=" + urlEncode(o->CloneName);
    BXSnapRESTAPI_Gcp* client = c->session().restClient.get();
    if (!client || !sendMutating(true, client)) {
        return failRequest(nullptr, GCP_ERR_GCP,
                           "Failed to detach clone [" + o->CloneName + "] from instance [" +
                               c->instanceName + "].");
    }
    c->log(0, "GCP >> Initiated detach request for clone [%s] of snapshot [%s] successfully",
           o->CloneName.c_str(), o->SnapTag.c_str());
    c->log(3, "GCP Detaching clone [%s] of snapshot [%s]... - done", o->CloneName.c_str(),
           o->SnapTag.c_str());
    return 0;
}

int GcpUtils::deleteClones() {
    ctx->log(2, "Deleting clones...");
    GcpReqOpInfo rec;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->CloneDevStatus == 3) {
            continue;
        }
        int rc = runRetryingRateLimits(
            [&] {
                int step = rest_deleteClone(o, ctx);
                if (step == 0) {
                    fillCloneRecord(rec, o, "clone-delete");
                    step = monitorSnapOpProgress(o, ctx, rec, true);
                }
                return step;
            },
            "Deletion of clone [" + o->CloneName + "]");
        if (rc != 0) {
            return rc;
        }
        o->snapInfo->setStatus(BXSO::SNAP_UNMAP_SUCCESS);
        ctx->log(0, "Deleted clone [%s]", o->CloneName.c_str());
    }
    ctx->log(3, "Deleting clones... - done");
    return 0;
}

int GcpUtils::rest_deleteClone(GcpObject* o, GcpCtx* c) {
    rest_resetCtx();
    c->log(2, "GCP Deleting clone [%s] of snapshot [%s]...", o->CloneName.c_str(),
           o->SnapTag.c_str());
    BXSnapRESTAPI_Gcp* client = activeClient();
    bool viaLink = !o->CloneSourceLink.empty();
    if (viaLink) {
        if (client) {
            client->setBasePath(o->CloneSourceLink);
        }
    } else if (!c->restoreOptionsFound) {
        c->session().restApiPath =
            o->ProjectId + "/zones/" + o->GCPDeviceZone + "/disks/" + o->CloneName;
    } else {
        c->session().restApiPath = cloneLocationPath(o) + "/disks/" + o->CloneName;
    }
    int rc = 0;
    if (!client || !sendMutating(false, client)) {
        rc = failRequest(nullptr, GCP_ERR_GCP, "Failed to delete clone [" + o->CloneName + "].");
    } else {
        c->log(0, "GCP >> Initiated delete request for clone [%s] of snapshot [%s] successfully",
               o->CloneName.c_str(), o->SnapTag.c_str());
        c->log(3, "GCP Deleting clone [%s] of snapshot [%s]... - done", o->CloneName.c_str(),
               o->SnapTag.c_str());
    }
    if (viaLink) {
        restoreComputeBasePath();
    }
    return rc;
}

}  // namespace DuVavaZid
