#include "output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace bxhost {

namespace {

// Display width of UTF-8 text (continuation bytes take no column).
size_t width(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string shorten(const std::string& text, size_t max) {
    if (text.size() <= max) {
        return text;
    }
    return text.substr(0, max - 3) + "...";
}

// Length of the well-formed UTF-8 sequence at text[i] of a code point above
// U+007F (overlong forms and surrogates are not well-formed), with the code
// point; 0 when the bytes there are not one.
size_t utf8Sequence(const std::string& text, size_t i, unsigned* codePoint) {
    auto byte = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = 0;
    unsigned cp = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    *codePoint = cp;
    return length;
}

}  // namespace

std::string terminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
            ++i;
            continue;
        }
        unsigned cp = 0;
        size_t length = c >= 0x80 ? utf8Sequence(text, i, &cp) : 0;
        if (length == 0) {  // C0, DEL, or a byte that is not UTF-8
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
            ++i;
        } else if (cp <= 0x9F) {  // C1: U+0080..U+009F
            std::snprintf(escape, sizeof escape, "\\u%04x", cp);
            out += escape;
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string jsonText(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::add(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

std::string Table::render() const {
    // Cells hold names and errors from GCP and the catalog.
    auto clean = [](std::vector<std::string> cells) {
        for (auto& cell : cells) {
            cell = terminalText(cell);
        }
        return cells;
    };
    const std::vector<std::string> headers = clean(headers_);
    std::vector<std::vector<std::string>> rows;
    for (const auto& row : rows_) {
        rows.push_back(clean(row));
    }
    std::vector<size_t> widths(headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        widths[i] = width(headers[i]);
        for (const auto& row : rows) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    }
    auto line = [&widths](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t i = 0; i < cells.size(); ++i) {
            out += cells[i];
            if (i + 1 < cells.size()) {
                out += std::string(widths[i] - width(cells[i]) + 2, ' ');
            }
        }
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        return out + "\n";
    };
    std::string out = line(headers);
    for (const auto& row : rows) {
        out += line(row);
    }
    return out;
}

nlohmann::json snapshotJson(const SnapshotView& v) {
    const SnapRow& r = v.row;
    nlohmann::json j = {{"snap", r.num},
                        {"name", r.name},
                        {"job", r.jobId},
                        {"source", r.sourceDevice},
                        {"disk", v.disk},
                        {"location", v.location},
                        {"array", r.arrayNum},
                        {"status", r.status},
                        {"statusName", statusName(r.status)},
                        {"phase", r.phase},
                        {"resourceId", v.resourceId},
                        {"snapDevice", r.snapDevice},
                        {"revertDevice", r.revertDevice},
                        {"created", r.created},
                        {"updated", r.updated}};
    if (r.errorCode != 0 || !r.errorText.empty()) {
        j["error"] = {{"code", r.errorCode}, {"text", r.errorText}};
    }
    return j;
}

nlohmann::json reportJson(const JobReport& report) {
    nlohmann::json j = {{"job", report.jobId}, {"kind", report.kind}, {"ok", report.ok}};
    if (!report.ok) {
        j["error"] = {{"hostError", report.hostError},
                      {"text", report.error},
                      {"notAvailable", report.notAvailable}};
        if (!report.hint.empty()) {
            j["hint"] = report.hint;
        }
    }
    j["snapshots"] = nlohmann::json::array();
    for (const auto& s : report.snapshots) {
        j["snapshots"].push_back(snapshotJson(s));
    }
    if (!report.results.empty()) {
        j["properties"] = report.results;
    }
    return j;
}

Table snapshotTable(const std::vector<SnapshotView>& views) {
    Table t({"SNAP", "NAME", "JOB", "SOURCE", "DISK", "STATUS", "DEVICE", "ERROR"});
    for (const auto& v : views) {
        const SnapRow& r = v.row;
        // A device only means something while the snapshot is mapped or right
        // after a revert; the plug-in leaves the last one on the record.
        std::string device = r.status == 12   ? r.snapDevice
                             : r.status == 22 ? r.revertDevice
                                              : std::string();
        std::string error =
            r.errorCode != 0 ? std::to_string(r.errorCode) + ": " + r.errorText : r.errorText;
        t.add({std::to_string(r.num), r.name, std::to_string(r.jobId), r.sourceDevice, v.disk,
               statusText(r), device, shorten(error, 120)});
    }
    return t;
}

int printReport(const JobReport& report, bool json) {
    if (json) {
        std::cout << jsonText(reportJson(report)) << "\n";
    } else {
        if (!report.snapshots.empty()) {
            std::cout << snapshotTable(report.snapshots).render();
        }
        for (const auto& p : report.results) {
            std::cout << terminalText(p.first) << " = " << terminalText(p.second) << "\n";
        }
        if (report.ok && report.jobId > 0) {
            std::cout << report.kind << " job " << report.jobId << ": succeeded\n";
        } else if (report.ok && !report.error.empty()) {
            std::cout << terminalText(report.error) << "\n";  // e.g. nothing to reconcile
        }
    }
    std::cout.flush();
    if (report.ok) {
        return kExitOk;
    }
    std::string head = report.kind +
                       (report.jobId > 0 ? " job " + std::to_string(report.jobId) : std::string()) +
                       " failed";
    if (report.hostError != 0) {
        head += " (host error " + std::to_string(report.hostError) + ")";
    }
    std::fprintf(stderr, "error: %s: %s\n", head.c_str(), terminalText(report.error).c_str());
    if (!report.hint.empty()) {
        std::fprintf(stderr, "hint: %s\n", terminalText(report.hint).c_str());
    }
    if (report.jobId > 0) {
        std::fprintf(stderr, "the job's log: bxso-host log %lld\n",
                     static_cast<long long>(report.jobId));
        return kExitFailed;
    }
    // Refused before any job started: the request itself was wrong.
    return kExitUsage;
}

int printError(const std::string& message, int code) {
    std::fprintf(stderr, "error: %s\n", terminalText(message).c_str());
    return code;
}

}  // namespace bxhost
