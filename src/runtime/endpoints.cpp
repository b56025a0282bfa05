#include "runtime/endpoints.h"

#include <cstdlib>

#include "runtime/runtime.h"

namespace bxrt {
namespace {

std::string trimmed(std::string text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// "https://host:port/" -> "host:port"
std::string hostOnly(std::string value) {
    value = trimmed(std::move(value));
    size_t scheme = value.find("://");
    if (scheme != std::string::npos) {
        value.erase(0, scheme + 3);
    }
    while (!value.empty() && value.back() == '/') {
        value.pop_back();
    }
    return value;
}

std::string setting(const char* name, const char* fallback) {
    std::string value;
    if (settingString(kGcpSection, name, &value)) {
        value = trimmed(value);
        if (!value.empty()) {
            return value;
        }
    }
    return fallback;
}

long positiveNumber(const char* name, long fallback) {
    long value = 0;
    if (settingNumber(kGcpSection, name, &value) && value > 0) {
        return value;
    }
    return fallback;
}

}  // namespace

std::string computeApiHost() {
    return hostOnly(setting("ComputeHost", kDefaultComputeHost));
}

std::string oauthTokenUrl() {
    return setting("TokenUrl", kDefaultTokenUrl);
}

std::string metadataHost() {
    const char* env = std::getenv(kMetadataHostEnv);
    if (env && *env) {
        std::string host = hostOnly(env);
        if (!host.empty()) {
            return host;
        }
    }
    return hostOnly(setting("MetadataHost", kDefaultMetadataHost));
}

HttpSettings httpSettings() {
    HttpSettings s;
    settingString(kGcpSection, "CaBundle", &s.caBundle);
    s.caBundle = trimmed(s.caBundle);
    s.connectTimeoutMs = positiveNumber("ConnectTimeoutMs", kDefaultConnectTimeoutMs);
    s.timeoutMs = positiveNumber("TimeoutMs", kDefaultTimeoutMs);
    s.maxResponseBytes = positiveNumber("MaxResponseBytes", kDefaultMaxResponseBytes);
    return s;
}

}  // namespace bxrt
