// Test harness: an in-process emulator started as every other suite starts it
// (bxtest::EmulatorEnv), and raw HTTPS/HTTP clients that verify the
// emulator's certificate against its CA file.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "emulator/emulator.h"
#include "support/emulator_env.h"
#include "support/files.h"

namespace emutest {

using Json = nlohmann::json;

struct Resp {
    int status = 0;  // 0: no answer (connection failed or dropped)
    Json body;
    std::string text;
};

using bxtest::readFile;

inline std::string b64url(const std::string& in, bool pad = false) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    for (char& c : out) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    while (!pad && !out.empty() && out.back() == '=') {
        out.pop_back();
    }
    return out;
}

// RS256 JWT signed with a PEM private key.
inline std::string signJwt(const std::string& pemFile, const Json& header, const Json& claims,
                           bool pad = false) {
    std::string pem = readFile(pemFile);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    std::string input = b64url(header.dump(), pad) + "." + b64url(claims.dump(), pad);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()),
                   input.size());
    std::string sig(len, '\0');
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &len,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return input + "." + b64url(sig.substr(0, len), pad);
}

inline Resp toResp(const httplib::Result& r) {
    Resp out;
    if (!r) {
        return out;
    }
    out.status = r->status;
    out.text = r->body;
    try {
        out.body = Json::parse(r->body);
    } catch (const std::exception&) {
        out.body = Json();
    }
    return out;
}

inline const std::string kZone = "demo-project/zones/us-central1-a";

inline const Json kJwtHeader = {{"alg", "RS256"}, {"typ", "JWT"}};

// The claims of a grant for the cloud-platform scope, issued skew seconds from now.
inline Json claimsFor(const std::string& email, const std::string& aud, long lifetime = 3600,
                      long skew = 0) {
    long now = static_cast<long>(std::time(nullptr)) + skew;
    return {{"iss", email},
            {"scope", "https://www.googleapis.com/auth/cloud-platform"},
            {"aud", aud},
            {"exp", now + lifetime},
            {"iat", now}};
}

class Harness {
  public:
    explicit Harness(double timeScale = 0.0, gce::EmulatorOptions o = {}) {
        o.timeScale = timeScale;
        env = std::make_unique<bxtest::EmulatorEnv>(o);
        emu = &env->emu();
        started = env->ok();
        EXPECT_TRUE(started) << env->error();
        api = std::make_unique<httplib::SSLClient>("127.0.0.1", emu->apiPort());
        api->set_ca_cert_path(emu->caFile().c_str());
        api->enable_server_certificate_verification(true);
        api->set_read_timeout(60, 0);
        api->set_keep_alive(true);
        api->set_tcp_nodelay(true);
        meta = std::make_unique<httplib::Client>("127.0.0.1", emu->metadataPort());
    }

    std::string defaultToken() {
        if (token.empty()) {
            auto r = meta->Get("/computeMetadata/v1/instance/service-accounts/default/token",
                               {{"Metadata-Flavor", "Google"}});
            token = Json::parse(r->body).at("access_token").get<std::string>();
        }
        return token;
    }

    Resp call(const std::string& method, const std::string& path, const std::string& body = "",
              const std::string& tok = "") {
        std::string t = tok.empty() ? defaultToken() : tok;
        std::string p = path.rfind("/", 0) == 0 ? path : "/compute/v1/projects/" + path;
        return send(method, p, body, {{"Authorization", "Bearer " + t}});
    }

    // Attaches a disk of the zone to mover-1; no deviceName member when deviceName is empty.
    Resp attach(const std::string& disk, const std::string& deviceName = "") {
        std::string body = R"({"source":"zones/us-central1-a/disks/)" + disk + "\"";
        body += deviceName.empty() ? "}" : R"(,"deviceName":")" + deviceName + "\"}";
        return call("POST", kZone + "/instances/mover-1/attachDisk", body);
    }

    // Snapshots a disk of the zone; query is "" or "?guestFlush=true".
    Resp snapshot(const std::string& disk, const std::string& name, const std::string& query = "") {
        return call("POST", kZone + "/disks/" + disk + "/createSnapshot" + query,
                    R"({"name":")" + name + "\"}");
    }

    // Posts a JWT bearer grant to the token endpoint.
    Resp grant(const std::string& assertion, const std::string& path = "/token") {
        return toResp(api->Post(
            path.c_str(),
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" +
                assertion,
            "application/x-www-form-urlencoded"));
    }

    // Follows an Operation (by its selfLink) with /wait until it is DONE.
    Json waitDone(const Json& op) {
        Json cur = op;
        for (int i = 0; i < 50 && cur.value("status", "") != "DONE"; ++i) {
            std::string link = cur.at("selfLink");
            std::string path = link.substr(link.find("/compute/v1/"));
            Resp r = call("POST", path + "/wait", "{}");
            EXPECT_EQ(r.status, 200) << r.text;
            cur = r.body;
        }
        return cur;
    }

    Resp control(const std::string& method, const std::string& path, const std::string& body = "") {
        return send(method, "/emulator/v1/" + path, body, {});
    }

    Resp send(const std::string& method, const std::string& path, const std::string& body,
              const httplib::Headers& headers) {
        if (method == "GET") {
            return toResp(api->Get(path.c_str(), headers));
        }
        if (method == "DELETE") {
            return toResp(api->Delete(path.c_str(), headers));
        }
        return toResp(api->Post(path.c_str(), headers, body, "application/json"));
    }

    std::unique_ptr<bxtest::EmulatorEnv> env;
    gce::Emulator* emu = nullptr;
    std::unique_ptr<httplib::SSLClient> api;
    std::unique_ptr<httplib::Client> meta;
    std::string token;
    bool started = false;
};

}  // namespace emutest
