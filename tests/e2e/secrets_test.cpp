// Secrets handed to bxso-host (an array password, a service-account key) are
// kept encrypted under the host key and never appear in clear in the catalog,
// in the job log or in anything the host prints.
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host_runner.h"

namespace bxe2e {

namespace {

const char* const kPassword = "Vry-S3cret-Passw0rd-for-e2e";

// The secret texts to look for: the password, and every line of the key's
// body (a line quoted alone would leak as much as the whole key).
std::vector<std::string> secretNeedles(const std::string& pem) {
    std::vector<std::string> out = {kPassword, "PRIVATE KEY-----"};
    std::istringstream lines(pem);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() >= 16 && line.compare(0, 5, "-----") != 0) {
            out.push_back(line);
        }
    }
    return out;
}

class SecretsTest : public HostTest {
  protected:
    void expectClean(const std::string& what, const std::string& text) {
        for (const auto& needle : needles) {
            EXPECT_EQ(text.find(needle), std::string::npos)
                << what << " holds a secret: " << needle.substr(0, 12) << "...";
        }
    }
    std::vector<std::string> needles;
};

TEST_F(SecretsTest, PasswordAndKeyStayEncryptedEverywhere) {
    std::string email = "backup-sa@demo-project.iam.gserviceaccount.com";
    std::string pemFile = env->account(email).pemFile;
    ASSERT_FALSE(pemFile.empty());
    needles = secretNeedles(readFile(pemFile));
    ASSERT_GT(needles.size(), 10u);
    std::string passwordFile = dir + "/password";
    std::ofstream(passwordFile) << kPassword << "\n";

    std::vector<RunResult> outputs;
    outputs.push_back(host({"array", "add", "hpx", "--user", email, "--password-file", passwordFile,
                            "--key-pem", pemFile, "--config", "retry-interval=0"}));
    ASSERT_EQ(outputs.back().exitCode, 0) << outputs.back().all();

    std::string vm = env->idOf("projects/other-project/zones/us-central1-a/instances/app-vm");
    outputs.push_back(
        host({"-v", "backup", "--hpx", "other-project/us-central1-a/app-data-1", "--array", "hpx",
              "--source-instance", "other-project|" + vm, "--guest-flush"}));
    ASSERT_EQ(outputs.back().exitCode, 0) << outputs.back().all();
    EXPECT_EQ(gcpSnapshots("other-project").size(), 1u);
    outputs.push_back(host({"array", "list"}));
    EXPECT_NE(outputs.back().out.find("set (encrypted)"), std::string::npos);
    EXPECT_NE(outputs.back().out.find("PEM (encrypted)"), std::string::npos);
    outputs.push_back(host({"--json", "array", "list"}));
    outputs.push_back(host({"log", "1"}));
    EXPECT_NE(outputs.back().out.find("Create snap operation -- success"), std::string::npos);
    outputs.push_back(host({"--json", "log", "1"}));
    outputs.push_back(host({"show", "1"}));
    outputs.push_back(host({"--json", "jobs"}));

    for (size_t i = 0; i < outputs.size(); ++i) {
        expectClean("output " + std::to_string(i), outputs[i].all());
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        expectClean("catalog" + std::string(suffix), readFile(catalog + suffix));
    }
    expectClean("plug-in debug log", readFile(debugLog));
}

TEST_F(SecretsTest, KeyFileOthersCanReadIsRefused) {
    std::string passwordFile = dir + "/password";
    std::ofstream(passwordFile) << kPassword << "\n";
    RunResult first = host({"array", "add", "a1", "--password-file", passwordFile});
    ASSERT_EQ(first.exitCode, 0) << first.all();
    ASSERT_EQ(::chmod(keyFile.c_str(), 0644), 0);
    RunResult second = host({"array", "add", "a2", "--password-file", passwordFile});
    EXPECT_EQ(second.exitCode, 2) << second.all();
    EXPECT_NE(second.err.find("chmod 600"), std::string::npos) << second.err;
    RunResult list = host({"array", "list"});
    EXPECT_EQ(list.out.find("a2"), std::string::npos) << "refused array must not be stored";
}

}  // namespace

}  // namespace bxe2e
