// Token acquisition and renewal.
#include <openssl/crypto.h>

#include "host/http_client.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace {

const char* const kLabelBuild = "GCP REST-buildRequestForOAuth";
const char* const kLabelOAuth = "GCP REST-connectUsingOAuth";
const char* const kLabelParse = "GCP REST-parseResponseForAccessToken";
const char* const kLabelAuthError = "GCP REST-hasAuthError";
const char* const kLabelReconnect = "GCP REST-checkForAuthErrorAndReconnect";

}  // namespace

bool BXSnapRESTAPI_Gcp::buildRequestForOAuth(std::string& body) {
    body.clear();
    std::string token;
    if (!getBearerToken(token)) {
        log(2, kLabelBuild, "Failed to generate the bearer token");
        return false;
    }
    body = GCP_REST_API_OAUTH_REQUEST_PREFIX + token;
    return true;
}

bool BXSnapRESTAPI_Gcp::connectUsingOAuth(const std::string& path, std::string& body,
                                          std::string& response) {
    localError.clear();
    if (!buildRequestForOAuth(body)) {
        log(2, kLabelOAuth, "Failed to build request for oauth");
        return false;
    }
    if (!connect(path, body, response)) {
        log(2, kLabelOAuth, "Connect failed");
        return false;
    }
    return true;
}

bool BXSnapRESTAPI_Gcp::parseResponseForAccessToken(const std::string& response) {
    jsonxx::Object object;
    if (!object.parse(response)) {
        return false;
    }
    std::string value;
    bool isContainer = false;
    for (const char* key :
         {GCP_REST_API_JSON_RESP_KEY_TOKEN_TYPE, GCP_REST_API_JSON_RESP_KEY_ACCESS_TOKEN}) {
        if (!getValueFromJSONObject(key, object, value, isContainer)) {
            log(2, kLabelParse, "Failed to get [%s] value from JSON response", key);
            return false;
        }
        if (isContainer) {
            log(2, kLabelParse, "Type mismatch, expected string value for key [%s]", key);
            return false;
        }
        if (key == std::string(GCP_REST_API_JSON_RESP_KEY_TOKEN_TYPE)) {
            accessTokenHdrPrefix = value;
        }
    }
    std::string token = accessTokenHdrPrefix + " " + value;
    token_->set(token);
    OPENSSL_cleanse(&token[0], token.size());
    std::string expiresIn;
    getValueFromJSONObject(GCP_REST_API_JSON_RESP_KEY_EXPIRES_IN, object, expiresIn, isContainer);
    return true;
}

bool BXSnapRESTAPI_Gcp::hasAuthError(const std::string& response) {
    jsonxx::Object object;
    if (!object.parse(response) || !object.has<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR)) {
        return false;
    }
    jsonxx::Object error = object.get<jsonxx::Object>(GCP_REST_API_JSON_RESP_KEY_ERROR);
    if (!error.has<jsonxx::Number>(GCP_REST_API_JSON_RESP_KEY_CODE) ||
        !error.has<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_STATUS)) {
        return false;
    }
    if (error.get<jsonxx::Number>(GCP_REST_API_JSON_RESP_KEY_CODE) !=
            GCP_REST_API_ERROR_CODE_UNAUTHORIZED ||
        error.get<jsonxx::String>(GCP_REST_API_JSON_RESP_KEY_STATUS) !=
            GCP_REST_API_ERROR_STATUS_UNAUTHENTICATED) {
        return false;
    }
    log(1, kLabelAuthError, "Received [%s] status in JSON response.",
        GCP_REST_API_ERROR_STATUS_UNAUTHENTICATED);
    return true;
}

bool BXSnapRESTAPI_Gcp::checkForAuthErrorAndReconnect(const std::string& response) {
    return checkForAuthErrorAndReconnect(response, token_->generation());
}

bool BXSnapRESTAPI_Gcp::checkForAuthErrorAndReconnect(const std::string& response,
                                                      uint64_t sentWith) {
    if (!connected || !hasAuthError(response)) {
        return false;
    }
    std::lock_guard<std::mutex> renewing(token_->renewMutex());
    if (token_->generation() != sentWith) {
        // Another client renewed the token while this request was refused.
        log(1, kLabelReconnect, "Using the token renewed by another session");
        return true;
    }
    log(1, kLabelReconnect, "Re-authenticating... ");
    std::string workBody;
    std::string workResponse;
    if (!useServiceAccountOAuth) {
        if (connect(GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP, "", workResponse)) {
            return true;
        }
        log(2, kLabelReconnect, "Failed to connect");
        return false;
    }
    if (connectUsingOAuth("", workBody, workResponse)) {
        return true;
    }
    log(2, kLabelReconnect, "Failed to perform oauth for service account [%s]",
        serviceAccountId.c_str());
    return false;
}
