#include "host_record.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_list.h"
#include "session.h"

namespace bxhost {

namespace {

// getHostInfo category and id of the deployment's id; getIntProperty id of
// the job that made the snapshot; getSourceInfo key of the VM owning HPX disks.
constexpr int kHostInfoCategory = 4;
constexpr int kHostInfoCellId = 153;
constexpr int kIntPropertyBackupJob = 13;
constexpr int kSourceInfoInstance = 10;

bool parseInt(const std::string& text, int* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

HostRecord::HostRecord(Session& session, SnapRow row, std::map<int, MetaItem> metadata)
    : session_(session), row_(std::move(row)), metadata_(std::move(metadata)) {}

SnapRow HostRecord::row() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return row_;
}

std::map<int, MetaItem> HostRecord::metadataCopy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return metadata_;
}

int HostRecord::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return row_.status;
}

bool HostRecord::persistLocked() {
    if (session_.catalog().updateSnapshot(row_)) {
        return true;
    }
    session_.noteHostFailure("cannot store snapshot " + std::to_string(row_.num) +
                             " in the catalog: " + session_.catalog().error());
    return false;
}

bool HostRecord::storeMetadata(int key, const std::string& value, bool transient) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_.catalog().setMetadata(row_.num, key, value, transient)) {
        session_.noteHostFailure("cannot store metadata item " + std::to_string(key) +
                                 " of snapshot " + std::to_string(row_.num) + ": " +
                                 session_.catalog().error());
        return false;
    }
    metadata_[key] = MetaItem{value, transient};
    return true;
}

bool HostRecord::setPhase(const std::string& phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.phase = phase;
    return persistLocked();
}

bool HostRecord::clearError() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row_.errorCode == 0 && row_.errorText.empty()) {
        return true;
    }
    row_.errorCode = 0;
    row_.errorText.clear();
    return persistLocked();
}

bool HostRecord::clearFlag(int64_t flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.flags &= ~flag;
    return persistLocked();
}

bool HostRecord::addFlag(int64_t flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.flags |= flag;
    return persistLocked();
}

int HostRecord::setArrayName(const char* arrayName) {
    if (!arrayName || !*arrayName) {
        return 1;
    }
    auto array = session_.catalog().arrayByName(arrayName);
    if (!array) {
        return 1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    row_.arrayNum = array->num;
    return persistLocked() ? 0 : 1;
}

bool HostRecord::isSnapFlagSet(int flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    return (row_.flags & static_cast<int64_t>(static_cast<unsigned int>(flag))) != 0;
}

BXSO::SnapStatus HostRecord::getStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<BXSO::SnapStatus>(row_.status);
}

void HostRecord::setStatus(BXSO::SnapStatus status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        row_.status = static_cast<int>(status);
        persistLocked();
    }
    session_.notifyStatus(*this, static_cast<int>(status));
}

void HostRecord::setRevertDevice(const char* devicePath) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.revertDevice = devicePath ? devicePath : "";
    persistLocked();
}

void HostRecord::setSnapDevice(const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.snapDevice = value ? value : "";
    persistLocked();
}

int HostRecord::setMetadata(int key, const char* value) {
    if (!value) {
        return 1;
    }
    if (std::strlen(value) > kMaxMetadataLength) {
        return 2;
    }
    return storeMetadata(key, value, false) ? 0 : 1;
}

void HostRecord::setTransientMetadata(int key, const char* value) {
    if (value && std::strlen(value) <= kMaxMetadataLength) {
        storeMetadata(key, value, true);
    }
}

void HostRecord::setError(int code, const char* message) {
    std::string text = session_.redactor().apply(message ? message : "");
    std::lock_guard<std::mutex> lock(mutex_);
    row_.errorCode = code;
    row_.errorText = text;
    persistLocked();
}

void HostRecord::getError(int* code, char* buffer, int bufferSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code) {
        *code = row_.errorCode;
    }
    if (buffer && bufferSize > 0) {
        size_t n = std::min(row_.errorText.size(), static_cast<size_t>(bufferSize - 1));
        std::memcpy(buffer, row_.errorText.data(), n);
        buffer[n] = '\0';
    }
}

void HostRecord::logMessage(int level, const char* prefix, const char* format, ...) {
    if (!format) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    long num = getSnapNumber();
    session_.hostLog(num, level, prefix ? prefix : "", text);
}

int HostRecord::getCloneNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row_.cloneNumber <= 0) {
        auto next = session_.catalog().nextCounter("clone");
        if (!next || *next > INT_MAX) {
            session_.noteHostFailure("cannot allocate a clone number: " +
                                     session_.catalog().error());
            return 0;
        }
        row_.cloneNumber = static_cast<int>(*next);
        persistLocked();
    }
    return row_.cloneNumber;
}

int HostRecord::getConfigValue(const char* key, int* value) {
    int arrayNum = getArrayNumber();
    std::string text;
    int parsed = 0;
    if (!key || !value || arrayNum < 1 || !session_.arrayConfig(arrayNum, key, &text) ||
        !parseInt(text, &parsed)) {
        return 1;
    }
    *value = parsed;
    return 0;
}

bool HostRecord::getConfigString(const std::string& key, std::string* value) {
    int arrayNum = getArrayNumber();
    std::string text;
    if (!value || arrayNum < 1 || !session_.arrayConfig(arrayNum, key, &text)) {
        return false;
    }
    *value = text;
    return true;
}

int HostRecord::getHostInfo(int category, int id, int, char* buffer, short* length, int) {
    if (category != kHostInfoCategory || id != kHostInfoCellId || !buffer || !length ||
        *length <= 0) {
        return 1;
    }
    std::string hostId = session_.catalog().hostId();
    if (hostId.empty() || hostId.size() + 1 > static_cast<size_t>(*length)) {
        return 1;
    }
    std::memcpy(buffer, hostId.c_str(), hostId.size() + 1);
    *length = static_cast<short>(hostId.size());
    return 0;
}

int HostRecord::getIntProperty(int id, int* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id != kIntPropertyBackupJob || !value || row_.jobId > INT_MAX) {
        return 1;
    }
    *value = static_cast<int>(row_.jobId);
    return 0;
}

int HostRecord::getArrayNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    return row_.arrayNum;
}

void HostRecord::setSnapFlag(long flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.flags |= static_cast<int64_t>(flag);
    persistLocked();
}

void HostRecord::decryptPassword(std::string encrypted, std::string* plain) {
    if (!plain) {
        return;
    }
    plain->clear();
    if (encrypted.empty()) {
        return;
    }
    if (!session_.decrypt(encrypted, plain)) {
        session_.hostLog(getSnapNumber(), 2, "HOST ",
                         "Cannot decrypt the array password: " + session_.key().error());
    }
}

long HostRecord::getSnapNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<long>(row_.num);
}

bool HostRecord::getArrayInfo(HostArrayInfo** info) {
    if (!info) {
        return true;
    }
    *info = nullptr;
    int arrayNum = getArrayNumber();
    if (arrayNum < 1) {
        return true;
    }
    auto array = session_.catalog().arrayByNum(arrayNum);
    if (!array) {
        return true;
    }
    *info = new HostArray(*array);
    return false;
}

void HostRecord::releaseArrayInfo(HostArrayInfo** info) {
    if (info) {
        delete *info;
        *info = nullptr;
    }
}

bool HostRecord::getSourceDevice(std::string* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!device || row_.sourceDevice.empty()) {
        return false;
    }
    *device = row_.sourceDevice;
    return true;
}

void HostRecord::getSnapDevice(std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value) {
        *value = row_.snapDevice;
    }
}

bool HostRecord::getMetadata(int key, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!value) {
        return false;
    }
    auto it = metadata_.find(key);
    if (it == metadata_.end()) {
        value->clear();
        return false;
    }
    *value = it->second.value;
    return true;
}

bool HostRecord::getSourceInfo(int key, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key != kSourceInfoInstance || !value || row_.sourceInfo.empty()) {
        return false;
    }
    *value = row_.sourceInfo;
    return true;
}

bool HostRecord::getSnapName(const std::string&, const std::bitset<64>&, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The name was made when the row was created and never changes: the
    // plug-in finds the snapshot again by it in later jobs.
    if (!name || row_.name.empty()) {
        return false;
    }
    *name = row_.name;
    return true;
}

bool HostRecord::getOperationProperties(std::map<std::string, std::string>* properties) {
    const CallOptions& call = session_.callOptions();
    if (!properties || !call.haveOperationProperties) {
        return false;
    }
    for (auto& entry : *properties) {
        auto it = call.operationProperties.find(entry.first);
        if (it != call.operationProperties.end()) {
            entry.second = it->second;
        }
    }
    return true;
}

bool HostRecord::getCloneOptions(std::map<std::string, std::string>* options) {
    const CallOptions& call = session_.callOptions();
    if (!options || !call.haveCloneOptions) {
        return false;
    }
    for (auto& entry : *options) {
        auto it = call.cloneOptions.find(entry.first);
        if (it != call.cloneOptions.end()) {
            entry.second = it->second;
        }
    }
    return true;
}

bool HostRecord::decryptString(const std::string& encrypted, std::string* plain, int) {
    if (!plain) {
        return false;
    }
    plain->clear();
    return session_.decrypt(encrypted, plain);
}

bool HostRecord::setOperationProperties(const std::map<std::string, std::string>& properties) {
    std::vector<OptionRow> rows;
    for (const auto& p : properties) {
        rows.push_back({p.first, session_.redactor().apply(p.second), false});
    }
    int64_t job = session_.jobId();
    if (job <= 0 || !session_.catalog().setJobOptions(job, "result", rows)) {
        return false;
    }
    return true;
}

long long HostUtil::getJobId() {
    return session_.jobId();
}

bool HostUtil::listDevices(const std::string&, const std::string&,
                           std::vector<std::string>* devices) {
    if (!devices) {
        return false;
    }
    devices->clear();
    std::string error;
    if (!listBlockDevices(session_.settings(), devices, &error)) {
        session_.hostLog(0, 2, "HOST ", "Cannot list block devices: " + error);
        return false;
    }
    return true;
}

}  // namespace bxhost
