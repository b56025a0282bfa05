// Inputs the fuzz targets of fuzz/ turned up, kept as plain tests so that the
// faults stay mended in the ordinary build.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/jsonxx.h"
#include "context/gcp_ctx.h"
#include "gcp/gcp_utils.h"
#include "rest/secret_mask.h"
#include "support/fake_host.h"
#include "support/log_capture.h"

using namespace DuVavaZid;

namespace {

std::string nested(size_t depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

// ---- JSON nested deeper than any answer: refused instead of overflowing ----

struct NestingCase {
    const char* name;
    std::string text;
    bool objectParses;
    bool arrayParses;
};

const NestingCase kNestingCases[] = {
    {"ObjectAtLimit", "{\"a\":" + nested(99) + "}", true, false},
    {"ObjectOverLimit", "{\"a\":" + nested(100) + "}", false, false},
    {"ArrayAtLimit", nested(100), false, true},
    {"ArrayOverLimit", nested(101), false, false},
    // Brackets inside strings, escaped quotes included, are text, not nesting.
    {"BracketsInString",
     "{\"a\":\"" + std::string(5000, '[') + "\\\"" + std::string(5000, '{') + "\"}", true, false},
    {"HostileDepth", "{\"labels\":{\"a\":" + nested(200000) + "}}", false, false},
};

class NestingTest : public ::testing::TestWithParam<NestingCase> {};

TEST_P(NestingTest, ParsesOnlyWithinLimit) {
    const auto& c = GetParam();
    jsonxx::Object object;
    EXPECT_EQ(object.parse(c.text), c.objectParses);
    if (!c.objectParses) {
        EXPECT_TRUE(object.empty());
    }
    jsonxx::Array array;
    EXPECT_EQ(array.parse(c.text), c.arrayParses);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, NestingTest, ::testing::ValuesIn(kNestingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A disk answer of 400 kB whose labels nest 200000 levels: copying the labels
// into the object overflowed the stack. Now the answer is unreadable.
TEST(DeepAnswerTest, DiskAnswerWithDeepLabelsIsRefused) {
    bxtest::LogCapture log{9};
    bxtest::FakeOSUtil util;
    bxtest::RecordSet records{1};
    GcpCtx ctx(&util, 0, GCP_OP_PREPARE);
    GcpUtils utils(&ctx);
    GcpObject object(records.data()[0]);
    object.GCPDeviceName = "data-disk-1";
    ctx.session().restResponse =
        "{\"name\":\"data-disk-1\",\"id\":\"4411\",\"type\":\"zones/us-central1-a/diskTypes/"
        "pd-ssd\",\"users\":[],\"labels\":{\"a\":" +
        nested(200000) + "}}";
    EXPECT_EQ(utils.processGetGcpDeviceDetailsResp(&object, &ctx), GCP_ERR_RESPONSE);
    EXPECT_TRUE(object.GCPDeviceId.empty());
    EXPECT_TRUE(object.DiskLabels.empty());
    EXPECT_NE(ctx.errText().find("\"name\" tag not found in REST response"), std::string::npos)
        << ctx.errText();
}

// ---- Masking a long run of token characters ----

// Every "eyJ" of a run rescanned the rest of the run, so an answer of a few
// hundred kilobytes of token characters held the log line for minutes. The
// run is now passed over once; what is masked stays the same.
TEST(JwtRunTest, LongRunIsMaskedOnlyWhenItIsAToken) {
    std::string run;
    for (int i = 0; i < 300000; ++i) {
        run += "eyJ";
    }
    EXPECT_EQ(bxrest::maskSecrets(run), run);  // no dots: not a token
    std::string token = run + ".eyJzdWIiOiJ4In0.c2ln";
    EXPECT_EQ(bxrest::maskSecrets("x " + token + " y"),
              "x " + std::string(token.size(), '*') + " y");
    // A token after a run that is not one is still found.
    std::string jwt = "eyJhbGciOiJSUzI1NiJ9.eyJpc3MiOiJ4In0.c2ln";
    EXPECT_EQ(bxrest::maskSecrets("eyJeyJ " + jwt), "eyJeyJ " + std::string(jwt.size(), '*'));
}

}  // namespace
