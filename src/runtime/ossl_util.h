// Owning handles for OpenSSL objects and the turning of OpenSSL's error queue
// into text, shared by the runtime's crypto services.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace bxrt {
namespace ossl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const {
        if (p) {
            Free(p);
        }
    }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using MdPtr = std::unique_ptr<EVP_MD, Deleter<EVP_MD, EVP_MD_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

inline void freeCertStack(STACK_OF(X509) * certs) {
    sk_X509_pop_free(certs, X509_free);
}
using CertStackPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertStack>>;

// Makes ctx this thread's default library context for one scope: the PKCS#12
// decoders (and PKCS12_parse of a structure read by d2i) have no
// library-context parameter of their own and take the default.
class DefaultContextScope {
  public:
    explicit DefaultContextScope(OSSL_LIB_CTX* ctx)
        : active_(ctx != nullptr), previous_(ctx ? OSSL_LIB_CTX_set0_default(ctx) : nullptr) {}
    ~DefaultContextScope() {
        if (active_) {
            OSSL_LIB_CTX_set0_default(previous_);
        }
    }
    DefaultContextScope(const DefaultContextScope&) = delete;
    DefaultContextScope& operator=(const DefaultContextScope&) = delete;

  private:
    bool active_;
    OSSL_LIB_CTX* previous_;
};

// Empties OpenSSL's error queue of this thread into one line ("" when empty).
std::string drainErrors();

// Throws BxException with what and the drained error queue.
[[noreturn]] void throwError(const std::string& what);

}  // namespace ossl
}  // namespace bxrt
