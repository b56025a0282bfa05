// Service-account keys as the host meets them: Google's JSON key files, PEM
// private keys and PKCS#12 files, and the signed JWT that trades a key for an
// access token (what `doctor` does to prove that an array's key and account
// work). Every buffer that held key material is wiped before it is released,
// and no error text quotes a key.
#pragma once

#include <cstdint>
#include <string>

namespace bxhost {

// Zeroes a string's characters (also those beyond its size) and empties it.
void wipeString(std::string* text);

// Holds a secret text and wipes it when it goes out of scope.
class SecretText {
  public:
    SecretText() = default;
    ~SecretText() { wipeString(&text_); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    std::string& text() { return text_; }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// What bxso-host takes from a Google JSON key file.
struct ServiceAccountJson {
    std::string clientEmail;
    std::string privateKeyPem;  // secret: the caller wipes it (wipeString)
    std::string privateKeyId;   // not secret: Google shows it in the console
    std::string tokenUri;
    ~ServiceAccountJson() { wipeString(&privateKeyPem); }
};

// Parses the text of a JSON key ("type": "service_account", "client_email",
// "private_key"); the private key must be an RSA key, the only kind the
// token endpoint accepts for RS256. source names the file in errors.
bool parseServiceAccountJson(const std::string& text, const std::string& source,
                             ServiceAccountJson* out, std::string* error);

// True when pem holds an unencrypted RSA private key; error says what it holds
// otherwise (never the key's text).
bool checkRsaPrivateKeyPem(const std::string& pem, std::string* error);

// The private key of a PKCS#12 file as PEM (PKCS#8). Google's files use legacy
// encryption (RC2-40), read with OpenSSL's legacy provider in a library context
// of its own, so the process's OpenSSL configuration stays as it is.
bool pkcs12PrivateKeyPem(const std::string& path, const std::string& password, std::string* pem,
                         std::string* error);

// A JWT bearer-grant assertion (RS256) for the token endpoint: issuer email,
// audience tokenUrl, the given scope, valid for an hour from now (seconds since
// the epoch).
bool signedJwtAssertion(const std::string& pem, const std::string& email,
                        const std::string& tokenUrl, const std::string& scope, int64_t now,
                        std::string* jwt, std::string* error);

// base64url without padding (RFC 7515).
std::string base64UrlEncode(const std::string& data);

}  // namespace bxhost
