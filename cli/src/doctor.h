// bxso-host doctor: a pre-flight check of what the plug-in needs on a GCE VM,
// one line per item with a verdict and, where one is known, the fix. It reads
// the settings the way the plug-in reads them and reaches the metadata server,
// the token endpoint and Compute Engine on its own (read-only requests and
// testIamPermissions), so that a problem shows before the first backup instead
// of in its job log.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "session.h"

namespace bxhost {

enum class Verdict { Ok, Info, Warn, Fail, Skip };
const char* verdictName(Verdict verdict);

struct DoctorCheck {
    std::string item;
    Verdict verdict = Verdict::Ok;
    std::string detail;
    std::string fix;  // empty when none is known
};

class DoctorReport {
  public:
    void add(const std::string& item, Verdict verdict, const std::string& detail,
             const std::string& fix = "");
    const std::vector<DoctorCheck>& checks() const { return checks_; }
    bool failed() const;

  private:
    std::vector<DoctorCheck> checks_;
};

// Where the plug-in reaches Google, with the plug-in's defaults and precedence
// (GCE_METADATA_HOST over [Gcp] MetadataHost; a scheme or trailing "/" of a
// host is dropped; a number that is not positive leaves the default).
struct GcpEndpoints {
    std::string computeHost;
    std::string tokenUrl;
    std::string metadataHost;
    bool metadataFromEnvironment = false;
    std::string caBundle;  // empty: the system's trust store
    long connectTimeoutMs = 10000;
    long timeoutMs = 120000;
    size_t maxResponseBytes = 4 * 1024 * 1024;
};
GcpEndpoints endpointsFrom(const SettingsView& settings);

// What the metadata server says of this VM.
struct VmIdentity {
    bool known = false;
    std::string project;
    std::string zone;
    std::string instance;
    std::string instanceId;
    std::string email;  // empty: the VM runs without a service account
    std::vector<std::string> scopes;
};

// True when one of the access scopes lets a token call Compute Engine
// (cloud-platform or compute).
bool scopesReachCompute(const std::vector<std::string>& scopes);

// The settings file: whether it reads completely, each known value checked
// against what the plug-in accepts, where the debug log goes.
void checkSettings(const SettingsView& settings, DoctorReport* report);

// What doctor learnt of GCP for the local checks that follow.
struct GcpFindings {
    VmIdentity vm;
    bool instanceRead = false;
    nlohmann::json instance;  // this VM as Compute Engine shows it
};

// The metadata server, the VM's token, the Compute endpoint and the
// permissions of the VM's account.
void checkGcp(Session& session, const GcpEndpoints& endpoints, bool catalogOpen,
              DoctorReport* report, GcpFindings* findings);

// The device backend: access to the devices, which are persistent disks and
// under which device names, compared with the disks attached to this VM.
void checkDevices(Session& session, bool pluginLoaded, const GcpFindings& findings,
                  DoctorReport* report);

// Each array: its account, its key and whether the key gets a token.
void checkArrays(Session& session, const GcpEndpoints& endpoints, const GcpFindings& findings,
                 DoctorReport* report);

// Runs every check; the exit code is 1 when one failed.
int cmdDoctor(Session& session);

}  // namespace bxhost
