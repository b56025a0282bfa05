// N disks attached to the emulated VM "mover-1" of an in-process emulator,
// one host record per disk, and the exported entry point of each operation
// called on all of them at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ops/ideal.h"
#include "ops/local_scsi.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"

namespace opsbench {

struct FleetConfig {
    int disks = 1;
    LatencyModel model;      // applied while a measured call runs
    int threadCount = 0;     // the array's worker-pool bound; 0 leaves the plug-in's default
    int retrySeconds = 0;    // the array's retry interval between polls
    int snapPollMs = 0;      // the snap phase's poll interval
    int logLevel = 3;        // the runtime's debug level
    std::string logFile;     // debug lines go here
    bool httpsScsi = false;  // the runtime's emulator backend instead of LocalScsiView
};

class Fleet {
  public:
    explicit Fleet(const FleetConfig& config);
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Latency model on (time scale 1) or everything instant (time scale 0).
    void useLatency(bool on);
    // Calls the operation's entry point for all records; returns its result.
    int call(Op op);
    // The first record's error text after a failed call.
    std::string firstError();

    void clearJournal() { env_->emu().clearJournal(); }
    std::vector<gce::JournalEntry> journal() const { return env_->emu().journal(); }

    // Seconds from callStartEpoch until each disk's snapshot is READY, in
    // record order, from the arrival of its createSnapshot request in the
    // journal of the snap call.
    std::vector<double> snapshotsReadyAfter(const std::vector<gce::JournalEntry>& snapJournal,
                                            double callStartEpoch) const;

  private:
    bool seedDisks(const FleetConfig& config);
    bool buildRecords(const FleetConfig& config);

    std::unique_ptr<bxtest::EmulatorEnv> env_;
    std::unique_ptr<LocalScsiInstall> localScsi_;
    bxtest::FakeOSUtil util_;
    std::unique_ptr<bxtest::RecordSet> records_;
    std::vector<std::string> diskNames_;
    LatencyModel model_;
    std::string error_;
};

}  // namespace opsbench
