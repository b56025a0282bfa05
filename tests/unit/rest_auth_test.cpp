// Token machinery of the REST client that needs no server: Base64url, the
// JWT and its signature, token-response parsing, authentication-error
// recognition, JSON member reads.
#include <gtest/gtest.h>

#include "common/helpers.h"
#include "rest/rest_api_gcp.h"
#include "runtime/endpoints.h"
#include "support/crypto_fixtures.h"
#include "support/fake_host.h"
#include "support/settings_file.h"

namespace {

using bxtest::split;

std::string b64(const std::string& bytes) {
    return BXSnapRESTAPI_Gcp::base64URLEncode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                              bytes.size());
}

TEST(Base64Url, EncodesWithUrlAlphabetAndKeepsTheFill) {
    struct Case {
        std::string in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"abc", "YWJj"},
        {"\xFB", "-w=="},
        {"\xFF\xFF", "__8="},
        {"\xFB\xFF\xBF", "-_-_"},
        {"hello world", "aGVsbG8gd29ybGQ="},
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(b64(c.in), c.out);
    }
}

TEST(JwtClaims, ValuesAreJsonEscaped) {
    const std::string issuer = "evil\",\"scope\":\"x\\y\n";
    std::string claims = BXSnapRESTAPI_Gcp::buildClaimSet(issuer, "s", "a", 5);
    jsonxx::Object parsed;
    ASSERT_TRUE(parsed.parse(claims)) << claims;
    EXPECT_EQ(parsed.get<jsonxx::String>("iss"), issuer);
    EXPECT_EQ(parsed.get<jsonxx::String>("scope"), "s");
    EXPECT_EQ(parsed.size(), 5u);
}

class BearerToken : public ::testing::Test {
  protected:
    bxtest::SettingsFile settings;
    bxtest::FakeSnapInfo record;
    BXSnapRESTAPI_Gcp client;
    const bxtest::RsaKey& key = bxtest::sharedRsaKey();

    void SetUp() override {
        client.setLogger(&record);
        client.setServiceAccountId("backup@demo.iam.gserviceaccount.com");
    }

    // Checks a token's three segments and returns its claims.
    void expectValid(const std::string& token, int64_t before, int64_t after) {
        auto parts = split(token, '.');
        ASSERT_EQ(parts.size(), 3u) << token;
        std::string header, claims, signature;
        ASSERT_TRUE(bxtest::base64UrlDecode(parts[0], &header));
        ASSERT_TRUE(bxtest::base64UrlDecode(parts[1], &claims));
        ASSERT_TRUE(bxtest::base64UrlDecode(parts[2], &signature));
        EXPECT_EQ(header, R"({"alg":"RS256","typ":"JWT"})");
        jsonxx::Object parsed;
        ASSERT_TRUE(parsed.parse(claims));
        auto iat = static_cast<int64_t>(parsed.get<jsonxx::Number>("iat"));
        EXPECT_GE(iat, before);
        EXPECT_LE(iat, after);
        EXPECT_EQ(claims,
                  BXSnapRESTAPI_Gcp::buildClaimSet("backup@demo.iam.gserviceaccount.com",
                                                   bxrt::kOAuthScope, bxrt::oauthTokenUrl(), iat));
        EXPECT_TRUE(bxtest::verifyRs256(key.publicPem, parts[0] + "." + parts[1], signature));
    }
};

TEST_F(BearerToken, PemKeySignsTheJwtAndIgnoresTheConfiguredPassword) {
    client.setUsePemPrivateKey(true);
    client.setPrivateKey(key.privatePem);
    client.setPrivateKeyPswd("not-used");
    std::string token;
    int64_t before = getCurTime();
    ASSERT_TRUE(client.getBearerToken(token));
    expectValid(token, before, getCurTime());
    EXPECT_TRUE(record.hostLogContains("SHA 256 digest length : 32"));
    EXPECT_TRUE(record.hostLogContains("RSA signature length : 256"));
}

TEST_F(BearerToken, SigningFailuresAreReportedWithTheirMessages) {
    bxtest::TempDir dir;
    std::string p12 = dir.file("k.p12");
    ASSERT_TRUE(bxtest::writePkcs12(key, "notasecret", bxtest::P12Kind::Legacy, p12));
    struct Case {
        const char* name;
        bool pem;
        std::string key;
        std::string password;
        const char* messages;  // host-log texts, separated by '|'
    } cases[] = {
        {"garbage PEM", true, "not a key", "",
         "Failed to sign the digest.|Failed to get signature from private key"},
        {"encrypted PEM, password ignored", true, bxtest::encryptedPrivatePem(key, "pw"), "pw",
         "Failed to get signature from private key"},
        {"wrong p12 password", false, p12, "wrong", "Failed to get signature from p12 file"},
        {"missing p12", false, dir.file("none.p12"), "notasecret",
         "Failed to get signature from p12 file"},
    };
    for (const auto& c : cases) {
        record.hostLog.clear();
        client.setUsePemPrivateKey(c.pem);
        client.setPrivateKey(c.key);
        client.setPrivateKeyPswd(c.password);
        std::string token = "unchanged";
        std::string body = "old";
        EXPECT_FALSE(client.getBearerToken(token)) << c.name;
        EXPECT_EQ(token, "unchanged") << c.name;
        EXPECT_FALSE(client.buildRequestForOAuth(body)) << c.name;
        EXPECT_EQ(body, "") << c.name;
        for (const std::string& m : split(c.messages, '|')) {
            EXPECT_TRUE(record.hostLogContains(m)) << c.name << ": " << m;
        }
        EXPECT_TRUE(record.hostLogContains("Failed to generate the bearer token")) << c.name;
    }
}

TEST(TokenResponse, ParsedOrRejectedWithTheirMessages) {
    struct Case {
        const char* name;
        const char* response;
        bool ok;
        const char* message;  // expected host-log text, or null
    } cases[] = {
        {"no expiry", R"({"access_token":"t","token_type":"Bearer"})", true, nullptr},
        {"object token", R"({"access_token":{"a":1},"token_type":"Bearer"})", false,
         "Type mismatch, expected string value for key [access_token]"},
        {"array type", R"({"access_token":"t","token_type":[]})", false,
         "Type mismatch, expected string value for key [token_type]"},
        {"no type", R"({"access_token":"t"})", false,
         "Failed to get [token_type] value from JSON response"},
        {"no token", R"({"token_type":"Bearer"})", false,
         "Failed to get [access_token] value from JSON response"},
        {"not JSON", "<html>", false, nullptr},
    };
    for (const auto& c : cases) {
        bxtest::FakeSnapInfo record;
        BXSnapRESTAPI_Gcp client;
        client.setLogger(&record);
        EXPECT_EQ(client.parseResponseForAccessToken(c.response), c.ok) << c.name;
        if (c.message) {
            EXPECT_TRUE(record.hostLogContains(c.message)) << c.name;
        }
        if (std::string(c.name) == "not JSON") {
            EXPECT_TRUE(record.hostLog.empty());
        }
    }
}

TEST(AuthError, OnlyCode401WithStatusUnauthenticated) {
    struct Case {
        const char* response;
        bool authError;
    } cases[] = {
        {R"({"error":{"code":401,"message":"x","status":"UNAUTHENTICATED"}})", true},
        {R"({"error":{"code":403,"message":"x","status":"PERMISSION_DENIED"}})", false},
        {R"({"error":{"code":401,"message":"x"}})", false},
        {R"({"error":{"code":400,"status":"UNAUTHENTICATED"}})", false},
        {R"({"error":{"code":"401","status":"UNAUTHENTICATED"}})", false},
        {R"({"error":"invalid_grant"})", false},
        {R"({"code":401,"status":"UNAUTHENTICATED"})", false},
        {"not json", false},
        {"", false},
    };
    for (const auto& c : cases) {
        bxtest::FakeSnapInfo record;
        BXSnapRESTAPI_Gcp client;
        client.setLogger(&record);
        EXPECT_EQ(client.hasAuthError(c.response), c.authError) << c.response;
        EXPECT_EQ(record.hostLogContains("Received [UNAUTHENTICATED] status in JSON response."),
                  c.authError)
            << c.response;
    }
}

TEST(JsonMember, ReadAsTextInTypeOrder) {
    jsonxx::Object o;
    ASSERT_TRUE(
        o.parse(R"({"s":"text","t":true,"f":false,"n":3.9,"neg":-2.5,"big":1e12,"small":-1e12,)"
                R"("o":{},"a":[1],"z":null})"));
    struct Case {
        const char* key;
        bool found;
        const char* value;
        bool container;
    } cases[] = {
        {"s", true, "text", false},
        {"t", true, "true", false},
        {"f", true, "false", false},
        {"n", true, "3", false},
        {"neg", true, "-2", false},
        {"big", true, "2147483647", false},
        {"small", true, "-2147483648", false},
        {"o", true, "", true},
        {"a", true, "", true},
        {"z", true, "null", false},
        {"missing", false, "", false},
    };
    bxtest::FakeSnapInfo record;
    BXSnapRESTAPI_Gcp client;
    client.setLogger(&record);
    for (const auto& c : cases) {
        std::string value = "stale";
        bool container = true;
        EXPECT_EQ(client.getValueFromJSONObject(c.key, o, value, container), c.found) << c.key;
        EXPECT_EQ(value, c.value) << c.key;
        EXPECT_EQ(container, c.container) << c.key;
    }
    ASSERT_FALSE(record.hostLog.empty());
    EXPECT_EQ(record.hostLog.back().text, "\"missing\" tag not found in JSON response.");
    EXPECT_EQ(record.hostLog.back().prefix, "");
    EXPECT_EQ(record.hostLog.back().level, 2);
}

TEST(BasePath, SchemeIsDroppedUpToTheFirstSeparator) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"compute.googleapis.com/compute/v1/projects/",
         "compute.googleapis.com/compute/v1/projects/"},
        {"https://oauth2.googleapis.com/token", "oauth2.googleapis.com/token"},
        {"https://h/x?u=http://y", "h/x?u=http://y"},
        {"", ""},
    };
    BXSnapRESTAPI_Gcp client;
    for (const auto& c : cases) {
        client.setBasePath(c.in);
        EXPECT_EQ(client.getBasePath(), c.out);
    }
}

}  // namespace
