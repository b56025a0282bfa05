// The README's main job: 'bxso-host demo' runs the whole cycle against its own
// in-process emulator and exits 0 only if every step did what it should.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "host_runner.h"

namespace bxe2e {

TEST(DemoTest, WholeCycleSucceeds) {
    char tmpl[] = "/tmp/bxso-e2e-demo-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    RunResult r = runProgram({BXSO_HOST_BINARY, "--plugin", BXSO_PLUGIN_FILE, "demo", "--work-dir",
                              dir + "/work", "--time-scale", "0.01"});
    EXPECT_EQ(r.exitCode, 0) << r.all();
    EXPECT_NE(r.out.find("demo succeeded"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
    if (!::testing::Test::HasFailure()) {
        runProgram({"/bin/rm", "-rf", dir});
    }
}

}  // namespace bxe2e
