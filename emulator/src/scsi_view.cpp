// The SCSI view of "this VM": attached disks as /dev/sdX (the lowest free letter, as Linux
// hands them out on hot-plug) answering INQUIRY like a Compute Engine persistent disk on
// virtio-scsi: vendor "Google  ", product "PersistentDisk  ", and VPD page 0x83 whose first
// designator is the device name in ASCII, vendor-specific type (udev names it
// "scsi-0Google_PersistentDisk_<device name>"). Devices listed in the scenario that are not
// Google disks answer with their own identification.
//
// On an NVMe VM (the newer machine series, or disks attached with interface NVME) a disk is a
// namespace /dev/nvme0nN of one controller: Identify Controller reports the model
// "nvme_card-pd", Identify Namespace carries {"device_name":...,"disk_type":"PERSISTENT"} in its
// vendor-specific area, NUL-terminated, as Compute Engine's do.
#include <algorithm>

#include "crypto.h"
#include "impl.h"
#include "util.h"

namespace gce {

namespace {

std::string letterName(int n) {  // 0 -> a, 25 -> z, 26 -> aa
    std::string s;
    ++n;
    while (n > 0) {
        --n;
        s.insert(s.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    }
    return "/dev/sd" + s;
}

std::string nvmeName(int n) {  // 0 -> /dev/nvme0n1
    return "/dev/nvme0n" + std::to_string(n + 1);
}

bool isNvme(const std::string& path) {
    return path.rfind("/dev/nvme", 0) == 0;
}

constexpr size_t kIdentifyLength = 4096;
constexpr size_t kModelOffset = 24;
constexpr size_t kVendorAreaOffset = 384;

void putAt(std::vector<unsigned char>& v, size_t offset, const std::string& s, size_t width) {
    for (size_t i = 0; i < width && offset + i < v.size(); ++i) {
        v[offset + i] = static_cast<unsigned char>(i < s.size() ? s[i] : ' ');
    }
}

std::vector<unsigned char> identifyController(const std::string& model) {
    std::vector<unsigned char> v(kIdentifyLength, 0);
    v[0] = 0xe0;  // PCI vendor id 1AE0h (Google), little endian
    v[1] = 0x1a;
    v[2] = 0xe0;
    v[3] = 0x1a;
    putAt(v, 4, model, 20);             // serial number
    putAt(v, kModelOffset, model, 40);  // model number
    putAt(v, 64, "2", 8);               // firmware revision
    return v;
}

std::vector<unsigned char> identifyNamespace(int64_t blocks, const std::string& vendorArea) {
    std::vector<unsigned char> v(kIdentifyLength, 0);
    for (int i = 0; i < 8; ++i) {  // size and capacity in blocks, little endian
        v[i] = v[8 + i] = static_cast<unsigned char>((blocks >> (8 * i)) & 0xff);
    }
    size_t room = kIdentifyLength - kVendorAreaOffset;
    for (size_t i = 0; i < vendorArea.size() && i < room; ++i) {
        v[kVendorAreaOffset + i] = static_cast<unsigned char>(vendorArea[i]);
    }
    return v;
}

bool devLess(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

void putText(std::vector<unsigned char>& v, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        v.push_back(static_cast<unsigned char>(i < s.size() ? s[i] : ' '));
    }
}

void appendBytes(std::vector<unsigned char>& v, const std::vector<unsigned char>& more) {
    for (unsigned char c : more) {
        v.push_back(c);
    }
}

std::vector<unsigned char> standardInquiry(int type, const std::string& vendor,
                                           const std::string& product, const std::string& rev) {
    std::vector<unsigned char> v;
    appendBytes(v,
                {static_cast<unsigned char>(type & 0x1f), 0x00, 0x06, 0x02, 31, 0x00, 0x00, 0x02});
    putText(v, vendor, 8);
    putText(v, product, 16);
    putText(v, rev, 4);
    return v;
}

std::vector<unsigned char> vpdPage(int type, int page, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> v;
    v.reserve(4 + body.size());
    v.push_back(static_cast<unsigned char>(type & 0x1f));
    v.push_back(static_cast<unsigned char>(page));
    v.push_back(static_cast<unsigned char>((body.size() >> 8) & 0xff));
    v.push_back(static_cast<unsigned char>(body.size() & 0xff));
    for (unsigned char c : body) {
        v.push_back(c);
    }
    return v;
}

}  // namespace

void Emulator::Impl::assignScsiLetterLocked(const std::string& deviceName, bool nvme) {
    for (const auto& kv : world.scsiLetters) {
        if (kv.second.deviceName == deviceName) {
            return;
        }
    }
    for (int n = 0;; ++n) {
        std::string dev = nvme ? nvmeName(n) : letterName(n);
        bool used = world.scsiLetters.count(dev) > 0;
        for (const auto& e : world.extraDevices) {
            used = used || e.path == dev;
        }
        if (!used) {
            world.scsiLetters[dev] = ScsiSlot{deviceName, lateDevices};
            changed = true;
            return;
        }
    }
}

void Emulator::Impl::releaseScsiLetterLocked(const std::string& deviceName) {
    for (auto it = world.scsiLetters.begin(); it != world.scsiLetters.end(); ++it) {
        if (it->second.deviceName == deviceName) {
            world.scsiLetters.erase(it);
            changed = true;
            return;
        }
    }
}

void Emulator::Impl::rebuildScsiLocked() {
    auto vm = world.instances.find(world.thisVm);
    std::vector<std::string> attached;
    std::vector<bool> nvme;
    if (vm != world.instances.end()) {
        for (const auto& a : vm->second.disks) {  // kept in index order: boot disk first
            attached.push_back(a.deviceName);
            nvme.push_back(a.interface == "NVME");
        }
    }
    for (auto it = world.scsiLetters.begin(); it != world.scsiLetters.end();) {
        bool keep =
            std::find(attached.begin(), attached.end(), it->second.deviceName) != attached.end();
        it = keep ? std::next(it) : world.scsiLetters.erase(it);
    }
    int saved = lateDevices;
    lateDevices = 0;  // devices present at boot are there from the start
    for (size_t i = 0; i < attached.size(); ++i) {
        assignScsiLetterLocked(attached[i], nvme[i]);
    }
    lateDevices = saved;
}

std::vector<std::string> Emulator::Impl::listScsiLocked(bool countCall) {
    std::vector<std::string> out;
    for (auto& kv : world.scsiLetters) {
        if (kv.second.hiddenListCalls > 0) {
            if (countCall) {
                --kv.second.hiddenListCalls;
                changed = true;
            }
            continue;
        }
        out.push_back(kv.first);
    }
    for (const auto& e : world.extraDevices) {
        out.push_back(e.path);
    }
    std::sort(out.begin(), out.end(), devLess);
    return out;
}

bool Emulator::Impl::inquiryLocked(const std::string& device, bool evpd, int page, int alloc,
                                   std::vector<unsigned char>* data, std::string* error,
                                   int* status) {
    std::vector<unsigned char> v;
    auto slot = world.scsiLetters.find(device);
    const ScsiExtraDevice* extra = nullptr;
    for (const auto& e : world.extraDevices) {
        if (e.path == device) {
            extra = &e;
        }
    }
    if ((slot == world.scsiLetters.end() || slot->second.hiddenListCalls > 0) && extra == nullptr) {
        *status = 404;
        *error = "No such device '" + device + "'";
        return false;
    }
    if (isNvme(device)) {
        *status = 400;
        *error = "'" + device + "' is an NVMe namespace, not a SCSI device";
        return false;
    }
    if (!evpd && page != 0) {
        *status = 400;
        *error = "ILLEGAL REQUEST: page code set without EVPD";
        return false;
    }
    if (extra == nullptr) {
        const std::string& name = slot->second.deviceName;
        if (!evpd) {
            v = standardInquiry(0, "Google", "PersistentDisk", "1");
        } else if (page == 0x00) {
            v = vpdPage(0, 0x00, {0x00, 0x80, 0x83});
        } else if (page == 0x80) {
            v = vpdPage(0, 0x80, std::vector<unsigned char>(name.begin(), name.end()));
        } else if (page == 0x83) {
            // Code set 2 (ASCII), association 0 (logical unit), designator type 0 (vendor
            // specific), then the designator: the device name.
            std::vector<unsigned char> d;
            appendBytes(d, {0x02, 0x00, 0x00, static_cast<unsigned char>(name.size())});
            appendBytes(d, std::vector<unsigned char>(name.begin(), name.end()));
            v = vpdPage(0, 0x83, d);
        }
    } else {
        int t = extra->peripheralType;
        if (!evpd) {
            v = standardInquiry(t, extra->vendor, extra->product, extra->revision);
        } else if (page == 0x00) {
            v = vpdPage(t, 0x00, {0x00, 0x83});
        } else if (page == 0x83) {
            std::vector<unsigned char> d;
            if (!extra->designator.empty()) {
                // T10 vendor identification: vendor (8 bytes) and the designator text.
                appendBytes(d, {0x02, 0x01, 0x00,
                                static_cast<unsigned char>(8 + extra->designator.size())});
                putText(d, extra->vendor, 8);
                putText(d, extra->designator, extra->designator.size());
            } else {
                std::string h = crypto::sha256(extra->path).substr(0, 8);
                appendBytes(d, {0x01, 0x03, 0x00, 0x08});
                appendBytes(d, std::vector<unsigned char>(h.begin(), h.end()));
                d[4] = static_cast<unsigned char>(0x50 | (d[4] & 0x0f));  // NAA 5
            }
            v = vpdPage(t, 0x83, d);
        }
    }
    if (v.empty()) {
        *status = 400;
        *error = "ILLEGAL REQUEST: unsupported VPD page";
        return false;
    }
    if (alloc < 0) {
        alloc = 0;
    }
    if (v.size() > static_cast<size_t>(alloc)) {
        v.resize(static_cast<size_t>(alloc));
    }
    *data = v;
    return true;
}

bool Emulator::Impl::identifyLocked(const std::string& device, int cns,
                                    std::vector<unsigned char>* data, std::string* error,
                                    int* status) {
    auto slot = world.scsiLetters.find(device);
    const ScsiExtraDevice* extra = nullptr;
    for (const auto& e : world.extraDevices) {
        if (e.path == device) {
            extra = &e;
        }
    }
    bool attached = slot != world.scsiLetters.end() && slot->second.hiddenListCalls == 0;
    if ((!attached && extra == nullptr) || !isNvme(device)) {
        *status = 404;
        *error = "No such NVMe namespace '" + device + "'";
        return false;
    }
    if (cns != 0 && cns != 1) {
        *status = 400;
        *error = "INVALID FIELD: CNS " + std::to_string(cns) + " is not supported";
        return false;
    }
    if (extra != nullptr) {
        *data =
            cns == 1 ? identifyController(extra->model) : identifyNamespace(0, extra->vendorArea);
        return true;
    }
    int64_t blocks = 0;
    auto vm = world.instances.find(world.thisVm);
    if (vm != world.instances.end()) {
        for (const auto& a : vm->second.disks) {
            auto d = world.disks.find(a.diskPath);
            if (a.deviceName == slot->second.deviceName && d != world.disks.end()) {
                blocks = d->second.sizeGb * (int64_t{1} << 30) / 512;
            }
        }
    }
    Json label = {{"device_name", slot->second.deviceName}, {"disk_type", "PERSISTENT"}};
    *data = cns == 1 ? identifyController("nvme_card-pd")
                     : identifyNamespace(blocks, label.dump() + std::string(1, '\0'));
    return true;
}

bool Emulator::Impl::nvmeIdentify(const std::string& device, int cns,
                                  std::vector<unsigned char>* data, std::string* error,
                                  int* status) {
    std::lock_guard<std::mutex> lock(mu);
    advance(util::nowMs());
    return identifyLocked(device, cns, data, error, status);
}

}  // namespace gce
