// Small helpers of the emulator: time, identifiers, names, paths and patterns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model.h"

namespace gce::util {

int64_t nowMs();
// RFC 3339 with milliseconds and the Pacific offset Compute Engine uses ("-07:00").
std::string rfc3339(int64_t ms);
// A fresh 64-bit decimal id (19 digits), unique within the world.
std::string newId(World& w);
std::string newOperationName(int64_t ms);
std::string newToken();
// Compute Engine resource names: [a-z]([-a-z0-9]{0,61}[a-z0-9])?
bool validName(const std::string& name);
std::vector<std::string> splitPath(const std::string& path);  // drops empty segments
std::string lastSegment(const std::string& url);
// How a machine type's disks reach the guest when an attachment does not say:
// "NVME" on the series that have no SCSI interface for persistent disks (C3,
// C3D, C4, C4A, C4D, N4, M3, H3, X4, Z3), "SCSI" elsewhere.
std::string defaultDiskInterface(const std::string& machineType);
// '*' matches any run of characters (also '/'), '?' one character; whole-text match.
bool globMatch(const std::string& pattern, const std::string& text);
// "re:" prefix = ECMAScript regex searched in text, else globMatch.
bool patternMatch(const std::string& pattern, const std::string& text);
std::string labelFingerprint(const Json& labels);
std::string lower(std::string s);
// Reference (full URL, partial "projects/..." or "zones/..."/"regions/..."/"global/...") to the
// canonical path "projects/P/...", or "" when the text is not a reference.
std::string refToPath(const std::string& ref, const std::string& project);
std::string urlDecode(const std::string& s);
// "a=b&c=d" form body to pairs (values URL-decoded; '+' is a blank).
std::vector<std::pair<std::string, std::string>> parseForm(const std::string& body);

}  // namespace gce::util
