// Steps whose implementation is not part of this build yet. Each reports an
// internal failure so that a call reaching one fails cleanly instead of
// pretending to work.
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

int GcpUtils::notAvailable(const char* step) {
    ctx->log(-1, "GCP %s is not available in this build", step);
    return ctx->fail(GCP_ERR_INTERNAL, "Operation not available in this build");
}

int GcpUtils::createInterimClones() { return notAvailable("createInterimClones"); }
int GcpUtils::createInterimSnaps() { return notAvailable("createInterimSnaps"); }
int GcpUtils::deleteInterimClones() { return notAvailable("deleteInterimClones"); }
int GcpUtils::deleteInterimSnaps() { return notAvailable("deleteInterimSnaps"); }

}  // namespace DuVavaZid
