#include "https_client.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

namespace bxhost {

namespace {

struct CurlFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
// The header lines may hold a bearer token: wiped before they are freed.
struct SlistFree {
    void operator()(curl_slist* l) const {
        for (curl_slist* item = l; item; item = item->next) {
            OPENSSL_cleanse(item->data, std::strlen(item->data));
        }
        curl_slist_free_all(l);
    }
};

struct Sink {
    std::string* body;
    size_t limit;
    bool overflow = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    if (sink->body->size() + size * count > sink->limit) {
        sink->overflow = true;
        return 0;  // ends the transfer
    }
    sink->body->append(data, size * count);
    return size * count;
}

// "Name: value" lines of the final answer (a 100 Continue starts over).
size_t collectHeader(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        headers->clear();
        return size * count;
    }
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        size_t begin = line.find_first_not_of(" \t", colon + 1);
        size_t end = line.find_last_not_of(" \t\r\n");
        (*headers)[name] = begin == std::string::npos || end < begin
                               ? std::string()
                               : line.substr(begin, end - begin + 1);
    }
    return size * count;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpResult httpExchange(const HttpRequest& request) {
    globalInit();
    HttpResult result;
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) {
        result.error = "cannot initialise libcurl";
        return result;
    }
    std::unique_ptr<curl_slist, SlistFree> headers;
    auto addHeader = [&headers](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
        if (next) {
            headers.release();
            headers.reset(next);
        }
    };
    char errbuf[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    if (!request.caBundle.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, request.caBundle.c_str());
    }
    if (!request.bearerToken.empty()) {
        std::string line = "Authorization: Bearer " + request.bearerToken;
        addHeader(line);
        OPENSSL_cleanse(&line[0], line.size());
    }
    if (!request.extraHeader.empty()) {
        addHeader(request.extraHeader);
    }
    if (request.method == "POST") {
        addHeader("Content-Type: " + request.contentType);
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    } else if (request.method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (headers) {
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    }
    Sink sink{&result.body, request.maxResponseBytes};
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &result.headers);
    CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        result.curlCode = static_cast<int>(rc);
        result.tlsFailure = rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR ||
                            rc == CURLE_SSL_CACERT_BADFILE || rc == CURLE_SSL_CERTPROBLEM;
        result.error = sink.overflow ? "the answer is longer than " +
                                           std::to_string(request.maxResponseBytes) + " bytes"
                       : errbuf[0] ? errbuf
                                   : curl_easy_strerror(rc);
        return result;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    result.ok = true;
    return result;
}

}  // namespace bxhost
