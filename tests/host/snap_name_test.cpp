#include <gtest/gtest.h>

#include <set>

#include "snap_name.h"

namespace {

using bxhost::isValidGcpName;
using bxhost::makeSnapName;

struct NameCase {
    const char* source;
    int64_t job;
    int64_t num;
    const char* expected;  // nullptr: only the rules are checked
};

TEST(SnapNameTest, NamesAreValidShortAndRoomyForCloneNames) {
    const NameCase cases[] = {
        {"/dev/sdb", 1, 1, "bx-1a2b3c4d-sdb-1-1"},
        {"other-project|app-data-1", 12, 34, "bx-1a2b3c4d-app-data-1-12-34"},
        {"/dev/disk/by-id/google-DATA_Disk.1", 3, 4, "bx-1a2b3c4d-google-data-disk-1-3-4"},
        {"/dev/disk/by-id/google-a-very-long-persistent-disk-name-that-goes-on", 123456, 7890123,
         nullptr},
        {"/dev/---", 5, 6, "bx-1a2b3c4d-5-6"},
        {"", 5, 6, "bx-1a2b3c4d-5-6"},
        {"/dev/sdb", 999999999999999, 999999999999999, nullptr},
    };
    for (const auto& c : cases) {
        std::string name = makeSnapName("1a2b3c4d", c.source, c.job, c.num);
        SCOPED_TRACE(c.source + std::string(" -> ") + name);
        EXPECT_TRUE(isValidGcpName(name));
        EXPECT_LE(name.size(), bxhost::kMaxSnapNameLength);
        // The plug-in names clones "bxclone-" + snapshot name + "-" + number.
        EXPECT_LE(std::string("bxclone-" + name + "-999999").size(), bxhost::kMaxGcpNameLength);
        EXPECT_EQ(name, makeSnapName("1a2b3c4d", c.source, c.job, c.num)) << "not stable";
        if (c.expected) {
            EXPECT_EQ(name, c.expected);
        }
    }
}

TEST(SnapNameTest, DifferentSnapshotsGetDifferentNames) {
    std::set<std::string> seen;
    for (int64_t job = 1; job <= 20; ++job) {
        for (int64_t num = 1; num <= 20; ++num) {
            EXPECT_TRUE(seen.insert(makeSnapName("00ff00ff",
                                                 "/dev/disk/by-id/same-long-label-for-all-of-them",
                                                 job, job * 100 + num))
                            .second);
        }
    }
    EXPECT_NE(makeSnapName("aaaaaaaa", "/dev/sdb", 1, 1),
              makeSnapName("bbbbbbbb", "/dev/sdb", 1, 1));
}

TEST(SnapNameTest, GcpNameRules) {
    struct {
        const char* name;
        bool valid;
    } cases[] = {
        {"a", true},    {"bx-1-2", true}, {"", false},     {"1abc", false}, {"abc-", false},
        {"aBc", false}, {"a_b", false},   {"-abc", false}, {"a.b", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidGcpName(c.name), c.valid) << c.name;
    }
    EXPECT_TRUE(isValidGcpName(std::string(63, 'a')));
    EXPECT_FALSE(isValidGcpName(std::string(64, 'a')));
}

}  // namespace
