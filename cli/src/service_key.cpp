#include "service_key.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "runtime/ossl_util.h"
#include "secrets.h"

namespace bxhost {

namespace {

// The plug-in's owning handles (header only: nothing of its runtime is linked).
using bxrt::ossl::BioPtr;
using bxrt::ossl::DefaultContextScope;
using bxrt::ossl::Deleter;
using bxrt::ossl::MdCtxPtr;
using bxrt::ossl::P12Ptr;
using bxrt::ossl::PkeyPtr;
using bxrt::ossl::X509Ptr;
using CertsPtr = bxrt::ossl::CertStackPtr;
using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, Deleter<OSSL_LIB_CTX, OSSL_LIB_CTX_free>>;

struct ProviderUnload {
    void operator()(OSSL_PROVIDER* p) const {
        if (p) {
            OSSL_PROVIDER_unload(p);
        }
    }
};
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, ProviderUnload>;

// OpenSSL's reasons name what failed (a wrong password, a bad structure),
// never the data.
std::string drainErrors() {
    std::string out;
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(e);
        if (reason) {
            out += (out.empty() ? "" : "; ") + std::string(reason);
        }
    }
    return out;
}

// No password prompt: an encrypted PEM key fails instead of waiting for a
// terminal.
int noPassword(char*, int, int, void*) {
    return -1;
}

PkeyPtr readPrivateKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr));
}

std::string keyKind(EVP_PKEY* key) {
    const char* name = EVP_PKEY_get0_type_name(key);
    return name ? name : "an unknown kind of key";
}

}  // namespace

void wipeString(std::string* text) {
    if (text->capacity() > 0) {
        // The whole buffer: a shorter string may leave older characters behind.
        text->resize(text->capacity());
        OPENSSL_cleanse(&(*text)[0], text->size());
    }
    text->clear();
}

std::string base64UrlEncode(const std::string& data) {
    std::string out = base64Encode(std::vector<unsigned char>(data.begin(), data.end()));
    for (auto& c : out) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    while (!out.empty() && out.back() == '=') {
        out.pop_back();
    }
    return out;
}

bool checkRsaPrivateKeyPem(const std::string& pem, std::string* error) {
    if (pem.find("ENCRYPTED PRIVATE KEY-----") != std::string::npos ||
        pem.find("Proc-Type: 4,ENCRYPTED") != std::string::npos) {
        *error = "the private key is encrypted; give it unencrypted (it is stored encrypted)";
        return false;
    }
    if (pem.find("PRIVATE KEY-----") == std::string::npos) {
        *error = "holds no PEM private key";
        return false;
    }
    PkeyPtr key = readPrivateKey(pem);
    if (!key) {
        std::string detail = drainErrors();
        *error = "the PEM private key does not parse" + (detail.empty() ? "" : " (" + detail + ")");
        return false;
    }
    ERR_clear_error();
    if (!EVP_PKEY_is_a(key.get(), "RSA")) {
        *error = "the private key is " + keyKind(key.get()) +
                 ", not RSA: Google signs service-account tokens with RSA keys only";
        return false;
    }
    return true;
}

bool parseServiceAccountJson(const std::string& text, const std::string& source,
                             ServiceAccountJson* out, std::string* error) {
    // No exception: a parse error's text would quote the file near the error,
    // which may be inside the key.
    auto json = nlohmann::json::parse(text, nullptr, false);
    struct WipeJson {
        nlohmann::json& j;
        ~WipeJson() {
            if (j.is_object() && j.contains("private_key") && j["private_key"].is_string()) {
                wipeString(&j["private_key"].get_ref<std::string&>());
            }
        }
    } wipe{json};
    if (json.is_discarded() || !json.is_object()) {
        *error = "[" + source + "] is not a JSON key file (not a JSON object)";
        return false;
    }
    auto text_of = [&json](const char* name) {
        auto it = json.find(name);
        return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::string type = text_of("type");
    if (json.contains("type") && type != "service_account") {
        *error = "[" + source + "] is a key of type [" + type +
                 "], not a service-account key (\"type\": \"service_account\")";
        return false;
    }
    std::vector<std::string> missing;
    for (const char* field : {"client_email", "private_key"}) {
        auto it = json.find(field);
        if (it == json.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
            missing.push_back(field);
        }
    }
    if (!missing.empty()) {
        std::string names;
        for (const auto& m : missing) {
            names += (names.empty() ? "" : ", ") + m;
        }
        *error = "[" + source + "] lacks " + names + ": not a service-account JSON key";
        return false;
    }
    std::string email = text_of("client_email");
    if (email.find('@') == std::string::npos) {
        *error = "[" + source + "]: client_email [" + email + "] is not an e-mail address";
        return false;
    }
    const std::string& pem = json["private_key"].get_ref<const std::string&>();
    std::string why;
    if (!checkRsaPrivateKeyPem(pem, &why)) {
        *error = "[" + source + "]: " + why;
        return false;
    }
    out->clientEmail = email;
    wipeString(&out->privateKeyPem);
    out->privateKeyPem = pem;
    out->privateKeyId = text_of("private_key_id");
    out->tokenUri = text_of("token_uri");
    return true;
}

bool pkcs12PrivateKeyPem(const std::string& path, const std::string& password, std::string* pem,
                         std::string* error) {
    SecretText der;
    if (!readSecretFile(path, "PKCS#12 file", &der.text(), error)) {
        return false;
    }
    LibCtxPtr ctx(OSSL_LIB_CTX_new());
    ProviderPtr defaultProvider(ctx ? OSSL_PROVIDER_load(ctx.get(), "default") : nullptr);
    ProviderPtr legacyProvider(ctx ? OSSL_PROVIDER_load(ctx.get(), "legacy") : nullptr);
    if (!defaultProvider || !legacyProvider) {
        *error =
            "OpenSSL's legacy provider (legacy.so, shipped with libssl3) cannot be loaded: "
            "Google's PKCS#12 files need it";
        drainErrors();
        return false;
    }
    PkeyPtr key;
    {
        DefaultContextScope scope(ctx.get());
        BioPtr bio(BIO_new_mem_buf(der.text().data(), static_cast<int>(der.text().size())));
        P12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
        if (!p12) {
            *error = "[" + path + "] is not a PKCS#12 file";
            drainErrors();
            return false;
        }
        EVP_PKEY* rawKey = nullptr;
        X509* rawCert = nullptr;
        STACK_OF(X509)* rawCa = nullptr;
        int parsed = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
        key.reset(rawKey);
        X509Ptr cert(rawCert);
        CertsPtr ca(rawCa);
        if (parsed != 1 || !key) {
            std::string detail = drainErrors();
            *error = "[" + path + "] does not open with the array's password" +
                     (detail.empty() ? "" : " (" + detail + ")");
            return false;
        }
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA")) {
        *error = "the key in [" + path + "] is " + keyKind(key.get()) + ", not RSA";
        return false;
    }
    BioPtr out(BIO_new(BIO_s_secmem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        *error = "cannot convert the key of [" + path + "]";
        drainErrors();
        return false;
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(out.get(), &data);
    wipeString(pem);
    if (length > 0 && data) {
        pem->assign(data, static_cast<size_t>(length));
    }
    return !pem->empty();
}

bool signedJwtAssertion(const std::string& pem, const std::string& email,
                        const std::string& tokenUrl, const std::string& scope, int64_t now,
                        std::string* jwt, std::string* error) {
    PkeyPtr key = readPrivateKey(pem);
    if (!key) {
        *error = "the private key does not parse";
        drainErrors();
        return false;
    }
    nlohmann::json header = {{"alg", "RS256"}, {"typ", "JWT"}};
    nlohmann::json claims = {
        {"iss", email}, {"scope", scope}, {"aud", tokenUrl}, {"iat", now}, {"exp", now + 3600}};
    std::string signingInput =
        base64UrlEncode(header.dump()) + "." + base64UrlEncode(claims.dump());
    MdCtxPtr md(EVP_MD_CTX_new());
    size_t length = 0;
    if (!md ||
        EVP_DigestSignInit_ex(md.get(), nullptr, "SHA256", nullptr, nullptr, key.get(), nullptr) !=
            1 ||
        EVP_DigestSign(md.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(signingInput.data()),
                       signingInput.size()) != 1) {
        *error = "RS256 signing failed";
        drainErrors();
        return false;
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(&signature[0]), &length,
                       reinterpret_cast<const unsigned char*>(signingInput.data()),
                       signingInput.size()) != 1) {
        *error = "RS256 signing failed";
        drainErrors();
        return false;
    }
    signature.resize(length);
    *jwt = signingInput + "." + base64UrlEncode(signature);
    return true;
}

}  // namespace bxhost
