// Token endpoint (JWT bearer grant), bearer checks on the Compute API, 401 and 403.
#include "harness.h"

namespace {

using emutest::claimsFor;
using emutest::Harness;
using emutest::Json;
using emutest::kJwtHeader;
using emutest::kZone;

TEST(Auth, JwtBearerGrantAcceptsGoodAssertionsOnEveryEndpoint) {
    Harness h;
    auto sa = h.env->account("backup-sa");
    for (const char* path : {"/token", "/oauth2/v4/token", "/oauth2/v3/token"}) {
        SCOPED_TRACE(path);
        std::string aud = "https://" + h.emu->apiHost() + path;
        // Padded segments, as the plug-in sends them, and unpadded ones.
        for (bool pad : {true, false}) {
            std::string jwt =
                emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, aud), pad);
            auto g = h.grant(jwt, path);
            ASSERT_EQ(g.status, 200) << g.body;
            EXPECT_EQ(g.body["token_type"], "Bearer");
            EXPECT_EQ(g.body["expires_in"], 3600);
            // The token works on the API.
            auto r = h.call("GET", kZone + "/disks/data-disk-1", "", g.body["access_token"]);
            EXPECT_EQ(r.status, 200);
        }
    }
    // Google's own audience and a header with kid.
    Json hdr = {{"alg", "RS256"}, {"kid", sa.keyId}};
    auto g = h.grant(emutest::signJwt(sa.pemFile, hdr,
                                      claimsFor(sa.email, "https://oauth2.googleapis.com/token")));
    EXPECT_EQ(g.status, 200) << g.body;
}

TEST(Auth, JwtBearerGrantRejectsBadAssertions) {
    Harness h;
    auto sa = h.env->account("backup-sa");
    auto other = h.env->account("limited-sa");
    std::string aud = h.emu->tokenUrl();
    struct Case {
        const char* what;
        std::string assertion;
        const char* error;
    };
    std::string good = emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, aud));
    std::string tampered = good;
    tampered[tampered.size() - 5] = tampered[tampered.size() - 5] == 'A' ? 'B' : 'A';
    std::vector<Case> cases = {
        {"signed by another key",
         emutest::signJwt(other.pemFile, kJwtHeader, claimsFor(sa.email, aud)), "invalid_grant"},
        {"tampered signature", tampered, "invalid_grant"},
        {"unknown issuer",
         emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor("who@x.iam.gserviceaccount.com", aud)),
         "invalid_grant"},
        {"wrong audience",
         emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, "https://example.com/token")),
         "invalid_grant"},
        {"too long lived", emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, aud, 3601)),
         "invalid_grant"},
        {"expired", emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, aud, 600, -4000)),
         "invalid_grant"},
        {"wrong alg", emutest::signJwt(sa.pemFile, {{"alg", "HS256"}}, claimsFor(sa.email, aud)),
         "invalid_grant"},
        {"not a jwt", "abc.def", "invalid_request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto g = h.grant(c.assertion);
        EXPECT_EQ(g.status, 400);
        EXPECT_EQ(g.body["error"], c.error);
        EXPECT_TRUE(g.body["error_description"].is_string());
        EXPECT_EQ(g.body.dump().find(c.assertion.substr(0, 20)),
                  std::string::npos);  // no secret echoed
    }
    auto r = emutest::toResp(h.api->Post("/token", "grant_type=password&assertion=x",
                                         "application/x-www-form-urlencoded"));
    EXPECT_EQ(r.body["error"], "unsupported_grant_type");
    Json noScope = claimsFor(sa.email, aud);
    noScope.erase("scope");
    EXPECT_EQ(h.grant(emutest::signJwt(sa.pemFile, kJwtHeader, noScope)).body["error"],
              "invalid_scope");
}

TEST(Auth, BearerTokensExpireAndAreCheckedPerProject) {
    gce::EmulatorOptions o;
    o.tokenLifetimeSec = 1;
    Harness h(0.0, o);
    auto sa = h.env->account("limited-sa");
    auto g =
        h.grant(emutest::signJwt(sa.pemFile, kJwtHeader, claimsFor(sa.email, h.emu->tokenUrl())));
    ASSERT_EQ(g.status, 200);
    std::string tok = g.body["access_token"];
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1", "", tok).status, 200);
    // No role on other-project: 403 with Compute Engine's shape.
    auto denied = h.call("GET", "other-project/zones/us-central1-a/disks/app-data-1", "", tok);
    EXPECT_EQ(denied.status, 403);
    EXPECT_EQ(denied.body["error"]["errors"][0]["reason"], "forbidden");
    EXPECT_NE(denied.body["error"]["message"].get<std::string>().find("compute.disks.get"),
              std::string::npos);
    // backup-sa has the role.
    auto sa2 = h.env->account("backup-sa");
    auto g2 =
        h.grant(emutest::signJwt(sa2.pemFile, kJwtHeader, claimsFor(sa2.email, h.emu->tokenUrl())));
    EXPECT_EQ(h.call("GET", "other-project/zones/us-central1-a/disks/app-data-1", "",
                     g2.body["access_token"])
                  .status,
              200);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto expired = h.call("GET", kZone + "/disks/data-disk-1", "", tok);
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.body["error"]["code"], 401);
    EXPECT_EQ(expired.body["error"]["status"], "UNAUTHENTICATED");
    EXPECT_EQ(expired.body["error"]["errors"][0]["reason"], "authError");
}

TEST(Auth, UnknownMissingAndExpiredTokensGet401AndSelfSignedJwtIsAccepted) {
    Harness h;
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1", "", "ya29.not-a-token").status, 401);
    auto missing = emutest::toResp(
        h.api->Get("/compute/v1/projects/demo-project/zones/us-central1-a/disks/data-disk-1"));
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.body["error"]["status"], "UNAUTHENTICATED");
    EXPECT_EQ(missing.body["error"]["errors"][0]["reason"], "required");

    std::string tok = h.defaultToken();
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1").status, 200);
    h.emu->expireAllTokens();
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1", "", tok).status, 401);
    // The metadata server then hands out a fresh token.
    h.token.clear();
    EXPECT_NE(h.defaultToken(), tok);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1").status, 200);

    // A self-signed JWT of a known account works as a bearer token, as on GCE.
    auto sa = h.env->account("backup-sa");
    long now = static_cast<long>(std::time(nullptr));
    Json claims = {{"iss", sa.email},
                   {"sub", sa.email},
                   {"aud", "https://compute.googleapis.com/"},
                   {"iat", now},
                   {"exp", now + 3600}};
    std::string jwt = emutest::signJwt(sa.pemFile, {{"alg", "RS256"}, {"kid", sa.keyId}}, claims);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1", "", jwt).status, 200);
    auto other = h.env->account("limited-sa");
    std::string forged = emutest::signJwt(other.pemFile, {{"alg", "RS256"}}, claims);
    EXPECT_EQ(h.call("GET", kZone + "/disks/data-disk-1", "", forged).status, 401);
}

TEST(Auth, KeyFilesAreUsable) {
    Harness h;
    auto sa = h.env->account("backup-sa");
    EXPECT_EQ(sa.p12Password, "notasecret");
    EXPECT_NE(emutest::readFile(sa.pemFile).find("BEGIN PRIVATE KEY"), std::string::npos);
    Json key = Json::parse(emutest::readFile(sa.jsonFile));
    EXPECT_EQ(key["client_email"], sa.email);
    EXPECT_EQ(key["private_key_id"], sa.keyId);
    // The PKCS#12 file opens with its password (legacy algorithms, as Google issues them).
    std::string p12 = emutest::readFile(sa.p12File);
    ASSERT_FALSE(p12.empty());
    for (std::string password : {"notasecret", "wrong"}) {
        std::string cmd = "openssl pkcs12 -legacy -in " + sa.p12File + " -passin pass:" + password +
                          " -nocerts -nodes -noout 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()) == 0, password == "notasecret") << password;
    }
}

}  // namespace
