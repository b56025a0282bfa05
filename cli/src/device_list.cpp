#include "device_list.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "https_client.h"
#include "settings_view.h"

namespace bxhost {

namespace {

struct DirClose {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool listEmulator(const SettingsView& settings, std::vector<std::string>* devices,
                  std::string* error) {
    std::string url = settings.get("Devices", "EmulatorUrl");
    if (url.empty()) {
        *error = "settings: [Devices] Backend = emulator needs EmulatorUrl";
        return false;
    }
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    HttpRequest request;
    request.url = url + "/emulator/v1/scsi/devices";
    request.caBundle = settings.get("Devices", "CaBundle", settings.get("Gcp", "CaBundle"));
    HttpResult result = httpExchange(request);
    if (!result.ok || result.status != 200) {
        *error = "cannot list the emulated VM's devices at [" + request.url +
                 "]: " + (result.ok ? "HTTP " + std::to_string(result.status) : result.error);
        return false;
    }
    auto body = nlohmann::json::parse(result.body, nullptr, false);
    if (!body.is_object() || !body.contains("devices") || !body["devices"].is_array()) {
        *error = "unexpected device list from the emulator";
        return false;
    }
    for (const auto& d : body["devices"]) {
        if (d.is_string()) {
            devices->push_back(d.get<std::string>());
        }
    }
    return true;
}

}  // namespace

bool listSysfsBlockDevices(const std::string& sysRoot, std::vector<std::string>* devices,
                           std::string* error) {
    std::string dir = sysRoot + "/block";
    std::unique_ptr<DIR, DirClose> d(::opendir(dir.c_str()));
    if (!d) {
        *error = "cannot read [" + dir + "]: " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> found;
    while (struct dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::replace(name.begin(), name.end(), '!', '/');
        found.push_back("/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    devices->insert(devices->end(), found.begin(), found.end());
    return true;
}

bool listBlockDevices(const SettingsView& settings, std::vector<std::string>* devices,
                      std::string* error) {
    std::string backend = settings.get("Devices", "Backend", "linux");
    if (backend == "emulator") {
        return listEmulator(settings, devices, error);
    }
    if (backend == "linux") {
        return listSysfsBlockDevices("/sys", devices, error);
    }
    // Never fall back to this machine's disks for a backend we do not know.
    *error = "settings: unknown [Devices] Backend [" + backend + "]";
    return false;
}

}  // namespace bxhost
