// Reconciliation: marks the records whose snapshot no longer exists in GCP.
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

int GcpUtils::reconSnaps() {
    ctx->log(2, "GCP Reconciling snapshots...");
    int externallyDeleted = 0;
    int skipped = 0;
    int failed = 0;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->SnapUuid.empty()) {
            ctx->log(0,
                     "GCP Snapshot name is empty for snap # [%ld]  - may be snap failed in prepare "
                     "phase and hence skipping it for recon.",
                     entry.first);
            ++skipped;
            continue;
        }
        int rc = rest_getSnapDetailsByResIdOrUuid(o, ctx);
        if (rc == 0) {
            ctx->log(2, "GCP Snapshot [%s] exists - snap id [%s]", o->SnapUuid.c_str(),
                     o->SnapResourceId.c_str());
        } else if (rc == GCP_ERR_NOT_FOUND) {
            ctx->resetError();
            ctx->log(0,
                     "GCP Snapshot not found. May be deleted externally or not created, hence "
                     "marking snap [%s] as externally deleted.",
                     o->SnapUuid.c_str());
            o->snapInfo->setStatus(BXSO::SNAP_EXTERNALLY_DELETED);
            ++externallyDeleted;
        } else {
            ctx->resetError();
            ++failed;
        }
    }
    ctx->log(0,
             "GCP Snapshot Recon stats: Total-[%zu] Externally Deleted-[%d] Skipped-[%d] "
             "Failed-[%d]",
             ctx->snapMap.size(), externallyDeleted, skipped, failed);
    ctx->log(3, "GCP Reconciling snapshots... - done");
    return 0;
}

}  // namespace DuVavaZid
