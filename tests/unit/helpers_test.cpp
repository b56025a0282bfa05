#include <gtest/gtest.h>

#include <cstdlib>

#include "common/helpers.h"
#include "host/strings.h"

namespace {

TEST(StringHelpers, CompareHonoursCase) {
    EXPECT_TRUE(strCompare("GuestFlush", "guestflush", true));
    EXPECT_FALSE(strCompare("GuestFlush", "guestflush", false));
    EXPECT_TRUE(strCompare(std::string("abc"), std::string("abc"), false));
    EXPECT_FALSE(strCompare(std::string("abc"), std::string("abcd"), true));
    std::string s = "MiXeD-Case.P12";
    strToLowerCase(s);
    EXPECT_EQ(s, "mixed-case.p12");
}

TEST(StringHelpers, LastPartOfUrl) {
    struct Case {
        const char* url;
        const char* want;
    } cases[] = {{"nodelimiter", "nodelimiter"},
                 {"a/b/", ""},
                 {"projects/123/zones/us-central1-a", "us-central1-a"}};
    for (const auto& c : cases) {
        std::string out = "stale";
        extractLastPartOfUrl(c.url, out);
        EXPECT_EQ(out, c.want) << c.url;
    }
}

TEST(StringHelpers, NthPartFromTheEnd) {
    struct Case {
        int n;
        const char* want;
    } cases[] = {{1, "z1"},
                 {2, "zones"},
                 {3, "p1"},
                 {4, "projects"},
                 // The first segment has no "/" before it, so it is never singled out.
                 {5, "x/projects/p1/zones/z1"},
                 {0, "z1"}};
    for (const auto& c : cases) {
        std::string out;
        extractLastNthPartOfURL("x/projects/p1/zones/z1", c.n, out);
        EXPECT_EQ(out, c.want) << "n=" << c.n;
    }
    std::string out;
    extractLastNthPartOfURL("noslash", 2, out);
    EXPECT_EQ(out, "noslash");
}

TEST(StringHelpers, ByteAsHex) {
    char buf[4];
    convertByteToStringHex(255, buf);
    EXPECT_STREQ(buf, "ffh");
    convertByteToStringHex(10, buf);
    EXPECT_STREQ(buf, "0ah");
    convertByteToStringHex(0, buf);
    EXPECT_STREQ(buf, "00h");
}

TEST(StringHelpers, FormattedTimeUsesLocalZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    int64_t t = 86400 * 365;  // 1971-01-01
    EXPECT_EQ(getFormattedDateTimeStr(t, "%F %T %z"), "1971-01-01 00:00:00 +0000");
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_GT(getCurTime(), 1700000000);
}

TEST(HostFormatters, PositionalTemplateReplacesEveryNumberedPlaceholder) {
    EXPECT_EQ(CWnString::Format("{1}-{2}-{1}", {"a", "b"}), "a-b-a");
    // Values go in unescaped and are not themselves expanded.
    EXPECT_EQ(CWnString::Format("{\"n\":\"{1}\"}", {"{2}\"x"}), "{\"n\":\"{2}\"x\"}");
    // Placeholders past the argument list, and non-numeric braces, stay as they are.
    EXPECT_EQ(CWnString::Format("{3}{}{x}{10}", {"a"}), "{3}{}{x}{10}");
    std::vector<std::string> ten = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"};
    EXPECT_EQ(CWnString::Format("{10}{1}", ten), "ten1");
}

TEST(HostFormatters, PrintfSplitJoin) {
    EXPECT_EQ(HostStr::Format("[%d:%s]", 7, "x"), "[7:x]");
    std::string big(5000, 'q');
    EXPECT_EQ(HostStr::Format("%s!", big.c_str()).size(), 5001u);
    EXPECT_EQ(HostStr::Split("a,b,,c", ","), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_TRUE(HostStr::Split("", ",").empty());
    EXPECT_EQ(HostStr::Join({"us-east1-b", "us-east1-c"}, ","), "us-east1-b,us-east1-c");
    EXPECT_EQ(HostStr::Join({}, ","), "");
}

}  // namespace
