// The context of one exported call: the host's records, one internal object
// per snapshot, the account and its configuration, the REST clients, the
// worker pool, the lock and the call's error.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "context/failure.h"
#include "context/records.h"
#include "context/stored_items.h"
#include "host/debug_log.h"
#include "host/snap_info.h"
#include "host/threads.h"

class BXSnapRESTAPI_Gcp;

namespace DuVavaZid {

enum GcpOpCode : short {
    GCP_OP_PREPARE = 1,
    GCP_OP_SNAP = 2,
    GCP_OP_MAP = 3,
    GCP_OP_UNMAP = 4,
    GCP_OP_REVERT = 5,
    GCP_OP_DELETE = 6,
    GCP_OP_RECONCILE = 7,
    GCP_OP_IS_SUPPORTED = 8,
    GCP_OP_POST_SNAP = 9,
};

// Internal error codes of the context and the operations.
enum GcpErr : int {
    GCP_ERR_NONE_YET = -1,
    GCP_OK = 0,
    GCP_ERR_EMPTY_SOURCE = 2,
    GCP_ERR_SCSI_INQUIRY = 3,
    GCP_ERR_NOT_GOOGLE = 4,
    GCP_ERR_EMPTY_ID_DATA = 5,
    GCP_ERR_HOST_ITEM = 6,
    GCP_ERR_SNAP_COUNT = 7,
    GCP_ERR_EMPTY_INPUT = 8,
    GCP_ERR_MULTI_ARRAY = 9,
    GCP_ERR_NO_ARRAY = 10,
    GCP_ERR_CONNECT = 13,
    GCP_ERR_RESPONSE = 14,
    GCP_ERR_GCP = 15,
    GCP_ERR_EMPTY_METADATA = 16,
    GCP_ERR_INTERNAL = 17,
    GCP_ERR_NOT_FOUND = 18,
    GCP_ERR_NO_UTIL = 19,
    GCP_ERR_MIXED_DEVICES = 20,
    GCP_ERR_RUNNING = 25,
    GCP_ERR_UPLOADING = 26,
    GCP_ERR_PENDING = 27,
    GCP_ERR_BACKEND = 28,
};

// Metadata keys stored on the host records.
enum GcpMetaKey : int {
    GCP_META_SNAP_UUID = 6,
    GCP_META_TRANSIENT = 102,
    GCP_META_CLOUD_LOCATION = 154,
    GCP_META_SNAP_OP_LINK = 155,
    GCP_META_DEVICE_TYPE = 156,
    GCP_META_SERVICE_ACCOUNT = 157,
    GCP_META_INTERIM_CLONE = 163,
    GCP_META_LABELS = 167,
};

// What one thread needs to talk to GCP: its REST clients (each with its own
// connection), the exchange in flight and the error it left. The calling
// thread has the context's own session; every worker of a parallel phase
// borrows another, so no two threads ever share a request, an answer or an
// error text.
struct RestSession {
    RestSession() = default;
    RestSession(const RestSession&) = delete;
    RestSession& operator=(const RestSession&) = delete;
    void resetExchange();
    void resetError();

    std::unique_ptr<BXSnapRESTAPI_Gcp> restClient;
    std::unique_ptr<BXSnapRESTAPI_Gcp> destRestClient;
    std::string restApiPath;
    std::string restRequest;
    std::string restResponse;
    std::string metadataBuffer;
    int ErrCode = -1;
    std::stringstream ErrStr;
    std::stringstream restErrStr;
    short restErrorFlag = 0;
};

class GcpCtx {
  public:
    GcpCtx(BXSO::BXOSUtil* util, long flags, int opCode);
    ~GcpCtx();
    GcpCtx(const GcpCtx&) = delete;
    GcpCtx& operator=(const GcpCtx&) = delete;

    void reset();
    int initialize(BXSO::SnapInfo** snaps, int count);
    int validateSnapList(BXSO::SnapInfo** snaps, int count);
    int fetchAndFillSnapInfo();
    int determineWhetherHPXDevice(GcpObject* object);

    int getArrayDetailsFromDB();
    int getArrayDetails();
    int readAndSetArrayConfigs();
    int getBaseDirectoryPath(std::string& path);
    void dumpArrayDetails();

    int setSnapMetadata(GcpObject* object);
    int updateSnapMetadataWithSnapId(GcpObject* object);
    int updateSnapMetadataWithGcpDeviceId(GcpObject* object);
    int fillSnapObjectFromMetadata(GcpObject* object);

    void resetError();
    void prependErrorMsg(const std::string& msg);
    // fallback, when not empty, is the reason used for an answer that is no
    // GCP error document.
    void extractRESTErrorMsgs(const std::string& fallback = std::string());
    void logRESTDetails();
    void dump();
    int checkAndTryLock();
    void checkAndReleaseLock();

    // The session of the calling thread: a worker's own while it runs inside
    // a WorkerSession, the context's otherwise.
    RestSession& session();
    const RestSession& session() const;
    // Keeps the first failure of the call (code and text); later ones are
    // only logged. Safe from any thread.
    void noteFailure(int code, const std::string& text);
    // After a parallel phase: the first failure of any worker becomes the
    // calling thread's error, the call's result. False when none failed.
    bool adoptFirstFailure();

    // One debug-log line tagged with the job id.
    void log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Records a failure: sets ErrCode, appends msg to ErrStr, writes one line at
    // level -1 with logFormat ("...%d...%s...": the code and the whole ErrStr
    // text) and returns the code.
    int fail(int code, const std::string& msg, const char* logFormat = logfmt::kReport,
             const std::string& detail = std::string());
    // Writes the error already set with logFormat (one of logfmt's); detail
    // is the device of kNotGoogle and kPrepareDevice.
    void logFailure(const char* logFormat, const std::string& detail = std::string());
    std::string errText() const { return session().ErrStr.str(); }
    BXSO::SnapInfo* firstRecord() const;
    GcpObject* firstObject() const;

    BXSO::BXOSUtil* osUtil = nullptr;
    BXSO::SnapInfo** snapList = nullptr;
    std::unique_ptr<HostDebug> debugLog;
    long long JobId = -123456;
    long Flags = 0;
    short OpCode = 0;
    int SnapCount = 0;
    std::map<long, GcpObject*> snapMap;
    ArrayDetails arrayDetails;
    std::string projectId;
    std::string projectNumId;
    std::string projectName;
    std::string instanceId;
    std::string instanceName;
    std::string instanceHostName;
    std::string instanceZone;
    std::string serviceAccount;
    bool useServiceAccount = false;
    RestoreInfo restoreInfo;
    std::map<std::string, std::string> zoneUrlMap;
    // Answers of instance GETs kept for one lookup loop, so that N disks of
    // one instance cost one read: only while an InstanceReadScope is open,
    // and only on the thread that opened it (a read outside the loop, or a
    // worker's, must see the instance as it is now).
    std::map<std::string, std::string> instanceReads;
    std::thread::id instanceReadsOwner;
    bool hpxMode = false;
    bool restoreOptionsFound = false;
    bool destAccountInUse = false;
    std::unique_ptr<GcpMapCtx> mapCtx;
    // Read by workers without the lock.
    std::atomic<bool> preemptFlag{false};
    BxCriticalSection ctxLock;
    std::atomic<bool> threadsInUse{false};
    bool pemPrivateKey = false;
    bool guestFlushEnabled = false;
    BxThreadPool threadPool;
    bool skipSnapStatusCheck = false;
    long snapStatusCheckRetryCount = 100;
    long snapStatusCheckRetryIntervalMs = 300;

  private:
    friend class WorkerSession;
    void deleteObjects();
    RestSession main_;
    // Sessions of finished workers, handed to the next so that a phase opens
    // at most ThreadCount connections; guarded by sessionsMutex_.
    std::vector<std::unique_ptr<RestSession>> idleSessions_;
    std::mutex sessionsMutex_;
    int firstFailureCode_ = 0;
    std::string firstFailureText_;
    int readRestoreOptions(GcpObject* first);
    int readPrivateKeyConfig(BXSO::SnapInfo* record);
    int readMetadataItem(GcpObject* object, int key, const char* readFailMsg, const char* emptyMsg,
                         bool* done);
    int metadataFieldMissing(const std::string& head, const char* format);
};

// A worker's REST session for one work item: borrowed from the context (or
// made, with clients configured like the context's and sharing their
// tokens), installed as the thread's session, and on leaving the worker's
// failure goes to its record and, when it is the first, to the call.
class WorkerSession {
  public:
    WorkerSession(GcpCtx* ctx, GcpObject* object);
    ~WorkerSession();
    WorkerSession(const WorkerSession&) = delete;
    WorkerSession& operator=(const WorkerSession&) = delete;
    // False when no client could be made; the session's error says why.
    bool ready() const { return ready_; }

  private:
    GcpCtx* ctx_;
    GcpObject* object_;
    std::unique_ptr<RestSession> session_;
    RestSession* previous_ = nullptr;
    const GcpCtx* previousOwner_ = nullptr;
    bool ready_ = false;
};

// Holds the context lock for one scope when worker threads run. The lock
// guards only what the workers share (the records' call-wide state, the
// call's first failure, preemptFlag) and is never held across a request or
// a pause.
class CtxLockGuard {
  public:
    explicit CtxLockGuard(GcpCtx* ctx) : ctx_(ctx) { ctx_->checkAndTryLock(); }
    ~CtxLockGuard() { ctx_->checkAndReleaseLock(); }
    CtxLockGuard(const CtxLockGuard&) = delete;
    CtxLockGuard& operator=(const CtxLockGuard&) = delete;

  private:
    GcpCtx* ctx_;
};

}  // namespace DuVavaZid
