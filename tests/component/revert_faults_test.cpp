// Revert is all or nothing under every fault: a fault on any request of the
// revert or of its undo (answered 500, 503 or 429, its Operation failing, its
// answer lost after GCP did the work) ends with every disk reverted, or with
// every disk back as it was and attached under its device name, for one disk
// and for three disks one after the other or in parallel.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "engine/exports.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

namespace {

const char* const kPrefix = "rv-disk-";

struct Step {
    const char* name;
    const char* method;
    std::string path;
    const char* operationType;  // "" when the request starts no Operation
};

std::vector<Step> steps() {
    return {
        {"detach", "POST", "*/detachDisk*", "detachDisk"},
        {"safe-point", "POST", "*/createSnapshot*", "createSnapshot"},
        {"delete", "DELETE", "*/disks/" + std::string(kPrefix) + "*", "delete"},
        {"create", "POST", "re:/zones/us-central1-a/disks/?$", "insert"},
        {"attach", "POST", "*/attachDisk*", "attachDisk"},
        {"disk read", "GET", "*/disks/" + std::string(kPrefix) + "*", ""},
        {"poll", "GET", "*/operations/*", ""},
    };
}

enum class Fault { Status500, Status503, Status429, OperationFails, AnswerLost };

const char* faultName(Fault f) {
    switch (f) {
        case Fault::Status500:
            return "500";
        case Fault::Status503:
            return "503";
        case Fault::Status429:
            return "429";
        case Fault::OperationFails:
            return "Operation fails";
        case Fault::AnswerLost:
            return "answer lost";
    }
    return "";
}

struct Layout {
    int disks;
    int threads;
};

class RevertFaults : public ::testing::Test {
  protected:
    void start(const Layout& layout) {
        env.reset();  // one emulator at a time: the device view follows the live one
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(layout.disks, kPrefix);
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        util.jobId = 4321;
        disks = layout.disks;
        rs = bxtest::EmulatorEnv::fleetRecords(disks, "rv-snap-", 0, 3);
        for (int i = 0; i < disks; ++i) {
            auto& r = (*rs)[i];
            r.configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = layout.threads;
            r.intProperties[13] = 77;
            r.hostInfoText = "ab12";
        }
        ASSERT_EQ(bxso_prepareDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        ASSERT_EQ(bxso_snapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        ASSERT_EQ(bxso_postSnapDevices(rs->data(), rs->count(), &util), 0) << (*rs)[0].errorText;
        labelsBefore = disk(0).get<jsonxx::Object>("labels").json();
    }

    void inject(const Step& step, Fault fault, int skip) {
        if (fault == Fault::OperationFails) {
            gce::OperationFault op;
            op.operationType = step.operationType;
            op.errorCode = "INTERNAL_ERROR";
            op.message = "Injected failure of " + std::string(step.name);
            env->emu().failOperation(op);
            return;
        }
        gce::FaultSpec f;
        f.method = step.method;
        f.path = step.path;
        f.skip = skip;
        if (fault == Fault::AnswerLost) {
            f.dropAfterWork = true;
        } else {
            f.status = fault == Fault::Status500 ? 500 : fault == Fault::Status503 ? 503 : 429;
        }
        env->emu().injectFault(f);
    }

    static std::string name(int i) { return kPrefix + std::to_string(i + 1); }

    jsonxx::Object disk(int i) {
        jsonxx::Object o;
        o.parse(env->emu().resourceJson(bxtest::EmulatorEnv::diskPath(name(i))));
        return o;
    }

    std::set<std::string> attachedUnderTheirNames() {
        jsonxx::Object vm;
        vm.parse(
            env->emu().resourceJson("projects/demo-project/zones/us-central1-a/instances/mover-1"));
        std::set<std::string> names;
        const jsonxx::Array& attached = vm.get<jsonxx::Array>("disks");
        for (size_t i = 0; i < attached.size(); ++i) {
            const jsonxx::Object& d = attached.get<jsonxx::Object>(i);
            const std::string& source = d.get<jsonxx::String>("source");
            if (source.substr(source.rfind('/') + 1) == d.get<jsonxx::String>("deviceName")) {
                names.insert(d.get<jsonxx::String>("deviceName"));
            }
        }
        return names;
    }

    // All reverted (0) or all back (1), never a mix; nothing else left behind.
    void expectAllOrNothing(int rc, const std::string& what) {
        SCOPED_TRACE(what + ": " + (*rs)[0].errorText);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        std::set<std::string> attached = attachedUnderTheirNames();
        for (int i = 0; i < disks; ++i) {
            jsonxx::Object d = disk(i);
            ASSERT_FALSE(d.empty()) << name(i) << " is missing";
            EXPECT_EQ(attached.count(name(i)), 1u) << name(i) << " is not attached";
            EXPECT_EQ(d.get<jsonxx::Object>("labels").json(), labelsBefore) << name(i);
            std::string source = d.has<jsonxx::String>("sourceSnapshot")
                                     ? d.get<jsonxx::String>("sourceSnapshot")
                                     : "";
            bool reverted =
                source.find("/global/snapshots/" + (*rs)[i].snapName) != std::string::npos;
            EXPECT_EQ(reverted, rc == 0) << name(i) << " made from [" << source << "]";
            EXPECT_EQ((*rs)[i].status,
                      rc == 0 ? BXSO::SNAP_REVERT_SUCCESS : BXSO::SNAP_REVERT_FAILED);
        }
        if (rc != 0) {
            EXPECT_NE((*rs)[0].errorCode, 0);
            EXPECT_FALSE((*rs)[0].errorText.empty());
        }
        jsonxx::Object state;
        state.parse(env->emu().stateJson());
        const jsonxx::Array& all = state.get<jsonxx::Array>("disks");
        for (size_t i = 0; i < all.size(); ++i) {
            const jsonxx::Object& d = all.get<jsonxx::Object>(i);
            const std::string& n = d.get<jsonxx::String>("name");
            EXPECT_TRUE(d.get<jsonxx::Boolean>("deleting") || n == "mover-1-boot" ||
                        n.rfind(kPrefix, 0) == 0)
                << "disk [" << n << "] left behind";
        }
        // A safe-point stays only when the failure's text names it.
        const jsonxx::Array& snaps = state.get<jsonxx::Array>("snapshots");
        for (size_t i = 0; i < snaps.size(); ++i) {
            const jsonxx::Object& s = snaps.get<jsonxx::Object>(i);
            const std::string& n = s.get<jsonxx::String>("name");
            if (n.rfind("bx-sp-", 0) == 0 && !s.get<jsonxx::Boolean>("deleting")) {
                EXPECT_NE(rc, 0) << "safe-point [" << n << "] kept after a revert that succeeded";
                EXPECT_NE((*rs)[0].errorText.find(n), std::string::npos)
                    << "safe-point [" << n << "] kept without a word";
            }
        }
    }

    bxtest::LogCapture log{-1};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    std::unique_ptr<bxtest::RecordSet> rs;
    bxtest::FakeOSUtil util;
    int disks = 0;
    std::string labelsBefore;
};

TEST_F(RevertFaults, EveryFaultOnEveryStepEndsAllOrNothing) {
    const Layout layouts[] = {{1, 1}, {3, 1}, {3, 8}};
    const Fault faults[] = {Fault::Status500, Fault::Status503, Fault::Status429,
                            Fault::OperationFails, Fault::AnswerLost};
    int failedCalls = 0;
    int cases = 0;
    for (const Layout& layout : layouts) {
        for (const Step& step : steps()) {
            for (Fault fault : faults) {
                if (fault == Fault::OperationFails && *step.operationType == '\0') {
                    continue;
                }
                // The first matching request, or one later on (another disk's,
                // or the undo's).
                for (int skip : {0, 2}) {
                    if (fault == Fault::OperationFails && skip > 0) {
                        continue;
                    }
                    std::string what = std::to_string(layout.disks) + " disk(s) at " +
                                       std::to_string(layout.threads) + " thread(s), " + step.name +
                                       " " + faultName(fault) + " after " + std::to_string(skip);
                    start(layout);
                    if (HasFatalFailure()) {
                        return;
                    }
                    inject(step, fault, skip);
                    int rc = bxso_revertSnaps(rs->data(), rs->count(), &util);
                    failedCalls += rc != 0;
                    ++cases;
                    expectAllOrNothing(rc, what);
                    if (HasFailure()) {
                        return;
                    }
                }
            }
        }
    }
    // Transient answers are repeated, failed Operations undone: both must occur.
    EXPECT_GT(failedCalls, 0);
    EXPECT_LT(failedCalls, cases);
}

// The undo meets the faults too: the revert fails at its last step, and a
// request of the undo that follows is answered with a fault; every disk still
// comes back as it was.
TEST_F(RevertFaults, FaultsInTheUndoStillBringEveryDiskBack) {
    const Layout layouts[] = {{1, 1}, {3, 1}, {3, 8}};
    const Fault faults[] = {Fault::Status500, Fault::Status503, Fault::Status429, Fault::AnswerLost,
                            Fault::OperationFails};
    for (const Layout& layout : layouts) {
        for (const Step& step : steps()) {
            for (Fault fault : faults) {
                bool twice = fault == Fault::OperationFails;
                if (twice && std::string(step.name) != "attach") {
                    continue;  // only the attach fails twice: once in the revert, once undone
                }
                std::string what = std::to_string(layout.disks) + " disk(s) at " +
                                   std::to_string(layout.threads) + " thread(s), undo's " +
                                   step.name + " " + faultName(fault);
                start(layout);
                if (HasFatalFailure()) {
                    return;
                }
                gce::OperationFault attach;
                attach.operationType = "attachDisk";
                attach.errorCode = "INTERNAL_ERROR";
                attach.targetPattern = "*";
                attach.count = twice ? 2 : 1;
                env->emu().failOperation(attach);
                if (!twice) {
                    // Past the revert's own requests of this kind, one per disk.
                    inject(step, fault, layout.disks);
                }
                int rc = bxso_revertSnaps(rs->data(), rs->count(), &util);
                EXPECT_EQ(rc, 1) << what;
                expectAllOrNothing(rc, what);
                if (HasFailure()) {
                    return;
                }
            }
        }
    }
}

// GCP refuses every step of the undo: the call cannot reach either end, and
// its text says where each disk stands and which safe-point holds its data.
TEST_F(RevertFaults, UndoThatCannotFinishSaysWhereEachDiskStands) {
    start({1, 1});
    gce::OperationFault attach;
    attach.operationType = "attachDisk";
    attach.errorCode = "INTERNAL_ERROR";
    attach.count = -1;
    env->emu().failOperation(attach);
    EXPECT_EQ(bxso_revertSnaps(rs->data(), rs->count(), &util), 1);
    const std::string& text = (*rs)[0].errorText;
    EXPECT_NE(text.find("The revert could not be undone: disk [" + name(0) +
                        "] exists but is not attached, its data is in safe-point snapshot [bx-sp-"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Safe-point snapshots kept in GCP: [bx-sp-"), std::string::npos) << text;
}

}  // namespace
