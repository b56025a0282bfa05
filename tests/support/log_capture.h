// Captures the debug log while alive: every line that passes the level filter
// is kept for assertions. The level is forced for the capture's lifetime.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace bxtest {

struct DebugLine {
    int level;
    long long jobId;
    std::string text;
};

class LogCapture {
  public:
    explicit LogCapture(int level = 9);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Another level from now on (fixtures that share a capture pick their own).
    void setLevel(int level);

    std::vector<DebugLine> lines() const;
    // True when some line at this level contains the text (any level when -100).
    bool contains(const std::string& text, int level = -100) const;
    bool containsExact(const std::string& text, int level) const;
    size_t count(const std::string& text) const;
    // Index of the first line containing text, or -1.
    long indexOf(const std::string& text) const;
    std::string all() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<DebugLine> lines_;
};

}  // namespace bxtest
