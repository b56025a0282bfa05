#include "progress_board.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "output.h"

namespace bxhost {

namespace {

// Display columns of UTF-8 text (continuation bytes take none).
size_t columnsOf(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

// Cut to at most max columns: a line longer than the terminal wraps, and the
// board would no longer know how many lines to move up.
std::string fitted(const std::string& text, size_t max) {
    if (columnsOf(text) <= max) {
        return text;
    }
    std::string out;
    size_t n = 0;
    for (unsigned char c : text) {
        bool starts = (c & 0xC0) != 0x80;
        if (starts && n + 1 > max) {
            break;
        }
        n += starts;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

ProgressBoard::ProgressBoard(int fd, std::string title, std::vector<Row> rows)
    : fd_(fd), title_(std::move(title)) {
    for (auto& r : rows) {
        index_[r.num] = entries_.size();
        Entry e;
        e.row = std::move(r);
        e.text = "waiting";
        entries_.push_back(std::move(e));
    }
}

ProgressBoard::~ProgressBoard() {
    finish();
}

bool ProgressBoard::suits(int fd, size_t disks) {
    const char* term = std::getenv("TERM");
    return disks > kFewDisks && ::isatty(fd) == 1 && term && *term &&
           std::strcmp(term, "dumb") != 0;
}

void ProgressBoard::phase(const std::string& name, const std::vector<int64_t>& nums) {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = name;
    for (auto& e : entries_) {
        e.inPhase = false;
    }
    for (int64_t num : nums) {
        auto it = index_.find(num);
        if (it != index_.end()) {
            Entry& e = entries_[it->second];
            e.inPhase = true;
            e.state = State::Waiting;
            e.text = name + ": waiting";
        }
    }
    redrawLocked();
}

void ProgressBoard::activity(int64_t num) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(num);
    if (it == index_.end()) {
        return;
    }
    Entry& e = entries_[it->second];
    if (e.state != State::Waiting || !e.inPhase) {
        return;  // redraw only what changes
    }
    e.state = State::Working;
    e.text = phase_ + ": working";
    redrawLocked();
}

void ProgressBoard::settle(int64_t num, const std::string& what, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(num);
    if (it == index_.end()) {
        return;
    }
    Entry& e = entries_[it->second];
    State state = failed ? State::Failed : State::Done;
    std::string text = (phase_.empty() ? "" : phase_ + ": ") + what;
    if (e.state == state && e.text == text) {
        return;
    }
    e.state = state;
    e.text = text;
    redrawLocked();
}

void ProgressBoard::message(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finished_) {
        clearLocked();
    }
    writeLocked(terminalText(line) + "\n");
    redrawLocked();
}

void ProgressBoard::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) {
        return;
    }
    redrawLocked();
    finished_ = true;
}

std::vector<std::string> ProgressBoard::lines(int columns, int rows) const {
    size_t done = 0, failed = 0, working = 0, waiting = 0;
    for (const auto& e : entries_) {
        done += e.state == State::Done;
        failed += e.state == State::Failed;
        working += e.state == State::Working;
        waiting += e.state == State::Waiting;
    }
    const size_t width = static_cast<size_t>(std::max(columns, 20) - 1);
    std::vector<std::string> out;
    std::string head = title_ + (phase_.empty() ? "" : ", " + phase_) + ": " +
                       std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                       std::to_string(working) + " working, " + std::to_string(waiting) +
                       " waiting (" + std::to_string(entries_.size()) + " disks)";
    out.push_back(fitted(terminalText(head), width));
    // What needs attention first when the terminal cannot show every disk.
    std::vector<const Entry*> shown;
    for (State s : {State::Working, State::Failed, State::Waiting, State::Done}) {
        for (const auto& e : entries_) {
            if (e.state == s) {
                shown.push_back(&e);
            }
        }
    }
    size_t room = static_cast<size_t>(std::max(rows - 2, 4)) - 1;
    size_t hidden = 0;
    if (shown.size() > room) {
        hidden = shown.size() - (room - 1);
        shown.resize(room - 1);
    }
    // Disks keep their job order among those shown, so that no line jumps.
    std::sort(shown.begin(), shown.end(), [](const Entry* a, const Entry* b) { return a < b; });
    for (const Entry* e : shown) {
        const char* mark = e->state == State::Done      ? "ok"
                           : e->state == State::Failed  ? "!!"
                           : e->state == State::Working ? ".."
                                                        : "  ";
        out.push_back(fitted("  " + std::string(mark) + " " + terminalText(e->row.label) + "  " +
                                 terminalText(e->text),
                             width));
    }
    if (hidden > 0) {
        out.push_back(fitted("  ... " + std::to_string(hidden) + " more disk(s) not shown", width));
    }
    return out;
}

void ProgressBoard::writeLocked(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a terminal that went away takes no progress
        }
        written += static_cast<size_t>(n);
    }
}

void ProgressBoard::clearLocked() {
    if (drawn_ > 0) {
        // Up to the board's first line, then erase to the end of the screen.
        writeLocked("\r\x1b[" + std::to_string(drawn_) + "A\x1b[J");
        drawn_ = 0;
    }
}

void ProgressBoard::redrawLocked() {
    if (finished_) {
        return;
    }
    struct winsize ws {};
    int columns = 80, rows = 24;
    if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        columns = ws.ws_col;
        rows = ws.ws_row;
    }
    std::vector<std::string> board = lines(columns, rows);
    std::string out = drawn_ > 0 ? "\r\x1b[" + std::to_string(drawn_) + "A\x1b[J" : std::string();
    for (const auto& l : board) {
        out += l + "\n";
    }
    writeLocked(out);
    drawn_ = static_cast<int>(board.size());
}

}  // namespace bxhost
