// Instance metadata queries against the emulator's metadata server.
#include <gtest/gtest.h>

#include "rest_env.h"
#include "support/raw_http_server.h"

namespace {

using namespace resttest;

class MetaQueries : public RestEnv {
  protected:
    std::vector<std::string> metadataPaths() const {
        std::vector<std::string> paths;
        for (const auto& e : journal("metadata")) {
            paths.push_back(e.path.substr(std::string("/computeMetadata/v1/").size()));
        }
        return paths;
    }
};

TEST_F(MetaQueries, ConnectionFillsTheInstanceIdentity) {
    ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
    jsonxx::Object vm;
    ASSERT_TRUE(vm.parse(emulator->resourceJson(kInstancePath)));
    EXPECT_EQ(ctx->instanceId, vm.get<jsonxx::String>("id"));
    EXPECT_FALSE(ctx->instanceId.empty());
    // The token, then the whole identity in one read of the metadata tree.
    EXPECT_EQ(metadataPaths(),
              (std::vector<std::string>{"instance/service-accounts/default/token", ""}));
    EXPECT_EQ(journal("metadata").back().query, "recursive=true");
    EXPECT_TRUE(capture.contains("GCP >> GCP instance zone [us-central1-a]", 2));
    // Connecting ends by logging the fields it filled; the zone is read from projects/N/zones/Z.
    EXPECT_TRUE(capture.contains(
        "GCP >> GCP project id [demo-project] project num id [123456789012] instance id [" +
            ctx->instanceId +
            "] instance name [mover-1] instance hostname "
            "[mover-1.us-central1-a.c.demo-project.internal] instance zone [us-central1-a] "
            "service account [" +
            kDefaultAccount + "]",
        0));
}

// Whether the tree is read at once or, when that fails, value by value.
TEST_F(MetaQueries, KnownInstanceIdAndZoneAreNotAskedAgainAndHpxTakesTheArrayAccount) {
    for (bool oneByOne : {false, true}) {
        SCOPED_TRACE(oneByOne ? "one by one" : "the whole tree");
        newContext(DuVavaZid::GCP_OP_PREPARE);
        emulator->clearJournal();
        if (oneByOne) {
            emulator->injectFault(bxtest::httpFault("", "/computeMetadata/v1/", 503));
        }
        ctx->instanceId = "42";
        ctx->instanceZone = "europe-west1-b";
        ctx->hpxMode = true;
        useServiceAccount(env->account(kBackupAccount), true);
        ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
        const std::vector<std::string> asked =
            oneByOne
                ? std::vector<std::string>{"", "project/project-id", "project/numeric-project-id",
                                           "instance/name", "instance/hostname"}
                : std::vector<std::string>{""};
        EXPECT_EQ(metadataPaths(), asked);
        EXPECT_EQ(ctx->instanceId, "42");
        EXPECT_EQ(ctx->instanceZone, "europe-west1-b");
        EXPECT_EQ(ctx->serviceAccount, kBackupAccount);
        EXPECT_EQ(ctx->projectId, "demo-project");
    }
}

TEST_F(MetaQueries, HpxDeleteAsksNothing) {
    newContext(DuVavaZid::GCP_OP_DELETE);
    ctx->hpxMode = true;
    useServiceAccount(env->account(kBackupAccount), true);
    ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
    EXPECT_TRUE(journal("metadata").empty());
    EXPECT_TRUE(ctx->projectId.empty());
    EXPECT_TRUE(capture.contains("GCP Not getting GCP meta details for this MN", 0));
}

// When the tree cannot be read, each value is read alone and a failure names it.
TEST_F(MetaQueries, FailedQueryGives15WithGcpsMessage) {
    emulator->injectFault(bxtest::httpFault("", "/computeMetadata/v1/", 503));
    gce::FaultSpec fault = bxtest::httpFault("", "/computeMetadata/v1/instance/hostname", 503);
    fault.body = R"({"error":{"code":503,"message":"metadata busy"}})";
    emulator->injectFault(fault);
    EXPECT_EQ(utils->rest_connectToArray(), 15);
    EXPECT_EQ(ctx->errText(),
              "Failed to get GCP instance host name - error returned by GCP [metadata busy ]");
    EXPECT_TRUE(capture.contains(
        "GCP 15-Failed to get GCP instance host name - error returned by GCP [metadata busy ] - "
        "URL-[instance/hostname]",
        -1));
    EXPECT_TRUE(ctx->instanceHostName.empty());
    EXPECT_EQ(metadataPaths().back(), "instance/hostname") << "stops at the first failure";
}

TEST_F(MetaQueries, UnreachableMetadataServerGives13) {
    const std::string port = std::to_string(bxtest::unusedPort());
    ASSERT_NE(port, "0");
    env->settings().set("Gcp", "MetadataHost", "127.0.0.1:" + port);

    EXPECT_EQ(utils->rest_connectToArray(), 13);
    EXPECT_EQ(ctx->session().ErrCode, 13);
    // libcurl's reason, since nothing answered.
    const std::string text = ctx->errText();
    EXPECT_EQ(text.rfind("Failed to connect to GCP [gcp-array] with REST error[no answer from the "
                         "server: ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("]. Please ensure 1. Please ensure that GCP meta server is accessible"),
              std::string::npos)
        << text;
    EXPECT_EQ(ctx->session().restErrorFlag, 1);
    EXPECT_TRUE(capture.contains("- URL-[instance/service-accounts/default/token]", -1));
    // libcurl's own text of the transport error is in the debug log.
    EXPECT_TRUE(capture.contains("GCP HTTP GET http://127.0.0.1:" + port +
                                     "/computeMetadata/v1/instance/service-accounts/default/"
                                     "token failed: Failed to connect to 127.0.0.1 port",
                                 -1))
        << capture.all();
}

TEST_F(MetaQueries, MetadataHostFromTheEnvironmentWinsOverTheSettings) {
    env->settings().set("Gcp", "MetadataHost", "127.0.0.1:1");
    ::setenv("GCE_METADATA_HOST", emulator->metadataHost().c_str(), 1);
    int rc = utils->rest_connectToArray();
    ::unsetenv("GCE_METADATA_HOST");
    EXPECT_EQ(rc, 0) << ctx->errText();
    EXPECT_EQ(ctx->session().restClient->getMetaBasePath(),
              emulator->metadataHost() + "/computeMetadata/v1/");
}

TEST_F(MetaQueries, LocalInstanceIsReadByItsIdentity) {
    ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
    emulator->clearJournal();
    ASSERT_EQ(utils->getMNInstanceDetails(), 0) << ctx->errText();
    auto api = journal("api");
    ASSERT_EQ(api.size(), 1u);
    EXPECT_EQ(api[0].path,
              "/compute/v1/projects/demo-project/zones/us-central1-a/instances/" + ctx->instanceId);
    jsonxx::Object vm;
    ASSERT_TRUE(vm.parse(ctx->session().restResponse));
    EXPECT_EQ(vm.get<jsonxx::String>("name"), "mover-1");
}

// An instance whose id the metadata server answers with nothing.
class MetaEmptyAnswer : public RestEnv {
  protected:
    std::string scenario() const override {
        return R"({"projects":[{"id":"demo-project","number":"123456789012",
                   "regions":[{"name":"us-central1","zones":["us-central1-a"]}]}],
                  "serviceAccounts":[{"email":"123456789012-compute@developer.gserviceaccount.com",
                   "projects":["demo-project"],"generateKey":false}],
                  "instances":[{"project":"demo-project","zone":"us-central1-a","name":"mover-1",
                   "id":"","thisVm":true,
                   "serviceAccount":"123456789012-compute@developer.gserviceaccount.com"}]})";
    }
};

TEST_F(MetaEmptyAnswer, EmptyAnswerGives14) {
    EXPECT_EQ(utils->rest_connectToArray(), 14);
    EXPECT_EQ(ctx->errText(),
              "Failed to get GCP instance id for [gcp-array] - empty instance id returned []");
    EXPECT_TRUE(capture.contains(
        "GCP 14:Failed to get GCP instance id for [gcp-array] - empty instance id returned []",
        -1));
    EXPECT_EQ(ctx->projectId, "demo-project");
}

}  // namespace
