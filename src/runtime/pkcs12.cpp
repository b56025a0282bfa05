#include "runtime/pkcs12.h"

#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "runtime/ossl_util.h"

namespace bxrt {
namespace {

using namespace ossl;

constexpr size_t kMaxPkcs12Size = 1 << 20;

// A library context of our own with the default and the legacy provider.
// Loading the legacy provider into the global context would change which
// algorithms the whole host process accepts.
class LegacyContext {
  public:
    static OSSL_LIB_CTX* get() {
        static LegacyContext instance;
        return instance.ctx_;
    }

  private:
    LegacyContext() {
        ctx_ = OSSL_LIB_CTX_new();
        if (!ctx_) {
            return;
        }
        defaultProv_ = OSSL_PROVIDER_load(ctx_, "default");
        legacyProv_ = OSSL_PROVIDER_load(ctx_, "legacy");
        if (!defaultProv_ || !legacyProv_) {
            release();
        }
    }
    ~LegacyContext() { release(); }
    void release() {
        if (legacyProv_) {
            OSSL_PROVIDER_unload(legacyProv_);
            legacyProv_ = nullptr;
        }
        if (defaultProv_) {
            OSSL_PROVIDER_unload(defaultProv_);
            defaultProv_ = nullptr;
        }
        if (ctx_) {
            OSSL_LIB_CTX_free(ctx_);
            ctx_ = nullptr;
        }
    }

    OSSL_LIB_CTX* ctx_ = nullptr;
    OSSL_PROVIDER* defaultProv_ = nullptr;
    OSSL_PROVIDER* legacyProv_ = nullptr;
};

struct Wiped {
    std::vector<unsigned char> bytes;
    ~Wiped() {
        if (!bytes.empty()) {
            OPENSSL_cleanse(bytes.data(), bytes.size());
        }
    }
};

// One attempt in one library context (null: the global one).
bool signIn(OSSL_LIB_CTX* libctx, const std::vector<unsigned char>& der,
            const std::string& password, const std::string& data, unsigned char* signature,
            size_t& length, std::string* error) {
    DefaultContextScope scope(libctx);
    BioPtr bio(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    P12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
    if (!p12) {
        *error = "not a PKCS#12 file (" + drainErrors() + ")";
        return false;
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int parsed = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
    PkeyPtr key(rawKey);
    X509Ptr cert(rawCert);
    CertStackPtr ca(rawCa);
    if (parsed != 1 || !key) {
        std::string detail = drainErrors();
        *error =
            "cannot read the PKCS#12 file (" + (detail.empty() ? "no private key" : detail) + ")";
        return false;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        *error = "the PKCS#12 key is not an RSA key";
        return false;
    }
    size_t needed = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    if (needed > length) {
        *error = "signature buffer too small (" + std::to_string(length) + " < " +
                 std::to_string(needed) + ")";
        return false;
    }
    MdCtxPtr md(EVP_MD_CTX_new());
    size_t sigLen = length;
    if (!md ||
        EVP_DigestSignInit_ex(md.get(), nullptr, "SHA256", libctx, nullptr, key.get(), nullptr) !=
            1 ||
        EVP_DigestSign(md.get(), signature, &sigLen,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        *error = "RS256 signature failed (" + drainErrors() + ")";
        return false;
    }
    length = sigLen;
    return true;
}

}  // namespace

bool signRs256WithPkcs12(const std::string& file, const std::string& data,
                         const std::string& password, unsigned char* signature, size_t& length,
                         std::string* error) {
    std::string ignored;
    if (!error) {
        error = &ignored;
    }
    error->clear();
    if (!signature || length == 0) {
        *error = "no signature buffer";
        return false;
    }
    // Only a regular file of key size is read: a device or a pipe given by
    // mistake would otherwise be read until memory runs out.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "PKCS#12 file [" + file + "] is not a readable regular file";
        return false;
    }
    if (info.st_size <= 0 || static_cast<size_t>(info.st_size) > kMaxPkcs12Size) {
        *error = "PKCS#12 file [" + file + "] is empty or too large";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot open PKCS#12 file [" + file + "]";
        return false;
    }
    Wiped der;
    der.bytes.resize(static_cast<size_t>(info.st_size));
    in.read(reinterpret_cast<char*>(der.bytes.data()),
            static_cast<std::streamsize>(der.bytes.size()));
    der.bytes.resize(static_cast<size_t>(in.gcount()));
    if (der.bytes.empty()) {
        *error = "PKCS#12 file [" + file + "] is empty or too large";
        return false;
    }
    ERR_clear_error();
    std::string firstError;
    if (signIn(nullptr, der.bytes, password, data, signature, length, &firstError)) {
        return true;
    }
    // Google's .p12 keys protect their certificate bag with RC2-40, which only
    // the legacy provider has.
    OSSL_LIB_CTX* legacy = LegacyContext::get();
    if (!legacy) {
        *error = firstError + "; legacy provider not available (" + ossl::drainErrors() + ")";
        return false;
    }
    std::string legacyError;
    if (signIn(legacy, der.bytes, password, data, signature, length, &legacyError)) {
        return true;
    }
    *error = legacyError;
    return false;
}

}  // namespace bxrt
