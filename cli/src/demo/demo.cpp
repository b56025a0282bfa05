// The demo: a Compute Engine emulator with a VM (mover-1) and three data
// disks, a settings file pointing the plug-in at it, a fresh catalog, and the
// whole cycle through the plug-in. Every step is checked against the
// emulator's resources, not only against what the plug-in reported.
#include "demo/demo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "demo/emulator_link.h"
#include "fs_util.h"
#include "jobs.h"
#include "output.h"

namespace bxhost {

namespace {

constexpr const char* kProject = "demo-project";
constexpr const char* kZone = "us-central1-a";
constexpr const char* kVm = "mover-1";
constexpr const char* kOtherProject = "other-project";
constexpr const char* kHpxDisk = "app-data-1";
constexpr const char* kHpxVm = "app-vm";
constexpr const char* kLocalArray = "GCP-Default-IAM";
constexpr const char* kHpxArray = "demo-sa";
constexpr const char* kHpxAccount = "backup-sa@demo-project.iam.gserviceaccount.com";

// The data disks as the guest sees them: SCSI disks after the boot disk, or
// NVMe namespaces after the boot disk's (nvme0n1).
std::vector<std::string> kDevices = {"/dev/sdb", "/dev/sdc", "/dev/sdd"};
const std::vector<std::string> kNvmeDevices = {"/dev/nvme0n2", "/dev/nvme0n3", "/dev/nvme0n4"};
constexpr const char* kNvmeMachineType = "c3-standard-8";
const std::vector<std::string> kDisks = {"data-disk-1", "data-disk-2", "data-disk-3"};

enum class Outcome { Pass, Fail, Skipped };

struct StepResult {
    Outcome outcome = Outcome::Pass;
    std::string detail;
};

struct DemoState {
    Session* session = nullptr;
    EmulatorLink* emu = nullptr;
    std::string workDir;
    std::vector<int64_t> local;  // snapshots of data-disk-1..3
    int64_t hpx = 0;             // app-data-1 with guest flush
    int64_t fallback = 0;        // app-data-1, guest flush failed and retaken
    bool mounted = false;
};

struct Step {
    const char* title;
    std::function<StepResult(DemoState&)> run;
};

StepResult pass(const std::string& detail = "") {
    return {Outcome::Pass, detail};
}
StepResult fail(const std::string& detail) {
    return {Outcome::Fail, detail};
}

StepResult fromFailedReport(const JobReport& report) {
    return fail("host error " + std::to_string(report.hostError) + ": " + report.error);
}

nlohmann::json parse(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

std::string diskPath(const std::string& disk) {
    return std::string("projects/") + kProject + "/zones/" + kZone + "/disks/" + disk;
}

std::string instancePath() {
    return std::string("projects/") + kProject + "/zones/" + kZone + "/instances/" + kVm;
}

bool attachedToVm(EmulatorLink& emu, const std::string& deviceName) {
    auto vm = parse(emu.resource(instancePath()));
    if (!vm.is_object() || !vm.contains("disks")) {
        return false;
    }
    for (const auto& d : vm["disks"]) {
        if (d.value("deviceName", "") == deviceName) {
            return true;
        }
    }
    return false;
}

SnapRow rowOf(DemoState& s, int64_t num) {
    auto row = s.session->catalog().snapshot(num);
    return row ? *row : SnapRow{};
}

void show(const JobReport& report) {
    if (!report.snapshots.empty()) {
        std::string table = snapshotTable(report.snapshots).render();
        size_t start = 0;
        while (start < table.size()) {
            size_t end = table.find('\n', start);
            std::cout << "      " << table.substr(start, end - start) << "\n";
            start = end + 1;
        }
    }
    for (const auto& p : report.results) {
        std::cout << "      " << p.first << " = " << p.second << "\n";
    }
    std::cout.flush();
}

// A snapshot the plug-in made, as the emulator holds it.
std::string checkSnapshot(DemoState& s, const SnapshotView& v, const std::string& project,
                          const std::string& disk) {
    auto snap = parse(s.emu->resource("projects/" + project + "/global/snapshots/" + v.row.name));
    if (!snap.is_object()) {
        return "snapshot [" + v.row.name + "] is not in GCP";
    }
    if (snap.value("status", "") != "READY") {
        return "snapshot [" + v.row.name + "] is " + snap.value("status", "?") + ", not READY";
    }
    std::string source = snap.value("sourceDisk", "");
    if (source.size() < disk.size() + 1 ||
        source.compare(source.size() - disk.size() - 1, std::string::npos, "/" + disk) != 0) {
        return "snapshot [" + v.row.name + "] was taken of [" + source + "], not of " + disk;
    }
    if (snap.value("id", "") != v.resourceId || v.resourceId.empty()) {
        return "catalog keeps resource id [" + v.resourceId + "] for [" + v.row.name +
               "], GCP has [" + snap.value("id", "") + "]";
    }
    if (v.row.status != 5 || v.row.phase != phase::kDone) {
        return "catalog shows [" + v.row.name + "] as " + statusText(v.row);
    }
    return {};
}

StepResult stepCheck(DemoState& s) {
    std::vector<std::string> devices = kDevices;
    devices.push_back("/dev/sde");
    auto results = runCheck(*s.session, devices);
    std::string problems;
    for (const auto& r : results) {
        bool expected = r.device != "/dev/sde";
        std::cout << "      " << r.device << ": "
                  << (r.supported ? "Google persistent disk" : "not a Google persistent disk")
                  << "\n";
        if (r.supported != expected) {
            problems += " " + r.device + (expected ? " refused;" : " accepted;");
        }
    }
    return problems.empty() ? pass("3 persistent disks recognised, the QEMU disk refused")
                            : fail("identification:" + problems);
}

StepResult stepBackupLocal(DemoState& s) {
    BackupRequest request;
    request.devices = kDevices;
    JobReport report = runBackup(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    if (report.snapshots.size() != kDisks.size()) {
        return fail("expected 3 snapshots, got " + std::to_string(report.snapshots.size()));
    }
    for (size_t i = 0; i < kDisks.size(); ++i) {
        std::string why = checkSnapshot(s, report.snapshots[i], kProject, kDisks[i]);
        if (!why.empty()) {
            return fail(why);
        }
        s.local.push_back(report.snapshots[i].row.num);
    }
    return pass("job " + std::to_string(report.jobId) + ": 3 snapshots READY in GCP");
}

JobReport hpxBackup(DemoState& s, std::string* error) {
    auto vm = parse(s.emu->resource(std::string("projects/") + kOtherProject + "/zones/" + kZone +
                                    "/instances/" + kHpxVm));
    JobReport report;
    if (!vm.is_object() || vm.value("id", "").empty()) {
        *error = "VM " + std::string(kHpxVm) + " not found in the emulator";
        return report;
    }
    BackupRequest request;
    request.hpxDisks = {std::string(kOtherProject) + "/" + kZone + "/" + kHpxDisk};
    request.array = kHpxArray;
    request.sourceInstance = std::string(kOtherProject) + "|" + vm.value("id", "");
    request.guestFlush = true;
    return runBackup(*s.session, request);
}

StepResult stepBackupFlush(DemoState& s) {
    int before = s.emu->countRequests("POST", "createSnapshot?guestFlush=true");
    std::string error;
    JobReport report = hpxBackup(s, &error);
    if (!error.empty()) {
        return fail(error);
    }
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    std::string why = checkSnapshot(s, report.snapshots.at(0), kOtherProject, kHpxDisk);
    if (!why.empty()) {
        return fail(why);
    }
    if (report.results["GuestFlushStatus"] != "0") {
        return fail("GuestFlushStatus is [" + report.results["GuestFlushStatus"] + "], not 0");
    }
    if (s.emu->countRequests("POST", "createSnapshot?guestFlush=true") <= before) {
        return fail("no createSnapshot request with guestFlush=true reached GCP");
    }
    s.hpx = report.snapshots[0].row.num;
    return pass("application-consistent snapshot of " + std::string(kOtherProject) + "/" +
                kHpxDisk + " (VM " + kHpxVm + ") READY, GuestFlushStatus 0");
}

StepResult stepBackupFlushFallback(DemoState& s) {
    std::string error;
    if (!s.emu->failGuestFlush(kOtherProject, kHpxDisk, &error)) {
        return fail(error);
    }
    std::cout << "      (the emulator now fails guest flush on " << kHpxDisk << ")\n";
    JobReport report = hpxBackup(s, &error);
    s.emu->clearFaults(&error);
    if (report.jobId == 0 && !error.empty()) {
        return fail(error);
    }
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    std::string why = checkSnapshot(s, report.snapshots.at(0), kOtherProject, kHpxDisk);
    if (!why.empty()) {
        return fail(why);
    }
    if (report.results["GuestFlushStatus"] != "1" || report.results["GuestFlushError"].empty()) {
        return fail("expected GuestFlushStatus 1 with the reason, got [" +
                    report.results["GuestFlushStatus"] + "]");
    }
    s.fallback = report.snapshots[0].row.num;
    return pass("guest flush failed; the snapshot was retaken without it (GuestFlushStatus 1)");
}

StepResult stepReconcile(DemoState& s) {
    SnapRow gone = rowOf(s, s.fallback);
    std::string error;
    EmulatorAccount operatorAccount;
    for (const auto& a : s.emu->accounts()) {
        if (a.email == kHpxAccount) {
            operatorAccount = a;
        }
    }
    if (!s.emu->deleteSnapshotOutOfBand(operatorAccount, kOtherProject, gone.name, &error)) {
        return fail(error);
    }
    std::cout << "      (snapshot " << gone.name << " deleted behind the host's back)\n";
    SnapRequest request;
    request.op = SnapOperation::Reconcile;
    JobReport report = runSnapOperation(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    if (rowOf(s, s.fallback).status != 24) {
        return fail("snapshot " + gone.name + " is not marked externally deleted");
    }
    for (int64_t n : s.local) {
        if (rowOf(s, n).status != 5) {
            return fail("reconcile changed snapshot " + std::to_string(n));
        }
    }
    return pass(std::to_string(report.snapshots.size()) +
                " snapshots checked; the missing one marked externally deleted");
}

StepResult stepMount(DemoState& s) {
    SnapRequest request;
    request.op = SnapOperation::Mount;
    for (int64_t n : s.local) {
        request.selectors.push_back(std::to_string(n));
    }
    JobReport report = runSnapOperation(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    for (const auto& v : report.snapshots) {
        // Without the own-name flag a clone takes its snapshot's name.
        auto disk = parse(s.emu->resource(diskPath(v.row.name)));
        if (!disk.is_object()) {
            return fail("clone disk [" + v.row.name + "] is not in GCP");
        }
        if (!attachedToVm(*s.emu, v.row.name)) {
            return fail("clone [" + v.row.name + "] is not attached to " + kVm);
        }
        if (v.row.status != 12 || v.row.snapDevice.empty()) {
            return fail("catalog shows [" + v.row.name + "] as " + statusName(v.row.status) +
                        " with device [" + v.row.snapDevice + "]");
        }
    }
    s.mounted = true;
    return pass("3 clones created from the snapshots and attached to " + std::string(kVm));
}

StepResult stepUnmount(DemoState& s) {
    if (!s.mounted) {
        return {Outcome::Skipped, "nothing mounted"};
    }
    SnapRequest request;
    request.op = SnapOperation::Unmount;
    for (int64_t n : s.local) {
        request.selectors.push_back(std::to_string(n));
    }
    JobReport report = runSnapOperation(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    for (const auto& v : report.snapshots) {
        if (!s.emu->resource(diskPath(v.row.name)).empty() || attachedToVm(*s.emu, v.row.name)) {
            return fail("clone [" + v.row.name + "] is still in GCP");
        }
    }
    return pass("clones detached and deleted");
}

StepResult stepRevert(DemoState& s) {
    int64_t target = s.local.back();  // data-disk-3
    auto before = parse(s.emu->resource(diskPath(kDisks.back())));
    if (!before.is_object()) {
        return fail(kDisks.back() + " is not in GCP");
    }
    SnapRequest request;
    request.op = SnapOperation::Revert;
    request.selectors = {std::to_string(target)};
    JobReport report = runSnapOperation(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    auto after = parse(s.emu->resource(diskPath(kDisks.back())));
    SnapRow row = rowOf(s, target);
    if (!after.is_object() || after.value("id", "") == before.value("id", "")) {
        return fail(kDisks.back() + " was not replaced");
    }
    std::string source = after.value("sourceSnapshot", "");
    if (source.find("/" + row.name) == std::string::npos) {
        return fail(kDisks.back() + " was made from [" + source + "], not from " + row.name);
    }
    if (!attachedToVm(*s.emu, kDisks.back())) {
        return fail(kDisks.back() + " is not attached again");
    }
    return pass(kDisks.back() + " replaced by a disk made from " + row.name +
                " and attached again");
}

StepResult stepDelete(DemoState& s) {
    SnapRequest request;
    request.op = SnapOperation::Delete;
    std::vector<SnapRow> rows;
    for (const auto& row : s.session->catalog().snapshots(SnapFilter{})) {
        if (row.status != 20) {
            request.selectors.push_back(std::to_string(row.num));
            rows.push_back(row);
        }
    }
    JobReport report = runSnapOperation(*s.session, request);
    show(report);
    if (!report.ok) {
        return fromFailedReport(report);
    }
    for (const auto& row : rows) {
        std::string project = row.sourceDevice.find('|') != std::string::npos
                                  ? row.sourceDevice.substr(0, row.sourceDevice.find('|'))
                                  : std::string(kProject);
        if (!s.emu->snapshotStatus(project, row.name).empty()) {
            return fail("snapshot [" + row.name + "] is still in GCP");
        }
        if (rowOf(s, row.num).status != 20) {
            return fail("catalog does not show [" + row.name + "] as deleted");
        }
    }
    return pass(std::to_string(rows.size()) + " snapshots deleted, none left in GCP");
}

bool writeSettings(const std::string& path, const EmulatorLink& emu, const std::string& workDir,
                   std::string* error) {
    std::ofstream out(path, std::ios::trunc);
    out << "; written by bxso-host demo: the plug-in talks to the emulator\n"
        << "[Gcp]\n"
        << "ComputeHost = " << emu.apiHost() << "\n"
        << "TokenUrl = " << emu.tokenUrl() << "\n"
        << "MetadataHost = " << emu.metadataHost() << "\n"
        << "CaBundle = " << emu.caFile() << "\n"
        << "ConnectTimeoutMs = 5000\n"
        << "TimeoutMs = 30000\n\n"
        << "[Devices]\n"
        << "Backend = emulator\n"
        << "EmulatorUrl = " << emu.apiUrl() << "\n"
        << "CaBundle = " << emu.caFile() << "\n\n"
        << "[Log]\n"
        << "Level = 5\n"
        << "File = " << workDir << "/plugin-debug.log\n\n"
        << "[Base]\n"
        << "dBASEHOME = " << workDir << "\n\n"
        << "[~MoverNode]\n"
        << "nGCPSnapStatusCheckRetryCount = 600\n"
        << "nGCPSnapStatusCheckRetryIntervalInMilliseconds = 100\n";
    out.close();
    if (!out) {
        *error = "cannot write [" + path + "]";
        return false;
    }
    return true;
}

bool makeWorkDir(std::string* dir, std::string* error) {
    if (dir->empty()) {
        char tmpl[] = "/tmp/bxso-demo-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            *error = std::string("cannot create a work directory: ") + std::strerror(errno);
            return false;
        }
        *dir = tmpl;
        return true;
    }
    if (!makeDirs(*dir, 0700, error)) {
        return false;
    }
    char resolved[PATH_MAX];
    if (::realpath(dir->c_str(), resolved)) {
        *dir = resolved;
    }
    return true;
}

bool addArrays(Session& session, const EmulatorLink& emu, std::string* error) {
    std::string pem;
    for (const auto& a : emu.accounts()) {
        if (a.email == kHpxAccount) {
            pem = a.pemFile;
        }
    }
    if (pem.empty()) {
        *error = std::string("the emulator has no key for ") + kHpxAccount;
        return false;
    }
    // Short pauses between polls: the emulator's operations take fractions
    // of a second.
    std::vector<std::string> config = {"retry-count=300", "retry-interval=1", "threads=8"};
    ArrayRequest local;
    local.name = kLocalArray;
    local.settings = config;
    ArrayRequest hpx;
    hpx.name = kHpxArray;
    hpx.user = kHpxAccount;
    hpx.keyPemFile = pem;
    hpx.settings = config;
    std::cout << "    ";
    std::cout.flush();
    if (cmdArrayAdd(session, local) != kExitOk) {
        *error = "cannot add array " + std::string(kLocalArray);
        return false;
    }
    std::cout << "    ";
    std::cout.flush();
    if (cmdArrayAdd(session, hpx) != kExitOk) {
        *error = "cannot add array " + std::string(kHpxArray);
        return false;
    }
    return true;
}

const char* outcomeText(Outcome o) {
    return o == Outcome::Pass ? "PASS" : o == Outcome::Fail ? "FAIL" : "SKIPPED";
}

}  // namespace

int runDemo(const DemoOptions& options) {
    // Progress of the jobs goes to standard error; flushing every write keeps
    // the two streams in order when both go to one terminal or file.
    std::cout << std::unitbuf;
    std::string error;
    std::string workDir = options.workDir;
    if (!makeWorkDir(&workDir, &error)) {
        return printError(error);
    }
    std::cout << "bxso-host demo: work directory " << workDir << "\n";
    if (options.nvme) {
        kDevices = kNvmeDevices;
    }
    EmulatorLink emu;
    bool started = options.emulatorUrl.empty()
                       ? emu.startLocal(workDir + "/emulator", options.timeScale,
                                        options.nvme ? kNvmeMachineType : "", &error)
                       : emu.attach(options.emulatorUrl, options.emulatorCa, &error);
    if (!started) {
        return printError("emulator: " + error);
    }
    std::cout << "  emulator: Compute API https://" << emu.apiHost() << ", metadata http://"
              << emu.metadataHost() << (emu.inProcess() ? " (in this process)" : "") << "\n";
    std::string settings = workDir + "/settings.ini";
    if (!writeSettings(settings, emu, workDir, &error)) {
        return printError(error);
    }
    // The settings file decides where the metadata server is.
    ::unsetenv("GCE_METADATA_HOST");
    GlobalOptions global = options.global;
    global.settingsPath = settings;
    global.catalogPath = workDir + "/catalog.db";
    global.keyPath = workDir + "/host.key";
    Session session(global);
    if (!session.openCatalog(&error) || !session.loadPlugin(&error)) {
        return printError(error);
    }
    std::cout << "  plug-in:  " << session.plugin().path() << " (version "
              << session.plugin().versionText() << ")\n"
              << "  settings: " << settings << "\n"
              << "  catalog:  " << global.catalogPath << "\n"
              << "  arrays:\n";
    if (!addArrays(session, emu, &error)) {
        return printError(error);
    }
    DemoState state;
    state.session = &session;
    state.emu = &emu;
    state.workDir = workDir;
    const std::vector<Step> steps = {
        {options.nvme ? "check devices (NVMe identification)"
                      : "check devices (SCSI identification)",
         stepCheck},
        {"back up data-disk-1..3 of mover-1 (local devices, plain)", stepBackupLocal},
        {"back up app-data-1 of app-vm with guest flush (HPX)", stepBackupFlush},
        {"back up with guest flush failing: retaken without it", stepBackupFlushFallback},
        {"reconcile the catalog with GCP", stepReconcile},
        {"mount the snapshots of data-disk-1..3", stepMount},
        {"unmount them", stepUnmount},
        {"revert data-disk-3 to its snapshot", stepRevert},
        {"delete every snapshot", stepDelete},
    };
    std::vector<StepResult> results;
    for (size_t i = 0; i < steps.size(); ++i) {
        std::cout << "\n[" << i + 1 << "/" << steps.size() << "] " << steps[i].title << "\n";
        std::cout.flush();
        StepResult r = steps[i].run(state);
        std::cout << "    => " << outcomeText(r.outcome) << (r.detail.empty() ? "" : ": ")
                  << r.detail << "\n";
        std::cout.flush();
        results.push_back(r);
    }
    bool ok = true;
    Table summary({"STEP", "RESULT", "DETAIL"});
    nlohmann::json json = {{"workDir", workDir}, {"steps", nlohmann::json::array()}};
    for (size_t i = 0; i < steps.size(); ++i) {
        ok = ok && results[i].outcome != Outcome::Fail;
        summary.add({steps[i].title, outcomeText(results[i].outcome), results[i].detail});
        json["steps"].push_back({{"step", steps[i].title},
                                 {"result", outcomeText(results[i].outcome)},
                                 {"detail", results[i].detail}});
    }
    json["ok"] = ok;
    std::cout << "\nSnapshots in the catalog:\n";
    std::cout.flush();
    cmdList(session, 0, true);
    std::cout << "\nJobs:\n";
    std::cout.flush();
    cmdJobs(session, 0);
    std::cout << "\nSummary:\n" << summary.render();
    if (options.global.json) {
        std::cout << json.dump(2) << "\n";
    }
    std::cout << "\n"
              << (ok ? "demo succeeded" : "demo FAILED") << " (plug-in debug log: " << workDir
              << "/plugin-debug.log; job logs: bxso-host --catalog " << global.catalogPath
              << " --key-file " << global.keyPath << " log JOB)\n";
    return ok ? kExitOk : kExitFailed;
}

}  // namespace bxhost
