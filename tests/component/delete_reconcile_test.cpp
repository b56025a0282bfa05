// Snapshot deletion and reconciliation through the exported entry points.
#include <set>

#include "support/snapped_disks.h"

namespace {

using bxtest::httpFault;

class SnapshotLifecycleTest : public bxtest::SnappedDisks {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        util.lister = nullptr;  // no local device is looked at
        // The plug-in's own client makes the snapshots: it is what the deletion talks through.
        records = std::make_unique<bxtest::RecordSet>(1);
        prepareRecord(rec(0), "maker", "");
        ASSERT_NO_FATAL_FAILURE(connect(DuVavaZid::GCP_OP_POST_SNAP));
    }

    // A snapshot of data-disk-1 made directly through the API; returns its id.
    std::string makeSnapshot(const std::string& name) {
        if (!postSnapshot("demo-project/zones/us-central1-a/disks/data-disk-1", name)) {
            return "";
        }
        return env->snapshot(name).get<jsonxx::String>("id");
    }

    // A record as the post phase leaves it: metadata with the snapshot's id.
    static void prepareRecord(bxtest::FakeSnapInfo& r, const std::string& snapName,
                              const std::string& snapId) {
        bxtest::storePreparedMetadata(r, "1", "data-disk-1", "us-central1-a", snapId);
        r.snapName = snapName;
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 5;
    }
};

TEST_F(SnapshotLifecycleTest, DeletesExistingAndToleratesNeverCreatedOrGone) {
    std::string id1 = makeSnapshot("del-1");
    std::string id2 = makeSnapshot("del-2");
    ASSERT_FALSE(id1.empty());
    bxtest::RecordSet records(4);
    prepareRecord(records[0], "del-1", id1);
    prepareRecord(records[1], "del-2", "");  // resource id never recorded: found by name
    prepareRecord(records[2], "gone-long-ago", "4242");
    records[3].snapName = "never-made";  // prepare failed: no metadata at all
    env->emu().clearJournal();
    EXPECT_EQ(bxso_deleteSnaps(records.data(), records.count(), &util), 0) << records[0].errorText;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].status, BXSO::SNAP_DELETE_SUCCESS) << i;
    }
    EXPECT_TRUE(env->snapshot("del-1").empty());
    EXPECT_TRUE(env->snapshot("del-2").empty());
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/" + id1), 1u);
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/del-2"), 1u);
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/4242"), 0u);
    EXPECT_TRUE(log.contains("GCP Snapshot delete stats -- total [4] deleted [4] failed [0]", 0));
    EXPECT_TRUE(records[0].hostLogContains("Delete snap operation -- success"));
}

TEST_F(SnapshotLifecycleTest, NotFoundOnDeleteIsConfirmedByALookup) {
    std::string id = makeSnapshot("vanishing");
    bxtest::RecordSet records(1);
    prepareRecord(records[0], "vanishing", id);
    gce::FaultSpec del = httpFault("DELETE", "*/global/snapshots/*", 404);
    env->emu().injectFault(del);
    // The snapshot really is there: the 404 was wrong, and the record fails.
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 1, &util), 1);
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_EQ(records[0].errorCode, 60004);
    EXPECT_NE(
        records[0].errorText.find(
            "Failed to delete snapshot [vanishing] of GCP device [1]. Snapshot exists in GCP"),
        std::string::npos)
        << records[0].errorText;

    // Now it disappears between the first lookup and the DELETE.
    records[0].status = BXSO::SNAP_STATUS_NONE;
    records[0].setError(0, "");
    env->emu().injectFault(del);
    gce::FaultSpec laterGet = httpFault("GET", "*/global/snapshots/*", 404);
    laterGet.skip = 1;
    laterGet.reason = "notFound";
    env->emu().injectFault(laterGet);
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 1, &util), 0) << records[0].errorText;
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_SUCCESS);
}

// A backend error is transient: the DELETE is repeated with the same request
// id; one that never clears fails the snapshot with GCP's reason after the
// account's tries and the one extra pass that deletion gives backend errors.
TEST_F(SnapshotLifecycleTest, BackendErrorIsRepeatedWithTheSameRequestId) {
    std::string id = makeSnapshot("flaky");
    bxtest::RecordSet records(1);
    prepareRecord(records[0], "flaky", id);
    gce::FaultSpec backend = httpFault("DELETE", "*/global/snapshots/*", 503, -1);
    backend.reason = "backendError";
    env->emu().injectFault(backend);
    env->emu().clearJournal();
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 1, &util), 1);
    // Five tries (the account's retry count), twice.
    EXPECT_EQ(env->requestsMatching("DELETE", "/global/snapshots/"), 10u);
    EXPECT_EQ(log.count("GCP >> Retrying delete for snapshot [flaky] after waiting for 0 seconds"),
              1u);
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_NE(records[0].errorText.find("GCP returned backend error"), std::string::npos);

    // Two backend errors only: the third try deletes it, under the first try's id.
    env->emu().clearFaults();
    backend.count = 2;
    env->emu().injectFault(backend);
    env->emu().clearJournal();
    records[0].setError(0, "");
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 1, &util), 0) << records[0].errorText;
    EXPECT_EQ(records[0].status, BXSO::SNAP_DELETE_SUCCESS);
    EXPECT_TRUE(env->snapshot("flaky").empty());
    std::set<std::string> ids;
    for (const auto& e : env->requests("DELETE", "")) {
        EXPECT_NE(e.query.find("requestId="), std::string::npos);
        ids.insert(e.query);
    }
    EXPECT_EQ(ids.size(), 1u);
}

TEST_F(SnapshotLifecycleTest, AFailureBetweenSuccessesStillReachesTheFirstRecord) {
    bxtest::RecordSet records(3);
    const char* names[] = {"first", "refused", "last"};
    for (size_t i = 0; i < 3; ++i) {
        prepareRecord(records[i], names[i], makeSnapshot(names[i]));
    }
    gce::FaultSpec refused = httpFault("DELETE", "*/global/snapshots/*", 400);  // not transient
    refused.skip = 1;  // the second snapshot's DELETE only
    env->emu().injectFault(refused);
    EXPECT_EQ(bxso_deleteSnaps(records.data(), 3, &util), 1);
    EXPECT_EQ(records[1].status, BXSO::SNAP_DELETE_FAILED);
    EXPECT_EQ(records[2].status, BXSO::SNAP_DELETE_SUCCESS);
    // The last snapshot's lookup reset the context's error; the call still
    // reports the failure, on the first record as on every failed call.
    EXPECT_NE(records[0].errorCode, 0);
    EXPECT_NE(records[0].errorText.find("refused"), std::string::npos) << records[0].errorText;
    EXPECT_FALSE(env->snapshot("refused").empty());
    EXPECT_TRUE(env->snapshot("last").empty());
}

TEST_F(SnapshotLifecycleTest, ReconcileMarksOnlyWhatIsGone) {
    std::string keptId = makeSnapshot("kept");
    std::string otherId = makeSnapshot("unreachable");
    bxtest::RecordSet records(4);
    prepareRecord(records[0], "kept", keptId);
    prepareRecord(records[1], "gone", "777");
    prepareRecord(records[2], "", "555");  // the host never named it
    prepareRecord(records[3], "unreachable", otherId);
    gce::FaultSpec broken = httpFault("GET", "*/global/snapshots/" + otherId, 403, -1);
    broken.reason = "forbidden";  // not transient: no repeat
    env->emu().injectFault(broken);
    env->emu().clearJournal();
    EXPECT_EQ(bxso_reconcileSnaps(records.data(), 4, &util), 0);
    EXPECT_EQ(records[0].status, BXSO::SNAP_STATUS_NONE);
    EXPECT_EQ(records[1].status, BXSO::SNAP_EXTERNALLY_DELETED);
    EXPECT_EQ(records[2].status, BXSO::SNAP_STATUS_NONE);
    EXPECT_EQ(records[3].status, BXSO::SNAP_STATUS_NONE);
    EXPECT_TRUE(log.contains(
        "GCP Snapshot Recon stats: Total-[4] Externally Deleted-[1] Skipped-[1] Failed-[1]", 0));
    EXPECT_EQ(env->requestsMatching("", "/global/snapshots/"), 3u);
    EXPECT_EQ(env->requestsMatching("DELETE", ""), 0u);
}

}  // namespace
