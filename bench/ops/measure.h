// What one call costs the process: wall time, CPU time (getrusage) split into
// the in-process emulator's server threads and the rest (the plug-in, its
// worker threads and the host fakes), and the peak resident set.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>

namespace opsbench {

struct Cost {
    double wallSeconds = 0;
    double cpuSeconds = 0;          // whole process, user + system (getrusage)
    double emulatorCpuSeconds = 0;  // the emulator's threads that existed before the call
    double pluginCpuSeconds() const {
        return cpuSeconds > emulatorCpuSeconds ? cpuSeconds - emulatorCpuSeconds : 0;
    }
    long rssStartKiB = 0;                // resident set when the call began
    long peakRssKiB = 0;                 // high-water mark during the call (reset at its start)
    bool peakIsProcessLifetime = false;  // the kernel refused the reset
};

// Brackets one call. Threads alive at start() other than the calling one are
// taken to be the emulator's: the plug-in starts its workers inside the call
// and joins them before it returns.
class CostMeter {
  public:
    void start();
    Cost stop();

  private:
    std::map<pid_t, double> threadCpuAtStart_;
    double processCpuAtStart_ = 0;
    std::chrono::steady_clock::time_point wallAtStart_;
    Cost cost_;
};

}  // namespace opsbench
