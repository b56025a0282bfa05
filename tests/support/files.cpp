#include "support/files.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace bxtest {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    const char* made = ::mkdtemp(&tmpl[0]);
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
    if (path_ != "/tmp") {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    return out ? file(name) : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t pos; (pos = text.find(sep, start)) != std::string::npos; start = pos + 1) {
        parts.push_back(text.substr(start, pos - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

}  // namespace bxtest
