// Backup: prepare, snap and post-snap as one job. Each snapshot row carries
// its phase, advanced after each call from the status the plug-in set, so a
// job that failed or was killed halfway is finished by 'backup --resume JOB'
// from what the catalog kept.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "host_record.h"
#include "jobs.h"
#include "snap_name.h"

namespace bxhost {

namespace {

constexpr const char* kGuestFlushKey = "EnableGuestFlush";

struct Phase {
    const char* name;
    const char* from;  // rows in this phase take part
    const char* to;    // ...and move here when the plug-in reports success
    int successStatus;
    RecordsFn Plugin::*entry;
};

const Phase kPhases[] = {
    {"prepare", phase::kNew, phase::kPrepared, 1, &Plugin::prepareDevices},
    {"snap", phase::kPrepared, phase::kSnapped, 5, &Plugin::snapDevices},
    {"post-snap", phase::kSnapped, phase::kDone, 5, &Plugin::postSnapDevices},
};

// Tests stop the host between two phases here and kill it.
void pauseForTests(int64_t jobId, const char* phaseName) {
    const char* at = std::getenv("BXSO_HOST_TEST_PAUSE_AFTER");
    if (!at || std::string(at) != phaseName) {
        return;
    }
    std::fprintf(stderr, "bxso-host: paused after %s of job %lld\n", phaseName,
                 static_cast<long long>(jobId));
    std::fflush(stderr);
    for (;;) {
        ::pause();
    }
}

bool isNotLocalPath(const std::string& device) {
    return device.find('/') != 0;
}

// PROJECT/ZONE/DISK or PROJECT/REGION/DISK. A zone ends in a letter
// ("us-central1-a"), a region in a digit ("us-central1").
bool parseHpxDisk(const std::string& text, std::string* source, std::string* location,
                  std::string* error) {
    size_t a = text.find('/');
    size_t b = a == std::string::npos ? a : text.find('/', a + 1);
    if (b == std::string::npos || text.find('/', b + 1) != std::string::npos || a == 0 ||
        b == a + 1 || b + 1 == text.size()) {
        *error = "HPX disk [" + text + "] is not PROJECT/ZONE/DISK or PROJECT/REGION/DISK";
        return false;
    }
    std::string project = text.substr(0, a);
    std::string loc = text.substr(a + 1, b - a - 1);
    std::string disk = text.substr(b + 1);
    *source = project + "|" + disk;
    bool region = loc.back() >= '0' && loc.back() <= '9';
    *location = region ? "|" + loc + "|" : loc + "||";
    return true;
}

bool createJobRows(Session& session, const BackupRequest& request, JobReport* report) {
    bool hpx = !request.hpxDisks.empty();
    int arrayNum = 0;
    if (hpx) {
        auto array = session.catalog().arrayByName(request.array);
        if (!array) {
            report->error = "no array [" + request.array + "] (see 'bxso-host array list')";
            return false;
        }
        arrayNum = array->num;
    }
    std::vector<SnapRow> rows;
    std::vector<std::map<int, MetaItem>> metadata;
    for (const auto& device : hpx ? request.hpxDisks : request.devices) {
        SnapRow row;
        row.jobId = report->jobId;
        row.arrayNum = arrayNum;
        std::map<int, MetaItem> meta;
        if (hpx) {
            std::string location;
            if (!parseHpxDisk(device, &row.sourceDevice, &location, &report->error)) {
                return false;
            }
            row.sourceInfo = request.sourceInstance;
            meta[kMetaCloudLocation] = MetaItem{location, false};
        } else {
            row.sourceDevice = device;
        }
        rows.push_back(row);
        metadata.push_back(meta);
    }
    std::string hostId = session.catalog().hostId();
    if (hostId.empty() ||
        !session.catalog().createSnapshots(&rows, metadata, [&](const SnapRow& r) {
            return makeSnapName(hostId, r.sourceDevice, r.jobId, r.num);
        })) {
        report->error = "cannot record the snapshots: " + session.catalog().error();
        return false;
    }
    std::vector<OptionRow> options;
    if (request.guestFlush) {
        options.push_back({kGuestFlushKey, "true", false});
    }
    for (const auto& p : request.properties) {
        options.push_back({p.first, p.second, false});
    }
    if (!options.empty() && !session.catalog().setJobOptions(report->jobId, "op", options)) {
        report->error = "cannot record the job's options: " + session.catalog().error();
        return false;
    }
    return true;
}

bool validate(Session& session, const BackupRequest& request, std::string* error) {
    if (request.resumeJob > 0) {
        if (!request.devices.empty() || !request.hpxDisks.empty()) {
            *error = "--resume continues a job with its own devices; give no devices";
            return false;
        }
        return true;
    }
    if (request.devices.empty() == request.hpxDisks.empty()) {
        *error = request.devices.empty()
                     ? "nothing to back up: give local devices or --hpx disks"
                     : "local devices and --hpx disks go in separate backup jobs";
        return false;
    }
    for (const auto& d : request.devices) {
        if (!isNotLocalPath(d)) {
            continue;
        }
        *error = "local device [" + d + "] must be an absolute path (HPX disks go with --hpx)";
        return false;
    }
    if (!request.hpxDisks.empty() &&
        (request.array.empty() || request.sourceInstance.find('|') == std::string::npos)) {
        *error = "--hpx disks need --array NAME and --source-instance PROJECT|INSTANCE-ID";
        return false;
    }
    for (const auto& disk : request.hpxDisks) {
        std::string source, location;
        if (!parseHpxDisk(disk, &source, &location, error)) {
            return false;
        }
    }
    if (!request.hpxDisks.empty() && !session.catalog().arrayByName(request.array)) {
        *error = "no array [" + request.array + "] (see 'bxso-host array list')";
        return false;
    }
    if (request.guestFlush && request.hpxDisks.empty()) {
        *error =
            "guest flush applies to HPX disks only; back local devices up without --guest-flush";
        return false;
    }
    return true;
}

}  // namespace

JobReport runBackup(Session& session, const BackupRequest& request) {
    JobReport report;
    report.kind = "backup";
    report.ok = false;
    if (!validate(session, request, &report.error)) {
        return report;
    }
    if (request.resumeJob > 0) {
        auto job = session.catalog().job(request.resumeJob);
        if (!job || job->kind != "backup") {
            report.error = "no backup job " + std::to_string(request.resumeJob) + " to resume";
            return report;
        }
        report.jobId = job->id;
        session.catalog().reopenJob(job->id);
    } else {
        auto id = session.catalog().createJob("backup", "");
        if (!id) {
            report.error = "cannot record the job: " + session.catalog().error();
            return report;
        }
        report.jobId = *id;
        if (!createJobRows(session, request, &report)) {
            finishJob(session, report);
            return report;
        }
    }
    session.setJob(report.jobId);
    SnapFilter filter;
    filter.jobId = report.jobId;
    auto records = loadRecords(session, session.catalog().snapshots(filter));
    if (!buildCallOptions(session, session.catalog().jobOptions(report.jobId, "op"), {},
                          &session.callOptions(), &report.error)) {
        finishJob(session, report);
        return report;
    }
    progress(session, "backup job " + std::to_string(report.jobId) + ": " +
                          std::to_string(records.size()) + " snapshot(s)");
    auto board = startBoard(session, "backup job " + std::to_string(report.jobId), records);
    watchStatuses(session, "backup");
    bool failed = false;
    for (const Phase& ph : kPhases) {
        std::vector<HostRecord*> batch;
        for (auto& r : records) {
            if (r->row().phase == ph.from) {
                batch.push_back(r.get());
            }
        }
        if (batch.empty()) {
            continue;
        }
        progress(session, "==> " + std::string(ph.name) + ": " + std::to_string(batch.size()) +
                              " snapshot(s)");
        if (board) {
            board->phase(ph.name, boardNumbers(batch));
        }
        CallOutcome out = session.invoke(session.plugin().*ph.entry, batch);
        int advanced = 0;
        for (HostRecord* r : batch) {
            bool succeeded = r->status() == ph.successStatus && out.hostFailure.empty();
            if (succeeded) {
                r->setPhase(ph.to);
                ++advanced;
            }
            if (board) {
                board->settle(r->row().num, statusName(r->status()), !succeeded);
            }
        }
        if (!out.ok()) {
            progress(session, "    " + std::string(ph.name) + " failed: " +
                                  (out.hostFailure.empty() ? out.errorText : out.hostFailure));
            if (!failed) {
                report.hostError = out.errorCode;
                report.error = out.hostFailure.empty() ? out.errorText : out.hostFailure;
                report.notAvailable = out.notAvailable;
            }
            failed = true;
        } else {
            progress(session, "    " + std::string(ph.name) + ": ok (" + std::to_string(advanced) +
                                  "/" + std::to_string(batch.size()) + ")");
        }
        pauseForTests(report.jobId, ph.name);
    }
    session.onStatus = nullptr;
    endBoard(session, board);
    report.ok = !failed;
    for (auto& r : records) {
        SnapRow row = r->row();
        report.ok = report.ok && row.phase == phase::kDone;
        report.snapshots.push_back(describeSnapshot(row, r->metadataCopy()));
    }
    if (!report.ok && report.error.empty()) {
        report.error = "some snapshots did not complete";
    }
    report.hint = report.ok ? "" : hintFor(report.error);
    if (!report.ok && report.hint.empty()) {
        report.hint = "finish it with: bxso-host backup --resume " + std::to_string(report.jobId);
    }
    finishJob(session, report);
    return report;
}

}  // namespace bxhost
