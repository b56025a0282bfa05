// Secrets audit: whole cycles at debug level 9 in both ways of getting a
// token (the VM's own account through the metadata server, and a service
// account key signing a JWT). No access token, JWT assertion, private key or
// password may appear in the debug log, the host's job log or an error text.
// The secrets to look for are taken from what actually went over the wire.
#include <set>
#include <sstream>

#include "support/snapped_disks.h"

namespace {

const std::string kBackupAccount = "backup-sa@demo-project.iam.gserviceaccount.com";
const std::string kPassword = "Audit-Pa55w0rd-Never-Logged";

class SecretsAudit : public bxtest::SnappedDisks {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startEmulator()); }

    void prepareRecords(bxtest::RecordSet& records, bool hpx, const std::string& tag) {
        for (size_t i = 0; i < records.size(); ++i) {
            auto& r = records[i];
            r.snapName = tag + "-" + std::to_string(i + 1);
            r.array.encryptedPassword = "enc:" + kPassword;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
            r.configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = 3;
            r.configValues["SMCONFIG_NAME_ENABLE_DIAGNOSTIC_LOGGING"] = 1;
            if (hpx) {
                const char* disks[] = {"data-disk-1", "data-disk-2"};
                asHpx(r, "demo-project", env->idOf(bxtest::EmulatorEnv::diskPath(disks[i])),
                      env->idOf("projects/demo-project/zones/us-central1-a/instances/mover-1"),
                      kBackupAccount);
            } else {
                r.sourceDevice = i == 0 ? "/dev/sdb" : "/dev/sdc";
                r.knownArrays["GCP-Default-IAM"] = 0;
            }
        }
    }

    // Runs the whole cycle; a failure on the way still leaves text to audit.
    void cycle(bxtest::RecordSet& records, bool withMap) {
        short n = records.count();
        EXPECT_EQ(bxso_prepareDevices(records.data(), n, &util), 0) << records[0].errorText;
        EXPECT_EQ(bxso_snapDevices(records.data(), n, &util), 0) << records[0].errorText;
        EXPECT_EQ(bxso_postSnapDevices(records.data(), n, &util), 0) << records[0].errorText;
        if (withMap) {
            EXPECT_EQ(bxso_mapSnaps(records.data(), n, &util), 0) << records[0].errorText;
            EXPECT_EQ(bxso_unmapSnaps(records.data(), n, &util), 0) << records[0].errorText;
        }
        // A forced token expiry makes the plug-in fetch and use a second token.
        env->emu().expireAllTokens();
        EXPECT_EQ(bxso_reconcileSnaps(records.data(), n, &util), 0) << records[0].errorText;
        EXPECT_EQ(bxso_deleteSnaps(records.data(), n, &util), 0) << records[0].errorText;
        // A failed call too: its error text and logged exchange are audited.
        records[0].snapName = "no-such-snapshot";
        bxso_mapSnaps(records.data(), n, &util);
        collect(records);
    }

    void collect(bxtest::RecordSet& records) {
        for (size_t i = 0; i < records.size(); ++i) {
            haystacks.push_back("error text: " + records[i].errorText);
            for (const auto& line : records[i].hostLog) {
                haystacks.push_back("job log: " + line.prefix + line.text);
            }
        }
    }

    // Tokens and assertions as they went over the wire, and the key's lines.
    std::set<std::string> secrets() {
        std::set<std::string> out = {kPassword};
        for (const auto& e : env->emu().journal()) {
            auto auth = e.headers.find("authorization");
            if (auth != e.headers.end() && auth->second.rfind("Bearer ", 0) == 0) {
                out.insert(auth->second.substr(7));
                bearerTokens.insert(auth->second.substr(7));
            }
            size_t at = e.body.find("assertion=");
            if (at != std::string::npos) {
                std::string assertion = e.body.substr(at + 10);
                out.insert(assertion.substr(0, assertion.find('&')));
            }
        }
        std::istringstream lines(pem);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.size() >= 16 && line.rfind("-----", 0) != 0) {
                out.insert(line);
            }
        }
        return out;
    }

    std::string pem;
    std::vector<std::string> haystacks;
    std::set<std::string> bearerTokens;
};

TEST_F(SecretsAudit, NoSecretInAnyLogOrErrorText) {
    pem = env->pemOf(kBackupAccount);
    ASSERT_FALSE(pem.empty());
    bxtest::RecordSet local(2);
    prepareRecords(local, false, "audit-local");
    cycle(local, true);
    bxtest::RecordSet hpx(2);
    prepareRecords(hpx, true, "audit-hpx");
    cycle(hpx, false);

    std::set<std::string> needles = secrets();
    size_t assertions = 0;
    for (const auto& n : needles) {
        assertions += n.rfind("eyJ", 0) == 0 ? 1 : 0;
    }
    // Both ways of authenticating were used, and tokens were renewed.
    ASSERT_GE(assertions, 1u);
    ASSERT_GE(bearerTokens.size(), 3u);
    for (const auto& line : log.lines()) {
        haystacks.push_back("debug log: " + line.text);
    }
    ASSERT_GT(log.lines().size(), 500u);
    for (const auto& text : haystacks) {
        for (const auto& needle : needles) {
            ASSERT_EQ(text.find(needle), std::string::npos)
                << "secret " << needle.substr(0, 8) << "... in " << text.substr(0, 200);
        }
    }
}

}  // namespace
