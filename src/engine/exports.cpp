#include "engine/exports.h"

#include <cstring>
#include <exception>
#include <vector>

#include "gcp/gcp_utils.h"
#include "host/strings.h"

using DuVavaZid::GcpCtx;
using DuVavaZid::GcpUtils;

namespace {

constexpr int kHostLogStart = 1;
constexpr int kHostLogFailure = 2;
constexpr int kErrorBufferSize = 1024;

// What distinguishes one working entry point from another.
struct OperationRow {
    int opCode;
    BXSO::SnapStatus success;
    BXSO::SnapStatus failure;
    bool changesStatus;
    const char* startText;
    const char* successText;
    const char* failureText;
};

bool haveFirst(BXSO::SnapInfo** snaps) {
    return snaps && snaps[0];
}

void logStart(const OperationRow& op, BXSO::SnapInfo** snaps, short count) {
    if (haveFirst(snaps)) {
        snaps[0]->logMessage(kHostLogStart, "GCP ", op.startText, static_cast<int>(count));
    }
}

int succeed(const OperationRow& op, BXSO::SnapInfo** snaps) {
    if (haveFirst(snaps)) {
        snaps[0]->logMessage(kHostLogStart, "GCP >> ", "%s", op.successText);
    }
    return 0;
}

// Marks the records failed and hands the call's error to the first record,
// unless a deeper step already left a complete error there.
int failCall(const OperationRow& op, GcpCtx& ctx, BXSO::SnapInfo** snaps, short count) {
    if (op.changesStatus) {
        setSnapStatus(op.success, op.failure, snaps, count);
    }
    if (haveFirst(snaps)) {
        char text[kErrorBufferSize];
        std::memset(text, 0, sizeof text);
        int code = 0;
        snaps[0]->getError(&code, text, kErrorBufferSize - 1);
        if (code == 0 || text[0] == '\0') {
            std::string err = ctx.errText();
            setSnapOpError(snaps[0], DuVavaZid::hostErrorOf(static_cast<short>(op.opCode)),
                           err.c_str());
        }
        snaps[0]->logMessage(kHostLogFailure, "GCP ", "%s", op.failureText);
    }
    return 1;
}

// A failure that no step reported: an exception out of the host or a library.
void failInternally(GcpCtx& ctx, const char* what) {
    ctx.session().resetError();
    ctx.fail(DuVavaZid::GCP_ERR_INTERNAL,
             std::string("Internal error in the GCP plug-in: ") + (what ? what : ""),
             DuVavaZid::logfmt::kStep);
}

typedef int (GcpUtils::*Operation)();

int runOperation(const OperationRow& op, Operation run, BXSO::SnapInfo** snaps, short count,
                 BXSO::BXOSUtil* util) {
    logStart(op, snaps, count);
    GcpCtx ctx(util, 0, op.opCode);
    GcpUtils utils(&ctx);
    try {
        if (ctx.initialize(snaps, count) != 0 || utils.rest_connectToArray() != 0 ||
            (utils.*run)() != 0) {
            return failCall(op, ctx, snaps, count);
        }
        return succeed(op, snaps);
    } catch (const std::exception& e) {
        failInternally(ctx, e.what());
    } catch (...) {
        failInternally(ctx, "unknown exception");
    }
    // The failure path runs for an exception too: statuses, the first
    // record's error and the failure line (failCall does not throw).
    try {
        return failCall(op, ctx, snaps, count);
    } catch (...) {
        return 1;
    }
}

// The host never sees an exception: anything thrown inside is a failed call.
template <typename Fn>
int guarded(Fn&& fn) {
    try {
        return fn();
    } catch (...) {
        return 1;
    }
}

const OperationRow kPrepare{DuVavaZid::GCP_OP_PREPARE,
                            BXSO::SNAP_PREPARE_SUCCESS,
                            BXSO::SNAP_PREPARE_FAILED,
                            true,
                            "Prepare snap operation - no of devices [%d]",
                            "Prepare snap operation -- success",
                            "Prepare snap operation -- failed"};
const OperationRow kSnap{DuVavaZid::GCP_OP_SNAP,
                         BXSO::SNAP_CREATE_SUCCESS,
                         BXSO::SNAP_CREATE_FAILED,
                         true,
                         "Create snap operation - no of devices [%d]",
                         "Create snap operation -- success",
                         "Create snap operation -- failed"};
const OperationRow kPostSnap{DuVavaZid::GCP_OP_POST_SNAP,
                             BXSO::SNAP_CREATE_SUCCESS,
                             BXSO::SNAP_CREATE_FAILED,
                             true,
                             "Post create snap operation - no of devices [%d]",
                             "Post create snap operation -- success",
                             "Post create snap operation -- failed"};
const OperationRow kMap{DuVavaZid::GCP_OP_MAP,
                        BXSO::SNAP_MAP_SUCCESS,
                        BXSO::SNAP_MAP_FAILED,
                        true,
                        "Map snap operation - no of snaps [%d]",
                        "Map snap operation -- success",
                        "Map snap operation -- failed"};
const OperationRow kUnmap{DuVavaZid::GCP_OP_UNMAP,
                          BXSO::SNAP_UNMAP_SUCCESS,
                          BXSO::SNAP_UNMAP_FAILED,
                          true,
                          "Unmap snap operation - no of snaps [%d]",
                          "Unmap snap operation -- success",
                          "Unmap snap operation -- failed"};
const OperationRow kDelete{DuVavaZid::GCP_OP_DELETE,
                           BXSO::SNAP_DELETE_SUCCESS,
                           BXSO::SNAP_DELETE_FAILED,
                           true,
                           "Delete snap operation - no of snaps [%d]",
                           "Delete snap operation -- success",
                           "Delete snap operation -- failed"};
const OperationRow kRevert{DuVavaZid::GCP_OP_REVERT,
                           BXSO::SNAP_REVERT_SUCCESS,
                           BXSO::SNAP_REVERT_FAILED,
                           true,
                           "Revert snap operation - no of devices [%d]",
                           "Revert snap operation -- success",
                           "Revert snap operation -- failed"};
const OperationRow kReconcile{DuVavaZid::GCP_OP_RECONCILE,
                              BXSO::SNAP_STATUS_NONE,
                              BXSO::SNAP_STATUS_NONE,
                              false,
                              "Reconcile snap operation - no of snaps [%d]",
                              "Reconcile snap operation -- success",
                              "Reconcile snap operation -- failed"};

int unsupported(int opCode, BXSO::BXOSUtil* util, const std::string& text) {
    GcpCtx ctx(util, 0, opCode);
    GcpUtils utils(&ctx);
    ctx.log(0, "%s", text.c_str());
    return 1;
}

}  // namespace

void setSnapStatus(BXSO::SnapStatus success, BXSO::SnapStatus failure, BXSO::SnapInfo** snaps,
                   short count) {
    if (count < 1 || !snaps) {
        return;
    }
    for (short i = 0; i < count; ++i) {
        if (snaps[i] && snaps[i]->getStatus() != success) {
            snaps[i]->setStatus(failure);
        }
    }
}

void setSnapOpError(BXSO::SnapInfo* record, int code, const char* message) {
    if (record) {
        record->setError(code, message);
    }
}

void bxso_version(short* major, short* minor, short* revision) {
    if (!major || !minor || !revision) {
        return;
    }
    try {
        *major = 1;
        *minor = 1;
        *revision = 1;
        HostDebug debug;
        debug.debugLvl(2, 0, "GCP Version: Major[%d] Minor[%d] Revision[%d]", *major, *minor,
                       *revision);
    } catch (...) {
    }
}

int bxso_isSupported(const char* deviceName, int, BXSO::BXOSUtil* util, void*, short) {
    return guarded([&] {
        GcpCtx ctx(util, 0, DuVavaZid::GCP_OP_IS_SUPPORTED);
        GcpUtils utils(&ctx);
        const char* name = deviceName ? deviceName : "";
        ctx.log(0, "GCP Checking whether device [%s] belongs to Google Cloud Platform or not...",
                name);
        ctx.initialize(nullptr, 1);
        return utils.isGoogleDevice(name) == 0 ? 0 : 1;
    });
}

int bxso_prepareDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded([&] {
        logStart(kPrepare, snaps, count);
        GcpCtx ctx(util, 0, DuVavaZid::GCP_OP_PREPARE);
        GcpUtils utils(&ctx);
        std::vector<short> pageCodes;
        if (ctx.initialize(snaps, count) != 0) {
            return failCall(kPrepare, ctx, snaps, count);
        }
        bool arrayKnown = snaps[0]->getArrayNumber() > 0;
        if (!ctx.hpxMode) {
            pageCodes.push_back(0);
            pageCodes.push_back(0x83);
            if (utils.processSCSIDetails(pageCodes, 1) != 0) {
                return failCall(kPrepare, ctx, snaps, count);
            }
        }
        if (ctx.getArrayDetailsFromDB() != 0 ||
            (!arrayKnown && ctx.readAndSetArrayConfigs() != 0) ||
            utils.rest_connectToArray() != 0 || utils.discoverArrayVolumeDetails() != 0) {
            return failCall(kPrepare, ctx, snaps, count);
        }
        ctx.dump();
        return succeed(kPrepare, snaps);
    });
}

int bxso_unprepareDevices(BXSO::SnapInfo**, short count, BXSO::BXOSUtil* util) {
    return guarded([&] {
        return unsupported(DuVavaZid::GCP_OP_PREPARE, util,
                           HostStr::Format("GCP Snap unprepare for [%d] devices -- NOT Supported",
                                           static_cast<int>(count)));
    });
}

int bxso_snapDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded([&] { return runOperation(kSnap, &GcpUtils::createSnaps, snaps, count, util); });
}

int bxso_postSnapDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded(
        [&] { return runOperation(kPostSnap, &GcpUtils::postCreateSnaps, snaps, count, util); });
}

int bxso_isMapped(BXSO::SnapInfo**, short, BXSO::BXOSUtil* util) {
    return guarded([&] {
        return unsupported(DuVavaZid::GCP_OP_SNAP, util, "GCP IsMapped not yet supported");
    });
}

int bxso_mapSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded([&] { return runOperation(kMap, &GcpUtils::mapSnaps, snaps, count, util); });
}

int bxso_unmapSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded([&] { return runOperation(kUnmap, &GcpUtils::unmapSnaps, snaps, count, util); });
}

int bxso_deleteSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded([&] {
        logStart(kDelete, snaps, count);
        GcpCtx ctx(util, 0, DuVavaZid::GCP_OP_DELETE);
        GcpUtils utils(&ctx);
        if (ctx.initialize(snaps, count) != 0) {
            return failCall(kDelete, ctx, snaps, count);
        }
        if (utils.checkSnapStatusForDelete()) {
            snaps[0]->logMessage(kHostLogStart, "GCP ", "%s",
                                 "All snaps are marked as delete success - hence returning");
            return succeed(kDelete, snaps);
        }
        if (utils.rest_connectToArray() != 0 || utils.deleteSnaps() != 0) {
            return failCall(kDelete, ctx, snaps, count);
        }
        succeed(kDelete, snaps);
        utils.logErrorDetails(&ctx);
        return 0;
    });
}

int bxso_revertSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded(
        [&] { return runOperation(kRevert, &GcpUtils::revertSnaps, snaps, count, util); });
}

int bxso_fileRevert(void*, void*, void*, short, BXSO::BXOSUtil* util) {
    return guarded([&] {
        return unsupported(DuVavaZid::GCP_OP_REVERT, util,
                           "GCP Snap file revert not supported for Google GCP");
    });
}

int bxso_reconcileSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util) {
    return guarded(
        [&] { return runOperation(kReconcile, &GcpUtils::reconSnaps, snaps, count, util); });
}
