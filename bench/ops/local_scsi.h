// The emulated VM's SCSI view answered in process, as a kernel answers SG_IO:
// no HTTPS exchange per INQUIRY or listing. The runtime's emulator backend
// opens a TLS connection for every such call, which costs far more CPU than
// the plug-in's own work and has no counterpart on a real VM, so the
// benchmark installs this one while a fleet is alive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "runtime/devices.h"

namespace opsbench {

class LocalScsiView : public bxrt::DeviceBackend,
                      public std::enable_shared_from_this<LocalScsiView> {
  public:
    explicit LocalScsiView(gce::Emulator& emu) : emu_(emu) {}

    SP<BxDevice> getDevice(const std::string& path, CWnError* error) override;
    bool listDevices(std::vector<std::string>* devices, CWnError* error) override;
    bool rescan(CWnError* error) override;

    int inquiry(const std::string& path, const unsigned char* cdb, int cdbLength,
                unsigned char* data, int dataLength, CWnError* error);

  private:
    gce::Emulator& emu_;
};

// Installs the view for its lifetime.
class LocalScsiInstall {
  public:
    explicit LocalScsiInstall(gce::Emulator& emu);
    ~LocalScsiInstall();
    LocalScsiInstall(const LocalScsiInstall&) = delete;
    LocalScsiInstall& operator=(const LocalScsiInstall&) = delete;
};

}  // namespace opsbench
