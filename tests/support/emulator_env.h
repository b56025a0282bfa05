// An in-process emulator on ephemeral ports, with the runtime's settings
// pointed at it (API, token endpoint, metadata server, CA bundle). Component
// tests create one per test or per suite.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "emulator/emulator.h"
#include "support/fake_host.h"
#include "support/settings_file.h"

namespace bxtest {

class EmulatorEnv {
  public:
    // Starts the emulator (time scale 0 unless given: everything instant) and
    // installs the settings; a start failure is reported through ok()/error().
    explicit EmulatorEnv(gce::EmulatorOptions options = defaultOptions());
    ~EmulatorEnv();
    EmulatorEnv(const EmulatorEnv&) = delete;
    EmulatorEnv& operator=(const EmulatorEnv&) = delete;

    static gce::EmulatorOptions defaultOptions();

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    gce::Emulator& emu() { return *emulator_; }
    SettingsFile& settings() { return settings_; }

    // The path part of a selfLink, for resourceJson and journal checks:
    // "projects/demo-project/zones/us-central1-a/disks/data-disk-1".
    static std::string diskPath(const std::string& disk, const std::string& zone = "us-central1-a",
                                const std::string& project = "demo-project");
    // Makes the utility object list the emulated VM's block devices.
    static void useEmulatedDevices(FakeOSUtil& util);
    // Number of journal entries whose method matches and whose path contains text.
    size_t requestsMatching(const std::string& method, const std::string& pathPart) const;

    // A project whose VM "mover-1" (this VM, with account kFleetAccount) has
    // the data disks prefix1..prefixN attached under their own names, and
    // the Linux device path of the index-th disk attached (0 is the boot disk).
    // machineType: this VM's (empty: the emulator's default, a SCSI series);
    // nvmeDisks: indexes of data disks attached with interface NVME.
    static std::string fleetScenario(int disks, const std::string& prefix,
                                     const std::string& machineType = "",
                                     const std::set<int>& nvmeDisks = {});
    static std::string devicePath(int index);
    // Records for the fleet's disks: the i-th reaches /dev/sd<i+1> through the
    // VM's own account, its snapshot named snapPrefix + (i + 1), with the
    // account's retry interval and count.
    static std::unique_ptr<RecordSet> fleetRecords(int disks, const std::string& snapPrefix,
                                                   int retryIntervalSec, int retryCount);
    static constexpr const char* kFleetAccount =
        "123456789012-compute@developer.gserviceaccount.com";

  private:
    SettingsFile settings_;
    std::unique_ptr<gce::Emulator> emulator_;
    bool ok_ = false;
    std::string error_;
    std::string savedMetadataEnv_;
    bool hadMetadataEnv_ = false;
};

}  // namespace bxtest
