#include "rest/transient.h"

#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace DuVavaZid {

namespace {

std::string firstReason(const std::string& body) {
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return "";
    }
    auto error = doc.find("error");
    if (error == doc.end() || !error->is_object()) {
        return "";
    }
    auto errors = error->find("errors");
    if (errors == error->end() || !errors->is_array() || errors->empty() ||
        !(*errors)[0].is_object()) {
        return "";
    }
    auto reason = (*errors)[0].find("reason");
    return reason != (*errors)[0].end() && reason->is_string() ? reason->get<std::string>() : "";
}

// Retry-After in seconds (the form GCP uses); a date or anything else is ignored.
long retryAfterMs(const std::string& headers) {
    static const std::string kName = "retry-after:";
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) {
            end = headers.size();
        }
        std::string line = headers.substr(start, end - start);
        start = end + 1;
        if (line.size() <= kName.size()) {
            continue;
        }
        bool match = true;
        for (size_t i = 0; i < kName.size() && match; ++i) {
            match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
        }
        if (!match) {
            continue;
        }
        size_t i = kName.size();
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        size_t digits = i;
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) {
            ++digits;
        }
        if (digits == i || digits - i > 6) {
            return -1;
        }
        return std::strtol(line.substr(i, digits - i).c_str(), nullptr, 10) * 1000;
    }
    return -1;
}

}  // namespace

AnswerKind classifyAnswer(long httpStatus, const std::string& body, const std::string& headers) {
    AnswerKind kind;
    kind.reason = firstReason(body);
    kind.retryAfterMs = retryAfterMs(headers);
    switch (httpStatus) {
        case 0:
            kind.transient = true;
            break;
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            kind.transient = true;
            break;
        case 403:
            kind.transient =
                kind.reason == "rateLimitExceeded" || kind.reason == "userRateLimitExceeded";
            break;
        default:
            break;
    }
    if (kind.reason.empty()) {
        kind.reason = httpStatus == 0 ? "no answer" : "HTTP " + std::to_string(httpStatus);
    }
    return kind;
}

bool isTransientOperationError(const std::string& code) {
    return code == "RATE_LIMIT_EXCEEDED" || code == "RESOURCE_OPERATION_RATE_EXCEEDED";
}

}  // namespace DuVavaZid
