// In-memory fakes of the host's record, utility and array-record classes.
// Every field is public so that tests can arrange inputs and inspect what the
// plug-in wrote.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/snap_info.h"

namespace bxtest {

class FakeArrayInfo : public HostArrayInfo {
  public:
    int number = 1;
    std::string name = "gcp-array";
    std::string controlHost = "compute.googleapis.com";
    std::string user = "backup@demo-project.iam.gserviceaccount.com";
    std::string encryptedPassword = "enc:secret";

    void getArrayNumber(int* n) override { *n = number; }
    void getArrayName(std::string* s) override { *s = name; }
    void getControlHost(std::string* s) override { *s = controlHost; }
    void getUserName(std::string* s) override { *s = user; }
    void getPassword(std::string* s) override { *s = encryptedPassword; }
};

struct HostLogLine {
    int level;
    std::string prefix;
    std::string text;
};

class FakeSnapInfo : public BXSO::SnapInfo {
  public:
    explicit FakeSnapInfo(long snapNumber = 1, const std::string& sourceDevice = "/dev/sdb");

    // --- arranged inputs ---
    long snapNumber;
    int arrayNumber = 1;
    bool sourceDeviceOk = true;
    std::string sourceDevice;
    bool snapNameOk = true;
    std::string snapName;
    std::map<std::string, int> configValues;
    std::map<std::string, std::string> configStrings;
    bool haveOperationProperties = false;
    std::map<std::string, std::string> operationProperties;
    bool haveCloneOptions = false;
    std::map<std::string, std::string> cloneOptions;
    bool sourceInfoOk = true;
    std::string sourceInfo = "demo-project|1234567890";
    std::map<int, bool> flagsSet;
    int cloneNumber = 1;
    std::map<int, int> intProperties;
    std::string hostInfoText = "0a1b2c";
    // Array lookup: arrayInfoFails makes getArrayInfo report "no details".
    bool arrayInfoFails = false;
    bool arrayInfoSetsPointerOnFailure = false;
    FakeArrayInfo array;
    std::map<std::string, int> knownArrays{{"gcp-array", 0}};
    // Decryption: the fake strips a leading "enc:" and fails otherwise.
    bool decryptFails = false;
    int setMetadataResult = 0;
    std::map<int, int> setMetadataResultFor;  // per item, before setMetadataResult
    // setSnapDevice throws, as a host's record may.
    bool snapDeviceThrows = false;
    bool acceptOperationProperties = true;

    // --- observed outputs ---
    BXSO::SnapStatus status = BXSO::SNAP_STATUS_NONE;
    int errorCode = 0;
    std::string errorText;
    std::map<int, std::string> metadata;
    std::map<int, std::string> transientMetadata;
    std::string snapDevice;
    std::string revertDevice;
    std::vector<long> snapFlags;
    std::string arrayNameSet;
    std::map<std::string, std::string> propertiesReturned;
    std::vector<HostLogLine> hostLog;
    int arrayInfoOutstanding = 0;
    std::vector<std::string> decryptedInputs;

    int setArrayName(const char* arrayName) override;
    bool isSnapFlagSet(int flag) override;
    BXSO::SnapStatus getStatus() override;
    void setStatus(BXSO::SnapStatus s) override;
    void setRevertDevice(const char* devicePath) override;
    void setSnapDevice(const char* value) override;
    int setMetadata(int key, const char* value) override;
    void setError(int code, const char* message) override;
    void getError(int* code, char* buffer, int bufferSize) override;
    void logMessage(int level, const char* prefix, const char* format, ...) override
        __attribute__((format(printf, 4, 5)));
    int getCloneNumber() override;
    int getConfigValue(const char* key, int* value) override;
    void setTransientMetadata(int key, const char* value) override;
    int getHostInfo(int category, int id, int flags, char* buffer, short* length,
                    int reserved) override;
    int getIntProperty(int id, int* value) override;
    int getArrayNumber() override;
    void setSnapFlag(long flag) override;
    void decryptPassword(std::string encrypted, std::string* plain) override;
    long getSnapNumber() override;
    bool getArrayInfo(HostArrayInfo** info) override;
    void releaseArrayInfo(HostArrayInfo** info) override;
    bool getSourceDevice(std::string* device) override;
    void getSnapDevice(std::string* value) override;
    bool getMetadata(int key, std::string* value) override;
    bool getConfigString(const std::string& key, std::string* value) override;
    bool getSourceInfo(int key, std::string* value) override;
    bool getSnapName(const std::string& separator, const std::bitset<64>& options,
                     std::string* name) override;
    bool getOperationProperties(std::map<std::string, std::string>* properties) override;
    bool getCloneOptions(std::map<std::string, std::string>* options) override;
    bool decryptString(const std::string& encrypted, std::string* plain, int flags) override;
    bool setOperationProperties(const std::map<std::string, std::string>& properties) override;

    bool hostLogContains(const std::string& text) const;

  private:
    mutable std::mutex mutex_;
};

class FakeOSUtil : public BXSO::BXOSUtil {
  public:
    long long jobId = 4242;
    bool listOk = true;
    std::vector<std::string> devices;
    std::vector<std::string> listCalls;
    // When set, listDevices answers through it instead of `devices` (for
    // example from the runtime's device listing, HostScsi::listDevices).
    std::function<bool(std::vector<std::string>*)> lister;

    long long getJobId() override { return jobId; }
    bool listDevices(const std::string& hostName, const std::string& filter,
                     std::vector<std::string>* out) override;
};

// A set of records with the array of pointers the entry points take.
class RecordSet {
  public:
    explicit RecordSet(int count, const std::string& devicePrefix = "/dev/sd");
    BXSO::SnapInfo** data() { return pointers_.data(); }
    short count() const { return static_cast<short>(records_.size()); }
    FakeSnapInfo& operator[](size_t i) { return *records_[i]; }
    size_t size() const { return records_.size(); }

  private:
    std::vector<std::unique_ptr<FakeSnapInfo>> records_;
    std::vector<BXSO::SnapInfo*> pointers_;
};

// Fills a record's metadata as a successful prepare of a zonal disk leaves it.
void storePreparedMetadata(FakeSnapInfo& record, const std::string& diskId,
                           const std::string& diskName, const std::string& zone = "us-central1-a",
                           const std::string& snapResourceId = "");

}  // namespace bxtest
