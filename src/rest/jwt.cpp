// The signed JWT of the OAuth 2.0 JWT bearer grant (RS256).
#include <cstring>
#include <vector>

#include "common/helpers.h"
#include "host/crypto.h"
#include "host/http_client.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace {

const char* const kLabelToken = "GCP REST-getBearerToken";
const char* const kLabelSign = "GCP SignSHA256withRSA";

// A claim value as JSON string content (without the quotes); valid account ids
// and URLs come out unchanged.
std::string jsonEscaped(const std::string& value) {
    std::string quoted = jsonxx::detail::dump(jsonxx::detail::Json(value));
    return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : std::string();
}

}  // namespace

std::string BXSnapRESTAPI_Gcp::base64EncodeWithEncodeString(const unsigned char* data,
                                                            size_t length, const char* alphabet) {
    std::string out;
    if (!data || length == 0 || !alphabet || std::strlen(alphabet) < 64) {
        return out;
    }
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    size_t rest = length - i;
    if (rest == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string BXSnapRESTAPI_Gcp::base64URLEncode(const unsigned char* data, size_t length) {
    return base64EncodeWithEncodeString(data, length, GCP_REST_API_OAUTH_ENCODE_STRING);
}

std::string BXSnapRESTAPI_Gcp::buildClaimSet(const std::string& issuer, const std::string& scope,
                                             const std::string& audience, int64_t now) {
    std::string claims;
    claims += GCP_REST_API_OAUTH_REQUEST_CLAIMSET_ISS_KEY;
    claims += jsonEscaped(issuer);
    claims += GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP;
    claims += GCP_REST_API_OAUTH_REQUEST_CLAIMSET_SCOPE_KEY;
    claims += jsonEscaped(scope);
    claims += GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP;
    claims += GCP_REST_API_OAUTH_REQUEST_CLAIMSET_AUD_KEY;
    claims += jsonEscaped(audience);
    claims += GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP;
    claims += GCP_REST_API_OAUTH_REQUEST_CLAIMSET_EXP_KEY;
    claims += std::to_string(now + GCP_REST_API_OAUTH_TOKEN_LIFETIME_SEC);
    claims += GCP_REST_API_OAUTH_REQUEST_JSON_KEY_SEP_2;
    claims += GCP_REST_API_OAUTH_REQUEST_CLAIMSET_IAT_KEY;
    claims += std::to_string(now);
    claims += GCP_REST_API_OAUTH_REQUEST_JSON_CLOSING_BRACE;
    return claims;
}

bool BXSnapRESTAPI_Gcp::getBearerToken(std::string& token) {
    int64_t now = getCurTime();
    const std::string header = GCP_REST_API_OAUTH_REQUEST_HEADER;
    const std::string claims =
        buildClaimSet(serviceAccountId, bxrt::kOAuthScope, bxrt::oauthTokenUrl(), now);
    std::string input =
        base64URLEncode(reinterpret_cast<const unsigned char*>(header.data()), header.size()) +
        "." + base64URLEncode(reinterpret_cast<const unsigned char*>(claims.data()), claims.size());

    std::string signature;
    if (usePemPrivateKey) {
        // The PEM key is used unencrypted whatever password is configured.
        if (!SignSHA256withRSA(privateKey, input, "", signature)) {
            log(2, kLabelToken, "Failed to get signature from private key");
            localError =
                "The token request could not be signed with the private key (not an "
                "RSA private key in PEM form?)";
            return false;
        }
    } else {
        std::vector<unsigned char> buffer(GCP_REST_API_OAUTH_SIGNATURE_BUF_LENGTH, 0);
        size_t length = buffer.size();
        if (!SignSHA256withRSA_P12File(privateKey, input, privateKeyPswd, buffer.data(), length)) {
            log(2, kLabelToken, "Failed to get signature from p12 file");
            // The file's name and OpenSSL's reason (a wrong password reads "mac
            // verify failure") are no secret; the password is.
            localError = "The token request could not be signed with the PKCS#12 file [" +
                         privateKey + "]: " + curl->GetLastSignError();
            return false;
        }
        signature.assign(reinterpret_cast<const char*>(buffer.data()), length);
    }
    token =
        input + "." +
        base64URLEncode(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
    return true;
}

bool BXSnapRESTAPI_Gcp::SignSHA256withRSA(const std::string& key, const std::string& data,
                                          const std::string& password, std::string& signature) {
    unsigned char digest[BxcSHA256::kDigestSize] = {0};
    try {
        BxcSHA256 sha;
        sha.addData(data.data(), data.size());
        sha.finish(digest);
    } catch (const std::exception&) {
        log(2, kLabelSign, "Failed to calculate digest.");
        return false;
    }
    log(0, kLabelSign, "SHA 256 digest length : %d", static_cast<int>(sizeof digest));
    try {
        BxcRSA rsa;
        rsa.enablePadding(true);
        rsa.setPriKeyPEM(key, password);
        BxcBucket bucket = rsa.sign(digest, sizeof digest);
        signature.assign(reinterpret_cast<const char*>(bucket.getData()), bucket.getSize());
    } catch (const std::exception&) {
        log(2, kLabelSign, "Failed to sign the digest.");
        return false;
    }
    log(0, kLabelSign, "RSA signature length : %d", static_cast<int>(signature.size()));
    return true;
}

bool BXSnapRESTAPI_Gcp::SignSHA256withRSA_P12File(const std::string& file, const std::string& data,
                                                  const std::string& password,
                                                  unsigned char* buffer, size_t& length) {
    return curl->SignSHA256withRSA(file, data, password, buffer, length);
}
