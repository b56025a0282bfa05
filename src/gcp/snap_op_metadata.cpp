// Metadata items written and read by the snapshot and interim-clone families.
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

namespace {
constexpr int kHostValueTooLong = 2;
}

int GcpUtils::setSnapOpLinkInMetadata(const std::string& link, GcpObject* object, GcpCtx*) {
    size_t scheme = link.find("://");
    std::string value = (scheme == std::string::npos) ? link : link.substr(scheme + 3);
    object->snapInfo->setTransientMetadata(GCP_META_SNAP_OP_LINK, value.c_str());
    return 0;
}

int GcpUtils::getSnapOpLinkFromMetadata(std::string& link, GcpObject* object, GcpCtx* c) {
    if (object->snapInfo->getMetadata(GCP_META_SNAP_OP_LINK, &link)) {
        c->log(0,
               "GCP >> Got snap operation link [%s] for snapshot [%s] of GCP device [%s] "
               "successfully",
               link.c_str(), object->SnapTag.c_str(), object->GCPDeviceTag.c_str());
        return 0;
    }
    return c->fail(GCP_ERR_HOST_ITEM, "Failed to get snap operation link and hence failing");
}

int GcpUtils::setInterimCloneInfoMetadata(GcpObject* object, GcpCtx* c) {
    c->session().metadataBuffer = object->interimCloneInfo.interimCloneId + "|" +
                                  object->interimCloneInfo.interimSnapId + "|";
    int rc =
        object->snapInfo->setMetadata(GCP_META_INTERIM_CLONE, c->session().metadataBuffer.c_str());
    if (rc == 0) {
        c->log(0, "GCP Interim clone info metadata [%s]", c->session().metadataBuffer.c_str());
        return 0;
    }
    if (rc == kHostValueTooLong) {
        c->log(-1, "GCP Interim clone info metadata for snap [%s] is too large with length [%zu]",
               object->SnapUuid.c_str(), c->session().metadataBuffer.size());
    } else {
        c->log(-1, "GCP Failed to update interim clone info metadata for snap [%s]",
               object->SnapUuid.c_str());
    }
    return GCP_ERR_INTERNAL;
}

int GcpUtils::getInterimCloneInfoMetadata(GcpObject* object, GcpCtx* c) {
    c->session().metadataBuffer.clear();
    if (!object->snapInfo->getMetadata(GCP_META_INTERIM_CLONE, &c->session().metadataBuffer)) {
        c->log(-1,
               "GCP Failed to get interim clone metadata for snap [%s], however proceeding "
               "further",
               object->SnapUuid.c_str());
        return GCP_ERR_INTERNAL;
    }
    const std::string& text = c->session().metadataBuffer;
    size_t first = text.find('|');
    if (first != std::string::npos && first != 0) {
        object->interimCloneInfo.interimCloneId = text.substr(0, first);
        size_t second = text.find('|', first + 1);
        if (second != std::string::npos && second != first + 1) {
            object->interimCloneInfo.interimSnapId = text.substr(first + 1, second - first - 1);
        }
    }
    return 0;
}

}  // namespace DuVavaZid
