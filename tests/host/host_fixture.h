// A temporary directory for a host catalog and key, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace bxhosttest {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/bxso-host-test-XXXXXX";
        path_ = ::mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            int ignored = std::system(cmd.c_str());
            (void)ignored;
        }
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace bxhosttest
