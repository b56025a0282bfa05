#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include "host/strings.h"
#include "runtime/runtime.h"

std::string CWnString::Format(const std::string& tmpl, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(tmpl.size() + 64);
    size_t i = 0;
    while (i < tmpl.size()) {
        if (tmpl[i] == '{') {
            size_t j = i + 1;
            size_t n = 0;
            while (j < tmpl.size() && tmpl[j] >= '0' && tmpl[j] <= '9' && j - i < 6) {
                n = n * 10 + static_cast<size_t>(tmpl[j] - '0');
                ++j;
            }
            if (j > i + 1 && j < tmpl.size() && tmpl[j] == '}' && n >= 1 && n <= args.size()) {
                out += args[n - 1];
                i = j + 1;
                continue;
            }
        }
        out += tmpl[i++];
    }
    return out;
}

namespace HostStr {

std::string VFormat(const char* format, va_list args) {
    if (!format) {
        return std::string();
    }
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        va_copy(copy, args);
        std::vsnprintf(&text[0], text.size(), format, copy);
        va_end(copy);
        text.resize(static_cast<size_t>(needed));
    }
    return text;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    if (text.empty()) {
        return parts;
    }
    if (separator.empty()) {
        parts.push_back(text);
        return parts;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(separator, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + separator.size();
    }
    return parts;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) {
            out += separator;
        }
        out += parts[i];
    }
    return out;
}

}  // namespace HostStr

namespace {

struct SleeperSlot {
    std::mutex mutex;
    bxrt::Sleeper sleeper;
};

SleeperSlot& sleeperSlot() {
    static SleeperSlot slot;
    return slot;
}

}  // namespace

namespace bxrt {

void setSleeper(Sleeper sleeper) {
    auto& slot = sleeperSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.sleeper = std::move(sleeper);
}

}  // namespace bxrt

void WNSLEEP(long milliseconds) {
    bxrt::Sleeper sleeper;
    {
        auto& slot = sleeperSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        sleeper = slot.sleeper;
    }
    if (sleeper) {
        sleeper(milliseconds);
        return;
    }
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}
