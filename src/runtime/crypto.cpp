#include "host/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <limits>

#include "runtime/ossl_util.h"

namespace bxrt {
namespace ossl {

std::string drainErrors() {
    std::string text;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text;
}

void throwError(const std::string& what) {
    std::string detail = drainErrors();
    throw BxException(detail.empty() ? what : what + ": " + detail);
}

}  // namespace ossl
}  // namespace bxrt

using namespace bxrt::ossl;

BxcBucket::BxcBucket(const void* data, size_t size) : bytes_(size) {
    if (size) {
        std::memcpy(bytes_.data(), data, size);
    }
}

BxcBucket::~BxcBucket() {
    if (!bytes_.empty()) {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }
}

BxcBucket& BxcBucket::operator=(BxcBucket&& other) noexcept {
    if (this != &other) {
        if (!bytes_.empty()) {
            OPENSSL_cleanse(bytes_.data(), bytes_.size());
        }
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

void BxcBucket::resize(size_t size) {
    if (size < bytes_.size()) {
        OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
    }
    bytes_.resize(size, 0);
}

struct BxcHash::Impl {
    MdPtr md;
    MdCtxPtr ctx;
};

BxcHash::BxcHash(const char* algorithm) : impl_(new Impl) {
    impl_->md.reset(EVP_MD_fetch(nullptr, algorithm, nullptr));
    if (!impl_->md) {
        throwError(std::string("Unknown digest ") + (algorithm ? algorithm : "(null)"));
    }
    impl_->ctx.reset(EVP_MD_CTX_new());
    if (!impl_->ctx || EVP_DigestInit_ex2(impl_->ctx.get(), impl_->md.get(), nullptr) != 1) {
        throwError("Cannot start digest");
    }
}

BxcHash::~BxcHash() = default;

void BxcHash::addData(const void* data, size_t length) {
    if (length && EVP_DigestUpdate(impl_->ctx.get(), data, length) != 1) {
        throwError("Cannot update digest");
    }
}

void BxcHash::finish(unsigned char* out) {
    unsigned int len = 0;
    if (!out || EVP_DigestFinal_ex(impl_->ctx.get(), out, &len) != 1 ||
        EVP_DigestInit_ex2(impl_->ctx.get(), impl_->md.get(), nullptr) != 1) {
        throwError("Cannot finish digest");
    }
}

BxcBucket BxcHash::finish() {
    BxcBucket out(getDigestSize());
    finish(out.getData());
    return out;
}

size_t BxcHash::getDigestSize() const {
    return static_cast<size_t>(EVP_MD_get_size(impl_->md.get()));
}

struct BxcRSA::Impl {
    PkeyPtr key;
    bool padding = true;
};

BxcRSA::BxcRSA() : impl_(new Impl) {}
BxcRSA::~BxcRSA() = default;

void BxcRSA::enablePadding(bool enable) {
    impl_->padding = enable;
}

namespace {

int passwordCallback(char* buf, int size, int, void* user) {
    const auto* password = static_cast<const std::string*>(user);
    if (!password || password->empty() || size <= 0) {
        return -1;
    }
    int len = static_cast<int>(password->size());
    if (len > size) {
        return -1;
    }
    std::memcpy(buf, password->data(), static_cast<size_t>(len));
    return len;
}

const char* digestNameForLength(size_t length) {
    switch (length) {
        case 32:
            return "SHA256";
        case 48:
            return "SHA384";
        case 64:
            return "SHA512";
        default:
            return nullptr;
    }
}

}  // namespace

void BxcRSA::setPriKeyPEM(const std::string& pem, const std::string& password) {
    impl_->key.reset();
    if (pem.empty() || pem.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw BxException("Private key text is empty or too large");
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        throwError("Cannot read private key");
    }
    std::string pass = password;
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passwordCallback, &pass));
    OPENSSL_cleanse(pass.data(), pass.size());
    if (!key) {
        throwError("Cannot read PEM private key");
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        ERR_clear_error();
        throw BxException("Private key is not an RSA key");
    }
    impl_->key = std::move(key);
}

size_t BxcRSA::getModSize() const {
    return impl_->key ? static_cast<size_t>(EVP_PKEY_get_size(impl_->key.get())) : 0;
}

BxcBucket BxcRSA::sign(const unsigned char* digest, size_t length) {
    if (!impl_->key) {
        throw BxException("No private key set");
    }
    if (!digest || length == 0) {
        throw BxException("Nothing to sign");
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) {
        throwError("Cannot start RSA signature");
    }
    if (impl_->padding) {
        const char* mdName = digestNameForLength(length);
        if (!mdName) {
            throw BxException("Digest length " + std::to_string(length) + " is not supported");
        }
        MdPtr md(EVP_MD_fetch(nullptr, mdName, nullptr));
        if (!md || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), md.get()) != 1) {
            throwError("Cannot set RSA padding");
        }
    } else if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1) {
        throwError("Cannot set raw RSA");
    }
    size_t sigLen = getModSize();
    BxcBucket out(sigLen);
    if (EVP_PKEY_sign(ctx.get(), out.getData(), &sigLen, digest, length) != 1) {
        throwError("RSA signature failed");
    }
    out.resize(sigLen);
    return out;
}
