// Secrets at rest: array passwords, PEM service-account keys and restore
// passwords are kept in the catalog only as AES-256-GCM ciphertext under the
// host's own 32-byte key, which lives in a file readable by its owner alone.
//
// Encrypted text form: "~bxk1:" + base64(iv[12] || ciphertext || tag[16]).
// The leading "~" is there for the plug-in, which drops the first character of
// a key text before handing it back to decryptString; both the full form and
// the form without "~" decrypt.
#pragma once

#include <string>
#include <vector>

namespace bxhost {

constexpr const char* kSecretPrefix = "~bxk1:";

class HostKey {
  public:
    // Loads the key file. With create, a missing file is made (mode 0600, in
    // a directory created 0700 when missing). A file that others may read, or
    // that belongs to another user, is refused: the key would no longer be the
    // host's own.
    bool load(const std::string& path, bool create);
    bool loaded() const { return key_.size() == 32; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // Encrypted text form of plain; empty on failure (error() says why).
    std::string encrypt(const std::string& plain);
    // False when text is not in the encrypted form, was made with another key
    // or was altered.
    bool decrypt(const std::string& text, std::string* plain);

    static bool looksEncrypted(const std::string& text);

    ~HostKey();

  private:
    std::vector<unsigned char> key_;
    std::string path_;
    std::string error_;
};

// Files that hold a password or a key are small; anything larger is a wrong
// path, not a key.
constexpr size_t kMaxSecretFileBytes = 1024 * 1024;

// Reads a file that holds a secret (what: "password file", "key file" ...,
// for messages). Only a regular file of at most maxBytes is read: a device,
// FIFO or directory given by mistake fails with a message instead of
// waiting forever or filling the memory. The error never quotes the file's
// contents.
bool readSecretFile(const std::string& path, const std::string& what, std::string* out,
                    std::string* error, size_t maxBytes = kMaxSecretFileBytes);

std::string base64Encode(const std::vector<unsigned char>& data);
bool base64Decode(const std::string& text, std::vector<unsigned char>* out);

}  // namespace bxhost
