// gce-emulator benchmarks: start-up time and simple GETs per second over HTTPS with
// keep-alive. The whole process (client and server threads) is pinned to one core.
// Targets: start < 1 s, >= 2000 GETs/s.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sched.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "emulator/emulator.h"

namespace {

void pinToOneCore() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// The first start in a process also generates the service-account RSA keys; later starts
// reuse them, as a test suite does.
void BM_Startup(benchmark::State& state) {
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        gce::Emulator emu(gce::EmulatorOptions{});
        std::string err;
        if (!emu.start(&err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        emu.stop();
    }
}
BENCHMARK(BM_Startup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_SimpleGets(benchmark::State& state) {
    gce::EmulatorOptions o;
    o.timeScale = 0;
    gce::Emulator emu(o);
    std::string err;
    if (!emu.start(&err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    httplib::Client meta("127.0.0.1", emu.metadataPort());
    auto tr = meta.Get("/computeMetadata/v1/instance/service-accounts/default/token",
                       {{"Metadata-Flavor", "Google"}});
    std::string token = nlohmann::json::parse(tr->body).at("access_token");
    httplib::SSLClient cli("127.0.0.1", emu.apiPort());
    cli.set_ca_cert_path(emu.caFile().c_str());
    cli.enable_server_certificate_verification(true);
    cli.set_keep_alive(true);
    cli.set_tcp_nodelay(true);
    httplib::Headers h = {{"Authorization", "Bearer " + token}};
    const char* path = "/compute/v1/projects/demo-project/zones/us-central1-a/disks/data-disk-1";
    for (auto _ : state) {
        auto r = cli.Get(path, h);
        if (!r || r->status != 200) {
            state.SkipWithError("GET failed");
            return;
        }
        benchmark::DoNotOptimize(r->body.size());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["GETs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["connections"] = static_cast<double>(emu.connectionsAccepted());
}
BENCHMARK(BM_SimpleGets)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

void BM_MetadataGets(benchmark::State& state) {
    gce::EmulatorOptions o;
    o.timeScale = 0;
    gce::Emulator emu(o);
    std::string err;
    if (!emu.start(&err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    httplib::Client meta("127.0.0.1", emu.metadataPort());
    meta.set_keep_alive(true);
    meta.set_tcp_nodelay(true);
    for (auto _ : state) {
        auto r = meta.Get("/computeMetadata/v1/instance/zone", {{"Metadata-Flavor", "Google"}});
        if (!r || r->status != 200) {
            state.SkipWithError("GET failed");
            return;
        }
    }
    state.counters["GETs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MetadataGets)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    pinToOneCore();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
