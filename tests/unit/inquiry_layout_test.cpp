// The fields read from INQUIRY answers agree with sg3_utils' own decoders
// (sg_inq / sg_vpd --inhex), so the offsets are those of SPC, not ours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/files.h"
#include "support/scripted_devices.h"

using namespace DuVavaZid;
using bxtest::Bytes;
using bxtest::ScriptedDeviceTree;

namespace {

// Output of an sg3_utils tool decoding bytes given as hex.
std::string decode(const std::string& tool, const Bytes& bytes) {
    std::string hex;
    char byte[4];
    for (unsigned char b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x ", b);
        hex += byte;
    }
    bxtest::TempDir dir("bxso-inhex");
    std::string output;
    std::string cmd = tool + " --inhex=" + dir.write("answer.hex", hex + "\n") + " 2>&1";
    if (FILE* pipe = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
            output.append(buf, n);
        }
        ::pclose(pipe);
    }
    return output;
}

// The text after "label: " up to the end of its line.
std::string field(const std::string& output, const std::string& label) {
    size_t at = output.find(label + ": ");
    if (at == std::string::npos) {
        return "<missing>";
    }
    at += label.size() + 2;
    return output.substr(at, output.find('\n', at) - at);
}

class AgainstSg3Utils : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/bin/sg_inq", X_OK) != 0 || ::access("/usr/bin/sg_vpd", X_OK) != 0) {
            GTEST_SKIP() << "sg3-utils is not installed";
        }
    }
    bxtest::FakeOSUtil util;
    GcpCtx ctx{&util, 0, GCP_OP_MAP};
    GcpUtils utils{&ctx};
};

TEST_F(AgainstSg3Utils, StandardIdentification) {
    for (const auto& ids : {std::vector<std::string>{"Google", "PersistentDisk", "1"},
                            std::vector<std::string>{"QEMU", "QEMU HARDDISK", "2.5+"},
                            std::vector<std::string>{"ATA", "Local Disk", "1.0"}}) {
        Bytes answer = ScriptedDeviceTree::standardInquiry(ids[0], ids[1], ids[2]);
        std::string decoded = decode("sg_inq", answer);
        answer.resize(255, 0);
        std::string vendor, product, revision;
        utils.getStdDetailsFromSCSIInq(answer.data(), vendor, product, revision);
        EXPECT_EQ(vendor, field(decoded, "Vendor identification")) << decoded;
        EXPECT_EQ(product, field(decoded, "Product identification")) << decoded;
        EXPECT_EQ(revision, field(decoded, "Product revision level")) << decoded;
    }
}

TEST_F(AgainstSg3Utils, FirstDesignatorOfDeviceIdentification) {
    for (const char* name : {"data-disk-1", "persistent-disk-0", "c"}) {
        Bytes answer = ScriptedDeviceTree::deviceIdPage(name);
        std::string decoded = decode("sg_vpd -p di", answer);
        answer.resize(255, 0);
        std::string got;
        utils.getGCPDevNameFromSCSIInq(answer.data(), got);
        EXPECT_EQ(got, field(decoded, "vendor specific")) << decoded;
    }
}

}  // namespace
