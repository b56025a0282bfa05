// The README's main job: 'bxso-host demo' runs the whole cycle against its own
// in-process emulator and exits 0 only if every step did what it should.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "host_runner.h"

namespace bxe2e {

// The same cycle on a data mover of an NVMe series (C3): its disks are NVMe
// namespaces identified by their Identify data.
TEST(DemoTest, WholeCycleSucceeds) {
    for (bool nvme : {false, true}) {
        SCOPED_TRACE(nvme ? "NVMe" : "SCSI");
        char tmpl[] = "/tmp/bxso-e2e-demo-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        std::string dir = tmpl;
        std::vector<std::string> argv = {BXSO_HOST_BINARY, "--plugin",    BXSO_PLUGIN_FILE, "demo",
                                         "--work-dir",     dir + "/work", "--time-scale",   "0.01"};
        if (nvme) {
            argv.push_back("--nvme");
        }
        RunResult r = runProgram(argv);
        EXPECT_EQ(r.exitCode, 0) << r.all();
        EXPECT_NE(r.out.find("demo succeeded"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("/dev/nvme0n2: Google persistent disk") != std::string::npos, nvme)
            << r.out;
        if (!::testing::Test::HasFailure()) {
            runProgram({"/bin/rm", "-rf", dir});
        }
    }
}

}  // namespace bxe2e
