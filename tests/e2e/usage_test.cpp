// Requests bxso-host refuses before any job starts (exit code 2, a message
// that says what is wrong), and plug-ins it refuses to load.
#include <fstream>
#include <ostream>

#include "host_runner.h"
#include "plugin.h"

namespace bxe2e {

namespace {

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class UsageTest : public HostTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageTest, RefusedWithExitCode2AndNoJob) {
    addLocalArray();
    std::ofstream(dir + "/not-a-key.pem") << "hello\n";
    std::vector<std::string> args;
    for (const auto& a : GetParam().args) {
        args.push_back(a == "DIR" ? dir : a.rfind("DIR/", 0) == 0 ? dir + a.substr(3) : a);
    }
    RunResult r = host(args);
    EXPECT_EQ(r.exitCode, 2) << r.all();
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    RunResult jobs = host({"jobs"});
    EXPECT_NE(jobs.out.find("no jobs yet"), std::string::npos) << jobs.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageTest,
    ::testing::Values(
        UsageCase{"NothingToBackUp", {"backup"}, "nothing to back up"},
        UsageCase{"LocalAndHpxMixed",
                  {"backup", "/dev/sdb", "--hpx", "p/us-central1-a/d"},
                  "separate backup jobs"},
        UsageCase{"RelativeDevice", {"backup", "sdb"}, "absolute path"},
        UsageCase{"GuestFlushOnLocal", {"backup", "--guest-flush", "/dev/sdb"}, "HPX disks only"},
        UsageCase{"HpxWithoutInstance",
                  {"backup", "--hpx", "p/us-central1-a/d", "--array", "GCP-Default-IAM"},
                  "--source-instance"},
        UsageCase{
            "HpxUnknownArray",
            {"backup", "--hpx", "p/us-central1-a/d", "--array", "nope", "--source-instance", "p|1"},
            "no array [nope]"},
        UsageCase{
            "HpxBadDisk",
            {"backup", "--hpx", "p/d", "--array", "GCP-Default-IAM", "--source-instance", "p|1"},
            "PROJECT/ZONE/DISK"},
        UsageCase{"UnknownSnapshot", {"mount", "42"}, "no snapshot [42]"},
        UsageCase{"NoSelection", {"delete"}, "name the snapshots"},
        UsageCase{"ResumeUnknownJob", {"backup", "--resume", "7"}, "no backup job 7"},
        UsageCase{"RetryCountOutOfRange",
                  {"array", "add", "x", "--config", "retry-count=0"},
                  "retry-count must be a number from 1"},
        UsageCase{"ThreadsNotANumber",
                  {"array", "add", "x", "--config", "threads=many"},
                  "threads must be a number"},
        UsageCase{"KeyNotPem",
                  {"array", "add", "x", "--key-pem", "DIR/not-a-key.pem"},
                  "holds no PEM private key"},
        UsageCase{"KeyOnCommandLine",
                  {"array", "add", "x", "--config", "SMCONFIG_P12_KEY_FILENAME_KEY=abc"},
                  "--key-pem FILE or --key-p12"},
        UsageCase{
            "P12WithDirectory", {"array", "add", "x", "--key-p12", "/etc/k.p12"}, "no directory"},
        UsageCase{"DuplicateArray", {"array", "add", "GCP-Default-IAM"}, "exists"},
        UsageCase{"PluginMissing",
                  {"--plugin", "DIR/absent.so", "check", "/dev/sdb"},
                  "cannot load plug-in"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

TEST(PluginLoaderTest, LoadsTheBuiltPluginAndRefusesOtherLibraries) {
    bxhost::Plugin built;
    ASSERT_TRUE(built.load(BXSO_PLUGIN_FILE)) << built.error();
    EXPECT_EQ(built.versionText(), "1.1.1");
    EXPECT_NE(built.snapDevices, nullptr);
    EXPECT_NE(built.reconcileSnaps, nullptr);

    bxhost::Plugin other;
    // A real shared object without the entry points.
    EXPECT_FALSE(other.load("libsqlite3.so.0"));
    EXPECT_NE(other.error().find("lacks entry points: bxso_version"), std::string::npos)
        << other.error();
}

}  // namespace

}  // namespace bxe2e
