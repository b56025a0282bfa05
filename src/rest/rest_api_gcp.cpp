#include "rest/rest_api_gcp.h"

#include <openssl/crypto.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/helpers.h"
#include "host/http_client.h"
#include "host/snap_info.h"
#include "host/strings.h"
#include "rest/rest_constants.h"
#include "rest/secret_mask.h"
#include "runtime/endpoints.h"

namespace {

const char* const kLabelUrl = "GCP REST-formUrlPath";
const char* const kLabelHeaders = "GCP REST-setCommonCurlHeaders";
const char* const kLabelSend = "GCP REST-sendReq";
const char* const kLabelConnect = "GCP REST-connect";
const char* const kLabelInit = "GCP REST-initializeCurl";
const char* const kLabelUserPwd = "GCP REST-setUserPasswordHeader";

void wipe(std::string& secret) {
    wipeSecret(secret);
}

}  // namespace

RestTokenStore::~RestTokenStore() {
    wipe(token_);
}

void RestTokenStore::set(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    wipe(token_);
    token_ = token;
    ++generation_;
}

void RestTokenStore::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    wipe(token_);
}

std::string RestTokenStore::get(uint64_t* generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation) {
        *generation = generation_;
    }
    return token_;
}

uint64_t RestTokenStore::generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

BXSnapRESTAPI_Gcp::BXSnapRESTAPI_Gcp() : token_(std::make_shared<RestTokenStore>()) {
    reset();
    curl.reset(new BXLibCurl());
}

std::unique_ptr<BXSnapRESTAPI_Gcp> BXSnapRESTAPI_Gcp::spawn() const {
    std::unique_ptr<BXSnapRESTAPI_Gcp> copy(new BXSnapRESTAPI_Gcp());
    copy->loggingEnabled = loggingEnabled;
    copy->basePath = basePath;
    copy->computeBase = computeBase;
    copy->metaBasePath = metaBasePath;
    copy->server = server;
    copy->serverPort = serverPort;
    copy->userName = userName;
    copy->userPswd = userPswd;
    copy->protocolType = protocolType;
    copy->cookieFile = cookieFile;
    copy->acceptTypeInHdr = acceptTypeInHdr;
    copy->contentTypeInHdr = contentTypeInHdr;
    copy->userAgentHeaderInHdr = userAgentHeaderInHdr;
    copy->metaFetchInHdr = metaFetchInHdr;
    copy->accessTokenHdrPrefix = accessTokenHdrPrefix;
    copy->serviceAccountId = serviceAccountId;
    copy->privateKey = privateKey;
    copy->privateKeyPswd = privateKeyPswd;
    copy->logger = logger;
    copy->useServiceAccountOAuth = useServiceAccountOAuth;
    copy->usePemPrivateKey = usePemPrivateKey;
    copy->token_ = token_;
    if (jobIdSet_) {
        copy->setJobId(jobId_);
    }
    if (curlInitialized && !copy->initializeCurl()) {
        return nullptr;
    }
    copy->connected = connected;
    return copy;
}

BXSnapRESTAPI_Gcp::~BXSnapRESTAPI_Gcp() {
    wipe(privateKey);
    wipe(privateKeyPswd);
    wipe(userPswd);
}

void BXSnapRESTAPI_Gcp::reset() {
    curlInitialized = false;
    connected = false;
    loggingEnabled = false;
    httpErrorCode = 0;
    basePath.clear();
    metaBasePath.clear();
    server.clear();
    serverPort = -1;
    userName.clear();
    wipe(userPswd);
    // A reset client starts over with a token of its own.
    token_ = std::make_shared<RestTokenStore>();
    protocolType.clear();
    cookieFile.clear();
    acceptTypeInHdr.clear();
    contentTypeInHdr.clear();
    userAgentHeaderInHdr.clear();
    metaFetchInHdr.clear();
    accessTokenHdrPrefix.clear();
    serviceAccountId.clear();
    wipe(privateKey);
    wipe(privateKeyPswd);
    useServiceAccountOAuth = false;
    usePemPrivateKey = false;
}

void BXSnapRESTAPI_Gcp::setBasePath(const std::string& value) {
    size_t scheme = value.find("://");
    std::string path = scheme == std::string::npos ? value : value.substr(scheme + 3);
    const std::string suffix = GCP_REST_API_BASE_PATH_SUFFIX;
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        computeBase = path;  // the configured Compute endpoint
        basePath = path;
        return;
    }
    // A link from an answer (an Operation's selfLink, a targetLink) names
    // whatever host the answer chose: it is followed on the configured
    // Compute endpoint instead, so that a forged or proxied answer cannot
    // collect the token and polls keep to a private endpoint.
    const std::string kProjects = "/projects/";
    size_t projects = path.find(kProjects);
    if (projects != std::string::npos) {
        std::string rebased = computeEndpoint() + path.substr(projects + kProjects.size());
        if (rebased != path && loggingEnabled) {
            log(2, kLabelUrl, "Link [%s] is followed as [%s]", value.c_str(), rebased.c_str());
        }
        path = rebased;
    }
    basePath = path;
}

std::string BXSnapRESTAPI_Gcp::computeEndpoint() const {
    return computeBase.empty() ? bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX
                               : computeBase;
}

bool BXSnapRESTAPI_Gcp::tokenMayGoTo(const std::string& url) const {
    auto hostOf = [](const std::string& text) {
        size_t scheme = text.find("://");
        size_t start = scheme == std::string::npos ? 0 : scheme + 3;
        size_t end = text.find('/', start);
        std::string host = text.substr(start, end == std::string::npos ? end : end - start);
        strToLowerCase(host);
        return host;
    };
    std::string host = hostOf(url);
    return host == hostOf(computeEndpoint()) || host == hostOf(bxrt::oauthTokenUrl());
}

void BXSnapRESTAPI_Gcp::setLogger(BXSO::SnapInfo* record) {
    if (record) {
        logger = record;
    }
}

void BXSnapRESTAPI_Gcp::setJobId(long long jobId) {
    jobId_ = jobId;
    jobIdSet_ = true;
    curl->setJobId(jobId);
}

void BXSnapRESTAPI_Gcp::log(int level, const char* label, const char* format, ...) {
    if (!logger) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = HostStr::VFormat(format, args);
    va_end(args);
    logger->logMessage(level, label, "%s", text.c_str());
}

std::string BXSnapRESTAPI_Gcp::masked(const std::string& text) const {
    return bxrest::maskedForLog(text);
}

void BXSnapRESTAPI_Gcp::maskSensitiveDetails(const std::string& in, std::string& out) const {
    out = bxrest::maskedForLog(in);
}

bool BXSnapRESTAPI_Gcp::initializeCurl() {
    if (curl->BXLibCurlInit(nullptr, true, false, nullptr)) {
        curlInitialized = true;
        return true;
    }
    if (loggingEnabled) {
        log(2, kLabelInit, "Failed to initialize Curl library.");
    }
    return false;
}

void BXSnapRESTAPI_Gcp::formUrlPath(const std::string& path, std::string& url, bool meta) {
    // The metadata server only speaks plain HTTP.
    url = meta ? "http://" + metaBasePath + path : protocolType + "://" + basePath + path;
    if (loggingEnabled) {
        log(0, kLabelUrl, "Computed URL [%s] to send the request.", url.c_str());
    }
}

bool BXSnapRESTAPI_Gcp::setCommonCurlHeaders(Credential credential, uint64_t* generation) {
    curl->BXLibCurlFreeHttpHeaderList();
    // Without Accept and Content-Type lines the body goes out as a form post,
    // which the token endpoint requires.
    const bool form = credential == Credential::TokenRequest;
    if (!form && !curl->BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, contentTypeInHdr)) {
        log(2, kLabelHeaders, "Failed to set CURL HTTPHEADER header - content type [%s]",
            contentTypeInHdr.c_str());
        return false;
    }
    if (!form && !curl->BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, acceptTypeInHdr)) {
        log(2, kLabelHeaders, "Failed to set CURL HTTPHEADER header - accept [%s]",
            acceptTypeInHdr.c_str());
        return false;
    }
    if (!curl->BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, userAgentHeaderInHdr)) {
        log(2, kLabelHeaders, "Failed to set CURL HTTPHEADER header - user-agent [%s]",
            userAgentHeaderInHdr.c_str());
        return false;
    }
    if (credential == Credential::Metadata) {
        if (!curl->BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, metaFetchInHdr)) {
            log(2, kLabelHeaders, "Failed to set CURL HTTPHEADER header - meta fetch [%s]",
                metaFetchInHdr.c_str());
            return false;
        }
    } else if (credential == Credential::AccessToken) {
        std::string token = token_->get(generation);
        std::string line = std::string(GCP_REST_HDR_AUTHORIZATION) + token;
        wipe(token);
        bool ok = curl->BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, line);
        wipe(line);
        if (!ok) {
            log(2, kLabelHeaders, "Failed to set CURL HTTPHEADER header - access token");
            return false;
        }
    }
    return true;
}

bool BXSnapRESTAPI_Gcp::sendReq(int type, const std::string& path, const std::string& body,
                                std::string& response, bool meta, uint64_t* generation) {
    response.clear();
    httpErrorCode = 0;
    exchangeFailure.clear();
    if (!curlInitialized) {
        log(2, kLabelSend, "Error: Curl needs to be initialized before making any queries.");
        return false;
    }
    if (!connected) {
        log(2, kLabelSend, "Error:Connect module has to be called before making any queries.");
        return false;
    }
    if (meta) {
        log(0, kLabelSend, "**  Meta REST call  **");
    }
    std::string url;
    formUrlPath(path, url, meta);
    if (!meta && !tokenMayGoTo(url)) {
        exchangeFailure =
            "the access token is sent to the Compute Engine and token endpoints "
            "only, not to [" +
            url + "]";
        log(-1, kLabelSend, "Refused: %s", exchangeFailure.c_str());
        return false;
    }
    return transfer(type, url, body, response,
                    meta ? Credential::Metadata : Credential::AccessToken, generation);
}

bool BXSnapRESTAPI_Gcp::transfer(int type, const std::string& url, const std::string& body,
                                 std::string& response, Credential credential,
                                 uint64_t* generation) {
    response.clear();
    httpErrorCode = 0;
    exchangeFailure.clear();
    bool result = true;
    const bool meta = credential == Credential::Metadata;
    setCommonCurlHeaders(credential, generation);

    _http_req_type_ method;
    switch (type) {
        case REQ_GET:
            method = BX_HTTP_REQ_GET;
            break;
        case REQ_POST:
            method = BX_HTTP_REQ_POST;
            break;
        case REQ_PUT:
            method = BX_HTTP_REQ_PUT;
            break;
        case REQ_DELETE:
            method = BX_HTTP_REQ_DELETE;
            break;
        case REQ_PATCH:
            method = BX_HTTP_REQ_PATCH;
            break;
        default:
            log(2, kLabelSend, "Unsupported request type [%d]", type);
            return false;
    }

    bool sent = body.empty() ? curl->BXLibCurlSendHttpReq(method, url, nullptr, 0, false, nullptr)
                             : curl->BXLibCurlSendHttpReq(method, url, body.data(), body.size(),
                                                          false, nullptr);
    if (!sent) {
        if (body.empty()) {
            log(2, kLabelSend, "Error while processing the request. URL[%s]", url.c_str());
        } else {
            log(2, kLabelSend, "Error while processing the request. URL[%s] Request[%s]",
                url.c_str(), masked(body).c_str());
        }
        result = false;
    }
    httpErrorCode = curl->GetHttpErrorCode();
    size_t length = 0;
    const char* text = curl->GetHttpResponse(length, false);
    if (length != 0 && text) {
        response.assign(text, strnlen(text, length));
    } else if (loggingEnabled) {
        log(2, kLabelSend, "Empty response received for request. URL[%s] Request[%s]", url.c_str(),
            masked(body).c_str());
    }
    exchangeFailure = describeFailure(sent, response);
    // Only the metadata server marks its answers so; without the mark, the
    // answer came from something else on the way and is not believed.
    if (meta && httpErrorCode != 0 && !fromMetadataServer()) {
        exchangeFailure =
            "the answer did not come from the metadata server (no "
            "\"Metadata-Flavor: Google\" header)";
        log(-1, kLabelSend, "Refused: %s. URL[%s]", exchangeFailure.c_str(), url.c_str());
        result = false;
    }
    if (loggingEnabled) {
        std::string maskedResponse;
        maskSensitiveDetails(response, maskedResponse);
        log(0, kLabelSend, "Response for URL [%s] : <<%s>>", url.c_str(), maskedResponse.c_str());
    }
    return result;
}

bool BXSnapRESTAPI_Gcp::fromMetadataServer() const {
    size_t length = 0;
    const char* text = curl->GetHttpResponse(length, true);
    std::string headers = text ? std::string(text, strnlen(text, length)) : "";
    strToLowerCase(headers);
    size_t at = headers.find("\nmetadata-flavor:");
    if (at == std::string::npos) {
        return false;
    }
    size_t end = headers.find('\n', at + 1);
    std::string value = headers.substr(at + 18, end == std::string::npos ? end : end - at - 18);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    return value == "google";
}

std::string BXSnapRESTAPI_Gcp::describeFailure(bool sent, const std::string& response) const {
    constexpr size_t kShownBody = 200;
    if (!sent && httpErrorCode == 0) {
        return "no answer from the server: " + curl->GetLastError();
    }
    constexpr int64_t kFirstFailureStatus = 300;  // an unfollowed redirect is no answer either
    if (httpErrorCode < kFirstFailureStatus) {
        // A status came, but the answer broke off or was cut off.
        return sent ? "" : "the answer could not be read: " + curl->GetLastError();
    }
    jsonxx::Object document;
    if (document.parse(response) &&
        (document.has<jsonxx::Object>("error") || document.has<jsonxx::String>("error"))) {
        return "";
    }
    std::string shown = bxrest::maskSecrets(response).substr(0, kShownBody);
    for (char& c : shown) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    shown.erase(shown.find_last_not_of(' ') + 1);
    std::string text = "HTTP status " + std::to_string(httpErrorCode);
    if (!shown.empty()) {
        text += ": " + shown + (response.size() > kShownBody ? "..." : "");
    }
    return text;
}

bool BXSnapRESTAPI_Gcp::request(int type, const std::string& path, const std::string& body,
                                std::string& response, bool meta) {
    uint64_t generation = 0;
    bool result = sendReq(type, path, body, response, meta, &generation);
    // Only a 401 can say the token is no longer accepted: other answers are
    // not parsed for it.
    if (httpErrorCode == GCP_REST_API_ERROR_CODE_UNAUTHORIZED &&
        checkForAuthErrorAndReconnect(response, generation)) {
        result = sendReq(type, path, body, response, meta);
    }
    return result;
}

std::string BXSnapRESTAPI_Gcp::lastResponseHeaders() const {
    size_t length = 0;
    const char* text = curl->GetHttpResponse(length, true);
    return text && length ? std::string(text, strnlen(text, length)) : std::string();
}

bool BXSnapRESTAPI_Gcp::get(const std::string& path, const std::string& body, std::string& response,
                            bool meta) {
    return request(REQ_GET, path, body, response, meta);
}

bool BXSnapRESTAPI_Gcp::post(const std::string& path, const std::string& body,
                             std::string& response, bool meta) {
    return request(REQ_POST, path, body, response, meta);
}

bool BXSnapRESTAPI_Gcp::put(const std::string& path, const std::string& body, std::string& response,
                            bool meta) {
    return request(REQ_PUT, path, body, response, meta);
}

bool BXSnapRESTAPI_Gcp::del(const std::string& path, const std::string& body, std::string& response,
                            bool meta) {
    return request(REQ_DELETE, path, body, response, meta);
}

bool BXSnapRESTAPI_Gcp::patch(const std::string& path, const std::string& body,
                              std::string& response, bool meta) {
    return request(REQ_PATCH, path, body, response, meta);
}

bool BXSnapRESTAPI_Gcp::connect(const std::string& path, const std::string& body,
                                std::string& response) {
    curl->toggleTrace(true);
    bool sent = false;
    if (!curlInitialized) {
        log(2, kLabelSend, "Error: Curl needs to be initialized before making any queries.");
    } else if (path.empty()) {
        std::string url = bxrt::oauthTokenUrl();
        size_t scheme = url.find("://");
        url = protocolType + "://" + (scheme == std::string::npos ? url : url.substr(scheme + 3));
        if (loggingEnabled) {
            log(0, kLabelUrl, "Computed URL [%s] to send the request.", url.c_str());
        }
        sent = transfer(REQ_POST, url, body, response, Credential::TokenRequest, nullptr);
    } else {
        log(0, kLabelSend, "**  Meta REST call  **");
        std::string url;
        formUrlPath(path, url, true);
        sent = transfer(REQ_GET, url, body, response, Credential::Metadata, nullptr);
    }
    if (sent) {
        if (parseResponseForAccessToken(response)) {
            connected = true;
            return true;
        }
        log(2, kLabelConnect, "Failed to parse JSON response for access token. JSON response [%s]",
            masked(response).c_str());
    } else if (curl->GetHttpErrorCode() == GCP_REST_API_ERROR_CODE_UNAUTHORIZED) {
        response = "Failed to get access token from meta server";
    }
    connected = false;
    return false;
}

bool BXSnapRESTAPI_Gcp::disconnect(const std::string&, const std::string&, const std::string&) {
    connected = false;
    token_->clear();
    return true;
}

bool BXSnapRESTAPI_Gcp::addUserPasswordHeader(const std::string& value) {
    if (!curl->BXLibCurlAppendHeader(BX_HTTP_HDR_USERPWD, value)) {
        log(2, kLabelUserPwd, "Failed to set CURL USERPWD header.");
        return false;
    }
    return true;
}

bool BXSnapRESTAPI_Gcp::getValueFromJSONObject(const std::string& key, const jsonxx::Object& object,
                                               std::string& value, bool& isContainer) {
    if (jsonxx::memberAsText(object, key, value, isContainer)) {
        return true;
    }
    log(2, "", "\"%s\" tag not found in JSON response.", key.c_str());
    return false;
}
