// The emulator's work directory holds private keys: one it made for itself
// is removed when it is destroyed, one it was given is left alone.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "harness.h"

namespace {

using std::filesystem::exists;

TEST(WorkDir, OwnDirectoryLastsAsLongAsTheEmulatorAndAGivenOneStays) {
    bxtest::TempDir tmp("emu-workdir-test");
    const std::string& base = tmp.path();
    struct Case {
        const char* name;
        std::string given;  // empty: the emulator makes its own
        bool kept;
    } cases[] = {
        {"own", "", false},
        {"given", base + "/given", true},
        {"given, existing", base, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gce::EmulatorOptions o;
        o.timeScale = 0;
        o.workDir = c.given;
        std::string dir, ca, pem;
        {
            gce::Emulator emu(o);
            std::string error;
            ASSERT_TRUE(emu.start(&error)) << error;
            dir = emu.workDir();
            ca = emu.caFile();
            ASSERT_FALSE(emu.serviceAccounts().empty());
            pem = emu.serviceAccounts().front().pemFile;
            EXPECT_TRUE(exists(ca));
            EXPECT_TRUE(exists(pem));
            // Stopped, it keeps its files for a start again (same CA, same keys).
            emu.stop();
            EXPECT_TRUE(exists(ca));
            ASSERT_TRUE(emu.start(&error)) << error;
            EXPECT_EQ(emu.workDir(), dir);
            EXPECT_EQ(emu.caFile(), ca);
        }
        if (!c.given.empty()) {
            EXPECT_EQ(dir, c.given);
        }
        EXPECT_EQ(exists(dir), c.kept) << dir;
        EXPECT_EQ(exists(ca), c.kept) << ca;
        EXPECT_EQ(exists(pem), c.kept) << pem;
    }
}

}  // namespace
