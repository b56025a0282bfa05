// The emulator's inside, shared by the files that each implement one concern of it.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "errors.h"
#include "model.h"

namespace gce {

// One answer under construction: a JSON body, or text with its own content type.
struct Reply {
    int status = 200;
    Json body;
    std::string text;
    std::string contentType;
    void error(const errors::ApiError& e) {
        status = e.status;
        body = e.body;
    }
};

struct FaultState {
    FaultSpec rule;
    int seen = 0;
    int fired = 0;
};

// A device of the view that is no disk of this VM, from a scenario or state entry.
ScsiExtraDevice extraDeviceFromJson(const Json& x);

struct Emulator::Impl {
    EmulatorOptions opts;

    // ---- state (guarded by mu) ----
    mutable std::mutex mu;
    World world;
    // Operations whose completion effect is still to come, so that advancing
    // time does not walk every Operation ever made (they are never pruned).
    std::set<std::string> unappliedOps;
    // requestId of a mutating request (per project) -> the Operation it started, so that a
    // repeat returns that Operation instead of doing the work again, as GCE does.
    std::map<std::string, std::string> requestIds;
    std::mt19937 faultRng{20261206};        // chance of probabilistic faults (under faultMu)
    std::map<std::string, double> latency;  // emulated seconds per kind
    double timeScale = 1.0;
    std::vector<OperationFault> opFaults;
    int lateDevices = 0;
    bool changed = false;

    // ---- faults and journal ----
    mutable std::mutex faultMu;
    std::vector<FaultState> faults;
    mutable std::mutex journalMu;
    std::vector<JournalEntry> journalEntries;
    std::atomic<long> connections{0};
    std::atomic<long> requests{0};

    // ---- network ----
    std::unique_ptr<httplib::SSLServer> apiServer;
    std::unique_ptr<httplib::Server> metaServer;
    std::thread apiThread, metaThread;
    int apiPort = 0, metaPort = 0;
    std::string host, workDir, caFile, base;
    bool running = false;

    explicit Impl(EmulatorOptions o);

    // lifecycle.cpp: emulated time, Operations and their effects (callers hold mu)
    static const std::map<std::string, double>& defaultLatencies();
    int64_t scaledMs(const std::string& kind) const;
    void advance(int64_t now);
    Operation& startOperation(const std::string& project, const Scope& scope,
                              const std::string& type, const std::string& targetPath,
                              const std::string& targetId, const std::string& user, int64_t runMs,
                              const std::string& effect, Json args, int64_t now);
    void applyEffect(Operation& op);
    std::string diskStatus(const Disk& d, int64_t now) const;
    std::string snapshotStatus(const Snapshot& s, int64_t now) const;
    std::string operationStatus(const Operation& op, int64_t now) const;

    // render.cpp: resources as Compute Engine shows them (callers hold mu)
    std::string url(const std::string& path) const { return base + path; }
    Json renderDisk(const Disk& d, int64_t now) const;
    Json renderSnapshot(const Snapshot& s, int64_t now) const;
    Json renderInstance(const Instance& i) const;
    Json renderOperation(const Operation& op, int64_t now) const;
    Json renderZone(const Zone& z) const;
    Json renderRegion(const Region& r) const;
    bool renderPath(const std::string& path, int64_t now, Json* out) const;

    // compute_api.cpp
    void handleCompute(const httplib::Request& req, Reply& out, const std::string& email);
    void waitOperation(const std::string& opPath, Reply& out);

    // auth.cpp
    bool authenticate(const httplib::Request& req, std::string* email, Reply& out);
    void handleToken(const httplib::Request& req, Reply& out);
    // scopes: a VM's access scopes for a metadata-server token; null for a
    // token from a key, which scopes do not limit.
    std::string issueTokenLocked(const std::string& email, int64_t now, int* expiresIn,
                                 const std::vector<std::string>* scopes = nullptr);
    bool accountMay(const std::string& email, const std::string& project) const;
    // The account's roles lack this permission (the scenario's deniedPermissions).
    bool permissionDenied(const std::string& email, const std::string& permission) const;

    // metadata_server.cpp
    void handleMetadata(const httplib::Request& req, httplib::Response& res);

    // scsi_view.cpp (callers hold mu)
    void assignScsiLetterLocked(const std::string& deviceName, bool nvme = false);
    void releaseScsiLetterLocked(const std::string& deviceName);
    std::vector<std::string> listScsiLocked(bool countCall);
    bool inquiryLocked(const std::string& device, bool evpd, int page, int alloc,
                       std::vector<unsigned char>* data, std::string* error, int* status);
    // NVMe Identify of a namespace: CNS 1 its controller, CNS 0 the namespace.
    bool identifyLocked(const std::string& device, int cns, std::vector<unsigned char>* data,
                        std::string* error, int* status);
    void rebuildScsiLocked();
    bool nvmeIdentify(const std::string& device, int cns, std::vector<unsigned char>* data,
                      std::string* error, int* status);

    // control_api.cpp: the control operations, shared by the C++ API and the HTTP control API
    void handleControl(const httplib::Request& req, Reply& out);
    Json infoJson() const;
    void addFault(const FaultSpec& f);
    void clearAllFaults();
    void addOperationFault(const OperationFault& f);
    void addGuestFlushFailure(const std::string& project, const std::string& disk);
    void expireTokens();
    void setLatencyValue(const std::string& kind, double seconds);
    void setScale(double scale);
    void setLate(int listCalls);
    std::string resourceAt(const std::string& ref) const;
    bool seedText(const std::string& text, std::string* error);
    std::vector<std::string> scsiList();
    bool scsiInquire(const std::string& device, bool evpd, int page, int alloc,
                     std::vector<unsigned char>* data, std::string* error, int* status);
    void scsiRescanAll();

    // faults.cpp: request faults and the journal
    // Returns true when the fault answered (or dropped) the request itself.
    // True when the fault answered; with dropAfterWork it answers nothing and sets
    // *dropAfter: the caller carries the request out, then calls dropAnswer.
    bool applyFault(const std::string& server, const httplib::Request& req, httplib::Response& res,
                    JournalEntry& entry, bool* dropAfter = nullptr);
    // requestId: true when req repeats a mutating request already carried out (out then
    // holds the Operation it started, as it stands now); rememberRequest records one.
    bool repeatedRequest(const httplib::Request& req, Reply& out);
    void rememberRequest(const httplib::Request& req, const Reply& out);
    static void dropAnswer(const httplib::Request& req, httplib::Response& res,
                           JournalEntry& entry);
    void record(JournalEntry entry);
    static JournalEntry entryFor(const std::string& server, const httplib::Request& req);
    bool matchOperationFaultLocked(const std::string& type, const std::string& target,
                                   OperationError* err);

    // persistence.cpp
    Json worldToJson() const;
    bool worldFromJson(const Json& j, std::string* error);
    void saveIfChangedLocked();

    // scenario.cpp
    bool seedLocked(const Json& scenario, std::string* error);
    bool writeKeyFilesLocked(std::string* error);
    static const std::string& defaultScenario();

    // emulator.cpp
    void send(httplib::Response& res, const Reply& r) const;
    std::vector<Emulator::ServiceAccountKeys> accountsLocked() const;
};

}  // namespace gce
