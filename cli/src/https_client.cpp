#include "https_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace bxhost {

namespace {

struct CurlFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
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
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    if (!request.caBundle.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, request.caBundle.c_str());
    }
    if (!request.bearerToken.empty()) {
        addHeader("Authorization: Bearer " + request.bearerToken);
    }
    if (!request.extraHeader.empty()) {
        addHeader(request.extraHeader);
    }
    if (request.method == "POST") {
        addHeader("Content-Type: application/json");
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    } else if (request.method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (headers) {
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &result.body);
    CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        result.error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        return result;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    result.ok = true;
    return result;
}

}  // namespace bxhost
