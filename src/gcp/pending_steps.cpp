// Steps whose implementation is not part of this build yet. Each reports an
// internal failure so that a call reaching one fails cleanly instead of
// pretending to work.
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

int GcpUtils::notAvailable(const char* step) {
    ctx->log(-1, "GCP %s is not available in this build", step);
    return ctx->fail(GCP_ERR_INTERNAL, "Operation not available in this build");
}

int GcpUtils::rest_connectToArray() { return notAvailable("rest_connectToArray"); }
int GcpUtils::isGoogleDevice(const std::string&) { return notAvailable("isGoogleDevice"); }
int GcpUtils::processSCSIDetails(std::vector<short>&, int) {
    return notAvailable("processSCSIDetails");
}
int GcpUtils::discoverArrayVolumeDetails() { return notAvailable("discoverArrayVolumeDetails"); }
int GcpUtils::createSnaps() { return notAvailable("createSnaps"); }
int GcpUtils::postCreateSnaps() { return notAvailable("postCreateSnaps"); }
int GcpUtils::mapSnaps() { return notAvailable("mapSnaps"); }
int GcpUtils::unmapSnaps() { return notAvailable("unmapSnaps"); }
int GcpUtils::deleteSnaps() { return notAvailable("deleteSnaps"); }
int GcpUtils::reconSnaps() { return notAvailable("reconSnaps"); }
int GcpUtils::revertSnaps() { return notAvailable("revertSnaps"); }

}  // namespace DuVavaZid
