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

    static std::string computePath(const std::string& p) {
        return p.rfind("/", 0) == 0 ? p : "/compute/v1/projects/" + p;
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
        httplib::Headers h = {{"Authorization", "Bearer " + t}};
        std::string p = computePath(path);
        if (method == "GET") {
            return toResp(api->Get(p.c_str(), h));
        }
        if (method == "DELETE") {
            return toResp(api->Delete(p.c_str(), h));
        }
        return toResp(api->Post(p.c_str(), h, body, "application/json"));
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
        std::string p = "/emulator/v1/" + path;
        if (method == "GET") {
            return toResp(api->Get(p.c_str()));
        }
        if (method == "DELETE") {
            return toResp(api->Delete(p.c_str()));
        }
        return toResp(api->Post(p.c_str(), body, "application/json"));
    }

    gce::Emulator::ServiceAccountKeys account(const std::string& prefix) {
        return env->account(prefix);
    }

    std::unique_ptr<bxtest::EmulatorEnv> env;
    gce::Emulator* emu = nullptr;
    std::unique_ptr<httplib::SSLClient> api;
    std::unique_ptr<httplib::Client> meta;
    std::string token;
    bool started = false;
};

inline const std::string kZone = "demo-project/zones/us-central1-a";

}  // namespace emutest
