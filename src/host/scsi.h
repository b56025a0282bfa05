// The host's view of local devices: a device tree that resolves a path to a
// device object, the SCSI pass-through interface such an object may offer,
// the host error object those calls fill in, and the bus rescan and
// block-device listing. Which backend answers (the local kernel or the
// emulator's SCSI view) is the runtime's choice, made from the settings.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Reference-counted handle the host hands out for devices; the last holder
// releases the device.
template <typename T>
using SP = std::shared_ptr<T>;

// The host's error object: success until a call sets a code and a text.
class CWnError {
  public:
    CWnError() = default;

    bool Success() const { return code_ == 0; }
    // The error text, or "Success" while no error is set.
    std::string AsString() const { return Success() ? std::string("Success") : text_; }
    int Code() const { return code_; }

    void SetSuccess() {
        code_ = 0;
        text_.clear();
    }
    // A zero code is turned into a generic failure: Set always means "failed".
    void Set(int code, const std::string& text) {
        code_ = code == 0 ? -1 : code;
        text_ = text;
    }

  private:
    int code_ = 0;
    std::string text_;
};

// Name under which a device offers its SCSI pass-through.
constexpr const char* kBxDeviceScsiIfaceName = "BxDeviceScsiIface";

// Base of every interface a device can hand out by name.
class BxDeviceIface {
  public:
    virtual ~BxDeviceIface() = default;
};

class BxDeviceScsiIface : public BxDeviceIface {
  public:
    enum DataDirection : int { kDataNone = 0, kDataIn = 1, kDataOut = 2 };

    // Sends one command descriptor block. data/dataLength is the transfer
    // buffer, read from the device for kDataIn, written to it for kDataOut.
    // flags is reserved (0). sense/senseLength, when given, receive the sense
    // data of a failed command. Returns the number of bytes transferred, or
    // -1 with error set to the sense, status, transport or OS error text.
    virtual int SendCommand(const unsigned char* cdb, int cdbLength, unsigned char* data,
                            int dataLength, int flags, int direction, unsigned char* sense,
                            int senseLength, int timeoutSeconds, CWnError* error) = 0;
};

// Name under which an NVMe namespace offers its admin pass-through.
constexpr const char* kBxDeviceNvmeIfaceName = "BxDeviceNvmeIface";

class BxDeviceNvmeIface : public BxDeviceIface {
  public:
    // Identify controller and namespace structures are this long.
    static constexpr int kIdentifyLength = 4096;
    enum Cns : int { kIdentifyNamespace = 0, kIdentifyController = 1 };

    // Sends Identify (admin opcode 06h) with the given CNS to the namespace's
    // controller, about the namespace itself for kIdentifyNamespace. data
    // receives dataLength bytes (kIdentifyLength). Returns the number of bytes
    // transferred, or -1 with error set to the status or OS error text.
    virtual int Identify(int cns, unsigned char* data, int dataLength, CWnError* error) = 0;
};

class BxDevice {
  public:
    virtual ~BxDevice() = default;
    // The interface of that name, owned by the device; null when the device
    // has none (a device that is not SCSI has no kBxDeviceScsiIfaceName, one
    // that is not an NVMe namespace no kBxDeviceNvmeIfaceName).
    virtual BxDeviceIface* GetInterface(const std::string& name) = 0;
    // The device's name as the host shows it (its path).
    virtual std::string GetName() const = 0;
};

class BxDeviceTree {
  public:
    // The device at path; null with error set when there is no such device.
    static SP<BxDevice> getDevice(const std::string& path, CWnError* error);
};

class HostScsi {
  public:
    // Device types of refreshDeviceList.
    enum DeviceType : int { kScsiDevices = 0 };

    // Rescans the buses so that newly attached disks become block devices.
    // wait is accepted for the interface's sake: the rescans of this runtime
    // return once the kernel (or the emulator) has probed, so there is
    // nothing left to wait for. False when a rescan could not be started.
    static bool refreshDeviceList(int deviceType, bool wait);

    // The local block devices as device paths the device tree accepts.
    static bool listDevices(std::vector<std::string>* devices, CWnError* error);
};
