// bxso-host demo: the whole cycle against a Compute Engine emulator.
#pragma once

#include <string>

#include "session.h"

namespace bxhost {

struct DemoOptions {
    GlobalOptions global;     // --plugin, --json, --verbose, --quiet apply
    std::string workDir;      // empty: a new directory under /tmp
    std::string emulatorUrl;  // empty: start one in this process
    std::string emulatorCa;
    double timeScale = 0.05;  // in-process emulator: real seconds per emulated second
    bool nvme = false;        // a data mover of an NVMe series (C3): disks are NVMe namespaces
};

// Exit code 0 only when every required step did what it should.
int runDemo(const DemoOptions& options);

}  // namespace bxhost
