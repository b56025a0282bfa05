// Thin RAII layer over the SQLite C API: one connection, prepared statements
// that finalize themselves, and transactions that roll back unless committed.
// Failures are return values with SQLite's own message; nothing throws.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

namespace bxhost {

class SqliteDb;

class Statement {
  public:
    Statement(SqliteDb& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }

    // Binds by 1-based index; an empty optional binds NULL.
    Statement& bind(int index, const std::string& value);
    Statement& bind(int index, const char* value);
    Statement& bind(int index, int64_t value);
    Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
    Statement& bindNull(int index);

    // One step: true while a row is available. done() tells a finished
    // statement from an error after step() returned false.
    bool step();
    bool done() const { return lastRc_ == SQLITE_DONE; }
    // Runs a statement that returns no rows.
    bool run();

    std::string text(int column) const;
    int64_t integer(int column) const;
    bool isNull(int column) const;

  private:
    SqliteDb& db_;
    sqlite3_stmt* stmt_ = nullptr;
    int lastRc_ = SQLITE_OK;
    bool bindFailed_ = false;
};

class SqliteDb {
  public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Opens (creating when asked) a database file; the file is created with
    // the process umask tightened to owner-only access.
    bool open(const std::string& path, bool create);
    void close();
    bool exec(const std::string& sql);
    int64_t lastInsertId() const;
    int changes() const;

    const std::string& error() const { return error_; }
    void setError(const std::string& what);
    sqlite3* handle() { return db_; }

  private:
    sqlite3* db_ = nullptr;
    std::string error_;
};

// BEGIN IMMEDIATE on construction, ROLLBACK on destruction unless commit()
// succeeded: an early return never leaves half a change behind.
class Transaction {
  public:
    explicit Transaction(SqliteDb& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool ok() const { return begun_; }
    bool commit();

  private:
    SqliteDb& db_;
    bool begun_ = false;
    bool done_ = false;
};

}  // namespace bxhost
