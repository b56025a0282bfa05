// Host crypto over OpenSSL: byte buckets, message digests and RSA signing.
// Failures are thrown as BxException with OpenSSL's error text; no key
// material ever appears in that text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/exception.h"

// An owned byte buffer; its content is wiped when it is released, since it
// may hold a signature input or key-derived bytes.
class BxcBucket {
  public:
    BxcBucket() = default;
    explicit BxcBucket(size_t size) : bytes_(size, 0) {}
    BxcBucket(const void* data, size_t size);
    ~BxcBucket();
    BxcBucket(const BxcBucket&) = default;
    BxcBucket& operator=(const BxcBucket&) = default;
    BxcBucket(BxcBucket&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    BxcBucket& operator=(BxcBucket&& other) noexcept;

    unsigned char* getData() { return bytes_.data(); }
    const unsigned char* getData() const { return bytes_.data(); }
    size_t getSize() const { return bytes_.size(); }
    void resize(size_t size);

  private:
    std::vector<unsigned char> bytes_;
};

// A message digest by OpenSSL algorithm name ("SHA256", "SHA384", ...).
class BxcHash {
  public:
    explicit BxcHash(const char* algorithm);
    virtual ~BxcHash();
    BxcHash(const BxcHash&) = delete;
    BxcHash& operator=(const BxcHash&) = delete;

    void addData(const void* data, size_t length);
    // Writes getDigestSize() bytes to out and starts a new digest.
    void finish(unsigned char* out);
    BxcBucket finish();
    size_t getDigestSize() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class BxcSHA256 : public BxcHash {
  public:
    static constexpr size_t kDigestSize = 32;
    BxcSHA256() : BxcHash("SHA256") {}
};

// RSA private-key operations with a PEM key.
class BxcRSA {
  public:
    BxcRSA();
    ~BxcRSA();
    BxcRSA(const BxcRSA&) = delete;
    BxcRSA& operator=(const BxcRSA&) = delete;

    // With padding (the default) sign() makes an RSASSA-PKCS1-v1_5 signature
    // of a SHA-256/384/512 digest; without it the input is one raw block.
    void enablePadding(bool enable);
    // Loads a PKCS#8 or PKCS#1 PEM private key; an empty password means the key
    // is not encrypted.
    void setPriKeyPEM(const std::string& pem, const std::string& password);
    // Modulus size in bytes (the size of every signature); 0 without a key.
    size_t getModSize() const;
    BxcBucket sign(const unsigned char* digest, size_t length);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
