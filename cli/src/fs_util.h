// Small file-system helpers shared by the catalog, the key file and the demo.
#pragma once

#include <sys/types.h>

#include <string>

namespace bxhost {

// Creates a directory and its missing parents with the given mode; true when
// the directory exists afterwards.
bool makeDirs(const std::string& dir, mode_t mode, std::string* error);

// The directory part of a path ("." when it has none).
std::string dirName(const std::string& path);

}  // namespace bxhost
