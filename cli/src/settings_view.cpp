#include "settings_view.h"

#include <ini.h>
#include <unistd.h>

#include <cstdlib>

namespace bxhost {

namespace {

int onValue(void* user, const char* section, const char* name, const char* value) {
    auto* values = static_cast<std::map<std::pair<std::string, std::string>, std::string>*>(user);
    (*values)[{section, name}] = value;
    return 1;
}

}  // namespace

std::string settingsPath() {
    const char* env = std::getenv(kSettingsEnv);
    return (env && *env) ? std::string(env) : std::string(kDefaultSettingsPath);
}

void SettingsView::load(const std::string& path) {
    values_.clear();
    found_ = ::access(path.c_str(), R_OK) == 0;
    if (found_) {
        ini_parse(path.c_str(), onValue, &values_);
    }
}

std::string SettingsView::get(const std::string& section, const std::string& key,
                              const std::string& fallback) const {
    auto it = values_.find({section, key});
    return it == values_.end() ? fallback : it->second;
}

}  // namespace bxhost
