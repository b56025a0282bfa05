#include "context/stored_items.h"

#include <algorithm>

namespace DuVavaZid {

namespace {

constexpr char kBar = '|';

// Reads bar-terminated fields one after another; a field that cannot be read
// leaves the position where it was.
class FieldReader {
  public:
    explicit FieldReader(const std::string& text) : text_(text) {}

    // An empty field counts as missing.
    bool next(std::string& field) { return read(field, false); }
    // Items whose readers never refused an empty field keep accepting one.
    bool nextMaybeEmpty(std::string& field) { return read(field, true); }

  private:
    bool read(std::string& field, bool emptyAllowed) {
        size_t bar = text_.find(kBar, pos_);
        if (bar == std::string::npos || (bar == pos_ && !emptyAllowed)) {
            return false;
        }
        field = text_.substr(pos_, bar - pos_);
        pos_ = bar + 1;
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

std::string terminated(const std::string& field) {
    return field + kBar;
}

}  // namespace

std::string SnapUuidItem::encode(const Fields& fields) {
    return terminated(fields.deviceId) + terminated(fields.projectId) +
           terminated(fields.instanceId) + terminated(fields.resourceId);
}

SnapUuidItem::Missing SnapUuidItem::decode(const std::string& text, Fields& fields) {
    FieldReader reader(text);
    if (!reader.next(fields.deviceId)) {
        return kDeviceId;
    }
    if (!reader.next(fields.projectId)) {
        return kProjectId;
    }
    if (!reader.next(fields.instanceId)) {
        return kInstanceId;
    }
    if (!reader.next(fields.resourceId)) {
        return kResourceId;
    }
    return kNone;
}

// Counting from the end rather than to the fourth field is how every version
// updated the item; an item with more fields has its last one replaced.
bool SnapUuidItem::putResourceId(std::string& text, const std::string& id) {
    // Fewer bars would put the id over the instance id.
    if (std::count(text.begin(), text.end(), kBar) < 4) {
        return false;
    }
    size_t last = text.rfind(kBar);
    size_t before = text.rfind(kBar, last - 1);
    text.replace(before + 1, last - before - 1, id);
    return true;
}

bool SnapUuidItem::putDeviceId(std::string& text, const std::string& id) {
    size_t first = text.find(kBar);
    if (first == std::string::npos) {
        return false;
    }
    text.replace(0, first, id);
    return true;
}

std::string SnapTransientItem::encode(const std::string& deviceName) {
    return terminated(deviceName);
}

bool SnapTransientItem::decode(const std::string& text, std::string& deviceName) {
    return FieldReader(text).next(deviceName);
}

std::string CloudLocationItem::encode(const Fields& fields) {
    return terminated(fields.zone) + terminated(fields.region);
}

CloudLocationItem::Missing CloudLocationItem::decode(const std::string& text, Fields& fields) {
    FieldReader reader(text);
    if (!reader.nextMaybeEmpty(fields.zone)) {
        return kZone;
    }
    if (!reader.nextMaybeEmpty(fields.region)) {
        return kRegion;
    }
    return kNone;
}

std::string SnapOpLinkItem::encode(const std::string& link) {
    size_t scheme = link.find("://");
    return scheme == std::string::npos ? link : link.substr(scheme + 3);
}

bool SnapOpLinkItem::decode(const std::string& text, std::string& link) {
    link = text;
    return true;
}

std::string DeviceTypeItem::encode(const std::string& deviceType) {
    return terminated(deviceType);
}

bool DeviceTypeItem::decode(const std::string& text, std::string& deviceType) {
    return FieldReader(text).nextMaybeEmpty(deviceType);
}

std::string ServiceAccountItem::encode(const std::string& account) {
    return terminated(account);
}

bool ServiceAccountItem::decode(const std::string& text, std::string& account) {
    return FieldReader(text).nextMaybeEmpty(account);
}

std::string InterimCloneItem::encode(const Fields& fields) {
    return terminated(fields.cloneId) + terminated(fields.snapId);
}

InterimCloneItem::Missing InterimCloneItem::decode(const std::string& text, Fields& fields) {
    FieldReader reader(text);
    if (!reader.next(fields.cloneId)) {
        return kCloneId;
    }
    if (!reader.next(fields.snapId)) {
        return kSnapId;
    }
    return kNone;
}

std::string LabelsItem::encode(const jsonxx::Object& labels) {
    return labels.json();
}

bool LabelsItem::decode(const std::string& text, jsonxx::Object& labels) {
    return text.empty() || labels.parse(text);
}

// No closing bar: the map has always stored it so, and the reader takes the
// link to the end.
std::string CloneDeviceItem::encode(const Fields& fields) {
    return terminated(fields.name) + terminated(fields.id) + fields.link;
}

std::string CloneDeviceItem::encodeName(const std::string& name) {
    return terminated(name);
}

CloneDeviceItem::Found CloneDeviceItem::decode(const std::string& text, Fields& fields) {
    Found found;
    size_t first = text.find(kBar);
    if (first == std::string::npos) {
        return found;
    }
    if (first > 0) {
        fields.name = text.substr(0, first);
        found.name = true;
    }
    // The unmap makes a name up when there is none, and the id and link
    // still find the clone.
    size_t second = text.find(kBar, first + 1);
    if (second == std::string::npos || second == first + 1) {
        return found;
    }
    fields.id = text.substr(first + 1, second - first - 1);
    found.id = true;
    // Without the link the clone would be looked for in the wrong place and
    // an unmap could leave it behind; a closing bar is accepted but not needed.
    size_t third = text.find(kBar, second + 1);
    std::string link = text.substr(
        second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
    if (link.empty()) {
        return found;
    }
    fields.link = link;
    found.link = true;
    return found;
}

}  // namespace DuVavaZid
