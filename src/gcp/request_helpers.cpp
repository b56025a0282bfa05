// The shape every GCP request of the operations shares: clear the exchange,
// send, and on failure report it the same way everywhere.
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_failure.h"

namespace DuVavaZid {

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
    return client->get(ctx->session().restApiPath, ctx->session().restRequest, ctx->session().restResponse, false);
}

bool GcpUtils::restGetInstance(const std::string& path) {
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

InstanceReadScope::InstanceReadScope(GcpCtx* ctx) : ctx_(ctx) { ctx_->instanceReads.clear(); }

InstanceReadScope::~InstanceReadScope() { ctx_->instanceReads.clear(); }

int GcpUtils::failRequest(GcpObject* object, int code, const std::string& sentence) {
    std::string restErrors = collectRestFailure(ctx);
    std::string msg = sentence;
    if (!restErrors.empty()) {
        msg += " REST error returned by GCP [" + restErrors + "]";
    }
    failWithUrl(ctx, code, msg);
    if (object) {
        setErrorDetailsForSnapObj(object, ctx, 0, nullptr);
    }
    return code;
}

int GcpUtils::failResponse(const std::string& prefix, const char* format) {
    ctx->logRESTDetails();
    ctx->prependErrorMsg(prefix);
    std::string text = ctx->errText();
    ctx->log(-1, format, ctx->session().ErrCode, text.c_str());
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
        ctx->fail(GCP_ERR_INTERNAL, fallback, "GCP %d-%s");
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
