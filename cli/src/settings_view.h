// The host's read-only view of the plug-in's settings file (BXSO_SETTINGS,
// else /etc/bxso/bxso.ini). The host needs it for the few things it does on
// the plug-in's behalf, such as listing block devices from the same device
// backend the plug-in's runtime uses.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bxhost {

constexpr const char* kSettingsEnv = "BXSO_SETTINGS";
constexpr const char* kDefaultSettingsPath = "/etc/bxso/bxso.ini";

std::string settingsPath();

class SettingsView {
  public:
    // A missing file is an empty view (every default applies), not an error.
    // A file that cannot be read completely leaves problems() (what is wrong,
    // by line; never a line's contents) and whatever could be read.
    void load(const std::string& path = settingsPath());
    std::string get(const std::string& section, const std::string& key,
                    const std::string& fallback = "") const;
    bool fileFound() const { return found_; }
    const std::string& path() const { return path_; }
    const std::vector<std::string>& problems() const { return problems_; }
    // Every value read, by (section, key).
    const std::map<std::pair<std::string, std::string>, std::string>& values() const {
        return values_;
    }

  private:
    std::string path_;
    std::map<std::pair<std::string, std::string>, std::string> values_;
    std::vector<std::string> problems_;
    bool found_ = false;
};

}  // namespace bxhost
