// The host's snapshot record, array record and utility object as the plug-in
// sees them. Every change the plug-in makes is written through to the catalog
// before the call returns to it; reads come from the record's own copy,
// loaded from the catalog when the record was built.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "catalog.h"
#include "host/snap_info.h"

namespace bxhost {

class Session;

// Longest metadata item the host keeps; longer ones get the answer 2.
constexpr size_t kMaxMetadataLength = 8192;

// Metadata keys the host itself reads or seeds.
constexpr int kMetaSnapUuid = 6;
constexpr int kMetaDeviceName = 102;
constexpr int kMetaCloudLocation = 154;

class HostRecord : public BXSO::SnapInfo {
  public:
    HostRecord(Session& session, SnapRow row, std::map<int, MetaItem> metadata);

    // Copies for the host's own use (display, phase bookkeeping).
    SnapRow row() const;
    std::map<int, MetaItem> metadataCopy() const;
    int status() const;
    // Host-side changes, written through like the plug-in's.
    bool setPhase(const std::string& phase);
    bool clearError();
    bool clearFlag(int64_t flag);
    bool addFlag(int64_t flag);

    int setArrayName(const char* arrayName) override;
    bool isSnapFlagSet(int flag) override;
    BXSO::SnapStatus getStatus() override;
    void setStatus(BXSO::SnapStatus status) override;
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

  private:
    // Writes the row; a failure is reported to the session (the call then
    // fails on the host side even if the plug-in succeeded).
    bool persistLocked();
    bool storeMetadata(int key, const std::string& value, bool transient);

    Session& session_;
    mutable std::mutex mutex_;
    SnapRow row_;
    std::map<int, MetaItem> metadata_;
};

class HostArray : public HostArrayInfo {
  public:
    explicit HostArray(ArrayRow row) : row_(std::move(row)) {}
    void getArrayNumber(int* number) override { *number = row_.num; }
    void getArrayName(std::string* name) override { *name = row_.name; }
    void getControlHost(std::string* host) override { *host = row_.controlHost; }
    void getUserName(std::string* user) override { *user = row_.user; }
    void getPassword(std::string* encrypted) override { *encrypted = row_.password; }

  private:
    ArrayRow row_;
};

class HostUtil : public BXSO::BXOSUtil {
  public:
    explicit HostUtil(Session& session) : session_(session) {}
    long long getJobId() override;
    bool listDevices(const std::string& hostName, const std::string& filter,
                     std::vector<std::string>* devices) override;

  private:
    Session& session_;
};

}  // namespace bxhost
