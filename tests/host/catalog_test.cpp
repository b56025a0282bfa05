#include <gtest/gtest.h>

#include "catalog.h"
#include "support/files.h"

namespace {

using bxhost::Catalog;
using bxhost::MetaItem;
using bxhost::SnapRow;

std::vector<SnapRow> rowsFor(int64_t job, std::initializer_list<const char*> devices) {
    std::vector<SnapRow> rows;
    for (const char* d : devices) {
        SnapRow r;
        r.jobId = job;
        r.sourceDevice = d;
        rows.push_back(r);
    }
    return rows;
}

TEST(CatalogTest, SnapshotsAndMetadataSurviveReopening) {
    bxtest::TempDir dir;
    std::string path = dir.file("catalog.db");
    std::string hostId;
    {
        Catalog c;
        ASSERT_TRUE(c.open(path)) << c.error();
        hostId = c.hostId();
        EXPECT_EQ(hostId.size(), 8u);
        auto job = c.createJob("backup", "");
        ASSERT_TRUE(job);
        auto rows = rowsFor(*job, {"/dev/sdb", "/dev/sdc"});
        std::vector<std::map<int, MetaItem>> meta(2);
        meta[1][154] = MetaItem{"us-central1-a||", false};
        ASSERT_TRUE(c.createSnapshots(&rows, meta, [](const SnapRow& r) {
            return "snap-" + std::to_string(r.num);
        })) << c.error();
        EXPECT_EQ(rows[0].num, 1);
        EXPECT_EQ(rows[1].num, 2);
        rows[0].flags = 0x8000000;
        ASSERT_TRUE(c.updateSnapshot(rows[0]));
        ASSERT_TRUE(c.setMetadata(1, 6, "id|p|i||", false));
        ASSERT_TRUE(c.setMetadata(1, 6, "id|p|i|42|", false));
    }
    Catalog c;
    ASSERT_TRUE(c.open(path));
    EXPECT_EQ(c.hostId(), hostId) << "the host id is made once";
    auto one = c.snapshot(1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->name, "snap-1");
    EXPECT_EQ(one->flags, 0x8000000);
    auto meta = c.metadata(1);
    EXPECT_EQ(meta[6].value, "id|p|i|42|");
    EXPECT_FALSE(meta[6].transient);
    EXPECT_EQ(c.metadata(2)[154].value, "us-central1-a||");
    EXPECT_EQ(c.snapshotByName("snap-2")->sourceDevice, "/dev/sdc");
}

TEST(CatalogTest, CreatingSnapshotsIsAllOrNothing) {
    bxtest::TempDir dir;
    Catalog c;
    ASSERT_TRUE(c.open(dir.file("catalog.db")));
    auto rows = rowsFor(1, {"/dev/sdb", "/dev/sdc"});
    // Two rows with one name: the second insert fails, and the first with it.
    EXPECT_FALSE(c.createSnapshots(&rows, {}, [](const SnapRow&) { return std::string("dup"); }));
    EXPECT_TRUE(c.snapshots(bxhost::SnapFilter{}).empty());
    rows = rowsFor(1, {"/dev/sdb"});
    ASSERT_TRUE(
        c.createSnapshots(&rows, {}, [](const SnapRow& r) { return "s" + std::to_string(r.num); }));
    EXPECT_EQ(c.snapshots(bxhost::SnapFilter{}).size(), 1u);
}

TEST(CatalogTest, CountersArraysJobsAndFilters) {
    bxtest::TempDir dir;
    Catalog c;
    ASSERT_TRUE(c.open(dir.file("catalog.db")));
    EXPECT_EQ(*c.nextCounter("clone"), 1);
    EXPECT_EQ(*c.nextCounter("clone"), 2);
    EXPECT_EQ(*c.nextCounter("other"), 1);

    bxhost::ArrayRow a;
    a.name = "acct";
    a.user = "sa@p.iam";
    auto num = c.addArray(a, {{"SMCONFIG_NAME_SNAP_OP_RETRY_COUNT", "5", false}});
    ASSERT_TRUE(num);
    EXPECT_FALSE(c.addArray(a, {})) << "names are unique";
    ASSERT_TRUE(c.setConfig(*num, {"SMCONFIG_NAME_SNAP_OP_RETRY_COUNT", "7", false}));
    ASSERT_EQ(c.config(*num).size(), 1u);
    EXPECT_EQ(c.config(*num)[0].value, "7");

    auto job = c.createJob("backup", "");
    auto rows = rowsFor(*job, {"/dev/sdb", "/dev/sdc"});
    rows[0].arrayNum = *num;
    ASSERT_TRUE(
        c.createSnapshots(&rows, {}, [](const SnapRow& r) { return "s" + std::to_string(r.num); }));
    EXPECT_EQ(c.snapshotsUsingArray(*num), 1);
    rows[0].status = 20;
    c.updateSnapshot(rows[0]);
    EXPECT_EQ(c.snapshotsUsingArray(*num), 0) << "deleted snapshots do not hold an array";
    bxhost::SnapFilter live;
    live.includeGone = false;
    EXPECT_EQ(c.snapshots(live).size(), 1u);
    bxhost::SnapFilter picked;
    picked.nums = {2};
    ASSERT_EQ(c.snapshots(picked).size(), 1u);
    EXPECT_EQ(c.snapshots(picked)[0].sourceDevice, "/dev/sdc");

    bxhost::LogRow line;
    line.jobId = *job;
    line.level = 1;
    line.prefix = "GCP ";
    line.text = "start";
    ASSERT_TRUE(c.addLog(line));
    ASSERT_EQ(c.log(*job).size(), 1u);
    EXPECT_EQ(c.log(*job)[0].text, "start");
    ASSERT_TRUE(c.setJobState(*job, "failed", 60001, "why"));
    EXPECT_EQ(c.job(*job)->state, "failed");
    EXPECT_EQ(c.job(*job)->errorCode, 60001);
    ASSERT_TRUE(c.removeArray(*num));
    EXPECT_FALSE(c.arrayByNum(*num));
    EXPECT_TRUE(c.config(*num).empty()) << "configuration goes with its array";
}

}  // namespace
