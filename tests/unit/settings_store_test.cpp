// The runtime's settings store on files it cannot read completely: every
// problem is logged once, by line, without the line's contents, and the rest
// of the file still applies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/settings_file.h"
#include "host/settings.h"
#include "runtime/runtime.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/settings_file.h"

namespace {

// A temporary directory with the settings variable pointed into it; the
// shared settings file puts the variable back at the end.
class SettingsDir {
  public:
    SettingsDir() { point(file()); }

    const std::string& dir() const { return dir_.path(); }
    std::string file() const { return dir_.file("bxso.ini"); }
    void write(const std::string& text) {
        dir_.write("bxso.ini", text);
        bxrt::reloadSettings();
    }
    void point(const std::string& path) {
        ::setenv(bxrt::kSettingsEnv, path.c_str(), 1);
        bxrt::reloadSettings();
    }

  private:
    // Destroyed last: the variable is put back after the directory is gone.
    bxtest::SettingsFile restore_;
    bxtest::TempDir dir_;
};

std::string lookup(const std::string& section, const std::string& name) {
    std::string value;
    return bxrt::settingString(section, name, &value) ? value : "(absent)";
}

// "CaBundle = /xxx..." of exactly the given length without its newline.
std::string lineOf(size_t length) {
    std::string line = "CaBundle = /";
    return line + std::string(length - line.size(), 'x');
}

TEST(SettingsStoreFile, ProblemsAreLoggedOncePerLineAndTheRestApplies) {
    const std::string longest = lineOf(bxsettings::kMaxLineBytes);
    struct Case {
        const char* name;
        std::string text;
        std::vector<int> badLines;
        std::map<std::string, std::string> expected;  // [GCP] name -> value or "(absent)"
    } cases[] = {
        {"clean file",
         "[GCP]\nTimeoutMs = 10\n; comment\n# comment\n\n",
         {},
         {{"TimeoutMs", "10"}}},
        {"lines that are neither section, pair nor comment",
         "[GCP]\nTimeoutMs = 10\nhunter2-typed-alone\n[Broken\nConnectTimeoutMs = 20\n",
         {3, 4},
         {{"TimeoutMs", "10"}, {"ConnectTimeoutMs", "20"}}},
        {"an over-long line is refused whole and the numbering stays",
         "[GCP]\n" + lineOf(bxsettings::kMaxLineBytes + 60) + "\nTimeoutMs = 7\nbad\n",
         {2, 4},
         {{"CaBundle", "(absent)"}, {"TimeoutMs", "7"}}},
        {"the longest line that is read",
         "[GCP]\n" + longest + "\n",
         {},
         {{"CaBundle", longest.substr(11)}}},
        {"one byte more",
         "[GCP]\n" + lineOf(bxsettings::kMaxLineBytes + 1) + "\nTimeoutMs = 3",
         {2},
         {{"CaBundle", "(absent)"}, {"TimeoutMs", "3"}}},
        {"a NUL byte",
         std::string("[GCP]\nTimeoutMs = 1") + '\0' + " 2\nConnectTimeoutMs = 5\n",
         {2},
         {{"TimeoutMs", "(absent)"}, {"ConnectTimeoutMs", "5"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsDir settings;
        settings.write(c.text);
        bxtest::LogCapture capture(9);
        for (int round = 0; round < 3; ++round) {
            for (const auto& e : c.expected) {
                EXPECT_EQ(lookup("GCP", e.first), e.second) << e.first;
            }
        }
        EXPECT_EQ(capture.count("settings file [" + settings.file() + "]"), c.badLines.size())
            << capture.all();
        for (int line : c.badLines) {
            EXPECT_EQ(capture.count(", line " + std::to_string(line) + ": "), 1u) << line << "\n"
                                                                                  << capture.all();
        }
        EXPECT_EQ(capture.all().find("hunter2"), std::string::npos) << capture.all();
        EXPECT_EQ(capture.all().find("xxxxxxxx"), std::string::npos) << capture.all();
    }
}

TEST(SettingsStoreFile, AnEditIsReportedAgainAndTheListOfBadLinesIsBounded) {
    SettingsDir settings;
    bxtest::LogCapture capture(9);
    std::string text = "[GCP]\nTimeoutMs = 9\n";
    for (int i = 0; i < 30; ++i) {
        text += "bad\n";
    }
    settings.write(text);
    EXPECT_EQ(lookup("GCP", "TimeoutMs"), "9");
    EXPECT_EQ(capture.count("is not a [section] line"), bxsettings::kMaxListedLines);
    EXPECT_EQ(capture.count("further lines cannot be parsed"), 1u);
    EXPECT_EQ(capture.count(", line 3: "), 1u);
    capture.clear();
    settings.write("[GCP]\nTimeoutMs = 8\nbad again\n");
    EXPECT_EQ(lookup("GCP", "TimeoutMs"), "8");
    EXPECT_EQ(lookup("GCP", "TimeoutMs"), "8");
    EXPECT_EQ(capture.count(", line 3: "), 1u) << capture.all();
}

TEST(SettingsStoreFile, FilesThatAreNotRegularAreRefusedWithoutWaiting) {
    SettingsDir settings;
    std::string fifo = settings.dir() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string big = settings.dir() + "/big.ini";
    {
        std::ofstream out(big, std::ios::binary);
        out << "[GCP]\nTimeoutMs = 4\n" << std::string(bxsettings::kMaxFileBytes, ';');
    }
    std::string locked = settings.dir() + "/locked.ini";
    std::ofstream(locked) << "[GCP]\nTimeoutMs = 4\n";
    ::chmod(locked.c_str(), 0);
    struct Case {
        std::string path;
        const char* phrase;  // empty: no problem at all
    } cases[] = {
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {settings.dir(), "is not a regular file"},
        {big, "is larger than"},
        {locked, "cannot be opened"},
        {settings.dir() + "/absent.ini", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path == locked && ::geteuid() == 0) {
            continue;  // root reads it anyway
        }
        bxtest::LogCapture capture(9);
        settings.point(c.path);
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(lookup("GCP", "TimeoutMs"), "(absent)");
        }
        if (*c.phrase) {
            EXPECT_EQ(capture.count(c.phrase), 1u) << capture.all();
            EXPECT_EQ(capture.count("settings file [" + c.path + "]: "), 1u) << capture.all();
        } else {
            EXPECT_EQ(capture.count("settings file"), 0u) << capture.all();
        }
    }
}

TEST(SettingsStoreValues, UnusableValuesAreNamedOncePerKeyBeforeTheDefault) {
    enum Kind { Number, Unsigned, Boolean };
    struct Case {
        Kind kind;
        const char* name;
        const char* value;
        bool ok;
        long expected;
        const char* phrase;  // of the log line when not ok
        bool withheld;       // the name suggests a secret: the value stays out of the log
    } cases[] = {
        {Number, "TimeoutMs", "5000", true, 5000, "", false},
        {Number, "TimeoutMs", "0x10", true, 16, "", false},
        {Number, "TimeoutMs", "5000abc", false, 0, "is not a whole number", false},
        {Number, "TimeoutMs", "", false, 0, "is empty", false},
        {Number, "TimeoutMs", "99999999999999999999999", false, 0, "is out of range", false},
        {Unsigned, "RetryCount", "12", true, 12, "", false},
        {Unsigned, "RetryCount", "-3", false, 0, "is negative", false},
        {Boolean, "SkipCheck", "yes", true, 1, "", false},
        {Boolean, "SkipCheck", "maybe", false, 0, "is not true/false", false},
        {Number, "ProxyPassword", "s3cret-word-42", false, 0, "is not a whole number", true},
        {Boolean, "AuthToken", "tok-abcdef-987", false, 0, "is not true/false", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = " + c.value);
        SettingsDir settings;
        settings.write(std::string("[GCP]\n") + c.name + " = " + c.value + "\n");
        bxtest::LogCapture capture(9);
        for (int round = 0; round < 3; ++round) {
            long number = -7;
            bool ok = false;
            if (c.kind == Number) {
                ok = bxrt::settingNumber("GCP", c.name, &number);
            } else if (c.kind == Unsigned) {
                unsigned long u = 0;
                ok = BXPlatformInfo().getNumber("GCP", c.name, &u) == 1;
                number = ok ? static_cast<long>(u) : -7;
            } else {
                bool flag = false;
                ok = bxrt::settingBool("GCP", c.name, &flag);
                number = ok ? flag : -7;
            }
            EXPECT_EQ(ok, c.ok);
            EXPECT_EQ(number, c.ok ? c.expected : -7) << "nothing is stored on failure";
        }
        if (c.ok) {
            EXPECT_EQ(capture.lines().size(), 0u) << capture.all();
            continue;
        }
        EXPECT_EQ(capture.count(std::string("[GCP] ") + c.name), 1u) << capture.all();
        EXPECT_EQ(capture.count(c.phrase), 1u) << capture.all();
        EXPECT_EQ(capture.count("the default applies"), 1u) << capture.all();
        if (c.withheld) {
            EXPECT_EQ(capture.all().find(c.value), std::string::npos) << capture.all();
            EXPECT_EQ(capture.count("(withheld)"), 1u) << capture.all();
        } else {
            EXPECT_EQ(capture.count(std::string(" = [") + c.value + "] "), 1u) << capture.all();
        }
    }
}

}  // namespace
