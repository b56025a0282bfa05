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

}  // namespace

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::add(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

std::string Table::render() const {
    std::vector<size_t> widths(headers_.size());
    for (size_t i = 0; i < headers_.size(); ++i) {
        widths[i] = width(headers_[i]);
        for (const auto& row : rows_) {
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
    std::string out = line(headers_);
    for (const auto& row : rows_) {
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
        std::cout << reportJson(report).dump(2) << "\n";
    } else {
        if (!report.snapshots.empty()) {
            std::cout << snapshotTable(report.snapshots).render();
        }
        for (const auto& p : report.results) {
            std::cout << p.first << " = " << p.second << "\n";
        }
        if (report.ok && report.jobId > 0) {
            std::cout << report.kind << " job " << report.jobId << ": succeeded\n";
        } else if (report.ok && !report.error.empty()) {
            std::cout << report.error << "\n";  // e.g. nothing to reconcile
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
    std::fprintf(stderr, "error: %s: %s\n", head.c_str(), report.error.c_str());
    if (!report.hint.empty()) {
        std::fprintf(stderr, "hint: %s\n", report.hint.c_str());
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
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return code;
}

}  // namespace bxhost
