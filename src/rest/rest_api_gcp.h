// The plug-in's REST client: one per GCP account in use. It forms URLs from a
// base path, puts the fixed headers on every request, sends through the host
// HTTP client, logs the exchange with secrets masked, and on an expired or
// rejected token renews it once and repeats the request. One client serves one
// thread; clients spawned from one another share their token (see spawn).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/jsonxx.h"

class BXLibCurl;

namespace BXSO {
class SnapInfo;
}

// The access token shared by a client and the clients spawned from it. When
// several threads find it rejected at once, one renews it and the others
// wait and use the new one (single flight): each renewal bumps the
// generation, and a thread renews only when the token it was refused with
// is still the current one.
class RestTokenStore {
  public:
    ~RestTokenStore();
    void set(const std::string& token);
    void clear();
    // Copies the token and its generation.
    std::string get(uint64_t* generation) const;
    uint64_t generation() const;
    // Serialises renewals; held across the token request on purpose.
    std::mutex& renewMutex() { return renew_; }

  private:
    mutable std::mutex mutex_;
    std::string token_;
    uint64_t generation_ = 0;
    std::mutex renew_;
};

class BXSnapRESTAPI_Gcp {
  public:
    BXSnapRESTAPI_Gcp();
    ~BXSnapRESTAPI_Gcp();
    BXSnapRESTAPI_Gcp(const BXSnapRESTAPI_Gcp&) = delete;
    BXSnapRESTAPI_Gcp& operator=(const BXSnapRESTAPI_Gcp&) = delete;

    void reset();
    // A new client with this one's settings, credentials and logger, its own
    // HTTP connection, and this one's token (shared, renewed once for all).
    // Null when its HTTP client cannot be initialised.
    std::unique_ptr<BXSnapRESTAPI_Gcp> spawn() const;

    void setBasePath(const std::string& value);
    void setMetaBasePath(const std::string& value) { metaBasePath = value; }
    void setServer(const std::string& value) { server = value; }
    void setServerPort(int32_t value) { serverPort = value; }
    void setUserName(const std::string& value) { userName = value; }
    void setUserPswd(const std::string& value) { userPswd = value; }
    void setAccessToken(const std::string& value) { token_->set(value); }
    void setProtocolType(const std::string& value) { protocolType = value; }
    void setCookieFile(const std::string& value) { cookieFile = value; }
    void setAcceptTypeInHdr(const std::string& value) { acceptTypeInHdr = value; }
    void setContentTypeInHdr(const std::string& value) { contentTypeInHdr = value; }
    void setUserAgentHeaderInHdr(const std::string& value) { userAgentHeaderInHdr = value; }
    void setMetaFetchInHdr(const std::string& value) { metaFetchInHdr = value; }
    void setAccessTokenHdrPrefix(const std::string& value) { accessTokenHdrPrefix = value; }
    void setServiceAccountId(const std::string& value) { serviceAccountId = value; }
    void setPrivateKey(const std::string& value) { privateKey = value; }
    void setPrivateKeyPswd(const std::string& value) { privateKeyPswd = value; }
    void setUseServiceAccountOAuth(bool value) { useServiceAccountOAuth = value; }
    void setUsePemPrivateKey(bool value) { usePemPrivateKey = value; }
    void setLogging(bool enabled) { loggingEnabled = enabled; }
    void setLogger(BXSO::SnapInfo* record);
    // Job id on the host HTTP client's debug-log lines.
    void setJobId(long long jobId);

    bool initializeCurl();

    // One request; meta selects the instance metadata server. A response that
    // says the token is no longer accepted renews it and repeats the request once.
    bool get(const std::string& path, const std::string& body, std::string& response, bool meta);
    bool post(const std::string& path, const std::string& body, std::string& response, bool meta);
    bool put(const std::string& path, const std::string& body, std::string& response, bool meta);
    bool del(const std::string& path, const std::string& body, std::string& response, bool meta);
    bool patch(const std::string& path, const std::string& body, std::string& response, bool meta);
    int64_t getHttpErrorCode() const { return httpErrorCode; }
    // Header block of the last answer (Retry-After is read from it).
    std::string lastResponseHeaders() const;

    // Obtains a token: an empty path posts body to the token endpoint,
    // otherwise path is a metadata-server GET. The token request goes out on
    // its own exchange: it never carries a token, is never renewed itself, and
    // leaves the base path and headers of the API requests as they are.
    bool connect(const std::string& path, const std::string& body, std::string& response);
    bool disconnect(const std::string& a, const std::string& b, const std::string& c);
    bool addUserPasswordHeader(const std::string& value);

    // Copy of in for logging with every secret value replaced by '*', length kept.
    void maskSensitiveDetails(const std::string& in, std::string& out) const;
    bool getValueFromJSONObject(const std::string& key, const jsonxx::Object& object,
                                std::string& value, bool& isContainer);

    // Authentication.
    bool getBearerToken(std::string& token);
    bool SignSHA256withRSA(const std::string& key, const std::string& data,
                           const std::string& password, std::string& signature);
    bool SignSHA256withRSA_P12File(const std::string& file, const std::string& data,
                                   const std::string& password, unsigned char* buffer,
                                   size_t& length);
    static std::string base64URLEncode(const unsigned char* data, size_t length);
    static std::string base64EncodeWithEncodeString(const unsigned char* data, size_t length,
                                                    const char* alphabet);
    // The JWT claim set, values JSON-escaped, no white space.
    static std::string buildClaimSet(const std::string& issuer, const std::string& scope,
                                     const std::string& audience, int64_t now);
    bool buildRequestForOAuth(std::string& body);
    bool connectUsingOAuth(const std::string& path, std::string& body, std::string& response);
    // Why the last token request could not even be sent (the key could not
    // sign it); empty when it was sent. Never holds a secret.
    const std::string& lastLocalError() const { return localError; }
    // Why the last exchange failed when its answer is no GCP error document:
    // libcurl's reason when nothing was answered (TLS, time-out, refused),
    // or the status and the start of a body that is not one (a metadata
    // server's or a proxy's text). Empty otherwise.
    const std::string& lastExchangeFailure() const { return exchangeFailure; }
    bool parseResponseForAccessToken(const std::string& response);
    std::string describeFailure(bool sent, const std::string& response) const;
    // True when the last answer carries "Metadata-Flavor: Google".
    bool fromMetadataServer() const;
    // Whether the token may go with a request to url: only to the configured
    // Compute Engine and token endpoints.
    bool tokenMayGoTo(const std::string& url) const;
    // "host/compute/v1/projects/" of the configured Compute Engine API.
    std::string computeEndpoint() const;
    bool hasAuthError(const std::string& response);
    bool checkForAuthErrorAndReconnect(const std::string& response);
    // As above, for a request sent with the token of the given generation:
    // when another client already renewed it, no second token request is made.
    bool checkForAuthErrorAndReconnect(const std::string& response, uint64_t sentWith);

    // Read access for the connection setup and tests.
    bool isCurlInitialized() const { return curlInitialized; }
    bool isConnected() const { return connected; }
    bool isLoggingEnabled() const { return loggingEnabled; }
    bool usesServiceAccountOAuth() const { return useServiceAccountOAuth; }
    bool usesPemPrivateKey() const { return usePemPrivateKey; }
    const std::string& getBasePath() const { return basePath; }
    const std::string& getMetaBasePath() const { return metaBasePath; }
    const std::string& getProtocolType() const { return protocolType; }
    const std::string& getServiceAccountId() const { return serviceAccountId; }
    BXSO::SnapInfo* getLogger() const { return logger; }
    BXLibCurl* httpClient() const { return curl.get(); }

  private:
    enum ReqType : int { REQ_GET = 0, REQ_POST = 1, REQ_PUT = 2, REQ_DELETE = 3, REQ_PATCH = 4 };

    bool request(int type, const std::string& path, const std::string& body, std::string& response,
                 bool meta);
    // What goes with an exchange besides its body: the access token (Compute
    // Engine), the metadata server's header, or neither (a form post to the
    // token endpoint).
    enum class Credential { AccessToken, Metadata, TokenRequest };
    bool sendReq(int type, const std::string& path, const std::string& body, std::string& response,
                 bool meta, uint64_t* generation = nullptr);
    // One exchange with url as given; the layer every request ends in.
    bool transfer(int type, const std::string& url, const std::string& body, std::string& response,
                  Credential credential, uint64_t* generation);
    void formUrlPath(const std::string& path, std::string& url, bool meta);
    bool setCommonCurlHeaders(Credential credential, uint64_t* generation);
    void log(int level, const char* label, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    std::string masked(const std::string& text) const;

    std::unique_ptr<BXLibCurl> curl;
    bool curlInitialized = false;
    bool connected = false;
    bool loggingEnabled = false;
    int64_t httpErrorCode = 0;
    std::string basePath;
    std::string metaBasePath;
    std::string server;
    int32_t serverPort = -1;
    std::string userName;
    std::string userPswd;
    std::shared_ptr<RestTokenStore> token_;
    std::string localError;
    std::string exchangeFailure;
    std::string computeBase;
    long long jobId_ = 0;
    bool jobIdSet_ = false;
    std::string protocolType;
    std::string cookieFile;
    std::string acceptTypeInHdr;
    std::string contentTypeInHdr;
    std::string userAgentHeaderInHdr;
    std::string metaFetchInHdr;
    std::string accessTokenHdrPrefix;
    std::string serviceAccountId;
    std::string privateKey;
    std::string privateKeyPswd;
    BXSO::SnapInfo* logger = nullptr;
    bool useServiceAccountOAuth = false;
    bool usePemPrivateKey = false;
};
