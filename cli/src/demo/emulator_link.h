// The demo's Compute Engine: an emulator started in this process, or one
// already running elsewhere. Either way the demo talks to it the same way: the
// plug-in over its Compute API, metadata server and token endpoint; the demo
// itself over its control API (resources, faults) to check what each step did.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace gce {
class Emulator;
}

namespace bxhost {

struct EmulatorAccount {
    std::string email;
    std::string pemFile;
};

class EmulatorLink {
  public:
    EmulatorLink();
    ~EmulatorLink();

    // In process, with its files under workDir.
    // machineType: this VM's instead of the scenario's (empty: the scenario's).
    bool startLocal(const std::string& workDir, double timeScale, const std::string& machineType,
                    std::string* error);
    // A running emulator: url = https://HOST:PORT of its API port.
    bool attach(const std::string& url, const std::string& caFile, std::string* error);

    const std::string& apiHost() const { return apiHost_; }
    const std::string& metadataHost() const { return metadataHost_; }
    const std::string& caFile() const { return caFile_; }
    const std::string& tokenUrl() const { return tokenUrl_; }
    std::string apiUrl() const { return "https://" + apiHost_; }
    const std::vector<EmulatorAccount>& accounts() const { return accounts_; }
    bool inProcess() const { return local_ != nullptr; }

    // A resource as JSON text by its "projects/..." path; empty when absent.
    std::string resource(const std::string& path);
    // The status of a snapshot ("READY", ...), empty when it does not exist.
    std::string snapshotStatus(const std::string& project, const std::string& name);
    bool failGuestFlush(const std::string& project, const std::string& disk, std::string* error);
    bool clearFaults(std::string* error);
    // Deletes a snapshot behind the host's back, as an operator of the
    // account would in the console, and waits until it is gone.
    bool deleteSnapshotOutOfBand(const EmulatorAccount& account, const std::string& project,
                                 const std::string& name, std::string* error);
    // Requests in the journal whose path and query contain text.
    int countRequests(const std::string& method, const std::string& text);

  private:
    bool control(const std::string& method, const std::string& path, const std::string& body,
                 std::string* response, std::string* error);
    bool loadInfo(std::string* error);

    std::unique_ptr<gce::Emulator> local_;
    std::string apiHost_, metadataHost_, caFile_, tokenUrl_;
    std::vector<EmulatorAccount> accounts_;
};

}  // namespace bxhost
