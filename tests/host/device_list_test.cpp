#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "device_list.h"
#include "settings_view.h"
#include "support/files.h"

namespace {

TEST(DeviceListTest, SysfsNamesBecomeDevicePaths) {
    bxtest::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("block").c_str(), 0700), 0);
    for (const char* name : {"sdb", "sda", "cciss!c0d0", "nvme0n1"}) {
        ASSERT_EQ(::mkdir(dir.file(std::string("block/") + name).c_str(), 0700), 0);
    }
    std::vector<std::string> devices;
    std::string error;
    ASSERT_TRUE(bxhost::listSysfsBlockDevices(dir.path(), &devices, &error)) << error;
    EXPECT_EQ(devices, (std::vector<std::string>{"/dev/cciss/c0d0", "/dev/nvme0n1", "/dev/sda",
                                                 "/dev/sdb"}));
    EXPECT_FALSE(bxhost::listSysfsBlockDevices(dir.file("none"), &devices, &error));
    EXPECT_NE(error.find("none/block"), std::string::npos) << error;
}

TEST(DeviceListTest, SettingsChooseTheBackendAndNeverFallBack) {
    bxtest::TempDir dir;
    struct {
        const char* ini;
        const char* errorPart;
    } cases[] = {
        {"[Devices]\nBackend = floppy\n", "unknown [Devices] Backend [floppy]"},
        {"[Devices]\nBackend = emulator\n", "needs EmulatorUrl"},
        {"[Devices]\nBackend = emulator\nEmulatorUrl = https://127.0.0.1:1\n",
         "cannot list the emulated VM's devices"},
    };
    for (const auto& c : cases) {
        std::string path = dir.file("settings.ini");
        std::ofstream(path) << c.ini;
        bxhost::SettingsView view;
        view.load(path);
        std::vector<std::string> devices;
        std::string error;
        EXPECT_FALSE(bxhost::listBlockDevices(view, &devices, &error)) << c.ini;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        EXPECT_TRUE(devices.empty());
    }
    bxhost::SettingsView missing;
    missing.load(dir.file("absent.ini"));
    EXPECT_FALSE(missing.fileFound());
    EXPECT_EQ(missing.get("Devices", "Backend", "linux"), "linux");
}

}  // namespace
