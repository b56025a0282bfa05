// GCP's answers as the plug-in reads them. Byte 0 picks the reader, byte 1
// the state of the object it checks the answer against; the rest is the
// response body exactly as it came off the wire.
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "context/gcp_ctx.h"
#include "fuzz_env.h"
#include "gcp/gcp_utils.h"
#include "gcp/rest_failure.h"
#include "rest/rest_api_gcp.h"
#include "rest/secret_mask.h"
#include "support/fake_host.h"

using namespace DuVavaZid;

namespace {

enum Reader : unsigned char {
    kDiskByName,
    kDiskByNameOrId,
    kInstanceDisks,
    kSnapResourceId,
    kSnapDetails,
    kOperationProgress,
    kOperationLinks,
    kResourceStatus,
    kFailedRequest,
    kBackendError,
    kFieldList,
    kInterimClone,
    kTokenResponse,
    kSecretMask,
    kJsonRoundTrip,
    kReaderCount
};

// Flags of byte 1.
constexpr unsigned kRegional = 1;
constexpr unsigned kSecondAttempt = 2;
constexpr unsigned kKnownResourceId = 4;
constexpr unsigned kKnownDiskName = 8;
constexpr unsigned kKnownLocation = 16;

const char* const kSecretKeys[] = {"access_token", "password",      "id_token", "refresh_token",
                                   "private_key",  "client_secret", "assertion"};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
        ++n;
    }
    return n;
}

// Every string value of a credential member that appears verbatim exactly once
// in the raw text must be gone from the masked text.
void checkMasked(const nlohmann::json& v, const std::string& raw, const std::string& masked) {
    if (v.is_array()) {
        for (const auto& e : v) {
            checkMasked(e, raw, masked);
        }
        return;
    }
    if (!v.is_object()) {
        return;
    }
    for (auto it = v.begin(); it != v.end(); ++it) {
        checkMasked(it.value(), raw, masked);
        if (!it.value().is_string()) {
            continue;
        }
        bool secret = false;
        for (const char* key : kSecretKeys) {
            secret = secret || it.key() == key;
        }
        const std::string& value = it.value().get_ref<const std::string&>();
        // The key must be spelt plainly: an escaped name ("\u0070assword") is
        // not what any GCP endpoint sends.
        if (!secret || value.size() < 4 || value.find('*') != std::string::npos ||
            raw.find("\"" + it.key() + "\"") == std::string::npos || occurrences(raw, value) != 1) {
            continue;
        }
        if (masked.find(value) != std::string::npos) {
            std::abort();  // a credential would reach the log
        }
    }
}

void maskOracle(const std::string& text) {
    std::string masked = bxrest::maskSecrets(text);
    if (masked.size() != text.size()) {
        std::abort();  // masking keeps the length
    }
    nlohmann::json v = nlohmann::json::parse(text, nullptr, false);
    if (!v.is_discarded()) {
        checkMasked(v, text, masked);
    }
}

void jsonRoundTrip(const std::string& text) {
    jsonxx::Object object;
    if (object.parse(text)) {
        jsonxx::Object again;
        if (!again.parse(object.json())) {
            std::abort();  // what we serialise must read back
        }
    }
    jsonxx::Array array;
    if (array.parse(text)) {
        jsonxx::Array again;
        if (!again.parse(array.json())) {
            std::abort();
        }
    }
    (void)jsonxx::escape(text);
}

void fieldList(GcpUtils& utils, const std::string& body) {
    size_t nl = body.find('\n');
    std::string fields = nl == std::string::npos ? body : body.substr(0, nl);
    std::string json = nl == std::string::npos ? std::string() : body.substr(nl + 1);
    jsonxx::Object object;
    object.parse(json);
    std::vector<std::string> names;
    std::map<std::string, std::string> values;
    utils.buildFieldList(fields, names);
    utils.extractValuesFromJSONObject(names, object, values);
    std::vector<std::string> elements;
    for (const auto& member : object.raw().items()) {
        std::string value;
        bool isContainer = false;
        jsonxx::memberAsText(object, member.key(), value, isContainer);
        extractJSONxxArrayElements(object, member.key(), elements);
    }
}

void tokenResponse(bxtest::FakeSnapInfo& record, const std::string& body) {
    BXSnapRESTAPI_Gcp client;
    client.setLogger(&record);
    client.parseResponseForAccessToken(body);
    client.hasAuthError(body);
    client.checkForAuthErrorAndReconnect(body);  // not connected: must not send anything
    std::string masked;
    client.maskSensitiveDetails(body, masked);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bxfuzz::quietRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bxfuzz::Input in(data, size, 2);
    unsigned char reader = in.header(0) % kReaderCount;
    unsigned flags = in.header(1);

    bxtest::FakeOSUtil util;
    bxtest::FakeSnapInfo record(1, "/dev/sdb");
    GcpCtx ctx(&util, 0, GCP_OP_SNAP);
    ctx.arrayDetails.ArrayId = "gcp-array";
    ctx.instanceName = "mover-1";
    ctx.session().restApiPath = "demo-project/zones/us-central1-a/disks/data-disk-1";
    ctx.session().restResponse = in.body;
    GcpUtils utils(&ctx);

    GcpObject object(&record);
    object.ProjectId = "demo-project";
    object.GCPDeviceId = "4411";
    object.SnapUuid = "snap-1";
    object.GCPDeviceName = (flags & kKnownDiskName) ? "data-disk-1" : "";
    object.SnapResourceId = (flags & kKnownResourceId) ? "9001" : "";
    object.RegionalDisk = (flags & kRegional) != 0;
    if (flags & kKnownLocation) {
        object.GCPDeviceZone = "us-central1-a";
        object.GCPDeviceRegion = "us-central1";
    }
    object.interimCloneInfo.interimCloneName = "bxinterim-snap-1";

    GcpReqOpInfo rec;
    rec.operationType = "createSnapshot";
    rec.entityType = GCP_ENTITY_SNAPSHOT;
    rec.entityName = "snap-1";
    rec.currentAttempt = (flags & kSecondAttempt) ? 1 : 0;

    switch (reader) {
        case kDiskByName:
            utils.processGetGcpDeviceDetailsResp(&object, &ctx);
            break;
        case kDiskByNameOrId:
            utils.processGetGcpDeviceDetailsUsingGcpDevIdResp(&object, &ctx);
            break;
        case kInstanceDisks:
            object.GCPDeviceName = "data-disk-1";
            utils.processGetOriginalGcpDeviceNameResp(&object, &ctx);
            break;
        case kSnapResourceId:
            utils.processGetSnapResourceIdBySnapUuidResp(&object, &ctx);
            break;
        case kSnapDetails:
            utils.processGetSnapDetailsBySnapUuidResp(&object, &ctx);
            break;
        case kOperationProgress:
            utils.processGetSnapOpProgressResp(&object, &ctx, rec);
            getSnapOpStatus(rec);
            break;
        case kOperationLinks:
            utils.processResponseForSnapOpAndTargetLink(&ctx, rec);
            break;
        case kResourceStatus:
            utils.processGetResourceStatusResp(&object, &ctx, rec);
            getResourceStatus(rec);
            break;
        case kFailedRequest:
            utils.processFailedRequest(&object, &ctx);
            collectRestFailure(&ctx);
            utils.failRequest(&object, GCP_ERR_GCP, "Failed to get details.");
            utils.logErrorDetails(&ctx);
            break;
        case kBackendError:
            utils.hasBackendError(in.body);
            break;
        case kFieldList:
            fieldList(utils, in.body);
            break;
        case kInterimClone:
            utils.processGetInterimCloneDetails(&object, &ctx);
            break;
        case kTokenResponse:
            tokenResponse(record, in.body);
            break;
        case kSecretMask:
            maskOracle(in.body);
            ctx.session().restRequest = in.body;
            ctx.logRESTDetails();
            break;
        case kJsonRoundTrip:
            jsonRoundTrip(in.body);
            break;
        default:
            break;
    }
    std::string dump;
    object.dump(dump, true);
    rec.dump(dump);
    ctx.dump();
    return 0;
}
