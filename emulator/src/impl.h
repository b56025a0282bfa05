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

// The string member `key` of a JSON object; "" when it is absent or no string.
std::string jsonString(const Json& j, const char* key);

// One Compute Engine API request as its handler gets it: parsed, checked (permission,
// project, parents) and matched to a route of compute_api.cpp's table.
struct ComputeCall {
    ComputeCall(const httplib::Request& request, const std::string& caller)
        : req(request), email(caller) {}
    const httplib::Request& req;
    const std::string& email;
    std::string method;
    std::string project;                      // P of projects/P/...
    std::string path;                         // "projects/P/..." without the query
    std::vector<std::string> r;               // the segments after projects/P
    Json body = Json::object();               // the request's JSON object; {} without a body
    int64_t now = 0;                          // emulated time was advanced to this
    std::map<std::string, std::string> args;  // the route's placeholders: "disk" for {disk}
    // A path under zones/Z or regions/R: that scope and "projects/P/zones/Z".
    Scope scope;
    std::string scopePath;
    // A path under zones/Z/instances/I: that instance (found by name or id) and its path
    // by name.
    Instance* instance = nullptr;
    std::string instancePath;
    const std::string& arg(const char* name) const { return args.at(name); }
};

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

    // compute_api.cpp: the Compute Engine API. handleCompute parses and checks a request,
    // then calls its route's handler; the handlers (named after the API's methods; regional
    // disks share the zonal disks' ones) run with mu held.
    void handleCompute(const httplib::Request& req, Reply& out, const std::string& email);
    void waitOperation(const std::string& opPath, Reply& out);
    // Resources by name or by id (callers hold mu); null when there is none.
    Disk* findDiskLocked(const std::string& project, const Scope& sc, const std::string& nameOrId);
    Snapshot* findSnapshotLocked(const std::string& project, const std::string& nameOrId);
    Instance* findInstanceLocked(const std::string& project, const std::string& zone,
                                 const std::string& nameOrId);
    // Operations that did not fail and whose completion effect (this one) is still to come.
    std::vector<const Operation*> pendingOperationsLocked(const std::string& effect) const;
    // Answers with the Operation at opPath as it stands at now.
    void replyOperationLocked(const std::string& opPath, int64_t now, Reply& out);
    void projectsGet(ComputeCall& c, Reply& out);
    void zonesGet(ComputeCall& c, Reply& out);
    void regionsGet(ComputeCall& c, Reply& out);
    void operationsGet(ComputeCall& c, Reply& out);  // zone, region and global Operations
    // testIamPermissions: which of the asked permissions the caller holds on a resource.
    void instancesTestIam(ComputeCall& c, Reply& out);
    void disksTestIam(ComputeCall& c, Reply& out);
    void snapshotsTestIam(ComputeCall& c, Reply& out);
    void testIamAnswer(ComputeCall& c, bool found, Reply& out);

    // compute_disks.cpp: disk types, zonal and regional disks, snapshots
    void diskTypesGet(ComputeCall& c, Reply& out);
    void disksList(ComputeCall& c, Reply& out);
    void disksInsert(ComputeCall& c, Reply& out);
    void disksGet(ComputeCall& c, Reply& out);
    void disksDelete(ComputeCall& c, Reply& out);
    void disksCreateSnapshot(ComputeCall& c, Reply& out);
    void snapshotsList(ComputeCall& c, Reply& out);
    void snapshotsInsert(ComputeCall& c, Reply& out);
    void snapshotsGet(ComputeCall& c, Reply& out);
    void snapshotsDelete(ComputeCall& c, Reply& out);
    // A snapshot of disk from c.body; its Operation is the disk's (disks.createSnapshot) or
    // global (snapshots.insert).
    void snapshotDiskLocked(ComputeCall& c, Disk& disk, bool guestFlush, bool globalInsert,
                            Reply& out);

    // compute_instances.cpp: instances (c.instance is resolved before these run)
    void instancesGet(ComputeCall& c, Reply& out);
    void instancesAttachDisk(ComputeCall& c, Reply& out);
    void instancesDetachDisk(ComputeCall& c, Reply& out);

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
