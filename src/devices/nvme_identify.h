// Compute Engine persistent disks seen as NVMe namespaces (the machine series
// without a SCSI interface): what the Identify structures tell, and the
// INQUIRY answers that stand for them, so that every decision made on a
// SCSI disk's INQUIRY data is made the same way on an NVMe disk.
#pragma once

#include <cstddef>
#include <string>

namespace DuVavaZid {

// The model number of a persistent disk's (or Hyperdisk's) controller; local
// SSDs and other NVMe devices report other models.
constexpr const char* kPersistentDiskNvmeModel = "nvme_card-pd";
// Identify Controller: the model number, ASCII padded with spaces.
constexpr size_t kNvmeModelOffset = 24;
constexpr size_t kNvmeModelWidth = 40;
// Identify Namespace: the vendor-specific area, where Compute Engine puts a
// NUL-terminated JSON object such as {"device_name":"data-1","disk_type":"PERSISTENT"}.
constexpr size_t kNvmeVendorAreaOffset = 384;
constexpr size_t kNvmeIdentifyLength = 4096;
// A device name has to fit a page 0x83 designator of the INQUIRY buffer.
constexpr size_t kLongestNvmeDeviceName = 247;

// The model number of an Identify Controller structure, trailing spaces and
// NULs dropped; false when length cannot hold it.
bool nvmeControllerModel(const unsigned char* data, size_t length, std::string* model);

// The device name that the vendor-specific JSON of an Identify Namespace
// structure carries; false with the reason (too short, no NUL within the
// area, not a JSON object, no non-empty string "device_name", too long or
// holding control characters) otherwise.
bool nvmeDeviceName(const unsigned char* data, size_t length, std::string* name, std::string* why);

// The standard INQUIRY answer (length bytes, zeroed first) standing for an
// NVMe device: vendor "Google", product "PersistentDisk" for a persistent
// disk's model, vendor "NVMe" and the model's first 16 characters otherwise.
void nvmeStandardInquiry(const std::string& model, unsigned char* buffer, size_t length);

// The device identification page (83h) answer whose first designator is the
// device name, as a persistent disk on virtio-scsi answers it.
void nvmeIdentificationPage(const std::string& deviceName, unsigned char* buffer, size_t length);

}  // namespace DuVavaZid
