// The text of every stored item is read back by later calls and later
// versions: these tables pin what is written, what earlier versions wrote and
// how malformed items are read.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "context/gcp_ctx.h"
#include "context/stored_items.h"

using namespace DuVavaZid;

namespace {

// Longer than any GCP name or link, and longer than the host keeps: the codecs
// themselves set no limit.
const std::string kLong(1 << 16, 'x');
const std::string kLink = "https://compute.googleapis.com/compute/v1/projects/p/zones/z/disks/c";

TEST(StoredItems, KeysAreThoseOfEarlierVersions) {
    const struct {
        int key;
        int stored;
    } cases[] = {{GCP_META_SNAP_UUID, 6},        {GCP_META_TRANSIENT, 102},
                 {GCP_META_CLOUD_LOCATION, 154}, {GCP_META_SNAP_OP_LINK, 155},
                 {GCP_META_DEVICE_TYPE, 156},    {GCP_META_SERVICE_ACCOUNT, 157},
                 {GCP_META_INTERIM_CLONE, 163},  {GCP_META_LABELS, 167}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.key, c.stored);
    }
}

// --- item 6 -----------------------------------------------------------------

auto fieldsOf(const SnapUuidItem::Fields& f) {
    return std::tie(f.deviceId, f.projectId, f.instanceId, f.resourceId);
}

TEST(StoredItems, SnapUuidRoundTrip) {
    const struct {
        SnapUuidItem::Fields fields;
        std::string text;
        SnapUuidItem::Missing missing;
    } cases[] = {
        {{"4411", "demo-project", "7777", "5550001"},
         "4411|demo-project|7777|5550001|",
         SnapUuidItem::kNone},
        // As the prepare writes it: the snapshot does not exist yet.
        {{"4411", "demo-project", "7777", ""},
         "4411|demo-project|7777||",
         SnapUuidItem::kResourceId},
        {{kLong, "p", "i", kLong}, kLong + "|p|i|" + kLong + "|", SnapUuidItem::kNone},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SnapUuidItem::encode(c.fields), c.text);
        SnapUuidItem::Fields read;
        EXPECT_EQ(SnapUuidItem::decode(c.text, read), c.missing) << c.text.substr(0, 40);
        EXPECT_EQ(fieldsOf(read), fieldsOf(c.fields)) << c.text.substr(0, 40);
    }
}

TEST(StoredItems, SnapUuidReadsEarlierAndMalformedTexts) {
    const SnapUuidItem::Fields old{"old-d", "old-p", "old-i", "old-r"};
    const struct {
        std::string text;
        SnapUuidItem::Missing missing;
        SnapUuidItem::Fields fields;  // starting from `old`
    } cases[] = {
        {"4411|demo-project|7777||",
         SnapUuidItem::kResourceId,
         {"4411", "demo-project", "7777", "old-r"}},
        {"", SnapUuidItem::kDeviceId, old},
        {"4411 demo-project 7777 9001", SnapUuidItem::kDeviceId, old},
        {"|p|i|r|", SnapUuidItem::kDeviceId, old},
        {"d|", SnapUuidItem::kProjectId, {"d", "old-p", "old-i", "old-r"}},
        {"d|p||r|", SnapUuidItem::kInstanceId, {"d", "p", "old-i", "old-r"}},
        {"d|p|i", SnapUuidItem::kInstanceId, {"d", "p", "old-i", "old-r"}},
        {"d|p|i|r", SnapUuidItem::kResourceId, {"d", "p", "i", "old-r"}},
        {"d|p|i|r|e|", SnapUuidItem::kNone, {"d", "p", "i", "r"}},
        {"d|p|i|r|tail", SnapUuidItem::kNone, {"d", "p", "i", "r"}},
    };
    for (const auto& c : cases) {
        SnapUuidItem::Fields read = old;
        EXPECT_EQ(SnapUuidItem::decode(c.text, read), c.missing) << c.text;
        EXPECT_EQ(fieldsOf(read), fieldsOf(c.fields)) << c.text;
    }
}

TEST(StoredItems, SnapUuidUpdatesRewriteOneField) {
    using Put = bool (*)(std::string&, const std::string&);
    const struct {
        const char* name;
        Put put;
        std::string text;
        std::string id;
        bool ok;
        std::string after;
    } cases[] = {
        {"resource id", &SnapUuidItem::putResourceId, "4411|p|7777||", "9001", true,
         "4411|p|7777|9001|"},
        {"resource id", &SnapUuidItem::putResourceId, "4411|p|7777|1|", "22", true,
         "4411|p|7777|22|"},
        {"resource id", &SnapUuidItem::putResourceId, "||||", "9", true, "|||9|"},
        // Counted from the end, as every version did.
        {"resource id", &SnapUuidItem::putResourceId, "a|b|c|d|e|", "9", true, "a|b|c|d|9|"},
        {"resource id", &SnapUuidItem::putResourceId, "a|b|c|d|tail", "9", true, "a|b|c|9|tail"},
        // Too few bars: the instance id would be overwritten.
        {"resource id", &SnapUuidItem::putResourceId, "4411|p|7777|", "9", false, "4411|p|7777|"},
        {"resource id", &SnapUuidItem::putResourceId, "x", "9", false, "x"},
        {"resource id", &SnapUuidItem::putResourceId, "", "9", false, ""},
        {"device id", &SnapUuidItem::putDeviceId, "4411|p|7777|9001|", "8888", true,
         "8888|p|7777|9001|"},
        {"device id", &SnapUuidItem::putDeviceId, "|p|", "8", true, "8|p|"},
        {"device id", &SnapUuidItem::putDeviceId, "d|", "", true, "|"},
        {"device id", &SnapUuidItem::putDeviceId, "x", "8", false, "x"},
        {"device id", &SnapUuidItem::putDeviceId, "", "8", false, ""},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.put(text, c.id), c.ok) << c.name << ": " << c.text;
        EXPECT_EQ(text, c.after) << c.name << ": " << c.text;
    }
}

// --- items 102, 156, 157: one terminated field --------------------------------

struct OneFieldCodec {
    const char* name;
    std::string (*encode)(const std::string&);
    bool (*decode)(const std::string&, std::string&);
    bool emptyFieldRead;  // the transient name has always refused an empty one
};

const OneFieldCodec kOneFieldCodecs[] = {
    {"transient", &SnapTransientItem::encode, &SnapTransientItem::decode, false},
    {"device type", &DeviceTypeItem::encode, &DeviceTypeItem::decode, true},
    {"service account", &ServiceAccountItem::encode, &ServiceAccountItem::decode, true},
};

TEST(StoredItems, OneFieldItemsRoundTrip) {
    for (const auto& codec : kOneFieldCodecs) {
        for (const std::string& value :
             {std::string("data-disk-1"), std::string("pd-balanced"),
              std::string("mover@demo-project.iam.gserviceaccount.com"), kLong}) {
            std::string text = codec.encode(value);
            EXPECT_EQ(text, value + "|") << codec.name;
            std::string read;
            EXPECT_TRUE(codec.decode(text, read)) << codec.name;
            EXPECT_EQ(read, value) << codec.name;
        }
    }
}

TEST(StoredItems, OneFieldItemsReadEarlierAndMalformedTexts) {
    const struct {
        std::string text;
        bool ok;  // for an item that reads an empty field; the others refuse ""
        std::string value;
    } cases[] = {
        {"pd-ssd|", true, "pd-ssd"},
        {"pd-ssd|extra|", true, "pd-ssd"},
        {"pd-ssd|tail", true, "pd-ssd"},
        {"|", true, ""},
        {"|pd-ssd|", true, ""},
        {"pd-ssd", false, "old"},
        {"", false, "old"},
    };
    for (const auto& codec : kOneFieldCodecs) {
        for (const auto& c : cases) {
            const bool ok = c.ok && (codec.emptyFieldRead || !c.value.empty());
            std::string read = "old";
            EXPECT_EQ(codec.decode(c.text, read), ok) << codec.name << ": " << c.text;
            EXPECT_EQ(read, ok ? c.value : "old") << codec.name << ": " << c.text;
        }
    }
}

// --- item 154 -----------------------------------------------------------------

TEST(StoredItems, CloudLocation) {
    const struct {
        std::string text;
        CloudLocationItem::Missing missing;
        std::string zone, region;  // starting from "old-z", "old-r"
        bool written;              // by this version, from zone and region
    } cases[] = {
        {"us-central1-a||", CloudLocationItem::kNone, "us-central1-a", "", true},
        {"|us-east1|", CloudLocationItem::kNone, "", "us-east1", true},
        {"||", CloudLocationItem::kNone, "", "", true},
        {kLong + "|" + kLong + "|", CloudLocationItem::kNone, kLong, kLong, true},
        {"z|r|extra|", CloudLocationItem::kNone, "z", "r", false},
        {"us-central1-a|", CloudLocationItem::kRegion, "us-central1-a", "old-r", false},
        {"z|r", CloudLocationItem::kRegion, "z", "old-r", false},
        {"us-central1-a", CloudLocationItem::kZone, "old-z", "old-r", false},
        {"", CloudLocationItem::kZone, "old-z", "old-r", false},
    };
    for (const auto& c : cases) {
        CloudLocationItem::Fields read{"old-z", "old-r"};
        EXPECT_EQ(CloudLocationItem::decode(c.text, read), c.missing) << c.text.substr(0, 40);
        EXPECT_EQ(read.zone, c.zone) << c.text.substr(0, 40);
        EXPECT_EQ(read.region, c.region) << c.text.substr(0, 40);
        if (c.written) {
            EXPECT_EQ(CloudLocationItem::encode({c.zone, c.region}), c.text);
        }
    }
}

// --- item 155 -----------------------------------------------------------------

TEST(StoredItems, SnapOpLinkIsStoredWithoutItsScheme) {
    const struct {
        std::string link;
        std::string text;
    } cases[] = {
        {"https://compute.googleapis.com/compute/v1/projects/p/global/operations/op-1",
         "compute.googleapis.com/compute/v1/projects/p/global/operations/op-1"},
        {"http://localhost:8080/compute/v1/op", "localhost:8080/compute/v1/op"},
        {"compute.googleapis.com/compute/v1/op", "compute.googleapis.com/compute/v1/op"},
        {"plain/link", "plain/link"},
        {"a://b://c", "b://c"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string text = SnapOpLinkItem::encode(c.link);
        EXPECT_EQ(text, c.text) << c.link;
        std::string read = "old";
        EXPECT_TRUE(SnapOpLinkItem::decode(text, read)) << c.link;
        EXPECT_EQ(read, c.text) << c.link;
    }
}

// --- item 163 -----------------------------------------------------------------

TEST(StoredItems, InterimClone) {
    const struct {
        std::string text;
        InterimCloneItem::Missing missing;
        std::string cloneId, snapId;  // starting from "old-c", "old-s"
        bool written;
    } cases[] = {
        {"31|32|", InterimCloneItem::kNone, "31", "32", true},
        {kLong + "|" + kLong + "|", InterimCloneItem::kNone, kLong, kLong, true},
        {"31|32|33|", InterimCloneItem::kNone, "31", "32", false},
        {"31||", InterimCloneItem::kSnapId, "31", "old-s", false},
        {"31|", InterimCloneItem::kSnapId, "31", "old-s", false},
        {"31|32", InterimCloneItem::kSnapId, "31", "old-s", false},
        // Without a clone id the snapshot id is not read either.
        {"|32|", InterimCloneItem::kCloneId, "old-c", "old-s", false},
        {"31", InterimCloneItem::kCloneId, "old-c", "old-s", false},
        {"", InterimCloneItem::kCloneId, "old-c", "old-s", false},
    };
    for (const auto& c : cases) {
        InterimCloneItem::Fields read{"old-c", "old-s"};
        EXPECT_EQ(InterimCloneItem::decode(c.text, read), c.missing) << c.text.substr(0, 40);
        EXPECT_EQ(read.cloneId, c.cloneId) << c.text.substr(0, 40);
        EXPECT_EQ(read.snapId, c.snapId) << c.text.substr(0, 40);
        if (c.written) {
            EXPECT_EQ(InterimCloneItem::encode({c.cloneId, c.snapId}), c.text);
        }
    }
    // An empty id is written as the earlier versions did, and reads as missing.
    EXPECT_EQ(InterimCloneItem::encode({"31", ""}), "31||");
}

// --- item 167 -----------------------------------------------------------------

TEST(StoredItems, Labels) {
    jsonxx::Object labels;
    labels.set("team", std::string("db"));
    labels.set("env", std::string("test"));
    const struct {
        std::string text;
        bool ok;
        std::string after;  // the labels' JSON after the decode, from {"old":"x"}
    } cases[] = {
        {R"({"env":"test","team":"db"})", true, R"({"env":"test","team":"db"})"},
        {"{}", true, "{}"},
        {"", true, R"({"old":"x"})"},  // no labels were stored
        {"not json", false, "{}"},
        {R"(["a"])", false, "{}"},
        {R"("a")", false, "{}"},
        {R"({"env":"test")", false, "{}"},
        // Nested deeper than any answer (a fuzz find): refused, not copied into the labels.
        {"{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}", false, "{}"},
    };
    EXPECT_EQ(LabelsItem::encode(labels), cases[0].text);
    EXPECT_EQ(LabelsItem::encode(jsonxx::Object()), "{}");
    for (const auto& c : cases) {
        jsonxx::Object read;
        read.set("old", std::string("x"));
        EXPECT_EQ(LabelsItem::decode(c.text, read), c.ok) << c.text.substr(0, 40);
        EXPECT_EQ(read.json(), c.after) << c.text.substr(0, 40);
    }
}

// --- the clone's snap device string ---------------------------------------------

auto fieldsOf(const CloneDeviceItem::Fields& f) {
    return std::tie(f.name, f.id, f.link);
}
auto foundOf(const CloneDeviceItem::Found& f) {
    return std::make_tuple(f.name, f.id, f.link);
}

TEST(StoredItems, CloneDeviceRoundTrip) {
    const CloneDeviceItem::Fields fields{"bxclone-snap-1-4", "42", kLink};
    const std::string text = CloneDeviceItem::encode(fields);
    EXPECT_EQ(text, "bxclone-snap-1-4|42|" + kLink);  // no closing bar
    CloneDeviceItem::Fields read;
    EXPECT_EQ(foundOf(CloneDeviceItem::decode(text, read)), std::make_tuple(true, true, true));
    EXPECT_EQ(fieldsOf(read), fieldsOf(fields));

    const std::string named = CloneDeviceItem::encodeName("bxclone-snap-1-4");
    EXPECT_EQ(named, "bxclone-snap-1-4|");
    CloneDeviceItem::Fields partial;
    EXPECT_EQ(foundOf(CloneDeviceItem::decode(named, partial)),
              std::make_tuple(true, false, false));
    EXPECT_EQ(partial.name, "bxclone-snap-1-4");
}

TEST(StoredItems, CloneDeviceReadsEarlierAndMalformedTexts) {
    const struct {
        std::string text;
        bool name, id, link;
        CloneDeviceItem::Fields fields;  // starting from "old-n", "old-i", "old-l"
    } cases[] = {
        {"c|42|" + kLink, true, true, true, {"c", "42", kLink}},
        {"c|42|" + kLink + "|", true, true, true, {"c", "42", kLink}},
        {"c|42|" + kLink + "|extra", true, true, true, {"c", "42", kLink}},
        {kLong + "|" + kLong + "|" + kLong, true, true, true, {kLong, kLong, kLong}},
        {"c|42|", true, true, false, {"c", "42", "old-l"}},
        {"c|42||" + kLink, true, true, false, {"c", "42", "old-l"}},
        {"c|42", true, false, false, {"c", "old-i", "old-l"}},
        {"c|", true, false, false, {"c", "old-i", "old-l"}},
        {"c||" + kLink, true, false, false, {"c", "old-i", "old-l"}},
        // The id and link are read even when the name is empty.
        {"|42|" + kLink, false, true, true, {"old-n", "42", kLink}},
        {"|", false, false, false, {"old-n", "old-i", "old-l"}},
        {"c", false, false, false, {"old-n", "old-i", "old-l"}},
        {"/dev/sdf", false, false, false, {"old-n", "old-i", "old-l"}},
        {"", false, false, false, {"old-n", "old-i", "old-l"}},
    };
    for (const auto& c : cases) {
        CloneDeviceItem::Fields read{"old-n", "old-i", "old-l"};
        EXPECT_EQ(foundOf(CloneDeviceItem::decode(c.text, read)),
                  std::make_tuple(c.name, c.id, c.link))
            << c.text.substr(0, 40);
        EXPECT_EQ(fieldsOf(read), fieldsOf(c.fields)) << c.text.substr(0, 40);
    }
}

}  // namespace
