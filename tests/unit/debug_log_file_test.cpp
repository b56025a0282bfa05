// The debug log file holds project ids and whole REST exchanges: only its
// owner may read it, whatever the umask and whatever mode a file of ours had.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "host/debug_log.h"
#include "runtime/runtime.h"
#include "support/files.h"
#include "support/settings_file.h"

namespace {

using bxtest::readFile;
using bxtest::TempDir;

// Restores the umask of the process.
class Umask {
  public:
    explicit Umask(mode_t mask) : previous_(::umask(mask)) {}
    ~Umask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

TEST(DebugLogFile, IsReadableByItsOwnerOnly) {
    const uid_t other = 4242;
    struct Case {
        const char* name;
        int before;  // mode of an existing file; -1: none
        bool ours;   // false: the file belongs to another user
        mode_t after;
    } cases[] = {
        {"created", -1, true, 0600},         {"existing 0644", 0644, true, 0600},
        {"existing 0666", 0666, true, 0600}, {"existing 0640", 0640, true, 0600},
        {"existing 0600", 0600, true, 0600}, {"another user's 0644", 0644, false, 0644},
    };
    TempDir dir;
    bxtest::SettingsFile settings;
    settings.set("Log", "Level", "3");
    Umask mask(022);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("log" + std::to_string(n++));
        if (c.before >= 0) {
            std::ofstream(path) << "earlier line\n";
            ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.before)), 0);
            if (!c.ours && (::geteuid() != 0 || ::chown(path.c_str(), other, other) != 0)) {
                continue;  // only root can give a file away
            }
        }
        settings.set("Log", "File", path);
        HostDebug().debugLvl(-1, 5, "GCP line for %s", c.name);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.after);
        std::string text = readFile(path);
        EXPECT_NE(text.find(std::string("GCP line for ") + c.name), std::string::npos) << text;
        if (c.before >= 0) {
            EXPECT_EQ(text.rfind("earlier line\n", 0), 0u) << "appended, not replaced";
        }
    }
    // Let the log give up the last file before the directory goes.
    settings.set("Log", "File", "/dev/null");
    HostDebug().debugLvl(-1, 5, "GCP closing");
}

// Problems of the settings file are logged through the log whose own
// settings are in that file: that must neither deadlock nor recurse.
TEST(DebugLogFile, CarriesTheProblemsOfTheSettingsFileItIsConfiguredIn) {
    TempDir dir;
    bxtest::SettingsFile settings;
    std::string path = dir.file("log");
    {
        std::ofstream out(settings.path(), std::ios::trunc);
        out << "[Log]\nFile = " << path << "\nLevel = loud\nnot a pair\n";
    }
    bxrt::reloadSettings();
    for (int i = 0; i < 3; ++i) {
        HostDebug().debugLvl(-1, 6, "GCP line %d", i);
    }
    std::string text = readFile(path);
    EXPECT_NE(text.find("GCP line 2"), std::string::npos) << text;
    EXPECT_NE(text.find(", line 4: "), std::string::npos) << text;
    EXPECT_EQ(text.find(", line 4: "), text.rfind(", line 4: ")) << "once:\n" << text;
    EXPECT_NE(text.find("[Log] Level = [loud] is not a whole number"), std::string::npos) << text;
    EXPECT_EQ(text.find("[loud]"), text.rfind("[loud]")) << "once:\n" << text;
    settings.set("Log", "File", "/dev/null");
    HostDebug().debugLvl(-1, 6, "GCP closing");
}

}  // namespace
