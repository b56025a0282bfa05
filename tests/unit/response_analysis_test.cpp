#include <gtest/gtest.h>

#include "gcp/gcp_utils.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;

namespace {

// Bodies as Compute Engine sends them.
const char* kNotFound = R"({
  "error": {
    "code": 404,
    "message": "The resource 'projects/demo-project/zones/us-central1-a/disks/nope' was not found",
    "errors": [{"message": "The resource 'projects/demo-project/zones/us-central1-a/disks/nope' was not found",
                "domain": "global", "reason": "notFound"}]
  }
})";
const char* kBadRequest =
    R"({"error": {"code": 400, "message": "Invalid value for field 'resource.name': 'A'.",
  "errors": [{"message": "Invalid value for field 'resource.name': 'A'.", "domain": "global", "reason": "invalid"}]}})";
const char* kUnauthenticated =
    R"({"error": {"code": 401, "message": "Request had invalid authentication credentials.",
  "errors": [{"message": "Invalid Credentials", "domain": "global", "reason": "authError", "location": "Authorization", "locationType": "header"}],
  "status": "UNAUTHENTICATED"}})";
const char* kBackend =
    R"({"error": {"code": 503, "message": "Internal error. Please try again or contact Google Support.",
  "errors": [{"message": "Internal error.", "domain": "global", "reason": "backendError"}]}})";
const char* kInternal500 = R"({"error": {"code": 500, "message": "Internal error.",
  "errors": [{"message": "Internal error.", "domain": "global", "reason": "backendError"}]}})";
const char* kFailedOperation = R"({"kind": "compute#operation", "status": "DONE",
  "httpErrorStatusCode": 400, "httpErrorMessage": "BAD REQUEST",
  "error": {"errors": [{"code": "RESOURCE_NOT_READY", "message": "The resource is not ready"}]}})";

class AnalysisTest : public ::testing::Test {
  protected:
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    GcpCtx ctx{&util, 0, GCP_OP_SNAP};
    GcpUtils utils{&ctx};
};

TEST_F(AnalysisTest, FieldLists) {
    std::vector<std::string> names;
    utils.buildFieldList("id,name,status", names);
    EXPECT_EQ(names, (std::vector<std::string>{"id", "name", "status"}));
    utils.buildFieldList("selfLink", names);
    EXPECT_EQ(names, (std::vector<std::string>{"selfLink"}));
    utils.buildFieldList("", names);
    EXPECT_EQ(names, (std::vector<std::string>{""}));
}

// How each JSON type reads as text is JsonMember.ReadAsTextInTypeOrder's; here
// only what this wrapper adds: its codes and the failure text.
TEST_F(AnalysisTest, ValuesAsText) {
    jsonxx::Object o;
    ASSERT_TRUE(o.parse(R"({"s":"READY","o":{}})"));
    std::string value = "stale";
    bool container = true;
    EXPECT_EQ(utils.getValueFromJSONObject("s", o, value, container), 0);
    EXPECT_EQ(value, "READY");
    EXPECT_FALSE(container);
    EXPECT_EQ(utils.getValueFromJSONObject("o", o, value, container), 0);
    EXPECT_TRUE(container);
    EXPECT_EQ(ctx.errText(), "");
    EXPECT_EQ(utils.getValueFromJSONObject("missing", o, value, container), 14);
    EXPECT_EQ(ctx.session().ErrCode, 14);
    EXPECT_EQ(ctx.errText(), "\"missing\" tag not found in REST response. ");
}

TEST_F(AnalysisTest, ExtractionByFieldList) {
    jsonxx::Object o;
    ASSERT_TRUE(o.parse(R"({"id":"123","name":"d1","status":"READY","sizeGb":"10",
        "labels":{"env":"prod"},"users":["x"]})"));
    std::vector<std::string> names;
    std::map<std::string, std::string> values;
    utils.buildFieldList("id,name,labels/env,labels,absent/child,users", names);
    ASSERT_EQ(utils.extractValuesFromJSONObject(names, o, values), 0);
    EXPECT_EQ(values, (std::map<std::string, std::string>{
                          {"id", "123"}, {"name", "d1"}, {"labels/env", "prod"}}));

    utils.buildFieldList("id,missing,name", names);
    values.clear();
    EXPECT_EQ(utils.extractValuesFromJSONObject(names, o, values), 14);
    EXPECT_EQ(values.count("name"), 0u);  // stops at the first missing member
    utils.buildFieldList("labels/missing", names);
    EXPECT_EQ(utils.extractValuesFromJSONObject(names, o, values), 14);
}

TEST_F(AnalysisTest, KeyValueDumpMasksCredentialsAndNeedsLevelNine) {
    std::map<std::string, std::string> values{
        {"access_token", "ya29.secret"}, {"password", ""}, {"name", "d1"}};
    utils.dumpRESTKeyValueMap(values);
    EXPECT_TRUE(log.containsExact(
        "GCP REST key-value map dump - access_token [****] name [d1] password [***] ", 9));
    EXPECT_FALSE(log.contains("ya29.secret"));
    bxtest::LogCapture quiet(8);
    utils.dumpRESTKeyValueMap(values);
    EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(AnalysisTest, FailedRequestClassification) {
    struct Case {
        const char* body;
        int code;
        const char* appended;
    } cases[] = {
        {kNotFound, 18,
         "The resource 'projects/demo-project/zones/us-central1-a/disks/nope' was not found"},
        {kBadRequest, 15, ""},
        {kUnauthenticated, 15, ""},
        {kFailedOperation, 15, "The resource is not ready"},
        {R"({"error":{"code":404}})", 17, ""},  // no message: not a usable error
        {"<html>502</html>", 17, ""},
        {R"({"kind":"compute#disk"})", 17, ""},
    };
    for (const auto& c : cases) {
        ctx.resetError();
        ctx.session().restResponse = c.body;
        EXPECT_EQ(utils.processFailedRequest(nullptr, &ctx), c.code) << c.body;
        EXPECT_EQ(ctx.session().restErrStr.str(), c.appended) << c.body;
    }
    EXPECT_TRUE(log.contains("GCP From REST response - code [400] message [Invalid value", 0));
}

TEST_F(AnalysisTest, BackendErrorNeeds503AndTheReason) {
    EXPECT_TRUE(utils.hasBackendError(kBackend));
    EXPECT_TRUE(log.contains("GCP Received backend error in JSON response", -1));
    EXPECT_FALSE(utils.hasBackendError(kInternal500));
    EXPECT_FALSE(utils.hasBackendError(kNotFound));
    EXPECT_FALSE(utils.hasBackendError("not json"));
    // Reasons are scanned in order; an element without a reason ends the scan.
    EXPECT_TRUE(utils.hasBackendError(
        R"({"error":{"code":503,"errors":[{"reason":"rateLimitExceeded"},{"reason":"backendError"}]}})"));
    EXPECT_FALSE(utils.hasBackendError(
        R"({"error":{"code":503,"errors":[{"message":"x"},{"reason":"backendError"}]}})"));
    EXPECT_FALSE(utils.hasBackendError(R"({"error":{"code":503}})"));
}

TEST_F(AnalysisTest, RecordErrorCodeFollowsTheOperation) {
    bxtest::FakeSnapInfo record;
    GcpObject object(&record);
    const std::pair<int, int> byOp[] = {{1, 62008}, {2, 60001}, {3, 62009}, {4, 62010},
                                        {5, 60005}, {6, 60004}, {7, 60298}, {9, 60001}};
    for (const auto& c : byOp) {
        GcpCtx opCtx(&util, 0, c.first);
        GcpUtils opUtils(&opCtx);
        opCtx.fail(15, "from the context");
        opUtils.setErrorDetailsForSnapObj(&object, &opCtx, 18, nullptr);
        EXPECT_EQ(record.errorCode, c.second);
        EXPECT_EQ(record.errorText, "from the context");
    }
    GcpCtx other(&util, 0, GCP_OP_IS_SUPPORTED);
    GcpUtils otherUtils(&other);
    other.session().ErrCode = 14;
    otherUtils.setErrorDetailsForSnapObj(&object, &other, 0, "given text");
    EXPECT_EQ(record.errorCode, 14);
    EXPECT_EQ(record.errorText, "given text");
    otherUtils.setErrorDetailsForSnapObj(&object, &other, 18, nullptr);
    EXPECT_EQ(record.errorCode, 18);
}

TEST_F(AnalysisTest, ArrayElementsSkipNonStrings) {
    jsonxx::Object o;
    ASSERT_TRUE(o.parse(R"({"replicaZones":["zones/a",7,"zones/b",null],"name":"x"})"));
    std::vector<std::string> out{"stale"};
    extractJSONxxArrayElements(o, "replicaZones", out);
    EXPECT_EQ(out, (std::vector<std::string>{"zones/a", "zones/b"}));
    extractJSONxxArrayElements(o, "name", out);
    EXPECT_TRUE(out.empty());
}

TEST_F(AnalysisTest, StatusTextsIgnoreCase) {
    GcpReqOpInfo rec;
    const std::pair<const char*, int> opStatus[] = {
        {"DONE", 0}, {"done", 0}, {"PENDING", 27}, {"pending", 27}, {"RUNNING", 25}, {"odd", 25}};
    for (const auto& c : opStatus) {
        rec.status = c.first;
        EXPECT_EQ(getSnapOpStatus(rec), c.second) << c.first;
    }
    rec.status = "DONE";
    rec.httpErrorStatusCode = "400";
    EXPECT_EQ(getSnapOpStatus(rec), 17);
    const std::pair<const char*, int> resourceStatus[] = {
        {"READY", 0},   {"ready", 0},     {"UPLOADING", 26}, {"uploading", 26},
        {"FAILED", 17}, {"CREATING", 25}, {"DELETING", 25},  {"", 25}};
    for (const auto& c : resourceStatus) {
        rec.status = c.first;
        EXPECT_EQ(getResourceStatus(rec), c.second) << c.first;
    }
}

TEST_F(AnalysisTest, FailedEntitiesAreKeptOnceEach) {
    std::map<std::string, std::vector<std::string>> failed;
    utils.addFailedEntity("snapshot", "s1", failed);
    utils.addFailedEntity("snapshot", "s1", failed);
    utils.addFailedEntity("clone", "c1", failed);
    utils.addFailedEntity("snapshot", "s2", failed);
    EXPECT_EQ(failed["snapshot"], (std::vector<std::string>{"s1", "s2"}));
    EXPECT_EQ(failed["clone"], (std::vector<std::string>{"c1"}));
}

}  // namespace
