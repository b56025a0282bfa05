// The parallel phases against the emulator: each worker talks through its own
// session, failures keep their reason, the token is renewed once for all, and
// lookups read each instance once.
#include <algorithm>
#include <chrono>
#include <thread>

#include "support/snapped_disks.h"

namespace {

const char* const kPrefix = "par-disk-";

class ParallelTest : public bxtest::SnappedDisks {
  protected:
    // disks disks prepared for calls on threads workers.
    void start(int disks, int threads = 8) {
        log.setLevel(3);
        ASSERT_NO_FATAL_FAILURE(startFleet(disks, kPrefix, "par-snap-", 0, 20));
        util.jobId = 4321;
        for (int i = 0; i < disks; ++i) {
            rec(i).configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = threads;
            rec(i).intProperties[13] = 1;
            rec(i).hostInfoText = "ab12";
            rec(i).cloneNumber = 1;
        }
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    }

    static std::string name(int i) { return kPrefix + std::to_string(i + 1); }
};

// One disk's createSnapshot refused while two others succeed: the reason
// reaches the call's first record and that disk's record, whatever the other
// workers did meanwhile.
TEST_F(ParallelTest, RefusedSnapshotKeepsGcpsReasonOnTheCallAndItsRecord) {
    struct Case {
        int status;
        const char* reason;
        const char* message;
    } cases[] = {{403, "rateLimitExceeded", "Rate Limit Exceeded"},
                 {500, "backendError", "Internal error. Please try again."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ASSERT_NO_FATAL_FAILURE(start(3));
        // Transient, but every repeat is refused too.
        gce::FaultSpec fault =
            bxtest::httpFault("POST", "*/disks/" + name(1) + "/createSnapshot*", c.status, -1);
        fault.body = std::string(R"({"error":{"code":)") + std::to_string(c.status) +
                     R"(,"message":")" + c.message + R"(","errors":[{"message":")" + c.message +
                     R"(","domain":"usageLimits","reason":")" + c.reason + R"("}]}})";
        env->emu().injectFault(fault);

        EXPECT_EQ(run(bxso_snapDevices), 1);
        const std::string want = "Failed to create snapshot of Gcp device [" + name(1) +
                                 "]. REST error returned by GCP [" + c.message + " ]";
        EXPECT_EQ(rec(0).errorCode, 60001);
        EXPECT_EQ(rec(0).errorText, want);
        EXPECT_EQ(rec(1).errorCode, 60001);
        EXPECT_EQ(rec(1).errorText, want);
        EXPECT_EQ(rec(1).status, BXSO::SNAP_CREATE_FAILED);
        EXPECT_EQ(env->snapshotStatus(rec(0).snapName), "READY");
        EXPECT_EQ(env->snapshotStatus(rec(2).snapName), "READY");
        EXPECT_EQ(env->snapshotStatus(rec(1).snapName), "");
    }
}

// Eight workers refused with 401 at the same moment: one token request, and
// each refused request sent once more.
TEST_F(ParallelTest, SimultaneousUnauthenticatedAnswersRenewTheTokenOnce) {
    ASSERT_NO_FATAL_FAILURE(start(8, 8));
    // Every createSnapshot is held before the emulator checks its token, and
    // the tokens expire while all eight are held: each is refused with 401.
    gce::FaultSpec slow = bxtest::httpFault("POST", "*/createSnapshot*", 0, -1);
    slow.latencySeconds = 0.6;
    env->emu().injectFault(slow);
    env->emu().clearJournal();
    // Once the call has its token (its metadata read follows the token's),
    // before any createSnapshot has passed its hold.
    std::thread expire([this] {
        for (int i = 0; i < 2000; ++i) {
            for (const auto& e : env->emu().journal()) {
                if (e.server == "metadata" && e.query == "recursive=true") {
                    env->emu().expireAllTokens();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    int rc = run(bxso_snapDevices);
    expire.join();
    ASSERT_EQ(rc, 0) << rec(0).errorText;
    // The call's own token, then exactly one renewal.
    EXPECT_EQ(env->requests("GET", "/service-accounts/default/token").size(), 2u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(env->requests("POST", "/disks/" + name(i) + "/createSnapshot").size(), 2u)
            << name(i);
    }
}

// With request latency, the workers' createSnapshot requests are in flight
// together: no lock is held across an exchange.
TEST_F(ParallelTest, WorkersRequestsOverlapInTime) {
    ASSERT_NO_FATAL_FAILURE(start(4, 4));
    gce::FaultSpec slow = bxtest::httpFault("POST", "*/createSnapshot*", 0, 4);  // latency only
    slow.latencySeconds = 0.5;
    env->emu().injectFault(slow);
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    auto creates = env->requests("POST", "/createSnapshot");
    ASSERT_EQ(creates.size(), 4u);
    double latestStart = 0;
    double earliestEnd = creates[0].answered;
    for (const auto& e : creates) {
        latestStart = std::max(latestStart, e.time);
        earliestEnd = std::min(earliestEnd, e.answered);
    }
    EXPECT_LT(latestStart, earliestEnd) << "the four requests were never in flight together";
}

// One request that hangs holds only its own worker: the other disks' whole
// snap phase (their createSnapshot and every poll) is answered while it is
// still in flight.
TEST_F(ParallelTest, HungRequestHoldsOnlyItsWorker) {
    ASSERT_NO_FATAL_FAILURE(start(3, 3));
    // Latency only.
    gce::FaultSpec hung = bxtest::httpFault("POST", "*/disks/" + name(0) + "/createSnapshot*", 0);
    hung.latencySeconds = 1.0;
    env->emu().injectFault(hung);
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    double hungAnswered = 0;
    for (const auto& e : env->requests("POST", "/createSnapshot")) {
        if (e.path.find("/disks/" + name(0) + "/") != std::string::npos) {
            hungAnswered = e.answered;
        }
    }
    ASSERT_GT(hungAnswered, 0);
    size_t others = 0;
    for (const auto& e : env->emu().journal()) {
        bool ofOthers =
            e.path.find(name(1)) != std::string::npos || e.path.find(name(2)) != std::string::npos;
        if (ofOthers && e.method == "POST") {
            ++others;
            EXPECT_LT(e.answered, hungAnswered) << e.path << " waited for the hung request";
        }
    }
    EXPECT_EQ(others, 2u);
}

// Prepare, map and unmap of several disks of one VM read that VM once each.
TEST_F(ParallelTest, LookupsReadTheInstanceOncePerCall) {
    ASSERT_NO_FATAL_FAILURE(start(4));
    auto instanceReads = [&] { return env->requestsMatching("GET", "/instances/mover-1"); };
    EXPECT_EQ(instanceReads(), 1u) << "prepare";
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(instanceReads(), 1u) << "map";
    env->emu().clearJournal();
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(instanceReads(), 1u) << "unmap";
}

// Snapshots and revert of many disks on eight workers, each with its own
// session: every disk gets its snapshot and its record that snapshot's id,
// and is replaced and attached again (run under ThreadSanitizer in CI).
TEST_F(ParallelTest, SnapAndRevertOfManyDisksOnEightWorkers) {
    ASSERT_NO_FATAL_FAILURE(start(32));
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    EXPECT_EQ(env->requestsMatching("POST", "/createSnapshot"), 32u);
    const std::string vm = env->idOf("projects/demo-project/zones/us-central1-a/instances/mover-1");
    for (int i = 0; i < records->count(); ++i) {
        jsonxx::Object snap = env->snapshot(rec(i).snapName);
        EXPECT_EQ(snap.get<jsonxx::String>("status"), "READY") << name(i);
        // Each record holds its own snapshot's id for the calls that follow.
        EXPECT_EQ(rec(i).metadata[6], disk(name(i)).get<jsonxx::String>("id") + "|demo-project|" +
                                          vm + "|" + snap.get<jsonxx::String>("id") + "|");
        // The description carries the time the call took the snapshot.
        EXPECT_EQ(snap.get<jsonxx::String>("description").find("[1970-01-01"), std::string::npos)
            << snap.get<jsonxx::String>("description");
        rec(i).configValues["SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY"] = 1;
    }
    ASSERT_EQ(run(bxso_revertSnaps), 0) << rec(0).errorText;
    for (int i = 0; i < records->count(); ++i) {
        EXPECT_EQ(rec(i).status, BXSO::SNAP_REVERT_SUCCESS) << name(i);
        jsonxx::Object d = disk(name(i));
        ASSERT_TRUE(d.has<jsonxx::String>("sourceSnapshot")) << name(i);
        EXPECT_NE(d.get<jsonxx::String>("sourceSnapshot").find(rec(i).snapName), std::string::npos)
            << name(i);
    }
}

}  // namespace
