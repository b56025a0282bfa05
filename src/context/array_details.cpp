// The GCP account of the call (the host's "array"), its per-array
// configuration and, in HPX mode, the service-account key.
#include <sstream>

#include "common/helpers.h"
#include "context/gcp_ctx.h"
#include "host/settings.h"

namespace DuVavaZid {

namespace {
constexpr const char* kCfgRetryInterval = "SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC";
constexpr const char* kCfgRetryCount = "SMCONFIG_NAME_SNAP_OP_RETRY_COUNT";
constexpr const char* kCfgDiagLogging = "SMCONFIG_NAME_ENABLE_DIAGNOSTIC_LOGGING";
constexpr const char* kCfgKeyFile = "SMCONFIG_P12_KEY_FILENAME_KEY";
constexpr const char* kCfgSafePoint = "SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY";
constexpr const char* kCfgThreadCount = "SMCONFIG_SNAP_OP_THREAD_COUNT_KEY";
constexpr const char* kKeyFileDir = "/certificates/external/";
constexpr const char* kP12Suffix = ".p12";

// Releases the host's array record on every path.
class ArrayInfoHolder {
  public:
    explicit ArrayInfoHolder(BXSO::SnapInfo* record) : record_(record) {}
    ~ArrayInfoHolder() { release(); }
    ArrayInfoHolder(const ArrayInfoHolder&) = delete;
    ArrayInfoHolder& operator=(const ArrayInfoHolder&) = delete;

    HostArrayInfo** slot() { return &info_; }
    HostArrayInfo* get() const { return info_; }
    void release() {
        if (info_) {
            record_->releaseArrayInfo(&info_);
            info_ = nullptr;
        }
    }

  private:
    BXSO::SnapInfo* record_;
    HostArrayInfo* info_ = nullptr;
};
}  // namespace

int GcpCtx::getArrayDetailsFromDB() {
    return getArrayDetails();
}

int GcpCtx::getArrayDetails() {
    BXSO::SnapInfo* record = firstRecord();
    int arrayNumber = record->getArrayNumber();
    log(2, "GCP Getting GCP array details for array num # [%d]...", arrayNumber);

    ArrayInfoHolder info(record);
    if (record->getArrayInfo(info.slot())) {
        info.release();
        std::ostringstream msg;
        msg << "Failed to get GCP array details for array num [" << arrayNumber
            << "] from database. Please ensure that GCP array details are properly entered and "
               "configured in Array Management and host has connectivity to Taldserver";
        return fail(GCP_ERR_HOST_ITEM, msg.str());
    }
    std::string keptKey = arrayDetails.PrivateKey;
    SecretWiper keptKeyWiper(keptKey);
    arrayDetails.reset();

    std::string encryptedPassword;
    if (HostArrayInfo* a = info.get()) {
        a->getArrayNumber(&arrayDetails.ArrayNum);
        a->getArrayName(&arrayDetails.ArrayId);
        arrayDetails.SCSIArrayId = arrayDetails.ArrayId;
        a->getControlHost(&arrayDetails.ControlHostName);
        a->getUserName(&arrayDetails.UserName);
        a->getPassword(&encryptedPassword);
    }
    record->decryptPassword(encryptedPassword, &arrayDetails.UserPswd);
    info.release();

    if (hpxMode) {
        arrayDetails.ServiceAccountId = arrayDetails.UserName;
        if (!pemPrivateKey) {
            arrayDetails.PrivateKeyPswd = arrayDetails.UserPswd;
        }
        arrayDetails.PrivateKey = keptKey;
        useServiceAccount = true;
    }
    log(0, "GCP >> Got GCP array details [%s] num# [%d]", arrayDetails.ArrayId.c_str(),
        arrayNumber);
    dumpArrayDetails();
    log(3, "GCP Getting GCP array details for array # [%d]... - done", arrayNumber);
    return 0;
}

int GcpCtx::readAndSetArrayConfigs() {
    BXSO::SnapInfo* record = firstRecord();
    ArrayConfigs& cfg = arrayDetails.arrayConfigs;

    auto readInt = [&](const char* key, int& field, int def) {
        int value = 0;
        if (record->getConfigValue(key, &value) != 0) {
            field = def;
            log(2, "GCP Config [%s] not found - setting default value [%d]", key, def);
        } else {
            field = value;
            log(2, "GCP Config [%s] found - value [%d]", key, value);
        }
    };
    readInt(kCfgRetryInterval, cfg.RetrySleepInterval, 60);
    readInt(kCfgRetryCount, cfg.RetryMaxCount, 10);
    readInt(kCfgDiagLogging, cfg.RestApiLogging, 1);

    if (hpxMode) {
        int rc = readPrivateKeyConfig(record);
        if (rc != 0) {
            return rc;
        }
    }

    int safePoint = 0;
    if (record->getConfigValue(kCfgSafePoint, &safePoint) != 0) {
        cfg.CreateSafepointSnapBeforeRevert = true;
        log(2, "GCP Config [%s] not found - setting default value [%s]", kCfgSafePoint, "true");
    } else {
        cfg.CreateSafepointSnapBeforeRevert = safePoint != 0;
        log(2, "GCP Config [%s] found - value [%s]", kCfgSafePoint,
            cfg.CreateSafepointSnapBeforeRevert ? "true" : "false");
    }
    readInt(kCfgThreadCount, cfg.ThreadCount, 8);

    log(0,
        "GCP >> RetryMaxCount [%d] RetrySleepInterval [%d] (seconds) REST API Logging [%d] "
        "CreateSafepointSnapBeforeRevert [%s] ThreadCount [%d]",
        cfg.RetryMaxCount, cfg.RetrySleepInterval, cfg.RestApiLogging,
        cfg.CreateSafepointSnapBeforeRevert ? "true" : "false", cfg.ThreadCount);
    return 0;
}

int GcpCtx::readPrivateKeyConfig(BXSO::SnapInfo* record) {
    const std::string& arrayId = arrayDetails.ArrayId;
    std::string key;
    if (!record->getConfigString(kCfgKeyFile, &key)) {
        return fail(GCP_ERR_INTERNAL,
                    "Failed to get private key. Please check if private key is set in array "
                    "management for array [" +
                        arrayId + "]");
    }
    if (key.empty()) {
        return fail(GCP_ERR_INTERNAL,
                    "Private key is empty. Please set the private key from hypervisor properties "
                    "or from array management for array [" +
                        arrayId + "]");
    }
    std::string lower = key;
    strToLowerCase(lower);
    const size_t suffixLen = std::char_traits<char>::length(kP12Suffix);
    if (lower.size() < suffixLen) {
        return fail(GCP_ERR_INTERNAL,
                    "Private key is incorrect. Please set the correct private key from "
                    "hypervisor properties or from array management for array [" +
                        arrayId + "]");
    }
    if (lower.compare(lower.size() - suffixLen, suffixLen, kP12Suffix) != 0) {
        pemPrivateKey = true;
        if (!record->decryptString(key.substr(1), &arrayDetails.PrivateKey, 0)) {
            log(-1,
                "GCP Unable to decrypt private key. Encrypted key length [%zu] decrypted key "
                "length [%zu]",
                key.size(), arrayDetails.PrivateKey.size());
        }
        return 0;
    }
    std::string base;
    int rc = getBaseDirectoryPath(base);
    if (rc != 0) {
        return rc;
    }
    arrayDetails.PrivateKey = base + kKeyFileDir + key;
    log(2, "GCP Found p12 key file path [%s]", arrayDetails.PrivateKey.c_str());
    return 0;
}

int GcpCtx::getBaseDirectoryPath(std::string& path) {
    BXPlatformInfo settings;
    if (settings.getString("Base", "dBASEHOME", &path) == 0) {
        return fail(GCP_ERR_INTERNAL, "Failed to get Taldrix base directory.");
    }
    return 0;
}

void GcpCtx::dumpArrayDetails() {
    if (!debugLog || debugLog->getDebugLevel() <= 4) {
        return;
    }
    std::ostringstream os;
    os << "Dump of ArrayDetails object: "
       << "SCSIArrayId [" << arrayDetails.SCSIArrayId << "] Array # [" << arrayDetails.ArrayNum
       << "] ArrayId [" << arrayDetails.ArrayId << "] ControlHostName ["
       << arrayDetails.ControlHostName << "] UserName[" << arrayDetails.UserName << "] UserPswd ["
       << (arrayDetails.UserPswd.empty() ? "" : "******") << "]\n";
    std::string text = os.str();
    log(5, "GCP %s", text.c_str());
}

}  // namespace DuVavaZid
