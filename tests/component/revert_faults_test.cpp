// Revert is all or nothing under every fault: a fault on any request of the
// revert or of its undo (answered 500, 503 or 429, its Operation failing, its
// answer lost after GCP did the work) ends with every disk reverted, or with
// every disk back as it was and attached under its device name, for one disk
// and for three disks one after the other or in parallel.
#include <string>
#include <vector>

#include "support/snapped_disks.h"

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

struct Fault {
    const char* name;
    int status;           // of the answer; 0: no answer of its own
    bool operationFails;  // the request is accepted and its Operation fails
    bool answerLost;      // GCP does the work, the answer never arrives
};

const Fault kStatus500{"500", 500, false, false};
const Fault kStatus503{"503", 503, false, false};
const Fault kStatus429{"429", 429, false, false};
const Fault kOperationFails{"Operation fails", 0, true, false};
const Fault kAnswerLost{"answer lost", 0, false, true};

struct Layout {
    int disks;
    int threads;
};

// One disk, and three one after the other or in parallel.
const Layout kLayouts[] = {{1, 1}, {3, 1}, {3, 8}};

class RevertFaults : public bxtest::SnappedDisks {
  protected:
    void SetUp() override { log.setLevel(-1); }

    void start(const Layout& layout) {
        ASSERT_NO_FATAL_FAILURE(startFleet(layout.disks, kPrefix, "rv-snap-", 0, 3));
        util.jobId = 4321;
        disks = layout.disks;
        for (int i = 0; i < disks; ++i) {
            rec(i).configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = layout.threads;
            rec(i).intProperties[13] = 77;
            rec(i).hostInfoText = "ab12";
        }
        ASSERT_NO_FATAL_FAILURE(snapAll(true));
        labelsBefore = disk(name(0)).get<jsonxx::Object>("labels").json();
    }

    void inject(const Step& step, const Fault& fault, int skip) {
        if (fault.operationFails) {
            gce::OperationFault op = bxtest::opFault(step.operationType);
            op.message = "Injected failure of " + std::string(step.name);
            env->emu().failOperation(op);
            return;
        }
        gce::FaultSpec f = bxtest::httpFault(step.method, step.path, fault.status);
        f.skip = skip;
        f.dropAfterWork = fault.answerLost;
        env->emu().injectFault(f);
    }

    static std::string name(int i) { return kPrefix + std::to_string(i + 1); }

    // All reverted (0) or all back (1), never a mix; nothing else left behind.
    void expectAllOrNothing(int rc, const std::string& what) {
        SCOPED_TRACE(what + ": " + rec(0).errorText);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        for (int i = 0; i < disks; ++i) {
            jsonxx::Object d = disk(name(i));
            ASSERT_FALSE(d.empty()) << name(i) << " is missing";
            EXPECT_TRUE(env->attachedUnderItsName(name(i))) << name(i) << " is not attached";
            EXPECT_EQ(d.get<jsonxx::Object>("labels").json(), labelsBefore) << name(i);
            std::string source = d.get<jsonxx::String>("sourceSnapshot");
            bool reverted =
                source.find("/global/snapshots/" + rec(i).snapName) != std::string::npos;
            EXPECT_EQ(reverted, rc == 0) << name(i) << " made from [" << source << "]";
            EXPECT_EQ(rec(i).status,
                      rc == 0 ? BXSO::SNAP_REVERT_SUCCESS : BXSO::SNAP_REVERT_FAILED);
        }
        if (rc != 0) {
            EXPECT_NE(rec(0).errorCode, 0);
            EXPECT_FALSE(rec(0).errorText.empty());
        }
        for (const std::string& n : env->names("disks", "")) {
            EXPECT_TRUE(n == "mover-1-boot" || n.rfind(kPrefix, 0) == 0)
                << "disk [" << n << "] left behind";
        }
        // A safe-point stays only when the failure's text names it.
        for (const std::string& n : env->names("snapshots", "")) {
            if (n.rfind("bx-sp-", 0) == 0) {
                EXPECT_NE(rc, 0) << "safe-point [" << n << "] kept after a revert that succeeded";
                EXPECT_NE(rec(0).errorText.find(n), std::string::npos)
                    << "safe-point [" << n << "] kept without a word";
            }
        }
    }

    int disks = 0;
    std::string labelsBefore;
};

TEST_F(RevertFaults, EveryFaultOnEveryStepEndsAllOrNothing) {
    const Fault faults[] = {kStatus500, kStatus503, kStatus429, kOperationFails, kAnswerLost};
    int failedCalls = 0;
    int cases = 0;
    for (const Layout& layout : kLayouts) {
        for (const Step& step : steps()) {
            for (const Fault& fault : faults) {
                if (fault.operationFails && *step.operationType == '\0') {
                    continue;
                }
                // The first matching request, or one later on (another disk's,
                // or the undo's).
                for (int skip : {0, 2}) {
                    if (fault.operationFails && skip > 0) {
                        continue;
                    }
                    std::string what = std::to_string(layout.disks) + " disk(s) at " +
                                       std::to_string(layout.threads) + " thread(s), " + step.name +
                                       " " + fault.name + " after " + std::to_string(skip);
                    ASSERT_NO_FATAL_FAILURE(start(layout));
                    inject(step, fault, skip);
                    int rc = run(bxso_revertSnaps);
                    failedCalls += rc != 0;
                    ++cases;
                    expectAllOrNothing(rc, what);
                    ASSERT_FALSE(HasFailure()) << what;  // one failing case is enough to read
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
    const Fault faults[] = {kStatus500, kStatus503, kStatus429, kAnswerLost, kOperationFails};
    for (const Layout& layout : kLayouts) {
        for (const Step& step : steps()) {
            for (const Fault& fault : faults) {
                bool twice = fault.operationFails;
                if (twice && std::string(step.name) != "attach") {
                    continue;  // only the attach fails twice: once in the revert, once undone
                }
                std::string what = std::to_string(layout.disks) + " disk(s) at " +
                                   std::to_string(layout.threads) + " thread(s), undo's " +
                                   step.name + " " + fault.name;
                ASSERT_NO_FATAL_FAILURE(start(layout));
                gce::OperationFault attach =
                    bxtest::opFault("attachDisk", "INTERNAL_ERROR", twice ? 2 : 1);
                attach.targetPattern = "*";
                env->emu().failOperation(attach);
                if (!twice) {
                    // Past the revert's own requests of this kind, one per disk.
                    inject(step, fault, layout.disks);
                }
                int rc = run(bxso_revertSnaps);
                EXPECT_EQ(rc, 1) << what;
                expectAllOrNothing(rc, what);
                ASSERT_FALSE(HasFailure()) << what;
            }
        }
    }
}

// GCP refuses every step of the undo: the call cannot reach either end, and
// its text says where each disk stands and which safe-point holds its data.
TEST_F(RevertFaults, UndoThatCannotFinishSaysWhereEachDiskStands) {
    start({1, 1});
    env->emu().failOperation(bxtest::opFault("attachDisk", "INTERNAL_ERROR", -1));
    EXPECT_EQ(run(bxso_revertSnaps), 1);
    const std::string& text = rec(0).errorText;
    EXPECT_NE(text.find("The revert could not be undone: disk [" + name(0) +
                        "] exists but is not attached, its data is in safe-point snapshot [bx-sp-"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Safe-point snapshots kept in GCP: [bx-sp-"), std::string::npos) << text;
}

}  // namespace
