// Metadata items written and read by the snapshot and interim-clone families;
// their text is made and read by the codecs of context/stored_items.h.
#include "context/stored_items.h"
#include "gcp/gcp_utils.h"

namespace DuVavaZid {

namespace {
constexpr int kHostValueTooLong = 2;
}

int GcpUtils::setSnapOpLinkInMetadata(const std::string& link, GcpObject* object, GcpCtx*) {
    object->snapInfo->setTransientMetadata(GCP_META_SNAP_OP_LINK,
                                           SnapOpLinkItem::encode(link).c_str());
    return 0;
}

int GcpUtils::getSnapOpLinkFromMetadata(std::string& link, GcpObject* object, GcpCtx* c) {
    std::string text;
    if (object->snapInfo->getMetadata(GCP_META_SNAP_OP_LINK, &text) &&
        SnapOpLinkItem::decode(text, link)) {
        c->log(0,
               "GCP >> Got snap operation link [%s] for snapshot [%s] of GCP device [%s] "
               "successfully",
               link.c_str(), object->SnapTag.c_str(), object->GCPDeviceTag.c_str());
        return 0;
    }
    return c->fail(GCP_ERR_HOST_ITEM, "Failed to get snap operation link and hence failing");
}

int GcpUtils::setInterimCloneInfoMetadata(GcpObject* object, GcpCtx* c) {
    c->session().metadataBuffer = InterimCloneItem::encode(
        {object->interimCloneInfo.interimCloneId, object->interimCloneInfo.interimSnapId});
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
    // Whatever part of the item is readable is taken; the names are derived
    // from the ids later, and an id not found keeps its value.
    InterimCloneInfo& info = object->interimCloneInfo;
    InterimCloneItem::Fields ids{info.interimCloneId, info.interimSnapId};
    InterimCloneItem::decode(c->session().metadataBuffer, ids);
    info.interimCloneId = ids.cloneId;
    info.interimSnapId = ids.snapId;
    return 0;
}

}  // namespace DuVavaZid
