// bxso-host and its settings file: the same reader as the plug-in, and a
// refusal to start on a file it cannot read completely.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/settings_file.h"
#include "run_app.h"
#include "settings_view.h"

namespace {

struct FileCase {
    const char* name;
    std::string path;  // empty: dir/settings.ini with the text below
    std::string text;
    std::vector<std::string> phrases;  // one problem each, in this order; none: a clean file
};

std::vector<FileCase> fileCases(const bxtest::TempDir& dir) {
    std::string fifo = dir.file("fifo");
    ::mkfifo(fifo.c_str(), 0600);
    std::string longLine = "CaBundle = /" + std::string(bxsettings::kMaxLineBytes, 'x');
    return {
        {"clean", "", "[Devices]\nBackend = linux\n", {}},
        {"absent", dir.file("absent.ini"), "", {}},
        {"device", "/dev/zero", "", {"settings file [/dev/zero]: is not a regular file"}},
        {"fifo", fifo, "", {"]: is not a regular file"}},
        {"directory", dir.file(""), "", {"]: is not a regular file"}},
        {"parse errors",
         "",
         "[Devices]\nBackend = linux\nsecret-typed-alone\n[GCP\n",
         {"], line 3: is not a [section] line", "], line 4: is not a [section] line"}},
        {"over-long line",
         "",
         "[GCP]\n" + longLine + "\nTimeoutMs = 1\n",
         {"], line 2: is longer than " + std::to_string(bxsettings::kMaxLineBytes) + " bytes"}},
    };
}

// The view names each problem by its line without quoting it, and the host
// refuses to start on a file with any problem: nothing runs.
TEST(SettingsViewTest, NamesEveryProblemByLineAndTheHostDoesNotStartOnIt) {
    bxtest::TempDir dir;
    for (auto c : fileCases(dir)) {
        SCOPED_TRACE(c.name);
        if (c.path.empty()) {
            c.path = dir.file("settings.ini");
            std::ofstream(c.path, std::ios::trunc) << c.text;
        }
        bxhost::SettingsView view;
        view.load(c.path);
        ASSERT_EQ(view.problems().size(), c.phrases.size());
        for (size_t i = 0; i < c.phrases.size(); ++i) {
            EXPECT_NE(view.problems()[i].find(c.phrases[i]), std::string::npos)
                << view.problems()[i];
            EXPECT_EQ(view.problems()[i].find("secret-typed"), std::string::npos);
            EXPECT_EQ(view.problems()[i].find("xxxx"), std::string::npos);
        }
        if (std::string(c.name) == "clean" || std::string(c.name) == "parse errors") {
            EXPECT_EQ(view.get("Devices", "Backend"), "linux") << "readable lines still apply";
        }
        auto run = bxhosttest::runHostIn(dir, {"list"}, c.path);
        if (c.phrases.empty()) {
            EXPECT_EQ(run.rc, 0) << run.err;
            EXPECT_EQ(run.err, "");
            continue;
        }
        EXPECT_EQ(run.rc, 2);
        EXPECT_EQ(run.out, "") << "nothing ran";
        for (const auto& phrase : c.phrases) {
            EXPECT_NE(run.err.find("error: settings file ["), std::string::npos);
            EXPECT_NE(run.err.find(phrase), std::string::npos) << run.err;
        }
        EXPECT_NE(run.err.find("does not start"), std::string::npos) << run.err;
    }
}

}  // namespace
