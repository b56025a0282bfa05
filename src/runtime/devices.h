// The device backends behind the host device tree, SCSI pass-through, bus
// rescan and device listing. The settings store picks one per call (section
// "Devices"): "Backend" = "linux" (default: SG_IO and sysfs of this machine)
// or "emulator" (the SCSI view of an emulated VM, "EmulatorUrl" and
// "CaBundle"). Tests may install a backend of their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/scsi.h"

namespace bxrt {

constexpr const char* kDevicesSection = "Devices";
constexpr const char* kDevicesBackendKey = "Backend";
constexpr const char* kDevicesEmulatorUrlKey = "EmulatorUrl";
constexpr const char* kDevicesCaBundleKey = "CaBundle";

class DeviceBackend {
  public:
    virtual ~DeviceBackend() = default;
    virtual SP<BxDevice> getDevice(const std::string& path, CWnError* error) = 0;
    virtual bool listDevices(std::vector<std::string>* devices, CWnError* error) = 0;
    virtual bool rescan(CWnError* error) = 0;
};

// The backend of this call: the installed override, else the one the
// settings name. Null with error set when the settings name no usable one.
std::shared_ptr<DeviceBackend> deviceBackend(CWnError* error);

// Replaces the settings' choice until called again with null.
void setDeviceBackendOverride(std::shared_ptr<DeviceBackend> backend);

// sysRoot: where sysfs is mounted (tests point it at a directory of their own).
std::shared_ptr<DeviceBackend> makeLinuxDeviceBackend(const std::string& sysRoot = "/sys");
// url: "https://host:port" of the emulator; caBundle: the CA file to trust
// (empty: the system's trust store).
std::shared_ptr<DeviceBackend> makeEmulatorDeviceBackend(const std::string& url,
                                                         const std::string& caBundle);

// One command through the Linux SCSI generic pass-through (SG_IO on the
// device node), with the arguments and result of BxDeviceScsiIface::SendCommand.
int linuxScsiSend(const std::string& path, const unsigned char* cdb, int cdbLength,
                  unsigned char* data, int dataLength, int direction, unsigned char* sense,
                  int senseLength, int timeoutSeconds, CWnError* error);

// NVMe Identify (admin opcode 06h) of the namespace at path through the
// kernel's admin pass-through; the arguments and result of
// BxDeviceNvmeIface::Identify.
int linuxNvmeIdentify(const std::string& path, int cns, unsigned char* data, int dataLength,
                      CWnError* error);

}  // namespace bxrt
