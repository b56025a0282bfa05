// Small string, URL and time helpers used throughout the plug-in.
#pragma once

#include <cstdint>
#include <string>

void strToLowerCase(std::string& text);
bool strCompare(const std::string& a, const std::string& b, bool ignoreCase);
bool strCompare(const char* a, const char* b, bool ignoreCase);
void extractLastPartOfUrl(const std::string& url, std::string& out);
void extractLastNthPartOfURL(const std::string& url, int32_t n, std::string& out);
// Writes the byte as two lower-case hex digits and "h" into out (4 bytes).
void convertByteToStringHex(unsigned char byte, char* out);
int64_t getCurTime();
// Percent-encodes everything but the unreserved characters of RFC 3986, for
// values placed in a URL query.
std::string urlEncode(const std::string& text);
// Overwrites a secret's bytes (in a way the compiler keeps) and empties it:
// a released string's buffer is otherwise left as it was in freed memory.
void wipeSecret(std::string& secret);
// Wipes the secret it guards when the scope ends, however it ends.
class SecretWiper {
  public:
    explicit SecretWiper(std::string& secret) : secret_(secret) {}
    ~SecretWiper() { wipeSecret(secret_); }
    SecretWiper(const SecretWiper&) = delete;
    SecretWiper& operator=(const SecretWiper&) = delete;

  private:
    std::string& secret_;
};
std::string getFormattedDateTimeStr(const int64_t& seconds, const std::string& format);
