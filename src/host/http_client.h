// The host HTTP client over libcurl. One object owns one connection context
// (an easy handle) that every request reuses, so consecutive requests to the
// same host share the TCP connection and the TLS session. Not thread-safe:
// one exchange at a time per object.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// Kinds of lines for BXLibCurlAppendHeader.
enum _http_hdr_type_ : int {
    BX_HTTP_HDR_HEADER = 0,   // one "Name:value" request header line
    BX_HTTP_HDR_USERPWD = 1,  // "user:password" for HTTP basic authentication
};

// Methods for BXLibCurlSendHttpReq.
enum _http_req_type_ : int {
    BX_HTTP_REQ_GET = 0,
    BX_HTTP_REQ_POST = 1,
    BX_HTTP_REQ_PUT = 2,
    BX_HTTP_REQ_DELETE = 3,
    BX_HTTP_REQ_HEAD = 4,
    BX_HTTP_REQ_PATCH = 5,
};

// Receives one line of connection trace (never request or response bodies;
// credentials in header lines are masked).
using BXLibCurlTraceFn = std::function<void(const std::string& line)>;

class BXLibCurl {
  public:
    BXLibCurl();
    ~BXLibCurl();
    BXLibCurl(const BXLibCurl&) = delete;
    BXLibCurl& operator=(const BXLibCurl&) = delete;

    // Prepares the connection context. caBundle: a CA file to trust instead of
    // the "Gcp"/"CaBundle" setting (null: the setting, else the system store).
    // reuseConnections: keep connections open between requests. verbose: trace
    // from the start. trace: where trace lines go (null: the debug log at level
    // 9). Peer and host-name verification are always on. Connect and total
    // timeouts come from the settings ("Gcp"/"ConnectTimeoutMs", "TimeoutMs").
    bool BXLibCurlInit(const char* caBundle, bool reuseConnections, bool verbose,
                       BXLibCurlTraceFn trace);
    void toggleTrace(bool on);

    // Adds a line for the next requests; an empty line is accepted and not sent.
    bool BXLibCurlAppendHeader(_http_hdr_type_ kind, const std::string& line);
    void BXLibCurlFreeHttpHeaderList();

    // One exchange. data/length is the request body (null/0: none); a body
    // without a Content-Type line goes out as application/x-www-form-urlencoded.
    // An HTTP status of 400 or more is a failed exchange; status and body stay
    // available. totalTimeMs, when given, receives the exchange's duration.
    bool BXLibCurlSendHttpReq(_http_req_type_ method, const std::string& url, const char* data,
                              size_t length, bool followRedirects, long* totalTimeMs);

    // HTTP status of the last exchange; 0 when no response arrived.
    long GetHttpErrorCode() const;
    // Body (headers false) or header block (headers true) of the last response.
    const char* GetHttpResponse(size_t& length, bool headers) const;
    // libcurl's error text of the last failed exchange, or "HTTP status N".
    const std::string& GetLastError() const;
    // New connections the last exchange had to open (0 when one was reused).
    long GetNewConnectionCount() const;
    // Job id carried by this client's debug-log lines.
    void setJobId(long long jobId);

    // RS256 (RSASSA-PKCS1-v1_5 with SHA-256) signature of data with the private
    // key of a PKCS#12 file. length: on input the capacity of signature, on
    // output the signature's size. Files with legacy encryption (RC2, as Google
    // issues them) are read too. False on any failure, reported in the debug
    // log without the password.
    bool SignSHA256withRSA(const std::string& p12File, const std::string& data,
                           const std::string& password, unsigned char* signature, size_t& length);
    // Why the last SignSHA256withRSA failed (OpenSSL's reason, never the
    // password); empty after a success.
    const std::string& GetLastSignError() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
