// Which failed answers are worth the same request again a little later: the
// ones GCP and Google's clients call transient.
#pragma once

#include <string>

namespace DuVavaZid {

struct AnswerKind {
    bool transient = false;
    long retryAfterMs = -1;  // the server's Retry-After, when it gave one
    std::string reason;      // GCP's reason ("rateLimitExceeded"), else "HTTP 503" or "no answer"
};

// httpStatus 0 means no answer arrived (a dropped connection, a time-out).
// Transient: no answer, 429, 500, 502, 503, 504, and 403 with the reason
// rateLimitExceeded or userRateLimitExceeded.
AnswerKind classifyAnswer(long httpStatus, const std::string& body, const std::string& headers);

// Operation error codes that mean "too many requests, try again".
bool isTransientOperationError(const std::string& code);

}  // namespace DuVavaZid
