#include "settings_view.h"

#include <cstdlib>

#include "common/settings_file.h"

namespace bxhost {

std::string settingsPath() {
    const char* env = std::getenv(kSettingsEnv);
    return (env && *env) ? std::string(env) : std::string(kDefaultSettingsPath);
}

// The plug-in reads the file with the same reader, so what is refused here is
// exactly what the plug-in would skip.
void SettingsView::load(const std::string& path) {
    bxsettings::FileContent content = bxsettings::readFile(path);
    path_ = path;
    found_ = content.found;
    values_ = std::move(content.values);
    problems_.clear();
    for (const auto& problem : content.problems) {
        problems_.push_back(bxsettings::describe(path, problem));
    }
}

std::string SettingsView::get(const std::string& section, const std::string& key,
                              const std::string& fallback) const {
    auto it = values_.find({section, key});
    return it == values_.end() ? fallback : it->second;
}

}  // namespace bxhost
