#include "snap_name.h"

namespace bxhost {

namespace {

std::string sanitize(const std::string& text) {
    std::string out;
    for (char c : text) {
        char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        bool ok = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9');
        if (ok) {
            out += lower;
        } else if (!out.empty() && out.back() != '-') {
            out += '-';
        }
    }
    while (!out.empty() && out.back() == '-') {
        out.pop_back();
    }
    return out;
}

}  // namespace

std::string deviceLabel(const std::string& sourceDevice) {
    std::string part = sourceDevice;
    size_t bar = part.find('|');
    if (bar != std::string::npos) {
        part = part.substr(bar + 1);
    }
    size_t slash = part.find_last_of('/');
    if (slash != std::string::npos) {
        part = part.substr(slash + 1);
    }
    return sanitize(part);
}

std::string makeSnapName(const std::string& hostId, const std::string& sourceDevice, int64_t jobId,
                         int64_t snapNum) {
    std::string host = sanitize(hostId);
    std::string tail = "-" + std::to_string(jobId) + "-" + std::to_string(snapNum);
    std::string head = "bx" + (host.empty() ? std::string() : "-" + host);
    std::string label = deviceLabel(sourceDevice);
    if (head.size() + tail.size() > kMaxSnapNameLength) {
        head = "bx";  // numbers this large are not expected; keep them, drop the rest
        label.clear();
    }
    size_t room = kMaxSnapNameLength - head.size() - tail.size();
    if (room < 2) {
        label.clear();
    } else if (label.size() > room - 1) {
        label.resize(room - 1);
        while (!label.empty() && label.back() == '-') {
            label.pop_back();
        }
    }
    return head + (label.empty() ? std::string() : "-" + label) + tail;
}

bool isValidGcpName(const std::string& name) {
    if (name.empty() || name.size() > kMaxGcpNameLength) {
        return false;
    }
    if (name.front() < 'a' || name.front() > 'z') {
        return false;
    }
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    return name.back() != '-';
}

}  // namespace bxhost
