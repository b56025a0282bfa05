// Masking of credentials in logged texts: every occurrence, whatever follows
// the value, length kept.
#include <gtest/gtest.h>

#include "rest/rest_api_gcp.h"
#include "rest/secret_mask.h"

namespace {

TEST(SecretMask, EveryCredentialValueIsStarredAndTheLengthKept) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"token followed by a member", R"({"access_token":"ya29.abc","expires_in":3599})",
         R"({"access_token":**********,"expires_in":3599})"},
        {"token as last member", R"({"token_type":"Bearer","access_token":"ya29.abc"})",
         R"({"token_type":"Bearer","access_token":**********})"},
        {"blanks around the colon", "{\"access_token\" : \"t1\"\n}", "{\"access_token\" : ****\n}"},
        {"every occurrence", R"([{"access_token":"t1"},{"access_token":"t22"}])",
         R"([{"access_token":****},{"access_token":*****}])"},
        {"password too", R"({"user":"u","password":"p@ss","x":1})",
         R"({"user":"u","password":******,"x":1})"},
        {"escaped quote inside the value", R"({"password":"a\"b","n":1})",
         R"({"password":******,"n":1})"},
        {"number value", R"({"access_token":12345})", R"({"access_token":*****})"},
        {"JSON inside a JSON string", R"({"body":"{\"access_token\":\"zz9\"}"})",
         R"({"body":"{\"access_token\":*******}"})"},
        {"form assertion", "grant_type=urn%3Ajwt&assertion=aaa.bbb.ccc",
         "grant_type=urn%3Ajwt&assertion=***********"},
        {"form assertion then another field", "assertion=abc&x=1", "assertion=***&x=1"},
        {"bare JWT", "bad jwt eyJhbGciOi.eyJpc3Mi.c2ln here",
         "bad jwt ************************ here"},
        {"other names untouched", R"({"my_access_token_count":3,"name":"access_token"})",
         R"({"my_access_token_count":3,"name":"access_token"})"},
        {"no JSON", "plain text", "plain text"},
        {"key at the very end", R"({"access_token")", R"({"access_token")"},
        {"unterminated value", R"({"access_token":"abc)", R"({"access_token":****)"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        std::string out = bxrest::maskSecrets(c.in);
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(out.size(), c.in.size()) << c.name;
    }
}

TEST(SecretMask, ClientMaskingHidesTheValueAndKeepsTheLength) {
    BXSnapRESTAPI_Gcp client;
    const std::string in = R"({"access_token":"secret-value","token_type":"Bearer"})";
    std::string out;
    client.maskSensitiveDetails(in, out);
    EXPECT_EQ(out.find("secret-value"), std::string::npos);
    EXPECT_EQ(out.size(), in.size());
}

// A long body goes into the log cut to 16 KiB with its length, masked before
// the cut: a secret that straddles the cut leaves no visible part behind.
TEST(SecretMask, LongBodiesAreCutAfterMasking) {
    const size_t cut = 16 * 1024;
    std::string body(cut - 20, 'a');
    body += R"({"access_token":"ya29.VISIBLE-PART-OF-TOKEN"})";
    body += std::string(100000, 'b');
    std::string logged = bxrest::maskedForLog(body);
    EXPECT_EQ(logged.find("ya29"), std::string::npos);
    EXPECT_EQ(logged.find("VISIBLE"), std::string::npos);
    EXPECT_EQ(logged.substr(cut), " ... [" + std::to_string(body.size()) + " bytes in all]");
    EXPECT_EQ(bxrest::maskedForLog("short"), "short");
}

}  // namespace
