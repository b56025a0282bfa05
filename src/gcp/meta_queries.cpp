// Identity of the local instance (the data mover) from the metadata server.
#include <nlohmann/json.hpp>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "gcp/rest_failure.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

struct MetaQuery {
    const char* path;
    const char* requestFailure;
    const char* emptyBefore;
    const char* emptyAfter;
    const char* success;
    bool lastSegment;  // keep only the last "/" segment of the answer
};

const MetaQuery kProjectId{"project/project-id",
                           "Failed to get GCP project id - error returned by GCP [",
                           "Failed to get GCP project id for [",
                           "] - empty project id returned [",
                           "GCP >> GCP project id [%s]",
                           false};
const MetaQuery kProjectNumId{"project/numeric-project-id",
                              "Failed to get GCP project numeric id - error returned by GCP [",
                              "Failed to get GCP project numeric id for [",
                              "] - empty project numeric id returned [",
                              "GCP >> GCP project numeric id [%s]",
                              false};
const MetaQuery kInstanceId{"instance/id",
                            "Failed to get GCP instance id - error returned by GCP [",
                            "Failed to get GCP instance id for [",
                            "] - empty instance id returned [",
                            "GCP >> GCP instance id [%s]",
                            false};
const MetaQuery kInstanceName{"instance/name",
                              "Failed to get GCP instance name - error returned by GCP [",
                              "Failed to get GCP instance name for [",
                              "] - empty instance name returned [",
                              "GCP >> GCP instance name [%s]",
                              false};
const MetaQuery kInstanceHostName{"instance/hostname",
                                  "Failed to get GCP instance host name - error returned by GCP [",
                                  "Failed to get GCP instance host name for [",
                                  "] - empty instance host name returned [",
                                  "GCP >> GCP instance host name [%s]",
                                  false};
const MetaQuery kInstanceZone{"instance/zone",
                              "Failed to get GCP instance zone - error returned by GCP [",
                              "Failed to get GCP instance zone for [",
                              "] - empty instance zone returned [",
                              "GCP >> GCP instance zone [%s]",
                              true};
const MetaQuery kDefaultServiceAccount{
    "instance/service-accounts/default/email",
    "Failed to get GCP default service account - error returned by GCP [",
    "Failed to get GCP default service account for [",
    "] - empty service account returned [",
    "GCP >> GCP Service account [%s]",
    false};

// One metadata value into one context field.
int queryMetadata(GcpUtils* utils, const MetaQuery& q, std::string& field) {
    GcpCtx* ctx = utils->ctx;
    if (!ctx->session().restClient) {
        return ctx->fail(GCP_ERR_INTERNAL, "GCP REST client is not initialized");
    }
    utils->rest_resetCtx();
    ctx->session().restApiPath = q.path;
    if (!ctx->session().restClient->get(ctx->session().restApiPath, ctx->session().restRequest,
                                        ctx->session().restResponse, true)) {
        std::string restErrors = collectRestFailure(ctx, ctx->session().restClient.get());
        return ctx->fail(GCP_ERR_GCP, q.requestFailure + restErrors + "]", logfmt::kWithUrl);
    }
    if (ctx->session().restResponse.empty()) {
        return ctx->fail(GCP_ERR_RESPONSE, q.emptyBefore + ctx->arrayDetails.ArrayId +
                                               q.emptyAfter + ctx->session().restResponse + "]");
    }
    if (q.lastSegment) {
        extractLastPartOfUrl(ctx->session().restResponse, field);
    } else {
        field = ctx->session().restResponse;
    }
    ctx->log(2, q.success, field.c_str());
    return 0;
}

// A value of the recursive metadata tree as text: numbers (ids) in full,
// which a double would round.
bool treeText(const nlohmann::json& tree, std::initializer_list<const char*> path,
              std::string& out) {
    const nlohmann::json* node = &tree;
    for (const char* key : path) {
        if (!node->is_object()) {
            return false;
        }
        auto it = node->find(key);
        if (it == node->end()) {
            return false;
        }
        node = &*it;
    }
    if (node->is_string()) {
        out = node->get<std::string>();
    } else if (node->is_number_unsigned()) {
        out = std::to_string(node->get<uint64_t>());
    } else if (node->is_number_integer()) {
        out = std::to_string(node->get<int64_t>());
    } else {
        return false;
    }
    return !out.empty();
}

// The whole identity in one request: the metadata tree read recursively.
// True with every field the call needs set; false leaves the context as it
// was, and the reads one value at a time give each failure its own message.
bool readMetadataTree(GcpUtils* utils) {
    GcpCtx* ctx = utils->ctx;
    RestSession& s = ctx->session();
    if (!s.restClient) {
        return false;
    }
    utils->rest_resetCtx();
    s.restApiPath = "?recursive=true";
    if (!s.restClient->get(s.restApiPath, s.restRequest, s.restResponse, true)) {
        ctx->log(2, "GCP Reading the metadata tree failed, reading values one by one");
        utils->rest_resetCtx();
        return false;
    }
    nlohmann::json tree = nlohmann::json::parse(s.restResponse, nullptr, false);
    utils->rest_resetCtx();
    if (tree.is_discarded()) {
        return false;
    }
    std::string projectId, projectNumId, instanceId, name, hostName, zone, account;
    bool ok = treeText(tree, {"project", "projectId"}, projectId) &&
              treeText(tree, {"project", "numericProjectId"}, projectNumId) &&
              treeText(tree, {"instance", "name"}, name) &&
              treeText(tree, {"instance", "hostname"}, hostName);
    if (ok && ctx->instanceId.empty()) {
        ok = treeText(tree, {"instance", "id"}, instanceId);
    }
    if (ok && ctx->instanceZone.empty()) {
        ok = treeText(tree, {"instance", "zone"}, zone);
    }
    if (ok && !ctx->hpxMode) {
        ok = treeText(tree, {"instance", "serviceAccounts", "default", "email"}, account);
    }
    if (!ok) {
        ctx->log(2, "GCP The metadata tree lacks a value, reading values one by one");
        return false;
    }
    ctx->projectId = projectId;
    ctx->log(2, kProjectId.success, projectId.c_str());
    ctx->projectNumId = projectNumId;
    ctx->log(2, kProjectNumId.success, projectNumId.c_str());
    if (!instanceId.empty()) {
        ctx->instanceId = instanceId;
        ctx->log(2, kInstanceId.success, instanceId.c_str());
    }
    ctx->instanceName = name;
    ctx->log(2, kInstanceName.success, name.c_str());
    ctx->instanceHostName = hostName;
    ctx->log(2, kInstanceHostName.success, hostName.c_str());
    if (!zone.empty()) {
        extractLastPartOfUrl(zone, ctx->instanceZone);
        ctx->log(2, kInstanceZone.success, ctx->instanceZone.c_str());
    }
    if (!ctx->hpxMode) {
        ctx->serviceAccount = account;
        ctx->log(2, kDefaultServiceAccount.success, account.c_str());
    }
    return true;
}

int rest_getGcpProjectId(GcpUtils& u) {
    return queryMetadata(&u, kProjectId, u.ctx->projectId);
}

int rest_getGcpProjectNumId(GcpUtils& u) {
    return queryMetadata(&u, kProjectNumId, u.ctx->projectNumId);
}

int rest_getGcpInstanceId(GcpUtils& u) {
    return u.ctx->instanceId.empty() ? queryMetadata(&u, kInstanceId, u.ctx->instanceId) : 0;
}

int rest_getGcpInstanceName(GcpUtils& u) {
    return queryMetadata(&u, kInstanceName, u.ctx->instanceName);
}

int rest_getGcpInstanceHostName(GcpUtils& u) {
    return queryMetadata(&u, kInstanceHostName, u.ctx->instanceHostName);
}

int rest_getGcpInstanceZone(GcpUtils& u) {
    return u.ctx->instanceZone.empty() ? queryMetadata(&u, kInstanceZone, u.ctx->instanceZone) : 0;
}

int rest_getGcpDefaultServiceAccount(GcpUtils& u) {
    return u.ctx->hpxMode ? 0 : queryMetadata(&u, kDefaultServiceAccount, u.ctx->serviceAccount);
}

}  // namespace

int GcpUtils::getGCPMetaDetails() {
    const std::string& arrayId = ctx->arrayDetails.ArrayId;
    ctx->log(2, "GCP Getting meta details for GCP [%s]...", arrayId.c_str());
    if (ctx->hpxMode && ctx->OpCode == GCP_OP_DELETE) {
        ctx->log(0, "GCP Not getting GCP meta details for this MN");
        return 0;
    }
    const bool fromTree = readMetadataTree(this);
    int (*const steps[])(GcpUtils&) = {&rest_getGcpProjectId,        &rest_getGcpProjectNumId,
                                       &rest_getGcpInstanceId,       &rest_getGcpInstanceName,
                                       &rest_getGcpInstanceHostName, &rest_getGcpInstanceZone};
    for (auto step : steps) {
        int rc = fromTree ? 0 : step(*this);
        if (rc != 0) {
            return rc;
        }
    }
    if (!ctx->hpxMode) {
        int rc = fromTree ? 0 : rest_getGcpDefaultServiceAccount(*this);
        if (rc != 0) {
            return rc;
        }
    } else {
        ctx->serviceAccount = ctx->arrayDetails.ServiceAccountId;
    }
    ctx->log(0,
             "GCP >> GCP project id [%s] project num id [%s] instance id [%s] instance name [%s] "
             "instance hostname [%s] instance zone [%s] service account [%s]",
             ctx->projectId.c_str(), ctx->projectNumId.c_str(), ctx->instanceId.c_str(),
             ctx->instanceName.c_str(), ctx->instanceHostName.c_str(), ctx->instanceZone.c_str(),
             ctx->serviceAccount.c_str());
    ctx->log(3, "GCP Getting meta details for GCP [%s]... - done", arrayId.c_str());
    return 0;
}

int GcpUtils::getMNInstanceDetails() {
    std::string path = HostStr::Format("%s/zones/%s/instances/%s", ctx->projectId.c_str(),
                                       ctx->instanceZone.c_str(), ctx->instanceId.c_str());
    return rest_getInstanceDetails(path, ctx);
}

}  // namespace DuVavaZid
