#include "redact.h"

#include <regex>
#include <sstream>

namespace bxhost {

namespace {

constexpr size_t kMinSecretLength = 6;
constexpr size_t kMinPemLineLength = 16;

const std::regex& pemBlock() {
    static const std::regex re(
        "-----BEGIN ([A-Z ]*)PRIVATE KEY-----[\\s\\S]*?(-----END [A-Z ]*PRIVATE KEY-----|$)");
    return re;
}

const std::regex& bearer() {
    static const std::regex re("(Bearer\\s+)[A-Za-z0-9._~+/=-]+", std::regex::icase);
    return re;
}

const std::regex& tokenField() {
    static const std::regex re(
        "(\"?(access_token|id_token|refresh_token|assertion|private_key)\"?\\s*[:=]\\s*\"?)"
        "[^\"&\\s,}]+");
    return re;
}

}  // namespace

void Redactor::addSecret(const std::string& secret) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (secret.size() >= kMinSecretLength) {
        secrets_.insert(secret);
    }
    if (secret.find("-----BEGIN") == std::string::npos) {
        return;
    }
    std::istringstream lines(secret);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line.size() >= kMinPemLineLength && line.compare(0, 5, "-----") != 0) {
            secrets_.insert(line);
        }
    }
}

std::string Redactor::apply(const std::string& text) const {
    std::string out = text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Longest first, so a whole key is masked before its lines are.
        std::multiset<std::pair<size_t, const std::string*>> bySize;
        for (const auto& s : secrets_) {
            bySize.insert({s.size(), &s});
        }
        for (auto it = bySize.rbegin(); it != bySize.rend(); ++it) {
            const std::string& s = *it->second;
            for (size_t pos = out.find(s); pos != std::string::npos;
                 pos = out.find(s, pos + std::char_traits<char>::length(kMask))) {
                out.replace(pos, s.size(), kMask);
            }
        }
    }
    return maskCredentialPatterns(out);
}

std::string maskCredentialPatterns(const std::string& text) {
    if (text.find("PRIVATE KEY") == std::string::npos &&
        text.find("earer") == std::string::npos && text.find("token") == std::string::npos &&
        text.find("assertion") == std::string::npos &&
        text.find("private_key") == std::string::npos) {
        return text;  // the common case: no regex work
    }
    std::string out = std::regex_replace(text, pemBlock(), kMask);
    out = std::regex_replace(out, bearer(), std::string("$1") + kMask);
    out = std::regex_replace(out, tokenField(), std::string("$1") + kMask);
    return out;
}

}  // namespace bxhost
