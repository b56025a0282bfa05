// The per-snapshot items stored on the host records between calls; their text
// is made and read by the codecs of context/stored_items.h.
#include <map>
#include <sstream>

#include "context/gcp_ctx.h"
#include "context/stored_items.h"
#include "host/strings.h"

namespace DuVavaZid {

namespace {

constexpr int kHostValueTooLong = 2;  // the host's answer to an item over its limit

constexpr const char* kUuidFieldFormat =
    "GCP Getting details from snap uuid metadata failed. %d:%s";

}  // namespace

int GcpCtx::setSnapMetadata(GcpObject* object) {
    BXSO::SnapInfo* record = object->snapInfo;
    log(2, "GCP Setting snap metadata...");
    // An item the host refuses to keep is lost for every later call (the
    // labels of every clone and reverted disk, for one): fail the prepare.
    auto store = [&](int key, const char* what) {
        int rc = record->setMetadata(key, session().metadataBuffer.c_str());
        if (rc == 0) {
            return 0;
        }
        std::ostringstream msg;
        msg << "Failed to store the " << what << " metadata of GCP device ["
            << object->GCPDeviceName << "]: the host refused item [" << key << "]";
        if (rc == kHostValueTooLong) {
            msg << " of [" << session().metadataBuffer.size() << "] bytes as too long";
        }
        msg << ".";
        return fail(GCP_ERR_HOST_ITEM, msg.str(), "GCP %d-%s");
    };

    session().metadataBuffer = SnapUuidItem::encode(
        {object->GCPDeviceId, object->ProjectId, object->InstanceId, object->SnapResourceId});
    if (store(GCP_META_SNAP_UUID, "snap uuid") != 0) {
        return session().ErrCode;
    }
    log(3, "GCP >> Snap uuid metadata [%s]", session().metadataBuffer.c_str());

    session().metadataBuffer =
        CloudLocationItem::encode({object->GCPDeviceZone, object->GCPDeviceRegion});
    if (store(GCP_META_CLOUD_LOCATION, "cloud location") != 0) {
        return session().ErrCode;
    }
    log(3, "GCP >> Snap cloud location metadata [%s]", session().metadataBuffer.c_str());

    session().metadataBuffer = DeviceTypeItem::encode(object->GCPDeviceType);
    if (store(GCP_META_DEVICE_TYPE, "device type") != 0) {
        return session().ErrCode;
    }
    log(3, "GCP >> Device type metadata [%s]", session().metadataBuffer.c_str());

    session().metadataBuffer = ServiceAccountItem::encode(serviceAccount);
    if (store(GCP_META_SERVICE_ACCOUNT, "service account") != 0) {
        return session().ErrCode;
    }
    log(3, "GCP >> Service account metadata [%s]", session().metadataBuffer.c_str());

    session().metadataBuffer = SnapTransientItem::encode(object->GCPDeviceName);
    record->setTransientMetadata(GCP_META_TRANSIENT, session().metadataBuffer.c_str());
    log(-1, "GCP >> Snap transient metadata [%s]", session().metadataBuffer.c_str());

    session().metadataBuffer = LabelsItem::encode(object->DiskLabels);
    if (!session().metadataBuffer.empty()) {
        if (store(GCP_META_LABELS, "GCP labels") != 0) {
            return session().ErrCode;
        }
        log(3, "GCP >> GCP labels metadata [%s]", session().metadataBuffer.c_str());
    }
    log(3, "GCP Setting snap metadata... - done");
    return 0;
}

// Reads one item into metadataBuffer. Returns 0 with the buffer filled, or the
// result for the caller to return: a failure code, or 0 with *done set when a
// delete found nothing (the record is then marked deleted).
int GcpCtx::readMetadataItem(GcpObject* object, int key, const char* readFailMsg,
                             const char* emptyMsg, bool* done) {
    *done = false;
    session().metadataBuffer.clear();
    bool ok = object->snapInfo->getMetadata(key, &session().metadataBuffer);
    if (!ok) {
        session().metadataBuffer.clear();
    }
    // A delete of a snapshot that was never made finds its items empty and
    // counts it deleted; but once item 6 holds a resource id the snapshot
    // exists, and a missing item is an error (else it would stay in GCP
    // while the host believes it deleted).
    bool isDelete =
        OpCode == GCP_OP_DELETE && !(key != GCP_META_SNAP_UUID && !object->SnapResourceId.empty());
    if (!ok && !isDelete) {
        return fail(GCP_ERR_HOST_ITEM, readFailMsg);
    }
    if (session().metadataBuffer.empty()) {
        if (isDelete) {
            object->snapInfo->setStatus(BXSO::SNAP_DELETE_SUCCESS);
            *done = true;
            return 0;
        }
        return fail(GCP_ERR_EMPTY_METADATA, emptyMsg);
    }
    return 0;
}

int GcpCtx::metadataFieldMissing(const std::string& head, const char* format) {
    return fail(GCP_ERR_EMPTY_INPUT, head + session().metadataBuffer + "]", format);
}

int GcpCtx::fillSnapObjectFromMetadata(GcpObject* object) {
    log(2, "GCP Getting snap metadata...");
    BXSO::SnapInfo* record = object->snapInfo;
    bool done = false;
    int rc = 0;

    if (OpCode != GCP_OP_PREPARE) {
        log(2, "GCP Getting details from snap uuid metadata...");
        rc = readMetadataItem(
            object, GCP_META_SNAP_UUID, "Failed to get snap uuid metadata and hence failing",
            "Empty snap uuid metadata found - may be prepare itself failed", &done);
        if (rc != 0 || done) {
            return rc;
        }
        // A field the item does not give keeps its value, as when each was
        // read straight into the object.
        SnapUuidItem::Fields uuid{object->GCPDeviceId, object->ProjectId, object->InstanceId,
                                  object->SnapResourceId};
        SnapUuidItem::Missing missing = SnapUuidItem::decode(session().metadataBuffer, uuid);
        object->GCPDeviceId = uuid.deviceId;
        object->ProjectId = uuid.projectId;
        object->InstanceId = uuid.instanceId;
        object->SnapResourceId = uuid.resourceId;
        if (missing == SnapUuidItem::kDeviceId) {
            return metadataFieldMissing("GCP device id not found in snap uuid metadata [",
                                        kUuidFieldFormat);
        }
        if (missing == SnapUuidItem::kProjectId) {
            return metadataFieldMissing("GCP project id not found in snap uuid metadata [",
                                        kUuidFieldFormat);
        }
        if (missing == SnapUuidItem::kInstanceId) {
            return metadataFieldMissing("GCP instance id not found in snap uuid metadata [",
                                        kUuidFieldFormat);
        }
        if (missing == SnapUuidItem::kResourceId) {
            if (OpCode == GCP_OP_DELETE) {
                log(-1,
                    "GCP Snapshot resource id not found in snap uuid metadata... however "
                    "proceeding further");
            } else if (OpCode != GCP_OP_SNAP && OpCode != GCP_OP_POST_SNAP) {
                return metadataFieldMissing(
                    "Snapshot resource id not found in snap uuid metadata [", kUuidFieldFormat);
            }
        }
        log(0,
            "GCP >> From snap uuid metadata - GCP device id [%s] project id [%s] instance id "
            "[%s] snap resource id [%s]",
            object->GCPDeviceId.c_str(), object->ProjectId.c_str(), object->InstanceId.c_str(),
            object->SnapResourceId.c_str());
        getGcpDevTagFromNameOrId(object, object->GCPDeviceTag);
        getSnapTagFromUuidOrId(object, object->SnapTag);

        if (OpCode == GCP_OP_SNAP) {
            rc = readMetadataItem(
                object, GCP_META_TRANSIENT,
                "Failed to get snap transient metadata and hence failing",
                "Empty snap transient metadata found - may be prepare itself failed", &done);
            if (rc != 0 || done) {
                return rc;
            }
            if (!SnapTransientItem::decode(session().metadataBuffer, object->GCPDeviceName)) {
                return metadataFieldMissing(
                    "GCP device name not found in snap transient metadata [",
                    "GCP Getting details from snap transient metadata failed. %d:%s");
            }
        }

        log(2, "GCP Getting details from GCP device type metadata...");
        rc = readMetadataItem(object, GCP_META_DEVICE_TYPE,
                              "Failed to get GCP device type metadata and hence failing",
                              "Empty GCP device type metadata found - may be prepare itself failed",
                              &done);
        if (rc != 0 || done) {
            return rc;
        }
        if (!DeviceTypeItem::decode(session().metadataBuffer, object->GCPDeviceType)) {
            return metadataFieldMissing(
                "GCP device type not found in snap cloud location metadata [",
                "GCP Getting details from GCP device type metadata failed. %d:%s");
        }
        log(0, "GCP >> From GCP device type metadata - GCP device type [%s]",
            object->GCPDeviceType.c_str());

        log(2, "GCP Getting details from GCP service account metadata...");
        rc = readMetadataItem(
            object, GCP_META_SERVICE_ACCOUNT,
            "Failed to get GCP service account metadata and hence failing",
            "Empty GCP service account metadata found - may be prepare itself failed", &done);
        if (rc != 0 || done) {
            return rc;
        }
        if (!ServiceAccountItem::decode(session().metadataBuffer, object->ServiceAccount)) {
            return metadataFieldMissing(
                "Service account not found in snap GCP service account metadata [",
                "GCP Getting details from GCP service account metadata failed. %d:%s");
        }
        log(0, "GCP >> From GCP service account metadata - service account [%s]",
            object->ServiceAccount.c_str());
    }

    if (OpCode != GCP_OP_PREPARE || hpxMode) {
        log(2, "GCP Getting details from GCP Snap cloud location metadata...");
        rc = readMetadataItem(
            object, GCP_META_CLOUD_LOCATION,
            "Failed to get snap cloud location metadata and hence failing",
            "Empty snap cloud location metadata found - may be prepare itself failed", &done);
        if (rc != 0 || done) {
            return rc;
        }
        const char* format = "GCP Getting details from snap cloud location metadata failed. %d:%s";
        CloudLocationItem::Fields location;
        CloudLocationItem::Missing missing =
            CloudLocationItem::decode(session().metadataBuffer, location);
        if (missing == CloudLocationItem::kZone) {
            return metadataFieldMissing("GCP zone not found in snap cloud location metadata [",
                                        format);
        }
        if (missing == CloudLocationItem::kRegion) {
            return metadataFieldMissing("GCP region not found in snap cloud location metadata [",
                                        format);
        }
        object->GCPDeviceZone = location.zone;
        object->GCPDeviceRegion = location.region;
        log(0,
            "GCP >> From snap cloud location metadata - GCP device zone [%s] GCP device region "
            "[%s]",
            object->GCPDeviceZone.c_str(), object->GCPDeviceRegion.c_str());
    }

    // The unmap needs them too: a regional clone is found only under its region.
    if (hpxMode && (OpCode == GCP_OP_MAP || OpCode == GCP_OP_UNMAP)) {
        std::map<std::string, std::string> opts{{"destination-replica-zones", ""},
                                                {"destination-encryption-key", ""}};
        if (record->getCloneOptions(&opts)) {
            log(3, "Clone options found");
            const std::string& zones = opts["destination-replica-zones"];
            object->cloneOptions.DestinationReplicaZones = HostStr::Split(zones, ",");
            object->cloneOptions.destEncryptionKey = opts["destination-encryption-key"];
            if (!object->cloneOptions.DestinationReplicaZones.empty()) {
                object->RegionalDisk = true;
                log(0, "GCP >> From cloud clone options - Destination disk replica zones [%s]",
                    zones.c_str());
            }
            log(0, "GCP >> From cloud clone options - Destination encryption key [%s]",
                object->cloneOptions.destEncryptionKey.c_str());
        } else {
            log(3, "Clone options not found");
        }
    }

    if (OpCode == GCP_OP_MAP || OpCode == GCP_OP_REVERT) {
        session().metadataBuffer.clear();
        record->getMetadata(GCP_META_LABELS, &session().metadataBuffer);
        if (!LabelsItem::decode(session().metadataBuffer, object->DiskLabels)) {
            return metadataFieldMissing(
                "Failed to parse the labels metadata as a JSON object. Metadata [",
                "GCP Getting details from source disk labels metadata failed. %d:%s");
        }
    }

    log(3, "GCP Getting snap metadata... - done");
    return 0;
}

int GcpCtx::updateSnapMetadataWithSnapId(GcpObject* object) {
    session().metadataBuffer.clear();
    if (!object->snapInfo->getMetadata(GCP_META_SNAP_UUID, &session().metadataBuffer)) {
        return fail(GCP_ERR_HOST_ITEM, "Failed to get snap uuid metadata and hence failing");
    }
    // The stored text is rewritten rather than encoded again, so all but the
    // id stays byte for byte as an earlier call (or version) wrote it.
    if (!SnapUuidItem::putResourceId(session().metadataBuffer, object->SnapResourceId)) {
        return fail(GCP_ERR_HOST_ITEM, "Snap uuid format is incorrect");
    }
    object->snapInfo->setMetadata(GCP_META_SNAP_UUID, session().metadataBuffer.c_str());
    log(0, "GCP Snap uuid metadata [%s]", session().metadataBuffer.c_str());
    return 0;
}

int GcpCtx::updateSnapMetadataWithGcpDeviceId(GcpObject* object) {
    session().metadataBuffer.clear();
    if (!object->snapInfo->getMetadata(GCP_META_SNAP_UUID, &session().metadataBuffer)) {
        return fail(GCP_ERR_HOST_ITEM, "Failed to get snap uuid metadata and hence failing");
    }
    if (!SnapUuidItem::putDeviceId(session().metadataBuffer, object->GCPDeviceId)) {
        return fail(GCP_ERR_HOST_ITEM, "Snap uuid format is incorrect");
    }
    object->snapInfo->setMetadata(GCP_META_SNAP_UUID, session().metadataBuffer.c_str());
    log(0, "GCP Snap uuid metadata [%s]", session().metadataBuffer.c_str());
    return 0;
}

}  // namespace DuVavaZid
