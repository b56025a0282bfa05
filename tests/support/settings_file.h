// A settings file for the runtime, written to a temporary path and installed
// through the settings environment variable for the object's lifetime.
#pragma once

#include <memory>
#include <string>

namespace bxtest {

class SettingsFile {
  public:
    SettingsFile();
    ~SettingsFile();
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    void set(const std::string& section, const std::string& key, const std::string& value);
    void remove(const std::string& section, const std::string& key);
    const std::string& path() const { return path_; }

  private:
    void write();

    std::string path_;
    std::string previousEnv_;
    bool hadPreviousEnv_ = false;
    // section -> (key -> value), kept ordered so the file is stable.
    struct Entries;
    std::unique_ptr<Entries> entries_;
};

}  // namespace bxtest
