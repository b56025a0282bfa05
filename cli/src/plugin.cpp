#include "plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace bxhost {

namespace {

constexpr const char* kPluginFile = "libbxso_gcp.so";

std::string exeDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool readable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

template <typename Fn>
bool symbol(void* handle, const char* name, Fn* out, std::string* missing) {
    *out = reinterpret_cast<Fn>(::dlsym(handle, name));
    if (!*out) {
        *missing += (missing->empty() ? "" : ", ") + std::string(name);
        return false;
    }
    return true;
}

}  // namespace

Plugin::~Plugin() {
    // The plug-in's runtime may still own threads or atexit handlers; leaving
    // it mapped until the process ends is the safe choice.
    handle_ = nullptr;
}

std::vector<std::string> Plugin::candidatePaths() {
    std::vector<std::string> out;
    if (const char* env = std::getenv("BXSO_PLUGIN"); env && *env) {
        out.push_back(env);
    }
    std::string dir = exeDir();
    if (!dir.empty()) {
        out.push_back(dir + "/" + kPluginFile);
        out.push_back(dir + "/../lib/bxso/" + kPluginFile);
    }
#ifdef BXSO_HOST_BUILD_PLUGIN
    out.push_back(BXSO_HOST_BUILD_PLUGIN);
#endif
#ifdef BXSO_HOST_INSTALLED_PLUGIN
    out.push_back(BXSO_HOST_INSTALLED_PLUGIN);
#endif
    out.push_back(std::string("/usr/lib/bxso/") + kPluginFile);
    return out;
}

bool Plugin::load(const std::string& explicitPath) {
    std::vector<std::string> tried;
    std::string chosen = explicitPath;
    if (chosen.empty()) {
        for (const auto& candidate : candidatePaths()) {
            tried.push_back(candidate);
            if (readable(candidate)) {
                chosen = candidate;
                break;
            }
        }
        if (chosen.empty()) {
            error_ = "plug-in " + std::string(kPluginFile) + " not found; looked in:";
            for (const auto& t : tried) {
                error_ += "\n  " + t;
            }
            error_ += "\ngive its path with --plugin or BXSO_PLUGIN";
            return false;
        }
    }
    ::dlerror();
    handle_ = ::dlopen(chosen.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        error_ = "cannot load plug-in [" + chosen + "]: " + (why ? why : "unknown error");
        return false;
    }
    path_ = chosen;
    return resolve();
}

bool Plugin::resolve() {
    std::string missing;
    bool ok = symbol(handle_, "bxso_version", &version, &missing);
    ok = symbol(handle_, "bxso_isSupported", &isSupported, &missing) && ok;
    ok = symbol(handle_, "bxso_prepareDevices", &prepareDevices, &missing) && ok;
    ok = symbol(handle_, "bxso_snapDevices", &snapDevices, &missing) && ok;
    ok = symbol(handle_, "bxso_postSnapDevices", &postSnapDevices, &missing) && ok;
    ok = symbol(handle_, "bxso_mapSnaps", &mapSnaps, &missing) && ok;
    ok = symbol(handle_, "bxso_unmapSnaps", &unmapSnaps, &missing) && ok;
    ok = symbol(handle_, "bxso_deleteSnaps", &deleteSnaps, &missing) && ok;
    ok = symbol(handle_, "bxso_revertSnaps", &revertSnaps, &missing) && ok;
    ok = symbol(handle_, "bxso_reconcileSnaps", &reconcileSnaps, &missing) && ok;
    if (!ok) {
        error_ = "plug-in [" + path_ + "] lacks entry points: " + missing;
        return false;
    }
    version(&major_, &minor_, &revision_);
    if (major_ != kPluginMajor) {
        error_ = "plug-in [" + path_ + "] has version " + versionText() +
                 "; this host speaks version " + std::to_string(kPluginMajor) + ".x";
        return false;
    }
    return true;
}

std::string Plugin::versionText() const {
    return std::to_string(major_) + "." + std::to_string(minor_) + "." + std::to_string(revision_);
}

}  // namespace bxhost
