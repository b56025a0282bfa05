#include "ops/fleet.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "engine/exports.h"

namespace opsbench {

namespace {

const char* const kProject = "demo-project";
const char* const kZone = "us-central1-a";
const char* const kVmPath = "projects/demo-project/zones/us-central1-a/instances/mover-1";
const char* const kVmAccount = "123456789012-compute@developer.gserviceaccount.com";
const char* const kArrayOfVmAccount = "GCP-Default-IAM";
// The default scenario's disks of mover-1, kept attached as they were.
const char* const kExistingDisks[] = {"data-disk-1", "data-disk-2", "data-disk-3"};
constexpr int kBackupJobProperty = 13;
// Polls never run out: a wait ends with its Operation, not with a count.
constexpr int kUnboundedAttempts = 1000000;

std::string diskName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "bench-disk-%03d", i);
    return name;
}

// The device name a persistent disk reports in its unit serial number page.
std::string serialOf(gce::Emulator& emu, const std::string& device) {
    std::vector<unsigned char> page;
    if (!emu.scsiInquiry(device, true, 0x80, 255, &page) || page.size() < 4) {
        return "";
    }
    size_t length = page[3];
    return std::string(page.begin() + 4, page.begin() + 4 + std::min(length, page.size() - 4));
}

}  // namespace

Fleet::Fleet(const FleetConfig& config) : model_(config.model) {
    gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
    // A server thread for every worker's connection and the calling thread's.
    const int workers = config.threadCount > 0 ? config.threadCount : 8;
    options.threads = std::max(options.threads, workers + 4);
    env_ = std::make_unique<bxtest::EmulatorEnv>(options);
    if (!env_->ok()) {
        error_ = "emulator: " + env_->error();
        return;
    }
    gce::Emulator& emu = env_->emu();
    emu.setLatency("api.request", model_.request);
    emu.setLatency("metadata.request", model_.request);
    emu.setLatency("operation.pending", model_.pending);
    for (const char* kind : {"disk.insert", "disk.delete", "snapshot.delete", "instance.attachDisk",
                             "instance.detachDisk"}) {
        emu.setLatency(kind, model_.running);
    }
    emu.setLatency("snapshot.create", model_.snapCreate);
    emu.setLatency("snapshot.upload", model_.snapUpload);
    useLatency(false);

    bxtest::SettingsFile& settings = env_->settings();
    settings.set("Log", "Level", std::to_string(config.logLevel));
    settings.set("Log", "File", config.logFile);
    settings.set("~MoverNode", "nGCPSnapStatusCheckRetryIntervalInMilliseconds",
                 std::to_string(config.snapPollMs));
    settings.set("~MoverNode", "nGCPSnapStatusCheckRetryCount", std::to_string(kUnboundedAttempts));
    bxtest::EmulatorEnv::useEmulatedDevices(util_);
    if (!config.httpsScsi) {
        localScsi_ = std::make_unique<LocalScsiInstall>(emu);
    }
    if (seedDisks(config)) {
        buildRecords(config);
    }
}

bool Fleet::seedDisks(const FleetConfig& config) {
    gce::Emulator& emu = env_->emu();
    nlohmann::json vm = nlohmann::json::parse(emu.resourceJson(kVmPath), nullptr, false);
    if (!vm.is_object() || !vm.contains("id")) {
        error_ = "mover-1 is not in the emulator";
        return false;
    }
    nlohmann::json attached = nlohmann::json::array();
    attached.push_back(
        {{"disk", "mover-1-boot"}, {"deviceName", "persistent-disk-0"}, {"boot", true}});
    for (const char* name : kExistingDisks) {
        attached.push_back({{"disk", name}, {"deviceName", name}});
    }
    nlohmann::json disks = nlohmann::json::array();
    for (int i = 0; i < config.disks; ++i) {
        diskNames_.push_back(diskName(i));
        disks.push_back({{"project", kProject},
                         {"zone", kZone},
                         {"name", diskNames_.back()},
                         {"sizeGb", 10},
                         {"type", "pd-balanced"},
                         {"labels", {{"bench", "ops"}}}});
        attached.push_back({{"disk", diskNames_.back()}, {"deviceName", diskNames_.back()}});
    }
    // Seeding replaces mover-1 by name: same id and account, more disks.
    nlohmann::json scenario = {{"disks", disks},
                               {"instances",
                                {{{"project", kProject},
                                  {"zone", kZone},
                                  {"name", "mover-1"},
                                  {"id", vm["id"]},
                                  {"thisVm", true},
                                  {"serviceAccount", kVmAccount},
                                  {"disks", attached}}}}};
    std::string err;
    if (!emu.seed(scenario.dump(), &err)) {
        error_ = "seed: " + err;
        return false;
    }
    return true;
}

bool Fleet::buildRecords(const FleetConfig& config) {
    gce::Emulator& emu = env_->emu();
    std::map<std::string, std::string> deviceOf;
    for (const auto& device : emu.scsiDevices()) {
        deviceOf[serialOf(emu, device)] = device;
    }
    records_ = std::make_unique<bxtest::RecordSet>(config.disks);
    for (int i = 0; i < config.disks; ++i) {
        auto it = deviceOf.find(diskNames_[i]);
        if (it == deviceOf.end()) {
            error_ = "no SCSI device for " + diskNames_[i];
            return false;
        }
        bxtest::FakeSnapInfo& r = (*records_)[static_cast<size_t>(i)];
        r.sourceDevice = it->second;
        r.knownArrays[kArrayOfVmAccount] = 0;
        r.snapName = "bsnap-" + diskNames_[i].substr(diskNames_[i].rfind('-') + 1);
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = config.retrySeconds;
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = kUnboundedAttempts;
        if (config.threadCount > 0) {
            r.configValues["SMCONFIG_SNAP_OP_THREAD_COUNT_KEY"] = config.threadCount;
        }
        r.intProperties[kBackupJobProperty] = 77;
        r.cloneNumber = 7;
    }
    return true;
}

void Fleet::useLatency(bool on) {
    env_->emu().setTimeScale(on ? 1.0 : 0.0);
}

int Fleet::call(Op op) {
    BXSO::SnapInfo** snaps = records_->data();
    const short n = records_->count();
    switch (op) {
        case Op::Prepare:
            return bxso_prepareDevices(snaps, n, &util_);
        case Op::Snap:
            return bxso_snapDevices(snaps, n, &util_);
        case Op::PostSnap:
            return bxso_postSnapDevices(snaps, n, &util_);
        case Op::Map:
            return bxso_mapSnaps(snaps, n, &util_);
        case Op::Unmap:
            return bxso_unmapSnaps(snaps, n, &util_);
        case Op::Revert:
            return bxso_revertSnaps(snaps, n, &util_);
        case Op::Delete:
            return bxso_deleteSnaps(snaps, n, &util_);
    }
    return 1;
}

std::string Fleet::firstError() {
    return records_ && records_->size() > 0 ? (*records_)[0].errorText : error_;
}

std::vector<double> Fleet::snapshotsReadyAfter(const std::vector<gce::JournalEntry>& snapJournal,
                                               double callStartEpoch) const {
    std::map<std::string, double> arrival;
    for (const auto& e : snapJournal) {
        size_t at = e.path.find("/createSnapshot");
        if (e.method != "POST" || at == std::string::npos) {
            continue;
        }
        std::string disk = e.path.substr(0, at);
        arrival[disk.substr(disk.rfind('/') + 1)] = e.time;
    }
    const double creation = model_.request + model_.pending + model_.snapCreate + model_.snapUpload;
    std::vector<double> out;
    for (const auto& name : diskNames_) {
        auto it = arrival.find(name);
        out.push_back(it == arrival.end() ? 0 : it->second + creation - callStartEpoch);
    }
    return out;
}

}  // namespace opsbench
