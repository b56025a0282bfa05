// What bxso-host prints of foreign text: control characters become visible
// escapes on the terminal, and --json stays valid JSON whatever the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "output.h"

namespace {

using bxhost::terminalText;

// True when the text holds nothing a terminal would act on: no C0 or DEL
// byte and no C1 code point in UTF-8 (nor a lone byte a non-UTF-8 terminal
// would take for one).
bool inert(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            return false;
        }
        if (c >= 0x80 && c <= 0x9F && (i == 0 || static_cast<unsigned char>(text[i - 1]) < 0x80)) {
            return false;
        }
    }
    return true;
}

TEST(TerminalText, EscapesControlsAndKeepsPrintableUtf8) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"disk-1 [snap-a]: created", "disk-1 [snap-a]: created"},
        {"failed\rsnapshot job 3: succeeded", "failed\\rsnapshot job 3: succeeded"},
        {"a\nb\tc", "a\\nb\\tc"},
        {"\x1b[2J\x1b[1;1Hok", "\\x1b[2J\\x1b[1;1Hok"},
        {"bell\x07 del\x7f", "bell\\x07 del\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\xc2\x9b"
         "31m red",
         "\\u009b31m red"},                       // CSI as a C1 code point
        {"next\xc2\x85line", "next\\u0085line"},  // NEL
        {"Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x99\x82",
         "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x99\x82"},
        {"nbsp\xc2\xa0kept", "nbsp\xc2\xa0kept"},  // U+00A0, just past C1
        {"lone \x9b byte", "lone \\x9b byte"},
        {"\xff\xfe", "\\xff\\xfe"},
        {"overlong \xc0\x80", "overlong \\xc0\\x80"},
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
        {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF \\xf4\\x90\\x80\\x80"},
        {"cut \xe6\x9d", "cut \\xe6\\x9d"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(terminalText(c.in), c.out)
            << nlohmann::json(c.in).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    }
}

TEST(TerminalText, NoByteOrPairLeavesAnythingATerminalActsOn) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            std::string in{static_cast<char>(a), static_cast<char>(b)};
            std::string out = terminalText(in);
            ASSERT_TRUE(inert(out)) << a << " " << b;
            if (inert(in) && a < 0x80 && b < 0x80) {
                EXPECT_EQ(out, in);
            }
        }
    }
}

TEST(TerminalText, TablesAndMessagesPrintItEscaped) {
    bxhost::Table t({"NAME", "ERROR"});
    t.add({"snap\x1b]0;owned\x07", "quota\rsnapshot job 9: succeeded"});
    std::string rendered = t.render();
    std::string body = rendered.substr(0, rendered.size() - 1);
    EXPECT_TRUE(inert(body.substr(body.find('\n') + 1))) << rendered;
    EXPECT_NE(rendered.find("snap\\x1b]0;owned\\x07  quota\\rsnapshot job 9: succeeded"),
              std::string::npos)
        << rendered;

    testing::internal::CaptureStderr();
    EXPECT_EQ(bxhost::printError("GCP says: no\r\x1b[Kbackup job 1: succeeded"),
              bxhost::kExitUsage);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "error: GCP says: no\\r\\x1b[Kbackup job 1: succeeded\n");

    bxhost::JobReport report;
    report.kind = "backup";
    report.jobId = 4;
    report.ok = false;
    report.hostError = 17;
    report.error = "quota\r\x1b[2Kbackup job 4: succeeded";
    report.hint = "ask\x9b again";
    report.results["key\n"] = "value\x1b";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bxhost::printReport(report, false), bxhost::kExitFailed);
    std::string out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    for (const std::string& text : {out, err}) {
        std::string lines = text;
        lines.erase(std::remove(lines.begin(), lines.end(), '\n'), lines.end());
        EXPECT_TRUE(inert(lines)) << text;
    }
    EXPECT_NE(err.find("quota\\r\\x1b[2Kbackup job 4: succeeded"), std::string::npos) << err;
    EXPECT_NE(out.find("key\\n = value\\x1b"), std::string::npos) << out;
}

TEST(JsonOutput, StaysValidJsonWhateverTheBytes) {
    bxhost::JobReport report;
    report.kind = "delete";
    report.jobId = 2;
    report.ok = false;
    const char raw[] = "bad\r\n\x1b[2J\x7f\xc2\x9b\xff\xc0\x80\0end";
    const char kept[] = "bad\r\n\x1b[2J\x7f\xc2\x9b";  // valid UTF-8, escaped by JSON
    report.error = std::string(raw, sizeof raw - 1);
    report.results["name\x01"] = "\xe6\x9d";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bxhost::printReport(report, true), bxhost::kExitFailed);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    for (char ch : out) {
        unsigned char c = static_cast<unsigned char>(ch);
        EXPECT_TRUE(c >= 0x20 || c == '\n') << static_cast<int>(c);
    }
    nlohmann::json parsed = nlohmann::json::parse(out);  // throws on invalid JSON
    const std::string replacement = "\xef\xbf\xbd";      // U+FFFD
    EXPECT_EQ(parsed["error"]["text"], std::string(kept, sizeof kept - 1) + replacement +
                                           replacement + replacement + std::string("\0end", 4));
    EXPECT_EQ(parsed["properties"]["name\x01"], replacement);
}

}  // namespace
