// doctor: the settings file. Each key the plug-in reads is checked the way the
// plug-in reads it; a value it would ignore (and silently take the default
// for) is a failure here, because what the operator meant does not happen.
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "doctor.h"
#include "fs_util.h"
#include "settings_view.h"

namespace bxhost {

namespace {

enum class Kind { Number, Boolean, HostPort, HttpsUrl, ReadableFile, Directory, LogFile, Backend };

struct KnownSetting {
    const char* section;
    const char* key;
    Kind kind;
    long min;
    long max;
};

// What the plug-in reads (docs/configuration.md). Numbers are read with
// strtol base 0, so "0x10" is a number too.
const KnownSetting kKnownSettings[] = {
    {"Log", "Level", Kind::Number, -1, 9},
    {"Log", "File", Kind::LogFile, 0, 0},
    {"Base", "dBASEHOME", Kind::Directory, 0, 0},
    {"~MoverNode", "bGCPSkipSnapCreationStatusCheck", Kind::Boolean, 0, 0},
    {"~MoverNode", "nGCPSnapStatusCheckRetryCount", Kind::Number, 1, 1000000},
    {"~MoverNode", "nGCPSnapStatusCheckRetryIntervalInMilliseconds", Kind::Number, 0, 3600000},
    {"Gcp", "ComputeHost", Kind::HostPort, 0, 0},
    {"Gcp", "TokenUrl", Kind::HttpsUrl, 0, 0},
    {"Gcp", "MetadataHost", Kind::HostPort, 0, 0},
    {"Gcp", "CaBundle", Kind::ReadableFile, 0, 0},
    {"Gcp", "ConnectTimeoutMs", Kind::Number, 1, 3600000},
    {"Gcp", "TimeoutMs", Kind::Number, 1, 86400000},
    {"Gcp", "MaxResponseBytes", Kind::Number, 1024, 1L << 30},
    {"Devices", "Backend", Kind::Backend, 0, 0},
    {"Devices", "EmulatorUrl", Kind::HttpsUrl, 0, 0},
    {"Devices", "CaBundle", Kind::ReadableFile, 0, 0},
};

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// "https://host:port/" -> "host:port", as the plug-in takes a host setting.
std::string hostOnly(std::string value) {
    value = trimmed(value);
    size_t scheme = value.find("://");
    if (scheme != std::string::npos) {
        value.erase(0, scheme + 3);
    }
    while (!value.empty() && value.back() == '/') {
        value.pop_back();
    }
    return value;
}

bool parseNumber(const std::string& text, long* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE) {
        return false;
    }
    *value = v;
    return true;
}

bool parseBoolean(const std::string& text) {
    for (const char* word : {"1", "true", "yes", "on", "0", "false", "no", "off"}) {
        if (strcasecmp(text.c_str(), word) == 0) {
            return true;
        }
    }
    return false;
}

bool knownSection(const std::string& section) {
    for (const auto& k : kKnownSettings) {
        if (section == k.section) {
            return true;
        }
    }
    return false;
}

// Why a value is unusable, or empty when it is fine.
std::string problemWith(const KnownSetting& k, const std::string& raw, std::string* fix) {
    const std::string value = trimmed(raw);
    switch (k.kind) {
        case Kind::Number: {
            long v = 0;
            if (!parseNumber(value, &v)) {
                *fix = "write a whole number from " + std::to_string(k.min) + " to " +
                       std::to_string(k.max) + ", or remove the line for the default";
                return "is not a whole number; the plug-in ignores it and takes its default";
            }
            if (v < k.min || v > k.max) {
                *fix =
                    "write a number from " + std::to_string(k.min) + " to " + std::to_string(k.max);
                return "is out of range (" + std::to_string(k.min) + " to " +
                       std::to_string(k.max) + ")";
            }
            return "";
        }
        case Kind::Boolean:
            if (!parseBoolean(value)) {
                *fix = "write true or false";
                return "is not true/false, yes/no, on/off or 1/0; the default applies";
            }
            return "";
        case Kind::HostPort:
            if (hostOnly(value).empty() || hostOnly(value).find('/') != std::string::npos) {
                *fix = "write HOST or HOST:PORT";
                return "is not a host name with an optional port";
            }
            return "";
        case Kind::HttpsUrl:
            if (value.rfind("https://", 0) != 0 || value.size() <= 8) {
                *fix = "write an https:// URL";
                return "is not an https:// URL";
            }
            return "";
        case Kind::ReadableFile:
            if (::access(value.c_str(), R_OK) != 0) {
                *fix =
                    "name a readable PEM file of certificate authorities, or remove the line "
                    "to use the system's trust store";
                return "cannot be read (" + std::string(std::strerror(errno)) +
                       "): every HTTPS connection would fail";
            }
            return "";
        case Kind::Directory: {
            struct stat st {};
            if (::stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                *fix =
                    "name the installation's base directory (PKCS#12 keys live in "
                    "<base>/certificates/external/)";
                return "is not a directory";
            }
            return "";
        }
        case Kind::LogFile: {
            struct stat st {};
            if (::stat(value.c_str(), &st) == 0) {
                if (!S_ISREG(st.st_mode) || ::access(value.c_str(), W_OK) != 0) {
                    *fix = "make it a file the backup agent's user may write";
                    return "is not a writable file";
                }
                return "";
            }
            std::string dir = dirName(value);
            if (::access(dir.c_str(), W_OK | X_OK) != 0) {
                *fix = "create the directory: mkdir -p " + dir;
                return "cannot be created (" + dir + ": " + std::strerror(errno) + ")";
            }
            return "";
        }
        case Kind::Backend:
            if (value != "linux" && value != "emulator") {
                *fix = "write linux (this machine's devices) or emulator";
                return "is not linux or emulator: every device call would fail";
            }
            return "";
    }
    return "";
}

}  // namespace

GcpEndpoints endpointsFrom(const SettingsView& settings) {
    GcpEndpoints e;
    auto text = [&settings](const char* key, const char* fallback) {
        std::string v = trimmed(settings.get("Gcp", key));
        return v.empty() ? std::string(fallback) : v;
    };
    auto number = [&settings](const char* key, long fallback) {
        long v = 0;
        return parseNumber(trimmed(settings.get("Gcp", key)), &v) && v > 0 ? v : fallback;
    };
    e.computeHost = hostOnly(text("ComputeHost", "compute.googleapis.com"));
    e.tokenUrl = text("TokenUrl", "https://oauth2.googleapis.com/token");
    e.metadataHost = hostOnly(text("MetadataHost", "metadata.google.internal"));
    const char* env = std::getenv("GCE_METADATA_HOST");
    if (env && !hostOnly(env).empty()) {
        e.metadataHost = hostOnly(env);
        e.metadataFromEnvironment = true;
    }
    e.caBundle = trimmed(settings.get("Gcp", "CaBundle"));
    e.connectTimeoutMs = number("ConnectTimeoutMs", e.connectTimeoutMs);
    e.timeoutMs = number("TimeoutMs", e.timeoutMs);
    e.maxResponseBytes =
        static_cast<size_t>(number("MaxResponseBytes", static_cast<long>(e.maxResponseBytes)));
    return e;
}

void checkSettings(const SettingsView& settings, DoctorReport* report) {
    const std::string path = settings.path();
    if (!settings.fileFound()) {
        report->add(
            "settings", Verdict::Warn, "no settings file at " + path + ": every default applies",
            "install the commented sample as " + path + " (the package does) and set [Log] File");
    } else if (!settings.problems().empty()) {
        std::string all;
        for (const auto& p : settings.problems()) {
            all += (all.empty() ? "" : "; ") + p;
        }
        report->add("settings", Verdict::Fail, all,
                    "mend those lines: the plug-in skips them and bxso-host does not start");
    } else {
        report->add("settings", Verdict::Ok,
                    path + ": " + std::to_string(settings.values().size()) + " value(s) read");
    }
    std::set<std::pair<std::string, std::string>> known;
    for (const auto& k : kKnownSettings) {
        known.insert({k.section, k.key});
        std::string value = settings.get(k.section, k.key);
        if (!settings.values().count({k.section, k.key})) {
            continue;
        }
        std::string fix;
        std::string why = problemWith(k, value, &fix);
        if (!why.empty()) {
            // Some values are secret-free by construction (numbers, paths,
            // hosts); they are quoted so the operator sees what was read.
            report->add("settings [" + std::string(k.section) + "] " + k.key, Verdict::Fail,
                        "[" + value + "] " + why, fix);
        }
    }
    // The file may hold the backup agent's own sections; only the plug-in's
    // sections are the plug-in's business.
    for (const auto& v : settings.values()) {
        if (knownSection(v.first.first) && !known.count(v.first)) {
            report->add("settings [" + v.first.first + "] " + v.first.second, Verdict::Warn,
                        "is not a key the plug-in reads (a misspelling?)",
                        "see docs/configuration.md for the keys of [" + v.first.first + "]");
        }
    }
    if (settings.get("Devices", "Backend") == "emulator" &&
        trimmed(settings.get("Devices", "EmulatorUrl")).empty()) {
        report->add("settings [Devices] EmulatorUrl", Verdict::Fail,
                    "Backend = emulator needs the emulator's https://HOST:PORT",
                    "set [Devices] EmulatorUrl, or Backend = linux on a real VM");
    }
    std::string logFile = trimmed(settings.get("Log", "File"));
    long level = 3;
    parseNumber(trimmed(settings.get("Log", "Level")), &level);
    if (logFile.empty()) {
        report->add("log", Verdict::Warn,
                    "the plug-in's debug log goes to the backup agent's standard error (level " +
                        std::to_string(level) + ")",
                    "set [Log] File, e.g. /var/log/bxso/bxso-gcp.log");
    } else {
        report->add("log", Verdict::Ok,
                    "debug log " + logFile + " (level " + std::to_string(level) +
                        "); each job's lines also go to the catalog: bxso-host log JOB");
    }
}

}  // namespace bxhost
