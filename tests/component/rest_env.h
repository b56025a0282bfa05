// An in-process emulator reached over HTTPS, the runtime settings pointing at
// it, a captured debug log at level 9 and an operation context with one fake
// host record: what the connection-setup tests start from.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"
#include "support/emulator_env.h"
#include "support/fake_host.h"
#include "support/files.h"
#include "support/log_capture.h"

namespace resttest {

using bxtest::readFile;

class RestEnv : public ::testing::Test {
  protected:
    // Scenario text for the emulator; empty = its default scenario.
    virtual std::string scenario() const { return ""; }

    void SetUp() override {
        gce::EmulatorOptions opts = bxtest::EmulatorEnv::defaultOptions();
        opts.scenarioJson = scenario();
        env = std::make_unique<bxtest::EmulatorEnv>(opts);
        ASSERT_TRUE(env->ok()) << env->error();
        emulator = &env->emu();
        newContext(DuVavaZid::GCP_OP_PREPARE);
    }

    // A fresh context with one record, array "gcp-array", REST logging on.
    void newContext(int opCode) {
        utils.reset();
        ctx.reset();
        record = std::make_unique<bxtest::FakeSnapInfo>(1);
        ctx = std::make_unique<DuVavaZid::GcpCtx>(&osUtil, 0, opCode);
        ctx->snapMap[1] = new DuVavaZid::GcpObject(record.get());
        ctx->SnapCount = 1;
        ctx->arrayDetails.ArrayId = "gcp-array";
        ctx->arrayDetails.arrayConfigs.RestApiLogging = 1;
        utils = std::make_unique<DuVavaZid::GcpUtils>(ctx.get());
    }

    // Makes the context use a service account with a PEM key or a PKCS#12 file.
    void useServiceAccount(const gce::Emulator::ServiceAccountKeys& sa, bool pem,
                           const std::string& p12Path = "") {
        ctx->useServiceAccount = true;
        ctx->pemPrivateKey = pem;
        ctx->arrayDetails.ServiceAccountId = sa.email;
        ctx->arrayDetails.PrivateKey = pem ? readFile(sa.pemFile) : p12Path;
        ctx->arrayDetails.PrivateKeyPswd = pem ? "" : sa.p12Password;
    }

    std::vector<gce::JournalEntry> journal(const std::string& server = "") const {
        std::vector<gce::JournalEntry> out;
        for (auto& e : emulator->journal()) {
            if (server.empty() || e.server == server) {
                out.push_back(e);
            }
        }
        return out;
    }

    static std::string header(const gce::JournalEntry& e, const std::string& name) {
        auto it = e.headers.find(name);
        return it == e.headers.end() ? "" : it->second;
    }

    bxtest::LogCapture capture{9};
    std::unique_ptr<bxtest::EmulatorEnv> env;
    gce::Emulator* emulator = nullptr;
    bxtest::FakeOSUtil osUtil;
    std::unique_ptr<bxtest::FakeSnapInfo> record;
    std::unique_ptr<DuVavaZid::GcpCtx> ctx;
    std::unique_ptr<DuVavaZid::GcpUtils> utils;
};

constexpr const char* kDefaultAccount = "123456789012-compute@developer.gserviceaccount.com";
constexpr const char* kBackupAccount = "backup-sa@demo-project.iam.gserviceaccount.com";
constexpr const char* kInstancePath = "projects/demo-project/zones/us-central1-a/instances/mover-1";

}  // namespace resttest
