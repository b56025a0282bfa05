// The jobs bxso-host runs through the plug-in. Each job is a row in the
// catalog with its options, its host job log and its result; each returns a
// report that the commands print and the demo checks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "progress_board.h"
#include "session.h"

namespace bxhost {

class HostRecord;

// Flag bits the host sets on a record (see the record contract): a clone of
// its own name when mapping; the plug-in's mark that the snap phase started.
constexpr int64_t kFlagOwnCloneName = 0x8000;
constexpr int64_t kFlagSnapStarted = 0x8000000;

// Host error codes per operation, as the plug-in reports them.
constexpr int kHostErrorPrepare = 62008;
constexpr int kHostErrorSnap = 60001;

// What the host shows of a snapshot: its row and what its metadata tells.
struct SnapshotView {
    SnapRow row;
    std::string disk;        // GCP device name (after prepare)
    std::string location;    // zone or region
    std::string resourceId;  // GCP snapshot id (after post-snap)
    std::map<int, MetaItem> metadata;
};
SnapshotView describeSnapshot(const SnapRow& row, const std::map<int, MetaItem>& metadata);
std::string statusName(int status);
// Status, with the backup phase when the backup of the snapshot is unfinished.
std::string statusText(const SnapRow& row);
// True when the snapshot exists in GCP as far as the catalog knows.
bool isLive(const SnapRow& row);

struct JobReport {
    int64_t jobId = 0;
    std::string kind;
    bool ok = true;
    bool notAvailable = false;  // the plug-in build lacks this operation
    int hostError = 0;
    std::string error;
    std::string hint;
    std::vector<SnapshotView> snapshots;
    std::map<std::string, std::string> results;  // operation properties the plug-in returned
};

struct BackupRequest {
    std::vector<std::string> devices;   // local block devices
    std::vector<std::string> hpxDisks;  // PROJECT/ZONE/DISK or PROJECT/REGION/DISK
    std::string sourceInstance;         // HPX: PROJECT|INSTANCE-ID of the VM owning the disks
    std::string array;                  // HPX: the array (account) to use
    bool guestFlush = false;
    std::map<std::string, std::string> properties;  // further operation properties
    int64_t resumeJob = 0;
};
JobReport runBackup(Session& session, const BackupRequest& request);

enum class SnapOperation { Mount, Unmount, Delete, Revert, Reconcile };
std::string operationName(SnapOperation op);

struct SnapRequest {
    SnapOperation op = SnapOperation::Reconcile;
    std::vector<std::string> selectors;  // snapshot numbers or names
    int64_t fromJob = 0;                 // every snapshot of this backup job
    // mount: restore options (key -> clear value) and clone options
    bool ownCloneName = false;
    std::map<std::string, std::string> restoreOptions;
    std::map<std::string, std::string> cloneOptions;
};
JobReport runSnapOperation(Session& session, const SnapRequest& request);

struct CheckResult {
    std::string device;
    bool supported = false;
};
std::vector<CheckResult> runCheck(Session& session, const std::vector<std::string>& devices);

// Records for catalog rows, with their metadata.
std::vector<std::unique_ptr<HostRecord>> loadRecords(Session& session,
                                                     const std::vector<SnapRow>& rows);
// Resolves numbers and names to rows; unknown ones are reported in error.
bool selectSnapshots(Session& session, const std::vector<std::string>& selectors, int64_t fromJob,
                     std::vector<SnapRow>* rows, std::string* error);

// Restore-option key whose value is a secret.
constexpr const char* kRestorePasswordKey = "destination-pwd";
constexpr const char* kRestoreP12Key = "destination-p12file";

// Turns stored options into what the plug-in gets during a call.
bool buildCallOptions(Session& session, const std::vector<OptionRow>& operation,
                      const std::vector<OptionRow>& clone, CallOptions* out, std::string* error);

// A progress line on standard error (not with --quiet); above the live board
// when there is one.
void progress(Session& session, const std::string& line);
// Prints each status the plug-in sets, as it sets it (on the live board when
// there is one).
void watchStatuses(Session& session, const std::string& operation);

// Live per-disk progress for a job of more than a few disks when standard
// error is a terminal (not with --quiet or --verbose, whose job-log lines
// would run through it); null otherwise, and the plain lines stay. The
// session's board is set while it lives; endBoard leaves its last state on
// the screen.
std::unique_ptr<ProgressBoard> startBoard(Session& session, const std::string& title,
                                          const std::vector<std::unique_ptr<HostRecord>>& records);
void endBoard(Session& session, std::unique_ptr<ProgressBoard>& board);
// The snapshots of records as the board numbers them.
std::vector<int64_t> boardNumbers(const std::vector<HostRecord*>& records);
// Help for errors that have a known remedy on the host side.
std::string hintFor(const std::string& error);

// Ends a job: state from the report, error text masked.
void finishJob(Session& session, JobReport& report);

}  // namespace bxhost
