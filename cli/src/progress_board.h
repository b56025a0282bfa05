// Live progress of a job over many disks on a terminal: one line per disk,
// redrawn in place as the plug-in reports on it, under a summary line. Plain
// progress lines (phase starts and ends) are printed above the board, which
// then draws itself again below them. Without a terminal the host prints
// plain lines instead (see jobs_common.cpp); this class is only used on one.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bxhost {

class ProgressBoard {
  public:
    struct Row {
        int64_t num = 0;
        std::string label;  // "#12 /dev/sdb [bx-...]"
    };

    // fd: the terminal (standard error); title: "backup job 4".
    ProgressBoard(int fd, std::string title, std::vector<Row> rows);
    ~ProgressBoard();
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

    // A phase starts for these disks: each waits until the plug-in works on it.
    void phase(const std::string& name, const std::vector<int64_t>& nums);
    // The plug-in wrote about this disk: it is being worked on.
    void activity(int64_t num);
    // What the disk reached in this phase; failed marks it as failed.
    void settle(int64_t num, const std::string& what, bool failed);
    // A plain line, kept above the board.
    void message(const std::string& line);
    // Draws the final state and leaves it on the screen.
    void finish();

    // The lines the board shows (without terminal control), for a terminal of
    // the given size; exposed for tests.
    std::vector<std::string> lines(int columns, int rows) const;

    // True when live progress suits this run: standard error is a terminal
    // that understands cursor movement, and the job has more than a few disks.
    static bool suits(int fd, size_t disks);
    // Jobs of at most this many disks keep the plain lines.
    static constexpr size_t kFewDisks = 3;

  private:
    enum class State { Waiting, Working, Done, Failed };
    struct Entry {
        Row row;
        State state = State::Waiting;
        std::string text;  // what the row shows after its label
        bool inPhase = false;
    };

    void redrawLocked();
    void clearLocked();
    void writeLocked(const std::string& text);

    mutable std::mutex mutex_;
    int fd_;
    std::string title_;
    std::string phase_;
    std::vector<Entry> entries_;
    std::map<int64_t, size_t> index_;
    int drawn_ = 0;  // lines of the board on the screen now
    bool finished_ = false;
};

}  // namespace bxhost
