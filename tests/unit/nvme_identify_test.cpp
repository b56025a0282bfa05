// Reading a Compute Engine NVMe disk's identity from Identify byte images,
// and the INQUIRY answers that stand for it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/inquiry_layout.h"
#include "devices/nvme_identify.h"

using namespace DuVavaZid;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes controllerWithModel(const std::string& model) {
    Bytes b(kNvmeIdentifyLength, 0);
    for (size_t i = 0; i < kNvmeModelWidth; ++i) {
        b[kNvmeModelOffset + i] = static_cast<unsigned char>(i < model.size() ? model[i] : ' ');
    }
    return b;
}

// The vendor-specific area holds text as given (no NUL added: the test says
// where it ends).
Bytes namespaceWithVendorArea(const std::string& text) {
    Bytes b(kNvmeIdentifyLength, 0);
    for (size_t i = 0; i < text.size() && kNvmeVendorAreaOffset + i < b.size(); ++i) {
        b[kNvmeVendorAreaOffset + i] = static_cast<unsigned char>(text[i]);
    }
    return b;
}

TEST(NvmeIdentify, ControllerModel) {
    struct Case {
        const char* name;
        Bytes data;
        bool ok;
        std::string model;
    };
    Bytes nulPadded = controllerWithModel("nvme_card-pd" + std::string(kNvmeModelWidth - 12, '\0'));
    const Case cases[] = {
        {"persistent disk", controllerWithModel("nvme_card-pd"), true, "nvme_card-pd"},
        {"local SSD", controllerWithModel("nvme_card"), true, "nvme_card"},
        {"padded with NULs", nulPadded, true, "nvme_card-pd"},
        {"model filling its field", controllerWithModel(std::string(kNvmeModelWidth, 'm')), true,
         std::string(kNvmeModelWidth, 'm')},
        {"too short", Bytes(kNvmeModelOffset + kNvmeModelWidth - 1, 'x'), false, ""},
    };
    for (const Case& c : cases) {
        std::string model = "unchanged";
        EXPECT_EQ(nvmeControllerModel(c.data.data(), c.data.size(), &model), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(model, c.model) << c.name;
        }
    }
}

TEST(NvmeIdentify, DeviceNameFromTheVendorArea) {
    const size_t area = kNvmeIdentifyLength - kNvmeVendorAreaOffset;
    struct Case {
        const char* name;
        Bytes data;
        std::string deviceName;  // empty: refused
        const char* why;
    };
    std::string unterminated = R"({"device_name":"d"})";
    unterminated += std::string(area - unterminated.size(), ' ');
    std::string longest(kLongestNvmeDeviceName, 'a');
    const Case cases[] = {
        {"valid",
         namespaceWithVendorArea(R"({"device_name":"data-disk-1","disk_type":"PERSISTENT"})"),
         "data-disk-1", ""},
        {"longest name", namespaceWithVendorArea(R"({"device_name":")" + longest + R"("})"),
         longest, ""},
        {"no JSON", namespaceWithVendorArea(""), "", "holds no JSON"},
        {"not NUL-terminated", namespaceWithVendorArea(unterminated), "", "not NUL-terminated"},
        {"not JSON", namespaceWithVendorArea("device_name=d"), "", "not a JSON object"},
        {"a JSON array", namespaceWithVendorArea(R"(["d"])"), "", "not a JSON object"},
        {"cut JSON", namespaceWithVendorArea(R"({"device_name":"d)"), "", "not a JSON object"},
        {"no device_name", namespaceWithVendorArea(R"({"disk_type":"PERSISTENT"})"), "",
         "no \"device_name\""},
        {"empty device_name", namespaceWithVendorArea(R"({"device_name":""})"), "",
         "no \"device_name\""},
        {"numeric device_name", namespaceWithVendorArea(R"({"device_name":7})"), "",
         "no \"device_name\""},
        {"oversized name", namespaceWithVendorArea(R"({"device_name":")" + longest + R"(a"})"), "",
         "longer than 247"},
        {"control character", namespaceWithVendorArea(R"({"device_name":"a\nb"})"), "",
         "control characters"},
        {"truncated structure", Bytes(kNvmeIdentifyLength - 1, 0), "", "4095 bytes"},
    };
    for (const Case& c : cases) {
        std::string name;
        std::string why;
        bool ok = nvmeDeviceName(c.data.data(), c.data.size(), &name, &why);
        EXPECT_EQ(ok, !c.deviceName.empty()) << c.name << ": " << why;
        if (ok) {
            EXPECT_EQ(name, c.deviceName) << c.name;
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
        }
    }
}

// The answers standing for the INQUIRY read as a persistent disk's do.
TEST(NvmeIdentify, InquiryAnswersStandForTheDisk) {
    unsigned char buffer[kInquiryBufferLength];
    auto text = [&](size_t offset, size_t width) {
        return std::string(reinterpret_cast<char*>(buffer + offset), width);
    };
    nvmeStandardInquiry("nvme_card-pd", buffer, sizeof buffer);
    EXPECT_EQ(text(kVendorOffset, kVendorWidth), kGoogleVendorId);
    EXPECT_EQ(text(kProductOffset, kProductWidth), kGoogleProductId);
    nvmeStandardInquiry("nvme_card", buffer, sizeof buffer);
    EXPECT_EQ(text(kVendorOffset, kVendorWidth), "NVMe    ");
    EXPECT_EQ(text(kProductOffset, kProductWidth), "nvme_card       ");

    const std::string name(kLongestNvmeDeviceName, 'n');
    nvmeIdentificationPage(name, buffer, sizeof buffer);
    EXPECT_EQ(buffer[kPageCodeOffset], kDeviceIdentificationPage);
    EXPECT_EQ(buffer[kDesignatorLengthOffset], kLongestNvmeDeviceName);
    EXPECT_EQ(text(kDesignatorOffset, buffer[kDesignatorLengthOffset]), name);
}

}  // namespace
