// The shape every GCP request of the operations shares: clear the exchange,
// send, and on failure report it the same way everywhere.
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "gcp/gcp_utils.h"
#include "gcp/rest_failure.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/transient.h"

namespace DuVavaZid {

namespace {

constexpr long kMaxFirstTransientPauseMs = 1000;

// A random (version 4) UUID, the form GCP expects in requestId.
std::string newRequestId() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        std::random_device rd;
        for (auto& x : b) {
            x = static_cast<unsigned char>(rd());
        }
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

RetryPolicy transientPolicy(int attempts, long intervalMs) {
    long budget = static_cast<long>(std::max(1, attempts)) * std::max(0L, intervalMs);
    return RetryPolicy::transient(std::max(1, attempts),
                                  std::min(std::max(0L, intervalMs), kMaxFirstTransientPauseMs),
                                  budget);
}

// The retry policy for transient answers under the account's settings: its
// retry count, and pauses that start at its interval, at most 1 s, and add up
// to at most count x interval.
RetryPolicy accountRetryPolicy(const GcpUtils& u) {
    const ArrayConfigs& cfg = u.ctx->arrayDetails.arrayConfigs;
    return transientPolicy(cfg.RetryMaxCount, static_cast<long>(cfg.RetrySleepInterval) * 1000);
}

// Sends until send succeeds or its failure is not transient or policy is
// spent; each repeat is logged ("to <what> - <action> after sleeping...").
bool sendRepeating(GcpUtils& u, const std::function<bool()>& send, BXSnapRESTAPI_Gcp* client,
                   const RetryPolicy& policy, const std::string& what, const char* action) {
    RestSession& s = u.ctx->session();
    Backoff backoff(policy);
    for (;;) {
        if (send()) {
            return true;
        }
        AnswerKind kind = classifyAnswer(client->getHttpErrorCode(), s.restResponse,
                                         client->lastResponseHeaders());
        long pause = 0;
        if (!kind.transient || !backoff.next(&pause, kind.retryAfterMs)) {
            return false;
        }
        u.ctx->log(
            2,
            "GCP Transient answer [%s] to %s - %s after sleeping for %ld ms - attempt #%d of %d...",
            kind.reason.c_str(), what.c_str(), action, pause, backoff.failures() + 1,
            policy.attempts);
        WNSLEEP(pause);
    }
}

}  // namespace

std::string deviceNameOf(const GcpObject* o) {
    return o->GCPDeviceName.empty() ? o->GCPDeviceTag : o->GCPDeviceName;
}

RetryPolicy GcpUtils::waitRetryPolicy(const GcpReqOpInfo& rec) {
    return transientPolicy(rec.maxAttempts, static_cast<long>(rec.sleepInterval) * rec.sleepUnitMs);
}

bool GcpUtils::getRetrying(BXSnapRESTAPI_Gcp* client, const RetryPolicy& policy) {
    RestSession& s = ctx->session();
    return sendRepeating(
        *this, [&] { return client->get(s.restApiPath, s.restRequest, s.restResponse, false); },
        client, policy, "GET [" + s.restApiPath + "]", "will try again");
}

bool GcpUtils::sendMutating(bool post, BXSnapRESTAPI_Gcp* client) {
    RestSession& s = ctx->session();
    // The id goes on the URL only: the path stays as the messages name it.
    const std::string path = s.restApiPath +
                             (s.restApiPath.find('?') == std::string::npos ? "?" : "&") +
                             "requestId=" + newRequestId();
    return sendRepeating(
        *this,
        [&] {
            return post ? client->post(path, s.restRequest, s.restResponse, false)
                        : client->del(path, s.restRequest, s.restResponse, false);
        },
        client, accountRetryPolicy(*this),
        std::string(post ? "POST" : "DELETE") + " [" + s.restApiPath + "]",
        "repeating it with the same request id");
}

int GcpUtils::runRetryingRateLimits(const std::function<int()>& step, const std::string& what) {
    return retryRateLimited(step(), step, what);
}

int GcpUtils::retryRateLimited(int rc, const std::function<int()>& step, const std::string& what) {
    Backoff backoff(accountRetryPolicy(*this));
    long pause = 0;
    while (rc != 0 && operationRateLimited() && backoff.next(&pause)) {
        ctx->log(2,
                 "GCP %s was refused for the rate of operations - trying again after sleeping "
                 "for %ld ms...",
                 what.c_str(), pause);
        ctx->resetError();
        WNSLEEP(pause);
        rc = step();
    }
    return rc;
}

bool GcpUtils::restGet(const std::string& path, BXSnapRESTAPI_Gcp* client) {
    rest_resetCtx();
    ctx->session().restApiPath = path;
    if (!client) {
        client = ctx->session().restClient.get();
    }
    if (!client) {
        ctx->session().restResponse.clear();
        return false;
    }
    return getRetrying(client, accountRetryPolicy(*this));
}

bool GcpUtils::restGetInstance(const std::string& path) {
    if (ctx->instanceReadsOwner != std::this_thread::get_id()) {
        return restGet(path);
    }
    auto cached = ctx->instanceReads.find(path);
    if (cached != ctx->instanceReads.end()) {
        rest_resetCtx();
        ctx->session().restApiPath = path;
        ctx->session().restResponse = cached->second;
        return true;
    }
    if (!restGet(path)) {
        return false;
    }
    ctx->instanceReads[path] = ctx->session().restResponse;
    return true;
}

InstanceReadScope::InstanceReadScope(GcpCtx* ctx) : ctx_(ctx) {
    ctx_->instanceReads.clear();
    ctx_->instanceReadsOwner = std::this_thread::get_id();
}

InstanceReadScope::~InstanceReadScope() {
    ctx_->instanceReads.clear();
    ctx_->instanceReadsOwner = std::thread::id();
}

int GcpUtils::failRequest(GcpObject* object, int code, const std::string& sentence) {
    std::string restErrors = collectRestFailure(ctx, activeClient());
    std::string msg = sentence;
    if (!restErrors.empty()) {
        msg += " REST error returned by GCP [" + restErrors + "]";
    }
    return failFor(object, code, msg);
}

int GcpUtils::failFor(GcpObject* object, int code, const std::string& msg) {
    ctx->fail(code, msg, logfmt::kWithUrl);
    setErrorDetailsForSnapObj(object, ctx, 0, nullptr);
    return code;
}

int GcpUtils::failResponse(const std::string& prefix, const char* format, int code) {
    ctx->logRESTDetails();
    if (code != 0) {
        ctx->session().ErrCode = code;
    }
    ctx->prependErrorMsg(prefix);
    ctx->logFailure(format);
    return ctx->session().ErrCode;
}

void GcpUtils::keepFirstFailure(KeptFailure& kept) const {
    std::string text = ctx->errText();
    if (kept.text.empty() && !text.empty()) {
        kept.code = ctx->session().ErrCode > 0 ? ctx->session().ErrCode : GCP_ERR_INTERNAL;
        kept.text = text;
    }
}

void GcpUtils::reportKeptFailure(const KeptFailure& kept, const std::string& fallback) {
    if (!kept.text.empty()) {
        ctx->resetError();
        ctx->session().ErrCode = kept.code;
        ctx->session().ErrStr << kept.text;
    } else if (ctx->errText().empty()) {
        ctx->fail(GCP_ERR_INTERNAL, fallback, logfmt::kStep);
    }
    if (ctx->session().ErrCode <= 0) {
        ctx->session().ErrCode = GCP_ERR_INTERNAL;
    }
}

bool GcpUtils::answeredNotFound(GcpObject* object, BXSnapRESTAPI_Gcp* client) {
    constexpr int kNotFoundStatus = 404;
    if (!client || client->getHttpErrorCode() != kNotFoundStatus ||
        processFailedRequest(object, ctx) != GCP_ERR_NOT_FOUND) {
        return false;
    }
    ctx->resetError();
    return true;
}

int GcpUtils::failMismatch(int code, const std::string& msg) {
    ctx->logRESTDetails();
    return ctx->fail(code, msg);
}

}  // namespace DuVavaZid
