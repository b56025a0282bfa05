// What the REST client puts on the wire, seen by a plain local server that
// records requests byte for byte (header order included), and how it logs.
// The flows against Compute Engine itself are tested against the emulator in
// tests/component.
#include <gtest/gtest.h>

#include <sstream>

#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "support/crypto_fixtures.h"
#include "support/fake_host.h"
#include "support/raw_http_server.h"
#include "support/settings_file.h"

namespace {

using bxtest::RawHttpServer;

std::string requestLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

std::vector<std::string> headerLines(const std::string& request) {
    std::vector<std::string> lines;
    std::istringstream in(request.substr(0, request.find("\r\n\r\n")));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("Host:", 0) != 0 && line.rfind("Content-Length:", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

class RestClientWire : public ::testing::Test {
  protected:
    bxtest::SettingsFile settings;
    RawHttpServer server;
    bxtest::FakeSnapInfo record;
    BXSnapRESTAPI_Gcp client;

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        settings.set("Gcp", "TokenUrl", "http://" + server.hostPort() + "/token");
        client.setLogger(&record);
        client.setBasePath(server.hostPort() + GCP_REST_API_BASE_PATH_SUFFIX);
        client.setMetaBasePath(server.hostPort() + GCP_REST_API_META_BASE_PATH_SUFFIX);
        client.setProtocolType("http");
        client.setAcceptTypeInHdr(GCP_REST_HDR_ACCEPT);
        client.setContentTypeInHdr(GCP_REST_HDR_CONTENT_TYPE);
        client.setUserAgentHeaderInHdr(GCP_REST_HDR_USER_AGENT);
        client.setMetaFetchInHdr(GCP_REST_HDR_META_FETCH);
    }

    void connectWithMetaToken(const std::string& token) {
        ASSERT_TRUE(client.initializeCurl());
        server.queueReply(
            {200, R"({"access_token":)" + token + R"(,"expires_in":3599,"token_type":"Bearer"})"});
        std::string response;
        ASSERT_TRUE(client.connect(GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP, "", response));
        ASSERT_TRUE(client.isConnected());
    }
};

TEST_F(RestClientWire, NothingIsSentBeforeInitializeAndConnect) {
    std::string response = "stale";
    EXPECT_FALSE(client.get("p/zones", "", response, false));
    EXPECT_EQ(response, "");
    EXPECT_FALSE(client.get("project/project-id", "", response, true));
    EXPECT_TRUE(
        record.hostLogContains("Error: Curl needs to be initialized before making any queries."));
    ASSERT_TRUE(client.initializeCurl());
    EXPECT_FALSE(client.get("project/project-id", "", response, true));
    EXPECT_FALSE(client.get("p/zones", "", response, false));
    EXPECT_FALSE(client.del("p/x", "", response, false));
    EXPECT_FALSE(client.post("p/x", "{}", response, false));
    EXPECT_TRUE(
        record.hostLogContains("Error:Connect module has to be called before making any queries."));
    EXPECT_EQ(record.hostLog.back().prefix, "GCP REST-sendReq");
    EXPECT_EQ(record.hostLog.back().level, 2);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RestClientWire, MetaRequestsAndApiRequestsCarryTheirHeaders) {
    connectWithMetaToken("12345");  // a number token is taken as its decimal text
    std::string response;
    server.queueReply({200, "my-project"});
    ASSERT_TRUE(client.get("project/project-id", "", response, true));
    EXPECT_EQ(response, "my-project");
    server.queueReply({200, R"({"items":[]})"});
    ASSERT_TRUE(client.get("my-project/zones", "", response, false));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requestLine(requests[0]),
              "GET /computeMetadata/v1/instance/service-accounts/default/token HTTP/1.1");
    const std::vector<std::string> metaHeaders{"Content-Type:application/json; charset=UTF-8",
                                               "Accept:application/json", "User-Agent:DuVavaZID",
                                               "Metadata-Flavor:Google"};
    EXPECT_EQ(headerLines(requests[0]), metaHeaders);
    EXPECT_EQ(requestLine(requests[1]), "GET /computeMetadata/v1/project/project-id HTTP/1.1");
    EXPECT_EQ(headerLines(requests[1]), metaHeaders);
    EXPECT_EQ(requestLine(requests[2]), "GET /compute/v1/projects/my-project/zones HTTP/1.1");
    EXPECT_EQ(headerLines(requests[2]),
              (std::vector<std::string>{"Content-Type:application/json; charset=UTF-8",
                                        "Accept:application/json", "User-Agent:DuVavaZID",
                                        "Authorization:Bearer 12345"}));
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(RestClientWire, TokenRequestIsAFormPostWithoutOurAcceptAndContentType) {
    client.setServiceAccountId("sa@demo.iam.gserviceaccount.com");
    client.setPrivateKey(bxtest::sharedRsaKey().privatePem);
    client.setUsePemPrivateKey(true);
    ASSERT_TRUE(client.initializeCurl());
    server.queueReply({200, R"({"access_token":"tok-A","token_type":"Bearer","expires_in":3600})"});
    std::string body, response;
    ASSERT_TRUE(client.connectUsingOAuth("", body, response));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requestLine(requests[0]), "POST /token HTTP/1.1");
    auto lines = headerLines(requests[0]);
    // libcurl's own defaults stand in for the two empty lines.
    EXPECT_EQ(lines, (std::vector<std::string>{"Accept: */*", "User-Agent:DuVavaZID",
                                               "Content-Type: application/x-www-form-urlencoded"}));
    EXPECT_EQ(requests[0].substr(requests[0].find("\r\n\r\n") + 4), body);
    EXPECT_EQ(body.rfind(GCP_REST_API_OAUTH_REQUEST_PREFIX, 0), 0u);
    // The fixed headers and the base path are back for the API requests.
    EXPECT_EQ(client.getBasePath(), server.hostPort() + GCP_REST_API_BASE_PATH_SUFFIX);
    server.queueReply({200, "{}"});
    ASSERT_TRUE(client.get("p", "", response, false));
    EXPECT_EQ(headerLines(server.requests().at(1)),
              (std::vector<std::string>{"Content-Type:application/json; charset=UTF-8",
                                        "Accept:application/json", "User-Agent:DuVavaZID",
                                        "Authorization:Bearer tok-A"}));
}

TEST_F(RestClientWire, MetadataServerRefusingTheTokenLeavesItsMessage) {
    ASSERT_TRUE(client.initializeCurl());
    server.queueReply({401, "Unauthorized"});
    std::string response;
    EXPECT_FALSE(client.connect(GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP, "", response));
    EXPECT_EQ(response, "Failed to get access token from meta server");
    EXPECT_FALSE(client.isConnected());
    server.queueReply({200, "not json"});
    EXPECT_FALSE(client.connect(GCP_REST_API_META_GET_DEFAULT_ACCESS_TOKEN_EP, "", response));
    EXPECT_TRUE(record.hostLogContains(
        "Failed to parse JSON response for access token. JSON response [not json]"));
}

TEST_F(RestClientWire, ResponsesAreLoggedMaskedOnlyWhenLoggingIsOn) {
    connectWithMetaToken("\"tok-SECRET-1\"");
    EXPECT_FALSE(record.hostLogContains("Response for URL"));
    EXPECT_FALSE(record.hostLogContains("Computed URL"));
    client.setLogging(true);
    server.queueReply({200, R"({"token_type":"Bearer","access_token":"tok-SECRET-2"})"});
    std::string response;
    ASSERT_TRUE(client.get("x", "", response, true));
    EXPECT_TRUE(record.hostLogContains("Computed URL [http://" + server.hostPort() +
                                       "/computeMetadata/v1/x] to send the request."));
    EXPECT_TRUE(
        record.hostLogContains(R"(<<{"token_type":"Bearer","access_token":**************}>>)"));
    for (const auto& line : record.hostLog) {
        EXPECT_EQ(line.text.find("SECRET"), std::string::npos) << line.text;
    }
}

// The token goes to no host but the configured endpoints: a path that is no
// Compute link to another host is refused before sending.
TEST_F(RestClientWire, TokenStaysWithTheConfiguredEndpoints) {
    connectWithMetaToken("\"tok-KEEP\"");
    client.setBasePath("127.0.0.2:" + server.hostPort().substr(server.hostPort().find(':') + 1) +
                       "/upload/");
    size_t before = server.requests().size();
    std::string response;
    EXPECT_FALSE(client.get("x", "", response, false));
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_NE(client.lastExchangeFailure().find("not to [http://127.0.0.2:"), std::string::npos)
        << client.lastExchangeFailure();
}

}  // namespace
