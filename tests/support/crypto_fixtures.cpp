#include "crypto_fixtures.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace bxtest {
namespace {

template <typename T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const {
        if (p) {
            F(p);
        }
    }
};
using Pkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO, BIO_free_all>>;
using Cert = std::unique_ptr<X509, Free<X509, X509_free>>;
using P12 = std::unique_ptr<PKCS12, Free<PKCS12, PKCS12_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX, EVP_MD_CTX_free>>;
using LibCtx = std::unique_ptr<OSSL_LIB_CTX, Free<OSSL_LIB_CTX, OSSL_LIB_CTX_free>>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(len));
}

Pkey readPrivate(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Cert selfSigned(EVP_PKEY* key, const std::vector<std::string>& sans, const char* cn) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), std::rand() + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * 30);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    auto addExt = [&](int nid, const std::string& value) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        if (ext) {
            X509_add_ext(cert.get(), ext, -1);
            X509_EXTENSION_free(ext);
        }
    };
    addExt(NID_basic_constraints, "critical,CA:TRUE");
    if (!sans.empty()) {
        std::string list;
        for (const auto& s : sans) {
            list += (list.empty() ? "" : ",") + s;
        }
        addExt(NID_subject_alt_name, list);
    }
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

}  // namespace

RsaKey makeRsaKey() {
    Pkey key(EVP_RSA_gen(2048));
    RsaKey out;
    Bio priv(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    out.privatePem = bioText(priv.get());
    Bio pub(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(pub.get(), key.get());
    out.publicPem = bioText(pub.get());
    return out;
}

const RsaKey& sharedRsaKey() {
    static const RsaKey key = makeRsaKey();
    return key;
}

std::string publicPemOf(const std::string& privatePem) {
    Pkey key = readPrivate(privatePem);
    if (!key) {
        return "";
    }
    Bio pub(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(pub.get(), key.get());
    return bioText(pub.get());
}

std::string encryptedPrivatePem(const RsaKey& key, const std::string& password) {
    Pkey pkey = readPrivate(key.privatePem);
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PKCS8PrivateKey(bio.get(), pkey.get(), EVP_aes_256_cbc(), password.data(),
                                  static_cast<int>(password.size()), nullptr, nullptr);
    return bioText(bio.get());
}

std::string makeEcPrivatePem() {
    Pkey key(EVP_EC_gen("P-256"));
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return bioText(bio.get());
}

bool writePkcs12(const RsaKey& key, const std::string& password, P12Kind kind,
                 const std::string& path) {
    // Legacy algorithms live in the legacy provider; use a private context so
    // the test process keeps OpenSSL's defaults like the host would.
    LibCtx libctx(OSSL_LIB_CTX_new());
    OSSL_PROVIDER* def = OSSL_PROVIDER_load(libctx.get(), "default");
    OSSL_PROVIDER* legacy =
        kind == P12Kind::Legacy ? OSSL_PROVIDER_load(libctx.get(), "legacy") : nullptr;
    bool ok = false;
    {
        Pkey pkey = readPrivate(key.privatePem);
        Cert cert = selfSigned(pkey.get(), {}, "service-account");
        int keyNid = kind == P12Kind::Legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
        int certNid = kind == P12Kind::Legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : 0;
        P12 p12(PKCS12_create_ex(password.c_str(), "privatekey", pkey.get(), cert.get(), nullptr,
                                 keyNid, certNid, 0, 0, 0, libctx.get(), nullptr));
        if (p12) {
            Bio out(BIO_new_file(path.c_str(), "wb"));
            ok = out && i2d_PKCS12_bio(out.get(), p12.get()) == 1;
        }
    }
    if (legacy) {
        OSSL_PROVIDER_unload(legacy);
    }
    if (def) {
        OSSL_PROVIDER_unload(def);
    }
    return ok;
}

ServerCert makeServerCert(const std::vector<std::string>& subjectAltNames) {
    Pkey key(EVP_RSA_gen(2048));
    Cert cert = selfSigned(key.get(), subjectAltNames, "test-server");
    ServerCert out;
    Bio c(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(c.get(), cert.get());
    out.certPem = bioText(c.get());
    Bio k(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    out.keyPem = bioText(k.get());
    return out;
}

bool verifyRs256(const std::string& publicPem, const std::string& data,
                 const std::string& signature) {
    Bio bio(BIO_new_mem_buf(publicPem.data(), static_cast<int>(publicPem.size())));
    Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    MdCtx md(EVP_MD_CTX_new());
    if (!key || !md ||
        EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
}

bool base64UrlDecode(const std::string& text, std::string* out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        size_t v = alphabet.find(c);
        if (v == std::string::npos) {
            return false;
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

}  // namespace bxtest
