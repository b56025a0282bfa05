#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <set>

#include "host_record.h"
#include "jobs.h"
#include "output.h"

namespace bxhost {

namespace {

// The first "|"-terminated field of a metadata item, or the n-th.
std::string field(const std::string& item, int index) {
    size_t start = 0;
    for (int i = 0; i < index; ++i) {
        size_t bar = item.find('|', start);
        if (bar == std::string::npos) {
            return {};
        }
        start = bar + 1;
    }
    size_t bar = item.find('|', start);
    return bar == std::string::npos ? std::string() : item.substr(start, bar - start);
}

bool parseNumber(const std::string& text, int64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 18) {
        return false;
    }
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

std::string statusName(int status) {
    switch (status) {
        case 0:
            return "new";
        case 1:
            return "prepared";
        case 2:
            return "prepare failed";
        case 5:
            return "created";
        case 6:
            return "create failed";
        case 11:
            return "map failed";
        case 12:
            return "mapped";
        case 14:
            return "unmapped";
        case 15:
            return "unmap failed";
        case 20:
            return "deleted";
        case 21:
            return "delete failed";
        case 22:
            return "reverted";
        case 23:
            return "revert failed";
        case 24:
            return "externally deleted";
        default:
            return "status " + std::to_string(status);
    }
}

std::string statusText(const SnapRow& row) {
    std::string text = statusName(row.status);
    bool pending = row.status == 0 || row.status == 1 || row.status == 5;
    if (row.phase != phase::kDone && pending) {
        text += " (backup unfinished)";
    }
    return text;
}

bool isLive(const SnapRow& row) {
    return row.phase == phase::kDone && row.status != 20 && row.status != 24;
}

SnapshotView describeSnapshot(const SnapRow& row, const std::map<int, MetaItem>& metadata) {
    SnapshotView view;
    view.row = row;
    view.metadata = metadata;
    auto get = [&metadata](int key) {
        auto it = metadata.find(key);
        return it == metadata.end() ? std::string() : it->second.value;
    };
    view.disk = field(get(kMetaDeviceName), 0);
    std::string location = get(kMetaCloudLocation);
    view.location = field(location, 0).empty() ? field(location, 1) : field(location, 0);
    view.resourceId = field(get(kMetaSnapUuid), 3);
    if (view.disk.empty()) {
        // HPX sources name their disk themselves: "project|disk".
        size_t bar = row.sourceDevice.find('|');
        if (bar != std::string::npos) {
            view.disk = row.sourceDevice.substr(bar + 1);
        }
    }
    return view;
}

std::string operationName(SnapOperation op) {
    switch (op) {
        case SnapOperation::Mount:
            return "mount";
        case SnapOperation::Unmount:
            return "unmount";
        case SnapOperation::Delete:
            return "delete";
        case SnapOperation::Revert:
            return "revert";
        case SnapOperation::Reconcile:
            return "reconcile";
    }
    return "?";
}

std::vector<std::unique_ptr<HostRecord>> loadRecords(Session& session,
                                                     const std::vector<SnapRow>& rows) {
    std::vector<std::unique_ptr<HostRecord>> out;
    for (const auto& row : rows) {
        out.push_back(
            std::make_unique<HostRecord>(session, row, session.catalog().metadata(row.num)));
    }
    return out;
}

bool selectSnapshots(Session& session, const std::vector<std::string>& selectors, int64_t fromJob,
                     std::vector<SnapRow>* rows, std::string* error) {
    rows->clear();
    std::vector<int64_t> seen;
    auto add = [&](const SnapRow& row) {
        for (int64_t n : seen) {
            if (n == row.num) {
                return;
            }
        }
        seen.push_back(row.num);
        rows->push_back(row);
    };
    for (const auto& sel : selectors) {
        int64_t num = 0;
        std::optional<SnapRow> row = parseNumber(sel, &num) ? session.catalog().snapshot(num)
                                                            : session.catalog().snapshotByName(sel);
        if (!row) {
            *error = "no snapshot [" + sel + "] in the catalog (see 'bxso-host list')";
            return false;
        }
        add(*row);
    }
    if (fromJob > 0) {
        auto job = session.catalog().job(fromJob);
        if (!job) {
            *error = "no job " + std::to_string(fromJob) + " in the catalog";
            return false;
        }
        SnapFilter filter;
        filter.jobId = fromJob;
        for (const auto& row : session.catalog().snapshots(filter)) {
            add(row);
        }
    }
    return true;
}

bool buildCallOptions(Session& session, const std::vector<OptionRow>& operation,
                      const std::vector<OptionRow>& clone, CallOptions* out, std::string* error) {
    *out = CallOptions{};
    bool p12 = false;
    for (const auto& row : operation) {
        if (row.key == kRestoreP12Key && !row.value.empty()) {
            p12 = true;
        }
    }
    for (const auto& row : operation) {
        std::string value = row.value;
        // A PKCS#12 password goes to the plug-in in clear; a PEM key stays in
        // the host's encrypted form, which the plug-in decrypts through the
        // record.
        if (row.secret && row.key == kRestorePasswordKey && p12 &&
            !session.decrypt(row.value, &value)) {
            *error = "cannot decrypt the stored restore password: " + session.key().error();
            return false;
        }
        out->operationProperties[row.key] = value;
    }
    out->haveOperationProperties = !operation.empty();
    for (const auto& row : clone) {
        out->cloneOptions[row.key] = row.value;
    }
    out->haveCloneOptions = !clone.empty();
    return true;
}

void finishJob(Session& session, JobReport& report) {
    report.error = session.redactor().apply(report.error);
    if (report.jobId <= 0) {
        return;
    }
    for (const auto& row : session.catalog().jobOptions(report.jobId, "result")) {
        report.results[row.key] = row.value;
    }
    session.catalog().setJobState(report.jobId, report.ok ? "succeeded" : "failed",
                                  report.hostError, report.error);
}

}  // namespace bxhost

namespace bxhost {

void progress(Session& session, const std::string& line) {
    if (session.options().quiet) {
        return;
    }
    if (session.board) {
        session.board->message(line);
        return;
    }
    std::lock_guard<std::mutex> lock(session.outputMutex());
    std::fprintf(stderr, "%s\n", terminalText(line).c_str());
    std::fflush(stderr);
}

void watchStatuses(Session& session, const std::string& operation) {
    // Records whose success was printed: a later failure of one (a revert
    // undone because another disk failed) is printed too, or the operator
    // would read "reverted" for a disk that ends "revert failed".
    auto reported = std::make_shared<std::set<long>>();
    session.onStatus = [&session, operation, reported](const HostRecord& record, int status) {
        // Only what a snapshot reached: the plug-in marks every record failed
        // at the start of some operations and then sets the successes, and
        // failures are in the table at the end.
        static const int kReached[] = {1, 5, 12, 14, 20, 22, 24};
        SnapRow row = record.row();
        bool reached =
            std::find(std::begin(kReached), std::end(kReached), status) != std::end(kReached);
        if (!reached && reported->count(row.num) == 0) {
            return;
        }
        if (reached) {
            reported->insert(row.num);
        } else {
            reported->erase(row.num);
        }
        if (session.board) {
            session.board->settle(row.num, statusName(status), !reached);
            return;
        }
        progress(session, "    " + operation + " #" + std::to_string(row.num) + " " +
                              row.sourceDevice + " [" + row.name + "]: " + statusName(status));
    };
}

std::unique_ptr<ProgressBoard> startBoard(Session& session, const std::string& title,
                                          const std::vector<std::unique_ptr<HostRecord>>& records) {
    const int terminal = 2;  // standard error, where progress goes
    if (session.options().quiet || session.options().verbose ||
        !ProgressBoard::suits(terminal, records.size())) {
        return nullptr;
    }
    std::vector<ProgressBoard::Row> rows;
    for (const auto& r : records) {
        SnapRow row = r->row();
        rows.push_back({row.num, "#" + std::to_string(row.num) + " " + row.sourceDevice + " [" +
                                     row.name + "]"});
    }
    auto board = std::make_unique<ProgressBoard>(terminal, title, std::move(rows));
    session.board = board.get();
    return board;
}

void endBoard(Session& session, std::unique_ptr<ProgressBoard>& board) {
    if (board) {
        board->finish();
        session.board = nullptr;
        board.reset();
    }
}

std::vector<int64_t> boardNumbers(const std::vector<HostRecord*>& records) {
    std::vector<int64_t> out;
    for (HostRecord* r : records) {
        out.push_back(r->row().num);
    }
    return out;
}

std::string hintFor(const std::string& error) {
    if (error.find("not found in Array Management") != std::string::npos) {
        return "local disks are reached through the array named GCP-Default-IAM: "
               "bxso-host array add GCP-Default-IAM";
    }
    if (error.find("Failed to get GCP array details") != std::string::npos) {
        return "check the snapshot's array with 'bxso-host array list'";
    }
    if (error.find("private key") != std::string::npos) {
        return "set the array's service-account key: bxso-host array set NAME --key-pem FILE";
    }
    return {};
}

}  // namespace bxhost
