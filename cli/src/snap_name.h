// GCP names for the host's snapshots. A name is made once, when the catalog
// row is created, and handed back unchanged to every later getSnapName, in
// this job and in later ones.
#pragma once

#include <cstdint>
#include <string>

namespace bxhost {

// Longest snapshot name we make. GCP allows 63, but the plug-in names a clone
// "bxclone-" + snapshot name + "-" + clone number without shortening it, so a
// snapshot name must leave room for that.
constexpr size_t kMaxSnapNameLength = 40;
constexpr size_t kMaxGcpNameLength = 63;

// "bx-<host id>-<device label>-<job>-<snapshot number>", lower case, the
// label shortened (or dropped) to stay within kMaxSnapNameLength.
std::string makeSnapName(const std::string& hostId, const std::string& sourceDevice, int64_t jobId,
                         int64_t snapNum);

// The readable part of a source device: the last path component of a local
// device, the disk of an HPX "project|disk" source; reduced to [a-z0-9-].
std::string deviceLabel(const std::string& sourceDevice);

// [a-z]([-a-z0-9]*[a-z0-9])?, at most 63 characters.
bool isValidGcpName(const std::string& name);

}  // namespace bxhost
