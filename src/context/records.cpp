#include "context/records.h"

#include "common/helpers.h"

#include <bitset>
#include <sstream>

#include "host/strings.h"

namespace DuVavaZid {

namespace {
const char* boolText(bool b) {
    return b ? "true" : "false";
}
}  // namespace

void GcpObject::reset() {
    snapInfo = nullptr;
    HostSrcDev.clear();
    ProjectId.clear();
    InstanceId.clear();
    GCPDeviceName.clear();
    GCPDeviceId.clear();
    GCPDeviceType.clear();
    GCPDeviceZone.clear();
    GCPDeviceRegion.clear();
    RegionalDisk = false;
    MarkedForDeletion = true;
    GCPDeviceTag.clear();
    SourceDiskUrl.clear();
    DiskLabels = jsonxx::Object();
    DiskKmsKeyName.clear();
    DiskResourcePolicies.clear();
    DiskDescription.clear();
    SnapUuid.clear();
    SnapResourceId.clear();
    SnapTag.clear();
    CloneSourceLink.clear();
    CloneId.clear();
    CloneName.clear();
    CloneTag.clear();
    CloneDevStatus = 0;
    cloneOptions.reset();
    interimCloneInfo.reset();
    ServiceAccount.clear();
    Flags = 0;
    IsHPXDevice = false;
    ConnType.clear();
    MapStatus = 0;
    SafePointSnapName.clear();
    RevertState = 0;
    UndoStanding.clear();
    GcpOSDevName.clear();
    DiskReplicaZones.clear();
    CreationTime = 0;
}

void GcpObject::dump(std::string& out, bool withHeading) const {
    std::ostringstream os;
    if (withHeading) {
        os << "Dump of Internal Object: ";
    }
    os << "HostSrcDev [" << HostSrcDev << "] GCPDeviceName [" << GCPDeviceName << "] GCPDeviceId ["
       << GCPDeviceId << "] GCPDeviceType [" << GCPDeviceType << "] GCPDeviceZone ["
       << GCPDeviceZone << "] GCPDeviceRegion [" << GCPDeviceRegion << "] RegionalDisk ["
       << boolText(RegionalDisk) << "] MarkedForDeletion [" << boolText(MarkedForDeletion)
       << "] GCPDeviceTag [" << GCPDeviceTag << "] SnapUuid [" << SnapUuid << "] SnapResourceId ["
       << SnapResourceId << "] SnapTag [" << SnapTag << "] CloneSourceLink [" << CloneSourceLink
       << "] CloneName [" << CloneName << "] CloneTag [" << CloneTag << "] CloneDevStatus ["
       << CloneDevStatus << "] DestinationReplicaZones ["
       << HostStr::Join(cloneOptions.DestinationReplicaZones, ",") << "] ServiceAccount ["
       << ServiceAccount << "] Flags [" << Flags << "] IsHPXDevice [" << boolText(IsHPXDevice)
       << "] ConnType [" << ConnType << "] MapStatus [" << MapStatus << "] SafePointSnapName ["
       << SafePointSnapName << "] GcpOSDevName [" << GcpOSDevName << "] DiskReplicaZones ["
       << HostStr::Join(DiskReplicaZones, ",") << "]";
    out = os.str();
}

ArrayDetails::~ArrayDetails() {
    wipeSecret(UserPswd);
    wipeSecret(PrivateKey);
    wipeSecret(PrivateKeyPswd);
}

RestoreInfo::~RestoreInfo() {
    wipeSecret(destPassword);
    wipeSecret(destKey);
}

void RestoreInfo::reset() {
    wipeSecret(destPassword);
    wipeSecret(destKey);
    *this = RestoreInfo();
}

void ArrayDetails::reset() {
    SCSIArrayId.clear();
    ArrayNum = 0;
    ArrayId.clear();
    ControlHostName.clear();
    UserName.clear();
    wipeSecret(UserPswd);
    ServiceAccountId.clear();
    wipeSecret(PrivateKey);
    wipeSecret(PrivateKeyPswd);
    arrayConfigs.RetryMaxCount = 10;
    arrayConfigs.RetrySleepInterval = 60;
    arrayConfigs.RestApiLogging = 1;
    arrayConfigs.CreateSafepointSnapBeforeRevert = true;
    arrayConfigs.ThreadCount = 8;
}

void GcpReqOpInfo::reset() {
    id.clear();
    name.clear();
    operationType.clear();
    targetId.clear();
    status.clear();
    progress = 0;
    startTime.clear();
    endTime.clear();
    selfLink.clear();
    resourceLink.clear();
    entityType = GCP_ENTITY_NONE;
    entityName.clear();
    maxAttempts = 0;
    sleepInterval = 0;
    sleepUnitMs = 1000;
    uploadingIsBusy = false;
    currentAttempt = 0;
}

const char* GcpReqOpInfo::getEntityTypeStr() const {
    switch (entityType) {
        case GCP_ENTITY_DEVICE:
            return "Gcp device";
        case GCP_ENTITY_SNAPSHOT:
            return "snapshot";
        case GCP_ENTITY_CLONE:
            return "clone";
        default:
            return "none";
    }
}

void GcpReqOpInfo::dump(std::string& out) const {
    std::ostringstream os;
    os << "id [" << id << "] name [" << name << "] operationType [" << operationType
       << "] targetId [" << targetId << "] status [" << status << "] progress [" << progress
       << "] startTime [" << startTime << "] endTime [" << endTime << "] selfLink [" << selfLink
       << "] targetLink [" << targetLink << "] " << getEntityTypeStr() << " [" << entityName
       << "] maxAttempts [" << maxAttempts << "] sleepInterval [" << sleepInterval
       << "] currentAttempt [" << currentAttempt << "]";
    out = os.str();
}

void getGcpDevTagFromNameOrId(GcpObject* object, std::string& tag) {
    tag = object->GCPDeviceName.empty() ? object->GCPDeviceId : object->GCPDeviceName;
}

void getSnapTagFromUuidOrId(GcpObject* object, std::string& tag) {
    tag = object->SnapUuid.empty() ? object->SnapResourceId : object->SnapUuid;
}

int getSnapUUID(GcpObject* object) {
    std::bitset<64> options;
    options.set(0);
    return object->snapInfo->getSnapName("-", options, &object->SnapUuid) ? 1 : 0;
}

}  // namespace DuVavaZid
