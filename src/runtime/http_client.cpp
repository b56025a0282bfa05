#include "host/http_client.h"

#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "host/debug_log.h"
#include "runtime/endpoints.h"
#include "runtime/pkcs12.h"

namespace {

constexpr int kTraceLevel = 9;

bool globalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

const char* methodName(_http_req_type_ method) {
    switch (method) {
        case BX_HTTP_REQ_GET:
            return "GET";
        case BX_HTTP_REQ_POST:
            return "POST";
        case BX_HTTP_REQ_PUT:
            return "PUT";
        case BX_HTTP_REQ_DELETE:
            return "DELETE";
        case BX_HTTP_REQ_HEAD:
            return "HEAD";
        case BX_HTTP_REQ_PATCH:
            return "PATCH";
    }
    return nullptr;
}

// Header names whose values are credentials.
bool isCredentialHeader(const std::string& line) {
    static const char* const names[] = {
        "authorization:", "proxy-authorization:", "cookie:", "set-cookie:"};
    for (const char* name : names) {
        size_t n = std::strlen(name);
        if (line.size() >= n && strncasecmp(line.c_str(), name, n) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

struct BXLibCurl::Impl {
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::string userPwd;
    std::string body;
    std::string headerBlock;
    long status = 0;
    long newConnections = 0;
    std::string lastError;
    std::string lastSignError;
    // Longer answers are not Compute Engine's: reading stops there.
    size_t maxResponseBytes = static_cast<size_t>(bxrt::kDefaultMaxResponseBytes);
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    bool overflow = false;
    bool traceOn = false;
    BXLibCurlTraceFn traceFn;
    long long jobId = 0;
    HostDebug debug;

    bool append(const char* line) {
        curl_slist* head = curl_slist_append(headers.get(), line);
        if (!head) {
            return false;
        }
        if (head != headers.get()) {
            headers.release();
            headers.reset(head);
        }
        return true;
    }

    // Every list starts by switching off "Expect: 100-continue", which would
    // hold larger bodies back for a round trip.
    bool ensureList() { return headers || append("Expect:"); }

    void applyTrace() {
        if (!easy) {
            return;
        }
        bool verbose = traceOn && (traceFn || debug.getDebugLevel() >= kTraceLevel);
        curl_easy_setopt(easy.get(), CURLOPT_VERBOSE, verbose ? 1L : 0L);
    }

    void trace(const std::string& line) {
        if (traceFn) {
            traceFn(line);
        } else {
            debug.debugLvl(kTraceLevel, jobId, "GCP HTTP %s", line.c_str());
        }
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Impl*>(user);
        size_t n = size * count;
        if (self->body.size() + n > self->maxResponseBytes) {
            self->overflow = true;
            return 0;
        }
        self->body.append(data, n);
        return n;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Impl*>(user);
        size_t n = size * count;
        // A new status line (after "100 Continue" or a redirect) starts a new block.
        if (n >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
            self->headerBlock.clear();
        }
        if (self->headerBlock.size() + n <= self->maxResponseBytes) {
            self->headerBlock.append(data, n);
        }
        return n;
    }

    // Connection events and header lines only; bodies never reach the trace.
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
        auto* self = static_cast<Impl*>(user);
        if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) {
            return 0;
        }
        const char* tag = type == CURLINFO_TEXT ? "* " : (type == CURLINFO_HEADER_IN ? "< " : "> ");
        std::string text(data, size);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end == std::string::npos ? end : end - start);
            start = end == std::string::npos ? text.size() : end + 1;
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
                line.pop_back();
            }
            if (line.empty()) {
                continue;
            }
            if (type != CURLINFO_TEXT && isCredentialHeader(line)) {
                line = line.substr(0, line.find(':') + 1) + " ******";
            }
            self->trace(tag + line);
        }
        return 0;
    }
};

BXLibCurl::BXLibCurl() : impl_(new Impl) {}

BXLibCurl::~BXLibCurl() = default;

bool BXLibCurl::BXLibCurlInit(const char* caBundle, bool reuseConnections, bool verbose,
                              BXLibCurlTraceFn trace) {
    Impl& s = *impl_;
    s.easy.reset();
    if (!globalInit()) {
        s.lastError = "libcurl global initialisation failed";
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        return false;
    }
    s.easy.reset(curl_easy_init());
    if (!s.easy) {
        s.lastError = "libcurl easy handle could not be created";
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        return false;
    }
    bxrt::HttpSettings settings = bxrt::httpSettings();
    std::string ca = caBundle ? std::string(caBundle) : settings.caBundle;
    if (!ca.empty() && ::access(ca.c_str(), R_OK) != 0) {
        s.lastError = "CA bundle [" + ca + "] cannot be read";
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        s.easy.reset();
        return false;
    }
    s.maxResponseBytes = static_cast<size_t>(settings.maxResponseBytes);
    CURL* e = s.easy.get();
    bool ok = true;
    auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!ca.empty()) {
        set(curl_easy_setopt(e, CURLOPT_CAINFO, ca.c_str()));
    }
    set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs));
    set(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, settings.timeoutMs));
    set(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, s.errorBuffer));
    set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onBody));
    set(curl_easy_setopt(e, CURLOPT_WRITEDATA, &s));
    set(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader));
    set(curl_easy_setopt(e, CURLOPT_HEADERDATA, &s));
    set(curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &Impl::onDebug));
    set(curl_easy_setopt(e, CURLOPT_DEBUGDATA, &s));
    set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L));
    set(curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L));
    set(curl_easy_setopt(e, CURLOPT_FORBID_REUSE, reuseConnections ? 0L : 1L));
    if (!ok) {
        s.lastError = "libcurl rejected an option";
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        s.easy.reset();
        return false;
    }
    s.traceFn = std::move(trace);
    s.traceOn = verbose;
    s.applyTrace();
    return true;
}

void BXLibCurl::toggleTrace(bool on) {
    impl_->traceOn = on;
    impl_->applyTrace();
}

bool BXLibCurl::BXLibCurlAppendHeader(_http_hdr_type_ kind, const std::string& line) {
    Impl& s = *impl_;
    switch (kind) {
        case BX_HTTP_HDR_HEADER:
            if (line.empty()) {
                return true;
            }
            if (line.find_first_of("\r\n") != std::string::npos) {
                return false;  // would smuggle a second header or a body
            }
            return s.ensureList() && s.append(line.c_str());
        case BX_HTTP_HDR_USERPWD:
            s.userPwd = line;
            return true;
    }
    return false;
}

void BXLibCurl::BXLibCurlFreeHttpHeaderList() {
    impl_->headers.reset();
}

bool BXLibCurl::BXLibCurlSendHttpReq(_http_req_type_ method, const std::string& url,
                                     const char* data, size_t length, bool followRedirects,
                                     long* totalTimeMs) {
    Impl& s = *impl_;
    s.body.clear();
    s.headerBlock.clear();
    s.status = 0;
    s.newConnections = 0;
    s.lastError.clear();
    s.errorBuffer[0] = '\0';
    s.overflow = false;
    if (totalTimeMs) {
        *totalTimeMs = 0;
    }
    const char* name = methodName(method);
    if (!s.easy || !name || url.empty()) {
        s.lastError =
            !s.easy ? "HTTP client not initialised" : (!name ? "unsupported method" : "empty URL");
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        return false;
    }
    if (!data) {
        length = 0;
    }
    CURL* e = s.easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    bool sendsBody = method == BX_HTTP_REQ_POST || method == BX_HTTP_REQ_PUT ||
                     method == BX_HTTP_REQ_PATCH || (method == BX_HTTP_REQ_DELETE && length > 0);
    if (sendsBody) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, length ? data : "");
    } else if (method == BX_HTTP_REQ_HEAD) {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    }
    if (method != BX_HTTP_REQ_GET && method != BX_HTTP_REQ_POST && method != BX_HTTP_REQ_HEAD) {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, name);
    }
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L);
    if (!s.ensureList()) {
        s.lastError = "out of memory for the header list";
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s", s.lastError.c_str());
        return false;
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headers.get());
    curl_easy_setopt(e, CURLOPT_USERPWD, s.userPwd.empty() ? nullptr : s.userPwd.c_str());

    CURLcode rc = curl_easy_perform(e);
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &s.status);
    curl_easy_getinfo(e, CURLINFO_NUM_CONNECTS, &s.newConnections);
    if (totalTimeMs) {
        curl_off_t us = 0;
        curl_easy_getinfo(e, CURLINFO_TOTAL_TIME_T, &us);
        *totalTimeMs = static_cast<long>(us / 1000);
    }
    if (rc != CURLE_OK) {
        s.lastError = s.overflow ? "answer longer than " + std::to_string(s.maxResponseBytes) +
                                       " bytes, cut off"
                                 : (s.errorBuffer[0] ? s.errorBuffer : curl_easy_strerror(rc));
        s.debug.debugLvl(-1, s.jobId, "GCP HTTP %s %s failed: %s (curl code %d)", name, url.c_str(),
                         s.lastError.c_str(), static_cast<int>(rc));
        return false;
    }
    // A redirect left unfollowed has no answer to give: an empty 3xx body
    // must not pass for a read that found nothing.
    constexpr long kFirstRedirect = 300;
    if (s.status >= kFirstRedirect) {
        s.lastError = "HTTP status " + std::to_string(s.status);
        s.debug.debugLvl(5, s.jobId, "GCP HTTP %s %s answered with status %ld", name, url.c_str(),
                         s.status);
        return false;
    }
    return true;
}

long BXLibCurl::GetHttpErrorCode() const {
    return impl_->status;
}

const char* BXLibCurl::GetHttpResponse(size_t& length, bool headers) const {
    const std::string& text = headers ? impl_->headerBlock : impl_->body;
    length = text.size();
    return text.c_str();
}

const std::string& BXLibCurl::GetLastError() const {
    return impl_->lastError;
}

long BXLibCurl::GetNewConnectionCount() const {
    return impl_->newConnections;
}

void BXLibCurl::setJobId(long long jobId) {
    impl_->jobId = jobId;
}

bool BXLibCurl::SignSHA256withRSA(const std::string& p12File, const std::string& data,
                                  const std::string& password, unsigned char* signature,
                                  size_t& length) {
    std::string& error = impl_->lastSignError;
    if (bxrt::signRs256WithPkcs12(p12File, data, password, signature, length, &error)) {
        return true;
    }
    impl_->debug.debugLvl(-1, impl_->jobId, "GCP HTTP PKCS#12 signature of [%s] failed: %s",
                          p12File.c_str(), error.c_str());
    return false;
}

const std::string& BXLibCurl::GetLastSignError() const {
    return impl_->lastSignError;
}
