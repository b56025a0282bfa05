#include "rest/secret_mask.h"

#include <cctype>
#include <cstring>

namespace bxrest {
namespace {

const char* const kJsonKeys[] = {"access_token", "password",      "id_token", "refresh_token",
                                 "private_key",  "client_secret", "assertion"};
const char* const kFormFields[] = {"assertion=", "password=", "client_secret="};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void fill(std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to && i < text.size(); ++i) {
        text[i] = '*';
    }
}

// Masks the value that follows a JSON member name ending at q (just past the
// name's characters). escaped: the member sits inside a JSON string, so its
// quotes appear as \".
void maskJsonValue(std::string& text, size_t q, bool escaped) {
    size_t n = text.size();
    while (q < n && isBlank(text[q])) {
        ++q;
    }
    if (q >= n || text[q] != ':') {
        return;
    }
    ++q;
    while (q < n && isBlank(text[q])) {
        ++q;
    }
    if (q >= n) {
        return;
    }
    if (escaped && text.compare(q, 2, "\\\"") == 0) {
        size_t close = text.find("\\\"", q + 2);
        fill(text, q, close == std::string::npos ? n : close + 2);
        return;
    }
    if (text[q] == '"') {
        size_t i = q + 1;
        while (i < n && text[i] != '"') {
            i += text[i] == '\\' ? 2 : 1;
        }
        fill(text, q, i < n ? i + 1 : n);
        return;
    }
    if (text[q] == '{' || text[q] == '[') {
        return;  // a container is no credential value
    }
    size_t end = q;
    while (end < n && !std::strchr(",}] \t\r\n\\", text[end])) {
        ++end;
    }
    fill(text, q, end);
}

void maskJsonMembers(std::string& text, const char* key) {
    size_t keyLen = std::strlen(key);
    for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1)) {
        if (pos == 0 || text[pos - 1] != '"') {
            continue;
        }
        size_t q = pos + keyLen;
        if (q < text.size() && text[q] == '"') {
            bool escaped = pos >= 2 && text[pos - 2] == '\\';
            maskJsonValue(text, q + 1, escaped);
        } else if (text.compare(q, 2, "\\\"") == 0) {
            maskJsonValue(text, q + 2, true);
        }
    }
}

void maskFormFields(std::string& text, const char* field) {
    size_t len = std::strlen(field);
    for (size_t pos = text.find(field); pos != std::string::npos; pos = text.find(field, pos + 1)) {
        if (pos != 0 && !std::strchr("&?[ \t\r\n", text[pos - 1])) {
            continue;
        }
        size_t end = pos + len;
        while (end < text.size() && !std::strchr("&\"] \t\r\n", text[end])) {
            ++end;
        }
        fill(text, pos + len, end);
    }
}

bool isJwtChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '=' ||
           c == '.';
}

// A signed JWT wherever it appears (it begins with the base64url of '{"').
void maskJwts(std::string& text) {
    for (size_t pos = text.find("eyJ"); pos != std::string::npos; pos = text.find("eyJ", pos + 1)) {
        size_t end = pos;
        int dots = 0;
        while (end < text.size() && isJwtChar(text[end])) {
            dots += text[end] == '.';
            ++end;
        }
        if (dots >= 2) {
            fill(text, pos, end);
        }
        // Any later "eyJ" inside this run ends where it does with no more
        // dots: skipping the run keeps a long run of token characters linear.
        pos = end;
    }
}

}  // namespace

std::string maskSecrets(const std::string& text) {
    std::string out = text;
    for (const char* key : kJsonKeys) {
        maskJsonMembers(out, key);
    }
    for (const char* field : kFormFields) {
        maskFormFields(out, field);
    }
    maskJwts(out);
    return out;
}

std::string maskedForLog(const std::string& body) {
    constexpr size_t kLoggedBytes = 16 * 1024;
    std::string masked = maskSecrets(body);
    if (masked.size() <= kLoggedBytes) {
        return masked;
    }
    masked.resize(kLoggedBytes);
    return masked + " ... [" + std::to_string(body.size()) + " bytes in all]";
}

}  // namespace bxrest
