// The one reader of the settings file, shared by the plug-in's runtime and
// bxso-host (separate programs that must accept and refuse the same files).
#pragma once

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

// How the settings file is read. Not part of the data mover's interface: the
// plug-in's runtime and bxso-host are separate programs that read the same
// file, and both take this one reader so that they accept and refuse exactly
// the same files. Problem texts name line numbers, never a line's contents: a
// line that does not parse may well be a password typed without its name.
namespace bxsettings {

// A settings file is a few kilobytes; the bound keeps a path that names some
// large file by mistake from filling the memory of the process.
constexpr size_t kMaxFileBytes = 1024 * 1024;
// inih reads each line into a buffer of INI_MAX_LINE bytes that also holds the
// newline and the terminating NUL, and parses what does not fit as if it were
// further lines. Longer lines are refused whole instead of being cut.
constexpr size_t kMaxLineBytes = INI_MAX_LINE - 2;
// Lines that do not parse are listed up to this count; each needs another pass.
constexpr size_t kMaxListedLines = 20;

using Values = std::map<std::pair<std::string, std::string>, std::string>;

struct Problem {
    int line = 0;  // 0: the file as a whole
    std::string text;
};

struct FileContent {
    bool found = false;  // false: no file at that path, every default applies
    Values values;       // what could be read, even when there are problems
    std::vector<Problem> problems;
};

namespace detail {

// No exception may cross inih's C frames.
inline int collect(void* user, const char* section, const char* name, const char* value) {
    try {
        (*static_cast<Values*>(user))[{section, name}] = value;
        return 1;
    } catch (...) {
        return 0;
    }
}

inline int ignore(void*, const char*, const char*, const char*) {
    return 1;
}

// Replaces the given 1-based line by an empty one. inih treats an empty line
// like a line it cannot parse (neither changes the section nor the name a
// continuation line adds to), so the values read stay the same and so does
// the numbering.
inline void blankLine(std::string* text, int line) {
    size_t begin = 0;
    for (int n = 1; n < line && begin != std::string::npos; ++n) {
        begin = text->find('\n', begin);
        begin = begin == std::string::npos ? begin : begin + 1;
    }
    if (begin == std::string::npos || begin > text->size()) {
        return;
    }
    size_t end = text->find('\n', begin);
    text->erase(begin, (end == std::string::npos ? text->size() : end) - begin);
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The whole file, or false with the reason. O_NONBLOCK: opening a FIFO
// without a writer would otherwise wait for one.
inline bool readBounded(const std::string& path, std::string* text, bool* found, std::string* why) {
    Fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (fd.fd < 0) {
        *found = errno != ENOENT;
        *why = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    *found = true;
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) {
        *why = std::string("cannot be examined: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "is not a regular file";
        return false;
    }
    const std::string tooLarge = "is larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
    if (static_cast<unsigned long long>(st.st_size) > kMaxFileBytes) {
        *why = tooLarge;
        return false;
    }
    text->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *why = std::string("cannot be read: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (text->size() + static_cast<size_t>(n) > kMaxFileBytes) {
            *why = tooLarge;  // it grew while being read
            return false;
        }
        text->append(buf, static_cast<size_t>(n));
    }
}

}  // namespace detail

// Reads the file at path. A file that cannot be read at all yields no values
// and one problem (line 0); otherwise every readable line applies and each
// line that cannot be read is a problem of its own.
inline FileContent readFile(const std::string& path) {
    FileContent out;
    std::string text;
    std::string why;
    if (!detail::readBounded(path, &text, &out.found, &why)) {
        if (out.found) {
            out.problems.push_back({0, why + "; no setting is read from it"});
        }
        return out;
    }
    // Lines inih would cut, and lines with a NUL (which would end the text
    // for inih), are taken out before parsing.
    int lineNo = 0;
    for (size_t begin = 0; begin < text.size();) {
        ++lineNo;
        size_t end = text.find('\n', begin);
        size_t length = (end == std::string::npos ? text.size() : end) - begin;
        std::string what;
        if (length > kMaxLineBytes) {
            what = "is longer than " + std::to_string(kMaxLineBytes) +
                   " bytes; it is ignored, not cut";
        } else if (std::memchr(text.data() + begin, '\0', length) != nullptr) {
            what = "holds a NUL character; it is ignored";
        }
        if (!what.empty()) {
            out.problems.push_back({lineNo, what});
            text.erase(begin, length);
            length = 0;
        }
        begin = begin + length + 1;
    }
    int errorLine = ini_parse_string(text.c_str(), detail::collect, &out.values);
    // inih names only the first line it could not parse and goes on after it;
    // blanking that line and parsing again names the next one.
    size_t listed = 0;
    while (errorLine > 0 && listed < kMaxListedLines) {
        out.problems.push_back(
            {errorLine,
             "is not a [section] line, a name = value line or a comment; it is ignored"});
        ++listed;
        detail::blankLine(&text, errorLine);
        errorLine = ini_parse_string(text.c_str(), detail::ignore, nullptr);
    }
    if (errorLine > 0) {
        out.problems.push_back({0, "further lines cannot be parsed; they are ignored"});
    } else if (errorLine < 0) {
        out.problems.push_back({0, "cannot be parsed (out of memory)"});
    }
    constexpr int kLast = std::numeric_limits<int>::max();
    std::stable_sort(out.problems.begin(), out.problems.end(),
                     [](const Problem& a, const Problem& b) {
                         return (a.line == 0 ? kLast : a.line) < (b.line == 0 ? kLast : b.line);
                     });
    return out;
}

// "settings file [PATH], line N: what is wrong"
inline std::string describe(const std::string& path, const Problem& problem) {
    return "settings file [" + path + "]" +
           (problem.line > 0 ? ", line " + std::to_string(problem.line) : std::string()) + ": " +
           problem.text;
}

}  // namespace bxsettings
