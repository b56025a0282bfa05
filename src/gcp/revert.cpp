// Revert: every source disk of the call is replaced, in parallel, by a disk
// made from its snapshot and attached again under its former device name. A
// safe-point snapshot of each old disk lets a failed call be undone; the
// whole call is all or nothing.
#include <algorithm>
#include <list>
#include <memory>
#include <new>
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "gcp/revert_common.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

constexpr short kHostInfoBufferSize = 4096;
constexpr int kHostInfoCategory = 4;
constexpr int kHostInfoCellId = 153;

// The revert step that a worker started last; the undo reads it.
enum RevertStep : int {
    REVERT_NOT_STARTED = 0,
    REVERT_STARTED = 1,
    REVERT_DETACH = 2,
    REVERT_SAFE_POINT = 3,
    REVERT_DELETE = 4,
    REVERT_CREATE = 5,
    REVERT_ATTACH = 6,
};

std::string lowerHex(unsigned long long value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

// A GCP resource name allows lower-case letters, digits and hyphens only; the
// id goes into request paths, so nothing else may slip in.
bool usableInName(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char ch : text) {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-')) {
            return false;
        }
    }
    return true;
}

// Finds the re-attached disks among the local devices, waiting for late ones;
// returns how many were found.
int rediscoverRevertedDisks(GcpUtils& u, size_t expected) {
    u.ctx->mapCtx = std::make_unique<GcpMapCtx>();
    GcpMapCtx* mapCtx = u.ctx->mapCtx.get();
    u.getDeviceList(mapCtx, false);
    int found = 0;
    u.checkForMappedDevices(mapCtx, mapCtx->devicesAfter, found);
    return u.waitForMappedDevices(mapCtx, static_cast<int>(expected), found);
}

int getSafepointSnapDetails(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    c->log(2, "GCP Getting details of safe-point snapshot [%s]...", o->SafePointSnapName.c_str());
    const std::string& name = o->SafePointSnapName;
    if (name.empty()) {
        // No name was generated, so no safe-point snapshot was made; an empty
        // name would address the whole snapshot collection instead.
        c->log(0, "GCP Safe-point snapshot [%s] not found in GCP", name.c_str());
        return GCP_ERR_NOT_FOUND;
    }
    const std::string head = "Failed to get details of safe-point snapshot [" + name + "].";
    if (!u.restGet(o->ProjectId + "/global/snapshots/" + name)) {
        if (u.answeredNotFound(o, c->session().restClient.get())) {
            c->log(0, "GCP Safe-point snapshot [%s] not found in GCP", name.c_str());
            return GCP_ERR_NOT_FOUND;
        }
        return u.failRequest(nullptr, GCP_ERR_GCP, head);
    }
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        return c->fail(GCP_ERR_GCP, "Failed to parse JSON response.", logfmt::kStep);
    }
    std::string returned;
    bool isContainer = false;
    if (u.getValueFromJSONObject("name", response, returned, isContainer) != 0) {
        return u.failResponse(head, logfmt::kStep);
    }
    if (returned != name) {
        return c->fail(GCP_ERR_RESPONSE,
                       head + " Returned snapshot name [" + returned +
                           "] is not matching with passed-in snapshot name [" + name + "].",
                       logfmt::kStep);
    }
    c->log(3, "GCP Getting details of safe-point snapshot [%s]... - done", name.c_str());
    return 0;
}

// Whether the safe-point snapshot of a failed revert is in GCP.
bool safePointKept(GcpUtils& u, GcpObject* o) {
    if (o->RevertState < REVERT_SAFE_POINT || o->SafePointSnapName.empty()) {
        return false;
    }
    // Only GCP knows whether a safe-point whose step failed was made; one
    // that cannot be read is named all the same.
    bool kept = getSafepointSnapDetails(u, o, u.ctx) != GCP_ERR_NOT_FOUND;
    u.ctx->resetError();
    return kept;
}

// Where a disk stands after its undo gave up, for the operator: missing,
// detached or attached, and which safe-point snapshot holds its data.
std::string describeDiskStanding(GcpUtils& u, GcpObject* o) {
    std::string text = "disk [" + o->GCPDeviceName + "] ";
    GcpReqOpInfo rec = u.revertRecord(o, "disk-attach");
    rec.targetLink = o->SourceDiskUrl;
    bool exists = false;
    bool attached = false;
    if (u.rest_checkWhetherDiskExists(o, u.ctx, rec, exists) != 0) {
        text += "could not be read";
    } else if (!exists) {
        text += "is missing";
    } else if (u.rest_getDiskAttachStatus(o, u.ctx, rec, attached) != 0) {
        text += "exists, its attachment could not be read";
    } else {
        text += attached ? "exists and is attached" : "exists but is not attached";
    }
    u.ctx->resetError();
    if (safePointKept(u, o)) {
        text += ", its data is in safe-point snapshot [" + o->SafePointSnapName + "]";
    } else if (o->RevertState > REVERT_SAFE_POINT) {
        text += ", no safe-point snapshot holds its data";
    }
    return text;
}

// Whether the disk is in GCP and, when it is, waits until it is READY: an
// earlier pass may have deleted it, and waiting for a missing disk would take
// every attempt and then fail the pass that could re-create it.
int readyDiskExists(GcpUtils& u, GcpObject* o, const char* type, bool& exists) {
    GcpReqOpInfo rec = u.revertRecord(o, type);
    rec.targetLink = o->SourceDiskUrl;
    exists = false;
    int rc = u.rest_checkWhetherDiskExists(o, u.ctx, rec, exists);
    return rc == 0 && exists ? u.monitorResourceStatus(o, u.ctx, rec, true) : rc;
}

int checkAndDetachDisk(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    GcpStep step = u.detachDiskStep(o);
    step.precheck = [&u, o, c](bool& needed) {
        bool exists = false;
        bool attached = false;
        int rc = readyDiskExists(u, o, "disk-detach", exists);
        if (rc == 0 && exists) {
            GcpReqOpInfo rec = u.revertRecord(o, "disk-detach");
            rc = u.rest_getDiskAttachStatus(o, c, rec, attached);
        }
        if (rc != 0) {
            return rc;
        }
        needed = attached;
        if (!exists) {
            c->log(0, "Skipping detach as disk [%s] is not present in GCP",
                   o->GCPDeviceName.c_str());
        } else if (!attached) {
            c->log(0, "Skipping detach as disk [%s] is not attached to instance [%s]",
                   o->GCPDeviceName.c_str(), c->instanceName.c_str());
        }
        return 0;
    };
    return u.runStep(o, step);
}

int checkAndDeleteDisk(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    GcpStep step = u.deleteDiskStep(o);
    step.precheck = [&u, o, c](bool& needed) {
        int rc = readyDiskExists(u, o, "disk-delete", needed);
        if (rc == 0 && !needed) {
            c->log(0, "Skipping delete as disk [%s] is not present in GCP",
                   o->GCPDeviceName.c_str());
        }
        return rc;
    };
    return u.runStep(o, step);
}

int checkAndCreateDiskFromSafepointSnap(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    GcpStep step = u.diskFromSafePointStep(o);
    step.precheck = [&u, o, c](bool& needed) {
        GcpReqOpInfo rec = u.revertRecord(o, "disk-create");
        bool exists = false;
        int rc = u.rest_checkWhetherDiskExists(o, c, rec, exists);
        needed = !exists;
        if (rc == 0 && exists) {
            c->log(0, "Skipping create as disk [%s] is already present in GCP",
                   o->GCPDeviceName.c_str());
        }
        return rc;
    };
    return u.runStep(o, step);
}

int checkAndAttachDisk(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    GcpStep step = u.attachDiskStep(o);
    step.done = "Attached disk [" + o->GCPDeviceName + "] to instance [" + c->instanceName + "]";
    step.precheck = [&u, o, c](bool& needed) {
        bool exists = false;
        int rc = readyDiskExists(u, o, "disk-attach", exists);
        if (rc == 0 && !exists) {
            // Fail this pass at once: the next one re-creates the disk first.
            return c->fail(
                GCP_ERR_NOT_FOUND,
                "Disk [" + o->GCPDeviceName + "] is not present in GCP and cannot be attached.",
                logfmt::kStep);
        }
        bool attached = false;
        if (rc == 0) {
            GcpReqOpInfo rec = u.revertRecord(o, "disk-attach");
            rc = u.rest_getDiskAttachStatus(o, c, rec, attached);
        }
        needed = !attached;
        return rc;
    };
    return u.runStep(o, step);
}

// Undoes one snapshot's revert according to the step it started last. Until
// the old disk is deleted (state 4) it still exists and only needs attaching
// again, so the safe-point snapshot is required only from state 4 on.
int undoByState(GcpUtils& u, GcpObject* o) {
    GcpCtx* ctx = u.ctx;
    const int state = o->RevertState;
    if (state == REVERT_NOT_STARTED || state == REVERT_STARTED) {
        ctx->log(3, "GCP Nothing to undo for snapshot [%s]", o->SnapUuid.c_str());
        return 0;
    }
    if (state == REVERT_DETACH || state == REVERT_SAFE_POINT) {
        return checkAndAttachDisk(u, o, ctx);
    }
    if (state < REVERT_DELETE || state > REVERT_ATTACH) {
        ctx->log(-1, "GCP Unkown revert state [%d]", state);
        return GCP_ERR_INTERNAL;
    }
    // Without a safe-point snapshot the old content cannot come back; a disk
    // of that name that still exists is at least attached again.
    auto reattachIfPresent = [&](int failure) {
        GcpReqOpInfo rec = u.revertRecord(o, "disk-attach");
        bool exists = false;
        if (u.rest_checkWhetherDiskExists(o, ctx, rec, exists) == 0 && exists) {
            checkAndAttachDisk(u, o, ctx);
        }
        return failure;
    };
    if (!ctx->arrayDetails.arrayConfigs.CreateSafepointSnapBeforeRevert) {
        ctx->log(0,
                 "GCP Cannot undo revert for snapshot [%s] as safe-point snapshot was not created "
                 "since snapshot config [%s] is not enabled. Enable it in Array Management to "
                 "help recover failed revert jobs in future.",
                 o->SnapUuid.c_str(), kSafePointConfigName);
        return reattachIfPresent(GCP_ERR_INTERNAL);
    }
    int rc = getSafepointSnapDetails(u, o, ctx);
    if (rc != 0) {
        ctx->log(0,
                 "GCP Cannot undo revert for snapshot [%s]. Failed to get details for safe-point "
                 "snapshot [%s].",
                 o->SnapUuid.c_str(), o->SafePointSnapName.c_str());
        return reattachIfPresent(rc);
    }
    // From state 5 on a disk made from the snapshot may be attached: by the
    // revert, or by an earlier pass's fallback. Its attachment is read, not
    // assumed from the state, so a repeated pass detaches it before deleting.
    if (state >= REVERT_CREATE) {
        rc = checkAndDetachDisk(u, o, ctx);
    }
    if (rc == 0 && state >= REVERT_CREATE) {
        rc = checkAndDeleteDisk(u, o, ctx);
    }
    if (rc == 0) {
        rc = checkAndCreateDiskFromSafepointSnap(u, o, ctx);
    }
    if (rc == 0) {
        rc = checkAndAttachDisk(u, o, ctx);
    }
    return rc;
}

void revertSnap(GcpUtils* self, GcpObject* o) {
    GcpCtx* c = self->ctx;
    BXSO::SnapInfo* record = o->snapInfo;
    WorkerSession session(c, o);
    const bool safePoint = c->arrayDetails.arrayConfigs.CreateSafepointSnapBeforeRevert;

    // One row per step, in order; the undo reads the last state entered.
    struct Stage {
        RevertStep state;
        GcpStep (GcpUtils::*step)(GcpObject*);
        std::string what;
    };
    const std::string& disk = o->GCPDeviceName;
    const Stage stages[] = {
        {REVERT_DETACH, &GcpUtils::detachDiskStep, "Detach of disk [" + disk + "]"},
        {REVERT_SAFE_POINT, &GcpUtils::safePointStep, "Safe-point snapshot of disk [" + disk + "]"},
        {REVERT_DELETE, &GcpUtils::deleteDiskStep, "Deletion of disk [" + disk + "]"},
        {REVERT_CREATE, &GcpUtils::diskFromSnapshotStep, "Disk [" + disk + "] from snapshot"},
        {REVERT_ATTACH, &GcpUtils::attachDiskStep, "Attach of disk [" + disk + "]"},
    };
    o->RevertState = REVERT_STARTED;
    if (!c->preemptFlag && session.ready()) {
        c->log(2, "GCP Reverting snapshot [%s] of disk [%s]...", o->SnapUuid.c_str(),
               o->GCPDeviceName.c_str());
        bool ok = true;
        for (const Stage& stage : stages) {
            if (stage.state == REVERT_SAFE_POINT) {
                if (!safePoint) {
                    continue;
                }
                ok = !c->preemptFlag;
                if (ok) {
                    CtxLockGuard guard(c);
                    ok = self->generateSafePointSnapName(o, c) == 0;
                }
            }
            // Each step runs only while no other snapshot of the call has
            // failed. Without a safe-point snapshot nothing can bring a
            // deleted disk back, so once the old disk is gone its replacement
            // is finished regardless of the other snapshots.
            const bool committed = !safePoint && stage.state > REVERT_DELETE;
            if (!ok || (!committed && c->preemptFlag)) {
                ok = false;
                break;
            }
            o->RevertState = stage.state;
            ok = self->runRetryingRateLimits(
                     [&] {
                         GcpStep step = (self->*stage.step)(o);
                         return self->runStep(o, step);
                     },
                     stage.what) == 0;
            if (!ok) {
                break;
            }
        }
        if (ok) {
            record->setStatus(BXSO::SNAP_REVERT_SUCCESS);
        }
    }
    if (record->getStatus() != BXSO::SNAP_REVERT_SUCCESS) {
        self->stopOtherWorkers(o, "revert");
    }
    c->log(3, "GCP Reverting snapshot [%s] of disk [%s]... done", o->SnapUuid.c_str(),
           o->GCPDeviceName.c_str());
}

void undoRevertSnap(GcpUtils* self, GcpObject* o) {
    GcpCtx* c = self->ctx;
    // The record keeps the revert's own failure; the undo's are logged.
    WorkerSession session(c, nullptr);
    o->snapInfo->setStatus(BXSO::SNAP_REVERT_FAILED);
    c->log(2, "GCP Undoing revert for snapshot [%s]...", o->SnapUuid.c_str());
    // Every undo step checks the disk's state before acting, so running the
    // undo again after a transient failure is safe; giving up after one try
    // would leave the user's disk detached or missing when it could be put back.
    // Without a safe-point, a disk past its deletion cannot come back: no retry.
    const ArrayConfigs& cfg = c->arrayDetails.arrayConfigs;
    const bool undoable = o->RevertState == REVERT_DETACH || o->RevertState == REVERT_SAFE_POINT ||
                          cfg.CreateSafepointSnapBeforeRevert;
    RetryPolicy policy;
    policy.attempts = undoable ? std::max(1, cfg.RetryMaxCount) : 1;
    policy.intervalMs = static_cast<long>(cfg.RetrySleepInterval) * 1000;
    Backoff backoff(policy);
    int rc = undoByState(*self, o);
    long pause = 0;
    while (rc != 0 && backoff.next(&pause)) {
        c->log(0, "GCP Retrying undo of revert for snapshot [%s] in [%d] seconds",
               o->SnapUuid.c_str(), cfg.RetrySleepInterval);
        WNSLEEP(pause);
        rc = undoByState(*self, o);
    }
    if (rc == 0) {
        c->log(3, "GCP Undoing revert for snapshot [%s]... done", o->SnapUuid.c_str());
    } else {
        c->log(-1, "GCP Failed to undo revert for snapshot [%s]", o->SnapUuid.c_str());
        o->UndoStanding = describeDiskStanding(*self, o);
    }
}

int deleteSafepointSnaps(GcpUtils& u, GcpCtx* c) {
    c->log(2, "GCP Deleting safe-point snapshots...");
    int total = 0;
    int deleted = 0;
    int failed = 0;
    if (!c->arrayDetails.arrayConfigs.CreateSafepointSnapBeforeRevert) {
        c->log(0,
               "GCP Skipping delete as safe-point snapshots were not created since snapshot "
               "config [%s] is not enabled.",
               kSafePointConfigName);
    } else {
        std::list<StartedStep> started;
        for (auto& entry : c->snapMap) {
            GcpObject* o = entry.second;
            int rc = getSafepointSnapDetails(u, o, c);
            if (rc == GCP_ERR_NOT_FOUND) {
                continue;
            }
            if (rc != 0) {
                c->log(-1, "GCP Failed to get details for safe-point snapshot [%s]",
                       o->SafePointSnapName.c_str());
                continue;
            }
            ++total;
            started.emplace_back(o, u.deleteSafePointStep(o));
            if (u.startStep(started.back().step, started.back().rec) != 0) {
                c->resetError();
                ++failed;
                started.pop_back();
            }
        }
        for (auto& s : started) {
            if (u.followStep(s.object, s.step, s.rec) != 0) {
                c->resetError();
                ++failed;
                continue;
            }
            ++deleted;
        }
    }
    c->log(0, "GCP Delete stats for safe-point snapshots -- total [%d] deleted [%d] failed [%d]",
           total, deleted, failed);
    int result = 0;
    if (failed > 0) {
        result = c->fail(GCP_ERR_INTERNAL,
                         "Failed to delete at least 1 safe-point snapshot. Please delete them "
                         "manually in GCP console.",
                         logfmt::kStep);
    }
    c->log(3, "GCP Deleting safe-point snapshots... done");
    return result;
}

}  // namespace

int GcpUtils::revertSnaps() {
    const size_t n = ctx->snapMap.size();
    ctx->log(2, "GCP Reverting Gcp devices - count[%zu]...", n);
    setSnapStatus(BXSO::SNAP_REVERT_FAILED);

    int rc = getSnapDetails();
    if (rc == 0) {
        rc = getSourceGcpDeviceDetails();
    }
    if (rc == 0) {
        rc = rest_getAttachedGcpDeviceDetails(ctx);
    }
    if (rc != 0) {
        return rc;
    }

    std::list<SnapOpReqParams> items;
    runOnWorkers("revertSnaps", &workerEntry<revertSnap>, items, "revert");
    size_t failed = 0;
    for (const auto& item : items) {
        if (item.object->snapInfo->getStatus() != BXSO::SNAP_REVERT_SUCCESS) {
            ++failed;
        }
    }
    // The undo and the rediscovery reset the context's error as they go.
    KeptFailure kept;
    if (failed > 0) {
        ctx->adoptFirstFailure();
        keepFirstFailure(kept);
    }
    const bool safePoints = ctx->arrayDetails.arrayConfigs.CreateSafepointSnapBeforeRevert;
    if (failed == 0) {
        deleteSafepointSnaps(*this, ctx);
    } else {
        if (safePoints) {
            ctx->log(-1,
                     "GCP Revert failed for [%zu] snapshots. Please delete the corresponding "
                     "safe-point snapshots manually in GCP console.",
                     failed);
        } else {
            ctx->log(-1, "GCP Revert failed for [%zu] snapshots", failed);
        }
        for (auto& item : items) {
            if (!ctx->threadPool.doWork(&workerEntry<undoRevertSnap>, &item)) {
                ctx->log(-1, "GCP Failed to start thread for undoing revert");
                break;
            }
        }
        ctx->threadPool.waitForAllThreads(true, true, true, -1);
    }
    // When the undo could not bring every disk back either, the operator
    // needs to know where each of those disks stands; and which safe-point
    // snapshots a failed call leaves for them to delete.
    std::string standing;
    std::string keptSafePoints;
    for (const auto& item : items) {
        GcpObject* o = item.object;
        if (!o->UndoStanding.empty()) {
            standing += (standing.empty() ? "" : "; ") + o->UndoStanding;
        }
        if (failed > 0 && safePointKept(*this, o)) {
            keptSafePoints += (keptSafePoints.empty() ? "" : ", ") + o->SafePointSnapName;
        }
    }
    auto addSentence = [&kept](const std::string& sentence) {
        kept.text += (kept.text.empty() ? "" : " ") + sentence;
        if (kept.code == 0) {
            kept.code = GCP_ERR_INTERNAL;
        }
    };
    if (!standing.empty()) {
        addSentence("The revert could not be undone: " + standing + ".");
    }
    if (!keptSafePoints.empty()) {
        addSentence("Safe-point snapshots kept in GCP: [" + keptSafePoints + "].");
    }
    items.clear();

    size_t found = static_cast<size_t>(rediscoverRevertedDisks(*this, n));
    if (failed == 0 && found == n) {
        return 0;
    }
    std::ostringstream msg;
    msg << "Revert failed for [" << (failed > 0 ? failed : n - found) << "] of [" << n
        << "] snapshots.";
    reportKeptFailure(kept, msg.str());
    setErrorDetailsForSnapObj(ctx->firstObject(), ctx, 0, nullptr);
    return GCP_ERR_INTERNAL;
}

int GcpUtils::generateSafePointSnapName(GcpObject* o, GcpCtx* c) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kHostInfoBufferSize]());
    const std::string head = "Failed to generate safe-point snap name. ";
    if (o->CreationTime < 1) {
        return c->fail(GCP_ERR_INTERNAL, head + "Snap operation time is not set", logfmt::kStep);
    }
    if (!buffer) {
        return c->fail(GCP_ERR_INTERNAL, head + "Failed to allocate buffer for Taldcell hex id.",
                       logfmt::kStep);
    }
    short length = kHostInfoBufferSize;
    if (o->snapInfo->getHostInfo(kHostInfoCategory, kHostInfoCellId, 0, buffer.get(), &length, 0) !=
        0) {
        return c->fail(GCP_ERR_INTERNAL, head + "Failed to fetch Taldcell hex id.", logfmt::kStep);
    }
    buffer[kHostInfoBufferSize - 1] = '\0';
    std::string cellId(buffer.get());
    if (!usableInName(cellId)) {
        return c->fail(GCP_ERR_INTERNAL,
                       head + "Taldcell hex id [" + cellId + "] is not usable in a snapshot name.",
                       logfmt::kStep);
    }
    o->SafePointSnapName = "bx-sp-" + cellId + "-" +
                           lowerHex(static_cast<unsigned long long>(o->snapInfo->getSnapNumber())) +
                           "-" + std::to_string(c->JobId) + "-" +
                           lowerHex(static_cast<unsigned long long>(o->CreationTime));
    c->log(0, "GCP Generated safe-point snapshot name [%s] length [%zu]",
           o->SafePointSnapName.c_str(), o->SafePointSnapName.size());
    return 0;
}

}  // namespace DuVavaZid
