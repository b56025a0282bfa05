// Fault storm: the whole cycle for twenty disks through the exported entry
// points while the emulator answers with random faults, round after round.
// Faults are drawn from a seeded generator so that a failing round can be
// replayed: BXSO_STORM_SEED picks the seed, BXSO_STORM_ROUNDS the number of
// rounds (scripts/storm passes its arguments through these), BXSO_STORM_FROM
// the first round to run, BXSO_STORM_DISKS the number of disks.
//
// After every round, with the faults cleared and a final unmap and delete:
//  - every call returned, and every failed call left a host error code and a
//    text on its first record;
//  - every source disk exists and is attached under its device name;
//  - no clone, interim object or safe-point snapshot is left, and every
//    snapshot still in GCP belongs to a record;
//  - a call that returned 0 left nothing it had to remove;
//  - no resource was made twice: a disk or snapshot is created again only
//    after it was deleted, and a revert takes one safe-point per disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

// Twenty unless BXSO_STORM_DISKS says otherwise (read in SetUp).
int diskCount = 20;

unsigned envNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

std::string diskName(int i) {
    return "storm-disk-" + std::to_string(i + 1);
}

class FaultStorm : public ::testing::Test {
  protected:
    void SetUp() override {
        diskCount = static_cast<int>(envNumber("BXSO_STORM_DISKS", 20));
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(diskCount, "storm-disk-");
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        seed = envNumber("BXSO_STORM_SEED", 20261206);
        rounds = envNumber("BXSO_STORM_ROUNDS", 12);
        rng.seed(seed);
    }

    std::unique_ptr<bxtest::RecordSet> newRecords(unsigned round) {
        auto records = bxtest::EmulatorEnv::fleetRecords(
            diskCount, "storm-" + std::to_string(round) + "-", 0, 4);
        for (int i = 0; i < diskCount; ++i) {
            auto& r = (*records)[i];
            r.intProperties[13] = static_cast<int>(round + 1);
            r.hostInfoText = "ab12";
            r.cloneNumber = static_cast<int>(round + 1);
            r.flagsSet[0x8000] = (round % 2) == 1;
        }
        util.jobId = 9000 + round;
        return records;
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    // A handful of faults on random requests; some fire only after a few
    // matching requests so that they land in the middle of an operation.
    void injectRandomFaults(bool apply = true) {
        static const char* const kMethods[] = {"GET", "POST", "DELETE", "*"};
        static const char* const kPaths[] = {
            "*/disks*",      "*/global/snapshots/*", "*/createSnapshot*", "*/attachDisk*",
            "*/detachDisk*", "*/operations/*",       "/token*",           "*"};
        static const int kStatuses[] = {500, 503, 429, 401};
        int count = pick(1, 3);
        for (int i = 0; i < count; ++i) {
            gce::FaultSpec f;
            f.method = kMethods[pick(0, 3)];
            f.path = kPaths[pick(0, 7)];
            f.count = pick(1, 2);
            f.skip = pick(0, 80);
            int kind = pick(0, 11);
            if (kind == 0) {
                f.dropConnection = true;
            } else if (kind == 1) {
                f.status = 0;
                f.latencySeconds = 0.02 * pick(1, 5);
            } else if (kind == 10) {
                // A rate limit that names its pause.
                f.status = 429;
                f.retryAfterSeconds = 0;
            } else if (kind == 11) {
                // The work is done but its answer is lost.
                f.dropAfterWork = true;
            } else {
                f.status = kStatuses[pick(0, 3)];
            }
            if (apply) {
                env->emu().injectFault(f);
            }
        }
        if (pick(0, 2) == 0) {
            static const char* const kOps[] = {"insert", "delete", "createSnapshot", "attachDisk",
                                               "detachDisk"};
            static const char* const kCodes[] = {"RESOURCE_OPERATION_RATE_EXCEEDED",
                                                 "RATE_LIMIT_EXCEEDED", "INTERNAL_ERROR"};
            gce::OperationFault op;
            op.operationType = kOps[pick(0, 4)];
            op.errorCode = kCodes[pick(0, 2)];
            op.count = 1;
            if (apply) {
                env->emu().failOperation(op);
            }
        }
        if (pick(0, 3) == 0) {
            int late = pick(1, 2);
            if (apply) {
                env->emu().setLateDevices(late);
            }
        }
    }

    // A failed call must say why on its first record.
    int call(const char* what, int (*fn)(BXSO::SnapInfo**, short, BXSO::BXOSUtil*),
             bxtest::RecordSet& records, unsigned round) {
        // A text left by an earlier call must not pass for this call's reason.
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].errorCode = 0;
            records[i].errorText.clear();
        }
        int rc = fn(records.data(), records.count(), &util);
        ++calls;
        roundLog << "  " << what << ": " << rc
                 << (rc != 0 ? " [" + records[0].errorText + "]" : std::string()) << "\n";
        if (rc == 0) {
            ++successesByCall[what];
            expectRemovedBy(what, records, round);
        } else {
            ++failedCalls;
            ++failuresByCall[what];
            EXPECT_NE(records[0].errorCode, 0) << what << " round " << round << " seed " << seed;
            EXPECT_FALSE(records[0].errorText.empty())
                << what << " round " << round << " seed " << seed;
        }
        return rc;
    }

    jsonxx::Object state() {
        jsonxx::Object o;
        o.parse(env->emu().stateJson());
        return o;
    }

    void expectSourceDisksAttached(unsigned round) {
        for (int i = 0; i < diskCount; ++i) {
            EXPECT_TRUE(env->attachedUnderItsName(diskName(i)))
                << diskName(i) << " is not attached after round " << round << " seed " << seed;
        }
    }

    // A disk of the VM's own, or one of the source disks.
    static bool ownDisk(const std::string& name) {
        return name == "mover-1-boot" || name.rfind("storm-disk-", 0) == 0;
    }

    // Disks other than the VM's own, and snapshots that belong to no record.
    void expectNothingLeftBehind(const bxtest::RecordSet& records, unsigned round) {
        for (const std::string& name : env->names("disks", "")) {
            EXPECT_TRUE(ownDisk(name))
                << "disk [" << name << "] left after round " << round << " seed " << seed;
        }
        std::set<std::string> recorded = snapshotNames(records);
        for (const std::string& name : env->names("snapshots", "")) {
            if (recorded.count(name) > 0) {
                continue;
            }
            // A failed revert keeps its safe-point snapshots as the operator's
            // way back, and a safe-point that could not be deleted is left to
            // the operator too; the revert says so in both cases.
            if (name.rfind("bx-sp-", 0) == 0 && revertAskedForManualCleanup) {
                reportedSafePoints.insert(name);
                continue;
            }
            if (reportedSafePoints.count(name) == 0) {
                ADD_FAILURE() << "snapshot [" << name << "] belongs to no record after round "
                              << round << " seed " << seed;
            }
        }
    }

    static std::set<std::string> snapshotNames(const bxtest::RecordSet& records) {
        std::set<std::string> names;
        for (size_t i = 0; i < records.size(); ++i) {
            names.insert(const_cast<bxtest::RecordSet&>(records)[i].snapName);
        }
        return names;
    }

    // A call that returned 0 removed what it had to: after an unmap no clone
    // is left, after a deletion none of the records' snapshots.
    void expectRemovedBy(const std::string& what, const bxtest::RecordSet& records,
                         unsigned round) {
        for (const std::string& name :
             what.rfind("unmap", 0) == 0 ? env->names("disks", "") : std::vector<std::string>{}) {
            EXPECT_TRUE(ownDisk(name)) << what << " returned 0 but clone [" << name
                                       << "] is still there, round " << round << " seed " << seed;
        }
        std::set<std::string> recorded = snapshotNames(records);
        for (const std::string& name : what.rfind("delete", 0) == 0 ? env->names("snapshots", "")
                                                                    : std::vector<std::string>{}) {
            EXPECT_EQ(recorded.count(name), 0u)
                << what << " returned 0 but snapshot [" << name << "] is still there, round "
                << round << " seed " << seed;
        }
    }

    // Walks the Operations GCP started since the last check: a repeated
    // request that did its work twice shows as a second creation of a
    // resource that still exists, or as a second safe-point of one disk.
    void expectNoDuplicateResource(unsigned round) {
        jsonxx::Object s = state();
        const jsonxx::Array& ops = s.get<jsonxx::Array>("operations");
        // Copies: the array hands out its members by value.
        std::vector<jsonxx::Object> fresh;
        for (size_t i = 0; i < ops.size(); ++i) {
            jsonxx::Object op = ops.get<jsonxx::Object>(i);
            if (seenOperations.insert(op.get<jsonxx::String>("name")).second &&
                !op.get<jsonxx::Boolean>("failed")) {
                fresh.push_back(op);
            }
        }
        std::sort(fresh.begin(), fresh.end(), [](const jsonxx::Object& a, const jsonxx::Object& b) {
            return a.get<jsonxx::Number>("insertMs") < b.get<jsonxx::Number>("insertMs");
        });
        std::map<std::string, int> live;
        std::map<std::string, int> safePoints;
        for (const jsonxx::Object& op : fresh) {
            const std::string type = op.get<jsonxx::String>("type");
            const std::string target = op.get<jsonxx::String>("targetPath");
            const std::string effect = op.get<jsonxx::String>("effect");
            if (type == "delete") {
                live[target] = 0;
                continue;
            }
            std::string made;
            if (effect == "diskReady") {
                made = target;
            } else if (effect == "snapshotReady") {
                made = op.get<jsonxx::Object>("effectArgs").get<jsonxx::String>("snapshot");
                if (made.find("/bx-sp-") != std::string::npos) {
                    EXPECT_EQ(++safePoints[target], 1) << "second safe-point of " << target
                                                       << " in round " << round << " seed " << seed;
                }
            }
            if (!made.empty()) {
                EXPECT_EQ(++live[made], 1)
                    << made << " made twice in round " << round << " seed " << seed;
            }
        }
    }

    bxtest::LogCapture log{2};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    bxtest::FakeOSUtil util;
    std::mt19937 rng;
    unsigned seed = 0;
    unsigned rounds = 0;
    bool revertAskedForManualCleanup = false;
    std::set<std::string> reportedSafePoints;
    std::set<std::string> seenOperations;
    std::ostringstream roundLog;  // what each call of the round answered
    int calls = 0;
    int failedCalls = 0;
    std::map<std::string, int> failuresByCall;
    std::map<std::string, int> successesByCall;
};

TEST_F(FaultStorm, WholeCycleUnderRandomFaultsLeavesNothingBehind) {
    // BXSO_STORM_FROM replays from a round: earlier rounds only draw their faults.
    const unsigned from = envNumber("BXSO_STORM_FROM", 0);
    for (unsigned round = 0; round < from; ++round) {
        injectRandomFaults(false);
    }
    for (unsigned round = from; round < rounds && !HasFailure(); ++round) {
        auto records = newRecords(round);
        revertAskedForManualCleanup = false;
        roundLog.str("");
        log.clear();
        call("prepare", bxso_prepareDevices, *records, round);
        injectRandomFaults();
        call("snap", bxso_snapDevices, *records, round);
        call("post-snap", bxso_postSnapDevices, *records, round);
        call("map", bxso_mapSnaps, *records, round);
        // A host deletes or reverts only once the clones are gone, and retries
        // what failed once the faults are gone.
        bool unmapped = call("unmap", bxso_unmapSnaps, *records, round) == 0;
        bool deleted = false;
        if (unmapped) {
            if (round % 3 == 2) {
                // Reverts meet faults of their own: the cycle's are mostly spent.
                injectRandomFaults();
                size_t mark = log.lines().size();
                call("revert", bxso_revertSnaps, *records, round);
                std::vector<bxtest::DebugLine> lines = log.lines();
                for (size_t k = mark; k < lines.size(); ++k) {
                    revertAskedForManualCleanup |=
                        lines[k].text.find("manually in GCP console") != std::string::npos;
                }
            }
            deleted = call("delete", bxso_deleteSnaps, *records, round) == 0;
        }
        env->emu().clearFaults();
        if (!unmapped) {
            call("unmap again", bxso_unmapSnaps, *records, round);
        }
        expectSourceDisksAttached(round);
        if (!deleted) {
            call("delete again", bxso_deleteSnaps, *records, round);
        }
        expectNothingLeftBehind(*records, round);
        expectNoDuplicateResource(round);
        if (HasFailure()) {
            // The round's story, for the one who has to replay it.
            for (const auto& line : log.lines()) {
                if (line.level <= 2) {
                    std::cout << line.level << " " << line.text << "\n";
                }
            }
            std::cout << "round " << round << " seed " << seed << ":\n" << roundLog.str();
        }
    }
    // A storm in which nothing fails tests nothing.
    std::cout << "seed " << seed << ": " << calls << " calls, " << failedCalls << " failed\n";
    for (const auto& f : successesByCall) {
        std::cout << "  " << f.first << ": " << f.second << " succeeded, "
                  << failuresByCall[f.first] << " failed\n";
    }
    EXPECT_GT(failedCalls, 0);
    // Nor does one in which the cycle never gets through.
    for (const char* op : {"prepare", "snap", "post-snap", "map", "unmap", "delete"}) {
        EXPECT_TRUE(rounds - from < 10 || successesByCall[op] > 0) << op;
    }
}

}  // namespace
