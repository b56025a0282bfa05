// Following long-running GCP work to its end: the Operation until it is DONE,
// then the resource it created until it is READY, singly or for a batch.
#include <map>
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "gcp/rest_failure.h"
#include "host/strings.h"
#include "rest/response_keys.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "rest/transient.h"
#include "runtime/endpoints.h"

namespace DuVavaZid {

namespace {

constexpr const char* kOpFields =
    "id,name,operationType,targetId,status,progress,selfLink,targetLink";
constexpr const char* kResourceFields = "id,name,status";

// A wait's pauses: its own fixed interval, at most its attempt count.
RetryPolicy pollPolicy(const GcpReqOpInfo& rec) {
    RetryPolicy policy;
    policy.attempts = rec.maxAttempts + 1;
    policy.intervalMs = static_cast<long>(rec.sleepInterval) * rec.sleepUnitMs;
    return policy;
}

// After GCP's messages about a failed Operation or resource were collected.
int failOperationOf(GcpUtils& u, GcpObject* object) {
    return u.failFor(object, GCP_ERR_GCP,
                     "Failed to perform the requested operation. Error returned by GCP [" +
                         u.ctx->session().restErrStr.str() + "]");
}

// Fails with code 15 after a missing link or field: the sentence goes before
// whatever the extraction left in the message.
int failLinkMissing(GcpUtils& u, GcpCtx* c, const GcpReqOpInfo& rec, const char* what) {
    std::ostringstream head;
    head << "Failed to get operation [" << rec.operationType << "] " << what << " for "
         << rec.getEntityTypeStr() << " [" << rec.entityName << "] using ["
         << c->session().restApiPath << "] in array [" << c->arrayDetails.ArrayId << "]";
    return u.failResponse(head.str(), logfmt::kWithRestErrors, GCP_ERR_GCP);
}

int rest_getSnapOpProgress(GcpUtils& u, GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec) {
    u.rest_resetCtx();
    c->log(2, "GCP Getting snap operation status...");
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    if (!client) {
        return c->fail(GCP_ERR_INTERNAL, "GCP REST client is not initialized");
    }
    client->setBasePath(rec.selfLink);
    if (!u.getRetrying(client, GcpUtils::waitRetryPolicy(rec))) {
        return u.failRequest(object, GCP_ERR_GCP,
                             "Failed to get operation [" + rec.operationType +
                                 "] progress details for " + rec.getEntityTypeStr() + " [" +
                                 rec.entityName + "].");
    }
    c->log(3, "GCP Getting snap operation status... done");
    return 0;
}

int followOperation(GcpUtils& u, GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec,
                    bool waitForCompletion) {
    const char* type = rec.getEntityTypeStr();
    if (!rec.selfLink.empty()) {
        if (BXSnapRESTAPI_Gcp* client = u.activeClient()) {
            client->setBasePath(rec.selfLink);
        }
        int rc = rest_getSnapOpProgress(u, object, c, rec);
        if (rc != 0) {
            return rc;
        }
    }
    Backoff polls(pollPolicy(rec));
    for (;;) {
        int s = u.processGetSnapOpProgressResp(object, c, rec);
        if (s == 0) {
            c->log(0, "GCP Operation [%s] succeeded for %s [%s]", rec.operationType.c_str(), type,
                   rec.entityName.c_str());
            return u.processResponseForSnapOpAndTargetLink(c, rec);
        }
        if (s != GCP_ERR_PENDING && s != GCP_ERR_RUNNING) {
            c->log(-1, "GCP Operation [%s] failed for %s [%s] with error code [%d]",
                   rec.operationType.c_str(), type, rec.entityName.c_str(), s);
            return s;
        }
        c->resetError();
        if (!waitForCompletion && rec.entityType == GCP_ENTITY_SNAPSHOT && s == GCP_ERR_RUNNING) {
            c->log(0, "GCP Operation [%s] is now running for %s [%s]", rec.operationType.c_str(),
                   type, rec.entityName.c_str());
            return 0;
        }
        long waitMs = 0;
        if (++rec.currentAttempt > rec.maxAttempts || !polls.next(&waitMs)) {
            break;
        }
        c->log(0,
               "GCP Operation [%s] still running - will try again after sleeping for %ld ms - "
               "attempt #%d of %d...",
               rec.operationType.c_str(), waitMs, rec.currentAttempt, rec.maxAttempts);
        u.restoreComputeBasePath();
        WNSLEEP(waitMs);
        int rc = rest_getSnapOpProgress(u, object, c, rec);
        if (rc != 0) {
            return rc;
        }
    }
    std::ostringstream msg;
    msg << "Failed to get operation [" << rec.operationType << "] status after [" << rec.maxAttempts
        << "] attempts, it is still running";
    return c->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
}

int rest_getResourceStatus(GcpUtils& u, GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec) {
    u.rest_resetCtx();
    c->log(2, "GCP Getting resource status...");
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    if (!client) {
        return c->fail(GCP_ERR_INTERNAL, "GCP REST client is not initialized");
    }
    client->setBasePath(rec.targetLink);
    int rc = 0;
    if (!u.getRetrying(client, GcpUtils::waitRetryPolicy(rec))) {
        if (client->getHttpErrorCode() == 404) {
            u.processFailedRequest(object, c);
            rc = GCP_ERR_NOT_FOUND;
        } else {
            rc = u.failRequest(object, GCP_ERR_GCP,
                               std::string("Failed to get resource status for [") +
                                   rec.getEntityTypeStr() + " [" + rec.entityName + "].");
        }
    }
    u.restoreComputeBasePath();
    return rc;
}

// While a resource is not found: its Operation's error when that
// Operation (rec.selfLink) ended failed, else 0.
int failedOperationOf(GcpUtils& u, GcpObject* object, GcpCtx* c, const GcpReqOpInfo& rec) {
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    if (rec.selfLink.empty() || !client) {
        return 0;
    }
    u.rest_resetCtx();
    client->setBasePath(rec.selfLink);
    bool read = u.getRetrying(client, GcpUtils::waitRetryPolicy(rec));
    u.restoreComputeBasePath();
    jsonxx::Object response;
    if (!read || !response.parse(c->session().restResponse) || !operationFailed(response)) {
        c->resetError();
        return 0;
    }
    u.processFailedRequest(object, c);
    int rc = failOperationOf(u, object);
    c->log(-1, "GCP Operation [%s] failed for %s [%s]", rec.operationType.c_str(),
           rec.getEntityTypeStr(), rec.entityName.c_str());
    return rc;
}

int followResource(GcpUtils& u, GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec,
                   bool waitForCompletion) {
    const char* type = rec.getEntityTypeStr();
    Backoff polls(pollPolicy(rec));
    for (;;) {
        int r = rest_getResourceStatus(u, object, c, rec);
        if (r == GCP_ERR_NOT_FOUND) {
            // Just created resources can take a moment to become visible;
            // one whose Operation failed never will.
            c->resetError();
            c->log(0, "GCP Resource [%s] not found", rec.entityName.c_str());
            int failed = failedOperationOf(u, object, c, rec);
            if (failed != 0) {
                return failed;
            }
        } else if (r != 0) {
            return r;
        } else {
            int s = u.processGetResourceStatusResp(object, c, rec);
            if (s == 0 || (s == GCP_ERR_UPLOADING && !waitForCompletion &&
                           rec.entityType == GCP_ENTITY_SNAPSHOT)) {
                c->log(0, "GCP Fetching resource status succeeded, %s [%s] is ready", type,
                       rec.entityName.c_str());
                return 0;
            }
            if (s != GCP_ERR_RUNNING && !(s == GCP_ERR_UPLOADING && rec.uploadingIsBusy)) {
                c->log(-1, "GCP Fetching resource status failed for %s [%s] with error code [%d]",
                       type, rec.entityName.c_str(), s);
                if (c->errText().empty()) {
                    // The status is the reason: a failed wait must say it.
                    return c->fail(s,
                                   std::string("Resource ") + type + " [" + rec.entityName +
                                       "] is in status [" + rec.status + "].",
                                   logfmt::kStep);
                }
                return s;
            }
            c->resetError();
        }
        long waitMs = 0;
        if (++rec.currentAttempt > rec.maxAttempts || !polls.next(&waitMs)) {
            std::ostringstream msg;
            msg << "Resource " << type << " [" << rec.entityName
                << "] is still busy after repeated attempts (" << rec.maxAttempts << " times).";
            return c->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kSnapOperation);
        }
        c->log(0,
               "GCP Resource is busy - will try again after sleeping for %ld ms - attempt #%d of "
               "%d...",
               waitMs, rec.currentAttempt, rec.maxAttempts);
        u.restoreComputeBasePath();
        WNSLEEP(waitMs);
    }
}

}  // namespace

// A DONE Operation with an error failed, whether or not GCP added
// httpErrorStatusCode; an Operation with that member failed too.
bool operationFailed(const jsonxx::Object& response) {
    if (response.has<jsonxx::Number>(GCP_REST_API_HTTP_ERROR_CODE_FIELD)) {
        return true;
    }
    return response.has<jsonxx::String>("status") &&
           response.get<jsonxx::String>("status") == "DONE" &&
           response.has<jsonxx::Object>("error");
}

int getSnapOpStatus(const GcpReqOpInfo& rec) {
    if (!rec.httpErrorStatusCode.empty()) {
        return GCP_ERR_INTERNAL;
    }
    if (strCompare(rec.status, "DONE", true)) {
        return 0;
    }
    if (strCompare(rec.status, "PENDING", true)) {
        return GCP_ERR_PENDING;
    }
    return GCP_ERR_RUNNING;
}

int getResourceStatus(const GcpReqOpInfo& rec) {
    if (strCompare(rec.status, "READY", true)) {
        return 0;
    }
    if (strCompare(rec.status, "UPLOADING", true)) {
        return GCP_ERR_UPLOADING;
    }
    if (strCompare(rec.status, "FAILED", true)) {
        return GCP_ERR_INTERNAL;
    }
    return GCP_ERR_RUNNING;
}

BXSnapRESTAPI_Gcp* GcpUtils::activeClient() {
    if (ctx->destAccountInUse && ctx->session().destRestClient) {
        return ctx->session().destRestClient.get();
    }
    return ctx->session().restClient.get();
}

void GcpUtils::restoreComputeBasePath() {
    if (BXSnapRESTAPI_Gcp* client = activeClient()) {
        client->setBasePath(bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX);
    }
}

int GcpUtils::processGetSnapOpProgressResp(GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec) {
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        c->logRESTDetails();
        int rc =
            c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response of the operation progress",
                    logfmt::kStep);
        setErrorDetailsForSnapObj(object, c, rc, nullptr);
        return rc;
    }
    BXSnapRESTAPI_Gcp* client = activeClient();
    if ((client && client->getHttpErrorCode() == 404) || operationFailed(response)) {
        if (processFailedRequest(object, c) == GCP_ERR_NOT_FOUND) {
            return GCP_ERR_NOT_FOUND;
        }
        return failOperationOf(*this, object);
    }

    std::string value;
    bool isContainer = false;
    if (rec.currentAttempt == 0) {
        if (getValueFromJSONObject("selfLink", response, value, isContainer) != 0) {
            return failLinkMissing(*this, c, rec, "progress link");
        }
        rec.selfLink = value;
        if (client) {
            client->setBasePath(rec.selfLink);
        }
    }
    Fields values;
    if (extractFields(response, kOpFields, values) != 0) {
        return failLinkMissing(*this, c, rec, "progress details");
    }
    if (rec.currentAttempt == 1) {
        rec.targetId = values["targetId"];
        rec.id = values["id"];
        rec.name = values["name"];
        rec.selfLink = values["selfLink"];
        rec.startTime.clear();
    }
    rec.status = values["status"];
    rec.progress = static_cast<short>(std::atoi(values["progress"].c_str()));
    // Optional members: absent ones leave no error behind.
    if (jsonxx::memberAsText(response, "startTime", value, isContainer)) {
        rec.startTime = value;
    }
    if (jsonxx::memberAsText(response, "endTime", value, isContainer)) {
        rec.endTime = value;
    }
    rec.httpErrorStatusCode.clear();
    rec.httpErrorMessage.clear();
    std::string dump;
    rec.dump(dump);
    c->log(0, "GCP >> Snap op details -- [%s]", dump.c_str());
    return getSnapOpStatus(rec);
}

int GcpUtils::processResponseForSnapOpAndTargetLink(GcpCtx* c, GcpReqOpInfo& rec) {
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        c->logRESTDetails();
        return c->fail(GCP_ERR_RESPONSE, "Failed to parse the JSON response", logfmt::kStep);
    }
    std::string value;
    bool isContainer = false;
    if (getValueFromJSONObject("selfLink", response, value, isContainer) != 0) {
        return failLinkMissing(*this, c, rec, "progress link");
    }
    rec.selfLink = value;
    if (getValueFromJSONObject("targetLink", response, value, isContainer) != 0) {
        return failLinkMissing(*this, c, rec, "target link");
    }
    rec.targetLink = rec.resourceLink.empty() ? value : rec.resourceLink;
    c->log(3, "GCP >> Snap Operation link [%s] Target link [%s]", rec.selfLink.c_str(),
           rec.targetLink.c_str());
    return 0;
}

int GcpUtils::monitorSnapOpProgress(GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec,
                                    bool waitForCompletion) {
    const char* type = rec.getEntityTypeStr();
    c->log(2, "GCP Monitoring operation [%s] progress details for %s [%s]...",
           rec.operationType.c_str(), type, rec.entityName.c_str());
    rec.currentAttempt = 0;
    int result = followOperation(*this, object, c, rec, waitForCompletion);
    restoreComputeBasePath();
    c->log(3, "GCP Monitoring operation [%s] progress details for %s [%s]... - done",
           rec.operationType.c_str(), type, rec.entityName.c_str());
    return result;
}

int GcpUtils::processGetResourceStatusResp(GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec) {
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    BXSnapRESTAPI_Gcp* client = activeClient();
    if (client && client->getHttpErrorCode() == 404) {
        int rc = processFailedRequest(object, c);
        if (rc == GCP_ERR_NOT_FOUND) {
            return rc;
        }
        if (rc == GCP_ERR_GCP) {
            rc = failOperationOf(*this, object);
        }
        return rc;
    }
    Fields values;
    if (extractFields(response, kResourceFields, values) != 0) {
        std::ostringstream head;
        head << "Failed to get resource status for " << rec.getEntityTypeStr() << " ["
             << rec.entityName << "] using [" << c->session().restApiPath << "] in array ["
             << c->arrayDetails.ArrayId << "]";
        return failResponse(head.str(), logfmt::kWithRestErrors, GCP_ERR_GCP);
    }
    rec.id = values["id"];
    rec.name = values["name"];
    rec.status = values["status"];
    std::string dump;
    rec.dump(dump);
    c->log(0, "GCP >> Snap op details -- [%s]", dump.c_str());
    return getResourceStatus(rec);
}

bool GcpUtils::operationRateLimited() const {
    jsonxx::Object response;
    if (!response.parse(ctx->session().restResponse) || !operationFailed(response) ||
        !response.has<jsonxx::Object>("error")) {
        return false;
    }
    jsonxx::Object error = response.get<jsonxx::Object>("error");
    if (!error.has<jsonxx::Array>("errors")) {
        return false;
    }
    jsonxx::Array errors = error.get<jsonxx::Array>("errors");
    for (size_t i = 0; i < errors.size(); ++i) {
        if (errors.has<jsonxx::Object>(i)) {
            jsonxx::Object e = errors.get<jsonxx::Object>(i);
            if (e.has<jsonxx::String>("code") &&
                isTransientOperationError(e.get<jsonxx::String>("code"))) {
                return true;
            }
        }
    }
    return false;
}

int GcpUtils::monitorResourceStatus(GcpObject* object, GcpCtx* c, GcpReqOpInfo& rec,
                                    bool waitForCompletion) {
    const char* type = rec.getEntityTypeStr();
    c->log(2, "GCP Monitoring resource status for %s [%s]...", type, rec.entityName.c_str());
    rec.currentAttempt = 1;
    int result = 0;
    if (rec.targetLink.empty()) {
        result = c->fail(GCP_ERR_INTERNAL,
                         std::string("Failed to get resource status for [") + type + "] [" +
                             rec.entityName + "]. The target link is empty.",
                         logfmt::kStep);
    } else {
        result = followResource(*this, object, c, rec, waitForCompletion);
    }
    restoreComputeBasePath();
    c->log(3, "GCP Monitoring resource status for %s [%s]... - done", type, rec.entityName.c_str());
    return result;
}

void GcpUtils::addFailedEntity(const std::string& type, const std::string& name,
                               std::map<std::string, std::vector<std::string>>& failed) {
    auto& names = failed[type];
    for (const auto& n : names) {
        if (n == name) {
            return;
        }
    }
    names.push_back(name);
}

int GcpUtils::monitorGcpRequests(std::vector<std::pair<GcpObject*, GcpReqOpInfo*>>& requests,
                                 GcpCtx* c) {
    if (requests.empty()) {
        return 0;
    }
    std::map<std::string, std::vector<std::string>> failed;
    size_t stop = requests.size();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (monitorSnapOpProgress(requests[i].first, c, *requests[i].second, true) != 0) {
            c->resetError();
            stop = i;
            for (size_t j = i; j < requests.size(); ++j) {
                addFailedEntity(requests[j].second->getEntityTypeStr(),
                                requests[j].second->entityName, failed);
            }
            break;
        }
    }
    for (size_t i = 0; i < stop; ++i) {
        if (monitorResourceStatus(requests[i].first, c, *requests[i].second, true) != 0) {
            c->resetError();
            addFailedEntity(requests[i].second->getEntityTypeStr(), requests[i].second->entityName,
                            failed);
        }
    }
    if (failed.empty()) {
        return 0;
    }
    std::ostringstream msg;
    msg << "Failed to monitor GCP requests for the following entities -- ";
    for (const auto& entry : failed) {
        msg << entry.first << " - [" << HostStr::Join(entry.second, ", ") << "] ";
    }
    return c->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
}

}  // namespace DuVavaZid
