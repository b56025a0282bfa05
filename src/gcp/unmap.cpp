// Unmap: detach each clone from this instance and delete it. Clones that
// were never made, are already detached or already gone are tolerated.
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

GcpStep cloneDeleteStep(GcpUtils& u, GcpObject* o) {
    const std::string what = "clone [" + o->CloneName + "] of snapshot [" + o->SnapTag + "]";
    GcpStep step;
    step.record = u.cloneRecord(o, "clone-delete");
    step.readLinks = false;
    step.request.post = false;
    step.request.begin = "GCP Deleting " + what + "...";
    if (!o->CloneSourceLink.empty()) {
        step.request.link = o->CloneSourceLink;
    } else if (!u.ctx->restoreOptionsFound) {
        step.request.path = o->ProjectId + "/zones/" + o->GCPDeviceZone + "/disks/" + o->CloneName;
    } else {
        step.request.path = u.cloneLocationPath(o) + "/disks/" + o->CloneName;
    }
    step.request.failure = "Failed to delete clone [" + o->CloneName + "].";
    step.request.started = "GCP >> Initiated delete request for " + what + " successfully";
    step.request.startedTrace = "GCP Deleting " + what + "... - done";
    step.after = [o](GcpReqOpInfo&) {
        o->snapInfo->setStatus(BXSO::SNAP_UNMAP_SUCCESS);
        return 0;
    };
    step.done = "Deleted clone [" + o->CloneName + "]";
    return step;
}

// Detaches (detach) or deletes each clone that needs it, one after the other.
int removeClones(GcpUtils& u, bool detach) {
    for (auto& entry : u.ctx->snapMap) {
        GcpObject* o = entry.second;
        if (detach ? o->CloneDevStatus != 1 : o->CloneDevStatus == 3) {
            continue;
        }
        int rc = u.runRetryingRateLimits(
            [&] {
                GcpStep step = detach ? u.cloneDetachStep(o) : cloneDeleteStep(u, o);
                return u.runStep(o, step);
            },
            (detach ? "Detach of clone [" : "Deletion of clone [") + o->CloneName + "]");
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int detachClones(GcpUtils& u) {
    u.ctx->log(2, "Detaching clones...");
    int rc = removeClones(u, true);
    if (rc == 0) {
        u.ctx->log(3, "Detaching clones... - done");
    }
    return rc;
}

int deleteClones(GcpUtils& u) {
    u.ctx->log(2, "Deleting clones...");
    int rc = removeClones(u, false);
    if (rc == 0) {
        u.ctx->log(3, "Deleting clones... - done");
    }
    return rc;
}

}  // namespace

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
        rc = detachClones(*this);
    }
    if (rc == 0) {
        rc = deleteClones(*this);
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
            return ctx->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
        }
        ctx->session().ErrCode = GCP_ERR_INTERNAL;
        return GCP_ERR_INTERNAL;
    }
    return 0;
}

GcpStep GcpUtils::cloneDetachStep(GcpObject* o) {
    const std::string what = "clone [" + o->CloneName + "] of snapshot [" + o->SnapTag + "]";
    GcpStep step;
    step.record = cloneRecord(o, "clone-detach");
    step.readLinks = false;
    step.request.sourceAccount = true;
    step.request.begin = "GCP Detaching " + what + "...";
    step.request.path = ownInstancePath(false, o->CloneName);
    step.request.failure =
        "Failed to detach clone [" + o->CloneName + "] from instance [" + ctx->instanceName + "].";
    step.request.started = "GCP >> Initiated detach request for " + what + " successfully";
    step.request.startedTrace = "GCP Detaching " + what + "... - done";
    step.done = "Detached clone [" + o->SnapUuid + "] from instance [" + o->InstanceId + "]";
    return step;
}

}  // namespace DuVavaZid
