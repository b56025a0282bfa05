// Keeps secrets out of what the host stores and prints: every job-log line and
// error text passes through here before it reaches the catalog or a terminal.
// The plug-in masks what it logs; this is the host's own guard on top of that.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace bxhost {

constexpr const char* kMask = "******";

class Redactor {
  public:
    // Remembers a secret the host has handed out in clear (a decrypted
    // password or key). A PEM key is also remembered line by line, so that a
    // line of it quoted alone is caught too. Very short texts are ignored:
    // masking them would mangle ordinary words.
    void addSecret(const std::string& secret);
    std::string apply(const std::string& text) const;

  private:
    mutable std::mutex mutex_;
    std::set<std::string> secrets_;
};

// Masks what looks like a credential whatever its origin: PEM private-key
// blocks, bearer tokens, OAuth access tokens and JWT assertions.
std::string maskCredentialPatterns(const std::string& text);

}  // namespace bxhost
