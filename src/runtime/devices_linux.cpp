// Devices of this machine: nodes under /dev resolved through sysfs, SCSI
// commands through the SCSI generic pass-through (SG_IO, via libsgutils2),
// NVMe Identify through the kernel's admin pass-through ioctl, the block
// devices listed from /sys/block, rescans through the SCSI hosts' "scan"
// files and the NVMe controllers' "rescan_controller".
#include <dirent.h>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "runtime/devices.h"

#include <scsi/sg_lib.h>
#include <scsi/sg_pt.h>

namespace bxrt {
namespace {

std::string errnoText(int err) {
    return std::strerror(err);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Entries of a directory without "." and "..".
bool readDirectory(const std::string& path, std::vector<std::string>* names, CWnError* error) {
    DirHandle dir(::opendir(path.c_str()));
    if (!dir) {
        error->Set(errno, "cannot read [" + path + "]: " + errnoText(errno));
        return false;
    }
    while (struct dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names->push_back(name);
        }
    }
    return true;
}

// sda < sdb < ... < sdz < sdaa: the order in which the kernel names disks.
bool deviceOrder(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

class LinuxScsiIface : public BxDeviceScsiIface {
  public:
    explicit LinuxScsiIface(std::string path) : path_(std::move(path)) {}
    int SendCommand(const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
                    int, int direction, unsigned char* sense, int senseLength, int timeoutSeconds,
                    CWnError* error) override {
        return linuxScsiSend(path_, cdb, cdbLength, data, dataLength, direction, sense, senseLength,
                             timeoutSeconds, error);
    }

  private:
    std::string path_;
};

class LinuxNvmeIface : public BxDeviceNvmeIface {
  public:
    explicit LinuxNvmeIface(std::string path) : path_(std::move(path)) {}
    int Identify(int cns, unsigned char* data, int dataLength, CWnError* error) override {
        return linuxNvmeIdentify(path_, cns, data, dataLength, error);
    }

  private:
    std::string path_;
};

class LinuxDevice : public BxDevice {
  public:
    enum Kind { kOther, kScsi, kNvme };
    LinuxDevice(std::string path, Kind kind) : path_(std::move(path)) {
        if (kind == kScsi) {
            scsi_ = std::make_unique<LinuxScsiIface>(path_);
        } else if (kind == kNvme) {
            nvme_ = std::make_unique<LinuxNvmeIface>(path_);
        }
    }
    BxDeviceIface* GetInterface(const std::string& name) override {
        if (name == kBxDeviceScsiIfaceName) {
            return scsi_.get();
        }
        return name == kBxDeviceNvmeIfaceName ? nvme_.get() : nullptr;
    }
    std::string GetName() const override { return path_; }

  private:
    std::string path_;
    std::unique_ptr<LinuxScsiIface> scsi_;
    std::unique_ptr<LinuxNvmeIface> nvme_;
};

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class LinuxBackend : public DeviceBackend {
  public:
    explicit LinuxBackend(std::string sysRoot) : sys_(std::move(sysRoot)) {}

    SP<BxDevice> getDevice(const std::string& path, CWnError* error) override {
        if (path.empty()) {
            error->Set(ENOENT, "empty device path");
            return nullptr;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            error->Set(errno, errnoText(errno));
            return nullptr;
        }
        bool block = S_ISBLK(st.st_mode);
        if (!block && !S_ISCHR(st.st_mode)) {
            error->Set(ENODEV, "[" + path + "] is not a device node");
            return nullptr;
        }
        // A disk behind a SCSI host (sd, sg, bsg) links its "device" to a SCSI
        // device, which has a scsi_device class entry; NVMe, virtio-blk, loop,
        // partitions and character devices such as /dev/null do not.
        std::string node = sys_ + (block ? "/dev/block/" : "/dev/char/") +
                           std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev));
        LinuxDevice::Kind kind = LinuxDevice::kOther;
        if (isDirectory(node + "/device/scsi_device")) {
            kind = LinuxDevice::kScsi;
        } else if (fileExists(node + "/nsid")) {
            // An NVMe namespace (nvme0n1): its block device carries "nsid";
            // partitions and the controller's character device do not.
            kind = LinuxDevice::kNvme;
        }
        return std::make_shared<LinuxDevice>(path, kind);
    }

    bool listDevices(std::vector<std::string>* devices, CWnError* error) override {
        std::vector<std::string> names;
        if (!readDirectory(sys_ + "/block", &names, error)) {
            return false;
        }
        std::sort(names.begin(), names.end(), deviceOrder);
        devices->clear();
        for (std::string& name : names) {
            // sysfs cannot hold "/" in a name: "cciss!c0d0" is /dev/cciss/c0d0.
            std::replace(name.begin(), name.end(), '!', '/');
            devices->push_back("/dev/" + name);
        }
        return true;
    }

    bool rescan(CWnError* error) override {
        std::string failures;
        // Every channel, target and LUN of each SCSI host.
        if (!poke(sys_ + "/class/scsi_host", "host", "/scan", "- - -\n", &failures, error)) {
            return false;
        }
        // A disk attached to an NVMe VM is a new namespace of its controller.
        if (!poke(sys_ + "/class/nvme", "nvme", "/rescan_controller", "1\n", &failures, error)) {
            return false;
        }
        if (!failures.empty()) {
            error->Set(EIO, "rescan failed for " + failures);
            return false;
        }
        return true;
    }

  private:
    // Writes text into file under each entry of directory named prefix*;
    // a missing directory (no such bus on this machine) is no failure.
    static bool poke(const std::string& directory, const char* prefix, const char* file,
                     const char* text, std::string* failures, CWnError* error) {
        std::vector<std::string> names;
        if (!isDirectory(directory)) {
            return true;
        }
        if (!readDirectory(directory, &names, error)) {
            return false;
        }
        std::sort(names.begin(), names.end());
        const size_t prefixLength = std::strlen(prefix);
        const size_t textLength = std::strlen(text);
        for (const std::string& name : names) {
            if (name.compare(0, prefixLength, prefix) != 0) {
                continue;
            }
            std::string target = directory + "/" + name + file;
            Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
            if (fd.get() < 0 || ::write(fd.get(), text, textLength) < 0) {
                *failures += (failures->empty() ? "" : "; ") + target + ": " + errnoText(errno);
            }
        }
        return true;
    }

    std::string sys_;
};

struct PtObjDeleter {
    void operator()(sg_pt_base* obj) const { destruct_scsi_pt_obj(obj); }
};

// sg3_utils decodes sense data over several lines; the host error is one line.
std::string oneLine(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            if (!out.empty() && out.back() != ' ') {
                out += "; ";
            }
        } else {
            out += *p;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) {
        out.pop_back();
    }
    return out;
}

}  // namespace

std::shared_ptr<DeviceBackend> makeLinuxDeviceBackend(const std::string& sysRoot) {
    return std::make_shared<LinuxBackend>(sysRoot.empty() ? std::string("/sys") : sysRoot);
}

int linuxNvmeIdentify(const std::string& path, int cns, unsigned char* data, int dataLength,
                      CWnError* error) {
    CWnError local;
    CWnError* err = error ? error : &local;
    constexpr unsigned char kIdentifyOpcode = 0x06;
    if (!data || dataLength < BxDeviceNvmeIface::kIdentifyLength ||
        (cns != BxDeviceNvmeIface::kIdentifyNamespace &&
         cns != BxDeviceNvmeIface::kIdentifyController)) {
        err->Set(EINVAL, "invalid NVMe Identify parameters");
        return -1;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        err->Set(errno, "cannot open [" + path + "]: " + errnoText(errno));
        return -1;
    }
    // The namespace's own id: Identify Namespace asks about it.
    int nsid = ::ioctl(fd.get(), NVME_IOCTL_ID);
    if (nsid < 0) {
        err->Set(errno, "[" + path + "] is not an NVMe namespace: " + errnoText(errno));
        return -1;
    }
    struct nvme_admin_cmd cmd {};
    cmd.opcode = kIdentifyOpcode;
    cmd.nsid = cns == BxDeviceNvmeIface::kIdentifyNamespace ? static_cast<__u32>(nsid) : 0;
    cmd.addr = reinterpret_cast<__u64>(data);
    cmd.data_len = BxDeviceNvmeIface::kIdentifyLength;
    cmd.cdw10 = static_cast<__u32>(cns);
    cmd.timeout_ms = 10000;
    int status = ::ioctl(fd.get(), NVME_IOCTL_ADMIN_CMD, &cmd);
    if (status < 0) {
        err->Set(errno, "NVMe Identify failed on [" + path + "]: " + errnoText(errno));
        return -1;
    }
    if (status > 0) {
        err->Set(EIO,
                 "NVMe Identify on [" + path + "] ended with status " + std::to_string(status));
        return -1;
    }
    return BxDeviceNvmeIface::kIdentifyLength;
}

int linuxScsiSend(const std::string& path, const unsigned char* cdb, int cdbLength,
                  unsigned char* data, int dataLength, int direction, unsigned char* sense,
                  int senseLength, int timeoutSeconds, CWnError* error) {
    CWnError local;
    CWnError* err = error ? error : &local;
    if (!cdb || cdbLength < 6 || cdbLength > 16 || dataLength < 0 || (dataLength > 0 && !data) ||
        (sense && senseLength < 0)) {
        err->Set(EINVAL, "invalid SCSI command parameters");
        return -1;
    }
    int fd = scsi_pt_open_device(path.c_str(), true, 0);
    if (fd < 0) {
        err->Set(-fd, "cannot open [" + path + "]: " + errnoText(-fd));
        return -1;
    }
    Fd device(fd);
    std::unique_ptr<sg_pt_base, PtObjDeleter> pt(construct_scsi_pt_obj());
    if (!pt) {
        err->Set(ENOMEM, "cannot create a SCSI pass-through object");
        return -1;
    }
    unsigned char ownSense[64] = {0};
    unsigned char* senseBuf = sense ? sense : ownSense;
    int senseLen = sense ? senseLength : static_cast<int>(sizeof ownSense);
    set_scsi_pt_cdb(pt.get(), cdb, cdbLength);
    set_scsi_pt_sense(pt.get(), senseBuf, senseLen);
    if (direction == BxDeviceScsiIface::kDataIn && dataLength > 0) {
        set_scsi_pt_data_in(pt.get(), data, dataLength);
    } else if (direction == BxDeviceScsiIface::kDataOut && dataLength > 0) {
        set_scsi_pt_data_out(pt.get(), data, dataLength);
    }
    int rc = do_scsi_pt(pt.get(), device.get(), timeoutSeconds, 0);
    if (rc < 0) {
        err->Set(-rc, errnoText(-rc));
        return -1;
    }
    if (rc == SCSI_PT_DO_TIMEOUT) {
        err->Set(ETIMEDOUT,
                 "SCSI command timed out after " + std::to_string(timeoutSeconds) + " s");
        return -1;
    }
    if (rc != 0) {
        err->Set(EIO, "SCSI pass-through refused the command (code " + std::to_string(rc) + ")");
        return -1;
    }
    char text[512] = {0};
    switch (get_scsi_pt_result_category(pt.get())) {
        case SCSI_PT_RESULT_GOOD:
            break;
        case SCSI_PT_RESULT_SENSE: {
            int len = get_scsi_pt_sense_len(pt.get());
            int category = sg_err_category_sense(senseBuf, len);
            if (category == SG_LIB_CAT_RECOVERED || category == SG_LIB_CAT_NO_SENSE) {
                break;  // the command completed; the sense data only informs
            }
            sg_get_sense_str(nullptr, senseBuf, len, false, sizeof text, text);
            err->Set(EIO, oneLine(text));
            return -1;
        }
        case SCSI_PT_RESULT_STATUS:
            sg_get_scsi_status_str(get_scsi_pt_status_response(pt.get()), sizeof text, text);
            err->Set(EIO, std::string("SCSI status: ") + text);
            return -1;
        case SCSI_PT_RESULT_TRANSPORT_ERR:
            get_scsi_pt_transport_err_str(pt.get(), sizeof text, text);
            err->Set(EIO, oneLine(text));
            return -1;
        case SCSI_PT_RESULT_OS_ERR:
        default:
            get_scsi_pt_os_err_str(pt.get(), sizeof text, text);
            err->Set(EIO, oneLine(text));
            return -1;
    }
    int transferred = dataLength - get_scsi_pt_resid(pt.get());
    return std::max(0, std::min(transferred, dataLength));
}

}  // namespace bxrt
