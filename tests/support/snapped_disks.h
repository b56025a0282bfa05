// Disks of the emulated VM whose snapshots are taken through the exported
// entry points: the start of the map, unmap, revert and delete tests. One
// emulator at a time: the device view and the settings follow the live one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/exports.h"
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

    int run(Entry fn) { return fn(records->data(), records->count(), &util); }
    FakeSnapInfo& rec(size_t i) { return (*records)[i]; }
    jsonxx::Object disk(const std::string& name) const { return env->disk(name); }

    LogCapture log{9};
    std::unique_ptr<EmulatorEnv> env;
    FakeOSUtil util;
    std::unique_ptr<RecordSet> records;
};

}  // namespace bxtest
