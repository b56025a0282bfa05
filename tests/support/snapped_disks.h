// Disks of the emulated VM whose snapshots are taken through the exported
// entry points: the start of the map, unmap, revert and delete tests. One
// emulator at a time: the device view and the settings follow the live one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "context/gcp_ctx.h"
#include "engine/exports.h"
#include "gcp/gcp_utils.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace bxtest {

class SnappedDisks : public ::testing::Test {
  protected:
    using Entry = int (*)(BXSO::SnapInfo**, short, BXSO::BXOSUtil*);

    // Starts an emulator in place of the running one; this VM's devices are its devices.
    void startEmulator(gce::EmulatorOptions options = EmulatorEnv::defaultOptions());
    // The emulator on fleetScenario(disks, prefix) (options' scenario is
    // replaced) and records from fleetRecords(disks, snapPrefix, ...).
    void startFleet(int disks, const std::string& prefix, const std::string& snapPrefix,
                    int retryIntervalSec, int retryCount,
                    gce::EmulatorOptions options = EmulatorEnv::defaultOptions());
    // Records as prepare leaves them for disks of the emulator's default
    // scenario (disk id "1"), snapshots named snapPrefix + disk, retry
    // interval 0 and retryCount tries.
    void preparedRecords(const std::vector<std::string>& disks, const std::string& snapPrefix,
                         int retryCount = 3);
    // Prepare (when asked), snap and post-snap of every record, each
    // succeeding; the journal is cleared after.
    void snapAll(bool prepare);
    // Makes r a disk of another VM: "project|disk id" on "project|VM id", reached
    // with account's key, where the host says such disks live.
    void asHpx(FakeSnapInfo& r, const std::string& project, const std::string& diskId,
               const std::string& vmId, const std::string& account) const;

    // ctx and utils over the records for operation op, connected to the
    // emulator as an entry point connects (after the array's details when
    // asked); the journal is cleared after.
    void connect(int op, bool arrayDetails = false);
    // The context's i-th object, in record order.
    DuVavaZid::GcpObject* object(size_t i);
    // Starts a snapshot of the disk at diskPath ("demo-project/zones/z/disks/d")
    // through the context's client; the answer stays in the session's response.
    bool postSnapshot(const std::string& diskPath, const std::string& name);

    int run(Entry fn) { return fn(records->data(), records->count(), &util); }
    FakeSnapInfo& rec(size_t i) { return (*records)[i]; }
    jsonxx::Object disk(const std::string& name) const { return env->disk(name); }

    LogCapture log{9};
    std::unique_ptr<EmulatorEnv> env;
    FakeOSUtil util;
    std::unique_ptr<RecordSet> records;
    std::unique_ptr<DuVavaZid::GcpCtx> ctx;
    std::unique_ptr<DuVavaZid::GcpUtils> utils;
};

}  // namespace bxtest
