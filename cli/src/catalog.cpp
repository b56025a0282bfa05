#include "catalog.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace bxhost {

namespace {

constexpr int kSchemaVersion = 1;

const char* const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS arrays(
  num INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  control_host TEXT NOT NULL DEFAULT '',
  user_name TEXT NOT NULL DEFAULT '',
  password TEXT NOT NULL DEFAULT '',
  created TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS array_config(
  array_num INTEGER NOT NULL REFERENCES arrays(num) ON DELETE CASCADE,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  secret INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(array_num, key));
CREATE TABLE IF NOT EXISTS jobs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL,
  state TEXT NOT NULL,
  started TEXT NOT NULL,
  ended TEXT NOT NULL DEFAULT '',
  pid INTEGER NOT NULL DEFAULT 0,
  error_code INTEGER NOT NULL DEFAULT 0,
  error_text TEXT NOT NULL DEFAULT '',
  summary TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS job_options(
  job_id INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
  kind TEXT NOT NULL,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  secret INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(job_id, kind, key));
CREATE TABLE IF NOT EXISTS job_log(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  level INTEGER NOT NULL,
  prefix TEXT NOT NULL,
  text TEXT NOT NULL,
  snap_num INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS job_log_by_job ON job_log(job_id, id);
CREATE TABLE IF NOT EXISTS snapshots(
  num INTEGER PRIMARY KEY,
  job_id INTEGER NOT NULL,
  name TEXT NOT NULL UNIQUE,
  source_device TEXT NOT NULL,
  source_info TEXT NOT NULL DEFAULT '',
  array_num INTEGER NOT NULL DEFAULT 0,
  status INTEGER NOT NULL DEFAULT 0,
  phase TEXT NOT NULL DEFAULT 'new',
  error_code INTEGER NOT NULL DEFAULT 0,
  error_text TEXT NOT NULL DEFAULT '',
  snap_device TEXT NOT NULL DEFAULT '',
  revert_device TEXT NOT NULL DEFAULT '',
  flags INTEGER NOT NULL DEFAULT 0,
  clone_number INTEGER NOT NULL DEFAULT 0,
  created TEXT NOT NULL,
  updated TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS snapshots_by_job ON snapshots(job_id);
CREATE TABLE IF NOT EXISTS snap_metadata(
  snap_num INTEGER NOT NULL REFERENCES snapshots(num) ON DELETE CASCADE,
  key INTEGER NOT NULL,
  value TEXT NOT NULL,
  transient INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(snap_num, key));
CREATE TABLE IF NOT EXISTS snap_options(
  snap_num INTEGER NOT NULL REFERENCES snapshots(num) ON DELETE CASCADE,
  kind TEXT NOT NULL,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  secret INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(snap_num, kind, key));
)SQL";

const char* const kSnapColumns =
    "num, job_id, name, source_device, source_info, array_num, status, phase, error_code, "
    "error_text, snap_device, revert_device, flags, clone_number, created, updated";

SnapRow readSnap(const Statement& s) {
    SnapRow r;
    r.num = s.integer(0);
    r.jobId = s.integer(1);
    r.name = s.text(2);
    r.sourceDevice = s.text(3);
    r.sourceInfo = s.text(4);
    r.arrayNum = static_cast<int>(s.integer(5));
    r.status = static_cast<int>(s.integer(6));
    r.phase = s.text(7);
    r.errorCode = static_cast<int>(s.integer(8));
    r.errorText = s.text(9);
    r.snapDevice = s.text(10);
    r.revertDevice = s.text(11);
    r.flags = s.integer(12);
    r.cloneNumber = static_cast<int>(s.integer(13));
    r.created = s.text(14);
    r.updated = s.text(15);
    return r;
}

ArrayRow readArray(const Statement& s) {
    ArrayRow r;
    r.num = static_cast<int>(s.integer(0));
    r.name = s.text(1);
    r.controlHost = s.text(2);
    r.user = s.text(3);
    r.password = s.text(4);
    r.created = s.text(5);
    return r;
}

JobRow readJob(const Statement& s) {
    JobRow r;
    r.id = s.integer(0);
    r.kind = s.text(1);
    r.state = s.text(2);
    r.started = s.text(3);
    r.ended = s.text(4);
    r.pid = s.integer(5);
    r.errorCode = static_cast<int>(s.integer(6));
    r.errorText = s.text(7);
    r.summary = s.text(8);
    return r;
}

const char* const kArrayColumns = "num, name, control_host, user_name, password, created";
const char* const kJobColumns =
    "id, kind, state, started, ended, pid, error_code, error_text, summary";

}  // namespace

std::string Catalog::now() {
    auto tp = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(tp);
    struct tm tmv {};
    gmtime_r(&secs, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

bool Catalog::fail() {
    error_ = db_.error();
    return false;
}

bool Catalog::open(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    path_ = path;
    if (!db_.open(path, true)) {
        return fail();
    }
    // WAL keeps readers (a second bxso-host listing while a backup runs) off
    // the writer; FULL makes each commit durable, not only crash-safe.
    if (!db_.exec("PRAGMA journal_mode=WAL") || !db_.exec("PRAGMA synchronous=FULL") ||
        !db_.exec("PRAGMA foreign_keys=ON")) {
        return fail();
    }
    return createSchema();
}

bool Catalog::createSchema() {
    Statement version(db_, "PRAGMA user_version");
    int current = version.step() ? static_cast<int>(version.integer(0)) : 0;
    if (current > kSchemaVersion) {
        error_ = "catalog [" + path_ + "] was written by a newer bxso-host (schema " +
                 std::to_string(current) + ")";
        return false;
    }
    Transaction tx(db_);
    if (!tx.ok() || !db_.exec(kSchema) ||
        !db_.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion))) {
        return fail();
    }
    return tx.commit() || fail();
}

std::string Catalog::hostId() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    {
        Statement s(db_, "SELECT value FROM meta WHERE key='host_id'");
        if (s.step()) {
            return s.text(0);
        }
    }
    unsigned char bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return {};
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
    // INSERT OR IGNORE + re-read: a concurrent first run keeps one id.
    Statement ins(db_, "INSERT OR IGNORE INTO meta(key, value) VALUES('host_id', ?)");
    ins.bind(1, std::string(hex));
    if (!ins.run()) {
        fail();
        return {};
    }
    Statement s(db_, "SELECT value FROM meta WHERE key='host_id'");
    return s.step() ? s.text(0) : std::string();
}

std::optional<int64_t> Catalog::counterLocked(const std::string& name) {
    Statement up(db_,
                 "INSERT INTO meta(key, value) VALUES(?, '1') ON CONFLICT(key) DO UPDATE SET "
                 "value = CAST(CAST(value AS INTEGER) + 1 AS TEXT)");
    up.bind(1, "counter:" + name);
    if (!up.run()) {
        fail();
        return std::nullopt;
    }
    Statement get(db_, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = ?");
    get.bind(1, "counter:" + name);
    if (!get.step()) {
        fail();
        return std::nullopt;
    }
    return get.integer(0);
}

std::optional<int64_t> Catalog::nextCounter(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Transaction tx(db_);
    if (!tx.ok()) {
        fail();
        return std::nullopt;
    }
    auto value = counterLocked(name);
    if (!value || !tx.commit()) {
        fail();
        return std::nullopt;
    }
    return value;
}

std::optional<int> Catalog::addArray(const ArrayRow& row, const std::vector<ConfigRow>& config) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Transaction tx(db_);
    if (!tx.ok()) {
        fail();
        return std::nullopt;
    }
    Statement s(db_,
                "INSERT INTO arrays(name, control_host, user_name, password, created) "
                "VALUES(?, ?, ?, ?, ?)");
    s.bind(1, row.name).bind(2, row.controlHost).bind(3, row.user).bind(4, row.password);
    s.bind(5, now());
    if (!s.run()) {
        fail();
        return std::nullopt;
    }
    int num = static_cast<int>(db_.lastInsertId());
    for (const auto& c : config) {
        if (!setConfig(num, c)) {
            return std::nullopt;
        }
    }
    if (!tx.commit()) {
        fail();
        return std::nullopt;
    }
    return num;
}

std::vector<ArrayRow> Catalog::arrays() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<ArrayRow> out;
    Statement s(db_,
                (std::string("SELECT ") + kArrayColumns + " FROM arrays ORDER BY num").c_str());
    while (s.step()) {
        out.push_back(readArray(s));
    }
    return out;
}

std::optional<ArrayRow> Catalog::arrayByName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                (std::string("SELECT ") + kArrayColumns + " FROM arrays WHERE name = ?").c_str());
    s.bind(1, name);
    if (s.step()) {
        return readArray(s);
    }
    return std::nullopt;
}

std::optional<ArrayRow> Catalog::arrayByNum(int num) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                (std::string("SELECT ") + kArrayColumns + " FROM arrays WHERE num = ?").c_str());
    s.bind(1, num);
    if (s.step()) {
        return readArray(s);
    }
    return std::nullopt;
}

bool Catalog::updateArray(const ArrayRow& row) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "UPDATE arrays SET control_host = ?, user_name = ?, password = ? WHERE num = ?");
    s.bind(1, row.controlHost).bind(2, row.user).bind(3, row.password).bind(4, row.num);
    return s.run() || fail();
}

bool Catalog::removeArray(int num) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_, "DELETE FROM arrays WHERE num = ?");
    s.bind(1, num);
    return s.run() || fail();
}

int Catalog::snapshotsUsingArray(int num) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "SELECT COUNT(*) FROM snapshots WHERE array_num = ? AND status NOT IN (20, 24)");
    s.bind(1, num);
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

bool Catalog::setConfig(int arrayNum, const ConfigRow& row) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "INSERT INTO array_config(array_num, key, value, secret) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(array_num, key) DO UPDATE SET value = excluded.value, "
                "secret = excluded.secret");
    s.bind(1, arrayNum).bind(2, row.key).bind(3, row.value).bind(4, row.secret ? 1 : 0);
    return s.run() || fail();
}

bool Catalog::unsetConfig(int arrayNum, const std::string& key) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_, "DELETE FROM array_config WHERE array_num = ? AND key = ?");
    s.bind(1, arrayNum).bind(2, key);
    return s.run() || fail();
}

std::vector<ConfigRow> Catalog::config(int arrayNum) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<ConfigRow> out;
    Statement s(db_,
                "SELECT key, value, secret FROM array_config WHERE array_num = ? ORDER BY key");
    s.bind(1, arrayNum);
    while (s.step()) {
        out.push_back({s.text(0), s.text(1), s.integer(2) != 0});
    }
    return out;
}

std::optional<int64_t> Catalog::createJob(const std::string& kind, const std::string& summary) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(
        db_, "INSERT INTO jobs(kind, state, started, pid, summary) VALUES(?, 'running', ?, ?, ?)");
    s.bind(1, kind).bind(2, now()).bind(3, static_cast<int64_t>(::getpid())).bind(4, summary);
    if (!s.run()) {
        fail();
        return std::nullopt;
    }
    return db_.lastInsertId();
}

bool Catalog::setJobState(int64_t id, const std::string& state, int errorCode,
                          const std::string& errorText) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(
        db_, "UPDATE jobs SET state = ?, ended = ?, error_code = ?, error_text = ? WHERE id = ?");
    s.bind(1, state).bind(2, now()).bind(3, errorCode).bind(4, errorText).bind(5, id);
    return s.run() || fail();
}

bool Catalog::reopenJob(int64_t id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "UPDATE jobs SET state = 'running', ended = '', pid = ?, error_code = 0, "
                "error_text = '' WHERE id = ?");
    s.bind(1, static_cast<int64_t>(::getpid())).bind(2, id);
    return s.run() || fail();
}

std::optional<JobRow> Catalog::job(int64_t id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_, (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?").c_str());
    s.bind(1, id);
    if (s.step()) {
        return readJob(s);
    }
    return std::nullopt;
}

std::vector<JobRow> Catalog::jobs(int limit) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<JobRow> out;
    Statement s(db_, (std::string("SELECT * FROM (SELECT ") + kJobColumns +
                      " FROM jobs ORDER BY id DESC LIMIT ?) ORDER BY id")
                         .c_str());
    s.bind(1, limit > 0 ? limit : -1);
    while (s.step()) {
        out.push_back(readJob(s));
    }
    return out;
}

bool Catalog::setJobOptions(int64_t id, const std::string& kind,
                            const std::vector<OptionRow>& rows) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Transaction tx(db_);
    if (!tx.ok()) {
        return fail();
    }
    for (const auto& r : rows) {
        Statement s(
            db_,
            "INSERT INTO job_options(job_id, kind, key, value, secret) VALUES(?, ?, ?, ?, ?) "
            "ON CONFLICT(job_id, kind, key) DO UPDATE SET value = excluded.value, "
            "secret = excluded.secret");
        s.bind(1, id).bind(2, kind).bind(3, r.key).bind(4, r.value).bind(5, r.secret ? 1 : 0);
        if (!s.run()) {
            return fail();
        }
    }
    return tx.commit() || fail();
}

std::vector<OptionRow> Catalog::jobOptions(int64_t id, const std::string& kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<OptionRow> out;
    Statement s(db_,
                "SELECT key, value, secret FROM job_options WHERE job_id = ? AND kind = ? "
                "ORDER BY key");
    s.bind(1, id).bind(2, kind);
    while (s.step()) {
        out.push_back({s.text(0), s.text(1), s.integer(2) != 0});
    }
    return out;
}

bool Catalog::addLog(const LogRow& row) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "INSERT INTO job_log(job_id, time, level, prefix, text, snap_num) "
                "VALUES(?, ?, ?, ?, ?, ?)");
    s.bind(1, row.jobId).bind(2, row.time.empty() ? now() : row.time).bind(3, row.level);
    s.bind(4, row.prefix).bind(5, row.text).bind(6, row.snapNum);
    return s.run() || fail();
}

std::vector<LogRow> Catalog::log(int64_t jobId) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<LogRow> out;
    Statement s(db_,
                "SELECT id, job_id, time, level, prefix, text, snap_num FROM job_log "
                "WHERE job_id = ? ORDER BY id");
    s.bind(1, jobId);
    while (s.step()) {
        LogRow r;
        r.id = s.integer(0);
        r.jobId = s.integer(1);
        r.time = s.text(2);
        r.level = static_cast<int>(s.integer(3));
        r.prefix = s.text(4);
        r.text = s.text(5);
        r.snapNum = s.integer(6);
        out.push_back(std::move(r));
    }
    return out;
}

bool Catalog::insertSnapshots(std::vector<SnapRow>* rows,
                              const std::vector<std::map<int, MetaItem>>& metadata,
                              const std::vector<std::string>& names) {
    std::string stamp = now();
    for (size_t i = 0; i < rows->size(); ++i) {
        SnapRow& r = (*rows)[i];
        r.name = names[i];
        r.created = r.updated = stamp;
        Statement s(db_,
                    "INSERT INTO snapshots(num, job_id, name, source_device, source_info, "
                    "array_num, status, phase, flags, created, updated) "
                    "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.bind(1, r.num).bind(2, r.jobId).bind(3, r.name).bind(4, r.sourceDevice);
        s.bind(5, r.sourceInfo).bind(6, r.arrayNum).bind(7, r.status).bind(8, r.phase);
        s.bind(9, r.flags).bind(10, r.created).bind(11, r.updated);
        if (!s.run()) {
            return fail();
        }
        if (i < metadata.size()) {
            for (const auto& item : metadata[i]) {
                if (!setMetadata(r.num, item.first, item.second.value, item.second.transient)) {
                    return false;
                }
            }
        }
    }
    return true;
}

std::optional<SnapRow> Catalog::snapshot(int64_t num) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                (std::string("SELECT ") + kSnapColumns + " FROM snapshots WHERE num = ?").c_str());
    s.bind(1, num);
    if (s.step()) {
        return readSnap(s);
    }
    return std::nullopt;
}

std::optional<SnapRow> Catalog::snapshotByName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                (std::string("SELECT ") + kSnapColumns + " FROM snapshots WHERE name = ?").c_str());
    s.bind(1, name);
    if (s.step()) {
        return readSnap(s);
    }
    return std::nullopt;
}

std::vector<SnapRow> Catalog::snapshots(const SnapFilter& filter) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string sql = std::string("SELECT ") + kSnapColumns + " FROM snapshots WHERE 1=1";
    if (filter.jobId > 0) {
        sql += " AND job_id = ?";
    }
    if (!filter.includeGone) {
        sql += " AND status NOT IN (20, 24)";
    }
    sql += " ORDER BY num";
    Statement s(db_, sql.c_str());
    if (filter.jobId > 0) {
        s.bind(1, filter.jobId);
    }
    std::vector<SnapRow> out;
    while (s.step()) {
        SnapRow r = readSnap(s);
        if (filter.nums.empty()) {
            out.push_back(std::move(r));
            continue;
        }
        for (int64_t n : filter.nums) {
            if (n == r.num) {
                out.push_back(r);
                break;
            }
        }
    }
    return out;
}

bool Catalog::updateSnapshot(const SnapRow& r) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "UPDATE snapshots SET source_info = ?, array_num = ?, status = ?, phase = ?, "
                "error_code = ?, error_text = ?, snap_device = ?, revert_device = ?, flags = ?, "
                "clone_number = ?, updated = ? WHERE num = ?");
    s.bind(1, r.sourceInfo).bind(2, r.arrayNum).bind(3, r.status).bind(4, r.phase);
    s.bind(5, r.errorCode).bind(6, r.errorText).bind(7, r.snapDevice).bind(8, r.revertDevice);
    s.bind(9, r.flags).bind(10, r.cloneNumber).bind(11, now()).bind(12, r.num);
    return s.run() || fail();
}

std::map<int, MetaItem> Catalog::metadata(int64_t num) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::map<int, MetaItem> out;
    Statement s(db_, "SELECT key, value, transient FROM snap_metadata WHERE snap_num = ?");
    s.bind(1, num);
    while (s.step()) {
        out[static_cast<int>(s.integer(0))] = MetaItem{s.text(1), s.integer(2) != 0};
    }
    return out;
}

bool Catalog::setMetadata(int64_t num, int key, const std::string& value, bool transient) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement s(db_,
                "INSERT INTO snap_metadata(snap_num, key, value, transient) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(snap_num, key) DO UPDATE SET value = excluded.value, "
                "transient = excluded.transient");
    s.bind(1, num).bind(2, key).bind(3, value).bind(4, transient ? 1 : 0);
    return s.run() || fail();
}

bool Catalog::setSnapOptions(int64_t num, const std::string& kind,
                             const std::vector<OptionRow>& rows) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Transaction tx(db_);
    if (!tx.ok()) {
        return fail();
    }
    Statement clear(db_, "DELETE FROM snap_options WHERE snap_num = ? AND kind = ?");
    clear.bind(1, num).bind(2, kind);
    if (!clear.run()) {
        return fail();
    }
    for (const auto& r : rows) {
        Statement s(db_,
                    "INSERT INTO snap_options(snap_num, kind, key, value, secret) "
                    "VALUES(?, ?, ?, ?, ?)");
        s.bind(1, num).bind(2, kind).bind(3, r.key).bind(4, r.value).bind(5, r.secret ? 1 : 0);
        if (!s.run()) {
            return fail();
        }
    }
    return tx.commit() || fail();
}

std::vector<OptionRow> Catalog::snapOptions(int64_t num, const std::string& kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<OptionRow> out;
    Statement s(db_,
                "SELECT key, value, secret FROM snap_options WHERE snap_num = ? AND kind = ? "
                "ORDER BY key");
    s.bind(1, num).bind(2, kind);
    while (s.step()) {
        out.push_back({s.text(0), s.text(1), s.integer(2) != 0});
    }
    return out;
}

}  // namespace bxhost
