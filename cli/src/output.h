// What bxso-host prints: aligned tables for people, JSON (--json) for scripts.
// Results go to standard output, progress and errors to standard error.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "jobs.h"

namespace bxhost {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the operation (or part of it) failed
constexpr int kExitUsage = 2;   // bad arguments, configuration or catalog

class Table {
  public:
    explicit Table(std::vector<std::string> headers);
    void add(std::vector<std::string> cells);
    std::string render() const;
    bool empty() const { return rows_.empty(); }

  private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// Text from outside (GCP answers, names, the catalog, the plug-in) as it may
// be printed for people: control characters (C0, DEL, and C1 in UTF-8) and
// bytes that are not UTF-8 are written as visible escapes ("\r", "\x1b",
// "\u009b"), so that no text can move the cursor or fake a line of its own;
// printable UTF-8 is kept.
std::string terminalText(const std::string& text);

// JSON for --json output: control characters are escaped by the JSON writer,
// and bytes that are not UTF-8 become U+FFFD instead of failing the dump.
std::string jsonText(const nlohmann::json& value);

nlohmann::json snapshotJson(const SnapshotView& view);
nlohmann::json reportJson(const JobReport& report);
Table snapshotTable(const std::vector<SnapshotView>& views);

// Prints a job's result (table or JSON) and, on failure, the error with the
// host error code and a hint; returns the exit code.
int printReport(const JobReport& report, bool json);

// "error: ..." on standard error.
int printError(const std::string& message, int code = kExitUsage);

}  // namespace bxhost
