// The metadata server of "this VM".
#include "harness.h"

namespace {

using emutest::Harness;
using emutest::Json;

TEST(Metadata, AnswersThePathsTheSystemReadsAsBareText) {
    Harness h;
    httplib::Headers g = {{"Metadata-Flavor", "Google"}};
    auto inst = h.call("GET", emutest::kZone + "/instances/mover-1").body;
    struct Case {
        const char* path;
        std::string want;
    } cases[] = {
        {"project/project-id", "demo-project"},
        {"project/numeric-project-id", "123456789012"},
        {"instance/id", inst["id"]},
        {"instance/name", "mover-1"},
        {"instance/hostname", "mover-1.us-central1-a.c.demo-project.internal"},
        {"instance/zone", "projects/123456789012/zones/us-central1-a"},
        {"instance/service-accounts/default/email",
         "123456789012-compute@developer.gserviceaccount.com"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto r = h.meta->Get(("/computeMetadata/v1/" + std::string(c.path)).c_str(), g);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->body, c.want);
        EXPECT_EQ(r->get_header_value("Metadata-Flavor"), "Google");
    }
    auto rec =
        h.meta->Get("/computeMetadata/v1/instance/service-accounts/default/?recursive=true", g);
    Json j = Json::parse(rec->body);
    EXPECT_EQ(j["email"], "123456789012-compute@developer.gserviceaccount.com");
    EXPECT_EQ(j["aliases"], Json::array({"default"}));
    EXPECT_FALSE(j.contains("token"));
    auto tok = Json::parse(
        h.meta->Get("/computeMetadata/v1/instance/service-accounts/default/token", g)->body);
    EXPECT_EQ(tok["token_type"], "Bearer");
    EXPECT_GT(tok["expires_in"].get<int>(), 0);
    EXPECT_EQ(tok.begin().key(), "access_token");
}

TEST(Metadata, RequiresTheHeaderAndAnswers404ForUnknownPaths) {
    Harness h;
    auto no = h.meta->Get("/computeMetadata/v1/project/project-id");
    EXPECT_EQ(no->status, 403);
    EXPECT_NE(no->body.find("Missing Metadata-Flavor:Google header"), std::string::npos);
    EXPECT_EQ(no->get_header_value("Metadata-Flavor"), "Google");
    auto fwd = h.meta->Get("/computeMetadata/v1/project/project-id",
                           {{"Metadata-Flavor", "Google"}, {"X-Forwarded-For", "1.2.3.4"}});
    EXPECT_EQ(fwd->status, 403);
    for (const char* p : {"/computeMetadata/v1/universe/universe-domain",
                          "/computeMetadata/v1/instance/nope", "/computeMetadata/v2/instance/id"}) {
        auto r = h.meta->Get(p, {{"Metadata-Flavor", "Google"}});
        EXPECT_EQ(r->status, 404) << p;
        EXPECT_EQ(r->get_header_value("Metadata-Flavor"), "Google");
    }
}

}  // namespace
