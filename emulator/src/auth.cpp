// OAuth 2.0: the JWT bearer grant at the token endpoint, bearer tokens on the Compute API
// (access tokens, or a self-signed JWT of a known account as Google accepts), and the
// per-project role check. No token, assertion or key text reaches an error message.
#include "crypto.h"
#include "impl.h"
#include "util.h"

namespace gce {

namespace {

struct JwtResult {
    bool ok = false;
    std::string email, error, description;
    Json claims;
};

const char* kTimeframe =
    "Invalid JWT: Token must be a short-lived token (60 minutes) and in a reasonable timeframe. "
    "Check your iat and exp values in the JWT claim.";

JwtResult checkJwt(const World& world, const std::string& jwt, int64_t nowMs) {
    JwtResult r;
    r.error = "invalid_grant";
    size_t d1 = jwt.find('.');
    size_t d2 = d1 == std::string::npos ? d1 : jwt.find('.', d1 + 1);
    if (d2 == std::string::npos || jwt.find('.', d2 + 1) != std::string::npos) {
        r.error = "invalid_request";
        r.description = "Invalid JWT: the assertion is not a signed JWT.";
        return r;
    }
    std::string h, c, sig;
    Json header, claims;
    if (!crypto::base64UrlDecode(jwt.substr(0, d1), &h) ||
        !crypto::base64UrlDecode(jwt.substr(d1 + 1, d2 - d1 - 1), &c) ||
        !crypto::base64UrlDecode(jwt.substr(d2 + 1), &sig)) {
        r.description = "Invalid JWT: the segments are not base64url.";
        return r;
    }
    try {
        header = Json::parse(h);
        claims = Json::parse(c);
    } catch (const std::exception&) {
        r.description = "Invalid JWT: the header or claim set is not JSON.";
        return r;
    }
    if (!header.is_object() || !claims.is_object() || header.value("alg", "") != "RS256") {
        r.description = "Invalid JWT: the algorithm must be RS256.";
        return r;
    }
    if (header.contains("typ") && header["typ"] != "JWT") {
        r.description = "Invalid JWT: typ must be JWT.";
        return r;
    }
    std::string iss =
        claims.contains("iss") && claims["iss"].is_string() ? claims["iss"].get<std::string>() : "";
    auto acct = world.accounts.find(iss);
    if (acct == world.accounts.end()) {
        r.description = "Invalid grant: account not found";
        return r;
    }
    // A kid, when given, names one of the account's keys.
    if (header.contains("kid") && header["kid"].is_string() && !acct->second.keyId.empty() &&
        header["kid"].get<std::string>() != acct->second.keyId) {
        r.description = "Invalid JWT Signature.";
        return r;
    }
    if (!crypto::verifyRs256(acct->second.publicKeyPem, jwt.substr(0, d2), sig)) {
        r.description = "Invalid JWT Signature.";
        return r;
    }
    if (!claims.contains("iat") || !claims.contains("exp") || !claims["iat"].is_number() ||
        !claims["exp"].is_number()) {
        r.description = kTimeframe;
        return r;
    }
    int64_t iat = claims["iat"].get<int64_t>();
    int64_t exp = claims["exp"].get<int64_t>();
    int64_t now = nowMs / 1000;
    if (exp <= iat || exp - iat > 3600 || now >= exp || iat > now + 300) {
        r.description = kTimeframe;
        return r;
    }
    r.ok = true;
    r.email = iss;
    r.claims = claims;
    return r;
}

std::string bearerOf(const httplib::Request& req, bool* present) {
    std::string h = req.get_header_value("Authorization");
    size_t b = h.find_first_not_of(" \t");
    h = b == std::string::npos ? "" : h.substr(b);
    *present = !h.empty();
    if (h.size() < 7 || util::lower(h.substr(0, 7)) != "bearer ") {
        return "";
    }
    std::string t = h.substr(7);
    b = t.find_first_not_of(" \t");
    return b == std::string::npos ? "" : t.substr(b);
}

// Compute Engine takes the scopes cloud-platform and compute, and for reads
// (testIamPermissions among them) their read-only forms.
bool scopesAllowCompute(const std::vector<std::string>& scopes, bool readOnly) {
    const std::string base = "https://www.googleapis.com/auth/";
    for (const auto& s : scopes) {
        if (s == base + "cloud-platform" || s == base + "compute" ||
            (readOnly &&
             (s == base + "cloud-platform.read-only" || s == base + "compute.readonly"))) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool Emulator::Impl::accountMay(const std::string& email, const std::string& project) const {
    auto it = world.accounts.find(email);
    if (it == world.accounts.end()) {
        return false;
    }
    for (const auto& p : it->second.projects) {
        if (p == project || p == "*") {
            return true;
        }
    }
    return false;
}

bool Emulator::Impl::permissionDenied(const std::string& email,
                                      const std::string& permission) const {
    auto it = world.accounts.find(email);
    if (it == world.accounts.end()) {
        return false;
    }
    // IAM names regional disks' permissions after zonal ones.
    std::string iam = permission;
    const std::string regional = "compute.regionDisks.";
    if (iam.compare(0, regional.size(), regional) == 0) {
        iam = "compute.disks." + iam.substr(regional.size());
    }
    const auto& denied = it->second.deniedPermissions;
    return std::find(denied.begin(), denied.end(), iam) != denied.end();
}

std::string Emulator::Impl::issueTokenLocked(const std::string& email, int64_t now, int* expiresIn,
                                             const std::vector<std::string>* scopes) {
    for (auto it = world.tokens.begin(); it != world.tokens.end();) {
        it = it->second.expiresMs + 3600000 < now ? world.tokens.erase(it) : std::next(it);
    }
    std::string tok = util::newToken();
    world.tokens[tok] = Token{email, now + static_cast<int64_t>(opts.tokenLifetimeSec) * 1000,
                              scopes ? *scopes : std::vector<std::string>{}, scopes != nullptr};
    *expiresIn = opts.tokenLifetimeSec;
    changed = true;
    return tok;
}

bool Emulator::Impl::authenticate(const httplib::Request& req, std::string* email, Reply& out) {
    bool present = false;
    std::string tok = bearerOf(req, &present);
    if (tok.empty()) {
        out.error(errors::unauthenticated(!present));
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    int64_t now = util::nowMs();
    auto it = world.tokens.find(tok);
    if (it != world.tokens.end()) {
        if (it->second.expiresMs > now) {
            // A VM's access scopes bound its tokens whatever the account's roles.
            const std::string testIam = "/testIamPermissions";
            bool readOnly =
                req.method == "GET" || (req.path.size() > testIam.size() &&
                                        req.path.compare(req.path.size() - testIam.size(),
                                                         std::string::npos, testIam) == 0);
            if (it->second.limited && !scopesAllowCompute(it->second.scopes, readOnly)) {
                out.error(errors::insufficientScopes());
                return false;
            }
            *email = it->second.email;
            return true;
        }
        out.error(errors::unauthenticated(false));
        return false;
    }
    if (std::count(tok.begin(), tok.end(), '.') == 2) {
        JwtResult r = checkJwt(world, tok, now);
        if (r.ok) {
            *email = r.email;
            return true;
        }
    }
    out.error(errors::unauthenticated(false));
    return false;
}

void Emulator::Impl::handleToken(const httplib::Request& req, Reply& out) {
    auto fail = [&](int status, const std::string& err, const std::string& desc) {
        out.status = status;
        out.body = Json{{"error", err}, {"error_description", desc}};
    };
    if (req.method != "POST") {
        return fail(405, "invalid_request", "The token endpoint takes POST requests.");
    }
    std::string grant, assertion;
    for (const auto& kv : util::parseForm(req.body)) {
        if (kv.first == "grant_type") {
            grant = kv.second;
        } else if (kv.first == "assertion") {
            assertion = kv.second;
        }
    }
    if (grant.empty()) {
        return fail(400, "invalid_request", "Missing required parameter: grant_type");
    }
    if (grant != "urn:ietf:params:oauth:grant-type:jwt-bearer") {
        return fail(400, "unsupported_grant_type", "Invalid grant_type: " + grant);
    }
    if (assertion.empty()) {
        return fail(400, "invalid_request", "Missing required parameter: assertion");
    }
    std::lock_guard<std::mutex> lock(mu);
    int64_t now = util::nowMs();
    JwtResult r = checkJwt(world, assertion, now);
    if (!r.ok) {
        return fail(400, r.error, r.description);
    }
    std::string aud = r.claims.contains("aud") && r.claims["aud"].is_string()
                          ? r.claims["aud"].get<std::string>()
                          : "";
    bool audOk = aud == "https://oauth2.googleapis.com/token" ||
                 aud == "https://www.googleapis.com/oauth2/v4/token" ||
                 aud == "https://accounts.google.com/o/oauth2/token";
    for (const char* p : {"/token", "/oauth2/v4/token", "/oauth2/v3/token"}) {
        audOk = audOk || aud == "https://127.0.0.1:" + std::to_string(apiPort) + p ||
                aud == "https://localhost:" + std::to_string(apiPort) + p ||
                aud == "https://" + host + ":" + std::to_string(apiPort) + p;
    }
    if (!audOk) {
        return fail(400, "invalid_grant",
                    "Invalid JWT: Failed audience check. The expected value was "
                    "https://oauth2.googleapis.com/token or this endpoint's URL.");
    }
    std::string scope = r.claims.contains("scope") && r.claims["scope"].is_string()
                            ? r.claims["scope"].get<std::string>()
                            : "";
    if (scope.empty()) {
        return fail(400, "invalid_scope", "Invalid OAuth scope or ID token audience provided.");
    }
    int expiresIn = 0;
    std::string tok = issueTokenLocked(r.email, now, &expiresIn);
    out.body = Json{{"access_token", tok}, {"expires_in", expiresIn}, {"token_type", "Bearer"}};
    saveIfChangedLocked();
}

}  // namespace gce
