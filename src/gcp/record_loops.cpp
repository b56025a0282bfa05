// Operations that apply to every record of the call.
#include <vector>

#include "gcp/gcp_utils.h"

namespace DuVavaZid {

namespace {
constexpr int kMapStatusUnmapFailed = 58;
constexpr size_t kErrorTextBuffer = 8192;
}  // namespace

void GcpUtils::setSnapStatus(BXSO::SnapStatus status) {
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (!object || !object->snapInfo) {
            continue;
        }
        object->snapInfo->setStatus(status);
        object->MapStatus = (status == BXSO::SNAP_UNMAP_FAILED) ? kMapStatusUnmapFailed : 0;
    }
}

void GcpUtils::setSnapFlags(int flags) {
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (object && object->snapInfo) {
            object->snapInfo->setSnapFlag(static_cast<long>(flags));
        }
    }
}

bool GcpUtils::checkSnapStatusForDelete() {
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (!object || !object->snapInfo ||
            object->snapInfo->getStatus() != BXSO::SNAP_DELETE_SUCCESS) {
            return false;
        }
    }
    return !ctx->snapMap.empty();
}

void GcpUtils::logErrorDetails(GcpCtx* c) {
    std::vector<char> text(kErrorTextBuffer);
    for (auto& entry : c->snapMap) {
        GcpObject* object = entry.second;
        if (!object || !object->snapInfo) {
            continue;
        }
        int code = 0;
        std::fill(text.begin(), text.end(), '\0');
        object->snapInfo->getError(&code, text.data(), static_cast<int>(text.size() - 1));
        c->log(0, "GCP Snap num [%ld] Error [%d-%s]", object->snapInfo->getSnapNumber(), code,
               text.data());
    }
}

}  // namespace DuVavaZid
