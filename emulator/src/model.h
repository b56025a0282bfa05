// The emulated world: projects, zones and regions, instances, disks, snapshots, Operations,
// service accounts and tokens. Plain data; the emulator guards it with one mutex.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace gce {

using Json = nlohmann::ordered_json;

// Where a zonal, regional or global resource lives: "zones/Z", "regions/R" or "global".
struct Scope {
    enum Kind { Zone, Region, Global } kind = Global;
    std::string name;
    std::string path() const {
        return kind == Zone ? "zones/" + name : kind == Region ? "regions/" + name : "global";
    }
};

struct Project {
    std::string id, number;
};

struct Zone {
    std::string project, name, region, id;
};

struct Region {
    std::string project, name, id;
};

struct Attachment {
    std::string diskPath;  // projects/P/zones/Z/disks/D (or regions/R)
    std::string deviceName;
    int index = 0;
    bool boot = false;
    std::string mode = "READ_WRITE";
    std::string interface = "SCSI";
    bool autoDelete = false;
};

struct Instance {
    std::string project, zone, name, id;
    std::string machineType = "e2-standard-4";
    std::string status = "RUNNING";
    std::string serviceAccount;  // email of its default service account
    // Access scopes of that account on this VM: its metadata-server tokens
    // reach only the APIs these allow.
    std::vector<std::string> scopes{"https://www.googleapis.com/auth/cloud-platform"};
    std::string hostname;  // empty = NAME.ZONE.c.PROJECT.internal
    std::vector<Attachment> disks;
    int64_t createdMs = 0;
};

struct Disk {
    std::string project, name, id;
    Scope scope;  // Zone or Region
    std::string type = "pd-balanced";
    int64_t sizeGb = 10;
    Json labels = Json::object();
    std::string description;
    std::string sourceSnapshotPath, sourceSnapshotId;
    std::vector<std::string> replicaZones;  // zone names
    std::vector<std::string> users;         // instance paths
    std::string kmsKeyName;
    // Paths "projects/P/regions/R/resourcePolicies/N" (snapshot schedules).
    std::vector<std::string> resourcePolicies;
    int64_t createdMs = 0;
    int64_t readyMs = 0;    // CREATING until then
    bool deleting = false;  // a delete Operation is running
    std::string path() const {
        return "projects/" + project + "/" + scope.path() + "/disks/" + name;
    }
};

struct Snapshot {
    std::string project, name, id;
    std::string sourceDiskPath, sourceDiskId;
    int64_t diskSizeGb = 10;
    Json labels = Json::object();
    std::string description;
    std::string storageLocation = "us";
    bool guestFlush = false;
    int64_t createdMs = 0;
    int64_t uploadingMs = 0;  // CREATING until then
    int64_t readyMs = 0;      // UPLOADING until then
    bool deleting = false;
    std::string path() const { return "projects/" + project + "/global/snapshots/" + name; }
};

struct OperationError {
    int httpStatus = 400;
    std::string code, message;
};

struct Operation {
    std::string project, name, id;
    Scope scope;
    std::string type;  // insert, delete, createSnapshot, attachDisk, detachDisk
    std::string targetPath, targetId;
    std::string user;
    int64_t insertMs = 0, startMs = 0, doneMs = 0;
    bool applied = false;  // completion effect done
    bool failed = false;
    OperationError error;
    // What completion does.
    std::string effect;  // "", diskReady, diskDelete, snapshotReady, snapshotDelete, attach, detach
    Json effectArgs = Json::object();
    std::string path() const {
        return "projects/" + project + "/" + scope.path() + "/operations/" + name;
    }
};

struct ServiceAccount {
    std::string email, keyId, privateKeyPem, publicKeyPem;
    std::vector<std::string> projects;  // projects it has a role on
    // IAM permissions its roles lack there (e.g. "compute.disks.createSnapshot").
    std::vector<std::string> deniedPermissions;
    bool writeKeyFiles = true;
    std::string pemFile, p12File, jsonFile;  // written at start
};

struct Token {
    std::string email;
    int64_t expiresMs = 0;
    // A metadata-server token reaches only the APIs its VM's scopes allow; one
    // from a key is not limited by scopes.
    std::vector<std::string> scopes;
    bool limited = false;
};

struct ScsiExtraDevice {
    std::string path, vendor, product, revision, designator;
    int peripheralType = 0;
    // An NVMe namespace (path /dev/nvme*) instead of a SCSI disk: its
    // controller's model (a local SSD reports "nvme_card") and the bytes put
    // at the start of its vendor-specific area, NUL-terminated unless they
    // fill the area.
    std::string model = "nvme_card";
    std::string vendorArea;
};

// A disk of this VM as the guest sees it: /dev/sdX on virtio-scsi, or an NVMe
// namespace /dev/nvme0nN (N from 1).
struct ScsiSlot {
    std::string deviceName;
    int hiddenListCalls = 0;  // appears after this many list/rescan calls
};

struct World {
    std::map<std::string, Project> projects;                // by id
    std::map<std::string, Zone> zones;                      // by "P/zone"
    std::map<std::string, Region> regions;                  // by "P/region"
    std::map<std::string, Instance> instances;              // by path
    std::map<std::string, Disk> disks;                      // by path
    std::map<std::string, Snapshot> snapshots;              // by path
    std::map<std::string, Operation> operations;            // by path
    std::map<std::string, ServiceAccount> accounts;         // by email
    std::map<std::string, Token> tokens;                    // by token text
    std::string thisVm;                                     // instance path of "this VM"
    std::map<std::string, ScsiSlot> scsiLetters;            // "/dev/sdb" -> attachment of this VM
    std::vector<ScsiExtraDevice> extraDevices;              // devices that are not Google disks
    std::map<std::string, std::string> guestFlushFailures;  // disk path -> ""
    uint64_t idCounter = 0;
};

}  // namespace gce
