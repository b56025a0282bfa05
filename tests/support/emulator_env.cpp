#include "support/emulator_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "host/scsi.h"
#include "runtime/endpoints.h"
#include "support/files.h"

namespace bxtest {

gce::EmulatorOptions EmulatorEnv::defaultOptions() {
    gce::EmulatorOptions options;
    options.timeScale = 0;
    // Every worker of a parallel phase holds a connection of its own.
    options.threads = 24;
    return options;
}

EmulatorEnv::EmulatorEnv(gce::EmulatorOptions options)
    : emulator_(std::make_unique<gce::Emulator>(std::move(options))) {
    ok_ = emulator_->start(&error_);
    // The settings file decides; an inherited environment override must not.
    if (const char* env = std::getenv(bxrt::kMetadataHostEnv)) {
        hadMetadataEnv_ = true;
        savedMetadataEnv_ = env;
        ::unsetenv(bxrt::kMetadataHostEnv);
    }
    if (ok_) {
        settings_.set(bxrt::kGcpSection, "ComputeHost", emulator_->apiHost());
        settings_.set(bxrt::kGcpSection, "TokenUrl", emulator_->tokenUrl());
        settings_.set(bxrt::kGcpSection, "MetadataHost", emulator_->metadataHost());
        settings_.set(bxrt::kGcpSection, "CaBundle", emulator_->caFile());
        settings_.set(bxrt::kGcpSection, "ConnectTimeoutMs", "2000");
        settings_.set(bxrt::kGcpSection, "TimeoutMs", "20000");
        // Local devices are the emulated VM's.
        settings_.set("Devices", "Backend", "emulator");
        settings_.set("Devices", "EmulatorUrl", "https://" + emulator_->apiHost());
        settings_.set("Devices", "CaBundle", emulator_->caFile());
    }
}

EmulatorEnv::~EmulatorEnv() {
    emulator_->stop();
    if (hadMetadataEnv_) {
        ::setenv(bxrt::kMetadataHostEnv, savedMetadataEnv_.c_str(), 1);
    }
}

std::string EmulatorEnv::diskPath(const std::string& disk, const std::string& zone,
                                  const std::string& project) {
    return "projects/" + project + "/zones/" + zone + "/disks/" + disk;
}

std::vector<gce::JournalEntry> EmulatorEnv::requests(const std::string& method,
                                                     const std::string& pathPart) const {
    std::vector<gce::JournalEntry> out;
    for (auto& entry : emulator_->journal()) {
        if ((method.empty() || entry.method == method) &&
            entry.path.find(pathPart) != std::string::npos) {
            out.push_back(std::move(entry));
        }
    }
    return out;
}

jsonxx::Object EmulatorEnv::resource(const std::string& path) const {
    jsonxx::Object o;
    o.parse(emulator_->resourceJson(path));
    return o;
}

std::vector<std::string> EmulatorEnv::names(const std::string& collection,
                                            const std::string& project, bool withDeleting) const {
    jsonxx::Object state;
    state.parse(emulator_->stateJson());
    const jsonxx::Array& items = state.get<jsonxx::Array>(collection);
    std::vector<std::string> out;
    for (size_t i = 0; i < items.size(); ++i) {
        const jsonxx::Object& item = items.get<jsonxx::Object>(i);
        if ((project.empty() || item.get<jsonxx::String>("project") == project) &&
            (withDeleting || !item.get<jsonxx::Boolean>("deleting"))) {
            out.push_back(item.get<jsonxx::String>("name"));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string EmulatorEnv::attachedSource(const std::string& deviceName) const {
    jsonxx::Object vm = resource("projects/demo-project/zones/us-central1-a/instances/mover-1");
    const jsonxx::Array& disks = vm.get<jsonxx::Array>("disks");
    for (size_t i = 0; i < disks.size(); ++i) {
        const jsonxx::Object& d = disks.get<jsonxx::Object>(i);
        if (d.get<jsonxx::String>("deviceName") == deviceName) {
            return d.get<jsonxx::String>("source");
        }
    }
    return "";
}

bool EmulatorEnv::attachedUnderItsName(const std::string& name) const {
    std::string source = attachedSource(name);
    return !source.empty() && source.substr(source.rfind('/') + 1) == name;
}

gce::Emulator::ServiceAccountKeys EmulatorEnv::account(const std::string& email) const {
    for (const auto& a : emulator_->serviceAccounts()) {
        if (a.email.rfind(email, 0) == 0) {
            return a;
        }
    }
    ADD_FAILURE() << "no service account " << email;
    return {};
}

std::string EmulatorEnv::pemOf(const std::string& email) const {
    return readFile(account(email).pemFile);
}

gce::FaultSpec httpFault(const std::string& method, const std::string& path, int status,
                         int count) {
    gce::FaultSpec f;
    f.method = method;
    f.path = path;
    f.status = status;
    f.count = count;
    return f;
}

gce::OperationFault opFault(const std::string& type, const std::string& errorCode, int count) {
    gce::OperationFault f;
    f.operationType = type;
    f.errorCode = errorCode;
    f.count = count;
    return f;
}

}  // namespace bxtest

namespace bxtest {

void EmulatorEnv::useEmulatedDevices(FakeOSUtil& util) {
    util.lister = [](std::vector<std::string>* out) { return HostScsi::listDevices(out, nullptr); };
}

std::string EmulatorEnv::devicePath(int index) {
    // Linux names block devices sda..sdz, sdaa, sdab, ...
    std::string letters;
    for (int n = index + 1; n > 0; n = (n - 1) / 26) {
        letters.insert(letters.begin(), static_cast<char>('a' + (n - 1) % 26));
    }
    return "/dev/sd" + letters;
}

std::unique_ptr<RecordSet> EmulatorEnv::fleetRecords(int disks, const std::string& snapPrefix,
                                                     int retryIntervalSec, int retryCount) {
    auto records = std::make_unique<RecordSet>(disks);
    for (int i = 0; i < disks; ++i) {
        auto& r = (*records)[i];
        // Devices of the data disks follow the boot disk in attachment order.
        r.sourceDevice = devicePath(i + 1);
        r.knownArrays["GCP-Default-IAM"] = 0;
        r.snapName = snapPrefix + std::to_string(i + 1);
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = retryIntervalSec;
        r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = retryCount;
    }
    return records;
}

std::string EmulatorEnv::fleetScenario(int disks, const std::string& prefix,
                                       const std::string& machineType,
                                       const std::set<int>& nvmeDisks) {
    auto name = [&prefix](int i) { return prefix + std::to_string(i + 1); };
    std::ostringstream s;
    s << R"({"projects":[{"id":"demo-project","number":"123456789012","regions":[)"
      << R"({"name":"us-central1","zones":["us-central1-a","us-central1-b","us-central1-c"]}]}],)"
      << R"("disks":[)";
    for (int i = 0; i < disks; ++i) {
        s << (i ? "," : "") << R"({"project":"demo-project","zone":"us-central1-a","name":")"
          << name(i) << R"(","sizeGb":10,"type":"pd-balanced","labels":{"app":"storm"}})";
    }
    s << R"(],"serviceAccounts":[{"email":")" << kFleetAccount
      << R"(","projects":["demo-project"],"generateKey":false}],)"
      << R"("instances":[{"project":"demo-project","zone":"us-central1-a","name":"mover-1",)"
      << (machineType.empty() ? "" : R"("machineType":")" + machineType + R"(",)")
      << R"("thisVm":true,"serviceAccount":")" << kFleetAccount
      << R"(","disks":[{"disk":"mover-1-boot","deviceName":"persistent-disk-0",)"
      << R"("boot":true})";
    for (int i = 0; i < disks; ++i) {
        s << R"(,{"disk":")" << name(i) << R"(","deviceName":")" << name(i) << R"(")"
          << (nvmeDisks.count(i) ? R"(,"interface":"NVME")" : "") << "}";
    }
    s << "]}]}";
    return s.str();
}

}  // namespace bxtest
