// Hot pieces of every call, each on input as the emulator answers it: field
// extraction from disk, Operation and instance answers, the stored-metadata
// reader, base64url for the JWT, secret masking before a log line, and the
// debug line itself. Usage: docs/performance.md.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "context/gcp_ctx.h"
#include "emulator/emulator.h"
#include "gcp/gcp_utils.h"
#include "host/debug_log.h"
#include "rest/rest_api_gcp.h"
#include "rest/secret_mask.h"
#include "runtime/runtime.h"
#include "support/fake_host.h"
#include "support/settings_file.h"

namespace {

using DuVavaZid::GcpCtx;
using DuVavaZid::GcpObject;
using DuVavaZid::GcpUtils;

// The fields the plug-in reads from an Operation on every poll, from a disk,
// and from each attachment of an instance.
const char* const kOperationFields =
    "id,name,operationType,targetId,status,progress,selfLink,targetLink";
const char* const kDiskFields = "id,name,status";
const char* const kAttachmentFields = "source,deviceName";

// Answers of a running emulator, taken once: a disk, the Operation that a
// createSnapshot starts, and mover-1 with 4 or 132 disks attached.
struct Answers {
    std::string disk;
    std::string operation;
    std::string smallInstance;
    std::string largeInstance;
    std::string error;
};

std::string instanceWith(gce::Emulator& emu, int extraDisks) {
    const char* vm = "projects/demo-project/zones/us-central1-a/instances/mover-1";
    if (extraDisks == 0) {
        return emu.resourceJson(vm);
    }
    nlohmann::json current = nlohmann::json::parse(emu.resourceJson(vm));
    nlohmann::json attached = nlohmann::json::array();
    attached.push_back(
        {{"disk", "mover-1-boot"}, {"deviceName", "persistent-disk-0"}, {"boot", true}});
    for (int i = 0; i < extraDisks; ++i) {
        std::string name = "micro-disk-" + std::to_string(i);
        attached.push_back({{"disk", name}, {"deviceName", name}});
    }
    nlohmann::json scenario = {{"instances",
                                {{{"project", "demo-project"},
                                  {"zone", "us-central1-a"},
                                  {"name", "mover-1"},
                                  {"id", current["id"]},
                                  {"thisVm", true},
                                  {"disks", attached}}}}};
    emu.seed(scenario.dump());
    return emu.resourceJson(vm);
}

Answers takeAnswers() {
    Answers a;
    gce::EmulatorOptions options;
    options.timeScale = 0;
    options.threads = 2;
    gce::Emulator emu(options);
    if (!emu.start(&a.error)) {
        return a;
    }
    a.disk = emu.resourceJson("projects/demo-project/zones/us-central1-a/disks/data-disk-1");
    httplib::Client meta("127.0.0.1", emu.metadataPort());
    auto token = meta.Get("/computeMetadata/v1/instance/service-accounts/default/token",
                          {{"Metadata-Flavor", "Google"}});
    httplib::SSLClient api("127.0.0.1", emu.apiPort());
    api.set_ca_cert_path(emu.caFile().c_str());
    api.enable_server_certificate_verification(true);
    if (token && token->status == 200) {
        std::string bearer = nlohmann::json::parse(token->body).value("access_token", "");
        auto op = api.Post(
            "/compute/v1/projects/demo-project/zones/us-central1-a/disks/data-disk-1/"
            "createSnapshot",
            {{"Authorization", "Bearer " + bearer}}, R"({"name":"micro-snap"})",
            "application/json");
        if (op && op->status == 200) {
            a.operation = op->body;
        }
    }
    a.smallInstance = instanceWith(emu, 0);
    a.largeInstance = instanceWith(emu, 131);
    if (a.operation.empty() || a.disk.empty() || a.largeInstance.empty()) {
        a.error = "the emulator did not answer";
    }
    return a;
}

const Answers& answers() {
    static const Answers a = takeAnswers();
    return a;
}

// A context and its helper as every call has them.
struct Plugin {
    explicit Plugin(int opCode = DuVavaZid::GCP_OP_MAP) : ctx(nullptr, 0, opCode), utils(&ctx) {}
    GcpCtx ctx;
    GcpUtils utils;
};

// Debug lines formatted and dropped: the cost of the line without the disk.
class DroppedLog {
  public:
    explicit DroppedLog(int level) {
        bxrt::setDebugLevelOverride(level);
        bxrt::setDebugSink(
            [](int, long long, const std::string& text) { benchmark::DoNotOptimize(text.data()); });
    }
    ~DroppedLog() {
        bxrt::setDebugSink(nullptr);
        bxrt::setDebugLevelOverride(-1);
    }
};

bool skipWithoutAnswers(benchmark::State& state) {
    if (!answers().error.empty()) {
        state.SkipWithError(answers().error.c_str());
        return true;
    }
    return false;
}

// ---- Response field extraction ----

// One poll of an Operation: parse the answer, read the eight fields.
void BM_OperationPoll_ParseAndExtract(benchmark::State& state) {
    if (skipWithoutAnswers(state)) {
        return;
    }
    DroppedLog log(3);
    Plugin p;
    std::vector<std::string> names;
    p.utils.buildFieldList(kOperationFields, names);
    for (auto _ : state) {
        jsonxx::Object response;
        response.parse(answers().operation);
        std::map<std::string, std::string> values;
        int rc = p.utils.extractValuesFromJSONObject(names, response, values);
        benchmark::DoNotOptimize(rc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answers().operation.size()));
}
BENCHMARK(BM_OperationPoll_ParseAndExtract);

void BM_Operation_ExtractOnly(benchmark::State& state) {
    if (skipWithoutAnswers(state)) {
        return;
    }
    DroppedLog log(3);
    Plugin p;
    std::vector<std::string> names;
    p.utils.buildFieldList(kOperationFields, names);
    jsonxx::Object response;
    response.parse(answers().operation);
    for (auto _ : state) {
        std::map<std::string, std::string> values;
        int rc = p.utils.extractValuesFromJSONObject(names, response, values);
        benchmark::DoNotOptimize(rc);
    }
}
BENCHMARK(BM_Operation_ExtractOnly);

void BM_Disk_ParseAndExtract(benchmark::State& state) {
    if (skipWithoutAnswers(state)) {
        return;
    }
    DroppedLog log(3);
    Plugin p;
    std::vector<std::string> names;
    p.utils.buildFieldList(kDiskFields, names);
    for (auto _ : state) {
        jsonxx::Object response;
        response.parse(answers().disk);
        std::map<std::string, std::string> values;
        int rc = p.utils.extractValuesFromJSONObject(names, response, values);
        benchmark::DoNotOptimize(rc);
    }
}
BENCHMARK(BM_Disk_ParseAndExtract);

void BM_Disk_GetSelfLink(benchmark::State& state) {
    if (skipWithoutAnswers(state)) {
        return;
    }
    Plugin p;
    jsonxx::Object response;
    response.parse(answers().disk);
    std::string value;
    bool isContainer = false;
    for (auto _ : state) {
        int rc = p.utils.getValueFromJSONObject("selfLink", response, value, isContainer);
        benchmark::DoNotOptimize(rc);
    }
}
BENCHMARK(BM_Disk_GetSelfLink);

// Prepare and map read the whole instance once per disk and walk its
// attachments: the cost of one such read for 4 and for 132 attached disks.
void BM_InstanceAttachments_ParseAndScan(benchmark::State& state) {
    if (skipWithoutAnswers(state)) {
        return;
    }
    DroppedLog log(3);
    const std::string& text =
        state.range(0) == 0 ? answers().smallInstance : answers().largeInstance;
    Plugin p;
    std::vector<std::string> names;
    p.utils.buildFieldList(kAttachmentFields, names);
    size_t attachments = 0;
    for (auto _ : state) {
        jsonxx::Object response;
        response.parse(text);
        jsonxx::Array disks = response.get<jsonxx::Array>("disks");
        attachments = disks.size();
        for (size_t i = 0; i < disks.size(); ++i) {
            std::map<std::string, std::string> values;
            p.utils.extractValuesFromJSONObject(names, disks.get<jsonxx::Object>(i), values);
            benchmark::DoNotOptimize(values);
        }
    }
    state.counters["attachments"] = static_cast<double>(attachments);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_InstanceAttachments_ParseAndScan)->Arg(0)->Arg(1)->ArgName("large");

// ---- Metadata ----

// What every call but prepare does per record before its first request.
void BM_FillSnapObjectFromMetadata(benchmark::State& state) {
    DroppedLog log(static_cast<int>(state.range(0)));
    bxtest::FakeSnapInfo record(100, "/dev/sdb");
    bxtest::storePreparedMetadata(record, "4815162342108", "bench-disk-000", "us-central1-a",
                                  "7364501928374");
    Plugin p(DuVavaZid::GCP_OP_MAP);
    for (auto _ : state) {
        GcpObject object(&record);
        int rc = p.ctx.fillSnapObjectFromMetadata(&object);
        benchmark::DoNotOptimize(rc);
    }
}
BENCHMARK(BM_FillSnapObjectFromMetadata)->Arg(0)->Arg(3)->ArgName("logLevel");

// ---- base64url ----

void BM_Base64Url(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    for (auto _ : state) {
        std::string out = BXSnapRESTAPI_Gcp::base64URLEncode(data.data(), data.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
// A JWT header, a claim set, an RSA-2048 signature.
BENCHMARK(BM_Base64Url)->Arg(27)->Arg(256)->Arg(320);

// ---- Secret masking ----

const char* const kTokenAnswer =
    R"({"access_token":"ya29.c.b0AXv0zTPt3xP3QJk0fM8e1vHq9Zl2wD7sR5nK4mB6yU1oI3aE8cG0hJ2lN9pS4tV7)"
    R"(xW1zA3bC5dF7gH9jK1mL3nP5qR7sT9uV1wX3yZ5aB7cD9eF1gH3jK5mN7pQ9rS1tU3vW5xY7zA9bC1dE3fG5h)"
    R"(J7kL9mN1pQ3rS5tU7vW9xY1zA3bC5dE7fG9hJ1kL3mN5pQ7rS9tU1vW3xY5zA7bC9dE1fG3hJ5kL7mN9pQ1rS3)"
    R"(","expires_in":3599,"token_type":"Bearer"})";

std::string oauthBody() {
    std::string assertion = "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.";
    assertion += std::string(380, 'x') + "." + std::string(342, 'y');
    return "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" +
           assertion;
}

void BM_MaskSecrets(benchmark::State& state) {
    const std::string text =
        state.range(0) == 0
            ? std::string(kTokenAnswer)
            : (state.range(0) == 1 ? oauthBody() : answers().operation);  // 2: nothing to mask
    for (auto _ : state) {
        std::string masked = bxrest::maskSecrets(text);
        benchmark::DoNotOptimize(masked.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MaskSecrets)->Arg(0)->Arg(1)->Arg(2)->ArgName("token_form_plain");

// The key-value dump of an extraction at the level where it is written.
void BM_DumpRESTKeyValueMap(benchmark::State& state) {
    DroppedLog log(9);
    Plugin p;
    std::map<std::string, std::string> values = {
        {"access_token", "ya29.c.b0AXv0zTPt3xP3QJk0fM8e1vHq9Zl2wD7sR5nK4mB6yU1oI3aE8cG0hJ2l"},
        {"expires_in", "3599"},
        {"token_type", "Bearer"},
        {"id", "7364501928374"},
        {"name", "operation-1700000000000-abcdef"},
        {"status", "RUNNING"},
        {"selfLink",
         "https://127.0.0.1:40123/compute/v1/projects/demo-project/zones/us-central1-a/"
         "operations/operation-1700000000000-abcdef"}};
    for (auto _ : state) {
        p.utils.dumpRESTKeyValueMap(values);
    }
}
BENCHMARK(BM_DumpRESTKeyValueMap);

// ---- The debug line ----

// Every line looks up the level (and, when written, the file) in the settings,
// which stats the settings file; arg 1 forces the level instead.
void BM_DebugLine(benchmark::State& state) {
    bxtest::SettingsFile settings;
    settings.set("Log", "Level", "3");
    bxrt::setDebugSink(
        [](int, long long, const std::string& text) { benchmark::DoNotOptimize(text.data()); });
    if (state.range(0) == 1) {
        bxrt::setDebugLevelOverride(3);
    }
    HostDebug debug;
    for (auto _ : state) {
        debug.debugLvl(3, 4242, "GCP Monitoring resource status for %s [%s]...", "snapshot",
                       "bsnap-000");
    }
    bxrt::setDebugSink(nullptr);
    bxrt::setDebugLevelOverride(-1);
}
BENCHMARK(BM_DebugLine)->Arg(0)->Arg(1)->ArgName("levelForced");

}  // namespace

BENCHMARK_MAIN();
