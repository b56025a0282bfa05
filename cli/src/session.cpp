#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "fs_util.h"
#include "host_record.h"
#include "output.h"
#include "progress_board.h"

namespace bxhost {

namespace {

constexpr const char* kNotAvailableText = "Operation not available in this build";

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback);
}

}  // namespace

std::string defaultCatalogPath() {
    return envOr("BXSO_CATALOG", "/var/lib/bxso/catalog.db");
}

std::string defaultKeyPath() {
    return envOr("BXSO_HOST_KEY", "/etc/bxso/host.key");
}

Session::Session(GlobalOptions options) : options_(std::move(options)) {
    if (options_.catalogPath.empty()) {
        options_.catalogPath = defaultCatalogPath();
    }
    if (options_.keyPath.empty()) {
        options_.keyPath = defaultKeyPath();
    }
    if (!options_.settingsPath.empty()) {
        // The plug-in's runtime reads the same variable at every call.
        ::setenv(kSettingsEnv, options_.settingsPath.c_str(), 1);
    }
    settings_.load();
}

Session::~Session() = default;

bool Session::openCatalog(std::string* error) {
    const std::string hint = " (choose another place with --catalog or BXSO_CATALOG)";
    if (!makeDirs(dirName(options_.catalogPath), 0700, error)) {
        *error += hint;
        return false;
    }
    if (!catalog_.open(options_.catalogPath)) {
        *error = catalog_.error() + hint;
        return false;
    }
    return true;
}

bool Session::loadPlugin(std::string* error) {
    if (!plugin_.path().empty()) {
        return true;
    }
    if (!plugin_.load(options_.pluginPath)) {
        *error = plugin_.error();
        return false;
    }
    return true;
}

bool Session::loadKey(bool create, std::string* error) {
    std::lock_guard<std::mutex> lock(keyMutex_);
    if (key_.loaded()) {
        return true;
    }
    if (!key_.load(options_.keyPath, create)) {
        *error = key_.error();
        return false;
    }
    return true;
}

bool Session::decrypt(const std::string& encrypted, std::string* plain) {
    std::string error;
    if (!loadKey(false, &error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(keyMutex_);
    if (!key_.decrypt(encrypted, plain)) {
        return false;
    }
    redactor_.addSecret(*plain);
    return true;
}

std::string Session::encrypt(const std::string& plain, std::string* error) {
    if (!loadKey(true, error)) {
        return {};
    }
    std::lock_guard<std::mutex> lock(keyMutex_);
    std::string out = key_.encrypt(plain);
    if (out.empty()) {
        *error = key_.error();
    }
    return out;
}

bool Session::arrayConfig(int arrayNum, const std::string& key, std::string* value) {
    std::lock_guard<std::mutex> lock(configMutex_);
    auto cached = configCache_.find(arrayNum);
    if (cached == configCache_.end()) {
        std::map<std::string, std::string> values;
        for (const auto& row : catalog_.config(arrayNum)) {
            values[row.key] = row.value;
        }
        cached = configCache_.emplace(arrayNum, std::move(values)).first;
    }
    auto it = cached->second.find(key);
    if (it == cached->second.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

void Session::forgetArrayConfig() {
    std::lock_guard<std::mutex> lock(configMutex_);
    configCache_.clear();
}

void Session::hostLog(int64_t snapNum, int level, const std::string& prefix,
                      const std::string& text) {
    std::string clean = redactor_.apply(text);
    if (jobId_ > 0) {
        LogRow row;
        row.jobId = jobId_;
        row.level = level;
        row.prefix = prefix;
        row.text = clean;
        row.snapNum = snapNum;
        if (!catalog_.addLog(row)) {
            noteHostFailure("cannot store a job-log line: " + catalog_.error());
        }
    }
    if (options_.verbose) {
        std::lock_guard<std::mutex> lock(outputMutex_);
        std::fprintf(stderr, "  log <%d> %s\n", level, terminalText(prefix + clean).c_str());
    }
    if (board && snapNum > 0) {
        board->activity(snapNum);
    }
}

void Session::notifyStatus(const HostRecord& record, int status) {
    if (onStatus) {
        onStatus(record, status);
    }
}

void Session::noteHostFailure(const std::string& what) {
    std::lock_guard<std::mutex> lock(failureMutex_);
    if (hostFailure_.empty()) {
        hostFailure_ = what;
    }
}

CallOutcome Session::invoke(RecordsFn fn, const std::vector<HostRecord*>& records) {
    CallOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(failureMutex_);
        hostFailure_.clear();
    }
    if (records.empty() || records.size() > SHRT_MAX) {
        outcome.rc = 1;
        outcome.errorText = "a call takes 1 to " + std::to_string(SHRT_MAX) + " snapshots";
        return outcome;
    }
    std::vector<BXSO::SnapInfo*> pointers;
    for (HostRecord* r : records) {
        r->clearError();
        pointers.push_back(r);
    }
    forgetArrayConfig();
    HostUtil util(*this);
    outcome.rc = fn(pointers.data(), static_cast<short>(pointers.size()), &util);
    SnapRow first = records.front()->row();
    outcome.errorCode = first.errorCode;
    outcome.errorText = first.errorText;
    outcome.notAvailable =
        outcome.rc != 0 && outcome.errorText.find(kNotAvailableText) != std::string::npos;
    std::lock_guard<std::mutex> lock(failureMutex_);
    outcome.hostFailure = hostFailure_;
    return outcome;
}

}  // namespace bxhost
