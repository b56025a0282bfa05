// Finding the GCP disk behind each snapshot object: through the local
// instance's attachments for a local device, or by name or id in a zone or
// region for HPX devices and every call after prepare.
#include <map>
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

constexpr int kNotFoundStatus = 404;
const char* const kLocalDiskFields = "name,id,type,users";
const char* const kDiskByIdFields = "name,id,type";
const char* const kAttachmentFields = "source,deviceName";

std::string instancePath(const GcpCtx* c) {
    return c->projectId + "/zones/" + c->instanceZone + "/instances/" + c->instanceName;
}

std::string lastSegment(const std::string& url) {
    std::string out;
    extractLastPartOfUrl(url, out);
    return out;
}

int rest_getOriginalGcpDeviceName(GcpUtils& u, GcpObject* object, GcpCtx* c) {
    if (!u.restGetInstance(instancePath(c))) {
        return u.failRequest(
            object, GCP_ERR_GCP,
            "Failed to get details for GCP device by instance [" + c->instanceName + "].");
    }
    return u.processGetOriginalGcpDeviceNameResp(object, c);
}

int rest_getGcpDeviceDetails(GcpUtils& u, GcpObject* object, GcpCtx* c) {
    std::string path = c->projectId +
                       (object->RegionalDisk ? "/regions/" + object->GCPDeviceRegion
                                             : "/zones/" + c->instanceZone) +
                       "/disks/" + object->GCPDeviceName;
    if (!u.restGet(path)) {
        return u.failRequest(
            object, GCP_ERR_GCP,
            "Failed to get details of GCP device [" + object->GCPDeviceName + "].");
    }
    int rc = u.processGetGcpDeviceDetailsResp(object, c);
    if (rc != 0) {
        return rc;
    }
    object->ProjectId = c->projectId;
    object->InstanceId = c->instanceId;
    return 0;
}

void copyDiskProperties(GcpUtils& u, GcpObject* object, const jsonxx::Object& response) {
    if (response.has<jsonxx::Object>("labels")) {
        object->DiskLabels = response.get<jsonxx::Object>("labels");
        std::string text = object->DiskLabels.json();
        u.ctx->log(3, "GCP >> GCP disk labels [%s]", text.c_str());
    }
    // A disk with a customer-managed key must come back with it: a disk made
    // again by a revert or its undo names the key (GCP reports the version it
    // used; a new disk takes the key itself).
    if (response.has<jsonxx::Object>("diskEncryptionKey")) {
        jsonxx::Object key = response.get<jsonxx::Object>("diskEncryptionKey");
        if (key.has<jsonxx::String>("kmsKeyName")) {
            std::string name = key.get<jsonxx::String>("kmsKeyName");
            size_t version = name.find("/cryptoKeyVersions/");
            object->DiskKmsKeyName = name.substr(0, version);
            u.ctx->log(3, "GCP >> GCP disk encryption key [%s]", object->DiskKmsKeyName.c_str());
        }
    }
    // So are its snapshot schedules and its description.
    object->DiskResourcePolicies.clear();
    extractJSONxxArrayElements(response, "resourcePolicies", object->DiskResourcePolicies);
    if (response.has<jsonxx::String>("description")) {
        object->DiskDescription = response.get<jsonxx::String>("description");
    }
}

int missingLocation(GcpUtils& u, GcpObject* object) {
    int rc = u.ctx->fail(
        GCP_ERR_INTERNAL,
        "Missing zone and region information for GCP device id [" + object->GCPDeviceId + "]",
        logfmt::kStep);
    u.setErrorDetailsForSnapObj(object, u.ctx, 0, nullptr);
    return rc;
}

int rest_getGcpZonalDeviceDetailsByNameOrId(GcpUtils& u, GcpObject* object, GcpCtx* c) {
    c->log(2, "GCP Getting details of GCP device by id [%s] zone [%s]...",
           object->GCPDeviceId.c_str(), object->GCPDeviceZone.c_str());
    const std::string& key =
        object->GCPDeviceName.empty() ? object->GCPDeviceId : object->GCPDeviceName;
    if (!u.restGet(object->ProjectId + "/zones/" + object->GCPDeviceZone + "/disks/" + key)) {
        bool notFound = c->session().restClient &&
                        c->session().restClient->getHttpErrorCode() == kNotFoundStatus;
        return u.failRequest(object, notFound ? GCP_ERR_NOT_FOUND : GCP_ERR_GCP,
                             "Failed to get details of GCP device by id [" + object->GCPDeviceId +
                                 "] and zone [" + object->GCPDeviceZone + "].");
    }
    int rc = u.processGetGcpDeviceDetailsUsingGcpDevIdResp(object, c);
    if (rc != 0) {
        return rc;
    }
    getGcpDevTagFromNameOrId(object, object->GCPDeviceTag);
    c->log(3, "GCP Getting details of GCP device by id [%s] zone [%s]... - done",
           object->GCPDeviceId.c_str(), object->GCPDeviceZone.c_str());
    return 0;
}

int rest_getGcpRegionalDeviceDetailsByNameOrId(GcpUtils& u, GcpObject* object, GcpCtx* c) {
    c->log(2, "GCP Getting details of GCP device by id [%s] region [%s]...",
           object->GCPDeviceId.c_str(), object->GCPDeviceRegion.c_str());
    const std::string& key =
        object->GCPDeviceName.empty() ? object->GCPDeviceId : object->GCPDeviceName;
    if (!u.restGet(object->ProjectId + "/regions/" + object->GCPDeviceRegion + "/disks/" + key)) {
        return u.failRequest(object, GCP_ERR_GCP,
                             "Failed to get details of GCP device by id [" + object->GCPDeviceId +
                                 "] and region [" + object->GCPDeviceRegion + "].");
    }
    object->RegionalDisk = true;
    int rc = u.processGetGcpDeviceDetailsUsingGcpDevIdResp(object, c);
    if (rc != 0) {
        return rc;
    }
    getGcpDevTagFromNameOrId(object, object->GCPDeviceTag);
    c->log(3, "GCP Getting details of GCP device by id [%s] region [%s]... - done",
           object->GCPDeviceId.c_str(), object->GCPDeviceRegion.c_str());
    return 0;
}

int rest_getZoneURLByZoneName(GcpUtils& u, const std::string& zone, GcpObject* object, GcpCtx* c,
                              std::string& url) {
    const std::string sentence = "Failed to get zone URL for zone [" + zone + "].";
    if (!u.restGet(object->ProjectId + "/zones/" + zone, u.activeClient())) {
        return u.failRequest(object, GCP_ERR_GCP, sentence);
    }
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        c->session().restErrorFlag = 1;
        return c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", logfmt::kStep);
    }
    std::string value;
    bool isContainer = false;
    if (u.getValueFromJSONObject("selfLink", response, value, isContainer) != 0) {
        return u.failResponse(sentence, logfmt::kWithUrl, GCP_ERR_RESPONSE);
    }
    if (value.empty()) {
        return c->fail(GCP_ERR_RESPONSE, sentence + " Returned zone URL is empty.");
    }
    url = value;
    return 0;
}

}  // namespace

int GcpUtils::discoverArrayVolumeDetails() {
    InstanceReadScope once(ctx);
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        int rc = getGcpDeviceDetails(object, ctx);
        if (rc != 0) {
            return rc;
        }
        if (!getSnapUUID(object)) {
            return ctx->fail(
                GCP_ERR_HOST_ITEM,
                "Failed to get snap uuid for GCP device [" + deviceNameOf(object) + "].",
                logfmt::kSnapOperation);
        }
        if (ctx->setSnapMetadata(object) != 0) {
            setErrorDetailsForSnapObj(object, ctx, 0, nullptr);
            return ctx->session().ErrCode;
        }
        object->snapInfo->setStatus(BXSO::SNAP_PREPARE_SUCCESS);
    }
    if (ctx->debugLog && ctx->debugLog->getDebugLevel() >= 7) {
        std::string text;
        for (auto& entry : ctx->snapMap) {
            entry.second->dump(text, true);
            ctx->log(7, "GCP %s", text.c_str());
        }
    }
    return 0;
}

int GcpUtils::getGcpDeviceDetails(GcpObject* object, GcpCtx* c) {
    c->log(2, "GCP Getting details of GCP device [%s]...", object->GCPDeviceName.c_str());
    int rc = 0;
    if (c->hpxMode) {
        rc = getGcpDeviceDetailsUsingGcpDevNameOrId(object, c);
    } else {
        rc = rest_getOriginalGcpDeviceName(*this, object, c);
        if (rc == 0) {
            rc = rest_getGcpDeviceDetails(*this, object, c);
        }
    }
    if (rc != 0) {
        return c->session().ErrCode;
    }
    c->log(3, "GCP Getting details of GCP device [%s]... - done", object->GCPDeviceName.c_str());
    return 0;
}

int GcpUtils::processGetOriginalGcpDeviceNameResp(GcpObject* object, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    const std::string head = "Failed to get details for GCP device by instance [" +
                             c->instanceName + "] in array [" + c->arrayDetails.ArrayId + "]";
    if (!response.has<jsonxx::Array>("disks")) {
        // A code is needed here: without one the lookup would go on as if the
        // instance had answered.
        return failResponse(head + " - Disks entity in response is empty", logfmt::kReport,
                            GCP_ERR_RESPONSE);
    }
    jsonxx::Array disks = response.get<jsonxx::Array>("disks");
    for (size_t i = 0; i < disks.size(); ++i) {
        Fields values;
        if (int rc = readFields(disks.get<jsonxx::Object>(i), kAttachmentFields, values,
                                head + " with error - ");
            rc != 0) {
            return rc;
        }
        if (values["deviceName"] != object->GCPDeviceName) {
            continue;
        }
        const std::string& source = values["source"];
        if (source.find('/') != std::string::npos) {
            object->GCPDeviceName = lastSegment(source);
        }
        size_t regions = source.find("/regions/");
        if (regions != std::string::npos) {
            size_t start = regions + std::char_traits<char>::length("/regions/");
            size_t end = source.find('/', start);
            object->GCPDeviceRegion =
                source.substr(start, end == std::string::npos ? std::string::npos : end - start);
            object->RegionalDisk = true;
        }
        return 0;
    }
    return 0;
}

int GcpUtils::processGetGcpDeviceDetailsResp(GcpObject* object, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    Fields values;
    const std::string byName = "Failed to get details for GCP device by name [" +
                               object->GCPDeviceName + "] in array [" + c->arrayDetails.ArrayId;
    if (int rc = readFields(response, kLocalDiskFields, values, byName + "] with error - ");
        rc != 0) {
        return rc;
    }
    if (values["name"] != object->GCPDeviceName) {
        return failMismatch(GCP_ERR_GCP, byName + "] - wrong GCP device name [" + values["name"] +
                                             "] returned - expected value [" +
                                             object->GCPDeviceName + "]");
    }
    if (values["id"].empty()) {
        return failMismatch(GCP_ERR_GCP,
                            "Failed to get details for GCP device [" + object->GCPDeviceName +
                                "] in array [" + c->arrayDetails.ArrayId +
                                "] - GCP device id returned [" + values["id"] + "] is empty");
    }
    object->GCPDeviceId = values["id"];
    c->log(0, "GCP >> GCP device id [%s]", object->GCPDeviceId.c_str());
    if (response.has<jsonxx::String>("zone")) {
        object->GCPDeviceZone = lastSegment(response.get<jsonxx::String>("zone"));
        c->log(0, "GCP >> GCP device zone [%s]", object->GCPDeviceZone.c_str());
    }
    if (response.has<jsonxx::String>("region")) {
        object->GCPDeviceRegion = lastSegment(response.get<jsonxx::String>("region"));
        c->log(0, "GCP >> GCP device region [%s]", object->GCPDeviceRegion.c_str());
    }
    object->GCPDeviceType = lastSegment(values["type"]);
    c->log(0, "GCP >> GCP device type [%s]", object->GCPDeviceType.c_str());
    std::vector<std::string> users;
    extractJSONxxArrayElements(response, "users", users);
    for (const auto& user : users) {
        c->log(0, "GCP >> GCP device users [%s]", user.c_str());
    }
    copyDiskProperties(*this, object, response);
    return 0;
}

int GcpUtils::getSourceGcpDeviceDetails() {
    ctx->log(2, "GCP Getting details of source GCP devices...");
    std::map<std::string, GcpObject*> byId;
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (object->GCPDeviceId.empty()) {
            continue;
        }
        auto seen = byId.find(object->GCPDeviceId);
        if (seen != byId.end()) {
            object->GCPDeviceName = seen->second->GCPDeviceName;
            continue;
        }
        int rc = getGcpDeviceDetailsUsingGcpDevNameOrId(object, ctx);
        if (rc != 0) {
            // Tolerated here: the lookup's failure is no one's error.
            ctx->resetError();
            object->snapInfo->setError(0, "");
            if (rc == GCP_ERR_NOT_FOUND) {
                object->Flags = GCP_ERR_NOT_FOUND;
            }
            continue;
        }
        byId.emplace(object->GCPDeviceId, object);
    }
    ctx->log(3, "GCP Getting details of source GCP devices... - done");
    return 0;
}

int GcpUtils::getGcpDeviceDetailsUsingGcpDevNameOrId(GcpObject* object, GcpCtx* c) {
    if (object->GCPDeviceZone.empty() && object->GCPDeviceRegion.empty()) {
        return missingLocation(*this, object);
    }
    int zonal = GCP_ERR_NOT_FOUND;
    if (!object->GCPDeviceZone.empty()) {
        zonal = rest_getGcpZonalDeviceDetailsByNameOrId(*this, object, c);
        if (zonal == 0) {
            c->log(0, "GCP >> It is a zonal device");
            object->InstanceId = c->instanceId;
            object->RegionalDisk = false;
            return 0;
        }
        if (zonal != GCP_ERR_NOT_FOUND || object->GCPDeviceRegion.empty()) {
            // With no region to try, the zone's 404 means the disk does not
            // exist: the lookup's sentence stays as the call's reason.
            return zonal;
        }
        c->resetError();
        object->snapInfo->setError(0, "");
        c->log(0,
               "GCP GCP device details for id [%s] and zone [%s] not found. Maybe it is not a "
               "zonal device",
               object->GCPDeviceId.c_str(), object->GCPDeviceZone.c_str());
    }
    if (!object->GCPDeviceRegion.empty()) {
        int rc = rest_getGcpRegionalDeviceDetailsByNameOrId(*this, object, c);
        if (rc == 0) {
            c->log(0, "GCP >> It is a regional device");
            object->InstanceId = c->instanceId;
        }
        return rc;
    }
    return zonal;
}

int GcpUtils::processGetGcpDeviceDetailsUsingGcpDevIdResp(GcpObject* object, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    Fields values;
    const std::string byId = "Failed to get details for GCP device by id [" + object->GCPDeviceId +
                             "] in array [" + c->arrayDetails.ArrayId;
    if (int rc = readFields(response, kDiskByIdFields, values, byId + "] with error - "); rc != 0) {
        return rc;
    }
    if (values["name"].empty()) {
        return failMismatch(
            GCP_ERR_GCP, byId + "] - GCP device name returned [" + values["name"] + "] is empty");
    }
    object->GCPDeviceName = values["name"];
    object->GCPDeviceType = lastSegment(values["type"]);
    if (object->RegionalDisk) {
        if (!response.has<jsonxx::Array>("replicaZones")) {
            // Without its replica zones a regional disk cannot be cloned or
            // restored: report it instead of going on with an empty list.
            return failResponse(byId + "] - replicaZones entity in response is empty",
                                logfmt::kReport, GCP_ERR_RESPONSE);
        }
        std::vector<std::string> zones;
        extractJSONxxArrayElements(response, "replicaZones", zones);
        object->DiskReplicaZones.clear();
        for (const auto& url : zones) {
            std::string zone = lastSegment(url);
            object->DiskReplicaZones.push_back(zone);
            c->zoneUrlMap.emplace(zone, url);
        }
    }
    c->log(0, "GCP >> GCP device name [%s] device type [%s]", object->GCPDeviceName.c_str(),
           object->GCPDeviceType.c_str());
    copyDiskProperties(*this, object, response);
    return 0;
}

int GcpUtils::checkAndSetDiskType(GcpObject* object, GcpCtx*) {
    if (!object->GCPDeviceZone.empty()) {
        object->RegionalDisk = false;
    } else if (!object->GCPDeviceRegion.empty()) {
        object->RegionalDisk = true;
    } else {
        return missingLocation(*this, object);
    }
    return 0;
}

int GcpUtils::rest_getInstanceDetails(const std::string& path, GcpCtx*) {
    if (!restGet(path)) {
        return failRequest(nullptr, GCP_ERR_GCP,
                           "Failed to get details for instance [" + path + "]");
    }
    return 0;
}

int GcpUtils::getReplicaZoneURLs() {
    ctx->log(2, "Getting zone URLs...");
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        for (const auto& zone : object->cloneOptions.DestinationReplicaZones) {
            if (ctx->zoneUrlMap.count(zone)) {
                continue;
            }
            std::string url;
            int rc = rest_getZoneURLByZoneName(*this, zone, object, ctx, url);
            if (rc != 0) {
                return rc;
            }
            ctx->zoneUrlMap[zone] = url;
        }
    }
    ctx->log(3, "Getting zone URLs... - done");
    return 0;
}

int GcpUtils::rest_getAttachedGcpDeviceDetails(GcpCtx* c) {
    c->log(2, "GCP Getting details of attached GCP devices...");
    std::map<std::string, GcpObject*> byName;
    for (auto& entry : c->snapMap) {
        byName[entry.second->GCPDeviceName] = entry.second;
    }
    if (!restGet(instancePath(c))) {
        return failRequest(
            nullptr, GCP_ERR_GCP,
            "Failed to get details of attached GCP devices by instance [" + c->instanceName + "].");
    }
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        return c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", logfmt::kStep);
    }
    if (!response.has<jsonxx::Array>("disks")) {
        return c->fail(GCP_ERR_RESPONSE,
                       "Failed to get details of attached GCPs device by instance [" +
                           c->instanceName + "] - Disks entity in response is empty",
                       logfmt::kStep);
    }
    jsonxx::Array disks = response.get<jsonxx::Array>("disks");
    for (size_t i = 0; i < disks.size(); ++i) {
        Fields values;
        if (int rc = readFields(disks.get<jsonxx::Object>(i), kAttachmentFields, values,
                                "Failed to get details of attached GCP devices by instance [" +
                                    c->instanceName + "] with error - ",
                                logfmt::kStep);
            rc != 0) {
            return rc;
        }
        std::string disk = lastSegment(values["source"]);
        auto it = byName.find(disk);
        if (it != byName.end()) {
            it->second->GcpOSDevName = values["deviceName"];
            c->log(0, "GCP >> Got the attached device name [%s] for GCP device [%s]",
                   values["deviceName"].c_str(), disk.c_str());
        }
    }
    c->log(3, "GCP Getting details of attached GCP devices... done");
    return 0;
}

}  // namespace DuVavaZid
