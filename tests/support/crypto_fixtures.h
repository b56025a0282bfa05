// Keys, certificates and PKCS#12 files made on the fly with OpenSSL, so that
// no test depends on key material checked into the repository.
#pragma once

#include <string>
#include <vector>

#include "support/files.h"

namespace bxtest {

struct RsaKey {
    std::string privatePem;  // PKCS#8, unencrypted
    std::string publicPem;
};

// A 2048-bit RSA key (a fresh one per call; see sharedRsaKey for one per process).
RsaKey makeRsaKey();
const RsaKey& sharedRsaKey();
// The public key (SubjectPublicKeyInfo PEM) of a private PEM key; "" when unreadable.
std::string publicPemOf(const std::string& privatePem);
// The same private key encrypted with AES-256-CBC under password.
std::string encryptedPrivatePem(const RsaKey& key, const std::string& password);
// An EC P-256 private key, PEM (not usable for RS256).
std::string makeEcPrivatePem();

enum class P12Kind {
    Modern,  // PBES2 with AES-256 (OpenSSL 3 default)
    Legacy,  // 3DES key bag, RC2-40 certificate bag: what Google issues
};
// Writes a PKCS#12 file holding key and a self-signed certificate.
bool writePkcs12(const RsaKey& key, const std::string& password, P12Kind kind,
                 const std::string& path);

// A self-signed server certificate (also its own CA) for the given names
// ("DNS:localhost", "IP:127.0.0.1").
struct ServerCert {
    std::string certPem;
    std::string keyPem;
};
ServerCert makeServerCert(const std::vector<std::string>& subjectAltNames);

// True when signature is a valid RS256 signature of data under publicPem.
bool verifyRs256(const std::string& publicPem, const std::string& data,
                 const std::string& signature);

// Decodes base64url with or without '=' fill; false on a character outside
// the alphabet.
bool base64UrlDecode(const std::string& text, std::string* out);

}  // namespace bxtest
