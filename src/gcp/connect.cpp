// Connection setup: create and configure a REST client, obtain its token.
#include "gcp/gcp_utils.h"
#include "gcp/rest_failure.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace DuVavaZid {

namespace {

const char* const kKeyFileDir = "/certificates/external/";

int rest_initializeClient(GcpUtils& u, std::unique_ptr<BXSnapRESTAPI_Gcp>& slot) {
    GcpCtx* ctx = u.ctx;
    if (!slot) {
        slot.reset(new BXSnapRESTAPI_Gcp());
        slot->setLogger(ctx->firstRecord());
    }
    BXSnapRESTAPI_Gcp* client = slot.get();
    client->reset();
    client->setBasePath(bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX);
    client->setMetaBasePath(bxrt::metadataHost() + GCP_REST_API_META_BASE_PATH_SUFFIX);
    client->setProtocolType(GCP_REST_API_PROTOCOL);
    client->setAcceptTypeInHdr(GCP_REST_HDR_ACCEPT);
    client->setContentTypeInHdr(GCP_REST_HDR_CONTENT_TYPE);
    client->setUserAgentHeaderInHdr(GCP_REST_HDR_USER_AGENT);
    client->setMetaFetchInHdr(GCP_REST_HDR_META_FETCH);
    client->setUseServiceAccountOAuth(ctx->useServiceAccount);
    client->setLogging(ctx->arrayDetails.arrayConfigs.RestApiLogging >= 1);
    client->setJobId(ctx->JobId);
    if (!client->initializeCurl()) {
        return ctx->fail(GCP_ERR_INTERNAL, "Failed to initialize curl.");
    }
    return 0;
}

int rest_connectUsingOAuth(GcpUtils& u, const std::string& serviceAccountId,
                           const std::string& privateKey, const std::string& password,
                           BXSnapRESTAPI_Gcp* client) {
    GcpCtx* ctx = u.ctx;
    ctx->log(2, "GCP Trying oauth for service account [%s]...", serviceAccountId.c_str());
    if (serviceAccountId.empty() || privateKey.empty() || !client) {
        std::string msg = "Failed to perform oauth ";
        if (serviceAccountId.empty()) {
            msg += "- Service account ID is empty ";
        }
        if (privateKey.empty()) {
            msg += "- Private key is empty ";
        }
        msg += "Please add the missing details under Array Management";
        return ctx->fail(GCP_ERR_INTERNAL, msg, logfmt::kStep);
    }
    client->setServiceAccountId(serviceAccountId);
    client->setPrivateKey(privateKey);
    client->setPrivateKeyPswd(password);
    u.rest_resetCtx();
    if (!client->connectUsingOAuth(ctx->session().restApiPath, ctx->session().restRequest,
                                   ctx->session().restResponse)) {
        if (!client->lastLocalError().empty()) {
            // Nothing reached GCP: its answer cannot say why, the key can.
            ctx->session().restErrorFlag = 1;
            return ctx->fail(GCP_ERR_GCP,
                             "Failed to perform oauth for service account [" + serviceAccountId +
                                 "]. " + client->lastLocalError() + ".",
                             logfmt::kWithUrl);
        }
        std::string restErrors = collectRestFailure(ctx, client);
        ctx->fail(GCP_ERR_GCP,
                  "Failed to perform oauth for service account [" + serviceAccountId +
                      "]. REST error returned by GCP [" + restErrors + "].",
                  logfmt::kWithUrl);
        ctx->session().restErrorFlag = 1;
        return GCP_ERR_GCP;
    }
    ctx->log(3, "GCP Oauth for service account [%s]... done", serviceAccountId.c_str());
    return 0;
}

}  // namespace

std::string collectRestFailure(GcpCtx* ctx, const BXSnapRESTAPI_Gcp* client) {
    ctx->logRESTDetails();
    ctx->extractRESTErrorMsgs(client ? client->lastExchangeFailure() : std::string());
    return ctx->session().restErrStr.str();
}

void GcpUtils::rest_resetCtx() {
    ctx->session().restApiPath.clear();
    ctx->session().restRequest.clear();
    ctx->session().restResponse.clear();
    ctx->session().restErrorFlag = 0;
}

int GcpUtils::rest_connectToArray() {
    const std::string& arrayId = ctx->arrayDetails.ArrayId;
    ctx->log(2, "GCP Connecting to GCP [%s]...", arrayId.c_str());
    int rc = rest_initializeClient(*this, ctx->session().restClient);
    if (rc != 0) {
        return rc;
    }
    BXSnapRESTAPI_Gcp* client = ctx->session().restClient.get();
    if (!ctx->useServiceAccount) {
        rest_resetCtx();
        ctx->session().restApiPath = GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP;
        if (!client->connect(ctx->session().restApiPath, ctx->session().restRequest,
                             ctx->session().restResponse)) {
            std::string restErrors = collectRestFailure(ctx, client);
            ctx->fail(GCP_ERR_CONNECT,
                      "Failed to connect to GCP [" + arrayId + "] with REST error[" + restErrors +
                          "]. Please ensure 1. Please ensure that GCP meta server is accessible",
                      logfmt::kWithUrl);
            ctx->session().restErrorFlag = 1;
            return GCP_ERR_CONNECT;
        }
    } else {
        if (ctx->pemPrivateKey) {
            client->setUsePemPrivateKey(true);
        }
        rc = rest_connectUsingOAuth(*this, ctx->arrayDetails.ServiceAccountId,
                                    ctx->arrayDetails.PrivateKey, ctx->arrayDetails.PrivateKeyPswd,
                                    client);
        if (rc != 0) {
            return rc;
        }
    }
    if (getGCPMetaDetails() != 0) {
        return ctx->session().ErrCode;
    }
    ctx->log(3, "GCP Connecting to GCP [%s]... - done", arrayId.c_str());
    return 0;
}

int GcpUtils::performDestAccLogon() {
    ctx->log(3, "Logging into destination account...");
    ctx->destAccountInUse = true;
    int rc = rest_initializeClient(*this, ctx->session().destRestClient);
    if (rc != 0) {
        return rc;
    }
    BXSnapRESTAPI_Gcp* client = ctx->session().destRestClient.get();
    const RestoreInfo& dest = ctx->restoreInfo;
    if (dest.destKeyIsPem) {
        client->setUsePemPrivateKey(true);
        rc = rest_connectUsingOAuth(*this, dest.destUser, dest.destKey, "", client);
    } else {
        std::string base;
        rc = ctx->getBaseDirectoryPath(base);
        if (rc != 0) {
            return rc;
        }
        rc = rest_connectUsingOAuth(*this, dest.destUser, base + kKeyFileDir + dest.destKey,
                                    dest.destPassword, client);
    }
    if (rc != 0) {
        return rc;
    }
    ctx->log(3, "Logging into destination account... - done");
    return 0;
}

}  // namespace DuVavaZid
