// One HTTPS exchange over libcurl with peer verification always on. The host
// uses it for the emulator's SCSI view and control API; GCP itself is only
// ever reached by the plug-in.
#pragma once

#include <string>

namespace bxhost {

struct HttpResult {
    bool ok = false;  // the exchange completed (any HTTP status)
    long status = 0;
    std::string body;
    std::string error;  // transport error text when !ok
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::string body;
    std::string caBundle;  // empty: the system's trust store
    std::string bearerToken;
    std::string extraHeader;  // one "Name: value" line, or empty
    long timeoutMs = 30000;
};

HttpResult httpExchange(const HttpRequest& request);

}  // namespace bxhost
