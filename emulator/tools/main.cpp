// gce-emulator: runs the emulator until SIGINT/SIGTERM and prints one JSON line with its
// ports, CA file and key files on stdout, for scripts to read.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "emulator/emulator.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    gce::EmulatorOptions opts;
    CLI::App app{"gce-emulator: local Compute Engine API, metadata server and token endpoint"};
    app.add_option("--scenario", opts.scenarioFile,
                   "scenario file (JSON); default scenario if none");
    app.add_option("--state", opts.stateFile,
                   "state file: loaded if present, saved on every change");
    app.add_option("--api-port", opts.apiPort, "HTTPS port (0 = ephemeral)");
    app.add_option("--metadata-port", opts.metadataPort, "metadata server port (0 = ephemeral)");
    app.add_option("--work-dir", opts.workDir, "directory for the CA, certificates and key files");
    app.add_option("--time-scale", opts.timeScale,
                   "real seconds per emulated second (0 = instant)");
    app.add_option("--bind", opts.bindAddress, "address to listen on");
    app.add_option("--token-lifetime", opts.tokenLifetimeSec, "access token lifetime in seconds");
    app.add_option("--threads", opts.threads,
                   "API server threads, the bound on concurrent connections")
        ->check(CLI::Range(2, 4096));
    app.add_option("--self-link-base", opts.selfLinkBase, "base URL of selfLinks");
    app.add_option("--machine-type", opts.thisVmMachineType,
                   "machine type of this VM instead of the scenario's (c3-standard-8: its disks "
                   "are NVMe namespaces)");
    CLI11_PARSE(app, argc, argv);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    gce::Emulator emu(opts);
    std::string error;
    if (!emu.start(&error)) {
        std::cerr << "gce-emulator: " << error << "\n";
        return 1;
    }
    nlohmann::ordered_json accounts = nlohmann::ordered_json::array();
    for (const auto& a : emu.serviceAccounts()) {
        accounts.push_back({{"email", a.email},
                            {"pemFile", a.pemFile},
                            {"p12File", a.p12File},
                            {"p12Password", a.p12Password},
                            {"jsonFile", a.jsonFile},
                            {"keyId", a.keyId}});
    }
    nlohmann::ordered_json line = {{"apiHost", emu.apiHost()},
                                   {"apiPort", emu.apiPort()},
                                   {"metadataHost", emu.metadataHost()},
                                   {"metadataPort", emu.metadataPort()},
                                   {"caFile", emu.caFile()},
                                   {"tokenUrl", emu.tokenUrl()},
                                   {"selfLinkBase", emu.selfLinkBase()},
                                   {"workDir", emu.workDir()},
                                   {"serviceAccounts", accounts}};
    std::cout << line.dump() << std::endl;
    while (g_stop == 0) {
        pause();
    }
    emu.stop();
    return 0;
}
