#include <fcntl.h>
#include <sys/stat.h>
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

// The log holds project ids and whole REST exchanges: it is created readable
// by its owner only, and a file of ours that others could read is tightened.
// Devices such as /dev/stderr are left as they are.
FILE* openLogFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) != 0) {
        // Best effort: a log that stays readable still beats no log.
        (void)::fchmod(fd, st.st_mode & 0700);
    }
    FILE* file = ::fdopen(fd, "a");
    if (!file) {
        ::close(fd);
    }
    return file;
}

// Writes to the configured file, or stderr when none is set or it cannot be
// opened; the file is reopened when the setting changes. The path is looked
// up by the caller before it takes the log's lock: a lookup may log problems
// of the settings file itself.
void writeDefault(LogState& s, const std::string& path, int level, long long jobId,
                  const std::string& text) {
    if (path != s.openPath) {
        if (s.file) {
            std::fclose(s.file);
            s.file = nullptr;
        }
        s.openPath = path;
        if (!path.empty()) {
            s.file = openLogFile(path);
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

    std::string path;
    bxrt::settingString("Log", "File", &path);
    auto& s = bxrt::state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink) {
        s.sink(level, jobId, text);
    } else {
        bxrt::writeDefault(s, path, level, jobId, text);
    }
}

std::string HostDebug::getHostName() {
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf - 1) != 0) {
        return "localhost";
    }
    return buf;
}
