// INQUIRY answers as devices send them. Byte 0 picks the path: the parsers on
// a 255-byte answer buffer, or the whole check of a device (standard INQUIRY,
// then page 0x83) through the host's device tree, where the input is split in
// two answers of any length.
#include <cstring>
#include <string>
#include <vector>

#include "context/gcp_ctx.h"
#include "devices/inquiry_layout.h"
#include "fuzz_env.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/scripted_devices.h"

using namespace DuVavaZid;

namespace {

enum Path : unsigned char { kParsers, kGoogleDevice, kDeviceDetails, kPathCount };

void parsers(GcpUtils& utils, const std::string& body) {
    unsigned char buffer[kInquiryBufferLength];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, body.data(), std::min(body.size(), sizeof buffer));
    std::string vendor, product, revision, name;
    utils.getStdDetailsFromSCSIInq(buffer, vendor, product, revision);
    utils.getGCPDevNameFromSCSIInq(buffer, name);
    utils.checkGCPDevNameFromSCSIInq("/dev/sdb", name);
    utils.checkArrayIdAndSet("/dev/sdb", name);
    utils.dumpHexBuffer(kInquiryBufferLength, buffer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bxfuzz::quietRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bxfuzz::Input in(data, size, 2);
    unsigned char path = in.header(0) % kPathCount;

    bxtest::FakeOSUtil util;
    bxtest::RecordSet records(1);
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    ctx.initialize(records.data(), records.count());
    GcpUtils utils(&ctx);
    if (path == kParsers) {
        parsers(utils, in.body);
        return 0;
    }

    // Byte 1 is where the standard answer ends and page 0x83 begins.
    size_t cut = std::min<size_t>(in.header(1), in.body.size());
    // Installs itself as the device backend while alive.
    bxtest::ScriptedDeviceTree tree;
    bxtest::ScriptedDevice& device = tree.add("/dev/sdb");
    device.standard.assign(in.body.begin(), in.body.begin() + cut);
    device.vpd[kDeviceIdentificationPage].assign(in.body.begin() + cut, in.body.end());
    if (path == kGoogleDevice) {
        utils.isGoogleDevice("/dev/sdb");
    } else {
        std::vector<short> pages{kStandardInquiryPage, kDeviceIdentificationPage};
        utils.processSCSIDetails(pages, 1);
    }
    return 0;
}
