// RS256 signing with a PKCS#12 key file, including files with the legacy
// encryption Google uses for its .p12 keys.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "host/http_client.h"
#include "runtime/pkcs12.h"
#include "support/crypto_fixtures.h"
#include "support/log_capture.h"

namespace {

using bxtest::P12Kind;

class Pkcs12Signing : public ::testing::Test {
  protected:
    bxtest::TempDir dir;
    const bxtest::RsaKey& key = bxtest::sharedRsaKey();

    std::string make(P12Kind kind, const std::string& password, const std::string& name) {
        std::string path = dir.file(name);
        EXPECT_TRUE(bxtest::writePkcs12(key, password, kind, path));
        return path;
    }
};

TEST_F(Pkcs12Signing, ModernAndLegacyFilesGiveVerifiableSignatures) {
    const std::string data = "eyJhbGciOiJSUzI1NiJ9.eyJpc3MiOiJ4In0=";
    for (auto kind : {P12Kind::Modern, P12Kind::Legacy}) {
        std::string path = make(kind, "notasecret", kind == P12Kind::Legacy ? "l.p12" : "m.p12");
        unsigned char sig[4096] = {0};
        size_t len = sizeof sig;
        std::string error;
        ASSERT_TRUE(bxrt::signRs256WithPkcs12(path, data, "notasecret", sig, len, &error)) << error;
        ASSERT_EQ(len, 256u);
        EXPECT_TRUE(bxtest::verifyRs256(key.publicPem, data,
                                        std::string(reinterpret_cast<char*>(sig), len)));
    }
}

TEST_F(Pkcs12Signing, LegacyFileIsReadWithoutChangingTheProcessWideProviders) {
    std::string path = make(P12Kind::Legacy, "notasecret", "legacy.p12");
    unsigned char sig[4096];
    size_t len = sizeof sig;
    ASSERT_TRUE(bxrt::signRs256WithPkcs12(path, "x", "notasecret", sig, len, nullptr));
    // The host process must still see OpenSSL's defaults: RC2 stays unavailable.
    EVP_CIPHER* rc2 = EVP_CIPHER_fetch(nullptr, "RC2-40-CBC", nullptr);
    EXPECT_EQ(rc2, nullptr);
    EVP_CIPHER_free(rc2);
}

TEST_F(Pkcs12Signing, FailuresReportFalseWithoutThePassword) {
    std::string good = make(P12Kind::Legacy, "notasecret", "k.p12");
    dir.write("junk.p12", "this is not DER");
    struct Case {
        const char* name;
        std::string file;
        std::string password;
        size_t capacity;
    } cases[] = {
        {"wrong password", good, "Wr0ngPassw0rd", 4096},
        {"missing file", dir.file("absent.p12"), "notasecret", 4096},
        {"not PKCS#12", dir.file("junk.p12"), "notasecret", 4096},
        {"buffer too small", good, "notasecret", 128},
        {"a device, not a file", "/dev/zero", "notasecret", 4096},
        {"a directory", dir.file(""), "notasecret", 4096},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> sig(4096);
        size_t len = c.capacity;
        std::string error;
        EXPECT_FALSE(bxrt::signRs256WithPkcs12(c.file, "data", c.password, sig.data(), len, &error))
            << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_EQ(error.find(c.password), std::string::npos) << c.name;
    }
}

TEST_F(Pkcs12Signing, HttpClientForwardsAndLogsFailuresWithoutSecrets) {
    std::string path = make(P12Kind::Modern, "pw-XYZZY-123", "c.p12");
    bxtest::LogCapture capture(9);
    BXLibCurl client;
    unsigned char sig[4096];
    size_t len = sizeof sig;
    EXPECT_TRUE(client.SignSHA256withRSA(path, "data", "pw-XYZZY-123", sig, len));
    EXPECT_EQ(len, 256u);
    len = sizeof sig;
    EXPECT_FALSE(client.SignSHA256withRSA(path, "data", "bad-XYZZY-456", sig, len));
    EXPECT_TRUE(capture.contains("PKCS#12 signature of [" + path + "] failed", -1));
    EXPECT_NE(client.GetLastSignError().find("mac verify failure"), std::string::npos)
        << client.GetLastSignError();
    EXPECT_EQ(capture.all().find("XYZZY"), std::string::npos);
}

}  // namespace
