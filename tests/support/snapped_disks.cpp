#include "support/snapped_disks.h"

#include <iterator>

#include "rest/rest_api_gcp.h"

namespace bxtest {

void SnappedDisks::startEmulator(gce::EmulatorOptions options) {
    env.reset();
    env = std::make_unique<EmulatorEnv>(std::move(options));
    ASSERT_TRUE(env->ok()) << env->error();
    EmulatorEnv::useEmulatedDevices(util);
}

void SnappedDisks::startFleet(int disks, const std::string& prefix, const std::string& snapPrefix,
                              int retryIntervalSec, int retryCount, gce::EmulatorOptions options) {
    options.scenarioJson = EmulatorEnv::fleetScenario(disks, prefix);
    records = EmulatorEnv::fleetRecords(disks, snapPrefix, retryIntervalSec, retryCount);
    startEmulator(std::move(options));
}

void SnappedDisks::preparedRecords(const std::vector<std::string>& disks,
                                   const std::string& snapPrefix, int retryCount) {
    records = std::make_unique<RecordSet>(static_cast<int>(disks.size()));
    for (size_t i = 0; i < disks.size(); ++i) {
        storePreparedMetadata(rec(i), "1", disks[i]);
        rec(i).snapName = snapPrefix + disks[i];
        rec(i).configValues["SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC"] = 0;
        rec(i).configValues["SMCONFIG_NAME_SNAP_OP_RETRY_COUNT"] = retryCount;
    }
}

void SnappedDisks::snapAll(bool prepare) {
    if (prepare) {
        ASSERT_EQ(run(bxso_prepareDevices), 0) << rec(0).errorText;
    }
    ASSERT_EQ(run(bxso_snapDevices), 0) << rec(0).errorText;
    ASSERT_EQ(run(bxso_postSnapDevices), 0) << rec(0).errorText;
    env->emu().clearJournal();
}

void SnappedDisks::asHpx(FakeSnapInfo& r, const std::string& project, const std::string& diskId,
                         const std::string& vmId, const std::string& account) const {
    r.sourceDevice = project + "|" + diskId;
    r.sourceInfo = project + "|" + vmId;
    r.array.user = account;
    r.configStrings["SMCONFIG_P12_KEY_FILENAME_KEY"] = "*enc:" + env->pemOf(account);
    r.metadata[154] = "us-central1-a|us-central1|";
}

void SnappedDisks::connect(int op, bool arrayDetails) {
    utils.reset();
    ctx.reset();
    ctx = std::make_unique<DuVavaZid::GcpCtx>(&util, 0, op);
    ASSERT_EQ(ctx->initialize(records->data(), records->count()), 0) << ctx->errText();
    if (arrayDetails) {
        ASSERT_EQ(ctx->getArrayDetailsFromDB(), 0) << ctx->errText();
    }
    utils = std::make_unique<DuVavaZid::GcpUtils>(ctx.get());
    ASSERT_EQ(utils->rest_connectToArray(), 0) << ctx->errText();
    env->emu().clearJournal();
}

DuVavaZid::GcpObject* SnappedDisks::object(size_t i) {
    auto it = ctx->snapMap.begin();
    std::advance(it, static_cast<long>(i));
    return it->second;
}

bool SnappedDisks::postSnapshot(const std::string& diskPath, const std::string& name) {
    utils->rest_resetCtx();
    auto& session = ctx->session();
    session.restApiPath = diskPath + "/createSnapshot";
    session.restRequest = "{\"name\":\"" + name + "\"}";
    return session.restClient->post(session.restApiPath, session.restRequest, session.restResponse,
                                    false);
}

}  // namespace bxtest
