// The SCSI view of "this VM": attached disks as /dev/sdX (the lowest free letter, as Linux
// hands them out on hot-plug) answering INQUIRY like a Compute Engine persistent disk on
// virtio-scsi: vendor "Google  ", product "PersistentDisk  ", and VPD page 0x83 whose first
// designator is the device name in ASCII, vendor-specific type (udev names it
// "scsi-0Google_PersistentDisk_<device name>"). Devices listed in the scenario that are not
// Google disks answer with their own identification.
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

void Emulator::Impl::assignScsiLetterLocked(const std::string& deviceName) {
    for (const auto& kv : world.scsiLetters) {
        if (kv.second.deviceName == deviceName) {
            return;
        }
    }
    for (int n = 0;; ++n) {
        std::string dev = letterName(n);
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
    if (vm != world.instances.end()) {
        for (const auto& a : vm->second.disks) {  // kept in index order: boot disk first
            attached.push_back(a.deviceName);
        }
    }
    for (auto it = world.scsiLetters.begin(); it != world.scsiLetters.end();) {
        bool keep =
            std::find(attached.begin(), attached.end(), it->second.deviceName) != attached.end();
        it = keep ? std::next(it) : world.scsiLetters.erase(it);
    }
    int saved = lateDevices;
    lateDevices = 0;  // devices present at boot are there from the start
    for (const auto& name : attached) {
        assignScsiLetterLocked(name);
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

}  // namespace gce
