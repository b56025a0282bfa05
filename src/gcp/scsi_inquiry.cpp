// Recognising a local device as a Google persistent disk and reading the
// device name it is attached under, by SCSI INQUIRY through the host's
// device tree.
#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "common/helpers.h"
#include "devices/inquiry_layout.h"
#include "devices/nvme_identify.h"
#include "gcp/gcp_utils.h"
#include "host/exception.h"
#include "host/scsi.h"

namespace DuVavaZid {

namespace {

// Text of a fixed-width field: up to its width or its first NUL byte.
std::string fieldText(const unsigned char* buffer, size_t offset, size_t width) {
    const char* start = reinterpret_cast<const char*>(buffer + offset);
    return std::string(start, strnlen(start, width));
}

std::string hexByte(unsigned char byte) {
    char text[4];
    convertByteToStringHex(byte, text);
    return std::string(text, 2);
}

// doSCSIInquiry for an NVMe namespace: the Identify data answers the
// standard INQUIRY and page 83h as a persistent disk on SCSI would.
int nvmeInquiry(GcpUtils& u, BxDeviceNvmeIface* nvme, const std::string& path,
                const unsigned char* cdb, unsigned char* buffer) {
    GcpCtx* ctx = u.ctx;
    ctx->log(2, "GCP Device [%s] is an NVMe namespace - its Identify data answers the inquiry",
             path.c_str());
    auto identify = [&](int cns, std::vector<unsigned char>* data) {
        CWnError error;
        data->assign(BxDeviceNvmeIface::kIdentifyLength, 0);
        int n = nvme->Identify(cns, data->data(), BxDeviceNvmeIface::kIdentifyLength, &error);
        if (n < 0) {
            return ctx->fail(GCP_ERR_SCSI_INQUIRY,
                             "Failed to send NVMe Identify (CNS " + std::to_string(cns) +
                                 ") for device [" + path + "]. Error:[" + error.AsString() + "]",
                             logfmt::kInquiry);
        }
        data->resize(static_cast<size_t>(n));
        return 0;
    };
    std::vector<unsigned char> controller;
    int rc = identify(BxDeviceNvmeIface::kIdentifyController, &controller);
    if (rc != 0) {
        return rc;
    }
    std::string model;
    if (!nvmeControllerModel(controller.data(), controller.size(), &model)) {
        return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                         "NVMe Identify Controller data of device [" + path + "] is too short",
                         logfmt::kScsiDetails);
    }
    ctx->log(0, "GCP >> NVMe controller of device [%s] - model [%s]", path.c_str(), model.c_str());
    const bool vpd = cdb[1] & 1;
    if (model != kPersistentDiskNvmeModel) {
        if (vpd) {
            return ctx->fail(GCP_ERR_NOT_GOOGLE,
                             "NVMe device [" + path + "] with model [" + model +
                                 "] is not a Compute Engine persistent disk",
                             logfmt::kInquiry);
        }
        nvmeStandardInquiry(model, buffer, kInquiryBufferLength);
        return 0;
    }
    std::vector<unsigned char> ns;
    rc = identify(BxDeviceNvmeIface::kIdentifyNamespace, &ns);
    if (rc != 0) {
        return rc;
    }
    std::string name;
    std::string why;
    if (!nvmeDeviceName(ns.data(), ns.size(), &name, &why)) {
        // Without its device name the disk cannot be told from the others.
        return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                         "NVMe persistent disk [" + path + "] is refused: " + why,
                         logfmt::kScsiDetails);
    }
    if (vpd) {
        nvmeIdentificationPage(name, buffer, kInquiryBufferLength);
    } else {
        nvmeStandardInquiry(model, buffer, kInquiryBufferLength);
    }
    return 0;
}

}  // namespace

std::string pageCodeMismatchHead(unsigned char returned) {
    return "Page code [" + hexByte(returned) +
           "h] returned in SCSI inq response not match with requested page code [";
}

int GcpUtils::doSCSIInquiry(const char* devicePath, const unsigned char* cdb,
                            unsigned char* buffer) {
    const char* path = devicePath ? devicePath : "";
    bool vpd = cdb[2] != 0;
    ctx->log(2, "GCP Doing %s SCSI inquiry for device [%s] - EVPD [%d] SCSI code page [%xh]",
             vpd ? "VPD" : "standard", path, vpd ? 1 : 0, cdb[2]);
    CWnError lookupError;
    CWnError sendError;
    SP<BxDevice> device = BxDeviceTree::getDevice(path, &lookupError);
    if (!device) {
        return ctx->fail(GCP_ERR_SCSI_INQUIRY,
                         std::string("Failed to get BxDevice for device [") + path + "]. Error:[" +
                             lookupError.AsString() + "]",
                         logfmt::kInquiry);
    }
    try {
        auto* scsi = dynamic_cast<BxDeviceScsiIface*>(device->GetInterface(kBxDeviceScsiIfaceName));
        if (!scsi) {
            auto* nvme =
                dynamic_cast<BxDeviceNvmeIface*>(device->GetInterface(kBxDeviceNvmeIfaceName));
            if (nvme) {
                return nvmeInquiry(*this, nvme, path, cdb, buffer);
            }
            return ctx->fail(GCP_ERR_SCSI_INQUIRY, device->GetName() + " is not SCSI device",
                             logfmt::kInquiry);
        }
        sendError.SetSuccess();
        int rc =
            scsi->SendCommand(cdb, kInquiryCdbLength, buffer, kInquiryBufferLength, kInquiryFlags,
                              kInquiryDataIn, nullptr, 0, kInquiryTimeoutSeconds, &sendError);
        if (rc == -1) {
            throw BxException(sendError.AsString(), sendError.Code());
        }
    } catch (const BxException& e) {
        device.reset();
        return ctx->fail(GCP_ERR_SCSI_INQUIRY,
                         std::string("Failed to send SCSI Inquiry for device [") + path +
                             "], caught exception: [" + e.message() + "]",
                         logfmt::kInquiry);
    }
    return 0;
}

int GcpUtils::getStdDetailsFromSCSIInq(const unsigned char* buffer, std::string& vendor,
                                       std::string& product, std::string& revision) {
    vendor = fieldText(buffer, kVendorOffset, kVendorWidth);
    product = fieldText(buffer, kProductOffset, kProductWidth);
    revision = fieldText(buffer, kRevisionOffset, kRevisionWidth);
    ctx->log(2, "GCP From std inquiry - vendor id [%s] product id [%s] version [%s]",
             vendor.c_str(), product.c_str(), revision.c_str());
    return 0;
}

int GcpUtils::getGCPDevNameFromSCSIInq(const unsigned char* buffer, std::string& deviceName) {
    size_t length = buffer[kDesignatorLengthOffset];
    ctx->log(2, "GCP GCP device name length [%zu]", length);
    // The length is the device's word; the designator never reaches past the
    // answer buffer, whatever it claims.
    size_t available = kInquiryBufferLength - kDesignatorOffset;
    if (length > available) {
        ctx->log(2, "GCP Designator length [%zu] runs past the inquiry data - cut to [%zu]", length,
                 available);
        length = available;
    }
    char name[512];
    std::memset(name, 0, sizeof name);
    std::memcpy(name, buffer + kDesignatorOffset, length);
    deviceName = name;
    return 0;
}

int GcpUtils::checkGCPDevNameFromSCSIInq(const char* devicePath, const std::string& deviceName) {
    if (!deviceName.empty()) {
        return 0;
    }
    return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                     std::string("GCP device name is empty for host device [") +
                         (devicePath ? devicePath : "") + "]",
                     logfmt::kScsiDetails);
}

int GcpUtils::checkArrayIdAndSet(const char* devicePath, const std::string& arrayName) {
    if (arrayName.empty()) {
        return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                         std::string("GCP array id is empty for device [") +
                             (devicePath ? devicePath : "") + "]",
                         logfmt::kScsiDetails);
    }
    std::string& recorded = ctx->arrayDetails.SCSIArrayId;
    if (recorded.empty()) {
        recorded = arrayName;
        return 0;
    }
    if (strCompare(recorded, arrayName, true)) {
        return 0;
    }
    return ctx->fail(GCP_ERR_INTERNAL,
                     std::string("GCP array id [") + arrayName + "] of device [" +
                         (devicePath ? devicePath : "") + "] differs from array id [" + recorded +
                         "] of the other devices of the call",
                     logfmt::kScsiDetails);
}

void GcpUtils::dumpHexBuffer(short length, const unsigned char* buffer) {
    if (!ctx->debugLog || ctx->debugLog->getDebugLevel() < 7 || !buffer || length <= 0) {
        return;
    }
    std::ostringstream text;
    std::ios_base::fmtflags saved = text.flags();
    for (short i = 0; i < length; ++i) {
        text << std::uppercase << std::hex;
        text.width(2);
        text.fill('0');
        text << static_cast<int>(buffer[i]) << ' ';
    }
    ctx->log(7, "GCP SCSI inquiry dump << [%s] >>", text.str().c_str());
    text.flags(saved);
    text.str("");
    for (short i = 0; i < length; ++i) {
        if (std::isprint(buffer[i])) {
            text << static_cast<char>(buffer[i]) << "  ";
        } else {
            text << ".  ";
        }
    }
    ctx->log(8, "GCP SCSI inquiry dump << [%s] >>", text.str().c_str());
}

int GcpUtils::inquirePage(const char* devicePath, short pageCode, unsigned char* buffer) {
    unsigned char cdb[kInquiryCdbLength];
    buildInquiryCdb(pageCode, cdb);
    std::memset(buffer, 0, kInquiryBufferLength);
    int rc = doSCSIInquiry(devicePath, cdb, buffer);
    if (rc == 0) {
        dumpHexBuffer(kInquiryBufferLength, buffer);
    }
    return rc;
}

int GcpUtils::isGoogleDevice(const std::string& deviceName) {
    unsigned char buffer[kInquiryBufferLength];
    const char* path = deviceName.c_str();
    int rc = inquirePage(path, kStandardInquiryPage, buffer);
    if (rc != 0) {
        return rc;
    }
    std::string vendor;
    std::string product;
    std::string revision;
    getStdDetailsFromSCSIInq(buffer, vendor, product, revision);
    ctx->log(0, "GCP >> Standard SCSI inq result - vendor id [%s] product id [%s] version [%s]",
             vendor.c_str(), product.c_str(), revision.c_str());
    const std::string vendorWanted = kGoogleVendorId;
    const std::string productWanted = kGoogleProductId;
    if (vendor.empty()) {
        return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                         "Vendor id [" + vendor + "] is empty for device [" + deviceName +
                             "] - expected vendor id [" + vendorWanted + "]",
                         logfmt::kDeviceCheck);
    }
    if (product.empty()) {
        return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                         "Product id [" + product + "] is empty for device [" + deviceName +
                             "- expected product id [" + productWanted + "]",
                         logfmt::kDeviceCheck);
    }
    std::string message;
    if (vendor != vendorWanted) {
        message = "Vendor id [" + vendor + "] for device [" + deviceName +
                  "] is not matching - expected vendor id [" + vendorWanted + "]";
    } else if (product != productWanted) {
        message = "Product id [" + product + "] for device [" + deviceName +
                  "] is not matching - expected product id [" + productWanted + "]";
    }
    if (!message.empty()) {
        return ctx->fail(GCP_ERR_NOT_GOOGLE, message, logfmt::kNotGoogle, path);
    }
    ctx->log(0, "GCP >> Device [%s] is Google GCP device", path);
    return 0;
}

int GcpUtils::processSCSIDetails(std::vector<short>& pageCodes, int mode) {
    if (mode != 1) {
        return ctx->fail(GCP_ERR_INTERNAL,
                         "SCSI details mode [" + std::to_string(mode) + "] is not supported");
    }
    int result = -1;
    unsigned char buffer[kInquiryBufferLength];
    // Page codes outside, objects inside: every disk passes the standard
    // INQUIRY before any disk's name is read.
    for (short page : pageCodes) {
        for (auto& entry : ctx->snapMap) {
            GcpObject* object = entry.second;
            const std::string& path = object->HostSrcDev;
            result = inquirePage(path.c_str(), page, buffer);
            if (result != 0) {
                return result;
            }
            if (buffer[kPageCodeOffset] != page) {
                return ctx->fail(GCP_ERR_EMPTY_ID_DATA,
                                 pageCodeMismatchHead(buffer[kPageCodeOffset]) +
                                     hexByte(static_cast<unsigned char>(page)) + "h] for device [" +
                                     path + "]");
            }
            if (page == kStandardInquiryPage) {
                std::string vendor;
                std::string product;
                std::string revision;
                getStdDetailsFromSCSIInq(buffer, vendor, product, revision);
                if (vendor != kGoogleVendorId) {
                    return ctx->fail(GCP_ERR_NOT_GOOGLE, "Vendor id [" + vendor + "] for device [" +
                                                             path +
                                                             "] is not matching for Google GCP [" +
                                                             kGoogleVendorId + "]");
                }
                if (product != kGoogleProductId) {
                    return ctx->fail(GCP_ERR_NOT_GOOGLE, "Product id [" + product +
                                                             "] for device [" + path +
                                                             "] is not matching for Google GCP [" +
                                                             kGoogleProductId + "]");
                }
                ctx->log(0,
                         "GCP >> Standard SCSI inq result - vendor [%s] product [%s] version [%s]",
                         vendor.c_str(), product.c_str(), revision.c_str());
            } else if (page == kDeviceIdentificationPage) {
                std::string name;
                getGCPDevNameFromSCSIInq(buffer, name);
                ctx->log(0, "GCP >> Device identification SCSI inq result - GCP device name [%s]",
                         name.c_str());
                result = checkGCPDevNameFromSCSIInq(path.c_str(), name);
                if (result != 0) {
                    return result;
                }
                object->GCPDeviceName = name;
                result = checkArrayIdAndSet(path.c_str(), kDefaultScsiArrayName);
                if (result != 0) {
                    return result;
                }
                const std::string& arrayId = ctx->arrayDetails.SCSIArrayId;
                if (object->snapInfo->setArrayName(arrayId.c_str()) != 0) {
                    return ctx->fail(GCP_ERR_NO_ARRAY,
                                     "Array [" + arrayId + "] associated with device [" + path +
                                         "] not found in Array Management. Please ensure that "
                                         "the array [GCP-Default-IAM] is configured in Array "
                                         "Management properly",
                                     logfmt::kPrepareDevice, path);
                }
            }
        }
    }
    return result;
}

}  // namespace DuVavaZid
