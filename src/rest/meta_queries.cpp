// Identity of the local instance (the data mover) from the metadata server.
#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_failure.h"

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
    if (!ctx->restClient) {
        return ctx->fail(GCP_ERR_INTERNAL, "GCP REST client is not initialized");
    }
    utils->rest_resetCtx();
    ctx->restApiPath = q.path;
    if (!ctx->restClient->get(ctx->restApiPath, ctx->restRequest, ctx->restResponse, true)) {
        std::string restErrors = collectRestFailure(ctx);
        return failWithUrl(ctx, GCP_ERR_GCP, q.requestFailure + restErrors + "]");
    }
    if (ctx->restResponse.empty()) {
        return ctx->fail(GCP_ERR_RESPONSE, q.emptyBefore + ctx->arrayDetails.ArrayId +
                                               q.emptyAfter + ctx->restResponse + "]");
    }
    if (q.lastSegment) {
        extractLastPartOfUrl(ctx->restResponse, field);
    } else {
        field = ctx->restResponse;
    }
    ctx->log(2, q.success, field.c_str());
    return 0;
}

}  // namespace

int GcpUtils::rest_getGcpProjectId() {
    return queryMetadata(this, kProjectId, ctx->projectId);
}

int GcpUtils::rest_getGcpProjectNumId() {
    return queryMetadata(this, kProjectNumId, ctx->projectNumId);
}

int GcpUtils::rest_getGcpInstanceId() {
    return ctx->instanceId.empty() ? queryMetadata(this, kInstanceId, ctx->instanceId) : 0;
}

int GcpUtils::rest_getGcpInstanceName() {
    return queryMetadata(this, kInstanceName, ctx->instanceName);
}

int GcpUtils::rest_getGcpInstanceHostName() {
    return queryMetadata(this, kInstanceHostName, ctx->instanceHostName);
}

int GcpUtils::rest_getGcpInstanceZone() {
    return ctx->instanceZone.empty() ? queryMetadata(this, kInstanceZone, ctx->instanceZone) : 0;
}

int GcpUtils::rest_getGcpDefaultServiceAccount() {
    return ctx->hpxMode ? 0 : queryMetadata(this, kDefaultServiceAccount, ctx->serviceAccount);
}

int GcpUtils::getGCPMetaDetails() {
    const std::string& arrayId = ctx->arrayDetails.ArrayId;
    ctx->log(2, "GCP Getting meta details for GCP [%s]...", arrayId.c_str());
    if (ctx->hpxMode && ctx->OpCode == GCP_OP_DELETE) {
        ctx->log(0, "GCP Not getting GCP meta details for this MN");
        return 0;
    }
    int (GcpUtils::*const steps[])() = {
        &GcpUtils::rest_getGcpProjectId,        &GcpUtils::rest_getGcpProjectNumId,
        &GcpUtils::rest_getGcpInstanceId,       &GcpUtils::rest_getGcpInstanceName,
        &GcpUtils::rest_getGcpInstanceHostName, &GcpUtils::rest_getGcpInstanceZone};
    for (auto step : steps) {
        int rc = (this->*step)();
        if (rc != 0) {
            return rc;
        }
    }
    if (!ctx->hpxMode) {
        int rc = rest_getGcpDefaultServiceAccount();
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
