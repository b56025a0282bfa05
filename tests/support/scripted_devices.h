// A device backend whose devices answer INQUIRY with bytes a test scripts.
// While alive it replaces the backend the settings would choose, so the
// host device tree, the SCSI interface, the listing and the rescan all come
// from it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/devices.h"

namespace bxtest {

using Bytes = std::vector<unsigned char>;

struct ScriptedDevice {
    std::string name;          // what GetName answers; the path when empty
    bool scsi = true;          // false: the device offers no SCSI interface
    Bytes standard;            // answer to the standard INQUIRY
    std::map<int, Bytes> vpd;  // answers to VPD INQUIRY by page code
    // The send fails (-1) with this text as the host error, or throws a
    // BxException carrying it.
    bool sendFails = false;
    bool sendThrows = false;
    std::string failText = "Sense key: Hardware Error";
};

// One command the devices received.
struct SentCommand {
    std::string path;
    Bytes cdb;
    int dataLength;
    int flags;
    int direction;
    bool senseGiven;
    int timeoutSeconds;
};

class ScriptedDeviceTree : public bxrt::DeviceBackend {
  public:
    ScriptedDeviceTree();
    ~ScriptedDeviceTree() override;
    ScriptedDeviceTree(const ScriptedDeviceTree&) = delete;
    ScriptedDeviceTree& operator=(const ScriptedDeviceTree&) = delete;

    ScriptedDevice& add(const std::string& path);
    // A Compute Engine persistent disk attached under deviceName.
    ScriptedDevice& addPersistentDisk(const std::string& path, const std::string& deviceName);

    // Answers as a device sends them.
    static Bytes standardInquiry(const std::string& vendor, const std::string& product,
                                 const std::string& revision, unsigned char pageByte = 0);
    // Page 0x83 with one ASCII vendor-specific designator; designatorLength
    // overrides the length byte (-1: the name's length).
    static Bytes deviceIdPage(const std::string& name, int designatorLength = -1,
                              unsigned char pageCode = 0x83);

    std::vector<std::string> listed;  // what the listing answers
    bool listFails = false;
    int rescans = 0;
    std::vector<SentCommand> sent() const;

    // DeviceBackend
    SP<BxDevice> getDevice(const std::string& path, CWnError* error) override;
    bool listDevices(std::vector<std::string>* devices, CWnError* error) override;
    bool rescan(CWnError* error) override;

    // Called by the scripted devices.
    int answer(const std::string& path, const unsigned char* cdb, int cdbLength,
               unsigned char* data, int dataLength, int flags, int direction, bool senseGiven,
               int timeoutSeconds, CWnError* error);

  private:
    mutable std::mutex mutex_;
    std::map<std::string, ScriptedDevice> devices_;
    std::vector<SentCommand> sent_;
};

}  // namespace bxtest
