// Identify data as NVMe devices send it. The input is the vendor-specific
// area of an Identify Namespace structure (padded or cut to its room), and
// also a whole structure and a controller structure of its own length; a
// device name that is taken must come back unchanged from the INQUIRY answer
// that stands for it.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/inquiry_layout.h"
#include "devices/nvme_identify.h"
#include "fuzz_env.h"

using namespace DuVavaZid;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bxfuzz::quietRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string model;
    std::vector<unsigned char> controller(data, data + size);
    nvmeControllerModel(controller.data(), controller.size(), &model);

    std::vector<unsigned char> ns(kNvmeIdentifyLength, 0);
    std::memcpy(ns.data() + kNvmeVendorAreaOffset, data,
                std::min(size, kNvmeIdentifyLength - kNvmeVendorAreaOffset));
    std::string name;
    std::string why;
    std::vector<unsigned char> raw(data, data + size);
    nvmeDeviceName(raw.data(), raw.size(), &name, &why);
    if (nvmeDeviceName(ns.data(), ns.size(), &name, &why)) {
        unsigned char page[kInquiryBufferLength];
        nvmeIdentificationPage(name, page, sizeof page);
        std::string back(reinterpret_cast<const char*>(page + kDesignatorOffset),
                         page[kDesignatorLengthOffset]);
        if (back != name) {
            std::abort();
        }
    }
    unsigned char standard[kInquiryBufferLength];
    nvmeStandardInquiry(model, standard, sizeof standard);
    return 0;
}
