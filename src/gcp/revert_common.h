// Pieces shared by the revert orchestration and its disk operations.
#pragma once

#include "context/gcp_ctx.h"

namespace DuVavaZid {

// Shown to users as the name of the setting that keeps a safe-point snapshot.
constexpr const char* kSafePointConfigName = "Create safe-point snapshot before revert";

// Holds the context lock for one scope when it could be taken; callers check
// held() and report "Failed to acquire lock" themselves.
class CtxTryLock {
  public:
    explicit CtxTryLock(GcpCtx* ctx) : ctx_(ctx), held_(ctx->checkAndTryLock() != 0) {}
    ~CtxTryLock() {
        if (held_) {
            ctx_->checkAndReleaseLock();
        }
    }
    CtxTryLock(const CtxTryLock&) = delete;
    CtxTryLock& operator=(const CtxTryLock&) = delete;
    bool held() const { return held_; }

  private:
    GcpCtx* ctx_;
    bool held_;
};

}  // namespace DuVavaZid
