// The control API under /emulator/v1/ (HTTPS port, no authentication: a test tool) and the
// control operations behind it, which the C++ API calls too.
#include <algorithm>

#include "crypto.h"
#include "impl.h"
#include "util.h"

namespace gce {

void Emulator::Impl::addFault(const FaultSpec& f) {
    std::lock_guard<std::mutex> lock(faultMu);
    faults.push_back(FaultState{f, 0, 0});
}

void Emulator::Impl::clearAllFaults() {
    {
        std::lock_guard<std::mutex> lock(faultMu);
        faults.clear();
    }
    std::lock_guard<std::mutex> lock(mu);
    opFaults.clear();
    lateDevices = 0;
    if (!world.guestFlushFailures.empty()) {
        world.guestFlushFailures.clear();
        changed = true;
        saveIfChangedLocked();
    }
}

void Emulator::Impl::addOperationFault(const OperationFault& f) {
    std::lock_guard<std::mutex> lock(mu);
    opFaults.push_back(f);
}

void Emulator::Impl::addGuestFlushFailure(const std::string& project, const std::string& disk) {
    std::lock_guard<std::mutex> lock(mu);
    // The disk may be zonal or regional; name it wherever it lives (or will live).
    bool found = false;
    for (const auto& kv : world.disks) {
        if (kv.second.project == project && (kv.second.name == disk || kv.second.id == disk)) {
            world.guestFlushFailures[kv.first] = "";
            found = true;
        }
    }
    if (!found) {
        for (const auto& kv : world.zones) {
            if (kv.second.project == project) {
                world.guestFlushFailures["projects/" + project + "/zones/" + kv.second.name +
                                         "/disks/" + disk] = "";
            }
        }
    }
    changed = true;
    saveIfChangedLocked();
}

void Emulator::Impl::expireTokens() {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& kv : world.tokens) {
        kv.second.expiresMs = 0;
    }
    changed = true;
    saveIfChangedLocked();
}

void Emulator::Impl::setLatencyValue(const std::string& kind, double seconds) {
    std::lock_guard<std::mutex> lock(mu);
    latency[kind] = seconds < 0 ? 0 : seconds;
}

void Emulator::Impl::setScale(double scale) {
    std::lock_guard<std::mutex> lock(mu);
    timeScale = scale < 0 ? 0 : scale;
}

void Emulator::Impl::setLate(int listCalls) {
    std::lock_guard<std::mutex> lock(mu);
    lateDevices = std::max(0, listCalls);
}

std::string Emulator::Impl::resourceAt(const std::string& ref) const {
    std::lock_guard<std::mutex> lock(mu);
    Json j;
    // Reading does not advance the world (it is const); render with the current time.
    return renderPath(ref, util::nowMs(), &j) ? j.dump() : "";
}

bool Emulator::Impl::seedText(const std::string& text, std::string* error) {
    Json j;
    try {
        j = Json::parse(text);
    } catch (const std::exception& e) {
        *error = std::string("scenario is not JSON: ") + e.what();
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    if (!seedLocked(j, error) || !writeKeyFilesLocked(error)) {
        return false;
    }
    saveIfChangedLocked();
    return true;
}

std::vector<std::string> Emulator::Impl::scsiList() {
    std::lock_guard<std::mutex> lock(mu);
    advance(util::nowMs());
    auto v = listScsiLocked(true);
    saveIfChangedLocked();
    return v;
}

bool Emulator::Impl::scsiInquire(const std::string& device, bool evpd, int page, int alloc,
                                 std::vector<unsigned char>* data, std::string* error,
                                 int* status) {
    std::lock_guard<std::mutex> lock(mu);
    advance(util::nowMs());
    return inquiryLocked(device, evpd, page, alloc, data, error, status);
}

void Emulator::Impl::scsiRescanAll() {
    std::lock_guard<std::mutex> lock(mu);
    advance(util::nowMs());
    for (auto& kv : world.scsiLetters) {
        if (kv.second.hiddenListCalls > 0) {
            --kv.second.hiddenListCalls;
            changed = true;
        }
    }
    saveIfChangedLocked();
}

Json Emulator::Impl::infoJson() const {
    Json accounts = Json::array();
    for (const auto& a : accountsLocked()) {
        accounts.push_back({{"email", a.email},
                            {"pemFile", a.pemFile},
                            {"p12File", a.p12File},
                            {"p12Password", a.p12Password},
                            {"jsonFile", a.jsonFile},
                            {"keyId", a.keyId}});
    }
    return {{"apiHost", host + ":" + std::to_string(apiPort)},
            {"apiPort", apiPort},
            {"metadataHost", host + ":" + std::to_string(metaPort)},
            {"metadataPort", metaPort},
            {"caFile", caFile},
            {"tokenUrl", "https://" + host + ":" + std::to_string(apiPort) + "/token"},
            {"selfLinkBase", base},
            {"workDir", workDir},
            {"serviceAccounts", accounts}};
}

namespace {

FaultSpec faultFrom(const Json& j) {
    FaultSpec f;
    f.method = j.value("method", "");
    f.path = j.value("path", "*");
    f.count = j.value("count", 1);
    f.skip = j.value("skip", 0);
    f.status = j.value("status", j.value("dropConnection", false) ? 0 : 503);
    f.reason = j.value("reason", "");
    if (j.contains("body")) {
        f.body = j["body"].is_string() ? j["body"].get<std::string>() : j["body"].dump();
    }
    f.dropConnection = j.value("dropConnection", false);
    f.latencySeconds = j.value("latencySeconds", 0.0);
    f.retryAfterSeconds = j.value("retryAfterSeconds", -1);
    f.dropAfterWork = j.value("dropAfterWork", false);
    f.probability = j.value("probability", 1.0);
    f.proxyAnswer = j.value("proxyAnswer", false);
    f.endlessBody = j.value("endlessBody", false);
    return f;
}

Json entryJson(const JournalEntry& e) {
    return {{"server", e.server}, {"method", e.method},   {"path", e.path},
            {"query", e.query},   {"headers", e.headers}, {"body", e.body},
            {"status", e.status}, {"time", e.time},       {"answered", e.answered}};
}

}  // namespace

void Emulator::Impl::handleControl(const httplib::Request& req, Reply& out) {
    const std::string prefix = "/emulator/v1/";
    std::string rest = req.path.substr(prefix.size());
    while (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const std::string& m = req.method;
    Json body = Json::object();
    if (!req.body.empty() && rest != "seed") {
        try {
            body = Json::parse(req.body);
        } catch (const std::exception&) {
            out.status = 400;
            out.body = {{"error", {{"code", 400}, {"message", "body is not JSON"}}}};
            return;
        }
    }
    auto ok = [&] { out.body = Json{{"ok", true}}; };
    auto bad = [&](int status, const std::string& msg) {
        out.status = status;
        out.body = {{"error", {{"code", status}, {"message", msg}}}};
    };
    try {
        if (rest == "info" && m == "GET") {
            std::lock_guard<std::mutex> lock(mu);
            out.body = infoJson();
        } else if (rest == "state" && m == "GET") {
            std::lock_guard<std::mutex> lock(mu);
            advance(util::nowMs());
            out.body = worldToJson();
        } else if (rest == "seed" && m == "POST") {
            std::string err;
            if (!seedText(req.body, &err)) {
                return bad(400, err);
            }
            ok();
        } else if (rest == "resource" && m == "GET") {
            std::string r = resourceAt(req.get_param_value("path"));
            if (r.empty()) {
                return bad(404, "no such resource");
            }
            out.body = Json::parse(r);
        } else if (rest == "journal" && m == "GET") {
            Json entries = Json::array();
            std::lock_guard<std::mutex> lock(journalMu);
            for (const auto& e : journalEntries) {
                entries.push_back(entryJson(e));
            }
            out.body = {{"entries", entries}};
        } else if (rest == "journal" && m == "DELETE") {
            std::lock_guard<std::mutex> lock(journalMu);
            journalEntries.clear();
            ok();
        } else if (rest == "faults" && m == "POST") {
            addFault(faultFrom(body));
            ok();
        } else if (rest == "faults" && m == "DELETE") {
            clearAllFaults();
            ok();
        } else if (rest == "faults" && m == "GET") {
            Json list = Json::array();
            std::lock_guard<std::mutex> lock(faultMu);
            for (const auto& f : faults) {
                list.push_back({{"method", f.rule.method},
                                {"path", f.rule.path},
                                {"count", f.rule.count},
                                {"status", f.rule.status},
                                {"seen", f.seen},
                                {"fired", f.fired}});
            }
            out.body = {{"faults", list}};
        } else if (rest == "operation-faults" && m == "POST") {
            OperationFault f;
            f.operationType = body.value("operationType", "");
            f.targetPattern = body.value("targetPattern", "");
            f.count = body.value("count", 1);
            f.httpStatus = body.value("httpStatus", 400);
            f.errorCode = body.value("errorCode", f.errorCode);
            f.message = body.value("message", f.message);
            addOperationFault(f);
            ok();
        } else if (rest == "guest-flush-failures" && m == "POST") {
            addGuestFlushFailure(body.at("project"), body.at("disk"));
            ok();
        } else if (rest == "tokens/expire" && m == "POST") {
            expireTokens();
            ok();
        } else if (rest == "latencies" && m == "GET") {
            std::lock_guard<std::mutex> lock(mu);
            out.body = {{"timeScale", timeScale}, {"latencies", latency}};
        } else if (rest == "latencies" && (m == "POST" || m == "PUT")) {
            if (body.contains("timeScale")) {
                setScale(body["timeScale"].get<double>());
            }
            Json lat = body.value("latencies", Json::object());
            for (auto it = lat.begin(); it != lat.end(); ++it) {
                setLatencyValue(it.key(), it.value().get<double>());
            }
            std::lock_guard<std::mutex> lock(mu);
            out.body = {{"timeScale", timeScale}, {"latencies", latency}};
        } else if (rest == "stats" && m == "GET") {
            out.body = {{"connectionsAccepted", connections.load()}, {"requests", requests.load()}};
        } else if (rest == "scsi/devices" && m == "GET") {
            out.body = {{"devices", scsiList()}};
        } else if (rest == "scsi/rescan" && m == "POST") {
            scsiRescanAll();
            ok();
        } else if (rest == "scsi/late-devices" && m == "POST") {
            setLate(body.value("listCalls", 0));
            ok();
        } else if (rest == "nvme/identify" && m == "GET") {
            std::string dev = req.get_param_value("device");
            std::string cnsText = req.get_param_value("cns");
            int cns = cnsText.empty() ? 0 : std::stoi(cnsText, nullptr, 0);
            std::vector<unsigned char> data;
            std::string err;
            int status = 0;
            if (!nvmeIdentify(dev, cns, &data, &err, &status)) {
                return bad(status, err);
            }
            out.body = {{"data", crypto::hex(std::string(data.begin(), data.end()))}};
        } else if (rest == "scsi/inquiry" && m == "GET") {
            std::string dev = req.get_param_value("device");
            bool evpd = req.get_param_value("evpd") == "1" || req.get_param_value("evpd") == "true";
            std::string pageText = req.get_param_value("page");
            std::string allocText = req.get_param_value("alloc");
            int page = pageText.empty() ? 0 : std::stoi(pageText, nullptr, 0);
            int alloc = allocText.empty() ? 255 : std::stoi(allocText, nullptr, 0);
            std::vector<unsigned char> data;
            std::string err;
            int status = 0;
            if (!scsiInquire(dev, evpd, page, alloc, &data, &err, &status)) {
                return bad(status, err);
            }
            out.body = {{"data", crypto::hex(std::string(data.begin(), data.end()))}};
        } else {
            bad(404, "unknown control path " + req.path);
        }
    } catch (const std::exception& e) {
        bad(400, std::string("bad control request: ") + e.what());
    }
}

}  // namespace gce
