// The host's record, utility and array-record classes as the plug-in sees them.
// Only the operations the plug-in calls are declared, in the order of their
// virtual slots; the host derives from these and adds whatever else it needs.
#pragma once

#include <bitset>
#include <map>
#include <string>
#include <vector>

namespace BXSO {

enum SnapStatus : int {
    SNAP_STATUS_NONE = 0,
    SNAP_PREPARE_SUCCESS = 1,
    SNAP_PREPARE_FAILED = 2,
    SNAP_CREATE_SUCCESS = 5,
    SNAP_CREATE_FAILED = 6,
    SNAP_MAP_FAILED = 11,
    SNAP_MAP_SUCCESS = 12,
    SNAP_UNMAP_SUCCESS = 14,
    SNAP_UNMAP_FAILED = 15,
    SNAP_DELETE_SUCCESS = 20,
    SNAP_DELETE_FAILED = 21,
    SNAP_REVERT_SUCCESS = 22,
    SNAP_REVERT_FAILED = 23,
    SNAP_EXTERNALLY_DELETED = 24,
};

}  // namespace BXSO

// The array (GCP account) configured in the host's array management.
class HostArrayInfo {
  public:
    virtual ~HostArrayInfo() = default;
    virtual void getArrayNumber(int* number) = 0;
    virtual void getArrayName(std::string* name) = 0;
    virtual void getControlHost(std::string* host) = 0;
    virtual void getUserName(std::string* user) = 0;
    virtual void getPassword(std::string* encrypted) = 0;
};

namespace BXSO {

class SnapInfo {
  public:
    virtual ~SnapInfo() = default;
    virtual int setArrayName(const char* arrayName) = 0;
    virtual bool isSnapFlagSet(int flag) = 0;
    virtual SnapStatus getStatus() = 0;
    virtual void setStatus(SnapStatus status) = 0;
    virtual void setRevertDevice(const char* devicePath) = 0;
    virtual void setSnapDevice(const char* value) = 0;
    virtual int setMetadata(int key, const char* value) = 0;
    virtual void setError(int code, const char* message) = 0;
    virtual void getError(int* code, char* buffer, int bufferSize) = 0;
    virtual void logMessage(int level, const char* prefix, const char* format, ...)
        __attribute__((format(printf, 4, 5))) = 0;
    virtual int getCloneNumber() = 0;
    virtual int getConfigValue(const char* key, int* value) = 0;
    virtual void setTransientMetadata(int key, const char* value) = 0;
    virtual int getHostInfo(int category, int id, int flags, char* buffer, short* length,
                            int reserved) = 0;
    virtual int getIntProperty(int id, int* value) = 0;
    virtual int getArrayNumber() = 0;
    virtual void setSnapFlag(long flag) = 0;
    virtual void decryptPassword(std::string encrypted, std::string* plain) = 0;
    virtual long getSnapNumber() = 0;
    virtual bool getArrayInfo(HostArrayInfo** info) = 0;
    virtual void releaseArrayInfo(HostArrayInfo** info) = 0;
    virtual bool getSourceDevice(std::string* device) = 0;
    virtual void getSnapDevice(std::string* value) = 0;
    virtual bool getMetadata(int key, std::string* value) = 0;
    virtual bool getConfigString(const std::string& key, std::string* value) = 0;
    virtual bool getSourceInfo(int key, std::string* value) = 0;
    virtual bool getSnapName(const std::string& separator, const std::bitset<64>& options,
                             std::string* name) = 0;
    virtual bool getOperationProperties(std::map<std::string, std::string>* properties) = 0;
    virtual bool getCloneOptions(std::map<std::string, std::string>* options) = 0;
    virtual bool decryptString(const std::string& encrypted, std::string* plain, int flags) = 0;
    virtual bool setOperationProperties(const std::map<std::string, std::string>& properties) = 0;
};

class BXOSUtil {
  public:
    virtual ~BXOSUtil() = default;
    virtual long long getJobId() = 0;
    virtual bool listDevices(const std::string& hostName, const std::string& filter,
                             std::vector<std::string>* devices) = 0;
};

}  // namespace BXSO
