// Where the plug-in finds Google's services. Read from the settings file,
// section "Gcp", at each call, so a changed file applies to the next call.
// Defaults are Google's real endpoints.
#pragma once

#include <string>

namespace bxrt {

constexpr const char* kGcpSection = "Gcp";
// Environment variable that Google's client libraries honour for the
// metadata server ("host" or "host:port"); it wins over the settings file.
constexpr const char* kMetadataHostEnv = "GCE_METADATA_HOST";

constexpr const char* kDefaultComputeHost = "compute.googleapis.com";
constexpr const char* kDefaultTokenUrl = "https://oauth2.googleapis.com/token";
constexpr const char* kDefaultMetadataHost = "metadata.google.internal";
// The scope names a permission, not a place: it stays the same wherever the
// token endpoint is.
constexpr const char* kOAuthScope = "https://www.googleapis.com/auth/cloud-platform";

constexpr long kDefaultConnectTimeoutMs = 10000;
constexpr long kDefaultTimeoutMs = 120000;
// No Compute Engine, token or metadata answer the plug-in reads comes near
// this; a longer one is cut off and fails the request.
constexpr long kDefaultMaxResponseBytes = 4L << 20;

// "host[:port]" of the Compute Engine API (a scheme or trailing "/" given in
// the settings is dropped).
std::string computeApiHost();
// Full URL of the OAuth 2.0 token endpoint; also the JWT "aud" claim.
std::string oauthTokenUrl();
// "host[:port]" of the instance metadata server.
std::string metadataHost();

struct HttpSettings {
    std::string caBundle;  // empty: the system's trust store
    long connectTimeoutMs = kDefaultConnectTimeoutMs;
    long timeoutMs = kDefaultTimeoutMs;
    long maxResponseBytes = kDefaultMaxResponseBytes;
};
HttpSettings httpSettings();

}  // namespace bxrt
