#include "support/scripted_devices.h"

#include <algorithm>
#include <cstring>

#include "host/exception.h"

namespace bxtest {

namespace {

class ScriptedScsi : public BxDeviceScsiIface {
  public:
    ScriptedScsi(ScriptedDeviceTree* tree, std::string path)
        : tree_(tree), path_(std::move(path)) {}
    int SendCommand(const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
                    int flags, int direction, unsigned char* sense, int, int timeoutSeconds,
                    CWnError* error) override {
        return tree_->answer(path_, cdb, cdbLength, data, dataLength, flags, direction,
                             sense != nullptr, timeoutSeconds, error);
    }

  private:
    ScriptedDeviceTree* tree_;
    std::string path_;
};

class ScriptedBxDevice : public BxDevice {
  public:
    ScriptedBxDevice(ScriptedDeviceTree* tree, const std::string& path, const ScriptedDevice& d)
        : name_(d.name.empty() ? path : d.name) {
        if (d.scsi) {
            scsi_ = std::make_unique<ScriptedScsi>(tree, path);
        }
    }
    BxDeviceIface* GetInterface(const std::string& name) override {
        return name == kBxDeviceScsiIfaceName ? scsi_.get() : nullptr;
    }
    std::string GetName() const override { return name_; }

  private:
    std::string name_;
    std::unique_ptr<ScriptedScsi> scsi_;
};

void putField(Bytes& out, size_t offset, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        out[offset + i] = static_cast<unsigned char>(i < text.size() ? text[i] : ' ');
    }
}

}  // namespace

ScriptedDeviceTree::ScriptedDeviceTree() {
    // The test owns this object; the runtime only borrows it.
    bxrt::setDeviceBackendOverride(std::shared_ptr<bxrt::DeviceBackend>(this, [](auto*) {}));
}

ScriptedDeviceTree::~ScriptedDeviceTree() {
    bxrt::setDeviceBackendOverride(nullptr);
}

ScriptedDevice& ScriptedDeviceTree::add(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_[path];
}

ScriptedDevice& ScriptedDeviceTree::addPersistentDisk(const std::string& path,
                                                      const std::string& deviceName) {
    ScriptedDevice& d = add(path);
    d.standard = standardInquiry("Google", "PersistentDisk", "1");
    d.vpd[0x83] = deviceIdPage(deviceName);
    return d;
}

Bytes ScriptedDeviceTree::standardInquiry(const std::string& vendor, const std::string& product,
                                          const std::string& revision, unsigned char pageByte) {
    Bytes out(36, 0);
    out[1] = pageByte;
    out[2] = 0x06;  // SPC-4
    out[3] = 0x02;
    out[4] = 31;  // additional length
    putField(out, 8, vendor, 8);
    putField(out, 16, product, 16);
    putField(out, 32, revision, 4);
    return out;
}

Bytes ScriptedDeviceTree::deviceIdPage(const std::string& name, int designatorLength,
                                       unsigned char pageCode) {
    size_t length = designatorLength < 0 ? name.size() : static_cast<size_t>(designatorLength);
    size_t pageLength = 4 + name.size();  // one descriptor: 4-byte header and the designator
    Bytes out(4 + pageLength, 0);
    out[1] = pageCode;
    out[2] = static_cast<unsigned char>(pageLength >> 8);
    out[3] = static_cast<unsigned char>(pageLength & 0xff);
    out[4] = 0x02;  // code set: ASCII
    out[7] = static_cast<unsigned char>(length);
    std::copy(name.begin(), name.end(), out.begin() + 8);
    return out;
}

std::vector<SentCommand> ScriptedDeviceTree::sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

SP<BxDevice> ScriptedDeviceTree::getDevice(const std::string& path, CWnError* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(path);
    if (it == devices_.end()) {
        error->Set(2, "No such file or directory");
        return nullptr;
    }
    return std::make_shared<ScriptedBxDevice>(this, path, it->second);
}

bool ScriptedDeviceTree::listDevices(std::vector<std::string>* devices, CWnError* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listFails) {
        error->Set(5, "listing failed");
        return false;
    }
    *devices = listed;
    return true;
}

bool ScriptedDeviceTree::rescan(CWnError*) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++rescans;
    return true;
}

int ScriptedDeviceTree::answer(const std::string& path, const unsigned char* cdb, int cdbLength,
                               unsigned char* data, int dataLength, int flags, int direction,
                               bool senseGiven, int timeoutSeconds, CWnError* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    sent_.push_back(SentCommand{path, Bytes(cdb, cdb + cdbLength), dataLength, flags, direction,
                                senseGiven, timeoutSeconds});
    const ScriptedDevice& d = devices_.at(path);
    if (d.sendThrows) {
        std::string text = d.failText;
        lock.unlock();
        throw BxException(text);
    }
    if (d.sendFails) {
        error->Set(5, d.failText);
        return -1;
    }
    const Bytes* reply = nullptr;
    if ((cdb[1] & 1) == 0) {
        reply = &d.standard;
    } else {
        auto it = d.vpd.find(cdb[2]);
        reply = it == d.vpd.end() ? nullptr : &it->second;
    }
    if (!reply) {
        error->Set(5, "Sense key: Illegal Request, Invalid field in cdb");
        return -1;
    }
    size_t alloc =
        std::min(static_cast<size_t>(cdb[3] << 8 | cdb[4]), static_cast<size_t>(dataLength));
    size_t n = std::min(reply->size(), alloc);
    if (n > 0) {  // an empty answer has no data pointer to copy from
        std::memcpy(data, reply->data(), n);
    }
    return static_cast<int>(n);
}

}  // namespace bxtest
