// The INQUIRY command and the parts of its answers this plug-in reads.
#pragma once

#include <cstddef>
#include <string>

namespace DuVavaZid {

constexpr int kInquiryCdbLength = 6;
// Allocation length of every INQUIRY, and the size of every answer buffer.
constexpr int kInquiryBufferLength = 255;
constexpr unsigned char kInquiryOpcode = 0x12;
constexpr short kStandardInquiryPage = 0x00;
constexpr short kDeviceIdentificationPage = 0x83;
// What the host's SCSI interface is told besides the buffers: no flags, data
// read from the device, no sense buffer of ours, a 10-second timeout.
constexpr int kInquiryFlags = 0;
constexpr int kInquiryDataIn = 1;
constexpr int kInquiryTimeoutSeconds = 10;

// Standard INQUIRY data: field offsets and widths.
constexpr size_t kVendorOffset = 8;
constexpr size_t kVendorWidth = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kProductWidth = 16;
constexpr size_t kRevisionOffset = 32;
constexpr size_t kRevisionWidth = 4;
// Both INQUIRY answers: the page code the device returned.
constexpr size_t kPageCodeOffset = 1;
// Device identification page: the first descriptor's designator.
constexpr size_t kDesignatorLengthOffset = 7;
constexpr size_t kDesignatorOffset = 8;

constexpr const char* kGoogleVendorId = "Google  ";
constexpr const char* kGoogleProductId = "PersistentDisk  ";
constexpr const char* kDefaultScsiArrayName = "GCP-Default-IAM";

// A 6-byte INQUIRY for pageCode: the standard one for 0, a VPD one otherwise.
inline void buildInquiryCdb(short pageCode, unsigned char* cdb) {
    bool vpd = pageCode > 0;
    cdb[0] = kInquiryOpcode;
    cdb[1] = vpd ? 1 : 0;
    cdb[2] = vpd ? static_cast<unsigned char>(pageCode) : 0;
    cdb[3] = 0;
    cdb[4] = 0xFF;
    cdb[5] = 0;
}

// "Page code [83h] returned in SCSI inq response not match with requested page code ["
std::string pageCodeMismatchHead(unsigned char returned);

}  // namespace DuVavaZid
