#include "sqlite_db.h"

#include <sys/stat.h>

namespace bxhost {

Statement::Statement(SqliteDb& db, const char* sql) : db_(db) {
    if (!db.handle()) {
        db.setError("catalog is not open");
        return;
    }
    lastRc_ = sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr);
    if (lastRc_ != SQLITE_OK) {
        db.setError("prepare");
        stmt_ = nullptr;
    }
}

Statement::~Statement() {
    if (stmt_) {
        sqlite3_finalize(stmt_);
    }
}

Statement& Statement::bind(int index, const std::string& value) {
    if (stmt_ && sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                                   SQLITE_TRANSIENT) != SQLITE_OK) {
        bindFailed_ = true;
    }
    return *this;
}

Statement& Statement::bind(int index, const char* value) {
    return value ? bind(index, std::string(value)) : bindNull(index);
}

Statement& Statement::bind(int index, int64_t value) {
    if (stmt_ && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) {
        bindFailed_ = true;
    }
    return *this;
}

Statement& Statement::bindNull(int index) {
    if (stmt_ && sqlite3_bind_null(stmt_, index) != SQLITE_OK) {
        bindFailed_ = true;
    }
    return *this;
}

bool Statement::step() {
    if (!stmt_ || bindFailed_) {
        lastRc_ = SQLITE_MISUSE;
        db_.setError(bindFailed_ ? "bind" : "statement");
        return false;
    }
    lastRc_ = sqlite3_step(stmt_);
    if (lastRc_ == SQLITE_ROW) {
        return true;
    }
    if (lastRc_ != SQLITE_DONE) {
        db_.setError("step");
    }
    return false;
}

bool Statement::run() {
    while (step()) {
    }
    return done();
}

std::string Statement::text(int column) const {
    const unsigned char* p = sqlite3_column_text(stmt_, column);
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
             : std::string();
}

int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

SqliteDb::~SqliteDb() {
    close();
}

bool SqliteDb::open(const std::string& path, bool create) {
    close();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    // The catalog, its WAL and its shared-memory file are created owner-only:
    // they name accounts and hold encrypted secrets.
    mode_t old = ::umask(077);
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    ::umask(old);
    if (rc != SQLITE_OK) {
        error_ = "cannot open catalog [" + path +
                 "]: " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        close();
        return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_extended_result_codes(db_, 1);
    return true;
}

void SqliteDb::close() {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool SqliteDb::exec(const std::string& sql) {
    if (!db_) {
        error_ = "catalog is not open";
        return false;
    }
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        error_ = message ? message : "exec failed";
        sqlite3_free(message);
        return false;
    }
    return true;
}

int64_t SqliteDb::lastInsertId() const {
    return db_ ? sqlite3_last_insert_rowid(db_) : 0;
}

int SqliteDb::changes() const {
    return db_ ? sqlite3_changes(db_) : 0;
}

void SqliteDb::setError(const std::string& what) {
    error_ = "catalog " + what + " failed: " + (db_ ? sqlite3_errmsg(db_) : "no database");
}

Transaction::Transaction(SqliteDb& db) : db_(db) {
    begun_ = db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (begun_ && !done_) {
        db_.exec("ROLLBACK");
    }
}

bool Transaction::commit() {
    if (!begun_ || done_) {
        return false;
    }
    done_ = db_.exec("COMMIT");
    return done_;
}

}  // namespace bxhost
