// Loads libbxso_gcp.so with dlopen, as a backup agent does, and resolves its
// entry points. Nothing of the plug-in is linked into the host.
#pragma once

#include <string>
#include <vector>

#include "host/snap_info.h"

namespace bxhost {

using RecordsFn = int (*)(BXSO::SnapInfo**, short, BXSO::BXOSUtil*);
using VersionFn = void (*)(short*, short*, short*);
using IsSupportedFn = int (*)(const char*, int, BXSO::BXOSUtil*, void*, short);

// The major version this host speaks.
constexpr short kPluginMajor = 1;

class Plugin {
  public:
    Plugin() = default;
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // explicitPath: --plugin; empty to search (see candidatePaths).
    bool load(const std::string& explicitPath);
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    std::string versionText() const;

    // Where the plug-in is looked for, in order: BXSO_PLUGIN, next to the
    // binary, the build tree this binary came from, the installed path.
    static std::vector<std::string> candidatePaths();

    VersionFn version = nullptr;
    IsSupportedFn isSupported = nullptr;
    RecordsFn prepareDevices = nullptr;
    RecordsFn snapDevices = nullptr;
    RecordsFn postSnapDevices = nullptr;
    RecordsFn mapSnaps = nullptr;
    RecordsFn unmapSnaps = nullptr;
    RecordsFn deleteSnaps = nullptr;
    RecordsFn revertSnaps = nullptr;
    RecordsFn reconcileSnaps = nullptr;

  private:
    bool resolve();
    void* handle_ = nullptr;
    std::string path_;
    std::string error_;
    short major_ = 0, minor_ = 0, revision_ = 0;
};

}  // namespace bxhost
