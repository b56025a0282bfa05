#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "host/debug_log.h"
#include "host/strings.h"
#include "runtime/runtime.h"

namespace bxrt {
namespace {

constexpr int kDefaultLevel = 3;

struct LogState {
    std::mutex mutex;
    DebugSink sink;
    std::atomic<int> levelOverride{-100};
    std::string openPath;
    FILE* file = nullptr;

    ~LogState() {
        if (file) {
            std::fclose(file);
        }
    }
};

LogState& state() {
    static LogState s;
    return s;
}

int configuredLevel() {
    int forced = state().levelOverride.load(std::memory_order_relaxed);
    if (forced > -100) {
        return forced;
    }
    long level = kDefaultLevel;
    settingNumber("Log", "Level", &level);
    return static_cast<int>(level);
}

std::string timeStamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    struct tm tmv {};
    gmtime_r(&secs, &tmv);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tmv.tm_year + 1900,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<int>(ms.count()));
    return buf;
}

// Writes to the configured file, or stderr when none is set or it cannot be
// opened; the file is reopened when the setting changes.
void writeDefault(LogState& s, int level, long long jobId, const std::string& text) {
    std::string path;
    settingString("Log", "File", &path);
    if (path != s.openPath) {
        if (s.file) {
            std::fclose(s.file);
            s.file = nullptr;
        }
        s.openPath = path;
        if (!path.empty()) {
            s.file = std::fopen(path.c_str(), "a");
        }
    }
    FILE* out = s.file ? s.file : stderr;
    std::fprintf(out, "%s %s [%lld] <%d> %s\n", timeStamp().c_str(),
                 HostDebug::getHostName().c_str(), jobId, level, text.c_str());
    std::fflush(out);
}

}  // namespace

void setDebugSink(DebugSink sink) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sink = std::move(sink);
}

void setDebugLevelOverride(int level) {
    state().levelOverride.store(level < 0 ? -100 : level, std::memory_order_relaxed);
}

}  // namespace bxrt

HostDebug::HostDebug() = default;

HostDebug::HostDebug(const char* fileInstance) : instance_(fileInstance ? fileInstance : "") {}

int HostDebug::getDebugLevel() const {
    return bxrt::configuredLevel();
}

void HostDebug::debugLvl(int level, long long jobId, const char* format, ...) {
    if (!format || level > bxrt::configuredLevel()) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = HostStr::VFormat(format, args);
    va_end(args);

    auto& s = bxrt::state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink) {
        s.sink(level, jobId, text);
    } else {
        bxrt::writeDefault(s, level, jobId, text);
    }
}

std::string HostDebug::getHostName() {
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf - 1) != 0) {
        return "localhost";
    }
    return buf;
}
