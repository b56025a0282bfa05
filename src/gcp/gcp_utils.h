// The operations of one call, bound to its context. Members are defined in
// several files by operation family; a helper that only its own file uses
// stays out of this class, in that file.
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
    int performDestAccLogon();
    void rest_resetCtx();

    // Identity of the local instance from the metadata server.
    int getGCPMetaDetails();
    int getMNInstanceDetails();
    // GET of an instance path; the response stays in the context.
    int rest_getInstanceDetails(const std::string& path, GcpCtx* ctx);

    // Local devices.
    int isGoogleDevice(const std::string& deviceName);
    int processSCSIDetails(std::vector<short>& pageCodes, int flags);
    // One INQUIRY: cdb is 6 bytes, buffer receives up to 255 bytes.
    int doSCSIInquiry(const char* devicePath, const unsigned char* cdb, unsigned char* buffer);
    // One INQUIRY for pageCode into a cleared buffer of kInquiryBufferLength
    // bytes, dumped to the log when it succeeds.
    int inquirePage(const char* devicePath, short pageCode, unsigned char* buffer);
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
    // safe-point snapshot of the old disk and an undo. The steps a worker
    // runs, and the queries the undo relies on.
    int generateSafePointSnapName(GcpObject* object, GcpCtx* ctx);
    // The record of a revert request of the given type on the snapshot's
    // disk, or on its safe-point snapshot for "snapshot-create".
    GcpReqOpInfo revertRecord(const GcpObject* object, const char* type) const;
    GcpStep detachDiskStep(GcpObject* object);
    GcpStep safePointStep(GcpObject* object);
    GcpStep deleteDiskStep(GcpObject* object);
    GcpStep diskFromSnapshotStep(GcpObject* object);
    GcpStep diskFromSafePointStep(GcpObject* object);
    GcpStep attachDiskStep(GcpObject* object);
    GcpStep deleteSafePointStep(GcpObject* object);
    int rest_getDiskAttachStatus(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec, bool& attached);
    int rest_checkWhetherDiskExists(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                                    bool& exists);

    // Error reporting.
    void logErrorDetails(GcpCtx* ctx);

    // Source disks and the local instance's attachments.
    int getGcpDeviceDetails(GcpObject* object, GcpCtx* ctx);
    int processGetOriginalGcpDeviceNameResp(GcpObject* object, GcpCtx* ctx);
    int processGetGcpDeviceDetailsResp(GcpObject* object, GcpCtx* ctx);
    int getSourceGcpDeviceDetails();
    int getGcpDeviceDetailsUsingGcpDevNameOrId(GcpObject* object, GcpCtx* ctx);
    int processGetGcpDeviceDetailsUsingGcpDevIdResp(GcpObject* object, GcpCtx* ctx);
    int checkAndSetDiskType(GcpObject* object, GcpCtx* ctx);
    int getReplicaZoneURLs();
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
    int rest_deleteSnap(GcpObject* object, GcpCtx* ctx);

    // Parallel phases: fn runs once per snapshot (items receive one work item
    // each) on the worker pool, at most ThreadCount at a time, each worker in
    // a session of its own; returns when all have ended.
    void initThreadPool(const std::string& name);
    void runOnWorkers(const char* name, void* (*fn)(void*), std::list<SnapOpReqParams>& items,
                      const char* verb);
    // A worker whose snapshot failed: the others stop at their next step.
    void stopOtherWorkers(const GcpObject* object, const char* verb);
    // After a parallel phase in which failed snapshots failed: the call's
    // result is the first worker failure, on the first record too.
    int reportWorkersFailure(size_t failed, const char* verb);

    // Snapshot creation: the body of a createSnapshot request.
    void buildJSONForCreateSnapReq(GcpObject* object, const long& jobId);

    // Clones: map and unmap.
    int getCloneDetails();
    int initCloneInfo(GcpObject* object);
    int generateCloneName(GcpObject* object);
    void buildJSONForAttachCloneReq(GcpObject* object, const long& jobId);
    // The record of a clone request of the given type.
    GcpReqOpInfo cloneRecord(const GcpObject* object, const char* type) const;
    // Where the clone lives: this instance's zone, or the restore's
    // destination project and its zone or region.
    std::string cloneLocationPath(const GcpObject* object) const;
    GcpStep cloneDetachStep(GcpObject* object);

    // Interim clones and snapshots of restores into another project.
    int createInterimClones();
    int createInterimSnaps();
    int deleteInterimClones();
    int deleteInterimSnaps();
    int initInterimCloneInfo(GcpObject* object);
    int processGetInterimCloneDetails(GcpObject* object, GcpCtx* ctx);

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
    // The body of an attachDisk request and the attach or detach path of
    // this instance.
    static std::string attachBody(const std::string& source, const std::string& deviceName);
    std::string ownInstancePath(bool attach, const std::string& deviceName) const;

    // Following long-running work.
    BXSnapRESTAPI_Gcp* activeClient();
    void restoreComputeBasePath();
    int monitorSnapOpProgress(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                              bool waitForCompletion);
    int processGetSnapOpProgressResp(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int processResponseForSnapOpAndTargetLink(GcpCtx* ctx, GcpReqOpInfo& rec);
    int monitorResourceStatus(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec,
                              bool waitForCompletion);
    int processGetResourceStatusResp(GcpObject* object, GcpCtx* ctx, GcpReqOpInfo& rec);
    int monitorGcpRequests(std::vector<std::pair<GcpObject*, GcpReqOpInfo*>>& requests,
                           GcpCtx* ctx);
    void addFailedEntity(const std::string& type, const std::string& name,
                         std::map<std::string, std::vector<std::string>>& failed);

    GcpCtx* ctx;
    std::unique_ptr<GcpUtils> secondUtils;

    // Requests shared by every operation, repeated after transient answers.
    // One GET of a path relative to the API base path (the source client unless
    // another is given); the response stays in the context.
    bool restGet(const std::string& path, BXSnapRESTAPI_Gcp* client = nullptr);
    // The retry policy for transient answers under a wait's own settings: its
    // attempt count, and pauses that start at its interval, at most 1 s, and
    // add up to at most count x interval (the account's settings shape the
    // policy of every other request the same way).
    static RetryPolicy waitRetryPolicy(const GcpReqOpInfo& rec);
    // GET of the session's restApiPath through client, repeated after a
    // transient answer as policy allows; false with the last answer in the
    // session when it failed for good.
    bool getRetrying(BXSnapRESTAPI_Gcp* client, const RetryPolicy& policy);
    // POST or DELETE of the session's request with a requestId, the same on
    // every repeat (GCP then returns the first Operation instead of doing the
    // work twice), repeated after a transient answer as the account allows.
    bool sendMutating(bool post, BXSnapRESTAPI_Gcp* client);
    // After a failed wait: the Operation in the session's answer ended with
    // an error that asks for the work to be tried again later.
    bool operationRateLimited() const;
    // Runs a step that starts GCP work and follows it to its end; when GCP
    // ended the step's Operation with a rate error (nothing was done), the
    // step runs again with the account's backoff. what names it in the log.
    int runRetryingRateLimits(const std::function<int()>& step, const std::string& what);
    // The same when the first try has already run and ended with rc.
    int retryRateLimited(int rc, const std::function<int()>& step, const std::string& what);
    // As restGet for an instance, answered from the current lookup loop's
    // earlier read of the same instance when there is one (InstanceReadScope).
    bool restGetInstance(const std::string& path);

    // Failure reports.
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

int getSnapOpStatus(const GcpReqOpInfo& rec);
bool operationFailed(const jsonxx::Object& response);
// The disk's name for messages: its GCP name once looked up, else the name or
// id stored with the snapshot.
std::string deviceNameOf(const GcpObject* object);
int getResourceStatus(const GcpReqOpInfo& rec);
void extractJSONxxArrayElements(const jsonxx::Object& object, const std::string& name,
                                std::vector<std::string>& out);

// The pool's thread entry for a per-snapshot worker: the pool hands each
// thread one of runOnWorkers' items.
template <void (*Work)(GcpUtils*, GcpObject*)>
void* workerEntry(void* params) {
    auto* item = static_cast<SnapOpReqParams*>(params);
    Work(item->utils, item->object);
    return nullptr;
}

}  // namespace DuVavaZid
