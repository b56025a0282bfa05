// Reading one snapshot and checking it against what the object knows.
#include <map>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

constexpr int kNotFoundStatus = 404;
const char* const kSnapFields = "name,id,status,sourceDisk,sourceDiskId";

std::string snapshotPath(const GcpObject* object, const std::string& key) {
    return object->ProjectId + "/global/snapshots/" + key;
}

std::string snapDetailsHead(const GcpUtils& u, const GcpObject* object) {
    return "Failed to get snapshot details of GCP device [" + object->GCPDeviceName +
           "] by snap uuid [" + object->SnapUuid + "] in array [" + u.ctx->arrayDetails.ArrayId;
}

}  // namespace

int GcpUtils::rest_getSnapResourceIdBySnapUuid(GcpObject* object, GcpCtx* c) {
    c->resetError();
    c->log(2, "GCP Getting snap resource id by snap uuid [%s]...", object->SnapUuid.c_str());
    if (!restGet(snapshotPath(object, object->SnapUuid))) {
        return failRequest(
            object, GCP_ERR_GCP,
            "Failed to get snap resource id by snap uuid [" + object->SnapUuid + "].");
    }
    int rc = processGetSnapResourceIdBySnapUuidResp(object, c);
    if (rc != 0) {
        return rc;
    }
    c->log(3, "GCP Getting snap resource id by snap uuid [%s]... - done", object->SnapUuid.c_str());
    return 0;
}

int GcpUtils::processGetSnapResourceIdBySnapUuidResp(GcpObject* object, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    Fields values;
    const std::string head = snapDetailsHead(*this, object);
    if (int rc = readFields(response, kSnapFields, values, head + "] with error - "); rc != 0) {
        return rc;
    }
    if (values["name"] != object->SnapUuid) {
        return failMismatch(GCP_ERR_GCP, head + "] - wrong snap uuid [" + values["name"] +
                                             "] returned  - expected value [" + object->SnapUuid +
                                             "]");
    }
    if (values["id"].empty()) {
        return failMismatch(GCP_ERR_GCP,
                            head + "] - snap resource id returned [" + values["id"] + "] is empty");
    }
    object->SnapResourceId = values["id"];
    c->log(0, "GCP >> Snap resource id [%s]", object->SnapResourceId.c_str());
    return 0;
}

int GcpUtils::rest_getSnapDetailsByResIdOrUuid(GcpObject* object, GcpCtx* c) {
    c->resetError();
    c->log(2, "GCP Getting snapshot details by snap uuid [%s]...", object->SnapUuid.c_str());
    const std::string& key =
        object->SnapResourceId.empty() ? object->SnapUuid : object->SnapResourceId;
    const std::string sentence =
        "Failed to get snapshot details of GCP device by snap uuid [" + object->SnapUuid + "].";
    if (!restGet(snapshotPath(object, key))) {
        if (c->session().restClient &&
            c->session().restClient->getHttpErrorCode() == kNotFoundStatus) {
            if (processFailedRequest(object, c) == GCP_ERR_NOT_FOUND) {
                return GCP_ERR_NOT_FOUND;
            }
        }
        return failRequest(object, GCP_ERR_GCP, sentence);
    }
    int rc = processGetSnapDetailsBySnapUuidResp(object, c);
    if (rc != 0) {
        return rc;
    }
    c->log(3, "GCP Getting snapshot details by snap uuid [%s]... - done", object->SnapUuid.c_str());
    return 0;
}

int GcpUtils::processGetSnapDetailsBySnapUuidResp(GcpObject* object, GcpCtx* c) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    Fields values;
    const std::string head = snapDetailsHead(*this, object);
    if (int rc = readFields(response, kSnapFields, values, head + "] with error - "); rc != 0) {
        return rc;
    }
    if (values["name"] != object->SnapUuid) {
        return failMismatch(GCP_ERR_GCP, head + "] - wrong snap uuid [" + values["name"] +
                                             "] returned  - expected value [" + object->SnapUuid +
                                             "]");
    }
    if (!object->SnapResourceId.empty() && values["id"] != object->SnapResourceId) {
        return failMismatch(GCP_ERR_GCP, head + "] - wrong snap resource id [" + values["id"] +
                                             "] returned - expected value [" +
                                             object->SnapResourceId + "]");
    }
    const std::string& url = values["sourceDisk"];
    if (url.empty()) {
        return failMismatch(GCP_ERR_GCP, head + "] - source disk url is empty");
    }
    object->SourceDiskUrl = url;
    std::string disk;
    extractLastPartOfUrl(url, disk);
    if (object->GCPDeviceName.empty()) {
        object->GCPDeviceName = disk;
    } else if (disk != object->GCPDeviceName) {
        return failMismatch(GCP_ERR_GCP, head + "] - wrong source disk name [" + disk +
                                             "] returned - expected value [" +
                                             object->GCPDeviceName + "]");
    }
    std::string kind, location;
    extractLastNthPartOfURL(url, 4, kind);
    extractLastNthPartOfURL(url, 3, location);
    if (object->GCPDeviceZone.empty() && strCompare(kind, "zones", true)) {
        object->GCPDeviceZone = location;
    } else if (object->GCPDeviceRegion.empty() && strCompare(kind, "regions", true)) {
        object->GCPDeviceRegion = location;
    }
    return 0;
}

int GcpUtils::rest_getSnapResourceIdByName(const std::string& name, GcpObject* object, GcpCtx* c,
                                           std::string& resourceId) {
    resourceId.clear();
    c->log(2, "GCP Getting snapshot resource id by name [%s]...", name.c_str());
    const std::string sentence = "Failed to get snapshot resource id by name [" + name + "].";
    if (!restGet(snapshotPath(object, name))) {
        return failRequest(nullptr, GCP_ERR_GCP, sentence);
    }
    jsonxx::Object response;
    std::string value;
    bool isContainer = false;
    if (!response.parse(c->session().restResponse)) {
        c->logRESTDetails();
        return c->fail(GCP_ERR_RESPONSE, sentence + " Invalid JSON response.", logfmt::kStep);
    }
    if (getValueFromJSONObject("id", response, value, isContainer) != 0) {
        return failResponse(
            "Failed to get snapshot resource id by name [" + name + "] with error - ",
            logfmt::kStep, GCP_ERR_GCP);
    }
    if (isContainer) {
        c->logRESTDetails();
        return c->fail(GCP_ERR_RESPONSE, sentence + " Invalid JSON response.", logfmt::kStep);
    }
    resourceId = value;
    c->log(0, "GCP Snap [%s] resource id [%s]", name.c_str(), resourceId.c_str());
    c->log(3, "GCP Getting snap resource id by name [%s]... - done", name.c_str());
    return 0;
}

int GcpUtils::getSnapDetails(bool goneIsFine) {
    ctx->log(2, "GCP Getting details of snaps...");
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        int rc = rest_getSnapDetailsByResIdOrUuid(o, ctx);
        if (rc == GCP_ERR_NOT_FOUND && goneIsFine) {
            ctx->resetError();
            ctx->log(0,
                     "GCP Snapshot [%s] of GCP device [%s] is already gone from GCP; its clone is "
                     "removed all the same",
                     o->SnapUuid.c_str(), deviceNameOf(o).c_str());
            continue;
        }
        if (rc == GCP_ERR_NOT_FOUND) {
            // The lookup leaves "not found" to its caller; here it ends the
            // call, which must say why.
            rc = ctx->fail(GCP_ERR_NOT_FOUND,
                           "Snapshot [" + o->SnapUuid + "] of GCP device [" + deviceNameOf(o) +
                               "] not found in GCP. It may have been deleted.",
                           logfmt::kStep);
            setErrorDetailsForSnapObj(o, ctx, 0, nullptr);
        }
        if (rc != 0) {
            return rc;
        }
    }
    ctx->log(3, "GCP Getting details of snaps... - done");
    return 0;
}

}  // namespace DuVavaZid
