#include "fs_util.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace bxhost {

std::string dirName(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeDirs(const std::string& dir, mode_t mode, std::string* error) {
    if (dir.empty() || dir == "/" || dir == ".") {
        return true;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return true;
        }
        *error = "[" + dir + "] is not a directory";
        return false;
    }
    if (!makeDirs(dirName(dir), mode, error)) {
        return false;
    }
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
        *error = "cannot create directory [" + dir + "]: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace bxhost
