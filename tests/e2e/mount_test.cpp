// Mount and unmount through bxso-host, each in its own process: the clone's
// name, the flag that asks for a name of its own and the clone number all
// come back from the catalog for the unmount.
#include <nlohmann/json.hpp>

#include "host_runner.h"

namespace bxe2e {

namespace {

using nlohmann::json;

class MountTest : public HostTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MountTest, CloneAppearsAsDeviceAndGoesAway) {
    bool ownName = GetParam();
    addLocalArray();
    ASSERT_EQ(host({"backup", "/dev/sdb"}).exitCode, 0);
    std::vector<std::string> args = {"--json", "mount", "1"};
    if (ownName) {
        args.push_back("--own-clone-name");
    }
    RunResult mount = host(args);
    ASSERT_EQ(mount.exitCode, 0) << mount.all();
    json report = json::parse(mount.out);
    json snap = report["snapshots"].at(0);
    EXPECT_EQ(snap.value("status", 0), 12);
    EXPECT_EQ(snap.value("snapDevice", "").rfind("/dev/sd", 0), 0u) << snap.dump();
    json shown = json::parse(host({"--json", "show", "1"}).out);
    std::string name = snap.value("name", "");
    std::string clone = name;
    if (ownName) {
        EXPECT_TRUE(shown.value("flags", 0) & 0x8000);
        clone = "bxclone-" + name + "-" + std::to_string(shown.value("cloneNumber", 0));
    }
    EXPECT_FALSE(env->disk(clone).empty()) << clone;
    EXPECT_FALSE(env->attachedSource(clone).empty()) << clone;

    RunResult unmount = host({"--json", "unmount", "1"});
    ASSERT_EQ(unmount.exitCode, 0) << unmount.all();
    EXPECT_EQ(json::parse(unmount.out)["snapshots"].at(0).value("status", 0), 14);
    EXPECT_TRUE(env->disk(clone).empty()) << clone;
    EXPECT_TRUE(env->attachedSource(clone).empty());
    EXPECT_FALSE(json::parse(host({"--json", "show", "1"}).out).value("flags", 0) & 0x8000);
    // The snapshot itself is untouched.
    EXPECT_EQ(snapshotStatus(name), "READY");
}

INSTANTIATE_TEST_SUITE_P(CloneNames, MountTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OwnName" : "SnapshotName";
                         });

}  // namespace

}  // namespace bxe2e
