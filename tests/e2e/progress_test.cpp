// Live per-disk progress: on a terminal (a pseudo-terminal here) a job over
// more than a few disks redraws one line per disk in place; without one, or
// for a few disks, plain lines; standard output (the table, --json) is the
// same either way.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <regex>

#include "host_runner.h"

namespace bxe2e {
namespace {

constexpr int kDisks = 6;

struct TerminalRun {
    int exitCode = -1;
    std::string terminal;  // what standard error showed on the terminal
    std::string out;       // standard output (a pipe)
};

// Runs a program with standard error on a pseudo-terminal of the given size
// and standard output on a pipe, so that the two can be told apart.
TerminalRun runOnTerminal(const std::vector<std::string>& argv, const std::string& term) {
    TerminalRun run;
    struct winsize size {};
    size.ws_row = 40;
    size.ws_col = 160;
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return run;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    pid_t pid = launch(argv, {"TERM=" + term}, -1, out[1], slave, true);
    ::close(slave);
    ::close(out[1]);
    readBoth(master, &run.terminal, out[0], &run.out);
    ::close(master);
    ::close(out[0]);
    run.exitCode = waitExit(pid);
    return run;
}

// The board as it was last drawn: the text after the last "erase below".
std::string lastBoard(const std::string& terminal) {
    size_t at = terminal.rfind("\x1b[J");
    return at == std::string::npos ? std::string() : terminal.substr(at + 3);
}

class ProgressTest : public HostTest {
  protected:
    void SetUp() override {
        // A VM with more disks than "a few".
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(kDisks, "disk-");
        ASSERT_NO_FATAL_FAILURE(startHost(options));
        addLocalArray();
        for (int i = 1; i <= kDisks; ++i) {
            devices.push_back(bxtest::EmulatorEnv::devicePath(i));
        }
    }
    std::vector<std::string> backupArgs(std::vector<std::string> global = {}) {
        global.push_back("backup");
        global.insert(global.end(), devices.begin(), devices.end());
        return hostArgs(global);
    }
    std::vector<std::string> devices;
};

TEST_F(ProgressTest, ATerminalShowsEachDiskLive) {
    TerminalRun run = runOnTerminal(backupArgs(), "xterm");
    ASSERT_EQ(run.exitCode, 0) << run.terminal << run.out;
    // Redrawn in place: the cursor goes up over the board, which is erased.
    std::regex up("\x1b\\[([0-9]+)A\x1b\\[J");
    size_t redraws = std::distance(
        std::sregex_iterator(run.terminal.begin(), run.terminal.end(), up), std::sregex_iterator());
    // At least once per disk and phase (waiting, working, done).
    EXPECT_GE(redraws, static_cast<size_t>(3 * kDisks)) << run.terminal;
    std::string board = lastBoard(run.terminal);
    EXPECT_NE(board.find("backup job 1, post-snap: " + std::to_string(kDisks) +
                         " done, 0 failed, 0 working, 0 waiting"),
              std::string::npos)
        << board;
    for (int i = 1; i <= kDisks; ++i) {
        std::regex row("ok #" + std::to_string(i) + " " + devices[i - 1] +
                       " \\[bx-[0-9a-f]{8}-sd[a-z]+-1-" + std::to_string(i) +
                       "\\]  post-snap: created");
        EXPECT_TRUE(std::regex_search(board, row)) << i << "\n" << board;
    }
    // Each phase went through its disks: a disk was seen working.
    EXPECT_NE(run.terminal.find("snap: working"), std::string::npos);
    // Standard output holds the result table only.
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_NE(run.out.find("backup job 1: succeeded"), std::string::npos) << run.out;

    // Mounting, unmounting and deleting them: the same board, per disk.
    struct Step {
        std::string command;
        std::string reached;
    } steps[] = {{"mount", "mount: mapped"},
                 {"unmount", "unmount: unmapped"},
                 {"delete", "delete: deleted"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.command);
        TerminalRun run = runOnTerminal(hostArgs({step.command, "--job", "1"}), "xterm");
        ASSERT_EQ(run.exitCode, 0) << run.terminal;
        std::string last = lastBoard(run.terminal);
        EXPECT_NE(last.find(std::to_string(kDisks) + " done, 0 failed"), std::string::npos) << last;
        size_t rows = 0;
        for (size_t at = last.find(step.reached); at != std::string::npos;
             at = last.find(step.reached, at + 1)) {
            ++rows;
        }
        EXPECT_EQ(rows, static_cast<size_t>(kDisks)) << last;
    }
}

TEST_F(ProgressTest, AFailedDiskIsMarkedOnTheBoard) {
    gce::OperationFault fault = bxtest::opFault("createSnapshot", "QUOTA_EXCEEDED", -1);
    fault.targetPattern = "*/disks/disk-3";
    fault.message = "Quota 'SNAPSHOTS' exceeded.";
    env->emu().failOperation(fault);
    TerminalRun run = runOnTerminal(backupArgs(), "xterm");
    EXPECT_EQ(run.exitCode, 1) << run.terminal;
    std::string board = lastBoard(run.terminal);
    EXPECT_TRUE(std::regex_search(board, std::regex("!! #3 /dev/sdd \\[[^\\]]+\\]  snap: ")))
        << board;
    EXPECT_NE(board.find("1 failed"), std::string::npos) << board;
    EXPECT_TRUE(std::regex_search(board, std::regex("ok #1 /dev/sdb \\[[^\\]]+\\]  post-snap")))
        << board;
}

TEST_F(ProgressTest, PlainLinesWithoutATerminal) {
    struct Case {
        std::string name;
        std::function<std::string()> run;  // what standard error showed
    } cases[] = {
        {"Pipe", [&] { return runProgram(backupArgs()).err; }},
        {"DumbTerminal", [&] { return runOnTerminal(backupArgs(), "dumb").terminal; }},
        {"Verbose", [&] { return runOnTerminal(backupArgs({"--verbose"}), "xterm").terminal; }},
        {"FewDisks",
         [&] {
             return runOnTerminal(hostArgs({"backup", devices[0], devices[1], devices[2]}), "xterm")
                 .terminal;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err = c.run();
        EXPECT_EQ(err.find("\x1b["), std::string::npos) << err;
        EXPECT_TRUE(
            std::regex_search(err, std::regex("backup #[0-9]+ /dev/sdb \\[bx-[^\\]]+\\]: created")))
            << err;
        EXPECT_NE(err.find("post-snap: ok"), std::string::npos) << err;
    }
}

TEST_F(ProgressTest, JsonOutputIsTheSameOnATerminal) {
    RunResult piped = runProgram(backupArgs({"--json"}));
    ASSERT_EQ(piped.exitCode, 0) << piped.all();
    TerminalRun live = runOnTerminal(backupArgs({"--json"}), "xterm");
    ASSERT_EQ(live.exitCode, 0) << live.terminal;
    EXPECT_NE(live.terminal.find("\x1b[J"), std::string::npos);
    auto a = nlohmann::json::parse(piped.out);
    auto b = nlohmann::json::parse(live.out);
    ASSERT_EQ(a["snapshots"].size(), static_cast<size_t>(kDisks));
    ASSERT_EQ(b["snapshots"].size(), static_cast<size_t>(kDisks));
    EXPECT_EQ(a["ok"], b["ok"]);
    for (int i = 0; i < kDisks; ++i) {
        // Different jobs, different snapshots; the same shape and outcome.
        for (const char* field : {"source", "disk", "status", "statusName", "phase"}) {
            EXPECT_EQ(a["snapshots"][i][field], b["snapshots"][i][field]) << field;
        }
        EXPECT_EQ(a["snapshots"][i].size(), b["snapshots"][i].size());
    }
}

}  // namespace
}  // namespace bxe2e
