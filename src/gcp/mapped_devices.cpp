// Finding the local devices under which attached disks appeared: list the
// devices before and after the attach, and recognise each new one by the
// device name its page 0x83 carries.
#include <map>
#include <set>

#include "devices/inquiry_layout.h"
#include "gcp/gcp_utils.h"
#include "host/scsi.h"
#include "host/strings.h"

namespace DuVavaZid {

namespace {

constexpr int kMapStatusFound = 39;

}  // namespace

int GcpUtils::getDeviceList(GcpMapCtx* mapCtx, bool before) {
    const std::string hostName = ctx->instanceName;
    ctx->log(2, "GCP Getting list of devices available on instance [%s]...", hostName.c_str());
    HostScsi::refreshDeviceList(HostScsi::kScsiDevices, false);
    std::vector<std::string> devices;
    if (!mapCtx || !ctx->osUtil || !ctx->osUtil->listDevices(hostName, "", &devices)) {
        return ctx->fail(GCP_ERR_INTERNAL,
                         "Failed to get device list for instance [" + hostName + "].");
    }
    if (before) {
        mapCtx->devicesBefore = std::move(devices);
        ctx->log(0, "GCP Device count before mapping [%zu]", mapCtx->devicesBefore.size());
    } else {
        mapCtx->devicesAfter = std::move(devices);
        ctx->log(0, "GCP Device count after mapping [%zu]", mapCtx->devicesAfter.size());
    }
    ctx->log(3, "GCP Getting list of devices available on instance [%s]... - done",
             hostName.c_str());
    return 0;
}

void GcpUtils::getDiffDeviceList(std::vector<std::string>& out) {
    out.clear();
    static const std::vector<std::string> kNone;
    const auto& before = ctx->mapCtx ? ctx->mapCtx->devicesBefore : kNone;
    const auto& after = ctx->mapCtx ? ctx->mapCtx->devicesAfter : kNone;
    std::set<std::string> seen(before.begin(), before.end());
    for (const std::string& device : after) {
        if (seen.insert(device).second) {
            out.push_back(device);
        }
    }
    ctx->log(0,
             "GCP >> Initial device count [%zu] Device count after map [%zu] Diff device count "
             "[%zu]",
             before.size(), after.size(), out.size());
}

int GcpUtils::checkForMappedDevices(GcpMapCtx*, const std::vector<std::string>& candidates,
                                    int& found) {
    found = 0;
    int result = -1;
    const bool revert = ctx->OpCode == GCP_OP_REVERT;
    std::map<std::string, GcpObject*> byName;
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (revert) {
            ctx->log(2, "GCP Search device for mapped disk - name [%s] device name [%s]",
                     object->GCPDeviceName.c_str(), object->GcpOSDevName.c_str());
            byName[object->GcpOSDevName] = object;
        } else {
            ctx->log(2, "GCP Search device for mapped clone - name [%s] device name [%s]",
                     object->CloneName.c_str(), object->GCPDeviceName.c_str());
            byName[object->CloneName] = object;
        }
    }
    // Objects matched by this call: a disk that shows up under two paths (or a
    // path listed twice) is counted once, so the count cannot reach SnapCount
    // while another disk is still missing.
    std::set<GcpObject*> matched;
    unsigned char buffer[kInquiryBufferLength];
    for (const std::string& path : candidates) {
        if (path.empty()) {
            continue;
        }
        if (ctx->hpxMode) {
            ctx->log(-1, "GCP HPX devices cannot be mapped");
            continue;
        }
        ctx->log(2, "GCP Doing standard SCSI inq for device [%s]...", path.c_str());
        result = inquirePage(path.c_str(), kStandardInquiryPage, buffer);
        if (result != 0) {
            continue;
        }
        if (buffer[kPageCodeOffset] != kStandardInquiryPage) {
            std::string text = pageCodeMismatchHead(buffer[kPageCodeOffset]) +
                               std::to_string(kStandardInquiryPage) + "n] for device [" + path +
                               "]";
            ctx->log(0, "GCP %s", text.c_str());
            continue;
        }
        std::string vendor;
        std::string product;
        std::string revision;
        getStdDetailsFromSCSIInq(buffer, vendor, product, revision);
        if (vendor != kGoogleVendorId) {
            std::string text = "Vendor id [" + vendor + "] for device [" + path +
                               "] is not matching for Google GCP [" + kGoogleVendorId +
                               "] and hence skipping this device";
            ctx->log(2, "GCP %s", text.c_str());
            continue;
        }
        ctx->log(2, "GCP >> Standard SCSI inq result - vendor [%s] product [%s] version [%s] ",
                 vendor.c_str(), product.c_str(), revision.c_str());
        ctx->log(2, "GCP Doing standard SCSI inq for device [%s]... - done. Its Google GCP device",
                 path.c_str());

        ctx->log(2, "GCP Doing VPD SCSI inq for device [%s]...", path.c_str());
        result = inquirePage(path.c_str(), kDeviceIdentificationPage, buffer);
        if (result != 0) {
            continue;
        }
        if (buffer[kPageCodeOffset] != kDeviceIdentificationPage) {
            std::string text = pageCodeMismatchHead(buffer[kPageCodeOffset]) +
                               std::to_string(kDeviceIdentificationPage) + "n] for device [" +
                               path + "]";
            ctx->log(0, "GCP %s", text.c_str());
            continue;
        }
        std::string name;
        getGCPDevNameFromSCSIInq(buffer, name);
        ctx->log(2, "GCP >> VPD SCSI inq result - Device name [%s]", name.c_str());
        if (name.empty()) {
            ctx->log(2, "GCP Device name [%s] is empty - hence skipping this", name.c_str());
            continue;
        }
        auto it = byName.find(name);
        if (it == byName.end()) {
            ctx->log(2,
                     "GCP Device name [%s] is not associated with any of the devices to be mapped "
                     "in this request - hence skipping this...",
                     name.c_str());
            continue;
        }
        GcpObject* object = it->second;
        if (!matched.insert(object).second) {
            ctx->log(2,
                     "GCP Device name [%s] of device [%s] was already found - hence skipping this",
                     name.c_str(), path.c_str());
            continue;
        }
        if (revert) {
            object->snapInfo->setRevertDevice(path.c_str());
            object->MapStatus = kMapStatusFound;
            ++found;
            ctx->log(2,
                     "GCP Doing VPD SCSI inquiry for device [%s]... - done. Its associated with "
                     "disk [%s] snapshot [%s]",
                     path.c_str(), object->GCPDeviceName.c_str(), object->SnapTag.c_str());
            ctx->log(0, "GCP Successfully mapped disk [%s] device [%s] - snapshot [%s]",
                     object->GCPDeviceName.c_str(), path.c_str(), object->SnapTag.c_str());
        } else {
            object->snapInfo->setSnapDevice(path.c_str());
            object->snapInfo->setStatus(BXSO::SNAP_MAP_SUCCESS);
            object->MapStatus = kMapStatusFound;
            ++found;
            ctx->log(2,
                     "GCP Doing VPD SCSI inquiry for device [%s]... - done. Its associated with "
                     "view [%s] snapshot [%s] volume [%s]",
                     path.c_str(), object->CloneName.c_str(), object->SnapTag.c_str(),
                     object->GCPDeviceId.c_str());
            ctx->log(0,
                     "GCP Successfully mapped clone [%s] device [%s] - snapshot [%s] volume [%s]",
                     object->CloneName.c_str(), path.c_str(), object->SnapTag.c_str(),
                     object->GCPDeviceId.c_str());
        }
        if (found == ctx->SnapCount) {
            break;
        }
    }
    if (found == ctx->SnapCount) {
        return result;
    }
    for (auto& entry : ctx->snapMap) {
        GcpObject* object = entry.second;
        if (object->MapStatus != kMapStatusFound) {
            object->snapInfo->setStatus(revert ? BXSO::SNAP_REVERT_FAILED : BXSO::SNAP_MAP_FAILED);
            object->snapInfo->setSnapDevice("");
        }
    }
    ctx->log(-1, "GCP Not all devices are found. Total - [%d] Found- [%d]", ctx->SnapCount, found);
    return GCP_ERR_NOT_FOUND;
}

// Devices of freshly attached disks may appear late: list again, after the
// configured pause, up to the retry count. Returns how many were found.
int GcpUtils::waitForMappedDevices(GcpMapCtx* mapCtx, int expected, int found) {
    const ArrayConfigs& cfg = ctx->arrayDetails.arrayConfigs;
    RetryPolicy policy;
    policy.attempts = cfg.RetryMaxCount;
    policy.intervalMs = static_cast<long>(cfg.RetrySleepInterval) * 1000;
    Backoff backoff(policy);
    long pause = 0;
    while (found != expected && backoff.next(&pause)) {
        ctx->log(0, "GCP Waiting for [%d] seconds before retrying map", cfg.RetrySleepInterval);
        WNSLEEP(pause);
        ctx->resetError();
        mapCtx->devicesAfter.clear();
        getDeviceList(mapCtx, false);
        ctx->log(0, "GCP Initial device count [%zu] Device count after map [%zu]",
                 mapCtx->devicesBefore.size(), mapCtx->devicesAfter.size());
        checkForMappedDevices(mapCtx, mapCtx->devicesAfter, found);
    }
    return found;
}

}  // namespace DuVavaZid
