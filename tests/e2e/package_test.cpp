// The Debian package: cpack builds it from this build tree, dpkg unpacks it
// into a temporary root, and the programs run from there: bxso-host finds the
// packaged plug-in next to it (../lib/bxso/) and its doctor passes against the
// emulator. One test, so that the package is built once.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "host_runner.h"

namespace bxe2e {
namespace {

bool executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

std::string onPath(const std::string& program) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        std::string path = std::string(dir) + "/" + program;
        if (executable(path)) {
            return path;
        }
    }
    return "";
}

std::vector<std::string> filesIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                out.push_back(dir + "/" + name);
            }
        }
        ::closedir(d);
    }
    return out;
}

class PackageTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!dir.empty() && !HasFailure()) {
            runProgram({"/bin/rm", "-rf", dir});
        }
    }
    std::string dir;
};

TEST_F(PackageTest, InstallsIntoARootAndRunsFromThere) {
#if !defined(BXSO_CPACK_COMMAND) || !defined(BXSO_CPACK_CONFIG)
    GTEST_SKIP() << "this build has no package configuration (packaging/CMakeLists.txt)";
#else
    if (!executable(BXSO_CPACK_COMMAND)) {
        GTEST_SKIP() << "cpack is not installed at " << BXSO_CPACK_COMMAND;
    }
    const std::string dpkg = onPath("dpkg");
    const std::string dpkgDeb = onPath("dpkg-deb");
    if (dpkg.empty() || dpkgDeb.empty()) {
        GTEST_SKIP() << "dpkg and dpkg-deb are needed to unpack the package (Debian's dpkg)";
    }
    // The packaged bxso-host must find the packaged plug-in, not one named
    // by the environment.
    ::unsetenv("BXSO_PLUGIN");
    char tmpl[] = "/tmp/bxso-package-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    RunResult pack = runProgram(
        {BXSO_CPACK_COMMAND, "-G", "DEB", "--config", BXSO_CPACK_CONFIG, "-B", dir + "/out"});
    ASSERT_EQ(pack.exitCode, 0) << pack.all();
    auto debs = filesIn(dir + "/out", ".deb");
    ASSERT_EQ(debs.size(), 1u) << pack.all();
    const std::string deb = debs.front();

    RunResult fields = runProgram({dpkgDeb, "--field", deb, "Package", "Version"});
    ASSERT_EQ(fields.exitCode, 0) << fields.all();
    EXPECT_NE(fields.out.find("Package: bxso-gcp"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find(std::string("Version: ") + BXSO_PACKAGE_VERSION), std::string::npos)
        << fields.out;
    // The sample settings are a conffile: an operator's edits survive upgrades.
    RunResult conffiles = runProgram({dpkgDeb, "--info", deb, "conffiles"});
    EXPECT_NE(conffiles.out.find("/etc/bxso/bxso.ini"), std::string::npos) << conffiles.all();

    const std::string root = dir + "/root";
    RunResult unpack = runProgram({dpkg, "-x", deb, root});
    ASSERT_EQ(unpack.exitCode, 0) << unpack.all();
    const std::string hostBin = root + "/usr/bin/bxso-host";
    // The programs, the plug-in, the man pages and the sample settings are
    // each run or read below; the operations guide only has to be there.
    struct stat st {};
    EXPECT_EQ(::stat((root + "/usr/share/doc/bxso-gcp/operations.md").c_str(), &st), 0);

    // Man pages made from the programs' --help: every command and option.
    struct ManPage {
        std::string file;
        std::vector<std::string> mentions;
    } pages[] = {
        {"bxso-host.1.gz", {"BXSO-HOST", "doctor", "--key-json", "backup", "revert"}},
        {"gce-emulator.1.gz", {"GCE-EMULATOR", "--scenario", "--work-dir"}},
    };
    for (const auto& page : pages) {
        RunResult text =
            runProgram({"/bin/gzip", "-dc", root + "/usr/share/man/man1/" + page.file});
        ASSERT_EQ(text.exitCode, 0) << text.all();
        EXPECT_NE(text.out.find(".TH"), std::string::npos) << page.file;
        // roff writes a hyphen as "\-".
        std::string plain = std::regex_replace(text.out, std::regex(R"(\\-)"), "-");
        for (const auto& word : page.mentions) {
            EXPECT_NE(plain.find(word), std::string::npos) << page.file << ": " << word;
        }
    }

    // The sample settings set nothing (every default applies) and read cleanly.
    std::ifstream sample(root + "/etc/bxso/bxso.ini");
    std::string line;
    int sections = 0;
    while (std::getline(sample, line)) {
        EXPECT_TRUE(line.empty() || line[0] == ';' || line[0] == '[') << line;
        sections += !line.empty() && line[0] == '[';
    }
    EXPECT_EQ(sections, 5);
    const std::vector<std::string> files = {"--catalog", dir + "/catalog.db", "--key-file",
                                            dir + "/host.key"};
    auto packaged = [&](std::vector<std::string> args) {
        args.insert(args.begin(), files.begin(), files.end());
        args.insert(args.begin(), hostBin);
        return runProgram(args);
    };
    RunResult version = packaged({"--settings", root + "/etc/bxso/bxso.ini", "version"});
    ASSERT_EQ(version.exitCode, 0) << version.all();
    EXPECT_NE(version.out.find(std::string("bxso-host ") + BXSO_PACKAGE_VERSION), std::string::npos)
        << version.out;
    // The plug-in next to the binary: <root>/usr/bin/../lib/bxso/.
    EXPECT_NE(version.out.find("plug-in " + root + "/usr/bin/../lib/bxso/libbxso_gcp.so version " +
                               BXSO_PACKAGE_VERSION),
              std::string::npos)
        << version.out;
    RunResult emulatorHelp = runProgram({root + "/usr/bin/gce-emulator", "--help"});
    EXPECT_EQ(emulatorHelp.exitCode, 0) << emulatorHelp.all();

    // doctor from the package against the emulator.
    bxtest::EmulatorEnv env;
    ASSERT_TRUE(env.ok()) << env.error();
    env.settings().set("Log", "File", dir + "/plugin-debug.log");
    RunResult add = packaged({"array", "add", "GCP-Default-IAM"});
    ASSERT_EQ(add.exitCode, 0) << add.all();
    RunResult doctor = packaged({"--json", "doctor"});
    EXPECT_EQ(doctor.exitCode, 0) << doctor.all();
    auto report = nlohmann::json::parse(doctor.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << doctor.all();
    EXPECT_TRUE(report.value("ready", false)) << doctor.out;
    bool sawPlugin = false;
    for (const auto& check : report["checks"]) {
        EXPECT_NE(check.value("verdict", ""), "FAIL") << check.dump();
        if (check.value("item", "") == "plug-in") {
            sawPlugin = true;
            EXPECT_NE(check.value("detail", "").find(root + "/usr/bin/../lib/bxso/"),
                      std::string::npos)
                << check.dump();
        }
    }
    EXPECT_TRUE(sawPlugin);
#endif
}

}  // namespace
}  // namespace bxe2e
