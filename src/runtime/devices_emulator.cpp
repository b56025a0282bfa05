// Devices of an emulated VM: the emulator's device view over HTTPS answers the
// device lookups, INQUIRY and NVMe Identify commands, listings and rescans.
//   GET  /emulator/v1/scsi/devices                          {"devices":[...]}
//   GET  /emulator/v1/scsi/inquiry?device=&evpd=&page=&alloc= {"data":"<hex>"}
//   GET  /emulator/v1/nvme/identify?device=&cns=             {"data":"<hex>"}
//   POST /emulator/v1/scsi/rescan
// Devices named /dev/nvme* are NVMe namespaces, as Linux names them.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "host/http_client.h"
#include "runtime/devices.h"

namespace bxrt {
namespace {

constexpr unsigned char kInquiryOpcode = 0x12;

std::string urlEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool hexDecode(const std::string& hex, std::vector<unsigned char>* out) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]);
        int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out->push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
    return true;
}

// The hexadecimal "data" of an answer into data (at most room bytes); the
// number of bytes, or -1 with error set.
int copyData(const nlohmann::json& body, const char* what, unsigned char* data, int room,
             CWnError* error) {
    std::vector<unsigned char> bytes;
    auto hex = body.find("data");
    if (hex == body.end() || !hex->is_string() || !hexDecode(hex->get<std::string>(), &bytes)) {
        error->Set(EIO, std::string("the device emulator's ") + what +
                            " answer has no hexadecimal \"data\"");
        return -1;
    }
    size_t n = std::min(bytes.size(), static_cast<size_t>(std::max(room, 0)));
    if (n > 0) {
        std::memcpy(data, bytes.data(), n);
    }
    return static_cast<int>(n);
}

// {"error":{"message":"..."}} as the emulator answers a failed request.
std::string errorMessage(const nlohmann::json& body) {
    if (!body.is_object()) {
        return "";
    }
    auto err = body.find("error");
    if (err == body.end() || !err->is_object()) {
        return "";
    }
    auto message = err->find("message");
    return message != err->end() && message->is_string() ? message->get<std::string>() : "";
}

class EmulatorBackend : public DeviceBackend, public std::enable_shared_from_this<EmulatorBackend> {
  public:
    EmulatorBackend(const std::string& url, std::string caBundle) : ca_(std::move(caBundle)) {
        std::string base = url;
        while (!base.empty() && base.back() == '/') {
            base.pop_back();
        }
        base_ = base + "/emulator/v1/";
    }

    SP<BxDevice> getDevice(const std::string& path, CWnError* error) override;
    bool listDevices(std::vector<std::string>* devices, CWnError* error) override;
    bool rescan(CWnError* error) override;

    // Sends one INQUIRY to the emulated device.
    int inquiry(const std::string& path, const unsigned char* cdb, int cdbLength,
                unsigned char* data, int dataLength, CWnError* error);
    // Sends one NVMe Identify to the emulated namespace.
    int identify(const std::string& path, int cns, unsigned char* data, int dataLength,
                 CWnError* error);

  private:
    // One exchange; body receives the parsed answer. The emulator's own error
    // message becomes the error text when it sends one.
    bool call(bool post, const std::string& what, nlohmann::json* body, CWnError* error);

    std::string base_;
    std::string ca_;
    std::mutex mutex_;  // one exchange at a time on the shared connection
    std::unique_ptr<BXLibCurl> http_;
};

class EmulatorScsiIface : public BxDeviceScsiIface {
  public:
    EmulatorScsiIface(std::shared_ptr<EmulatorBackend> backend, std::string path)
        : backend_(std::move(backend)), path_(std::move(path)) {}
    int SendCommand(const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
                    int, int direction, unsigned char*, int, int, CWnError* error) override {
        CWnError local;
        CWnError* err = error ? error : &local;
        if (direction != kDataIn) {
            err->Set(EINVAL, "the emulated devices only answer commands that read data");
            return -1;
        }
        return backend_->inquiry(path_, cdb, cdbLength, data, dataLength, err);
    }

  private:
    std::shared_ptr<EmulatorBackend> backend_;
    std::string path_;
};

class EmulatorNvmeIface : public BxDeviceNvmeIface {
  public:
    EmulatorNvmeIface(std::shared_ptr<EmulatorBackend> backend, std::string path)
        : backend_(std::move(backend)), path_(std::move(path)) {}
    int Identify(int cns, unsigned char* data, int dataLength, CWnError* error) override {
        CWnError local;
        return backend_->identify(path_, cns, data, dataLength, error ? error : &local);
    }

  private:
    std::shared_ptr<EmulatorBackend> backend_;
    std::string path_;
};

bool isNvmePath(const std::string& path) {
    return path.rfind("/dev/nvme", 0) == 0;
}

class EmulatorDevice : public BxDevice {
  public:
    EmulatorDevice(const std::shared_ptr<EmulatorBackend>& backend, const std::string& path)
        : path_(path), nvme_(isNvmePath(path)), scsi_(backend, path), nvmeIface_(backend, path) {}
    // A device of the emulated VM sits on its virtio-scsi controller or is a
    // namespace of its NVMe controller, never both.
    BxDeviceIface* GetInterface(const std::string& name) override {
        if (name == kBxDeviceScsiIfaceName) {
            return nvme_ ? nullptr : &scsi_;
        }
        if (name == kBxDeviceNvmeIfaceName) {
            return nvme_ ? &nvmeIface_ : nullptr;
        }
        return nullptr;
    }
    std::string GetName() const override { return path_; }

  private:
    std::string path_;
    bool nvme_;
    EmulatorScsiIface scsi_;
    EmulatorNvmeIface nvmeIface_;
};

bool EmulatorBackend::call(bool post, const std::string& what, nlohmann::json* body,
                           CWnError* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!http_) {
        auto client = std::make_unique<BXLibCurl>();
        // No connection is kept between requests: this backend outlives the
        // plug-in's calls, and an idle connection held for the process's
        // lifetime would pin a worker of the emulator's server.
        if (!client->BXLibCurlInit(ca_.empty() ? nullptr : ca_.c_str(), false, false, nullptr)) {
            error->Set(EIO, "cannot set up the HTTP client for the device emulator");
            return false;
        }
        http_ = std::move(client);
    }
    std::string url = base_ + what;
    bool sent = http_->BXLibCurlSendHttpReq(post ? BX_HTTP_REQ_POST : BX_HTTP_REQ_GET, url, nullptr,
                                            0, false, nullptr);
    size_t length = 0;
    const char* text = http_->GetHttpResponse(length, false);
    std::string raw(text ? text : "", text ? length : 0);
    nlohmann::json parsed = nlohmann::json::parse(raw, nullptr, false);
    if (!sent) {
        long status = http_->GetHttpErrorCode();
        std::string message = errorMessage(parsed);
        error->Set(status == 404 ? ENOENT : EIO, message.empty() ? http_->GetLastError() : message);
        return false;
    }
    if (!parsed.is_object()) {
        error->Set(EIO, "the device emulator's answer to [" + what + "] is not JSON");
        return false;
    }
    *body = std::move(parsed);
    return true;
}

SP<BxDevice> EmulatorBackend::getDevice(const std::string& path, CWnError* error) {
    if (path.empty()) {
        error->Set(ENOENT, "empty device path");
        return nullptr;
    }
    // A zero-length standard INQUIRY (an Identify Controller for a
    // namespace) asks only whether the device exists.
    nlohmann::json body;
    std::string probe = isNvmePath(path)
                            ? "nvme/identify?device=" + urlEncode(path) + "&cns=1"
                            : "scsi/inquiry?device=" + urlEncode(path) + "&evpd=0&page=0&alloc=0";
    if (!call(false, probe, &body, error)) {
        return nullptr;
    }
    return std::make_shared<EmulatorDevice>(shared_from_this(), path);
}

bool EmulatorBackend::listDevices(std::vector<std::string>* devices, CWnError* error) {
    nlohmann::json body;
    if (!call(false, "scsi/devices", &body, error)) {
        return false;
    }
    auto list = body.find("devices");
    if (list == body.end() || !list->is_array()) {
        error->Set(EIO, "the device emulator's device list has no \"devices\" array");
        return false;
    }
    devices->clear();
    for (const auto& item : *list) {
        if (item.is_string()) {
            devices->push_back(item.get<std::string>());
        }
    }
    return true;
}

bool EmulatorBackend::rescan(CWnError* error) {
    nlohmann::json body;
    return call(true, "scsi/rescan", &body, error);
}

int EmulatorBackend::inquiry(const std::string& path, const unsigned char* cdb, int cdbLength,
                             unsigned char* data, int dataLength, CWnError* error) {
    if (!cdb || cdbLength < 6 || dataLength < 0 || (dataLength > 0 && !data)) {
        error->Set(EINVAL, "invalid SCSI command parameters");
        return -1;
    }
    if (cdb[0] != kInquiryOpcode) {
        error->Set(EINVAL, "the emulated devices answer INQUIRY only");
        return -1;
    }
    int evpd = cdb[1] & 0x01;
    int page = cdb[2];
    int alloc = std::min((cdb[3] << 8) | cdb[4], dataLength);
    nlohmann::json body;
    if (!call(false,
              "scsi/inquiry?device=" + urlEncode(path) + "&evpd=" + std::to_string(evpd) +
                  "&page=" + std::to_string(page) + "&alloc=" + std::to_string(alloc),
              &body, error)) {
        return -1;
    }
    return copyData(body, "INQUIRY", data, alloc, error);
}

int EmulatorBackend::identify(const std::string& path, int cns, unsigned char* data, int dataLength,
                              CWnError* error) {
    if (!data || dataLength < 0) {
        error->Set(EINVAL, "invalid NVMe Identify parameters");
        return -1;
    }
    nlohmann::json body;
    if (!call(false, "nvme/identify?device=" + urlEncode(path) + "&cns=" + std::to_string(cns),
              &body, error)) {
        return -1;
    }
    return copyData(body, "Identify", data, dataLength, error);
}

}  // namespace

std::shared_ptr<DeviceBackend> makeEmulatorDeviceBackend(const std::string& url,
                                                         const std::string& caBundle) {
    return std::make_shared<EmulatorBackend>(url, caBundle);
}

}  // namespace bxrt
