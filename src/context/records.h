// The plain records carried between the steps of one call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/jsonxx.h"
#include "host/snap_info.h"

namespace DuVavaZid {

class GcpUtils;

struct CloneOptions {
    std::vector<std::string> DestinationReplicaZones;
    std::string destEncryptionKey;

    void reset() {
        DestinationReplicaZones.clear();
        destEncryptionKey.clear();
    }
};

struct InterimCloneInfo {
    std::string interimCloneId;
    std::string interimCloneName;
    std::string interimSnapId;
    std::string interimSnapName;

    void reset() {
        interimCloneId.clear();
        interimCloneName.clear();
        interimSnapId.clear();
        interimSnapName.clear();
    }
};

struct RestoreInfo {
    std::string destProjectId;
    std::string destZone;
    std::string destRegion;
    std::string destUser;
    std::string destPassword;
    std::string destKey;
    bool inPlaceRestore = false;
    bool destKeyIsPem = false;

    RestoreInfo() = default;
    RestoreInfo(const RestoreInfo&) = default;
    RestoreInfo& operator=(const RestoreInfo&) = default;
    ~RestoreInfo();
    void reset();
};

// One snapshot, its source disk and its clone.
class GcpObject {
  public:
    GcpObject() { reset(); }
    explicit GcpObject(BXSO::SnapInfo* record) {
        reset();
        snapInfo = record;
    }
    ~GcpObject() { reset(); }
    GcpObject(const GcpObject&) = delete;
    GcpObject& operator=(const GcpObject&) = delete;

    void reset();
    void dump(std::string& out, bool withHeading) const;

    BXSO::SnapInfo* snapInfo = nullptr;
    std::string HostSrcDev;
    std::string ProjectId;
    std::string InstanceId;
    std::string GCPDeviceName;
    std::string GCPDeviceId;
    std::string GCPDeviceType;
    std::string GCPDeviceZone;
    std::string GCPDeviceRegion;
    bool RegionalDisk = false;
    bool MarkedForDeletion = true;
    std::string GCPDeviceTag;
    std::string SourceDiskUrl;
    jsonxx::Object DiskLabels;
    // The disk's customer-managed encryption key (without its version), when it has one.
    std::string DiskKmsKeyName;
    // The disk's resource policies (snapshot schedules, as links) and description.
    std::vector<std::string> DiskResourcePolicies;
    std::string DiskDescription;
    std::string SnapUuid;
    std::string SnapResourceId;
    std::string SnapTag;
    std::string CloneSourceLink;
    std::string CloneId;
    std::string CloneName;
    std::string CloneTag;
    int CloneDevStatus = 0;
    CloneOptions cloneOptions;
    InterimCloneInfo interimCloneInfo;
    std::string ServiceAccount;
    long Flags = 0;
    bool IsHPXDevice = false;
    std::string ConnType;
    int MapStatus = 0;
    std::string SafePointSnapName;
    int RevertState = 0;
    // Where the disk stands when the undo of its revert gave up; empty otherwise.
    std::string UndoStanding;
    std::string GcpOSDevName;
    std::vector<std::string> DiskReplicaZones;
    long CreationTime = 0;
};

struct ArrayConfigs {
    int RetryMaxCount = 0;
    int RetrySleepInterval = 0;
    int RestApiLogging = 0;
    bool CreateSafepointSnapBeforeRevert = false;
    int ThreadCount = 0;

    void reset() { *this = ArrayConfigs(); }
};

struct ArrayDetails {
    ArrayDetails() { reset(); }

    std::string SCSIArrayId;
    int ArrayNum = 0;
    std::string ArrayId;
    std::string ControlHostName;
    std::string UserName;
    std::string UserPswd;
    ArrayConfigs arrayConfigs;
    std::string ServiceAccountId;
    std::string PrivateKey;
    std::string PrivateKeyPswd;

    ArrayDetails(const ArrayDetails&) = default;
    ArrayDetails& operator=(const ArrayDetails&) = default;
    ~ArrayDetails();
    void reset();
};

// One GCP long-running operation or resource being watched.
class GcpReqOpInfo {
  public:
    GcpReqOpInfo() { reset(); }

    // Clears everything except the target link and the failure details, which
    // callers read after the watch has ended.
    void reset();
    void dump(std::string& out) const;
    const char* getEntityTypeStr() const;

    std::string id;
    std::string name;
    std::string operationType;
    std::string targetId;
    std::string status;
    short progress = 0;
    std::string startTime;
    std::string endTime;
    std::string selfLink;
    std::string targetLink;
    // The resource to wait for when it is not the Operation's target: a
    // createSnapshot's target is the disk, not the snapshot it makes.
    std::string resourceLink;
    std::string httpErrorStatusCode;
    std::string httpErrorMessage;
    uint8_t entityType = 0;
    std::string entityName;
    int maxAttempts = 0;
    int sleepInterval = 0;
    int sleepUnitMs = 1000;
    // A snapshot awaited without its Operation (taken over from an earlier
    // attempt): UPLOADING is still on its way, not a failure.
    bool uploadingIsBusy = false;
    int currentAttempt = 0;
};

enum GcpEntityType : uint8_t {
    GCP_ENTITY_NONE = 0,
    GCP_ENTITY_DEVICE = 1,
    GCP_ENTITY_SNAPSHOT = 2,
    GCP_ENTITY_CLONE = 3,
};

struct GcpMapCtx {
    std::string hostName;
    std::vector<std::string> devicesBefore;
    std::vector<std::string> devicesAfter;

    void reset() {
        hostName.clear();
        devicesBefore.clear();
        devicesAfter.clear();
    }
};

// The work item of one worker thread; points at, but does not own, its object.
struct SnapOpReqParams {
    SnapOpReqParams() { reset(); }
    ~SnapOpReqParams() { reset(); }
    void reset() {
        object = nullptr;
        utils = nullptr;
    }

    GcpObject* object = nullptr;
    GcpUtils* utils = nullptr;
};

void getGcpDevTagFromNameOrId(GcpObject* object, std::string& tag);
void getSnapTagFromUuidOrId(GcpObject* object, std::string& tag);
int getSnapUUID(GcpObject* object);

}  // namespace DuVavaZid
