// The host debug log. Every line carries the job id it is written for; lines
// above the configured level are dropped.
#pragma once

#include <string>

class HostDebug {
  public:
    HostDebug();
    // A named instance writes to its own file under the log directory when the
    // settings give one; the plug-in always uses the unnamed instance.
    explicit HostDebug(const char* fileInstance);

    void debugLvl(int level, long long jobId, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    int getDebugLevel() const;
    static std::string getHostName();

  private:
    std::string instance_;
};
