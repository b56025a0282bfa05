// Names of clones and interim objects: GCP allows 63 characters, and a name
// cut wrongly either fails the create or collides with another restore.
#include <gtest/gtest.h>

#include <memory>

#include "common/jsonxx.h"
#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;

namespace {

class CloneNames : public ::testing::Test {
  protected:
    bxtest::LogCapture log{-1};
    bxtest::FakeOSUtil util;
    bxtest::FakeSnapInfo record{100};
    std::unique_ptr<GcpCtx> ctx;
    std::unique_ptr<GcpUtils> utils;
    GcpObject* object = nullptr;

    void start(int opCode, bool hpxRestore) {
        ctx = std::make_unique<GcpCtx>(&util, 0, opCode);
        ctx->hpxMode = hpxRestore;
        ctx->restoreOptionsFound = hpxRestore;
        object = new GcpObject(&record);
        object->SnapUuid = "snap-1";
        ctx->snapMap[record.getSnapNumber()] = object;
        utils = std::make_unique<GcpUtils>(ctx.get());
        record.flagsSet[0x8000] = true;
    }
};

TEST_F(CloneNames, HpxRestoreCutsTheDiskNameToFitTheCloneNumber) {
    struct Case {
        size_t diskLength;
        int cloneNumber;
        size_t keptLength;
    };
    for (const Case& c : {Case{60, 12, 52}, Case{52, 12, 52}, Case{10, 3, 10}, Case{63, 1, 53}}) {
        start(GCP_OP_MAP, true);
        record.cloneNumber = c.cloneNumber;
        object->GCPDeviceName = std::string(c.diskLength, 'd');
        ASSERT_EQ(utils->generateCloneName(object), 0);
        EXPECT_EQ(object->CloneName,
                  "bxclone-" + std::string(c.keptLength, 'd') + "-" + std::to_string(c.cloneNumber))
            << c.diskLength;
        EXPECT_LE(object->CloneName.size(), 63u);
    }
}

TEST_F(CloneNames, InterimNamesFollowTheCloneAndSnapshot) {
    struct Case {
        size_t cloneLength;
        size_t keptLength;
    };
    for (const Case& c : {Case{60, 55}, Case{55, 55}, Case{54, 54}, Case{63, 55}, Case{1, 1}}) {
        start(GCP_OP_MAP, true);
        record.cloneNumber = 4;
        object->CloneName = std::string(c.cloneLength, 'c');
        ASSERT_EQ(utils->initInterimCloneInfo(object), 0);
        EXPECT_EQ(object->interimCloneInfo.interimCloneName,
                  std::string(c.keptLength, 'c') + "-interim")
            << c.cloneLength;
        EXPECT_EQ(object->interimCloneInfo.interimSnapName, "snap-1-4-interim");
    }
}

// A long snapshot name is cut so that the interim snapshot's name fits GCP's 63.
TEST_F(CloneNames, InterimSnapshotNamesAreCutToFit) {
    struct Case {
        size_t snapLength;
        int cloneNumber;
        size_t keptLength;
    };
    for (const Case& c : {Case{52, 4, 52}, Case{53, 4, 53}, Case{54, 4, 53}, Case{63, 123, 51}}) {
        start(GCP_OP_MAP, true);
        record.cloneNumber = c.cloneNumber;
        object->CloneName = "clone";
        object->SnapUuid = std::string(c.snapLength, 's');
        ASSERT_EQ(utils->initInterimCloneInfo(object), 0);
        const std::string& name = object->interimCloneInfo.interimSnapName;
        EXPECT_EQ(name,
                  std::string(c.keptLength, 's') + "-" + std::to_string(c.cloneNumber) + "-interim")
            << c.snapLength;
        EXPECT_LE(name.size(), 63u);
    }
}

TEST_F(CloneNames, InterimNamesNeedACloneName) {
    start(GCP_OP_MAP, true);
    EXPECT_EQ(utils->initInterimCloneInfo(object), GCP_ERR_INTERNAL);
    EXPECT_EQ(ctx->errText(), "Failed to initialize interim clone details. Clone name is empty.");
    EXPECT_TRUE(object->interimCloneInfo.interimCloneName.empty());
}

TEST_F(CloneNames, HpxUnmapReadsTheCloneBackFromTheDeviceString) {
    struct Case {
        std::string device;
        std::string name, id, link;
    };
    const std::string link = "https://compute.googleapis.com/compute/v1/projects/p/zones/z/disks/c";
    // One case per way through the reader (the codec's tests have the other texts).
    for (const Case& c : {Case{"c|42|" + link, "c", "42", link},  // as the map stores it
                          Case{"c|42|", "c", "42", ""}, Case{"c|", "c", "", ""},
                          Case{"|42|" + link, "bxclone--1", "42", link}}) {
        start(GCP_OP_UNMAP, true);
        record.snapDevice = c.device;
        ASSERT_EQ(utils->initCloneInfo(object), 0) << c.device;
        EXPECT_EQ(object->CloneName, c.name) << c.device;
        EXPECT_EQ(object->CloneId, c.id) << c.device;
        EXPECT_EQ(object->CloneSourceLink, c.link) << c.device;
    }
}

// A name, link or host name with quotes, backslashes or query characters
// must reach GCP as that value, never as more members or parameters.
TEST_F(CloneNames, NamesCannotReshapeTheRequests) {
    start(GCP_OP_MAP, false);
    const std::string name = "a\"b\\c";
    const std::string link = "x\",\"mode\":\"READ_ONLY";
    object->CloneName = name;
    object->CloneSourceLink = link;
    utils->buildJSONForAttachCloneReq(object, 7);
    jsonxx::Object attach;
    ASSERT_TRUE(attach.parse(ctx->session().restRequest)) << ctx->session().restRequest;
    EXPECT_EQ(attach.get<jsonxx::String>("source"), link);
    EXPECT_EQ(attach.get<jsonxx::String>("deviceName"), name);
    EXPECT_FALSE(attach.has<jsonxx::String>("mode"));

    object->SnapUuid = "s\"1\\";
    utils->buildJSONForCreateSnapReq(object, 7);
    jsonxx::Object create;
    ASSERT_TRUE(create.parse(ctx->session().restRequest)) << ctx->session().restRequest;
    EXPECT_EQ(create.get<jsonxx::String>("name"), object->SnapUuid);
    EXPECT_EQ(create.get<jsonxx::Object>("labels").get<jsonxx::String>("snap-name-bx"),
              object->SnapUuid);

    object->CloneName = "c&force=true #1";
    ctx->instanceName = "mover-1";
    const std::string path = utils->cloneDetachStep(object).request.path;
    EXPECT_EQ(path.substr(path.find("deviceName=")), "deviceName=c%26force%3Dtrue%20%231");
}

}  // namespace
