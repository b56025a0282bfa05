#include "errors.h"

namespace gce::errors {

namespace {
std::string canonicalStatus(int code) {
    switch (code) {
        case 401:
            return "UNAUTHENTICATED";
        case 403:
            return "PERMISSION_DENIED";
        case 429:
            return "RESOURCE_EXHAUSTED";
        case 500:
            return "INTERNAL";
        case 503:
            return "UNAVAILABLE";
        default:
            return "";
    }
}
}  // namespace

ApiError make(int code, const std::string& reason, const std::string& message) {
    Json item = {{"message", message}, {"domain", "global"}, {"reason", reason}};
    if (reason == "authError" || reason == "required") {
        if (code == 401) {
            item["location"] = "Authorization";
            item["locationType"] = "header";
        }
    }
    Json err = {{"code", code}, {"message", message}, {"errors", Json::array({item})}};
    std::string st = canonicalStatus(code);
    // A 403 for a rate limit carries no canonical status; a permission denial does.
    if (!st.empty() && !(code == 403 && reason != "forbidden")) {
        err["status"] = st;
    }
    return {code, Json{{"error", err}}};
}

ApiError byStatus(int code, const std::string& reason) {
    std::string r = reason;
    if (r.empty()) {
        switch (code) {
            case 400:
                r = "invalid";
                break;
            case 401:
                r = "authError";
                break;
            case 403:
                r = "rateLimitExceeded";
                break;
            case 404:
                r = "notFound";
                break;
            case 409:
                r = "alreadyExists";
                break;
            case 429:
                r = "rateLimitExceeded";
                break;
            default:
                r = "backendError";
                break;
        }
    }
    std::string msg;
    if (r == "rateLimitExceeded") {
        msg = "Rate Limit Exceeded";
    } else if (r == "backendError") {
        msg = "Internal error. Please try again or contact Google Support. (Code: '" +
              std::string("5D3A0F5E2B1C4") + "')";
    } else if (r == "authError") {
        return unauthenticated(false);
    } else if (r == "notFound") {
        msg = "The resource was not found";
    } else if (r == "alreadyExists") {
        msg = "The resource already exists";
    } else if (r == "forbidden") {
        msg = "Forbidden";
    } else {
        msg = "Invalid request";
    }
    return make(code, r, msg);
}

ApiError notFound(const std::string& path) {
    return make(404, "notFound", "The resource '" + path + "' was not found");
}

ApiError alreadyExists(const std::string& path) {
    return make(409, "alreadyExists", "The resource '" + path + "' already exists");
}

ApiError inUse(const std::string& diskPath, const std::string& userPath) {
    return make(400, "resourceInUseByAnotherResource",
                "The disk resource '" + diskPath + "' is already being used by '" + userPath + "'");
}

ApiError notReady(const std::string& path) {
    return make(400, "resourceNotReady", "The resource '" + path + "' is not ready");
}

ApiError invalid(const std::string& field, const std::string& value, const std::string& why) {
    return make(400, "invalid", "Invalid value for field '" + field + "': '" + value + "'. " + why);
}

ApiError required(const std::string& field) {
    return make(400, "required", "Required field '" + field + "' not specified");
}

ApiError forbidden(const std::string& permission, const std::string& path) {
    return make(403, "forbidden", "Required '" + permission + "' permission for '" + path + "'");
}

ApiError unauthenticated(bool missing) {
    if (missing) {
        ApiError e =
            make(401, "required",
                 "Request is missing required authentication credential. Expected OAuth 2 "
                 "access token, login cookie or other valid authentication credential. See "
                 "https://developers.google.com/identity/sign-in/web/devconsole-project.");
        e.body["error"]["errors"][0]["message"] = "Login Required.";
        return e;
    }
    ApiError e = make(401, "authError",
                      "Request had invalid authentication credentials. Expected OAuth 2 access "
                      "token, login cookie or other valid authentication credential. See "
                      "https://developers.google.com/identity/sign-in/web/devconsole-project.");
    e.body["error"]["errors"][0]["message"] = "Invalid Credentials";
    return e;
}

ApiError insufficientScopes() {
    ApiError e =
        make(403, "insufficientPermissions", "Request had insufficient authentication scopes.");
    e.body["error"]["errors"][0]["message"] = "Insufficient Permission";
    e.body["error"]["status"] = "PERMISSION_DENIED";
    return e;
}

std::string httpReason(int code) {
    switch (code) {
        case 400:
            return "BAD REQUEST";
        case 401:
            return "UNAUTHORIZED";
        case 403:
            return "FORBIDDEN";
        case 404:
            return "NOT FOUND";
        case 409:
            return "CONFLICT";
        case 412:
            return "PRECONDITION FAILED";
        case 429:
            return "TOO MANY REQUESTS";
        case 500:
            return "INTERNAL SERVER ERROR";
        case 503:
            return "SERVICE UNAVAILABLE";
        default:
            return "ERROR";
    }
}

}  // namespace gce::errors
