#include "demo/emulator_link.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <cctype>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <thread>

#include "emulator/emulator.h"
#include "https_client.h"
#include "secrets.h"

namespace bxhost {

namespace {

std::string urlEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string base64Url(const std::vector<unsigned char>& data) {
    std::string out = base64Encode(data);
    for (auto& c : out) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    while (!out.empty() && out.back() == '=') {
        out.pop_back();
    }
    return out;
}

std::string base64Url(const std::string& text) {
    return base64Url(std::vector<unsigned char>(text.begin(), text.end()));
}

// A self-signed JWT (RS256) of a service account, which Compute Engine takes
// as a bearer token; the demo acts as an operator of that account with it.
std::string selfSignedJwt(const EmulatorAccount& account, const std::string& audience,
                          std::string* error) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(account.pemFile.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        *error = "cannot read the key of " + account.email;
        return {};
    }
    long now = static_cast<long>(std::time(nullptr));
    std::string head = base64Url(std::string(R"({"alg":"RS256","typ":"JWT"})"));
    std::string claims = base64Url(nlohmann::json({{"iss", account.email},
                                                   {"sub", account.email},
                                                   {"aud", audience},
                                                   {"iat", now},
                                                   {"exp", now + 600}})
                                       .dump());
    std::string input = head + "." + claims;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    size_t len = 0;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(md.get(), nullptr, &len,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
        *error = "cannot sign a token for " + account.email;
        return {};
    }
    std::vector<unsigned char> sig(len);
    if (EVP_DigestSign(md.get(), sig.data(), &len,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
        *error = "cannot sign a token for " + account.email;
        return {};
    }
    sig.resize(len);
    return input + "." + base64Url(sig);
}

}  // namespace

EmulatorLink::EmulatorLink() = default;

EmulatorLink::~EmulatorLink() {
    if (local_) {
        local_->stop();
    }
}

bool EmulatorLink::startLocal(const std::string& workDir, double timeScale,
                              const std::string& machineType, std::string* error) {
    gce::EmulatorOptions options;
    options.workDir = workDir;
    options.thisVmMachineType = machineType;
    options.timeScale = timeScale;
    options.threads = 8;
    local_ = std::make_unique<gce::Emulator>(options);
    if (!local_->start(error)) {
        local_.reset();
        return false;
    }
    apiHost_ = local_->apiHost();
    metadataHost_ = local_->metadataHost();
    caFile_ = local_->caFile();
    tokenUrl_ = local_->tokenUrl();
    for (const auto& sa : local_->serviceAccounts()) {
        accounts_.push_back({sa.email, sa.pemFile});
    }
    return true;
}

bool EmulatorLink::attach(const std::string& url, const std::string& caFile, std::string* error) {
    std::string host = url;
    if (host.compare(0, 8, "https://") == 0) {
        host = host.substr(8);
    }
    while (!host.empty() && host.back() == '/') {
        host.pop_back();
    }
    apiHost_ = host;
    caFile_ = caFile;
    return loadInfo(error);
}

bool EmulatorLink::loadInfo(std::string* error) {
    std::string body;
    if (!control("GET", "info", "", &body, error)) {
        return false;
    }
    auto info = nlohmann::json::parse(body, nullptr, false);
    if (!info.is_object()) {
        *error = "the emulator's info is not JSON";
        return false;
    }
    metadataHost_ = info.value("metadataHost", "");
    tokenUrl_ = info.value("tokenUrl", "");
    if (caFile_.empty()) {
        caFile_ = info.value("caFile", "");
    }
    if (info.contains("serviceAccounts") && info["serviceAccounts"].is_array()) {
        for (const auto& sa : info["serviceAccounts"]) {
            accounts_.push_back({sa.value("email", ""), sa.value("pemFile", "")});
        }
    }
    if (metadataHost_.empty() || tokenUrl_.empty()) {
        *error = "the emulator's info lacks its metadata host or token URL";
        return false;
    }
    return true;
}

bool EmulatorLink::control(const std::string& method, const std::string& path,
                           const std::string& body, std::string* response, std::string* error) {
    HttpRequest request;
    request.method = method;
    request.url = apiUrl() + "/emulator/v1/" + path;
    request.body = body;
    request.caBundle = caFile_;
    HttpResult result = httpExchange(request);
    if (!result.ok) {
        *error = "emulator control API: " + result.error;
        return false;
    }
    *response = result.body;
    if (result.status >= 300) {
        *error = "emulator control API answered HTTP " + std::to_string(result.status);
        return false;
    }
    return true;
}

std::string EmulatorLink::resource(const std::string& path) {
    std::string body;
    std::string error;
    if (!control("GET", "resource?path=" + urlEncode(path), "", &body, &error)) {
        return {};
    }
    return body;
}

std::string EmulatorLink::snapshotStatus(const std::string& project, const std::string& name) {
    auto j = nlohmann::json::parse(resource("projects/" + project + "/global/snapshots/" + name),
                                   nullptr, false);
    return j.is_object() ? j.value("status", "") : std::string();
}

bool EmulatorLink::failGuestFlush(const std::string& project, const std::string& disk,
                                  std::string* error) {
    std::string body;
    return control("POST", "guest-flush-failures",
                   nlohmann::json({{"project", project}, {"disk", disk}}).dump(), &body, error);
}

bool EmulatorLink::clearFaults(std::string* error) {
    std::string body;
    return control("DELETE", "faults", "", &body, error);
}

int EmulatorLink::countRequests(const std::string& method, const std::string& text) {
    std::string body;
    std::string error;
    if (!control("GET", "journal", "", &body, &error)) {
        return -1;
    }
    auto j = nlohmann::json::parse(body, nullptr, false);
    if (!j.is_object() || !j.contains("entries")) {
        return -1;
    }
    int n = 0;
    for (const auto& e : j["entries"]) {
        std::string where = e.value("path", "") + "?" + e.value("query", "");
        if (e.value("method", "") == method && where.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

bool EmulatorLink::deleteSnapshotOutOfBand(const EmulatorAccount& account,
                                           const std::string& project, const std::string& name,
                                           std::string* error) {
    HttpRequest del;
    del.method = "DELETE";
    del.url = apiUrl() + "/compute/v1/projects/" + project + "/global/snapshots/" + name;
    del.caBundle = caFile_;
    del.bearerToken = selfSignedJwt(account, apiUrl() + "/", error);
    if (del.bearerToken.empty()) {
        return false;
    }
    HttpResult result = httpExchange(del);
    if (!result.ok || result.status != 200) {
        *error = "DELETE of snapshot [" + name + "] failed: " +
                 (result.ok ? "HTTP " + std::to_string(result.status) : result.error);
        return false;
    }
    // Emulated time moves when the Operation is polled, as a client would.
    auto op = nlohmann::json::parse(result.body, nullptr, false);
    HttpRequest poll;
    poll.url = op.is_object() ? op.value("selfLink", "") : "";
    poll.caBundle = caFile_;
    poll.bearerToken = del.bearerToken;
    for (int i = 0; i < 600 && !poll.url.empty(); ++i) {
        HttpResult state = httpExchange(poll);
        auto j = nlohmann::json::parse(state.body, nullptr, false);
        if (state.ok && j.is_object() && j.value("status", "") == "DONE" &&
            snapshotStatus(project, name).empty()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "snapshot [" + name + "] is still there after its deletion";
    return false;
}

}  // namespace bxhost
