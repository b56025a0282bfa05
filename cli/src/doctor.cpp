// doctor: the order of the checks and their report. Each check runs even when
// an earlier one failed, unless it depends on it (no token, no permission
// checks), so that one run lists every problem there is.
#include "doctor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "output.h"

namespace bxhost {

namespace {

// Secrets the host decrypted while checking are masked in every line, as in
// every other text the host prints.
void printReportText(const DoctorReport& report, Redactor& redactor) {
    size_t width = 0;
    for (const auto& c : report.checks()) {
        width = std::max(width, c.item.size());
    }
    for (const auto& c : report.checks()) {
        // One line per item, the fix at its end: a line break inside a text
        // from outside is shown escaped and cannot start a fake item.
        std::string line = std::string(verdictName(c.verdict)) + "  " + c.item +
                           std::string(width - c.item.size() + 2, ' ') + redactor.apply(c.detail);
        if (!c.fix.empty()) {
            line += " -- fix: " + redactor.apply(c.fix);
        }
        std::cout << terminalText(line) << "\n";
    }
    size_t failed = static_cast<size_t>(
        std::count_if(report.checks().begin(), report.checks().end(),
                      [](const DoctorCheck& c) { return c.verdict == Verdict::Fail; }));
    size_t warned = static_cast<size_t>(
        std::count_if(report.checks().begin(), report.checks().end(),
                      [](const DoctorCheck& c) { return c.verdict == Verdict::Warn; }));
    std::cout << (failed == 0 ? "ready" : "not ready") << ": " << failed << " failed, " << warned
              << " warning(s), " << report.checks().size() << " checks\n";
}

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "OK  ";
        case Verdict::Info:
            return "INFO";
        case Verdict::Warn:
            return "WARN";
        case Verdict::Fail:
            return "FAIL";
        case Verdict::Skip:
            return "SKIP";
    }
    return "?";
}

void DoctorReport::add(const std::string& item, Verdict verdict, const std::string& detail,
                       const std::string& fix) {
    checks_.push_back({item, verdict, detail, fix});
}

bool DoctorReport::failed() const {
    return std::any_of(checks_.begin(), checks_.end(),
                       [](const DoctorCheck& c) { return c.verdict == Verdict::Fail; });
}

int cmdDoctor(Session& session) {
    DoctorReport report;
    checkSettings(session.settings(), &report);

    std::string error;
    bool pluginLoaded = session.loadPlugin(&error);
    if (pluginLoaded) {
        report.add("plug-in", Verdict::Ok,
                   session.plugin().path() + " version " + session.plugin().versionText());
    } else {
        report.add("plug-in", Verdict::Fail, error,
                   "install the package (it puts the plug-in in /usr/lib/bxso/), or name it with "
                   "--plugin FILE or BXSO_PLUGIN");
    }

    // The catalog is looked at, not made: a first run of doctor leaves no
    // files behind.
    const std::string catalogPath = session.options().catalogPath;
    struct stat st {};
    bool catalogOpen = false;
    if (::stat(catalogPath.c_str(), &st) != 0) {
        report.add("catalog", Verdict::Info,
                   "none yet at " + catalogPath + " (the first 'bxso-host array add' makes it)");
    } else if (!session.openCatalog(&error)) {
        report.add("catalog", Verdict::Fail, error);
    } else {
        catalogOpen = true;
        report.add("catalog", Verdict::Ok,
                   catalogPath + ": " + std::to_string(session.catalog().arrays().size()) +
                       " array(s), " + std::to_string(session.catalog().jobs(0).size()) +
                       " job(s)");
        const std::string keyPath = session.options().keyPath;
        if (::stat(keyPath.c_str(), &st) != 0) {
            report.add("host key", Verdict::Info,
                       "none yet at " + keyPath + " (made with the first stored secret)");
        } else if (!session.loadKey(false, &error)) {
            report.add("host key", Verdict::Fail, error);
        } else {
            report.add("host key", Verdict::Ok, keyPath + ": owner-only, 32 bytes");
        }
    }

    GcpEndpoints endpoints = endpointsFrom(session.settings());
    GcpFindings findings;
    checkGcp(session, endpoints, catalogOpen, &report, &findings);
    checkDevices(session, pluginLoaded, findings, &report);
    if (catalogOpen) {
        checkArrays(session, endpoints, findings, &report);
    } else {
        report.add("arrays", Verdict::Warn, "no catalog, no arrays",
                   "bxso-host array add GCP-Default-IAM (the array of local disks)");
    }

    if (session.options().json) {
        nlohmann::json checks = nlohmann::json::array();
        for (const auto& c : report.checks()) {
            std::string verdict = verdictName(c.verdict);
            verdict.erase(verdict.find_last_not_of(' ') + 1);
            nlohmann::json j = {{"item", c.item},
                                {"verdict", verdict},
                                {"detail", session.redactor().apply(c.detail)}};
            if (!c.fix.empty()) {
                j["fix"] = session.redactor().apply(c.fix);
            }
            checks.push_back(j);
        }
        std::cout << jsonText({{"ready", !report.failed()}, {"checks", checks}}) << "\n";
    } else {
        printReportText(report, session.redactor());
    }
    std::cout.flush();
    return report.failed() ? kExitFailed : kExitOk;
}

}  // namespace bxhost
