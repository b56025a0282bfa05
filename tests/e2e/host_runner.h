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

// Starts a program whose standard error is readable through *errFd.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   int* errFd);

std::string readFile(const std::string& path);

// Reads both descriptors until each reports its end (EOF, or EIO from a
// pseudo-terminal's master once the other side is closed), into a and b.
void readBoth(int fdA, std::string* a, int fdB, std::string* b);

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // bxso-host with this test's catalog, key and plug-in.
    std::vector<std::string> hostArgs(const std::vector<std::string>& args) const;
    RunResult host(const std::vector<std::string>& args, const std::string& stdinText = "") {
        return runProgram(hostArgs(args), stdinText);
    }
    // The array local disks go through, with instant retries.
    void addLocalArray();
    // Names of the snapshots the emulator holds in a project.
    std::vector<std::string> gcpSnapshots(const std::string& project = "demo-project");
    std::string snapshotStatus(const std::string& name,
                               const std::string& project = "demo-project");

    std::unique_ptr<bxtest::EmulatorEnv> env;
    std::string dir;
    std::string catalog;
    std::string keyFile;
    std::string debugLog;
};

}  // namespace bxe2e
