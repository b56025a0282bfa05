// An in-process emulator on ephemeral ports, with the runtime's settings
// pointed at it (API, token endpoint, metadata server, CA bundle). Component
// tests create one per test or per suite.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "emulator/emulator.h"
#include "support/fake_host.h"
#include "support/settings_file.h"

namespace bxtest {

// A fault on requests whose method (any when empty) and path match: answered
// with status (0: latency only), count times (-1: until cleared).
gce::FaultSpec httpFault(const std::string& method, const std::string& path, int status,
                         int count = 1);
// Operations of a type ("" any) that end DONE with errorCode, count times.
gce::OperationFault opFault(const std::string& type,
                            const std::string& errorCode = "INTERNAL_ERROR", int count = 1);

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
    // A resource as the emulator holds it, by path or selfLink; empty when absent.
    jsonxx::Object resource(const std::string& path) const;
    jsonxx::Object disk(const std::string& name, const std::string& zone = "us-central1-a",
                        const std::string& project = "demo-project") const {
        return resource(diskPath(name, zone, project));
    }
    jsonxx::Object snapshot(const std::string& name,
                            const std::string& project = "demo-project") const {
        return resource("projects/" + project + "/global/snapshots/" + name);
    }
    // "" when the snapshot is absent.
    std::string snapshotStatus(const std::string& name) const {
        return snapshot(name).get<jsonxx::String>("status");
    }
    std::string idOf(const std::string& path) const {
        return resource(path).get<jsonxx::String>("id");
    }
    // Sorted names of the "disks" or "snapshots" of a project (every
    // project's when empty); those being deleted only withDeleting.
    std::vector<std::string> names(const std::string& collection,
                                   const std::string& project = "demo-project",
                                   bool withDeleting = false) const;
    // The source of the disk attached to this VM (mover-1) under deviceName; "" when none.
    std::string attachedSource(const std::string& deviceName) const;
    // Attached to this VM under deviceName, and that is also its disk's name.
    bool attachedUnderItsName(const std::string& name) const;
    // The first service account whose email starts with text.
    gce::Emulator::ServiceAccountKeys account(const std::string& email) const;
    // The PEM text of that account's private key.
    std::string pemOf(const std::string& email) const;

    // Makes the utility object list the emulated VM's block devices.
    static void useEmulatedDevices(FakeOSUtil& util);
    // Journal entries whose method matches (any when empty) and whose path contains text.
    std::vector<gce::JournalEntry> requests(const std::string& method,
                                            const std::string& pathPart) const;
    size_t requestsMatching(const std::string& method, const std::string& pathPart) const {
        return requests(method, pathPart).size();
    }

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
