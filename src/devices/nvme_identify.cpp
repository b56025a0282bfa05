#include "devices/nvme_identify.h"

#include <algorithm>
#include <cstring>

#include "common/jsonxx.h"
#include "devices/inquiry_layout.h"

namespace DuVavaZid {

namespace {

void putField(unsigned char* buffer, size_t length, size_t offset, size_t width,
              const std::string& text) {
    for (size_t i = 0; i < width && offset + i < length; ++i) {
        buffer[offset + i] = static_cast<unsigned char>(i < text.size() ? text[i] : ' ');
    }
}

}  // namespace

bool nvmeControllerModel(const unsigned char* data, size_t length, std::string* model) {
    if (!data || length < kNvmeModelOffset + kNvmeModelWidth) {
        return false;
    }
    const char* start = reinterpret_cast<const char*>(data + kNvmeModelOffset);
    std::string text(start, strnlen(start, kNvmeModelWidth));
    text.erase(text.find_last_not_of(' ') + 1);
    *model = text;
    return true;
}

bool nvmeDeviceName(const unsigned char* data, size_t length, std::string* name, std::string* why) {
    if (!data || length < kNvmeIdentifyLength) {
        *why = "the Identify Namespace data is " + std::to_string(length) + " bytes, not " +
               std::to_string(kNvmeIdentifyLength);
        return false;
    }
    const char* area = reinterpret_cast<const char*>(data + kNvmeVendorAreaOffset);
    const size_t areaLength = kNvmeIdentifyLength - kNvmeVendorAreaOffset;
    size_t textLength = strnlen(area, areaLength);
    if (textLength == 0) {
        *why = "its vendor-specific area holds no JSON";
        return false;
    }
    if (textLength == areaLength) {
        *why = "its vendor-specific JSON is not NUL-terminated";
        return false;
    }
    jsonxx::Object object;
    if (!object.parse(std::string(area, textLength))) {
        *why = "its vendor-specific area is not a JSON object";
        return false;
    }
    if (!object.has<jsonxx::String>("device_name") ||
        object.get<jsonxx::String>("device_name").empty()) {
        *why = "its vendor-specific JSON has no \"device_name\"";
        return false;
    }
    const std::string& text = object.get<jsonxx::String>("device_name");
    if (text.size() > kLongestNvmeDeviceName) {
        *why = "its \"device_name\" is longer than " + std::to_string(kLongestNvmeDeviceName) +
               " bytes";
        return false;
    }
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        *why = "its \"device_name\" holds control characters";
        return false;
    }
    *name = text;
    return true;
}

void nvmeStandardInquiry(const std::string& model, unsigned char* buffer, size_t length) {
    std::memset(buffer, 0, length);
    const bool disk = model == kPersistentDiskNvmeModel;
    putField(buffer, length, kVendorOffset, kVendorWidth, disk ? kGoogleVendorId : "NVMe");
    putField(buffer, length, kProductOffset, kProductWidth, disk ? kGoogleProductId : model);
    putField(buffer, length, kRevisionOffset, kRevisionWidth, "1");
}

void nvmeIdentificationPage(const std::string& deviceName, unsigned char* buffer, size_t length) {
    std::memset(buffer, 0, length);
    if (length <= kDesignatorOffset) {
        return;
    }
    size_t nameLength = std::min(deviceName.size(), length - kDesignatorOffset);
    nameLength = std::min<size_t>(nameLength, 0xff);
    buffer[kPageCodeOffset] = static_cast<unsigned char>(kDeviceIdentificationPage);
    size_t pageLength = 4 + nameLength;  // one descriptor: header and designator
    buffer[2] = static_cast<unsigned char>(pageLength >> 8);
    buffer[3] = static_cast<unsigned char>(pageLength & 0xff);
    buffer[4] = 0x02;  // code set: ASCII
    buffer[5] = 0x00;  // association: logical unit; designator type: vendor specific
    buffer[kDesignatorLengthOffset] = static_cast<unsigned char>(nameLength);
    std::memcpy(buffer + kDesignatorOffset, deviceName.data(), nameLength);
}

}  // namespace DuVavaZid
