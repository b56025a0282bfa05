// Answers that must not be believed: links that name another host are
// followed on the configured endpoint (the token never goes there), a
// metadata answer without the metadata server's mark is refused, and a
// redirect is no answer.
#include <gtest/gtest.h>

#include "engine/exports.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/log_capture.h"
#include "support/raw_http_server.h"

namespace {

class UntrustedAnswers : public ::testing::Test {
  protected:
    void start(const std::string& selfLinkBase = "") {
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.scenarioJson = bxtest::EmulatorEnv::fleetScenario(1, "ua-disk-");
        options.selfLinkBase = selfLinkBase;
        env = std::make_unique<bxtest::EmulatorEnv>(options);
        ASSERT_TRUE(env->ok()) << env->error();
        bxtest::EmulatorEnv::useEmulatedDevices(util);
        rs = bxtest::EmulatorEnv::fleetRecords(1, "ua-snap-", 0, 3);
    }
    bxtest::FakeSnapInfo& first() { return (*rs)[0]; }

    bxtest::LogCapture log{-1};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    std::unique_ptr<bxtest::RecordSet> rs;
    bxtest::FakeOSUtil util;
};

// Every selfLink and targetLink names another host: the whole cycle still
// runs on the configured endpoint and nothing at all reaches the other host.
TEST_F(UntrustedAnswers, LinksToAnotherHostAreFollowedOnTheConfiguredEndpoint) {
    bxtest::RawHttpServer elsewhere;
    ASSERT_TRUE(elsewhere.ok());
    start("https://" + elsewhere.hostPort() + "/compute/v1/");
    ASSERT_EQ(bxso_prepareDevices(rs->data(), 1, &util), 0) << first().errorText;
    ASSERT_EQ(bxso_snapDevices(rs->data(), 1, &util), 0) << first().errorText;
    ASSERT_EQ(bxso_postSnapDevices(rs->data(), 1, &util), 0) << first().errorText;
    ASSERT_EQ(bxso_mapSnaps(rs->data(), 1, &util), 0) << first().errorText;
    ASSERT_EQ(bxso_unmapSnaps(rs->data(), 1, &util), 0) << first().errorText;
    ASSERT_EQ(bxso_deleteSnaps(rs->data(), 1, &util), 0) << first().errorText;
    EXPECT_EQ(elsewhere.connections(), 0);
    EXPECT_GT(env->requestsMatching("GET", "/operations/"), 0u);
}

TEST_F(UntrustedAnswers, AnswersThatAreNotWhatTheySeemFailTheCall) {
    struct Case {
        const char* name;
        gce::FaultSpec fault;
        const char* reason;
    };
    gce::FaultSpec proxy;
    proxy.path = "*/service-accounts/default/token";
    proxy.status = 200;
    proxy.body = R"({"access_token":"from-a-proxy","expires_in":3599,"token_type":"Bearer"})";
    proxy.proxyAnswer = true;
    proxy.count = -1;
    gce::FaultSpec redirect;
    redirect.method = "GET";
    redirect.path = "*/instances/mover-1";
    redirect.status = 302;
    redirect.body = " ";
    redirect.count = -1;
    const Case cases[] = {
        {"metadata answer without its mark", proxy,
         "the answer did not come from the metadata server (no \"Metadata-Flavor: Google\" "
         "header)"},
        {"redirect", redirect, "HTTP status 302"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start();
        env->emu().injectFault(c.fault);
        EXPECT_EQ(bxso_prepareDevices(rs->data(), 1, &util), 1);
        EXPECT_NE(first().errorText.find(c.reason), std::string::npos) << first().errorText;
        EXPECT_EQ(first().errorText.find("from-a-proxy"), std::string::npos);
        env.reset();
    }
}

}  // namespace
