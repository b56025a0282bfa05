// The built plug-in driven through bxso-host: jobs across runs and failures
// in the middle.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "host_runner.h"

namespace bxe2e {

namespace {

using nlohmann::json;

json parseOut(const RunResult& r) {
    auto j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.all();
    return j;
}

class BackupCycleTest : public HostTest {
  protected:
    json list() {
        RunResult r = host({"--json", "list", "--all"});
        EXPECT_EQ(r.exitCode, 0) << r.all();
        return parseOut(r);
    }
    json bySource(const json& rows, const std::string& source) {
        for (const auto& row : rows) {
            if (row.value("source", "") == source) {
                return row;
            }
        }
        ADD_FAILURE() << "no snapshot of " << source;
        return json::object();
    }
    std::vector<std::string> names(const json& rows, int status) {
        std::vector<std::string> out;
        for (const auto& row : rows) {
            if (row.value("status", -1) == status) {
                out.push_back(row.value("name", ""));
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(BackupCycleTest, CatalogCarriesSnapshotsFromOneRunToTheNext) {
    addLocalArray();
    RunResult backup = host({"backup", "/dev/sdb", "/dev/sdc"});
    ASSERT_EQ(backup.exitCode, 0) << backup.all();

    // A second process sees what the first one recorded, with what GCP holds.
    json rows = list();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        std::string name = row.value("name", "");
        EXPECT_EQ(row.value("status", 0), 5) << name;
        EXPECT_EQ(row.value("phase", ""), "done") << name;
        EXPECT_EQ(snapshotStatus(name), "READY") << name;
        EXPECT_EQ(row.value("resourceId", ""), env->snapshot(name).get<jsonxx::String>("id"))
            << name;
    }
    EXPECT_EQ(bySource(rows, "/dev/sdb").value("disk", ""), "data-disk-1");
    EXPECT_EQ(names(rows, 5), gcpSnapshots());

    // A third run deletes from the catalog's records alone.
    RunResult del = host({"delete", "--job", "1"});
    ASSERT_EQ(del.exitCode, 0) << del.all();
    EXPECT_TRUE(gcpSnapshots().empty());
    rows = list();
    EXPECT_EQ(names(rows, 20).size(), 2u);
    RunResult live = host({"--json", "list"});
    EXPECT_EQ(parseOut(live).size(), 0u) << "deleted snapshots are listed only with --all";

    json jobs = parseOut(host({"--json", "jobs"}));
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].value("kind", ""), "backup");
    EXPECT_EQ(jobs[0].value("state", ""), "succeeded");
    EXPECT_EQ(jobs[1].value("kind", ""), "delete");
    EXPECT_EQ(jobs[1].value("state", ""), "succeeded");
    // The plug-in's job-log lines are kept per job.
    RunResult log = host({"log", "1"});
    EXPECT_NE(log.out.find("Post create snap operation -- success"), std::string::npos) << log.out;
}

TEST_F(BackupCycleTest, FailedSnapOfOneDiskLeavesCatalogMatchingGcpAndResumeFinishes) {
    addLocalArray();
    gce::FaultSpec fault =
        bxtest::httpFault("POST", "*/disks/data-disk-2/createSnapshot*", 403, -1);
    fault.reason = "forbidden";
    env->emu().injectFault(fault);

    RunResult backup = host({"backup", "/dev/sdb", "/dev/sdc", "/dev/sdd"});
    EXPECT_EQ(backup.exitCode, 1) << backup.all();
    EXPECT_NE(backup.err.find("host error 60001"), std::string::npos) << backup.err;
    EXPECT_NE(backup.err.find("Failed to create snapshot of Gcp device [data-disk-2]"),
              std::string::npos)
        << backup.err;
    EXPECT_NE(backup.err.find("backup --resume 1"), std::string::npos) << backup.err;

    // Every snapshot in GCP is in the catalog, each marked as the plug-in said.
    json rows = list();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(bySource(rows, "/dev/sdc").value("status", 0), 6);
    EXPECT_EQ(bySource(rows, "/dev/sdc").value("phase", ""), "prepared");
    for (const char* done : {"/dev/sdb", "/dev/sdd"}) {
        EXPECT_EQ(bySource(rows, done).value("status", 0), 5) << done;
        EXPECT_EQ(bySource(rows, done).value("phase", ""), "done") << done;
    }
    EXPECT_EQ(names(rows, 5), gcpSnapshots());
    json jobs = parseOut(host({"--json", "jobs"}));
    EXPECT_EQ(jobs.at(0).value("state", ""), "failed");
    EXPECT_EQ(jobs.at(0).value("hostError", 0), 60001);

    env->emu().clearFaults();
    RunResult resume = host({"backup", "--resume", "1"});
    ASSERT_EQ(resume.exitCode, 0) << resume.all();
    rows = list();
    EXPECT_EQ(names(rows, 5).size(), 3u);
    EXPECT_EQ(names(rows, 5), gcpSnapshots());
    for (const auto& row : rows) {
        EXPECT_EQ(snapshotStatus(row.value("name", "")), "READY");
        // The error of the failed run is not left behind on a record that
        // succeeded since (the plug-in keeps an error it finds on a record).
        EXPECT_FALSE(row.contains("error")) << row.dump();
    }
}

TEST_F(BackupCycleTest, SnapshotThatNeverGotAnArrayIsDeletedByTheHostAlone) {
    RunResult backup = host({"backup", "/dev/sdb"});
    ASSERT_EQ(backup.exitCode, 1) << backup.all();
    env->emu().clearJournal();
    RunResult del = host({"delete", "1"});
    ASSERT_EQ(del.exitCode, 0) << del.all();
    json rows = list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value("status", 0), 20);
    EXPECT_FALSE(rows[0].contains("error")) << rows[0].dump();
    EXPECT_EQ(env->requestsMatching("", "/compute/v1/"), 0u) << "nothing to ask GCP";
}

// A disk reverted first and rolled back when the next one fails: the operator
// sees its "reverted" line followed by "revert failed", not "reverted" alone.
TEST_F(BackupCycleTest, RevertRolledBackAfterItsSuccessIsShownAsFailed) {
    RunResult add = host({"array", "add", "GCP-Default-IAM", "--config", "retry-interval=0",
                          "--config", "retry-count=50", "--config", "threads=1"});
    ASSERT_EQ(add.exitCode, 0) << add.all();
    RunResult backup = host({"backup", "/dev/sdb", "/dev/sdc"});
    ASSERT_EQ(backup.exitCode, 0) << backup.all();
    gce::FaultSpec attach = bxtest::httpFault("POST", "*/attachDisk*", 400);
    attach.skip = 1;  // the first disk is reverted, the second's attach is refused once
    env->emu().injectFault(attach);
    RunResult revert = host({"revert", "--job", "1"});
    EXPECT_EQ(revert.exitCode, 1) << revert.all();
    const std::string all = revert.all();
    size_t reverted = all.find("]: reverted");
    ASSERT_NE(reverted, std::string::npos) << all;
    EXPECT_NE(all.find("]: revert failed", reverted), std::string::npos) << all;
}

struct FailureCase {
    const char* name;
    bool withArray;
    bool backupFirst;  // a backup of /dev/sdb, then GCP refuses every snapshot deletion
    const char* args;  // bxso-host's arguments, separated by spaces
    int hostError;
    const char* pluginText;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailingOperationTest : public BackupCycleTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailingOperationTest, ExitsNonZeroWithThePluginsErrorAndHostCode) {
    const FailureCase& c = GetParam();
    if (c.withArray) {
        addLocalArray();
    }
    if (c.backupFirst) {
        RunResult backup = host({"backup", "/dev/sdb"});
        ASSERT_EQ(backup.exitCode, 0) << backup.all();
        gce::FaultSpec refused = bxtest::httpFault("DELETE", "*/global/snapshots/*", 403, -1);
        refused.reason = "forbidden";
        env->emu().injectFault(refused);
    }
    RunResult r = host(bxtest::split(c.args, ' '));
    EXPECT_EQ(r.exitCode, 1) << r.all();
    EXPECT_NE(r.err.find("host error " + std::to_string(c.hostError)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.pluginText), std::string::npos) << r.err;
    RunResult json = host({"--json", "list", "--all"});
    ASSERT_EQ(json.exitCode, 0);
    // The record keeps the plug-in's error for the operator.
    EXPECT_NE(json.out.find(c.pluginText), std::string::npos) << json.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingOperationTest,
    ::testing::Values(
        FailureCase{"NoArrayForLocalDisks", false, false, "backup /dev/sdb", 62008,
                    "not found in Array Management"},
        FailureCase{"NotAPersistentDisk", true, false, "backup /dev/sde", 62008, "/dev/sde"},
        FailureCase{"DeleteRefused", true, true, "delete 1", 60004, "Failed to delete snapshot"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace

}  // namespace bxe2e
