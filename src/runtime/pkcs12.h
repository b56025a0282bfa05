// RS256 signing with the private key of a PKCS#12 file.
#pragma once

#include <cstddef>
#include <string>

namespace bxrt {

// Signs data with RSASSA-PKCS1-v1_5 / SHA-256. length holds the capacity of
// signature on input and the signature size on output. Files whose bags use
// legacy algorithms (RC2-40, as in Google-issued keys) are read through a
// private library context with OpenSSL's legacy provider, so the process-wide
// OpenSSL configuration of the host stays as it is. On failure error gets a
// description (never the password) and false is returned.
bool signRs256WithPkcs12(const std::string& file, const std::string& data,
                         const std::string& password, unsigned char* signature, size_t& length,
                         std::string* error);

}  // namespace bxrt
