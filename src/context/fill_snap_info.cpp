// Turns each host record into its internal object: the source device, HPX
// mode, the snapshot name, the stored metadata, and the call-wide options.
#include <map>
#include <sstream>

#include "common/helpers.h"
#include "context/gcp_ctx.h"

namespace DuVavaZid {

namespace {
constexpr int kSourceInfoInstanceKey = 10;

std::string snapNumberMsg(const char* head, long number, const char* tail = "") {
    std::ostringstream msg;
    msg << head << number << "]" << tail;
    return msg.str();
}
}  // namespace

int GcpCtx::fetchAndFillSnapInfo() {
    log(2, "GCP Fetching details for internal objects...");
    hpxMode = false;

    for (auto& entry : snapMap) {
        long number = entry.first;
        GcpObject* object = entry.second;
        if (!object->snapInfo->getSourceDevice(&object->HostSrcDev)) {
            return fail(GCP_ERR_HOST_ITEM,
                        snapNumberMsg("Failed to get source device details for snap # [", number),
                        logfmt::kSnapOperation);
        }
        log(0, "GCP >> Source device - [%s]", object->HostSrcDev.c_str());
        log(2, "GCP Determining whether its a HPX source device...");
        int rc = determineWhetherHPXDevice(object);
        if (rc != 0) {
            return rc;
        }
        if (!object->IsHPXDevice) {
            log(2, "GCP >> Its NOT a HPX device");
            if (hpxMode) {
                std::ostringstream msg;
                msg << "The device [" << object->HostSrcDev << "] for snap # [" << number
                    << "] is not a HPX device.";
                return fail(GCP_ERR_MIXED_DEVICES, msg.str(), logfmt::kSnapOperation);
            }
        } else {
            log(0, "GCP >> Its a HPX device");
            hpxMode = true;
            size_t bar = object->HostSrcDev.find('|');
            if (bar == std::string::npos) {
                return fail(GCP_ERR_HOST_ITEM,
                            snapNumberMsg("Failed to get source device details for snap # [",
                                          number, ". Device format is incorrect."),
                            logfmt::kSnapOperation);
            }
            object->ProjectId = object->HostSrcDev.substr(0, bar);
            object->GCPDeviceId = object->HostSrcDev.substr(bar + 1);
            if (object->ProjectId.empty() || object->GCPDeviceId.empty()) {
                return fail(GCP_ERR_HOST_ITEM,
                            snapNumberMsg("Failed to get source device details for snap # [",
                                          number, ". Device details are missing."),
                            logfmt::kSnapOperation);
            }
        }
        if (OpCode != GCP_OP_PREPARE && !getSnapUUID(object)) {
            return fail(GCP_ERR_HOST_ITEM,
                        "Failed to get snap uuid for GCP device [" + object->GCPDeviceName + "].",
                        logfmt::kSnapOperation);
        }
        rc = fillSnapObjectFromMetadata(object);
        if (rc != 0) {
            return rc;
        }
    }

    GcpObject* first = firstObject();
    long firstNumber = snapMap.empty() ? 0 : snapMap.begin()->first;

    if (hpxMode && OpCode != GCP_OP_RECONCILE) {
        std::string text;
        if (!first->snapInfo->getSourceInfo(kSourceInfoInstanceKey, &text)) {
            return fail(
                GCP_ERR_HOST_ITEM,
                snapNumberMsg("Failed to get source instance details for snap # [", firstNumber),
                logfmt::kSnapOperation);
        }
        size_t bar = text.find('|');
        if (bar == std::string::npos || bar != text.rfind('|')) {
            return fail(GCP_ERR_HOST_ITEM,
                        snapNumberMsg("Failed to get source instance details for snap # [",
                                      firstNumber, ". Source path format is incorrect."),
                        logfmt::kSnapOperation);
        }
        projectId = text.substr(0, bar);
        instanceId = text.substr(bar + 1);
        for (auto& entry : snapMap) {
            entry.second->InstanceId = instanceId;
        }
    }

    if (hpxMode && (OpCode == GCP_OP_SNAP || OpCode == GCP_OP_POST_SNAP)) {
        std::map<std::string, std::string> props{{"EnableGuestFlush", ""}};
        if (first->snapInfo->getOperationProperties(&props)) {
            log(0, "GCP >> Snap operation properties found");
            guestFlushEnabled = strCompare("true", props["EnableGuestFlush"], true);
        } else {
            log(0, "GCP >> Snap operation properties not found");
        }
        for (const auto& p : props) {
            log(0, "GCP >> Snap operation properties - key [%s] value [%s]", p.first.c_str(),
                p.second.c_str());
        }
    }

    if (hpxMode && (OpCode == GCP_OP_MAP || OpCode == GCP_OP_UNMAP)) {
        int rc = readRestoreOptions(first);
        if (rc != 0) {
            return rc;
        }
    }

    if (OpCode == GCP_OP_PREPARE && !hpxMode) {
        log(3, "GCP Fetching details for internal objects... - done");
        return 0;
    }
    int rc = getArrayDetailsFromDB();
    if (rc == 0) {
        log(3, "GCP Fetching details for internal objects... - done");
    }
    return rc;
}

int GcpCtx::readRestoreOptions(GcpObject* first) {
    std::map<std::string, std::string> opts{
        {"destination-project-id", ""}, {"destination-zone", ""}, {"destination-region", ""},
        {"destination-user", ""},       {"destination-pwd", ""},  {"destination-p12file", ""},
        {"in-place-restore", ""}};
    // The host may replace the map's nodes: the password is looked up when
    // the scope ends, not held by reference.
    struct PasswordWiper {
        std::map<std::string, std::string>& options;
        ~PasswordWiper() {
            auto it = options.find("destination-pwd");
            if (it != options.end()) {
                wipeSecret(it->second);
            }
        }
    } passwordWiper{opts};
    if (first->snapInfo->getOperationProperties(&opts)) {
        log(3, "GCP Restore options found");
        restoreOptionsFound = true;
        restoreInfo.destProjectId = opts["destination-project-id"];
        restoreInfo.destZone = opts["destination-zone"];
        restoreInfo.destRegion = opts["destination-region"];
        restoreInfo.destUser = opts["destination-user"];
        const std::string& p12 = opts["destination-p12file"];
        const std::string& pwd = opts["destination-pwd"];
        if (p12.empty()) {
            restoreInfo.destKeyIsPem = true;
            if (pwd.size() < 2) {
                std::ostringstream msg;
                msg << "Invalid private key sent via restore options. Key length [" << pwd.size()
                    << "]";
                return fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kSnapOperation);
            }
            if (!first->snapInfo->decryptString(pwd.substr(1), &restoreInfo.destKey, 0)) {
                std::ostringstream msg;
                msg << "Unable to decrypt private key sent via restore options. Encrypted key "
                       "length ["
                    << pwd.size() << "]";
                return fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kSnapOperation);
            }
        } else {
            restoreInfo.destKey = p12;
            restoreInfo.destPassword = pwd;
        }
        restoreInfo.inPlaceRestore = strCompare("true", opts["in-place-restore"], true);
        if (restoreInfo.destRegion.empty()) {
            size_t dash = restoreInfo.destZone.rfind('-');
            restoreInfo.destRegion = (dash == std::string::npos)
                                         ? restoreInfo.destZone
                                         : restoreInfo.destZone.substr(0, dash);
        }
    } else {
        log(3, "GCP Restore options not found");
    }
    for (const auto& o : opts) {
        bool secret = strCompare(o.first, "destination-pwd", true);
        log(0, "GCP >> Restore options key [%s] value [%s]", o.first.c_str(),
            secret ? "******" : o.second.c_str());
    }
    return 0;
}

}  // namespace DuVavaZid
