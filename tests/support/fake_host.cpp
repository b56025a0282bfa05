#include "fake_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace bxtest {

namespace {
const std::string kEncPrefix = "enc:";

// Copies the value under key to *out; false when there is none.
template <typename Map, typename Key, typename Value>
bool lookup(const Map& map, const Key& key, Value* out) {
    auto it = map.find(key);
    if (it == map.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

// Fills in the asked keys that values holds.
void fill(const std::map<std::string, std::string>& values,
          std::map<std::string, std::string>* asked) {
    for (auto& a : *asked) {
        lookup(values, a.first, &a.second);
    }
}
}  // namespace

FakeSnapInfo::FakeSnapInfo(long number, const std::string& device)
    : snapNumber(number), sourceDevice(device), snapName("snap-" + std::to_string(number)) {}

int FakeSnapInfo::setArrayName(const char* arrayName) {
    std::lock_guard<std::mutex> lock(mutex_);
    arrayNameSet = arrayName ? arrayName : "";
    auto it = knownArrays.find(arrayNameSet);
    if (it == knownArrays.end()) {
        return 1;
    }
    arrayNumber = array.number;
    return it->second;
}

bool FakeSnapInfo::isSnapFlagSet(int flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = flagsSet.find(flag);
    return it != flagsSet.end() && it->second;
}

BXSO::SnapStatus FakeSnapInfo::getStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status;
}

void FakeSnapInfo::setStatus(BXSO::SnapStatus s) {
    std::lock_guard<std::mutex> lock(mutex_);
    status = s;
}

void FakeSnapInfo::setRevertDevice(const char* devicePath) {
    std::lock_guard<std::mutex> lock(mutex_);
    revertDevice = devicePath ? devicePath : "";
}

void FakeSnapInfo::setSnapDevice(const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (snapDeviceThrows) {
        throw std::runtime_error("host record refused the device");
    }
    snapDevice = value ? value : "";
}

int FakeSnapInfo::setMetadata(int key, const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto refused = setMetadataResultFor.find(key);
    int result = refused != setMetadataResultFor.end() ? refused->second : setMetadataResult;
    if (result == 0) {
        metadata[key] = value ? value : "";
    }
    return result;
}

void FakeSnapInfo::setError(int code, const char* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    errorCode = code;
    errorText = message ? message : "";
}

void FakeSnapInfo::getError(int* code, char* buffer, int bufferSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    *code = errorCode;
    if (buffer && bufferSize > 0) {
        std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s", errorText.c_str());
    }
}

void FakeSnapInfo::logMessage(int level, const char* prefix, const char* format, ...) {
    char buf[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    hostLog.push_back({level, prefix ? prefix : "", buf});
}

int FakeSnapInfo::getCloneNumber() {
    return cloneNumber;
}

int FakeSnapInfo::getConfigValue(const char* key, int* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(configValues, std::string(key ? key : ""), value) ? 0 : 1;
}

void FakeSnapInfo::setTransientMetadata(int key, const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    transientMetadata[key] = value ? value : "";
}

int FakeSnapInfo::getHostInfo(int category, int id, int, char* buffer, short* length, int) {
    if (category != 4 || id != 153 || !buffer || !length) {
        return 1;
    }
    std::snprintf(buffer, static_cast<size_t>(*length), "%s", hostInfoText.c_str());
    return 0;
}

int FakeSnapInfo::getIntProperty(int id, int* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(intProperties, id, value) ? 0 : 1;
}

int FakeSnapInfo::getArrayNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrayNumber;
}

void FakeSnapInfo::setSnapFlag(long flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapFlags.push_back(flag);
}

void FakeSnapInfo::decryptPassword(std::string encrypted, std::string* plain) {
    std::lock_guard<std::mutex> lock(mutex_);
    *plain = encrypted.compare(0, kEncPrefix.size(), kEncPrefix) == 0
                 ? encrypted.substr(kEncPrefix.size())
                 : encrypted;
}

long FakeSnapInfo::getSnapNumber() {
    return snapNumber;
}

bool FakeSnapInfo::getArrayInfo(HostArrayInfo** info) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (arrayInfoFails) {
        if (arrayInfoSetsPointerOnFailure) {
            *info = &array;
            ++arrayInfoOutstanding;
        }
        return true;
    }
    *info = &array;
    ++arrayInfoOutstanding;
    return false;
}

void FakeSnapInfo::releaseArrayInfo(HostArrayInfo** info) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (info && *info) {
        --arrayInfoOutstanding;
        *info = nullptr;
    }
}

bool FakeSnapInfo::getSourceDevice(std::string* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sourceDeviceOk) {
        return false;
    }
    *device = sourceDevice;
    return true;
}

void FakeSnapInfo::getSnapDevice(std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    *value = snapDevice;
}

bool FakeSnapInfo::getMetadata(int key, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value->clear();
    return lookup(metadata, key, value) || lookup(transientMetadata, key, value);
}

bool FakeSnapInfo::getConfigString(const std::string& key, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(configStrings, key, value);
}

bool FakeSnapInfo::getSourceInfo(int key, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key != 10 || !sourceInfoOk) {
        return false;
    }
    *value = sourceInfo;
    return true;
}

bool FakeSnapInfo::getSnapName(const std::string&, const std::bitset<64>&, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!snapNameOk) {
        return false;
    }
    *name = snapName;
    return true;
}

bool FakeSnapInfo::getOperationProperties(std::map<std::string, std::string>* properties) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (haveOperationProperties) {
        fill(operationProperties, properties);
    }
    return haveOperationProperties;
}

bool FakeSnapInfo::getCloneOptions(std::map<std::string, std::string>* options) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (haveCloneOptions) {
        fill(cloneOptions, options);
    }
    return haveCloneOptions;
}

bool FakeSnapInfo::decryptString(const std::string& encrypted, std::string* plain, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    decryptedInputs.push_back(encrypted);
    if (decryptFails || encrypted.compare(0, kEncPrefix.size(), kEncPrefix) != 0) {
        return false;
    }
    *plain = encrypted.substr(kEncPrefix.size());
    return true;
}

bool FakeSnapInfo::setOperationProperties(const std::map<std::string, std::string>& properties) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& p : properties) {
        propertiesReturned[p.first] = p.second;
    }
    return acceptOperationProperties;
}

bool FakeSnapInfo::hostLogContains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : hostLog) {
        if ((line.prefix + line.text).find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool FakeOSUtil::listDevices(const std::string& hostName, const std::string&,
                             std::vector<std::string>* out) {
    listCalls.push_back(hostName);
    if (!listOk) {
        return false;
    }
    if (lister) {
        return lister(out);
    }
    *out = devices;
    return true;
}

RecordSet::RecordSet(int count, const std::string& devicePrefix) {
    for (int i = 0; i < count; ++i) {
        std::string device = devicePrefix + static_cast<char>('b' + i);
        records_.push_back(std::make_unique<FakeSnapInfo>(100 + i, device));
        pointers_.push_back(records_.back().get());
    }
}

void storePreparedMetadata(FakeSnapInfo& record, const std::string& diskId,
                           const std::string& diskName, const std::string& zone,
                           const std::string& snapResourceId) {
    record.metadata[6] = diskId + "|demo-project|7777|" + snapResourceId + "|";
    record.metadata[154] = zone + "||";
    record.metadata[156] = "pd-balanced|";
    record.metadata[157] = "mover@demo-project.iam.gserviceaccount.com|";
    record.metadata[167] = "{\"env\":\"test\"}";
    record.transientMetadata[102] = diskName + "|";
}

}  // namespace bxtest
