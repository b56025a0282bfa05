#include "redact.h"

#include <cctype>
#include <sstream>

namespace bxhost {

namespace {

constexpr size_t kMinSecretLength = 6;
constexpr size_t kMinPemLineLength = 16;

bool tokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '~' ||
           c == '+' || c == '/' || c == '=' || c == '-';
}

// Each "-----BEGIN ...PRIVATE KEY-----" block, up to its END line or the end
// of the text when it was cut.
void maskPemBlocks(std::string* text) {
    const std::string begin = "-----BEGIN ";
    const std::string keyTail = "PRIVATE KEY-----";
    for (size_t pos = text->find(begin); pos != std::string::npos;
         pos = text->find(begin, pos + 1)) {
        size_t tail = text->find(keyTail, pos);
        size_t lineEnd = text->find('\n', pos);
        if (tail == std::string::npos || (lineEnd != std::string::npos && tail > lineEnd)) {
            continue;
        }
        size_t end = text->find("-----END ", tail);
        if (end != std::string::npos) {
            size_t close = text->find(keyTail, end);
            end = close == std::string::npos ? std::string::npos : close + keyTail.size();
        }
        size_t length = end == std::string::npos ? std::string::npos : end - pos;
        text->replace(pos, length, kMask);
    }
}

// The value after a name: `name value`, `"name":"value"`, `name=value`.
void maskValuesAfter(std::string* text, const std::string& name, bool ignoreCase,
                     const std::string& separators) {
    std::string haystack = *text;
    if (ignoreCase) {
        for (auto& c : haystack) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    std::string out;
    size_t copied = 0;
    for (size_t pos = haystack.find(name); pos != std::string::npos;
         pos = haystack.find(name, pos + 1)) {
        size_t v = pos + name.size();
        while (v < haystack.size() && (separators.find(haystack[v]) != std::string::npos)) {
            ++v;
        }
        if (v == pos + name.size() || v < copied) {
            continue;  // the name alone, or inside a value already masked
        }
        size_t end = v;
        while (end < haystack.size() && tokenChar(haystack[end])) {
            ++end;
        }
        if (end == v) {
            continue;
        }
        out += text->substr(copied, v - copied) + kMask;
        copied = end;
        pos = end - 1;
    }
    if (copied > 0) {
        *text = out + text->substr(copied);
    }
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
    std::string out = text;
    maskPemBlocks(&out);
    maskValuesAfter(&out, "bearer", true, " \t");
    for (const char* field :
         {"access_token", "id_token", "refresh_token", "assertion", "private_key"}) {
        maskValuesAfter(&out, field, false, "\": =");
    }
    return out;
}

}  // namespace bxhost
