#include "ops/measure.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace opsbench {

namespace {

double processCpuSeconds() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Nanosecond run time from schedstat; clock ticks from stat where schedstat
// is not compiled into the kernel.
double threadCpuSeconds(pid_t tid) {
    const std::string dir = "/proc/self/task/" + std::to_string(tid);
    std::ifstream sched(dir + "/schedstat");
    unsigned long long ns = 0;
    if (sched >> ns) {
        return static_cast<double>(ns) / 1e9;
    }
    std::ifstream stat(dir + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return 0;
    }
    // Fields after the parenthesised name; utime and stime are the 14th and 15th.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::map<pid_t, double> otherThreadsCpu() {
    std::map<pid_t, double> out;
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    DIR* dir = opendir("/proc/self/task");
    if (!dir) {
        return out;
    }
    while (dirent* entry = readdir(dir)) {
        pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (tid > 0 && tid != self) {
            out[tid] = threadCpuSeconds(tid);
        }
    }
    closedir(dir);
    return out;
}

long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return 0;
}

// Writing 5 to clear_refs resets the peak resident set (VmHWM) to the current one.
bool resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

void CostMeter::start() {
    cost_ = Cost{};
    // Freed heap pages go back first, so that the resident set at the start is
    // what is live and not what earlier calls left in the allocator's caches.
    malloc_trim(0);
    cost_.peakIsProcessLifetime = !resetPeakRss();
    cost_.rssStartKiB = statusKiB("VmRSS");
    threadCpuAtStart_ = otherThreadsCpu();
    processCpuAtStart_ = processCpuSeconds();
    wallAtStart_ = std::chrono::steady_clock::now();
}

Cost CostMeter::stop() {
    auto wall = std::chrono::steady_clock::now();
    double cpu = processCpuSeconds();
    std::map<pid_t, double> after = otherThreadsCpu();
    cost_.wallSeconds = std::chrono::duration<double>(wall - wallAtStart_).count();
    cost_.cpuSeconds = cpu - processCpuAtStart_;
    for (const auto& t : threadCpuAtStart_) {
        auto it = after.find(t.first);
        if (it != after.end() && it->second > t.second) {
            cost_.emulatorCpuSeconds += it->second - t.second;
        }
    }
    cost_.peakRssKiB = statusKiB("VmHWM");
    return cost_;
}

}  // namespace opsbench
