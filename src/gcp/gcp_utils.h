// The operations of one call, bound to its context. Members are defined in
// several files by operation family.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/jsonxx.h"
#include "common/retry.h"

#include "context/gcp_ctx.h"
#include "gcp/step.h"

class BxDeviceNvmeIface;

namespace DuVavaZid {

class GcpUtils {
  public:
    explicit GcpUtils(GcpCtx* ctx) : ctx(ctx) {}
    GcpUtils(const GcpUtils&) = delete;
    GcpUtils& operator=(const GcpUtils&) = delete;

    // Loops over every record of the context.
    void setSnapStatus(BXSO::SnapStatus status);
    void setSnapFlags(int flags);

    // Metadata items that belong to an operation family.
    int setSnapOpLinkInMetadata(const std::string& link, GcpObject* object, GcpCtx* ctx);
    int getSnapOpLinkFromMetadata(std::string& link, GcpObject* object, GcpCtx* ctx);
    int setInterimCloneInfoMetadata(GcpObject* object, GcpCtx* ctx);
    int getInterimCloneInfoMetadata(GcpObject* object, GcpCtx* ctx);

    // Connection.
    int rest_connectToArray();
    int rest_initializeClient(std::unique_ptr<BXSnapRESTAPI_Gcp>& slot);
    int rest_connectUsingOAuth(const std::string& serviceAccountId, const std::string& privateKey,
                               const std::string& password, BXSnapRESTAPI_Gcp* client);
    int performDestAccLogon();
    void rest_resetCtx();

    // Identity of the local instance from the metadata server.
    int getGCPMetaDetails();
    int getMNInstanceDetails();
    int rest_getGcpProjectId();
    int rest_getGcpProjectNumId();
    int rest_getGcpInstanceId();
    int rest_getGcpInstanceName();
    int rest_getGcpInstanceHostName();
    int rest_getGcpInstanceZone();
    int rest_getGcpDefaultServiceAccount();
    // GET of an instance path; the response stays in the context.
    int rest_getInstanceDetails(const std::string& path, GcpCtx* ctx);

    // Local devices.
    int isGoogleDevice(const std::string& deviceName);
    int processSCSIDetails(std::vector<short>& pageCodes, int flags);
    // One INQUIRY: cdb is 6 bytes, buffer receives up to 255 bytes.
    int doSCSIInquiry(const char* devicePath, const unsigned char* cdb, unsigned char* buffer);
    // doSCSIInquiry for an NVMe namespace: the Identify data answers the
    // standard INQUIRY and page 83h as a persistent disk on SCSI would.
    int nvmeInquiry(BxDeviceNvmeIface* nvme, const std::string& path, const unsigned char* cdb,
                    unsigned char* buffer);
    int getStdDetailsFromSCSIInq(const unsigned char* buffer, std::string& vendor,
                                 std::string& product, std::string& revision);
    int getGCPDevNameFromSCSIInq(const unsigned char* buffer, std::string& deviceName);
    int checkGCPDevNameFromSCSIInq(const char* devicePath, const std::string& deviceName);
    int checkArrayIdAndSet(const char* devicePath, const std::string& arrayName);
    void dumpHexBuffer(short length, const unsigned char* buffer);

    // Local devices that appear after an attach.
    int getDeviceList(GcpMapCtx* mapCtx, bool before);
    void getDiffDeviceList(std::vector<std::string>& out);
    int checkForMappedDevices(GcpMapCtx* mapCtx, const std::vector<std::string>& candidates,
                              int& found);
    int waitForMappedDevices(GcpMapCtx* mapCtx, int expected, int found);

    // Lookups and operations.
    int discoverArrayVolumeDetails();
    int createSnaps();
    int postCreateSnaps();
    int mapSnaps();
    int unmapSnaps();
    bool checkSnapStatusForDelete();
    int deleteSnaps();
    int reconSnaps();
    int revertSnaps();

    // Revert: each snapshot's disk replaced by a disk made from it, with a
    // safe-point snapshot of the old disk and an undo.
    static void* revertSnap(void* params);
    static void* undoRevertSnap(void* params);
    int generateSafePointSnapName(GcpObject* object, GcpCtx* ctx);
    int getSafepointSnapDetails(GcpObject* object, GcpCtx* ctx);
    int deleteSafepointSnaps(GcpCtx* ctx);
    int checkAndDetachDisk(GcpObject* object, GcpCtx* ctx);
    int checkAndDeleteDisk(GcpObject* object, GcpCtx* ctx);
    int checkAndCreateDiskFromSafepointSnap(GcpObject* object, GcpCtx* ctx);
    int checkAndAttachDisk(GcpObject* object, GcpCtx* ctx);
    GcpStep detachDiskStep(GcpObject* object);
    GcpStep safePointStep(GcpObject* object);
    GcpStep deleteDiskStep(GcpObject* object);
    GcpStep diskFromSnapshotStep(GcpObject* object);
    GcpStep diskFromSafePointStep(GcpObject* object);
    GcpStep attachDiskStep(GcpObject* object);
    GcpStep deleteSafePointStep(GcpObject* object);
    int buildJSONForCreateSafePointSnapReq(GcpObject* object, GcpCtx* ctx);
    int rest_getDiskIdByURL(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int rest_getDiskAttachStatus(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec, bool& attached);
    int rest_checkWhetherDiskExists(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                                    bool& exists);

    // Error reporting.
    void logErrorDetails(GcpCtx* ctx);

    // Source disks and the local instance's attachments.
    int getGcpDeviceDetails(GcpObject* object, GcpCtx* ctx);
    int rest_getOriginalGcpDeviceName(GcpObject* object, GcpCtx* ctx);
    int processGetOriginalGcpDeviceNameResp(GcpObject* object, GcpCtx* ctx);
    int rest_getGcpDeviceDetails(GcpObject* object, GcpCtx* ctx);
    int processGetGcpDeviceDetailsResp(GcpObject* object, GcpCtx* ctx);
    int getSourceGcpDeviceDetails();
    int getGcpDeviceDetailsUsingGcpDevNameOrId(GcpObject* object, GcpCtx* ctx);
    int rest_getGcpZonalDeviceDetailsByNameOrId(GcpObject* object, GcpCtx* ctx);
    int rest_getGcpRegionalDeviceDetailsByNameOrId(GcpObject* object, GcpCtx* ctx);
    int processGetGcpDeviceDetailsUsingGcpDevIdResp(GcpObject* object, GcpCtx* ctx);
    int checkAndSetDiskType(GcpObject* object, GcpCtx* ctx);
    int getReplicaZoneURLs();
    int rest_getZoneURLByZoneName(const std::string& zone, GcpObject* object, GcpCtx* ctx,
                                  std::string& url);
    int rest_getAttachedGcpDeviceDetails(GcpCtx* ctx);

    // Snapshots.
    int rest_getSnapResourceIdBySnapUuid(GcpObject* object, GcpCtx* ctx);
    int processGetSnapResourceIdBySnapUuidResp(GcpObject* object, GcpCtx* ctx);
    int rest_getSnapDetailsByResIdOrUuid(GcpObject* object, GcpCtx* ctx);
    int processGetSnapDetailsBySnapUuidResp(GcpObject* object, GcpCtx* ctx);
    int rest_getSnapResourceIdByName(const std::string& name, GcpObject* object, GcpCtx* ctx,
                                     std::string& resourceId);
    // goneIsFine: a snapshot no longer in GCP is logged and skipped (unmap:
    // its clone needs nothing from it), otherwise it fails the call with 18.
    int getSnapDetails(bool goneIsFine = false);
    // rest_deleteSnap, asked once more after a backend error.
    int deleteRepeatingBackendErrors(GcpObject* o);
    int rest_deleteSnap(GcpObject* object, GcpCtx* ctx);

    // Parallel phases: fn runs once per snapshot (items receive one work item
    // each) on the worker pool, at most ThreadCount at a time, each worker in
    // a session of its own; returns when all have ended.
    void initThreadPool(const std::string& name);
    void runOnWorkers(const char* name, void* (*fn)(void*), std::list<SnapOpReqParams>& items,
                      const char* verb);
    // After a parallel phase in which failed snapshots failed: the call's
    // result is the first worker failure, on the first record too.
    int reportWorkersFailure(size_t failed, const char* verb);

    // Snapshot creation.
    static void* createSnap(void* params);
    // One snapshot started and followed until captured (snap phase).
    int takeSnapshot(GcpObject* object);
    // After a failed wait: the Operation in the session's answer ended with
    // an error that asks for the work to be tried again later.
    bool operationRateLimited() const;
    int rest_createSnap(GcpObject* object, GcpCtx* ctx, std::string& opLink);
    // After createSnapshot answered 409: true (with the snapshot's own link)
    // when the snapshot of that name is the one this job's earlier attempt
    // made of this disk (its source disk, the labels and description this
    // plug-in writes); false with the refusal left in the session otherwise.
    bool adoptEarlierSnapshot(GcpObject* object, std::string& link);
    static bool isSnapshotLink(const std::string& link);
    void buildJSONForCreateSnapReq(GcpObject* object, const long& jobId);

    // Clones: map and unmap.
    int getCloneDetails();
    int initCloneInfo(GcpObject* object);
    int generateCloneName(GcpObject* object);
    int rest_getAttachedCloneDetails(GcpObject* object, GcpCtx* ctx);
    int rest_getCloneDetails(GcpObject* object, GcpCtx* ctx);
    int createClones();
    GcpStep cloneCreateStep(GcpObject* object);
    void buildJSONForCreateCloneReq(GcpObject* object, GcpCtx* ctx, jsonxx::Object& labels);
    int rest_getSnapLabels(GcpObject* object, GcpCtx* ctx, jsonxx::Object& labels);
    int attachClones();
    GcpStep cloneAttachStep(GcpObject* object);
    void buildJSONForAttachCloneReq(GcpObject* object, const long& jobId);
    int detachClones();
    int deleteClones();
    int removeClones(bool detach);
    GcpStep cloneDetachStep(GcpObject* object);
    GcpStep cloneDeleteStep(GcpObject* object);

    // Interim clones and snapshots of restores into another project.
    int createInterimClones();
    int createInterimSnaps();
    int deleteInterimClones();
    int deleteInterimSnaps();
    int initInterimCloneInfo(GcpObject* object);
    int rest_getInterimCloneDetails(GcpObject* object, GcpCtx* ctx);
    int processGetInterimCloneDetails(GcpObject* object, GcpCtx* ctx);
    int rest_getInterimSnapDetails(GcpObject* object, GcpCtx* ctx);
    void buildJSONForCreateInterimCloneReq(GcpObject* object, GcpCtx* ctx);
    void buildJSONForCreateInterimSnapReq(GcpObject* object, GcpCtx* ctx);

    // Reading GCP responses. fields lists names, "parent/name" for a member
    // of an object member: "id,name,status".
    using Fields = std::map<std::string, std::string>;
    // The listed fields of object; non-zero with the extraction's error set
    // when one is missing.
    int extractFields(const jsonxx::Object& object, const char* fields, Fields& values);
    // As extractFields, a missing field reported as failResponse(prefix, format).
    int readFields(const jsonxx::Object& object, const char* fields, Fields& values,
                   const std::string& prefix, const char* format = logfmt::kReport);
    // readFields of the session's answer.
    int readFields(const char* fields, Fields& values, const std::string& prefix,
                   const char* format = logfmt::kReport);
    void buildFieldList(const std::string& fields, std::vector<std::string>& names);
    int extractValuesFromJSONObject(const std::vector<std::string>& names,
                                    const jsonxx::Object& object,
                                    std::map<std::string, std::string>& values);
    int getValueFromJSONObject(const std::string& name, const jsonxx::Object& object,
                               std::string& value, bool& isContainer);
    void dumpRESTKeyValueMap(const std::map<std::string, std::string>& values);
    int processFailedRequest(GcpObject* object, GcpCtx* ctx);
    bool hasBackendError(const std::string& response);
    void setErrorDetailsForSnapObj(GcpObject* object, GcpCtx* ctx, int code, const char* message);

    // Steps: a request started, its Operation and resource followed.
    GcpReqOpInfo opRecord(const char* type, uint8_t entityType,
                          const std::string& entityName) const;
    int runStep(GcpObject* object, GcpStep& step);
    // The two halves of runStep, for batches that start every request
    // before following any (no begin text, no precheck).
    int startStep(GcpStep& step, GcpReqOpInfo& rec);
    int followStep(GcpObject* object, const GcpStep& step, GcpReqOpInfo& rec);
    int sendStepRequest(const StepRequest& request);
    // The body of an attachDisk request and the attach or detach path of
    // this instance.
    static std::string attachBody(const std::string& source, const std::string& deviceName);
    std::string ownInstancePath(bool attach, const std::string& deviceName) const;

    // Following long-running work.
    BXSnapRESTAPI_Gcp* activeClient();
    void restoreComputeBasePath();
    int monitorSnapOpProgress(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                              bool waitForCompletion);
    int rest_getSnapOpProgress(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int processGetSnapOpProgressResp(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int processResponseForSnapOpAndTargetLink(GcpCtx* ctx, GcpReqOpInfo& rec);
    int monitorResourceStatus(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                              bool waitForCompletion);
    int rest_getResourceStatus(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int processGetResourceStatusResp(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int monitorGcpRequests(std::vector<std::pair<GcpObject*, GcpReqOpInfo*>>& requests,
                           GcpCtx* ctx);
    void addFailedEntity(const std::string& type, const std::string& name,
                         std::map<std::string, std::vector<std::string>>& failed);

    GcpCtx* ctx;
    std::unique_ptr<GcpUtils> secondUtils;

    // One GET of a path relative to the API base path (the source client unless
    // another is given); the response stays in the context.
    bool restGet(const std::string& path, BXSnapRESTAPI_Gcp* client = nullptr);
    // The retry policy for transient answers under the account's settings
    // (its retry count, and pauses that start at its interval, at most 1 s,
    // and add up to at most count x interval), or for a wait's own settings.
    RetryPolicy accountRetryPolicy() const;
    static RetryPolicy waitRetryPolicy(const GcpReqOpInfo& rec);
    // GET of the session's restApiPath through client, repeated after a
    // transient answer as policy allows; false with the last answer in the
    // session when it failed for good.
    bool getRetrying(BXSnapRESTAPI_Gcp* client, const RetryPolicy& policy);
    // Sends until send succeeds or its failure is not transient or policy is
    // spent; each repeat is logged ("to <what> - <action> after sleeping...").
    bool sendRepeating(const std::function<bool()>& send, BXSnapRESTAPI_Gcp* client,
                       const RetryPolicy& policy, const std::string& what, const char* action);
    // POST or DELETE of the session's request with a requestId, the same on
    // every repeat (GCP then returns the first Operation instead of doing the
    // work twice), repeated after a transient answer as the account allows.
    bool sendMutating(bool post, BXSnapRESTAPI_Gcp* client);
    // Runs a step that starts GCP work and follows it to its end; when GCP
    // ended the step's Operation with a rate error (nothing was done), the
    // step runs again with the account's backoff. what names it in the log.
    int runRetryingRateLimits(const std::function<int()>& step, const std::string& what);
    // The same when the first try has already run and ended with rc.
    int retryRateLimited(int rc, const std::function<int()>& step, const std::string& what);
    // As restGet for an instance, answered from the current lookup loop's
    // earlier read of the same instance when there is one (InstanceReadScope).
    bool restGetInstance(const std::string& path);
    // Reports a failed request: logs the exchange, collects GCP's messages,
    // sets code and sentence (with " REST error returned by GCP [...]" when GCP
    // said something), copies the error to the object's record when there is
    // one, and logs logfmt::kWithUrl.
    int failRequest(GcpObject* object, int code, const std::string& sentence);
    // Reports an unusable answer: logs the exchange, puts prefix in front of
    // the error text (which holds what the extraction found missing) and logs
    // it with format; returns the context's code.
    // code, when not 0, replaces the context's first.
    int failResponse(const std::string& prefix, const char* format = logfmt::kReport, int code = 0);
    // Reports a failure that concerns object: code and msg, logged with the
    // request's path (logfmt::kWithUrl), copied to the object's record.
    int failFor(GcpObject* object, int code, const std::string& msg);
    // Reports an answer that does not match what the object expects.
    int failMismatch(int code, const std::string& msg);
    // A loop over snapshots resets the context's error as it goes on; these
    // keep the first failure's code and text and put them back for the call's
    // result, or the fallback sentence when no step left a text.
    struct KeptFailure {
        int code = 0;
        std::string text;
    };
    void keepFirstFailure(KeptFailure& kept) const;
    void reportKeptFailure(const KeptFailure& kept, const std::string& fallback);
    // After a failed GET: true when GCP answered 404 with an error body that
    // says not found; the context's error is then cleared.
    bool answeredNotFound(GcpObject* object, BXSnapRESTAPI_Gcp* client);

  private:
    // Interim objects.
    bool needsInterimObjects(const GcpObject* object) const;
    std::string interimDiskPath(const GcpObject* object) const;
    std::string interimSnapPath(const GcpObject* object) const;
    struct InterimRequests;
    GcpStep interimStep(GcpObject* object, bool clone, bool create);
    int followInterimCreates(InterimRequests& batch);
    int startInterimCreate(GcpObject* object, bool clone, InterimRequests& batch);
    void startInterimDelete(GcpObject* object, bool clone, int& total, InterimRequests& batch);
    void finishInterimDeletes(InterimRequests& batch, int total, const char* statsFormat);
    int followOperation(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec, bool waitForCompletion);
    int followResource(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec, bool waitForCompletion);
    int failLinkMissing(GcpCtx* ctx, const GcpReqOpInfo& rec, const char* what);
    int failOperationOf(GcpObject* object);
    // While a resource is not found: its Operation's error when that
    // Operation (rec.selfLink) ended failed, else 0.
    int failedOperationOf(GcpObject* object, GcpCtx* ctx, const GcpReqOpInfo& rec);
    int missingLocation(GcpObject* object);
    void copyDiskProperties(GcpObject* object, const jsonxx::Object& response);
    std::string snapDetailsHead(const GcpObject* object) const;
    void readCreationSettings();
    void fillCreateRecord(GcpReqOpInfo& rec, const GcpObject* object, bool snapPhase) const;
    int recordCreatedSnapshot(GcpObject* object);
    int failSnapshot(GcpObject* object);
    int retakeWithoutGuestFlush();
    int followCreatedSnaps();
    GcpReqOpInfo cloneRecord(const GcpObject* object, const char* type) const;
    std::string cloneLocationPath(const GcpObject* object) const;
    int discoverMappedClones(int& mapped);
    // Revert helpers.
    GcpReqOpInfo revertRecord(const GcpObject* object, const char* type) const;
    GcpStep createDiskStep(GcpObject* object, bool fromSafePoint);
    int readyDiskExists(GcpObject* object, const char* type, bool& exists);
    std::string diskLocationPath(const GcpObject* object) const;
    void buildDiskBody(GcpObject* object, const std::string& sourceSnapshot, bool withLabels);
    int readNewDiskId(GcpObject* object, GcpReqOpInfo& rec);
    int undoByState(GcpObject* object);
    // Where a disk stands after its undo gave up, for the operator: missing,
    // detached or attached, and which safe-point snapshot holds its data.
    std::string describeDiskStanding(GcpObject* object);
    // Whether the safe-point snapshot of a failed revert is in GCP.
    bool safePointKept(GcpObject* object);
    int rediscoverRevertedDisks(size_t expected);
};

// Lets a lookup loop read each instance once: its answers are kept until the
// scope ends. Only for loops that change no instance while they run.
class InstanceReadScope {
  public:
    explicit InstanceReadScope(GcpCtx* ctx);
    ~InstanceReadScope();
    InstanceReadScope(const InstanceReadScope&) = delete;
    InstanceReadScope& operator=(const InstanceReadScope&) = delete;

  private:
    GcpCtx* ctx_;
};

// A member read as text the way the analysis reads it: strings as they are,
// booleans as "true"/"false", numbers as 32-bit integers (clamped), null as
// "null"; false when absent. Containers give an empty text and isContainer.
bool jsonMemberAsText(const jsonxx::Object& object, const std::string& name, std::string& value,
                      bool& isContainer);
int getSnapOpStatus(const GcpReqOpInfo& rec);
bool operationFailed(const jsonxx::Object& response);
// The disk's name for messages: its GCP name once looked up, else the name or
// id stored with the snapshot.
std::string deviceNameOf(const GcpObject* object);
int getResourceStatus(const GcpReqOpInfo& rec);
void extractJSONxxArrayElements(const jsonxx::Object& object, const std::string& name,
                                std::vector<std::string>& out);

}  // namespace DuVavaZid
