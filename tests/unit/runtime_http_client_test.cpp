// Transport behaviour of the host HTTP client against local servers: what goes
// on the wire, connection reuse, status handling, TLS verification, timeouts
// and the trace.
#include <gtest/gtest.h>
#include <httplib.h>

#include <sstream>
#include <thread>

#include "host/http_client.h"
#include "support/crypto_fixtures.h"
#include "support/log_capture.h"
#include "support/raw_http_server.h"
#include "support/settings_file.h"

namespace {

using bxtest::RawHttpServer;

std::vector<std::string> headerLines(const std::string& request) {
    std::vector<std::string> lines;
    std::istringstream in(request.substr(0, request.find("\r\n\r\n")));
    std::string line;
    std::getline(in, line);  // request line
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("Host:", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string bodyOf(const std::string& request) {
    size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? "" : request.substr(end + 4);
}

std::string response(const BXLibCurl& client) {
    size_t len = 0;
    const char* text = client.GetHttpResponse(len, false);
    return std::string(text, len);
}

class HttpClientPlain : public ::testing::Test {
  protected:
    bxtest::SettingsFile settings;
    RawHttpServer server;
    BXLibCurl client;

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(client.BXLibCurlInit(nullptr, true, false, nullptr));
    }
    std::string url(const std::string& path = "/x") const {
        return "http://" + server.hostPort() + path;
    }
};

TEST_F(HttpClientPlain, HeaderLinesGoOutInOrderAndEmptyLinesAreNotSent) {
    for (const char* line :
         {"Content-Type:application/json; charset=UTF-8", "", "Accept:application/json",
          "User-Agent:DuVavaZID", "Authorization:Bearer tok-1"}) {
        ASSERT_TRUE(client.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, line));
    }
    ASSERT_TRUE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(headerLines(requests[0]),
              (std::vector<std::string>{"Content-Type:application/json; charset=UTF-8",
                                        "Accept:application/json", "User-Agent:DuVavaZID",
                                        "Authorization:Bearer tok-1"}));
}

TEST_F(HttpClientPlain, EachMethodSendsItsVerbAndBody) {
    struct Case {
        _http_req_type_ method;
        const char* body;
        const char* requestLine;
        const char* expectedBody;
    } cases[] = {
        {BX_HTTP_REQ_GET, "", "GET /x HTTP/1.1", ""},
        {BX_HTTP_REQ_POST, "{\"a\":1}", "POST /x HTTP/1.1", "{\"a\":1}"},
        {BX_HTTP_REQ_POST, "", "POST /x HTTP/1.1", ""},
        {BX_HTTP_REQ_PUT, "{\"b\":2}", "PUT /x HTTP/1.1", "{\"b\":2}"},
        {BX_HTTP_REQ_DELETE, "", "DELETE /x HTTP/1.1", ""},
        {BX_HTTP_REQ_PATCH, "{\"c\":3}", "PATCH /x HTTP/1.1", "{\"c\":3}"},
        {BX_HTTP_REQ_GET, "", "GET /x HTTP/1.1", ""},  // after a body-carrying request
    };
    size_t i = 0;
    for (const auto& c : cases) {
        size_t len = std::strlen(c.body);
        ASSERT_TRUE(client.BXLibCurlSendHttpReq(c.method, url(), len ? c.body : nullptr, len, false,
                                                nullptr))
            << c.requestLine;
        std::string request = server.requests().at(i++);
        EXPECT_EQ(request.substr(0, request.find("\r\n")), c.requestLine);
        EXPECT_EQ(bodyOf(request), c.expectedBody) << c.requestLine;
    }
}

TEST_F(HttpClientPlain, ErrorStatusFailsTheExchangeButKeepsStatusAndBody) {
    server.queueReply({404, R"({"error":{"code":404,"message":"not here"}})"});
    server.queueReply({200, "ok-body"});
    EXPECT_FALSE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    EXPECT_EQ(client.GetHttpErrorCode(), 404);
    EXPECT_EQ(response(client), R"({"error":{"code":404,"message":"not here"}})");
    EXPECT_EQ(client.GetLastError(), "HTTP status 404");
    EXPECT_TRUE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    EXPECT_EQ(client.GetHttpErrorCode(), 200);
    EXPECT_EQ(response(client), "ok-body");
    size_t headerLen = 0;
    const char* headerText = client.GetHttpResponse(headerLen, true);
    std::string headers(headerText, headerLen);
    EXPECT_EQ(headers.rfind("HTTP/1.1 200", 0), 0u) << headers;
}

TEST_F(HttpClientPlain, OneConnectionServesEveryRequestOfAClient) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(
            client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
        EXPECT_EQ(client.GetNewConnectionCount(), i == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(server.connections(), 1);

    BXLibCurl noReuse;
    ASSERT_TRUE(noReuse.BXLibCurlInit(nullptr, false, false, nullptr));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            noReuse.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    }
    EXPECT_EQ(server.connections(), 4);
}

TEST_F(HttpClientPlain, TimeoutComesFromTheSettings) {
    settings.set("Gcp", "TimeoutMs", "200");
    BXLibCurl quick;
    ASSERT_TRUE(quick.BXLibCurlInit(nullptr, true, false, nullptr));
    server.queueReply({200, "late", "text/plain", 1500});
    EXPECT_FALSE(quick.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    EXPECT_EQ(quick.GetHttpErrorCode(), 0);
    EXPECT_NE(quick.GetLastError().find("timed out"), std::string::npos) << quick.GetLastError();
}

TEST_F(HttpClientPlain, TraceShowsHeadersWithCredentialsMaskedAndNoBodies) {
    std::vector<std::string> trace;
    BXLibCurl traced;
    ASSERT_TRUE(traced.BXLibCurlInit(nullptr, true, false,
                                     [&trace](const std::string& l) { trace.push_back(l); }));
    traced.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "Authorization:Bearer tok-SECRET-1");
    const std::string body = "assertion=BODY-SECRET-2";
    server.queueReply({200, "{\"access_token\":\"RESP-SECRET-3\"}"});
    ASSERT_TRUE(traced.BXLibCurlSendHttpReq(BX_HTTP_REQ_POST, url(), body.data(), body.size(),
                                            false, nullptr));
    EXPECT_TRUE(trace.empty()) << "trace is off until toggled";
    traced.toggleTrace(true);
    ASSERT_TRUE(traced.BXLibCurlSendHttpReq(BX_HTTP_REQ_POST, url(), body.data(), body.size(),
                                            false, nullptr));
    std::string all;
    for (const auto& l : trace) {
        all += l + "\n";
    }
    EXPECT_NE(all.find("> POST /x HTTP/1.1"), std::string::npos) << all;
    EXPECT_NE(all.find("> Authorization: ******"), std::string::npos) << all;
    EXPECT_NE(all.find("< HTTP/1.1 200"), std::string::npos) << all;
    EXPECT_EQ(all.find("SECRET"), std::string::npos) << all;
}

TEST_F(HttpClientPlain, HeaderLinesWithLineBreaksAreRefused) {
    EXPECT_FALSE(client.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "X-A:1\r\nX-B:2"));
    EXPECT_FALSE(client.BXLibCurlAppendHeader(BX_HTTP_HDR_HEADER, "X-A:1\n"));
}

TEST(HttpClient, TransportErrorIsReportedWithLibcurlTextInTheDebugLog) {
    int port = bxtest::unusedPort();
    ASSERT_NE(port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/y";

    BXLibCurl client;
    ASSERT_TRUE(client.BXLibCurlInit(nullptr, true, false, nullptr));
    EXPECT_FALSE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url, nullptr, 0, false, nullptr));
    size_t n = 99;
    client.GetHttpResponse(n, false);
    EXPECT_EQ(n, 0u);
}

TEST(HttpClient, RequestWithoutInitFails) {
    BXLibCurl client;
    EXPECT_FALSE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, "http://127.0.0.1:1/", nullptr, 0,
                                             false, nullptr));
    EXPECT_EQ(client.GetLastError(), "HTTP client not initialised");
}

// HTTPS with a throw-away certificate.
class HttpClientTls : public ::testing::Test {
  protected:
    bxtest::TempDir dir;
    bxtest::SettingsFile settings;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;

    void start(const std::vector<std::string>& names) {
        auto cert = bxtest::makeServerCert(names);
        dir.write("server.pem", cert.certPem);
        dir.write("server.key", cert.keyPem);
        server = std::make_unique<httplib::SSLServer>(dir.file("server.pem").c_str(),
                                                      dir.file("server.key").c_str());
        ASSERT_TRUE(server->is_valid());
        server->Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{\"hello\":\"tls\"}", "application/json");
        });
        port = server->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        thread = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running()) {
            std::this_thread::yield();
        }
    }
    void TearDown() override {
        if (server) {
            server->stop();
        }
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port) + "/hello"; }
};

TEST_F(HttpClientTls, TrustedByTheConfiguredCaBundleAndReusesTheSession) {
    start({"IP:127.0.0.1", "DNS:localhost"});
    settings.set("Gcp", "CaBundle", dir.file("server.pem"));
    BXLibCurl client;
    ASSERT_TRUE(client.BXLibCurlInit(nullptr, true, false, nullptr));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(client.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr))
            << client.GetLastError();
        EXPECT_EQ(response(client), "{\"hello\":\"tls\"}");
        EXPECT_EQ(client.GetNewConnectionCount(), i == 0 ? 1 : 0);
    }
}

TEST_F(HttpClientTls, UntrustedOrMisnamedPeersAreRefused) {
    start({"DNS:elsewhere.example"});
    bxtest::LogCapture capture(3);
    // Not trusted: the system store does not know the throw-away CA.
    BXLibCurl untrusted;
    ASSERT_TRUE(untrusted.BXLibCurlInit(nullptr, true, false, nullptr));
    EXPECT_FALSE(
        untrusted.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    EXPECT_EQ(untrusted.GetHttpErrorCode(), 0);
    EXPECT_TRUE(capture.contains(untrusted.GetLastError(), -1));

    // Trusted CA, but the certificate does not name 127.0.0.1.
    BXLibCurl misnamed;
    ASSERT_TRUE(misnamed.BXLibCurlInit(dir.file("server.pem").c_str(), true, false, nullptr));
    EXPECT_FALSE(misnamed.BXLibCurlSendHttpReq(BX_HTTP_REQ_GET, url(), nullptr, 0, false, nullptr));
    EXPECT_NE(misnamed.GetLastError().find("127.0.0.1"), std::string::npos)
        << misnamed.GetLastError();
}

TEST(HttpClientInit, UnreadableCaBundleFailsInit) {
    bxtest::SettingsFile settings;
    settings.set("Gcp", "CaBundle", "/nonexistent/ca.pem");
    BXLibCurl client;
    EXPECT_FALSE(client.BXLibCurlInit(nullptr, true, false, nullptr));
    EXPECT_NE(client.GetLastError().find("/nonexistent/ca.pem"), std::string::npos);
}

}  // namespace
