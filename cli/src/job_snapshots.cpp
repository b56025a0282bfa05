// Jobs over existing snapshots: mount (map), unmount, delete, revert and
// reconcile. The plug-in takes the snapshots of one array per call, so the
// selection is split by array; each call's records are the catalog rows.
#include <algorithm>

#include "host_record.h"
#include "jobs.h"

namespace bxhost {

namespace {

struct OpInfo {
    RecordsFn Plugin::*entry;
    int successStatus;  // 0: the operation changes no status on success
};

OpInfo infoFor(SnapOperation op) {
    switch (op) {
        case SnapOperation::Mount:
            return {&Plugin::mapSnaps, 12};
        case SnapOperation::Unmount:
            return {&Plugin::unmapSnaps, 14};
        case SnapOperation::Delete:
            return {&Plugin::deleteSnaps, 20};
        case SnapOperation::Revert:
            return {&Plugin::revertSnaps, 22};
        case SnapOperation::Reconcile:
            return {&Plugin::reconcileSnaps, 0};
    }
    return {nullptr, 0};
}

// Why a snapshot cannot take part, or empty.
std::string refusal(SnapOperation op, const SnapRow& row) {
    std::string who = "snapshot " + std::to_string(row.num) + " [" + row.name + "]";
    switch (op) {
        case SnapOperation::Delete:
            return row.status == 20 ? who + " is already deleted" : "";
        case SnapOperation::Unmount:
            return (row.status == 20 || row.status == 24) ? who + " no longer exists" : "";
        default:
            if (row.status == 20 || row.status == 24) {
                return who + " no longer exists";
            }
            return row.phase != phase::kDone ? who + " is not complete (finish its backup job " +
                                                   std::to_string(row.jobId) + " first)"
                                             : "";
    }
}

// Restore and clone options of a mount, kept with each snapshot so that its
// unmount finds the same clone; secrets are stored encrypted.
bool storeMountOptions(Session& session, const SnapRequest& request,
                       const std::vector<SnapRow>& rows, std::vector<OptionRow>* restore,
                       std::vector<OptionRow>* clone, std::string* error) {
    for (const auto& o : request.restoreOptions) {
        OptionRow row{o.first, o.second, false};
        if (o.first == kRestorePasswordKey && !o.second.empty()) {
            row.value = session.encrypt(o.second, error);
            row.secret = true;
            if (row.value.empty()) {
                return false;
            }
        }
        restore->push_back(row);
    }
    for (const auto& o : request.cloneOptions) {
        clone->push_back({o.first, o.second, false});
    }
    for (const auto& row : rows) {
        if (!session.catalog().setSnapOptions(row.num, "restore", *restore) ||
            !session.catalog().setSnapOptions(row.num, "clone", *clone)) {
            *error = "cannot record the mount options: " + session.catalog().error();
            return false;
        }
    }
    return true;
}

}  // namespace

JobReport runSnapOperation(Session& session, const SnapRequest& request) {
    JobReport report;
    report.kind = operationName(request.op);
    report.ok = false;
    std::vector<SnapRow> rows;
    if (!selectSnapshots(session, request.selectors, request.fromJob, &rows, &report.error)) {
        return report;
    }
    if (request.selectors.empty() && request.fromJob == 0) {
        if (request.op != SnapOperation::Reconcile) {
            report.error = "name the snapshots (numbers or names) or give --job JOB";
            return report;
        }
        for (const auto& row : session.catalog().snapshots(SnapFilter{})) {
            if (isLive(row)) {
                rows.push_back(row);
            }
        }
    }
    if (request.fromJob > 0 || request.selectors.empty()) {
        // A whole job or the whole catalog: leave out what cannot take part.
        rows.erase(
            std::remove_if(rows.begin(), rows.end(),
                           [&](const SnapRow& r) { return !refusal(request.op, r).empty(); }),
            rows.end());
    }
    for (const auto& row : rows) {
        std::string why = refusal(request.op, row);
        if (!why.empty()) {
            report.error = why;
            return report;
        }
    }
    if (rows.empty()) {
        report.error = "no snapshot to " + report.kind;
        report.ok = request.op == SnapOperation::Reconcile;
        return report;
    }
    std::vector<OptionRow> restore;
    std::vector<OptionRow> clone;
    auto id = session.catalog().createJob(report.kind, "");
    if (!id) {
        report.error = "cannot record the job: " + session.catalog().error();
        return report;
    }
    report.jobId = *id;
    session.setJob(report.jobId);
    if (request.op == SnapOperation::Mount &&
        !storeMountOptions(session, request, rows, &restore, &clone, &report.error)) {
        finishJob(session, report);
        return report;
    }
    if (request.op == SnapOperation::Unmount) {
        // The options the snapshot was mounted with.
        restore = session.catalog().snapOptions(rows.front().num, "restore");
        clone = session.catalog().snapOptions(rows.front().num, "clone");
    }
    auto records = loadRecords(session, rows);
    OpInfo info = infoFor(request.op);
    std::map<int, std::vector<HostRecord*>> byArray;
    for (auto& r : records) {
        if (request.op == SnapOperation::Delete && r->getArrayNumber() < 1) {
            // Prepare associates a snapshot with its array before anything
            // exists in GCP, so a snapshot without one has nothing to delete;
            // the plug-in would refuse it for the missing array.
            r->clearError();
            r->setStatus(BXSO::SNAP_DELETE_SUCCESS);
            session.hostLog(r->getSnapNumber(), 1, "HOST ",
                            "Snapshot was never prepared: nothing in GCP, marked deleted");
            continue;
        }
        if (request.op == SnapOperation::Mount) {
            if (request.ownCloneName) {
                r->addFlag(kFlagOwnCloneName);
            } else {
                r->clearFlag(kFlagOwnCloneName);
            }
        }
        byArray[r->getArrayNumber()].push_back(r.get());
    }
    progress(session, report.kind + " job " + std::to_string(report.jobId) + ": " +
                          std::to_string(records.size()) + " snapshot(s)");
    auto board = startBoard(session, report.kind + " job " + std::to_string(report.jobId), records);
    if (board) {
        std::vector<HostRecord*> all;
        for (auto& r : records) {
            all.push_back(r.get());
        }
        board->phase(report.kind, boardNumbers(all));
    }
    watchStatuses(session, report.kind);
    report.ok = true;
    for (auto& group : byArray) {
        if (group.second.empty()) {
            continue;
        }
        if (!buildCallOptions(session, restore, clone, &session.callOptions(), &report.error)) {
            report.ok = false;
            break;
        }
        CallOutcome out = session.invoke(session.plugin().*info.entry, group.second);
        if (!out.ok() && report.ok) {
            report.ok = false;
            report.hostError = out.errorCode;
            report.error = out.hostFailure.empty() ? out.errorText : out.hostFailure;
            report.notAvailable = out.notAvailable;
        }
        if (request.op == SnapOperation::Unmount) {
            for (HostRecord* r : group.second) {
                if (r->status() == info.successStatus) {
                    r->clearFlag(kFlagOwnCloneName);
                }
            }
        }
    }
    session.onStatus = nullptr;
    for (auto& r : records) {
        SnapRow row = r->row();
        if (board) {
            board->settle(row.num, statusName(row.status),
                          info.successStatus != 0 && row.status != info.successStatus);
        }
        if (info.successStatus != 0 && row.status != info.successStatus && report.ok) {
            report.ok = false;
            report.error =
                "snapshot " + std::to_string(row.num) + " ended as " + statusName(row.status);
        }
        report.snapshots.push_back(describeSnapshot(row, r->metadataCopy()));
    }
    endBoard(session, board);
    report.hint = report.ok ? "" : hintFor(report.error);
    finishJob(session, report);
    return report;
}

std::vector<CheckResult> runCheck(Session& session, const std::vector<std::string>& devices) {
    std::vector<CheckResult> out;
    HostUtil util(session);
    for (const auto& device : devices) {
        CheckResult result;
        result.device = device;
        result.supported = session.plugin().isSupported(device.c_str(), 0, &util, nullptr, 0) == 0;
        out.push_back(result);
    }
    return out;
}

}  // namespace bxhost
