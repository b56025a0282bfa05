#include "context/gcp_ctx.h"

#include <cstdarg>
#include <cstdio>

#include "common/helpers.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/secret_mask.h"

namespace DuVavaZid {

namespace {

// GCP's messages go into records and job logs: a message no real answer
// comes near in length is cut there.
std::string bounded(const std::string& message) {
    constexpr size_t kLongestMessage = 2048;
    return message.size() <= kLongestMessage ? message : message.substr(0, kLongestMessage) + "...";
}

// The session a worker installed on its thread, and the context it belongs
// to: a thread serves one context at a time, but a context must never pick
// up the session of another.
thread_local RestSession* tlsSession = nullptr;
thread_local const GcpCtx* tlsOwner = nullptr;

// A client for a worker: configured like the context's and sharing its
// token, with a connection of its own.
std::unique_ptr<BXSnapRESTAPI_Gcp> spawnFrom(const std::unique_ptr<BXSnapRESTAPI_Gcp>& model) {
    if (!model) {
        return nullptr;
    }
    return model->spawn();
}

}  // namespace

void RestSession::resetExchange() {
    restApiPath.clear();
    restRequest.clear();
    restResponse.clear();
    restErrorFlag = 0;
}

void RestSession::resetError() {
    ErrCode = -1;
    ErrStr.clear();
    ErrStr.str("");
    restErrStr.clear();
    restErrStr.str("");
}

RestSession& GcpCtx::session() {
    return tlsOwner == this && tlsSession ? *tlsSession : main_;
}

const RestSession& GcpCtx::session() const {
    return tlsOwner == this && tlsSession ? *tlsSession : main_;
}

void GcpCtx::noteFailure(int code, const std::string& text) {
    CtxLockGuard guard(this);
    if (firstFailureCode_ > 0) {
        return;
    }
    firstFailureCode_ = code > 0 ? code : GCP_ERR_INTERNAL;
    firstFailureText_ = text;
}

bool GcpCtx::adoptFirstFailure() {
    CtxLockGuard guard(this);
    if (firstFailureCode_ <= 0) {
        return false;
    }
    RestSession& own = session();
    own.resetError();
    own.ErrCode = firstFailureCode_;
    own.ErrStr << firstFailureText_;
    return true;
}

WorkerSession::WorkerSession(GcpCtx* ctx, GcpObject* object) : ctx_(ctx), object_(object) {
    {
        std::lock_guard<std::mutex> lock(ctx_->sessionsMutex_);
        if (!ctx_->idleSessions_.empty()) {
            session_ = std::move(ctx_->idleSessions_.back());
            ctx_->idleSessions_.pop_back();
        }
    }
    if (!session_) {
        session_ = std::make_unique<RestSession>();
        // The context's clients are only read here: they are set up before
        // any worker starts and changed again only after all have ended.
        session_->restClient = spawnFrom(ctx_->main_.restClient);
        session_->destRestClient = spawnFrom(ctx_->main_.destRestClient);
    }
    session_->resetExchange();
    session_->resetError();
    previous_ = tlsSession;
    previousOwner_ = tlsOwner;
    tlsSession = session_.get();
    tlsOwner = ctx_;
    ready_ = !ctx_->main_.restClient || session_->restClient;
    if (!ready_) {
        ctx_->fail(GCP_ERR_INTERNAL, "Failed to initialize curl.");
    }
}

WorkerSession::~WorkerSession() {
    const int code = session_->ErrCode;
    const std::string text = session_->ErrStr.str();
    if (code > 0 || !text.empty()) {
        if (object_ && object_->snapInfo) {
            int hostCode = hostErrorForOp(ctx_->OpCode, 0, code);
            object_->snapInfo->setError(hostCode, text.c_str());
        }
        ctx_->noteFailure(code, text);
    }
    tlsSession = previous_;
    tlsOwner = previousOwner_;
    std::lock_guard<std::mutex> lock(ctx_->sessionsMutex_);
    ctx_->idleSessions_.push_back(std::move(session_));
}

GcpCtx::GcpCtx(BXSO::BXOSUtil* util, long flags, int opCode)
    : osUtil(util), Flags(flags), OpCode(static_cast<short>(opCode)) {
    debugLog = std::make_unique<HostDebug>();
    JobId = util ? util->getJobId() : -123456;
}

GcpCtx::~GcpCtx() {
    reset();
    deleteObjects();
    session().restClient.reset();
    debugLog.reset();
    mapCtx.reset();
    session().destRestClient.reset();
}

void GcpCtx::deleteObjects() {
    for (auto& entry : snapMap) {
        delete entry.second;
        entry.second = nullptr;
    }
}

void GcpCtx::reset() {
    if (SnapCount > 0) {
        deleteObjects();
    }
    SnapCount = 0;
    Flags = 0;
    session().restErrorFlag = 0;
    hpxMode = false;
    restoreOptionsFound = false;
    useServiceAccount = false;
    zoneUrlMap.clear();
    destAccountInUse = false;
    preemptFlag = false;
    pemPrivateKey = false;
    skipSnapStatusCheck = false;
    snapStatusCheckRetryCount = 100;
    snapStatusCheckRetryIntervalMs = 300;
    if (mapCtx) {
        mapCtx->reset();
    }
}

void GcpCtx::log(int level, const char* format, ...) {
    if (!debugLog || !format) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = HostStr::VFormat(format, args);
    va_end(args);
    debugLog->debugLvl(level, JobId, "%s", text.c_str());
}

int GcpCtx::fail(int code, const std::string& msg, const char* logFormat,
                 const std::string& detail) {
    session().ErrCode = code;
    session().ErrStr << msg;
    logFailure(logFormat, detail);
    return code;
}

void GcpCtx::logFailure(const char* logFormat, const std::string& detail) {
    const int code = session().ErrCode;
    const std::string text = session().ErrStr.str();
    if (logFormat == logfmt::kText) {
        log(-1, logfmt::kText, text.c_str());
    } else if (logFormat == logfmt::kWithUrl) {
        log(-1, logfmt::kWithUrl, code, text.c_str(), session().restApiPath.c_str());
    } else if (logFormat == logfmt::kWithRestErrors) {
        const std::string restErrors = session().restErrStr.str();
        log(-1, logfmt::kWithRestErrors, code, text.c_str(), restErrors.c_str());
    } else if (logFormat == logfmt::kNotGoogle || logFormat == logfmt::kPrepareDevice) {
        log(-1, logFormat, detail.c_str(), code, text.c_str());
    } else {
        log(-1, logFormat, code, text.c_str());
    }
}

BXSO::SnapInfo* GcpCtx::firstRecord() const {
    GcpObject* first = firstObject();
    return first ? first->snapInfo : nullptr;
}

GcpObject* GcpCtx::firstObject() const {
    return snapMap.empty() ? nullptr : snapMap.begin()->second;
}

int GcpCtx::initialize(BXSO::SnapInfo** snaps, int count) {
    log(2, "GCP Initializing context object...");
    reset();
    if (OpCode == GCP_OP_IS_SUPPORTED) {
        return 0;
    }
    int rc = validateSnapList(snaps, count);
    if (rc != 0) {
        return rc;
    }
    log(2, "GCP Creating internal objects...");
    SnapCount = count;
    snapList = snaps;
    snapMap.clear();
    for (int i = 0; i < count; ++i) {
        long number = snaps[i]->getSnapNumber();
        auto inserted = snapMap.emplace(number, nullptr);
        if (!inserted.second) {
            // A second record under the same number would silently replace the
            // first and leave one snapshot unprocessed.
            std::ostringstream msg;
            msg << "Duplicate snap number [" << number << "] in snap list";
            return fail(GCP_ERR_EMPTY_INPUT, msg.str(), logfmt::kInputObjects);
        }
        inserted.first->second = new GcpObject(snaps[i]);
    }
    log(3, "GCP Creating internal objects... - done");
    rc = fetchAndFillSnapInfo();
    if (rc != 0) {
        return rc;
    }
    if (snaps[0]->getArrayNumber() >= 1) {
        rc = readAndSetArrayConfigs();
        if (rc != 0) {
            return rc;
        }
    }
    log(3, "GCP Initializing context object... - done");
    return 0;
}

int GcpCtx::validateSnapList(BXSO::SnapInfo** snaps, int count) {
    log(2, "GCP Validating inputs for snap operation...");
    if (!osUtil) {
        return fail(GCP_ERR_NO_UTIL, "Snap OS Util object is null or not initialized",
                    logfmt::kInputCall);
    }
    if (count < 1) {
        std::ostringstream msg;
        msg << "Invalid snap count [" << count << "]";
        return fail(GCP_ERR_SNAP_COUNT, msg.str(), logfmt::kInputSnapList);
    }
    if (!snaps) {
        std::ostringstream msg;
        msg << "Empty snap list [" << static_cast<const void*>(snaps) << "]";
        return fail(GCP_ERR_EMPTY_INPUT, msg.str(), logfmt::kInputObjects);
    }
    int firstArray = 0;
    for (int i = 0; i < count; ++i) {
        if (!snaps[i]) {
            std::ostringstream msg;
            msg << "Empty snap info @ idx [" << i << "] of [" << count << "]";
            return fail(GCP_ERR_EMPTY_INPUT, msg.str(), logfmt::kInputObjects);
        }
        if (OpCode == GCP_OP_PREPARE) {
            continue;
        }
        int arrayNum = snaps[i]->getArrayNumber();
        if (arrayNum < 1) {
            std::ostringstream msg;
            msg << "No GCP array [" << arrayNum
                << "] associated with snapshot - may be prepare itself failed";
            return fail(GCP_ERR_NO_ARRAY, msg.str());
        }
        if (i == 0) {
            firstArray = arrayNum;
        } else if (arrayNum != firstArray) {
            std::ostringstream msg;
            msg << "Snapshots from multiple regions detected - current snapshot array num ["
                << arrayNum << "] not matching with array num [" << firstArray
                << "] of other snapshots in the current operation. Snapshots from multiple "
                   "regions are detected in current operation. Multiple regions are not "
                   "supported";
            return fail(GCP_ERR_MULTI_ARRAY, msg.str());
        }
    }
    log(3, "GCP Validating inputs for snap operation... - done");
    return 0;
}

int GcpCtx::determineWhetherHPXDevice(GcpObject* object) {
    if (object->HostSrcDev.empty()) {
        return fail(GCP_ERR_EMPTY_SOURCE, "Source device [" + object->HostSrcDev + "] is empty",
                    logfmt::kSnapOperation);
    }
    char first = object->HostSrcDev[0];
    if (first != '\\' && first != '/') {
        object->IsHPXDevice = true;
    }
    return 0;
}

void GcpCtx::resetError() {
    session().ErrCode = 0;
    session().ErrStr.clear();
    session().ErrStr.str("");
    session().restErrStr.clear();
    session().restErrStr.str("");
}

void GcpCtx::prependErrorMsg(const std::string& msg) {
    std::string text = msg + session().ErrStr.str();
    session().ErrStr.clear();
    session().ErrStr.str(text);
    session().ErrStr.seekp(0, std::ios_base::end);
}

void GcpCtx::extractRESTErrorMsgs(const std::string& fallback) {
    session().restErrStr.clear();
    jsonxx::Object response;
    response.parse(session().restResponse);
    if (!fallback.empty() && !response.has<jsonxx::String>("error") &&
        !response.has<jsonxx::Object>("error")) {
        session().restErrStr << fallback << " ";
        return;
    }
    if (response.has<jsonxx::String>("error")) {
        // The OAuth token endpoint's form: {"error":"invalid_grant","error_description":"..."}.
        session().restErrStr << bounded(response.get<jsonxx::String>("error"));
        if (response.has<jsonxx::String>("error_description")) {
            session().restErrStr << ": "
                                 << bounded(response.get<jsonxx::String>("error_description"));
        }
        session().restErrStr << " ";
        return;
    }
    if (response.has<jsonxx::Object>("error")) {
        jsonxx::Object error = response.get<jsonxx::Object>("error");
        if (error.has<jsonxx::String>("message")) {
            session().restErrStr << bounded(error.get<jsonxx::String>("message")) << " ";
            return;
        }
        session().restErrStr << "\""
                             << "message"
                             << "\" tag not found in REST error response";
    } else {
        session().restErrStr << "\""
                             << "error"
                             << "\" tag not found in REST error response";
    }
    std::string text = session().restErrStr.str();
    log(-1, "GCP Invalid REST error response. %s", text.c_str());
}

void GcpCtx::logRESTDetails() {
    // The token request carries a signed JWT and token responses carry tokens.
    std::string request = bxrest::maskedForLog(session().restRequest);
    std::string response = bxrest::maskedForLog(session().restResponse);
    log(-1, "GCP REST API-<<[%s]>> Request-<<[%s]>> Response-<<[%s]>>",
        session().restApiPath.c_str(), request.c_str(), response.c_str());
}

void GcpCtx::dump() {
    if (!debugLog || debugLog->getDebugLevel() < 8) {
        return;
    }
    std::ostringstream os;
    os << "Dump of GcpCtx object: "
       << "JobId [" << JobId << "] Flags [" << Flags << "] OpCode [" << OpCode << "] SnapCount ["
       << SnapCount << "] MapCount [" << snapMap.size() << "] SCSIArray ["
       << arrayDetails.SCSIArrayId << "] Array [" << arrayDetails.ArrayId << "] ErrCode ["
       << session().ErrCode << "] ErrStr [" << session().ErrStr.str() << "]\n";
    std::string objectText;
    for (const auto& entry : snapMap) {
        if (!entry.second) {
            continue;
        }
        entry.second->dump(objectText, false);
        os << "\t" << objectText << "\n";
    }
    std::string text = os.str();
    log(8, "GCP %s", text.c_str());
}

int GcpCtx::checkAndTryLock() {
    if (!threadsInUse) {
        return 1;
    }
    return ctxLock.enter();
}

void GcpCtx::checkAndReleaseLock() {
    if (threadsInUse) {
        ctxLock.leave();
    }
}

}  // namespace DuVavaZid
