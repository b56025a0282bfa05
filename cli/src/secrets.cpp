#include "secrets.h"

#include "fs_util.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace bxhost {

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kIvSize = 12;
constexpr size_t kTagSize = 16;
// Binds every ciphertext to this use, so that a blob made elsewhere with the
// same key is not accepted as one of ours.
const unsigned char kAad[] = "bxso-host secret v1";

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Closes a descriptor on every path.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string sizeText(size_t bytes) {
    return bytes % (1024 * 1024) == 0 ? std::to_string(bytes / (1024 * 1024)) + " MiB"
           : bytes % 1024 == 0        ? std::to_string(bytes / 1024) + " KiB"
                                      : std::to_string(bytes) + " bytes";
}

}  // namespace

bool readSecretFile(const std::string& path, const std::string& what, std::string* out,
                    std::string* error, size_t maxBytes) {
    out->clear();
    const std::string name = what + " [" + path + "]";
    // O_NONBLOCK: opening a FIFO without a writer would wait for one.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.fd < 0) {
        *error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) {
        *error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = name + " is not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        *error = name + " is larger than " + sizeText(maxBytes) + ": not a " + what;
        return false;
    }
    // Read straight into out, sized once by what fstat saw: a reallocation
    // would leave a copy of the secret in freed memory. One byte more tells a
    // file that grew meanwhile.
    const size_t expected = static_cast<size_t>(st.st_size);
    out->assign(expected + 1, '\0');
    size_t have = 0;
    bool grew = false;
    int readError = 0;
    for (;;) {
        ssize_t n = ::read(fd.fd, &(*out)[have], out->size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readError = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<size_t>(n);
        if (have > expected) {
            grew = true;
            break;
        }
    }
    if (grew || readError != 0) {
        OPENSSL_cleanse(&(*out)[0], out->size());
        out->clear();
        *error = grew ? name + " changed while it was read"
                      : "cannot read " + name + ": " + std::strerror(readError);
        return false;
    }
    out->resize(have);
    return true;
}

std::string base64Encode(const std::vector<unsigned char>& data) {
    if (data.empty()) {
        return {};
    }
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(),
                            static_cast<int>(data.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

bool base64Decode(const std::string& text, std::vector<unsigned char>* out) {
    out->clear();
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    std::vector<unsigned char> buf(3 * text.size() / 4 + 1);
    int n = EVP_DecodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t pad = 0;
    if (text[text.size() - 1] == '=') {
        ++pad;
        if (text[text.size() - 2] == '=') {
            ++pad;
        }
    }
    buf.resize(static_cast<size_t>(n) - pad);
    *out = std::move(buf);
    return true;
}

HostKey::~HostKey() {
    if (!key_.empty()) {
        OPENSSL_cleanse(key_.data(), key_.size());
    }
}

bool HostKey::load(const std::string& path, bool create) {
    path_ = path;
    error_.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) {
            error_ = "host key file [" + path + "] cannot be read: " + std::strerror(errno) +
                     (errno == ENOENT ? " (it is created by the first 'bxso-host array add')" : "");
            return false;
        }
        std::string dirError;
        if (!makeDirs(dirName(path), 0700, &dirError)) {
            error_ = "host key file [" + path + "]: " + dirError;
            return false;
        }
        std::vector<unsigned char> fresh(kKeySize);
        if (RAND_bytes(fresh.data(), static_cast<int>(fresh.size())) != 1) {
            error_ = "no random bytes for a new host key";
            return false;
        }
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.fd < 0) {
            error_ = "cannot create host key file [" + path + "]: " + std::strerror(errno);
            return false;
        }
        bool written =
            ::write(fd.fd, fresh.data(), fresh.size()) == static_cast<ssize_t>(fresh.size()) &&
            ::fsync(fd.fd) == 0;
        OPENSSL_cleanse(fresh.data(), fresh.size());
        if (!written) {
            error_ = "cannot write host key file [" + path + "]: " + std::strerror(errno);
            ::unlink(path.c_str());
            return false;
        }
        if (::stat(path.c_str(), &st) != 0) {
            error_ = "host key file [" + path + "] vanished";
            return false;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = "host key file [" + path + "] is not a regular file";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error_ = "host key file [" + path + "] has mode " + mode +
                 ": it must be readable by its owner only (chmod 600 " + path + ")";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error_ = "host key file [" + path + "] belongs to uid " + std::to_string(st.st_uid) +
                 ", not to the user running bxso-host (uid " + std::to_string(::geteuid()) + ")";
        return false;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        error_ = "cannot open host key file [" + path + "]: " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> key(kKeySize + 1);
    ssize_t n = ::read(fd.fd, key.data(), key.size());
    if (n != static_cast<ssize_t>(kKeySize)) {
        OPENSSL_cleanse(key.data(), key.size());
        error_ = "host key file [" + path + "] does not hold a 32-byte key";
        return false;
    }
    key.resize(kKeySize);
    key_ = std::move(key);
    return true;
}

bool HostKey::looksEncrypted(const std::string& text) {
    const std::string prefix = kSecretPrefix;
    return text.compare(0, prefix.size(), prefix) == 0 ||
           text.compare(0, prefix.size() - 1, prefix.substr(1)) == 0;
}

std::string HostKey::encrypt(const std::string& plain) {
    if (!loaded()) {
        error_ = "no host key loaded";
        return {};
    }
    std::vector<unsigned char> out(kIvSize + plain.size() + kTagSize);
    if (RAND_bytes(out.data(), static_cast<int>(kIvSize)) != 1) {
        error_ = "no random bytes for an IV";
        return {};
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int total = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key_.data(), out.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, kAad, sizeof kAad - 1) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data() + kIvSize, &len,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1) {
        error_ = "encryption failed";
        return {};
    }
    total = len;
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + kIvSize + total, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                            out.data() + kIvSize + plain.size()) != 1) {
        error_ = "encryption failed";
        return {};
    }
    return std::string(kSecretPrefix) + base64Encode(out);
}

bool HostKey::decrypt(const std::string& text, std::string* plain) {
    plain->clear();
    if (!loaded()) {
        error_ = "no host key loaded";
        return false;
    }
    std::string prefix = kSecretPrefix;
    std::string body;
    if (text.compare(0, prefix.size(), prefix) == 0) {
        body = text.substr(prefix.size());
    } else if (text.compare(0, prefix.size() - 1, prefix.substr(1)) == 0) {
        body = text.substr(prefix.size() - 1);
    } else {
        error_ = "not an encrypted text of this host";
        return false;
    }
    std::vector<unsigned char> blob;
    if (!base64Decode(body, &blob) || blob.size() < kIvSize + kTagSize) {
        error_ = "encrypted text is damaged";
        return false;
    }
    size_t ctLen = blob.size() - kIvSize - kTagSize;
    std::vector<unsigned char> out(ctLen + 1);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int total = 0;
    bool ok = ctx &&
              EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) == 1 &&
              EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key_.data(), blob.data()) == 1 &&
              EVP_DecryptUpdate(ctx.get(), nullptr, &len, kAad, sizeof kAad - 1) == 1 &&
              EVP_DecryptUpdate(ctx.get(), out.data(), &len, blob.data() + kIvSize,
                                static_cast<int>(ctLen)) == 1;
    total = len;
    ok = ok &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                             blob.data() + kIvSize + ctLen) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), out.data() + total, &len) == 1;
    if (!ok) {
        OPENSSL_cleanse(out.data(), out.size());
        error_ = "secret does not decrypt with host key [" + path_ +
                 "] (another host's key, or the text was altered)";
        return false;
    }
    plain->assign(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(total));
    OPENSSL_cleanse(out.data(), out.size());
    return true;
}

}  // namespace bxhost
