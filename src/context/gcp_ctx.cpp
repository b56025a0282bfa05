#include "context/gcp_ctx.h"

#include <cstdarg>
#include <cstdio>

#include "common/helpers.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"
#include "rest/secret_mask.h"

namespace DuVavaZid {

GcpCtx::GcpCtx(BXSO::BXOSUtil* util, long flags, int opCode)
    : osUtil(util), Flags(flags), OpCode(static_cast<short>(opCode)) {
    debugLog = std::make_unique<HostDebug>();
    JobId = util ? util->getJobId() : -123456;
}

GcpCtx::~GcpCtx() {
    reset();
    deleteObjects();
    restClient.reset();
    debugLog.reset();
    mapCtx.reset();
    destRestClient.reset();
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
    restErrorFlag = 0;
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

int GcpCtx::fail(int code, const std::string& msg, const char* logFormat) {
    ErrCode = code;
    ErrStr << msg;
    std::string text = ErrStr.str();
    log(-1, logFormat, ErrCode, text.c_str());
    return code;
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
            return fail(GCP_ERR_EMPTY_INPUT, msg.str(),
                        "GCP Input internal object validation failed [%d:%s]");
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
                    "GCP Input validation for snap operation failed [%d:%s]");
    }
    if (count < 1) {
        std::ostringstream msg;
        msg << "Invalid snap count [" << count << "]";
        return fail(GCP_ERR_SNAP_COUNT, msg.str(), "GCP Input snap list validation failed [%d:%s]");
    }
    if (!snaps) {
        std::ostringstream msg;
        msg << "Empty snap list [" << static_cast<const void*>(snaps) << "]";
        return fail(GCP_ERR_EMPTY_INPUT, msg.str(),
                    "GCP Input internal object validation failed [%d:%s]");
    }
    int firstArray = 0;
    for (int i = 0; i < count; ++i) {
        if (!snaps[i]) {
            std::ostringstream msg;
            msg << "Empty snap info @ idx [" << i << "] of [" << count << "]";
            return fail(GCP_ERR_EMPTY_INPUT, msg.str(),
                        "GCP Input internal object validation failed [%d:%s]");
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
                    "GCP Snap operation failed. Err-[%d:%s]");
    }
    char first = object->HostSrcDev[0];
    if (first != '\\' && first != '/') {
        object->IsHPXDevice = true;
    }
    return 0;
}

void GcpCtx::resetError() {
    ErrCode = 0;
    ErrStr.clear();
    ErrStr.str("");
    restErrStr.clear();
    restErrStr.str("");
}

void GcpCtx::prependErrorMsg(const std::string& msg) {
    std::string text = msg + ErrStr.str();
    ErrStr.clear();
    ErrStr.str(text);
    ErrStr.seekp(0, std::ios_base::end);
}

void GcpCtx::extractRESTErrorMsgs() {
    restErrStr.clear();
    jsonxx::Object response;
    response.parse(restResponse);
    if (response.has<jsonxx::Object>("error")) {
        jsonxx::Object error = response.get<jsonxx::Object>("error");
        if (error.has<jsonxx::String>("message")) {
            restErrStr << error.get<jsonxx::String>("message") << " ";
            return;
        }
        restErrStr << "\""
                   << "message"
                   << "\" tag not found in REST error response";
    } else {
        restErrStr << "\""
                   << "error"
                   << "\" tag not found in REST error response";
    }
    std::string text = restErrStr.str();
    log(-1, "GCP Invalid REST error response. %s", text.c_str());
}

void GcpCtx::logRESTDetails() {
    // The token request carries a signed JWT and token responses carry tokens.
    std::string request = bxrest::maskSecrets(restRequest);
    std::string response = bxrest::maskSecrets(restResponse);
    log(-1, "GCP REST API-<<[%s]>> Request-<<[%s]>> Response-<<[%s]>>", restApiPath.c_str(),
        request.c_str(), response.c_str());
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
       << ErrCode << "] ErrStr [" << ErrStr.str() << "]\n";
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
