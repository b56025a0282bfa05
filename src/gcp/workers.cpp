// The worker pool of the parallel phases (snapshot creation, revert).
#include <algorithm>
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

void GcpUtils::initThreadPool(const std::string& name) {
    unsigned long threads =
        static_cast<unsigned long>(std::max(1, ctx->arrayDetails.arrayConfigs.ThreadCount));
    unsigned long snaps = static_cast<unsigned long>(ctx->snapMap.size());
    int n = static_cast<int>(std::min(threads, snaps));
    ctx->threadPool.initThreadPool(name.c_str(), static_cast<unsigned long>(-1), n, n, 1);
}

void GcpUtils::runOnWorkers(const char* name, void* (*fn)(void*), std::list<SnapOpReqParams>& items,
                            const char* verb) {
    initThreadPool(name);
    ctx->threadsInUse = true;
    // One time for the whole call: snapshot descriptions and safe-point names carry it.
    const long now = static_cast<long>(getCurTime());
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        o->CreationTime = now;
        items.emplace_back();
        items.back().object = o;
        items.back().utils = this;
        if (!ctx->threadPool.doWork(fn, &items.back())) {
            CtxLockGuard guard(ctx);
            ctx->preemptFlag = true;
            ctx->log(-1, "GCP Failed to start thread for %s for snapshot [%s]", verb,
                     o->SnapUuid.c_str());
            std::ostringstream msg;
            msg << "Failed to start thread for " << verb << " for snapshot [" << o->SnapUuid << "]";
            ctx->noteFailure(GCP_ERR_INTERNAL, msg.str());
            break;
        }
    }
    ctx->threadPool.waitForAllThreads(true, true, true, -1);
}

void GcpUtils::stopOtherWorkers(const GcpObject* o, const char* verb) {
    if (ctx->preemptFlag) {
        return;
    }
    CtxLockGuard guard(ctx);
    ctx->preemptFlag = true;
    ctx->log(0, "GCP Failing %s for snapshot [%s] due to pre-empt flag set", verb,
             o->SnapUuid.c_str());
}

int GcpUtils::reportWorkersFailure(size_t failed, const char* verb) {
    if (!ctx->adoptFirstFailure()) {
        // Every failure has a reason; this one only shows in the statuses.
        std::ostringstream msg;
        msg << "Failed to " << verb << " [" << failed << "] of [" << ctx->snapMap.size()
            << "] snapshots.";
        ctx->session().resetError();
        ctx->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
    }
    if (ctx->session().ErrCode <= 0) {
        ctx->session().ErrCode = GCP_ERR_INTERNAL;
    }
    setErrorDetailsForSnapObj(ctx->firstObject(), ctx, 0, nullptr);
    return ctx->session().ErrCode;
}

}  // namespace DuVavaZid
