#include "fuzz_env.h"

#include <cstdlib>

#include "runtime/runtime.h"

namespace bxfuzz {

void quietRuntime() {
    ::setenv(bxrt::kSettingsEnv, "/nonexistent/bxso-fuzz.ini", 1);
    bxrt::reloadSettings();
    bxrt::setDebugLevelOverride(9);
    bxrt::setDebugSink([](int, long long, const std::string&) {});
}

Input::Input(const uint8_t* data, size_t size, size_t count) {
    size_t n = size < count ? size : count;
    head.assign(data, data + n);
    head.resize(count, 0);
    body.assign(reinterpret_cast<const char*>(data) + n, size - n);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
}

std::pair<std::string, std::string> keyValue(const std::string& line) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
        return {line, ""};
    }
    return {line.substr(0, eq), line.substr(eq + 1)};
}

}  // namespace bxfuzz
