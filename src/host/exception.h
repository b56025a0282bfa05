// The host library's exception type. Host services that cannot report a
// failure through their result (crypto, SCSI pass-through) throw it; the
// plug-in catches it where the call is made and turns it into an error code.
#pragma once

#include <exception>
#include <string>

class BxException : public std::exception {
  public:
    explicit BxException(std::string message, int code = 0)
        : message_(std::move(message)), code_(code) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }
    int code() const { return code_; }

  private:
    std::string message_;
    int code_;
};
