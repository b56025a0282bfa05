#include "settings_file.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "runtime/runtime.h"

namespace bxtest {

struct SettingsFile::Entries {
    std::map<std::string, std::map<std::string, std::string>> values;
};

SettingsFile::SettingsFile() : entries_(std::make_unique<Entries>()) {
    char tmpl[] = "/tmp/bxso-settings-XXXXXX";
    int fd = ::mkstemp(tmpl);
    if (fd >= 0) {
        ::close(fd);
    }
    path_ = tmpl;
    if (const char* prev = std::getenv(bxrt::kSettingsEnv)) {
        hadPreviousEnv_ = true;
        previousEnv_ = prev;
    }
    ::setenv(bxrt::kSettingsEnv, path_.c_str(), 1);
    write();
}

SettingsFile::~SettingsFile() {
    ::unlink(path_.c_str());
    if (hadPreviousEnv_) {
        ::setenv(bxrt::kSettingsEnv, previousEnv_.c_str(), 1);
    } else {
        ::unsetenv(bxrt::kSettingsEnv);
    }
    bxrt::reloadSettings();
}

void SettingsFile::set(const std::string& section, const std::string& key,
                       const std::string& value) {
    entries_->values[section][key] = value;
    write();
}

void SettingsFile::remove(const std::string& section, const std::string& key) {
    entries_->values[section].erase(key);
    write();
}

void SettingsFile::write() {
    {
        std::ofstream out(path_, std::ios::trunc);
        for (const auto& section : entries_->values) {
            out << "[" << section.first << "]\n";
            for (const auto& kv : section.second) {
                out << kv.first << " = " << kv.second << "\n";
            }
        }
    }
    bxrt::reloadSettings();
}

}  // namespace bxtest
