// What the host hands over on its records: the source device ("project|disk
// id" for HPX devices), the metadata items stored by earlier calls, the source
// instance, the clone device string "name|id|link", and the restore and clone
// options. Byte 0 picks the operation, byte 1 the record's shape; the rest is
// lines in the order of kLine below, missing lines being absent items, and
// every line after them a "key=value" option.
#include <string>
#include <vector>

#include "context/gcp_ctx.h"
#include "fuzz_env.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"

using namespace DuVavaZid;

namespace {

enum Line : size_t {
    kSourceDevice,
    kSnapUuidItem,
    kTransientItem,
    kDeviceTypeItem,
    kServiceAccountItem,
    kCloudLocationItem,
    kLabelsItem,
    kInterimCloneItem,
    kSourceInfo,
    kSnapDevice,
    kKeyFileConfig,
    kFirstOption
};

constexpr unsigned kHaveOperationProperties = 1;
constexpr unsigned kHaveCloneOptions = 2;
constexpr unsigned kCloneFlagSet = 4;
constexpr unsigned kTwoRecords = 8;
constexpr unsigned kDecryptFails = 16;
constexpr unsigned kNoArray = 32;
constexpr unsigned kArrayLookupFails = 64;

constexpr int kCloneFlag = 0x8000;

void arrange(bxtest::FakeSnapInfo& r, const std::vector<std::string>& lines, unsigned flags) {
    auto line = [&](size_t i, auto&& apply) {
        if (i < lines.size()) {
            apply(lines[i]);
        }
    };
    r.sourceDeviceOk = lines.size() > kSourceDevice;
    line(kSourceDevice, [&](const std::string& v) { r.sourceDevice = v; });
    line(kSnapUuidItem, [&](const std::string& v) { r.metadata[GCP_META_SNAP_UUID] = v; });
    line(kTransientItem,
         [&](const std::string& v) { r.transientMetadata[GCP_META_TRANSIENT] = v; });
    line(kDeviceTypeItem, [&](const std::string& v) { r.metadata[GCP_META_DEVICE_TYPE] = v; });
    line(kServiceAccountItem,
         [&](const std::string& v) { r.metadata[GCP_META_SERVICE_ACCOUNT] = v; });
    line(kCloudLocationItem,
         [&](const std::string& v) { r.metadata[GCP_META_CLOUD_LOCATION] = v; });
    line(kLabelsItem, [&](const std::string& v) { r.metadata[GCP_META_LABELS] = v; });
    line(kInterimCloneItem, [&](const std::string& v) { r.metadata[GCP_META_INTERIM_CLONE] = v; });
    r.sourceInfoOk = lines.size() > kSourceInfo;
    line(kSourceInfo, [&](const std::string& v) { r.sourceInfo = v; });
    line(kSnapDevice, [&](const std::string& v) { r.snapDevice = v; });
    line(kKeyFileConfig,
         [&](const std::string& v) { r.configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = v; });
    for (size_t i = kFirstOption; i < lines.size(); ++i) {
        auto kv = bxfuzz::keyValue(lines[i]);
        r.operationProperties[kv.first] = kv.second;
        r.cloneOptions[kv.first] = kv.second;
    }
    r.haveOperationProperties = (flags & kHaveOperationProperties) != 0;
    r.haveCloneOptions = (flags & kHaveCloneOptions) != 0;
    r.flagsSet[kCloneFlag] = (flags & kCloneFlagSet) != 0;
    r.decryptFails = (flags & kDecryptFails) != 0;
    r.arrayNumber = (flags & kNoArray) ? 0 : 1;
    r.arrayInfoFails = (flags & kArrayLookupFails) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bxfuzz::quietRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bxfuzz::Input in(data, size, 2);
    int op = GCP_OP_PREPARE + in.header(0) % GCP_OP_POST_SNAP;
    unsigned flags = in.header(1);
    std::vector<std::string> lines = bxfuzz::splitLines(in.body);

    bxtest::RecordSet records((flags & kTwoRecords) ? 2 : 1);
    for (size_t i = 0; i < records.size(); ++i) {
        arrange(records[i], lines, flags);
    }
    bxtest::FakeOSUtil util;
    GcpCtx ctx(&util, 0, op);
    ctx.initialize(records.data(), records.count());

    // What later steps of the same call read from the records.
    GcpUtils utils(&ctx);
    for (auto& entry : ctx.snapMap) {
        GcpObject* object = entry.second;
        if (!object) {
            continue;
        }
        utils.getInterimCloneInfoMetadata(object, &ctx);
        utils.initCloneInfo(object);
        ctx.updateSnapMetadataWithSnapId(object);
        ctx.updateSnapMetadataWithGcpDeviceId(object);
        ctx.setSnapMetadata(object);
        utils.setInterimCloneInfoMetadata(object, &ctx);
        std::string link;
        utils.getSnapOpLinkFromMetadata(link, object, &ctx);
    }
    utils.logErrorDetails(&ctx);
    ctx.dump();
    return 0;
}
