// The snapshot catalog: arrays (GCP accounts) with their configuration, jobs
// with their options, results and host job log, and one row per snapshot with
// everything the plug-in stores on its record (status, error, snap device,
// flags, metadata). SQLite in WAL mode with synchronous writes: every change
// the plug-in makes through a record is its own committed transaction, so a
// process killed between two calls loses nothing it had written.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sqlite_db.h"

namespace bxhost {

struct ArrayRow {
    int num = 0;
    std::string name;
    std::string controlHost;
    std::string user;
    std::string password;  // encrypted form, empty when none
    std::string created;
};

struct ConfigRow {
    std::string key;
    std::string value;  // encrypted form when secret
    bool secret = false;
};

struct JobRow {
    int64_t id = 0;
    std::string kind;
    std::string state;  // running, succeeded, failed
    std::string started;
    std::string ended;
    int64_t pid = 0;
    int errorCode = 0;
    std::string errorText;
    std::string summary;
};

struct OptionRow {
    std::string key;
    std::string value;  // encrypted form when secret
    bool secret = false;
};

struct LogRow {
    int64_t id = 0;
    int64_t jobId = 0;
    std::string time;
    int level = 0;
    std::string prefix;
    std::string text;
    int64_t snapNum = 0;
};

// Backup progress of a snapshot row, advanced by the host after each call.
namespace phase {
constexpr const char* kNew = "new";
constexpr const char* kPrepared = "prepared";
constexpr const char* kSnapped = "snapped";
constexpr const char* kDone = "done";
}  // namespace phase

struct SnapRow {
    int64_t num = 0;
    int64_t jobId = 0;
    std::string name;
    std::string sourceDevice;
    std::string sourceInfo;
    int arrayNum = 0;
    int status = 0;
    std::string phase = phase::kNew;
    int errorCode = 0;
    std::string errorText;
    std::string snapDevice;
    std::string revertDevice;
    int64_t flags = 0;
    int cloneNumber = 0;
    std::string created;
    std::string updated;
};

struct MetaItem {
    std::string value;
    bool transient = false;
};

struct SnapFilter {
    std::vector<int64_t> nums;  // empty: any
    int64_t jobId = 0;          // 0: any
    bool includeGone = true;    // rows deleted in GCP (status 20 or 24)
};

class Catalog {
  public:
    // Opens the catalog, creating the file and its schema when missing.
    bool open(const std::string& path);
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // A short lower-case hexadecimal id of this catalog, made once; it keeps
    // the GCP names of different hosts apart.
    std::string hostId();
    // Next value of a named counter (1, 2, ...), in a transaction.
    std::optional<int64_t> nextCounter(const std::string& name);

    // Arrays.
    std::optional<int> addArray(const ArrayRow& row, const std::vector<ConfigRow>& config);
    std::vector<ArrayRow> arrays();
    std::optional<ArrayRow> arrayByName(const std::string& name);
    std::optional<ArrayRow> arrayByNum(int num);
    bool updateArray(const ArrayRow& row);
    bool removeArray(int num);
    int snapshotsUsingArray(int num);
    bool setConfig(int arrayNum, const ConfigRow& row);
    bool unsetConfig(int arrayNum, const std::string& key);
    std::vector<ConfigRow> config(int arrayNum);

    // Jobs.
    std::optional<int64_t> createJob(const std::string& kind, const std::string& summary);
    bool setJobState(int64_t id, const std::string& state, int errorCode,
                     const std::string& errorText);
    bool reopenJob(int64_t id);
    std::optional<JobRow> job(int64_t id);
    std::vector<JobRow> jobs(int limit);
    bool setJobOptions(int64_t id, const std::string& kind, const std::vector<OptionRow>& rows);
    std::vector<OptionRow> jobOptions(int64_t id, const std::string& kind);
    bool addLog(const LogRow& row);
    std::vector<LogRow> log(int64_t jobId);

    // Snapshots. createSnapshots numbers and names the rows (name(num) gives
    // the GCP name) and stores them with their first metadata, all or nothing.
    template <typename NameFn>
    bool createSnapshots(std::vector<SnapRow>* rows,
                         const std::vector<std::map<int, MetaItem>>& metadata, NameFn name);
    std::optional<SnapRow> snapshot(int64_t num);
    std::optional<SnapRow> snapshotByName(const std::string& name);
    std::vector<SnapRow> snapshots(const SnapFilter& filter);
    bool updateSnapshot(const SnapRow& row);
    std::map<int, MetaItem> metadata(int64_t num);
    bool setMetadata(int64_t num, int key, const std::string& value, bool transient);
    bool setSnapOptions(int64_t num, const std::string& kind, const std::vector<OptionRow>& rows);
    std::vector<OptionRow> snapOptions(int64_t num, const std::string& kind);

    static std::string now();

  private:
    bool createSchema();
    bool insertSnapshots(std::vector<SnapRow>* rows,
                         const std::vector<std::map<int, MetaItem>>& metadata,
                         const std::vector<std::string>& names);
    bool fail();
    std::optional<int64_t> counterLocked(const std::string& name);

    std::recursive_mutex mutex_;
    SqliteDb db_;
    std::string path_;
    std::string error_;
};

template <typename NameFn>
bool Catalog::createSnapshots(std::vector<SnapRow>* rows,
                              const std::vector<std::map<int, MetaItem>>& metadata, NameFn name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Transaction tx(db_);
    if (!tx.ok()) {
        return fail();
    }
    std::vector<std::string> names;
    for (auto& row : *rows) {
        auto num = counterLocked("snapshot");
        if (!num) {
            return false;
        }
        row.num = *num;
        names.push_back(name(row));
    }
    if (!insertSnapshots(rows, metadata, names)) {
        return false;
    }
    return tx.commit() || fail();
}

}  // namespace bxhost
