// One HTTP(S) exchange over libcurl with peer verification always on. The host
// uses it for the emulator's SCSI view and control API, and `doctor` for its
// own read-only checks of the metadata server, the token endpoint and Compute
// Engine; the backups themselves only ever go through the plug-in.
#pragma once

#include <map>
#include <string>

namespace bxhost {

struct HttpResult {
    bool ok = false;  // the exchange completed (any HTTP status)
    long status = 0;
    std::string body;
    std::string error;        // transport error text when !ok
    int curlCode = 0;         // libcurl's result (CURLcode) when !ok
    bool tlsFailure = false;  // the peer's certificate or the TLS handshake failed
    std::map<std::string, std::string> headers;  // answer headers, names in lower case
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::string body;
    std::string caBundle;  // empty: the system's trust store
    std::string bearerToken;
    std::string extraHeader;                       // one "Name: value" line, or empty
    std::string contentType = "application/json";  // of a POST body
    long timeoutMs = 30000;
    long connectTimeoutMs = 10000;
    size_t maxResponseBytes = 4 * 1024 * 1024;  // a longer answer fails the exchange
};

HttpResult httpExchange(const HttpRequest& request);

}  // namespace bxhost
