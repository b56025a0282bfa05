// Runs the built bxso-host as a child process against an in-process emulator
// (settings inherited through BXSO_SETTINGS), with its catalog and host key in
// a directory of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/emulator_env.h"
#include "support/files.h"

namespace bxe2e {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
    long peakRssKb = 0;  // the child's peak resident memory
    std::string all() const { return out + err; }
};

// Runs a program to its end; stdinText is written to its standard input.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& stdinText = "",
                     const std::vector<std::string>& extraEnv = {});

// Starts a program with standard input, output and error on the given
// descriptors (-1: /dev/null); with terminalSession, in a session of its own
// whose controlling terminal is err.
pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int in,
             int out, int err, bool terminalSession = false);
// Waits for a program's end: its exit code (128 + signal when killed).
int waitExit(pid_t pid, long* peakRssKb = nullptr);

// Starts a program whose standard error is readable through *errFd.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   int* errFd);

using bxtest::readFile;

// Reads both descriptors until each reports its end (EOF, or EIO from a
// pseudo-terminal's master once the other side is closed), into a and b.
void readBoth(int fdA, std::string* a, int fdB, std::string* b);

class HostTest : public ::testing::Test {
  protected:
    // startHost() with the plug-in's debug log at level 9.
    void SetUp() override;
    void TearDown() override;
    // An emulator, a directory for the host's files and the plug-in's debug
    // log, and status checks without waiting.
    void startHost(gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions());

    // bxso-host with this test's catalog, key and plug-in.
    std::vector<std::string> hostArgs(const std::vector<std::string>& args) const;
    RunResult host(const std::vector<std::string>& args, const std::string& stdinText = "") {
        return runProgram(hostArgs(args), stdinText);
    }
    // The array local disks go through, with instant retries.
    void addLocalArray();
    // Names of the snapshots the emulator holds in a project, sorted.
    std::vector<std::string> gcpSnapshots(const std::string& project = "demo-project") const {
        return env->names("snapshots", project);
    }
    std::string snapshotStatus(const std::string& name) const { return env->snapshotStatus(name); }

    std::unique_ptr<bxtest::EmulatorEnv> env;
    std::string dir;
    std::string catalog;
    std::string keyFile;
    std::string debugLog;
};

}  // namespace bxe2e
