#include "log_capture.h"

#include "runtime/runtime.h"

namespace bxtest {

LogCapture::LogCapture(int level) {
    bxrt::setDebugLevelOverride(level);
    bxrt::setDebugSink([this](int lvl, long long job, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({lvl, job, text});
    });
}

LogCapture::~LogCapture() {
    bxrt::setDebugSink(nullptr);
    bxrt::setDebugLevelOverride(-1);
}

void LogCapture::setLevel(int level) {
    bxrt::setDebugLevelOverride(level);
}

std::vector<DebugLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& text, int level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
        if ((level == -100 || l.level == level) && l.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool LogCapture::containsExact(const std::string& text, int level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
        if (l.level == level && l.text == text) {
            return true;
        }
    }
    return false;
}

size_t LogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& l : lines_) {
        if (l.text.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

long LogCapture::indexOf(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].text.find(text) != std::string::npos) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::string LogCapture::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) {
        out += std::to_string(l.level) + " " + l.text + "\n";
    }
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace bxtest
