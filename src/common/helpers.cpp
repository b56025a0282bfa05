#include "common/helpers.h"

#include <openssl/crypto.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>

void strToLowerCase(std::string& text) {
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

bool strCompare(const std::string& a, const std::string& b, bool ignoreCase) {
    return strCompare(a.c_str(), b.c_str(), ignoreCase);
}

bool strCompare(const char* a, const char* b, bool ignoreCase) {
    if (!a || !b) {
        return a == b;
    }
    return ignoreCase ? ::strcasecmp(a, b) == 0 : std::strcmp(a, b) == 0;
}

void extractLastPartOfUrl(const std::string& url, std::string& out) {
    size_t p = url.rfind('/');
    out = (p == std::string::npos) ? url : url.substr(p + 1);
}

void extractLastNthPartOfURL(const std::string& url, int32_t n, std::string& out) {
    size_t p = url.rfind('/');
    size_t end = url.size();  // one past the segment's last character
    while (p != std::string::npos && --n > 0) {
        end = p;
        p = (p == 0) ? std::string::npos : url.rfind('/', p - 1);
    }
    out = (p == std::string::npos) ? url : url.substr(p + 1, end - (p + 1));
}

void convertByteToStringHex(unsigned char byte, char* out) {
    if (out) {
        std::snprintf(out, 4, "%.2xh", static_cast<unsigned>(byte));
    }
}

int64_t getCurTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::string getFormattedDateTimeStr(const int64_t& seconds, const std::string& format) {
    std::time_t t = static_cast<std::time_t>(seconds);
    struct tm local {};
    localtime_r(&t, &local);
    std::ostringstream os;
    os << std::put_time(&local, format.c_str());
    return os.str();
}

std::string urlEncode(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

void wipeSecret(std::string& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(&secret[0], secret.size());
    }
    secret.clear();
}
