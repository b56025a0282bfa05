#include "util.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>
// GCC 12 reports a false "may be used uninitialized" inside <regex> at -O1 with sanitizers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include "crypto.h"

namespace gce::util {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string rfc3339(int64_t ms) {
    time_t secs = static_cast<time_t>(ms / 1000) - 7 * 3600;
    struct tm tmv;
    gmtime_r(&secs, &tmv);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d-07:00", tmv.tm_year + 1900,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

namespace {
uint64_t random64() {
    std::string b = crypto::randomBytes(8);
    uint64_t v = 0;
    for (unsigned char c : b) {
        v = (v << 8) | c;
    }
    return v;
}

bool idInUse(const World& w, const std::string& id) {
    for (const auto& kv : w.disks) {
        if (kv.second.id == id)
            return true;
    }
    for (const auto& kv : w.snapshots) {
        if (kv.second.id == id)
            return true;
    }
    for (const auto& kv : w.instances) {
        if (kv.second.id == id)
            return true;
    }
    for (const auto& kv : w.operations) {
        if (kv.second.id == id)
            return true;
    }
    return false;
}
}  // namespace

std::string newId(World& w) {
    for (;;) {
        // 19 digits, above 2^62 like real ids, below INT64_MAX so every client can parse it.
        uint64_t v = 4611686018427387904ULL + random64() % 4611686018427387000ULL;
        std::string id = std::to_string(v);
        ++w.idCounter;
        if (!idInUse(w, id)) {
            return id;
        }
    }
}

std::string newOperationName(int64_t ms) {
    std::string r = crypto::hex(crypto::randomBytes(15));
    return "operation-" + std::to_string(ms) + "-" + r.substr(0, 13) + "-" + r.substr(13, 8) + "-" +
           r.substr(21, 8);
}

std::string newToken() {
    return "ya29.c." + crypto::base64Url(crypto::randomBytes(96));
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 63 || name[0] < 'a' || name[0] > 'z') {
        return false;
    }
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    return name.back() != '-';
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) {
            j = path.size();
        }
        if (j > i) {
            out.push_back(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return out;
}

std::string lastSegment(const std::string& url) {
    std::string s = url;
    while (!s.empty() && s.back() == '/') {
        s.pop_back();
    }
    size_t p = s.rfind('/');
    return p == std::string::npos ? s : s.substr(p + 1);
}

bool globMatch(const std::string& p, const std::string& t) {
    size_t pi = 0, ti = 0, star = std::string::npos, mark = 0;
    while (ti < t.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == t[ti])) {
            ++pi;
            ++ti;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ti;
        } else if (star != std::string::npos) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') {
        ++pi;
    }
    return pi == p.size();
}

bool patternMatch(const std::string& pattern, const std::string& text) {
    if (pattern.rfind("re:", 0) == 0) {
        try {
            return std::regex_search(text, std::regex(pattern.substr(3)));
        } catch (const std::regex_error&) {
            return false;
        }
    }
    return globMatch(pattern, text);
}

std::string labelFingerprint(const Json& labels) {
    if (!labels.is_object() || labels.empty()) {
        return "42WmSpB8rSM=";
    }
    std::string text;
    std::map<std::string, std::string> sorted;
    for (auto it = labels.begin(); it != labels.end(); ++it) {
        sorted[it.key()] =
            it.value().is_string() ? it.value().get<std::string>() : it.value().dump();
    }
    for (const auto& kv : sorted) {
        text += kv.first + "=" + kv.second + ";";
    }
    return crypto::base64(crypto::sha256(text).substr(0, 8));
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string refToPath(const std::string& ref, const std::string& project) {
    std::string s = ref;
    if (s.rfind("https://", 0) == 0 || s.rfind("http://", 0) == 0) {
        size_t p = s.find("/compute/");
        if (p == std::string::npos) {
            return "";
        }
        size_t v = s.find('/', p + 9);  // after "/compute/v1"
        if (v == std::string::npos) {
            return "";
        }
        s = s.substr(v + 1);
    }
    while (!s.empty() && s.front() == '/') {
        s.erase(0, 1);
    }
    while (!s.empty() && s.back() == '/') {
        s.pop_back();
    }
    if (s.rfind("projects/", 0) == 0) {
        return s;
    }
    if (s.rfind("zones/", 0) == 0 || s.rfind("regions/", 0) == 0 || s.rfind("global/", 0) == 0) {
        return "projects/" + project + "/" + s;
    }
    return "";
}

std::string urlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (s[i] == '+') {
            out += ' ';
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> parseForm(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t i = 0;
    while (i <= body.size()) {
        size_t j = body.find('&', i);
        if (j == std::string::npos) {
            j = body.size();
        }
        std::string kv = body.substr(i, j - i);
        if (!kv.empty()) {
            size_t eq = kv.find('=');
            // Values may carry unencoded '=' (padded base64url); only the first one separates.
            if (eq == std::string::npos) {
                out.emplace_back(urlDecode(kv), "");
            } else {
                out.emplace_back(urlDecode(kv.substr(0, eq)), urlDecode(kv.substr(eq + 1)));
            }
        }
        i = j + 1;
    }
    return out;
}

std::string defaultDiskInterface(const std::string& machineType) {
    static const char* const kNvmeSeries[] = {"c3", "c3d", "c4", "c4a", "c4d",
                                              "n4", "m3",  "h3", "x4",  "z3"};
    std::string type = lastSegment(machineType);
    std::string series = type.substr(0, type.find('-'));
    for (const char* s : kNvmeSeries) {
        if (series == s) {
            return "NVME";
        }
    }
    return "SCSI";
}

}  // namespace gce::util

#pragma GCC diagnostic pop
