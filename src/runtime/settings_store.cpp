#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/settings_file.h"
#include "host/debug_log.h"
#include "host/settings.h"
#include "runtime/runtime.h"

namespace bxrt {
namespace {

// Problems of the settings file are errors of the operator's configuration:
// they are logged at the level that is never filtered out by default.
constexpr int kProblemLevel = -1;

// What identifies the file's content without reading it: a change of any part
// (an edit, a replacement by rename) makes the next lookup read it again.
struct FileStamp {
    int statError = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {};

    bool operator==(const FileStamp& o) const {
        return statError == o.statError && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileStamp stampOf(const std::string& path) {
    FileStamp s;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        s.statError = errno;
        return s;
    }
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    return s;
}

struct SettingsCache {
    std::mutex mutex;
    std::string path;
    FileStamp stamp;
    bool loaded = false;
    bxsettings::Values values;
    // Values already reported as unusable, so that each is logged once per
    // content of the file however often it is looked up.
    std::set<std::pair<std::string, std::string>> reportedValues;
    // Problem lines waiting to be logged: logging looks settings up itself,
    // so it happens after the lock is released (reportPending).
    std::vector<std::string> pending;
};

SettingsCache& cache() {
    static SettingsCache c;
    return c;
}

// The file is read again whenever its path or stamp changes, so an
// operator's edit applies to the next call without a restart.
void refreshLocked(SettingsCache& c) {
    std::string path = settingsPath();
    FileStamp stamp = stampOf(path);
    if (c.loaded && path == c.path && stamp == c.stamp) {
        return;
    }
    c.path = path;
    c.stamp = stamp;
    c.loaded = true;
    c.reportedValues.clear();
    bxsettings::FileContent content = bxsettings::readFile(path);
    c.values = std::move(content.values);
    for (const auto& problem : content.problems) {
        c.pending.push_back("GCP " + bxsettings::describe(path, problem));
    }
}

// Logs the queued problems. A lookup made by the logging itself (the level,
// the log file) lands here again on the same thread and leaves its own
// problems to the loop of the outer call.
void reportPending() {
    static thread_local bool reporting = false;
    if (reporting) {
        return;
    }
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{reporting};
    reporting = true;
    auto& c = cache();
    for (;;) {
        std::vector<std::string> batch;
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            batch.swap(c.pending);
        }
        if (batch.empty()) {
            return;
        }
        HostDebug log;
        for (const auto& line : batch) {
            log.debugLvl(kProblemLevel, 0, "%s", line.c_str());
        }
    }
}

// Key names that may hold a credential: their values never reach the log.
bool nameSuggestsSecret(const std::string& name) {
    std::string lower;
    for (char ch : name) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    for (const char* part :
         {"pass", "pwd", "secret", "token", "key", "credential", "private", "auth", "cookie"}) {
        if (lower.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A value that is present but unusable: said once, then the caller's default
// applies.
void reportValue(const std::string& section, const std::string& name, const std::string& value,
                 const char* why) {
    auto& c = cache();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.reportedValues.insert({section, name}).second) {
            return;
        }
        std::string shown =
            nameSuggestsSecret(name) ? std::string("(withheld)") : "[" + value + "]";
        c.pending.push_back("GCP settings file [" + c.path + "]: [" + section + "] " + name +
                            " = " + shown + " " + why + "; the default applies");
    }
    reportPending();
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
    bool found = false;
    bool problems = false;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        refreshLocked(c);
        auto it = c.values.find({section, name});
        if (it != c.values.end()) {
            *value = it->second;
            found = true;
        }
        problems = !c.pending.empty();
    }
    if (problems) {
        reportPending();
    }
    return found;
}

bool settingNumber(const std::string& section, const std::string& name, long* value) {
    std::string text;
    if (!settingString(section, name, &text)) {
        return false;
    }
    if (text.empty()) {
        reportValue(section, name, text, "is empty, not a number");
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') {
        reportValue(section, name, text, "is not a whole number");
        return false;
    }
    if (errno == ERANGE) {
        reportValue(section, name, text, "is out of range");
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
    reportValue(section, name, text, "is not true/false, yes/no, on/off or 1/0");
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
    if (!bxrt::settingNumber(section, name, &v)) {
        return 0;
    }
    if (v < 0) {
        bxrt::reportValue(section, name, std::to_string(v), "is negative");
        return 0;
    }
    *value = static_cast<unsigned long>(v);
    return 1;
}
