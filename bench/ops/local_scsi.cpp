#include "ops/local_scsi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace opsbench {

namespace {

constexpr unsigned char kInquiryOpcode = 0x12;

class LocalScsiIface : public BxDeviceScsiIface {
  public:
    LocalScsiIface(std::shared_ptr<LocalScsiView> view, std::string path)
        : view_(std::move(view)), path_(std::move(path)) {}
    int SendCommand(const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
                    int, int direction, unsigned char*, int, int, CWnError* error) override {
        CWnError local;
        CWnError* err = error ? error : &local;
        if (direction != kDataIn) {
            err->Set(EINVAL, "the emulated devices only answer commands that read data");
            return -1;
        }
        return view_->inquiry(path_, cdb, cdbLength, data, dataLength, err);
    }

  private:
    std::shared_ptr<LocalScsiView> view_;
    std::string path_;
};

class LocalDevice : public BxDevice {
  public:
    LocalDevice(std::shared_ptr<LocalScsiView> view, std::string path)
        : path_(path), scsi_(std::move(view), std::move(path)) {}
    BxDeviceIface* GetInterface(const std::string& name) override {
        return name == kBxDeviceScsiIfaceName ? &scsi_ : nullptr;
    }
    std::string GetName() const override { return path_; }

  private:
    std::string path_;
    LocalScsiIface scsi_;
};

}  // namespace

SP<BxDevice> LocalScsiView::getDevice(const std::string& path, CWnError* error) {
    std::vector<unsigned char> probe;
    std::string why;
    if (path.empty() || !emu_.scsiInquiry(path, false, 0, 0, &probe, &why)) {
        error->Set(ENOENT, path.empty() ? "empty device path" : why);
        return nullptr;
    }
    return std::make_shared<LocalDevice>(shared_from_this(), path);
}

bool LocalScsiView::listDevices(std::vector<std::string>* devices, CWnError*) {
    *devices = emu_.scsiDevices();
    return true;
}

bool LocalScsiView::rescan(CWnError*) {
    emu_.scsiRescan();
    return true;
}

int LocalScsiView::inquiry(const std::string& path, const unsigned char* cdb, int cdbLength,
                           unsigned char* data, int dataLength, CWnError* error) {
    if (!cdb || cdbLength < 6 || dataLength < 0 || (dataLength > 0 && !data) ||
        cdb[0] != kInquiryOpcode) {
        error->Set(EINVAL, "the emulated devices answer INQUIRY only");
        return -1;
    }
    const int alloc = std::min((cdb[3] << 8) | cdb[4], dataLength);
    std::vector<unsigned char> bytes;
    std::string why;
    if (!emu_.scsiInquiry(path, (cdb[1] & 0x01) != 0, cdb[2], alloc, &bytes, &why)) {
        error->Set(EIO, why);
        return -1;
    }
    size_t n = std::min(bytes.size(), static_cast<size_t>(alloc));
    if (n > 0) {
        std::memcpy(data, bytes.data(), n);
    }
    return static_cast<int>(n);
}

LocalScsiInstall::LocalScsiInstall(gce::Emulator& emu) {
    bxrt::setDeviceBackendOverride(std::make_shared<LocalScsiView>(emu));
}

LocalScsiInstall::~LocalScsiInstall() {
    bxrt::setDeviceBackendOverride(nullptr);
}

}  // namespace opsbench
