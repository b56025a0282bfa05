// The host's device services, answered by the backend the settings choose.
#include <strings.h>

#include <mutex>

#include "host/debug_log.h"
#include "runtime/devices.h"
#include "runtime/runtime.h"

namespace bxrt {
namespace {

struct BackendCache {
    std::mutex mutex;
    std::shared_ptr<DeviceBackend> override;
    std::string key;  // the settings the cached backend was made for
    std::shared_ptr<DeviceBackend> cached;
};

BackendCache& backends() {
    static BackendCache c;
    return c;
}

std::string trimmed(std::string text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string devicesSetting(const char* key) {
    std::string value;
    settingString(kDevicesSection, key, &value);
    return trimmed(value);
}

}  // namespace

std::shared_ptr<DeviceBackend> deviceBackend(CWnError* error) {
    auto& c = backends();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.override) {
        return c.override;
    }
    std::string kind = devicesSetting(kDevicesBackendKey);
    if (kind.empty()) {
        kind = "linux";
    }
    std::string url;
    std::string ca;
    bool emulator = strcasecmp(kind.c_str(), "emulator") == 0;
    if (emulator) {
        url = devicesSetting(kDevicesEmulatorUrlKey);
        ca = devicesSetting(kDevicesCaBundleKey);
        if (url.empty()) {
            error->Set(-1, "device backend [emulator] needs the setting Devices/EmulatorUrl");
            return nullptr;
        }
    } else if (strcasecmp(kind.c_str(), "linux") != 0) {
        // A misspelt backend must not silently fall back to this machine's disks.
        error->Set(-1, "unknown device backend [" + kind + "] in setting Devices/Backend");
        return nullptr;
    }
    std::string key = (emulator ? "emulator\n" : "linux\n") + url + "\n" + ca;
    if (!c.cached || c.key != key) {
        c.cached = emulator ? makeEmulatorDeviceBackend(url, ca) : makeLinuxDeviceBackend();
        c.key = key;
    }
    return c.cached;
}

void setDeviceBackendOverride(std::shared_ptr<DeviceBackend> backend) {
    auto& c = backends();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.override = std::move(backend);
}

}  // namespace bxrt

SP<BxDevice> BxDeviceTree::getDevice(const std::string& path, CWnError* error) {
    CWnError local;
    CWnError* err = error ? error : &local;
    auto backend = bxrt::deviceBackend(err);
    if (!backend) {
        return nullptr;
    }
    return backend->getDevice(path, err);
}

bool HostScsi::refreshDeviceList(int deviceType, bool) {
    HostDebug debug;
    if (deviceType != kScsiDevices) {
        debug.debugLvl(2, 0, "GCP SCSI rescan of device type [%d] is not supported", deviceType);
        return false;
    }
    CWnError err;
    auto backend = bxrt::deviceBackend(&err);
    if (!backend || !backend->rescan(&err)) {
        debug.debugLvl(-1, 0, "GCP SCSI rescan failed: %s", err.AsString().c_str());
        return false;
    }
    return true;
}

bool HostScsi::listDevices(std::vector<std::string>* devices, CWnError* error) {
    CWnError local;
    CWnError* err = error ? error : &local;
    if (!devices) {
        err->Set(-1, "no output list for the device listing");
        return false;
    }
    auto backend = bxrt::deviceBackend(err);
    if (!backend) {
        return false;
    }
    std::vector<std::string> found;
    if (!backend->listDevices(&found, err)) {
        return false;
    }
    *devices = std::move(found);
    return true;
}
