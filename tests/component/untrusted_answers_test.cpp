// Answers that must not be believed: links that name another host are
// followed on the configured endpoint (the token never goes there), a
// metadata answer without the metadata server's mark is refused, and a
// redirect is no answer.
#include "support/raw_http_server.h"
#include "support/snapped_disks.h"

namespace {

class UntrustedAnswers : public bxtest::SnappedDisks {
  protected:
    void start(const std::string& selfLinkBase = "") {
        log.setLevel(-1);
        gce::EmulatorOptions options = bxtest::EmulatorEnv::defaultOptions();
        options.selfLinkBase = selfLinkBase;
        ASSERT_NO_FATAL_FAILURE(startFleet(1, "ua-disk-", "ua-snap-", 0, 3, options));
    }
};

// Every selfLink and targetLink names another host: the whole cycle still
// runs on the configured endpoint and nothing at all reaches the other host.
TEST_F(UntrustedAnswers, LinksToAnotherHostAreFollowedOnTheConfiguredEndpoint) {
    bxtest::RawHttpServer elsewhere;
    ASSERT_TRUE(elsewhere.ok());
    ASSERT_NO_FATAL_FAILURE(start("https://" + elsewhere.hostPort() + "/compute/v1/"));
    ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_mapSnaps), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_unmapSnaps), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_deleteSnaps), 0) << rec(0).errorText;
    EXPECT_EQ(elsewhere.connections(), 0);
    EXPECT_GT(env->requestsMatching("GET", "/operations/"), 0u);
}

TEST_F(UntrustedAnswers, AnswersThatAreNotWhatTheySeemFailTheCall) {
    struct Case {
        const char* name;
        gce::FaultSpec fault;
        const char* reason;
    };
    gce::FaultSpec proxy = bxtest::httpFault("", "*/service-accounts/default/token", 200, -1);
    proxy.body = R"({"access_token":"from-a-proxy","expires_in":3599,"token_type":"Bearer"})";
    proxy.proxyAnswer = true;
    gce::FaultSpec redirect = bxtest::httpFault("GET", "*/instances/mover-1", 302, -1);
    redirect.body = " ";
    const Case cases[] = {
        {"metadata answer without its mark", proxy,
         "the answer did not come from the metadata server (no \"Metadata-Flavor: Google\" "
         "header)"},
        {"redirect", redirect, "HTTP status 302"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start());
        env->emu().injectFault(c.fault);
        EXPECT_EQ(run(bxso_prepareDevices), 1);
        EXPECT_NE(rec(0).errorText.find(c.reason), std::string::npos) << rec(0).errorText;
        EXPECT_EQ(rec(0).errorText.find("from-a-proxy"), std::string::npos);
    }
}

}  // namespace
