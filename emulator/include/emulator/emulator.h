// gce-emulator: a local Compute Engine API v1, instance metadata server, OAuth 2.0 token
// endpoint and the SCSI view of the emulated VM, embeddable in tests, benchmarks and tools.
//
// Include as "emulator/emulator.h" (the include directory is a PUBLIC property of the
// gce_emulator target). No exception escapes any member: failures are return values.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace gce {

struct EmulatorOptions {
    std::string scenarioJson;  // scenario text (JSON); empty with no file = the default scenario
    std::string scenarioFile;  // or a file holding it
    std::string stateFile;     // load at start if present, save on every change and at stop
    // CA, server certificate and key files. Default: a fresh temp dir that the emulator removes
    // when it is destroyed (a directory given here is left in place, with its files).
    std::string workDir;
    std::string bindAddress = "127.0.0.1";
    int apiPort = 0;         // HTTPS: Compute API, token endpoint, control API; 0 = ephemeral
    int metadataPort = 0;    // plain HTTP metadata server; 0 = ephemeral
    double timeScale = 1.0;  // real seconds per emulated second of latency; 0 = instant
    int tokenLifetimeSec = 3600;
    std::string selfLinkBase;  // base of every selfLink; empty = "https://HOST:PORT/compute/v1/"
    // Machine type of this VM instead of the scenario's; on a series without SCSI for disks
    // (c3-standard-8, n4-standard-4, ...) its disks reach the guest as NVMe namespaces.
    std::string thisVmMachineType;
    // Worker threads of the API server: each open (keep-alive) connection
    // holds one, so this bounds the concurrent connections; GCE has no such
    // bound, and a client that opens more stalls. The metadata server gets
    // at most 16.
    int threads = 128;
};

// One request as the emulator received it. Secrets are kept: this is a test tool.
struct JournalEntry {
    std::string server;  // "api" or "metadata"
    std::string method, path, query;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    int status = 0;       // 0 when the connection was dropped
    double time = 0;      // seconds since the epoch, when the request arrived
    double answered = 0;  // and when its answer was ready (or the connection dropped)
};

// Fault on the next matching requests. `path` is a glob matched against the whole request
// path ('*' any run of characters, '?' one), or an ECMAScript regex searched in it when it
// starts with "re:". Empty method or "*" matches every method.
struct FaultSpec {
    std::string method;
    std::string path = "*";
    int count = 1;                // matching requests affected; -1 = until cleared
    int skip = 0;                 // matching requests let through before the fault starts
    int status = 503;             // answer with this status (0 = no answer change: latency only)
    std::string reason;           // GCE error reason for the default body; empty = by status
    std::string body;             // answer body; empty = a GCE-shaped error for status and reason
    bool dropConnection = false;  // close the connection without an answer
    double latencySeconds = 0;    // real seconds to wait before answering (not scaled)
    int retryAfterSeconds = -1;   // with status: a Retry-After header (seconds); -1 = none
    // Carry the request out as usual, then close the connection instead of answering: the
    // client cannot tell whether the work was done (status is ignored).
    bool dropAfterWork = false;
    // Chance that a matching request is affected (a request let through does not count).
    double probability = 1.0;
    // On the metadata server, answer as something else on the way would (a proxy): without
    // the Metadata-Flavor header that the metadata server puts on every answer, its own
    // errors included.
    bool proxyAnswer = false;
    // Answer with status and a body that never ends, until the client hangs up.
    bool endlessBody = false;
};

// Makes the next Operations of a type fail (they end DONE with an error).
struct OperationFault {
    std::string operationType;  // insert, delete, createSnapshot, attachDisk, detachDisk; "" any
    std::string targetPattern;  // glob on the target's path "projects/P/zones/Z/disks/D"; "" any
    int count = 1;
    int httpStatus = 400;  // 0: the Operation carries only `error`, no httpErrorStatusCode
    std::string errorCode = "RESOURCE_OPERATION_RATE_EXCEEDED";
    std::string message = "Operation failed by fault injection";
};

class Emulator {
  public:
    explicit Emulator(EmulatorOptions opts);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool start(std::string* error);  // returns once both servers accept connections
    void stop();

    int apiPort() const;
    int metadataPort() const;
    std::string apiHost() const;       // "127.0.0.1:PORT" (HTTPS)
    std::string metadataHost() const;  // "127.0.0.1:PORT" (HTTP), the value for GCE_METADATA_HOST
    std::string caFile() const;        // PEM CA bundle that clients trust
    std::string tokenUrl() const;      // "https://127.0.0.1:PORT/token"
    std::string selfLinkBase() const;  // "https://127.0.0.1:PORT/compute/v1/"
    std::string workDir() const;

    struct ServiceAccountKeys {
        std::string email, pemFile, p12File, p12Password, keyId;
        std::string jsonFile;  // Google-style JSON key file (for Google's client libraries)
    };
    std::vector<ServiceAccountKeys> serviceAccounts() const;

    // In-process control; the HTTP control API offers the same.
    std::vector<JournalEntry> journal() const;
    void clearJournal();
    void injectFault(const FaultSpec& fault);
    void clearFaults();
    void failOperation(const OperationFault& fault);
    void failGuestFlush(const std::string& project, const std::string& diskName);
    void expireAllTokens();
    void setLatency(const std::string& kind, double seconds);
    void setTimeScale(double scale);
    void setLateDevices(
        int listCalls);  // devices attached from now on appear after N list/rescan calls
    long connectionsAccepted() const;
    std::string resourceJson(const std::string& selfLinkOrPath) const;  // "" when absent
    bool seed(const std::string& scenarioJson, std::string* error = nullptr);
    std::string stateJson() const;

    // The SCSI view of "this VM" (also served under /emulator/v1/scsi/).
    std::vector<std::string> scsiDevices();
    // INQUIRY data as the device returns it; false for an unknown device or unsupported page.
    bool scsiInquiry(const std::string& device, bool evpd, int page, int alloc,
                     std::vector<unsigned char>* data, std::string* error = nullptr);
    void scsiRescan();
    // NVMe Identify of a namespace of the view (/dev/nvme0nN): CNS 1 the controller, CNS 0
    // the namespace (4096 bytes); false for an unknown device or CNS.
    bool nvmeIdentify(const std::string& device, int cns, std::vector<unsigned char>* data,
                      std::string* error = nullptr);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    std::string ownWorkDir_;  // the temp dir this emulator made; removed by the destructor
};

}  // namespace gce
