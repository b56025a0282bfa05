// Host string formatters.
#pragma once

#include <cstdarg>
#include <initializer_list>
#include <string>
#include <vector>

// Positional templates: "{1}" ... "{n}" replaced by the n-th argument, as is.
class CWnString {
  public:
    static std::string Format(const std::string& tmpl, const std::vector<std::string>& args);
};

namespace HostStr {
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments already collected; args is left as va_copy found it.
std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::vector<std::string> Split(const std::string& text, const std::string& separator);
std::string Join(const std::vector<std::string>& parts, const std::string& separator);
}  // namespace HostStr

void WNSLEEP(long milliseconds);
