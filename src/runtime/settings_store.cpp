#include <ini.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "host/settings.h"
#include "runtime/runtime.h"

namespace bxrt {
namespace {

struct SettingsCache {
    std::mutex mutex;
    std::string path;
    struct timespec mtime {};
    off_t size = -1;
    bool loaded = false;
    std::map<std::pair<std::string, std::string>, std::string> values;
};

SettingsCache& cache() {
    static SettingsCache c;
    return c;
}

int onValue(void* user, const char* section, const char* name, const char* value) {
    auto* values = static_cast<std::map<std::pair<std::string, std::string>, std::string>*>(user);
    (*values)[{section, name}] = value;
    return 1;
}

// The file is read again whenever its path, size or modification time changes,
// so an operator's edit applies to the next call without a restart.
void refreshLocked(SettingsCache& c) {
    std::string path = settingsPath();
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (c.loaded && path == c.path &&
        ((!exists && c.size < 0) ||
         (exists && st.st_size == c.size && st.st_mtim.tv_sec == c.mtime.tv_sec &&
          st.st_mtim.tv_nsec == c.mtime.tv_nsec))) {
        return;
    }
    c.values.clear();
    c.path = path;
    c.loaded = true;
    c.size = exists ? st.st_size : -1;
    c.mtime = exists ? st.st_mtim : timespec{};
    if (exists) {
        ini_parse(path.c_str(), onValue, &c.values);
    }
}

}  // namespace

std::string settingsPath() {
    const char* env = std::getenv(kSettingsEnv);
    return (env && *env) ? std::string(env) : std::string(kDefaultSettingsPath);
}

void reloadSettings() {
    auto& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.loaded = false;
}

bool settingString(const std::string& section, const std::string& name, std::string* value) {
    auto& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    refreshLocked(c);
    auto it = c.values.find({section, name});
    if (it == c.values.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

bool settingNumber(const std::string& section, const std::string& name, long* value) {
    std::string text;
    if (!settingString(section, name, &text) || text.empty()) {
        return false;
    }
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') {
        return false;
    }
    *value = v;
    return true;
}

bool settingBool(const std::string& section, const std::string& name, bool* value) {
    std::string text;
    if (!settingString(section, name, &text)) {
        return false;
    }
    for (const char* t : {"1", "true", "yes", "on"}) {
        if (strcasecmp(text.c_str(), t) == 0) {
            *value = true;
            return true;
        }
    }
    for (const char* f : {"0", "false", "no", "off"}) {
        if (strcasecmp(text.c_str(), f) == 0) {
            *value = false;
            return true;
        }
    }
    return false;
}

}  // namespace bxrt

BXPlatformInfo::BXPlatformInfo() = default;

int BXPlatformInfo::getString(const char* section, const char* name, std::string* value) {
    if (!section || !name || !value) {
        return 0;
    }
    return bxrt::settingString(section, name, value) ? 1 : 0;
}

int BXPlatformInfo::getBoolean(const char* section, const char* name, bool* value) {
    if (!section || !name || !value) {
        return 0;
    }
    return bxrt::settingBool(section, name, value) ? 1 : 0;
}

int BXPlatformInfo::getNumber(const char* section, const char* name, unsigned long* value) {
    if (!section || !name || !value) {
        return 0;
    }
    long v = 0;
    if (!bxrt::settingNumber(section, name, &v) || v < 0) {
        return 0;
    }
    *value = static_cast<unsigned long>(v);
    return 1;
}
