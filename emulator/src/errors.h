// Error bodies exactly in the shape Compute Engine sends them.
#pragma once

#include <string>

#include "model.h"

namespace gce::errors {

struct ApiError {
    int status = 0;
    Json body;
};

// {"error":{"code","message","errors":[{"message","domain","reason"}],"status"?}}.
// `status` (the canonical code text) is added for the codes where Google's front end sends it.
ApiError make(int code, const std::string& reason, const std::string& message);
ApiError byStatus(int code, const std::string& reason = "");  // default message per code
ApiError notFound(const std::string& path);
ApiError alreadyExists(const std::string& path);
ApiError inUse(const std::string& diskPath, const std::string& userPath);
ApiError notReady(const std::string& path);
ApiError invalid(const std::string& field, const std::string& value, const std::string& why);
ApiError required(const std::string& field);
ApiError forbidden(const std::string& permission, const std::string& path);
ApiError unauthenticated(bool missing);
// A token whose access scopes do not reach the Compute Engine API.
ApiError insufficientScopes();
std::string httpReason(int code);  // "BAD REQUEST", "NOT FOUND", ...

}  // namespace gce::errors
