// Deleting the snapshots of a call, one after another; a snapshot that never
// existed or is already gone counts as deleted.
#include "gcp/gcp_utils.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {
constexpr int kNotFoundStatus = 404;
constexpr int kDeleteAttempts = 2;  // one repeat after a backend error

// rest_deleteSnap, asked once more after a backend error.
int deleteRepeatingBackendErrors(GcpUtils& u, GcpObject* o) {
    GcpCtx* ctx = u.ctx;
    const ArrayConfigs& cfg = ctx->arrayDetails.arrayConfigs;
    RetryPolicy policy;
    policy.attempts = kDeleteAttempts;
    policy.intervalMs = static_cast<long>(cfg.RetrySleepInterval) * 1000;
    Backoff backend(policy);
    for (;;) {
        int rc = u.rest_deleteSnap(o, ctx);
        long pause = 0;
        if (rc != GCP_ERR_BACKEND || !backend.next(&pause)) {
            return rc;
        }
        ctx->resetError();
        ctx->log(0, "GCP >> Retrying delete for snapshot [%s] after waiting for %d seconds",
                 o->SnapTag.c_str(), cfg.RetrySleepInterval);
        WNSLEEP(pause);
    }
}

}  // namespace

int GcpUtils::deleteSnaps() {
    ctx->log(2, "GCP Deleting snapshots...");
    int deleted = 0;
    int failed = 0;
    // The next snapshot's lookup resets the context's error: keep the first.
    KeptFailure kept;
    const ArrayConfigs& cfg = ctx->arrayDetails.arrayConfigs;
    GcpReqOpInfo rec;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        BXSO::SnapInfo* record = o->snapInfo;
        long number = record->getSnapNumber();
        BXSO::SnapStatus status = record->getStatus();
        ctx->log(2,
                 "GCP Trying to delete snapshot [%s], num [%ld] of Gcp device [%s] - snap "
                 "resource id [%s]...",
                 o->SnapTag.c_str(), number, o->GCPDeviceTag.c_str(), o->SnapResourceId.c_str());
        auto markDeleted = [&] {
            record->setStatus(BXSO::SNAP_DELETE_SUCCESS);
            ++deleted;
        };
        auto markFailed = [&] {
            record->setStatus(BXSO::SNAP_DELETE_FAILED);
            ++failed;
            keepFirstFailure(kept);
        };
        if (status == BXSO::SNAP_DELETE_SUCCESS && o->GCPDeviceId.empty() &&
            o->SnapResourceId.empty()) {
            ctx->log(0,
                     "GCP >> Snapshot [%s], num [%ld] of Gcp device [%s] has empty metadata - "
                     "probably failed in prepare with no physical snapshot and hence marking it "
                     "as deleted successfully",
                     o->SnapTag.c_str(), number, o->GCPDeviceTag.c_str());
            markDeleted();
            continue;
        }
        if (o->SnapResourceId.empty() && o->SnapUuid.empty()) {
            ctx->log(0,
                     "GCP >> Snapshot num [%ld] has empty uuid [%s] & resource id [%s] - may be "
                     "prepare itself failed and hence marking it as deleted successfully",
                     number, o->SnapUuid.c_str(), o->SnapResourceId.c_str());
            markDeleted();
            continue;
        }
        int rc = rest_getSnapDetailsByResIdOrUuid(o, ctx);
        if (rc == GCP_ERR_NOT_FOUND) {
            ctx->resetError();
            ctx->log(0,
                     "GCP Snapshot [%s], num [%ld] of Gcp device [%s] not found - may be deleted "
                     "externally or not created and hence marking it as deleted successfully",
                     o->SnapTag.c_str(), number, o->GCPDeviceTag.c_str());
            markDeleted();
            continue;
        }
        if (rc != 0) {
            markFailed();
            continue;
        }

        ctx->resetError();
        // A deletion GCP refused for the rate of operations left the snapshot
        // as it was: it is asked for again. followed says whether rc is the
        // Operation's end or the request's own failure.
        bool followed = false;
        rc = runRetryingRateLimits(
            [&] {
                followed = false;
                int step = deleteRepeatingBackendErrors(*this, o);
                if (step != 0) {
                    return step;
                }
                followed = true;
                rec.reset();
                rec.operationType = "snapshot-delete";
                rec.entityType = GCP_ENTITY_SNAPSHOT;
                rec.entityName = o->SnapTag;
                rec.maxAttempts = cfg.RetryMaxCount;
                rec.sleepInterval = cfg.RetrySleepInterval;
                return monitorSnapOpProgress(o, ctx, rec, true);
            },
            "Deletion of snapshot [" + o->SnapTag + "]");
        if (followed) {
            if (rc == 0) {
                ctx->log(
                    0, "GCP >> Snapshot [%s] num [%ld] of GCP device [%s] is deleted successfully",
                    o->SnapTag.c_str(), number, o->GCPDeviceTag.c_str());
                markDeleted();
            } else {
                markFailed();
            }
        } else if (rc == GCP_ERR_NOT_FOUND) {
            ctx->resetError();
            ctx->log(0,
                     "GCP >> Snapshot [%s] num [%ld] of GCP device [%s] is not found and hence "
                     "marking it as deleted successfully",
                     o->SnapTag.c_str(), number, o->GCPDeviceTag.c_str());
            markDeleted();
        } else {
            markFailed();
        }
    }
    ctx->log(0, "GCP Snapshot delete stats -- total [%d] deleted [%d] failed [%d]", ctx->SnapCount,
             deleted, failed);
    ctx->log(3, "GCP Deleting snapshots... - done");
    if (failed == 0) {
        return 0;
    }
    reportKeptFailure(kept, "Failed to delete [" + std::to_string(failed) + "] of [" +
                                std::to_string(ctx->SnapCount) + "] snapshots.");
    return GCP_ERR_INTERNAL;
}

int GcpUtils::rest_deleteSnap(GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Deleting snapshot [%s] of Gcp device [%s]...", o->SnapTag.c_str(),
           o->GCPDeviceTag.c_str());
    rest_resetCtx();
    c->session().restApiPath = o->ProjectId + "/global/snapshots/" +
                               (o->SnapResourceId.empty() ? o->SnapUuid : o->SnapResourceId);
    BXSnapRESTAPI_Gcp* client = c->session().restClient.get();
    if (client && sendMutating(false, client)) {
        c->log(0,
               "GCP >> Initiated delete request for snapshot [%s] of Gcp device [%s] successfully",
               o->SnapTag.c_str(), o->GCPDeviceTag.c_str());
        c->log(3, "GCP Deleting snapshot [%s] of Gcp device [%s]... - done", o->SnapTag.c_str(),
               o->GCPDeviceTag.c_str());
        return 0;
    }
    if (client && client->getHttpErrorCode() == kNotFoundStatus) {
        // Confirm that it is really gone before calling it deleted.
        int rc = rest_getSnapDetailsByResIdOrUuid(o, c);
        if (rc != 0) {
            return rc;
        }
        rc = c->fail(GCP_ERR_GCP,
                     "Failed to delete snapshot [" + o->SnapTag + "] of GCP device [" +
                         o->GCPDeviceTag + "]. Snapshot exists in GCP",
                     logfmt::kStep);
        setErrorDetailsForSnapObj(o, c, 0, nullptr);
        return rc;
    }
    if (hasBackendError(c->session().restResponse)) {
        int rc = c->fail(GCP_ERR_BACKEND,
                         "Failed to delete snapshot [" + o->SnapTag + "] of GCP device [" +
                             o->GCPDeviceTag + "] - GCP returned backend error",
                         logfmt::kStep);
        setErrorDetailsForSnapObj(o, c, 0, nullptr);
        return rc;
    }
    return failRequest(
        o, GCP_ERR_GCP,
        "Failed to delete snapshot [" + o->SnapTag + "] of Gcp device [" + o->GCPDeviceTag + "].");
}

}  // namespace DuVavaZid
