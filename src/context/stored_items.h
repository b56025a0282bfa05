// The items kept on the host's snapshot records between calls, one codec per
// item. A record outlives the plug-in that wrote it, so a later version must
// read what an earlier one stored: the text of every item, and what a reader
// accepts, are fixed; docs/internals.md lists them. Fields of the "|" items
// end with a bar ("a|b|" holds two) unless an item says otherwise.
#pragma once

#include <string>

#include "common/jsonxx.h"

namespace DuVavaZid {

// Item 6: "disk id|project id|instance id|snapshot resource id|". The
// resource id stays empty until the snapshot exists.
struct SnapUuidItem {
    struct Fields {
        std::string deviceId;
        std::string projectId;
        std::string instanceId;
        std::string resourceId;
    };
    // The first field a decode could not read; kNone when it read them all.
    enum Missing { kNone, kDeviceId, kProjectId, kInstanceId, kResourceId };

    static std::string encode(const Fields& fields);
    // An empty field, or one without its bar, is missing. The fields before
    // the missing one are read; it and the ones after keep their values.
    // Fields beyond the fourth are ignored.
    static Missing decode(const std::string& text, Fields& fields);

    // The updates rewrite one field of the stored text in place, keeping
    // the rest byte for byte. False (text untouched) when the text is not
    // shaped for it.
    // The field before the last bar takes the id; the text needs four bars.
    static bool putResourceId(std::string& text, const std::string& id);
    // Everything before the first bar becomes the id; the text needs a bar.
    static bool putDeviceId(std::string& text, const std::string& id);
};

// Item 102 (transient): "disk name|".
struct SnapTransientItem {
    static std::string encode(const std::string& deviceName);
    // False when the name is empty or has no bar; what follows is ignored.
    static bool decode(const std::string& text, std::string& deviceName);
};

// Item 154: "zone|region|"; one of the two is usually empty.
struct CloudLocationItem {
    struct Fields {
        std::string zone;
        std::string region;
    };
    enum Missing { kNone, kZone, kRegion };

    static std::string encode(const Fields& fields);
    // Only a missing bar makes a field missing: either may be empty.
    // Fields before the missing one are read; fields beyond the second are
    // ignored.
    static Missing decode(const std::string& text, Fields& fields);
};

// Item 155 (transient): the snapshot's Operation link without its scheme
// ("compute.googleapis.com/compute/v1/..."), as every version stored it.
struct SnapOpLinkItem {
    // Drops everything up to and including the first "://"; a link without
    // one is stored as it is.
    static std::string encode(const std::string& link);
    // The stored text is the link; every text is one.
    static bool decode(const std::string& text, std::string& link);
};

// Item 156: "device type|".
struct DeviceTypeItem {
    static std::string encode(const std::string& deviceType);
    // False only without a bar: an empty type is read as empty.
    static bool decode(const std::string& text, std::string& deviceType);
};

// Item 157: "service account|".
struct ServiceAccountItem {
    static std::string encode(const std::string& account);
    // False only without a bar: an empty account is read as empty.
    static bool decode(const std::string& text, std::string& account);
};

// Item 163: "interim clone id|interim snapshot id|".
struct InterimCloneItem {
    struct Fields {
        std::string cloneId;
        std::string snapId;
    };
    enum Missing { kNone, kCloneId, kSnapId };

    static std::string encode(const Fields& fields);
    // As item 6: an empty or unterminated field is missing, fields before it
    // are read, it and the ones after keep their values (so without a clone
    // id the snapshot id is not read either).
    static Missing decode(const std::string& text, Fields& fields);
};

// Item 167: the source disk's labels as a compact JSON object.
struct LabelsItem {
    static std::string encode(const jsonxx::Object& labels);
    // An empty text means no labels were stored: true, labels untouched.
    // False (labels emptied) when the text is not a JSON object.
    static bool decode(const std::string& text, jsonxx::Object& labels);
};

// The clone's snap device string: "name|" while the clone is made, then
// "name|id|link" once mapped, without a closing bar after the link.
struct CloneDeviceItem {
    struct Fields {
        std::string name;
        std::string id;
        std::string link;
    };
    struct Found {
        bool name = false;
        bool id = false;
        bool link = false;
    };

    // The mapped clone.
    static std::string encode(const Fields& fields);
    // The clone being made: only its name is known.
    static std::string encodeName(const std::string& name);
    // The name and the id need their bars and must not be empty; the id is
    // still read after an empty name. The link needs the id and runs to the
    // next bar or to the end, and must not be empty. Fields not found keep
    // their values.
    static Found decode(const std::string& text, Fields& fields);
};

}  // namespace DuVavaZid
