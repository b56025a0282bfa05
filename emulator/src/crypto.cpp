#include "crypto.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

namespace gce::crypto {
namespace {

template <typename T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

std::string opensslError() {
    unsigned long e = ERR_get_error();
    char buf[256] = {0};
    if (e != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
    }
    ERR_clear_error();
    return buf;
}

PkeyPtr loadPrivate(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

PkeyPtr loadPublic(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return PkeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr loadCert(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string privatePem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return "";
    }
    return bioText(bio.get());
}

std::string certPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
        return "";
    }
    return bioText(bio.get());
}

bool addExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        return false;
    }
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

X509Ptr newCert(EVP_PKEY* key, const std::string& cn, long days) {
    X509Ptr cert(X509_new());
    if (!cert) {
        return nullptr;
    }
    X509_set_version(cert.get(), 2);
    std::string serial = randomBytes(16);
    serial[0] = static_cast<char>(serial[0] & 0x7f);
    BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(serial.data()), 16, nullptr);
    if (bn == nullptr) {
        return nullptr;
    }
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    return cert;
}

// The legacy provider carries RC2 for PKCS#12 files in Google's format; loading it
// explicitly drops the implicit default, so load that too. Held until exit and unloaded
// then, so that leak checkers see every provider reference returned.
struct Providers {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    Providers() = default;
    Providers(const Providers&) = delete;
    Providers& operator=(const Providers&) = delete;
    ~Providers() {
        if (standard != nullptr) {
            OSSL_PROVIDER_unload(standard);
        }
        if (legacy != nullptr) {
            OSSL_PROVIDER_unload(legacy);
        }
    }
};

void loadProviders() {
    static Providers providers;
}

}  // namespace

std::string base64(const std::string& bytes) {
    if (bytes.empty()) {
        return "";
    }
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string base64Url(const std::string& bytes) {
    std::string s = base64(bytes);
    for (char& c : s) {
        if (c == '+') {
            c = '-';
        } else if (c == '/') {
            c = '_';
        }
    }
    while (!s.empty() && s.back() == '=') {
        s.pop_back();
    }
    return s;
}

bool base64UrlDecode(const std::string& text, std::string* out) {
    std::string s;
    s.reserve(text.size() + 3);
    for (char c : text) {
        if (c == '-') {
            s += '+';
        } else if (c == '_') {
            s += '/';
        } else if (c == '=') {
            break;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/') {
            s += c;
        } else {
            return false;
        }
    }
    if (s.size() % 4 == 1) {
        return false;
    }
    size_t pad = (4 - s.size() % 4) % 4;
    s.append(pad, '=');
    std::string buf(s.size(), '\0');
    if (s.empty()) {
        out->clear();
        return true;
    }
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&buf[0]),
                            reinterpret_cast<const unsigned char*>(s.data()),
                            static_cast<int>(s.size()));
    if (n < 0) {
        return false;
    }
    buf.resize(static_cast<size_t>(n) - pad);
    *out = buf;
    return true;
}

std::string sha256(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string randomBytes(size_t n) {
    std::string out(n, '\0');
    if (n > 0) {
        RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(n));
    }
    return out;
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string generateRsaKeyPem() {
    PkeyPtr key(EVP_RSA_gen(2048));
    return key ? privatePem(key.get()) : "";
}

std::string publicKeyPemFromPrivate(const std::string& pem) {
    PkeyPtr key = loadPrivate(pem);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) {
        return "";
    }
    return bioText(bio.get());
}

bool verifyRs256(const std::string& publicPem, const std::string& data, const std::string& sig) {
    PkeyPtr key = loadPublic(publicPem);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
        return false;
    }
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    int rc =
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size());
    ERR_clear_error();
    return rc == 1;
}

bool signRs256(const std::string& pem, const std::string& data, std::string* sig) {
    PkeyPtr key = loadPrivate(pem);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    size_t len = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &len, in, data.size()) != 1) {
        return false;
    }
    sig->assign(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&(*sig)[0]), &len, in,
                       data.size()) != 1) {
        return false;
    }
    sig->resize(len);
    return true;
}

bool makeTlsMaterial(TlsMaterial* m, const std::string& host, std::string* error) {
    PkeyPtr caKey;
    X509Ptr caCert;
    if (!m->caCertPem.empty() && !m->caKeyPem.empty()) {
        caKey = loadPrivate(m->caKeyPem);
        caCert = loadCert(m->caCertPem);
    }
    if (!caKey || !caCert) {
        caKey.reset(EVP_EC_gen("P-256"));
        if (!caKey) {
            *error = "cannot generate the CA key: " + opensslError();
            return false;
        }
        caCert = newCert(caKey.get(), "gce-emulator throw-away CA", 3650);
        if (!caCert) {
            *error = "cannot create the CA certificate";
            return false;
        }
        X509_set_issuer_name(caCert.get(), X509_get_subject_name(caCert.get()));
        if (!addExt(caCert.get(), caCert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
            !addExt(caCert.get(), caCert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
            !addExt(caCert.get(), caCert.get(), NID_subject_key_identifier, "hash") ||
            X509_sign(caCert.get(), caKey.get(), EVP_sha256()) <= 0) {
            *error = "cannot sign the CA certificate: " + opensslError();
            return false;
        }
        m->caKeyPem = privatePem(caKey.get());
        m->caCertPem = certPem(caCert.get());
    }
    PkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        *error = "cannot generate the server key: " + opensslError();
        return false;
    }
    X509Ptr cert = newCert(key.get(), "localhost", 825);
    if (!cert) {
        *error = "cannot create the server certificate";
        return false;
    }
    X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get()));
    std::string san = "IP:127.0.0.1,IP:::1,DNS:localhost";
    if (!host.empty() && host != "127.0.0.1" && host != "localhost" && host != "::1") {
        bool isIp = host.find_first_not_of("0123456789.:") == std::string::npos;
        san += (isIp ? ",IP:" : ",DNS:") + host;
    }
    if (!addExt(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExt(cert.get(), caCert.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExt(cert.get(), caCert.get(), NID_ext_key_usage, "serverAuth") ||
        !addExt(cert.get(), caCert.get(), NID_subject_alt_name, san.c_str()) ||
        !addExt(cert.get(), caCert.get(), NID_authority_key_identifier, "keyid:always") ||
        X509_sign(cert.get(), caKey.get(), EVP_sha256()) <= 0) {
        *error = "cannot sign the server certificate: " + opensslError();
        return false;
    }
    m->serverKeyPem = privatePem(key.get());
    m->serverCertPem = certPem(cert.get());
    return !m->serverKeyPem.empty() && !m->serverCertPem.empty();
}

bool writePkcs12(const std::string& path, const std::string& pem, const std::string& cn,
                 const std::string& password, std::string* error) {
    loadProviders();
    PkeyPtr key = loadPrivate(pem);
    if (!key) {
        *error = "cannot read the private key";
        return false;
    }
    X509Ptr cert = newCert(key.get(), cn, 3650);
    if (!cert) {
        *error = "cannot create the key certificate";
        return false;
    }
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        *error = "cannot sign the key certificate: " + opensslError();
        return false;
    }
    P12Ptr p12(PKCS12_create(password.c_str(), "privatekey", key.get(), cert.get(), nullptr,
                             NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                             NID_pbe_WithSHA1And40BitRC2_CBC, PKCS12_DEFAULT_ITER, 1, 0));
    if (!p12) {
        *error = "cannot create the PKCS#12 file: " + opensslError();
        return false;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || i2d_PKCS12_bio(bio.get(), p12.get()) != 1) {
        *error = "cannot encode the PKCS#12 file";
        return false;
    }
    if (!writeFile(path, bioText(bio.get()), true)) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& data, bool secret) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) {
            return false;
        }
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!f) {
            return false;
        }
    }
    if (secret) {
        chmod(tmp.c_str(), 0600);
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool readFile(const std::string& path, std::string* data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *data = ss.str();
    return true;
}

}  // namespace gce::crypto
