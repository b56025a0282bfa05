// A backup killed at any moment of its snap and post-snap phases or between
// prepare and snap, or failed by a poll, is finished by its resume: every
// snapshot READY, none twice.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "host_runner.h"

namespace bxe2e {

namespace {

using nlohmann::json;

class ResumeTest : public HostTest {
  public:
    using HostTest::env;  // the moments below look at the journal

  protected:
    // Starts a backup of two disks and kills it once `when` holds (it sees
    // what the host wrote to stderr so far); false when the moment never came.
    bool killBackupWhen(const std::function<bool(const std::string&)>& when,
                        const std::vector<std::string>& extraEnv, std::string* err) {
        int errFd = -1;
        pid_t pid = spawnProgram(hostArgs({"backup", "/dev/sdb", "/dev/sdc"}), extraEnv, &errFd);
        if (pid <= 0) {
            return false;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool reached = false;
        char buf[512];
        while (!(reached = when(*err)) && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {errFd, POLLIN, 0};
            if (::poll(&p, 1, 2) > 0) {
                ssize_t n = ::read(errFd, buf, sizeof buf);
                if (n <= 0) {
                    break;  // the host ended before the moment came
                }
                err->append(buf, static_cast<size_t>(n));
            }
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(errFd);
        return reached;
    }

    // The resume ends the job; each catalog row's snapshot is READY in GCP and
    // GCP holds no other.
    void expectResumeFinishes(const std::string& moment) {
        SCOPED_TRACE(moment);
        RunResult resume = host({"backup", "--resume", "1"});
        ASSERT_EQ(resume.exitCode, 0) << resume.all();
        RunResult listed = host({"--json", "list", "--all"});
        json rows = json::parse(listed.out, nullptr, false);
        ASSERT_TRUE(rows.is_array()) << listed.all();
        ASSERT_EQ(rows.size(), 2u);
        std::map<std::string, int> inGcp;
        for (const auto& name : gcpSnapshots()) {
            ++inGcp[name];
        }
        EXPECT_EQ(inGcp.size(), 2u);
        for (const auto& row : rows) {
            std::string name = row.value("name", "");
            EXPECT_EQ(row.value("phase", ""), "done") << name;
            EXPECT_EQ(snapshotStatus(name), "READY") << name;
            EXPECT_EQ(inGcp[name], 1) << name;
        }
    }
};

TEST_F(ResumeTest, BackupKilledAtAnyMomentIsFinishedByItsResume) {
    struct Moment {
        const char* name;
        std::vector<std::string> env;
        std::function<bool(ResumeTest*, const std::string&)> when;
    };
    const Moment moments[] = {
        {"first createSnapshot sent",
         {},
         [](ResumeTest* t, const std::string&) {
             return t->env->requestsMatching("POST", "/createSnapshot") >= 1;
         }},
        {"both createSnapshots sent",
         {},
         [](ResumeTest* t, const std::string&) {
             return t->env->requestsMatching("POST", "/createSnapshot") >= 2;
         }},
        {"snap phase polling",
         {},
         [](ResumeTest* t, const std::string&) {
             return t->env->requestsMatching("GET", "/operations/") >= 1;
         }},
        {"between snap and post-snap",
         {"BXSO_HOST_TEST_PAUSE_AFTER=snap"},
         [](ResumeTest*, const std::string& err) {
             return err.find("paused after snap") != std::string::npos;
         }},
        {"post-snap polling",
         {},
         [](ResumeTest*, const std::string& err) {
             return err.find("==> post-snap") != std::string::npos;
         }},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.name);
        TearDown();
        env.reset();  // one emulator at a time: the device view follows the live one
        SetUp();
        addLocalArray();
        // Slow enough that each moment is met while the host is in it.
        env->emu().setTimeScale(1.0);
        env->emu().setLatency("operation.pending", 0.2);
        env->emu().setLatency("snapshot.create", 0.3);
        env->emu().setLatency("snapshot.upload", 0.3);
        std::string err;
        ASSERT_TRUE(
            killBackupWhen([&](const std::string& e) { return m.when(this, e); }, m.env, &err))
            << err;
        // Work already started in GCP runs on at its own pace; the resume's
        // waits are instant in these tests, so they start once it is done.
        auto settled = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            bool busy = false;
            for (const auto& name : gcpSnapshots()) {
                busy = busy || snapshotStatus(name) != "READY";
            }
            if (!busy || std::chrono::steady_clock::now() > settled) {
                break;
            }
            ::usleep(20000);
        }
        env->emu().setTimeScale(0);
        expectResumeFinishes(m.name);
        if (HasFailure()) {
            return;
        }
    }
}

// Killed between prepare and snap: the job is interrupted, its records are
// prepared and GCP holds nothing yet; the resume goes on from the catalog.
TEST_F(ResumeTest, HostKilledBetweenPrepareAndSnapResumesFromTheCatalog) {
    addLocalArray();
    std::string err;
    ASSERT_TRUE(killBackupWhen(
        [](const std::string& e) { return e.find("paused after prepare") != std::string::npos; },
        {"BXSO_HOST_TEST_PAUSE_AFTER=prepare"}, &err))
        << err;
    json jobs = json::parse(host({"--json", "jobs"}).out, nullptr, false);
    EXPECT_EQ(jobs.at(0).value("state", ""), "interrupted");
    json rows = json::parse(host({"--json", "list", "--all"}).out, nullptr, false);
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.value("status", 0), 1);
        EXPECT_EQ(row.value("phase", ""), "prepared");
    }
    EXPECT_TRUE(gcpSnapshots().empty());
    expectResumeFinishes("after prepare");
}

// A poll that fails leaves the snapshot in GCP and the row not done; the
// resume takes the snapshot over instead of failing on its name.
TEST_F(ResumeTest, BackupFailedByAPollIsFinishedByItsResume) {
    addLocalArray();
    gce::FaultSpec refused = bxtest::httpFault("GET", "*/operations/*", 403, -1);
    refused.reason = "forbidden";
    env->emu().injectFault(refused);
    RunResult backup = host({"backup", "/dev/sdb", "/dev/sdc"});
    EXPECT_EQ(backup.exitCode, 1) << backup.all();
    env->emu().clearFaults();
    expectResumeFinishes("after a failed poll");
}

}  // namespace

}  // namespace bxe2e
