// Temporary directories and whole-file reads for tests that write keys,
// settings, catalogs or logs to disk.
#pragma once

#include <string>
#include <vector>

namespace bxtest {

// A directory removed with its content at destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "bxso-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes name (created or truncated) and returns its path; "" when it cannot be written.
    std::string write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

// The whole content of a file; "" when it cannot be read.
std::string readFile(const std::string& path);

// text cut at every sep (n separators give n + 1 parts).
std::vector<std::string> split(const std::string& text, char sep);

}  // namespace bxtest
