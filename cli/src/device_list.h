// The local block devices, as BXOSUtil::listDevices reports them to the
// plug-in: from the same backend the plug-in's runtime is set to ("Devices"
// section of the settings file), so that a map against the emulator finds the
// emulated VM's new disks and a map on a real VM finds /dev/sd*.
#pragma once

#include <string>
#include <vector>

namespace bxhost {

class SettingsView;

bool listBlockDevices(const SettingsView& settings, std::vector<std::string>* devices,
                      std::string* error);

// /dev paths of the block devices under a sysfs root ("!" in a sysfs name
// stands for "/").
bool listSysfsBlockDevices(const std::string& sysRoot, std::vector<std::string>* devices,
                           std::string* error);

}  // namespace bxhost
