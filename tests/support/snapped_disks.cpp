#include "support/snapped_disks.h"

namespace bxtest {

void SnappedDisks::startEmulator(gce::EmulatorOptions options) {
    env.reset();
    env = std::make_unique<EmulatorEnv>(std::move(options));
    ASSERT_TRUE(env->ok()) << env->error();
    EmulatorEnv::useEmulatedDevices(util);
}

void SnappedDisks::startFleet(int disks, const std::string& prefix, const std::string& snapPrefix,
                              int retryIntervalSec, int retryCount, gce::EmulatorOptions options) {
    options.scenarioJson = EmulatorEnv::fleetScenario(disks, prefix);
    records = EmulatorEnv::fleetRecords(disks, snapPrefix, retryIntervalSec, retryCount);
    startEmulator(std::move(options));
}

void SnappedDisks::preparedRecords(const std::vector<std::string>& disks,
                                   const std::string& snapPrefix, int retryCount) {
    records = std::make_unique<RecordSet>(static_cast<int>(disks.size()));
    for (size_t i = 0; i < disks.size(); ++i) {
        storePreparedMetadata(rec(i), "1", disks[i]);
        rec(i).snapName = snapPrefix + disks[i];
        rec(i).configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
        rec(i).configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = retryCount;
    }
}

void SnappedDisks::snapAll(bool prepare) {
    if (prepare) {
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    }
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    env->emu().clearJournal();
}

}  // namespace bxtest
