// OpenSSL helpers of the emulator: keys, certificates, PKCS#12 and RS256 verification.
#pragma once

#include <string>
#include <vector>

namespace gce::crypto {

std::string base64(const std::string& bytes);
std::string base64Url(const std::string& bytes);  // no padding
// Accepts base64url or standard base64, with or without '=' padding.
bool base64UrlDecode(const std::string& text, std::string* out);
std::string sha256(const std::string& data);  // raw 32 bytes
std::string randomBytes(size_t n);
std::string hex(const std::string& bytes);

// PEM (PKCS#8) text of a new RSA-2048 private key, or "" on failure.
std::string generateRsaKeyPem();
std::string publicKeyPemFromPrivate(const std::string& privatePem);
// RSASSA-PKCS1-v1_5 with SHA-256.
bool verifyRs256(const std::string& publicPem, const std::string& data, const std::string& sig);
bool signRs256(const std::string& privatePem, const std::string& data, std::string* sig);

struct TlsMaterial {
    std::string caCertPem, caKeyPem, serverCertPem, serverKeyPem;
};
// Reuses caCertPem/caKeyPem when both are set and parse; otherwise makes a new CA.
// The server certificate names IP 127.0.0.1, ::1, DNS localhost and `host` when not empty.
bool makeTlsMaterial(TlsMaterial* m, const std::string& host, std::string* error);

// A PKCS#12 file as Google issues them: legacy PBE (3DES key bag, RC2-40 certificate bag),
// friendly name "privatekey", self-signed certificate for the key.
bool writePkcs12(const std::string& path, const std::string& privatePem,
                 const std::string& commonName, const std::string& password, std::string* error);

bool writeFile(const std::string& path, const std::string& data, bool secret);
bool readFile(const std::string& path, std::string* data);

}  // namespace gce::crypto
