// What every fuzz target shares: a quiet but complete debug log, no settings
// file from the machine, and the input cut into its header bytes and lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bxfuzz {

// Every log line is formatted (level 9) and then dropped, so that the
// formatting of hostile text is exercised without filling the disk. Settings
// come from a path that does not exist, so the machine's file plays no part.
void quietRuntime();

// The input as a header (first `count` bytes, zero when short) and the rest.
struct Input {
    Input(const uint8_t* data, size_t size, size_t count);
    unsigned char header(size_t i) const { return i < head.size() ? head[i] : 0; }
    std::vector<unsigned char> head;
    std::string body;
};

// The text cut at every '\n' (an input without one is a single line).
std::vector<std::string> splitLines(const std::string& text);

// "key=value" into a pair; a line without '=' is a key with an empty value.
std::pair<std::string, std::string> keyValue(const std::string& line);

}  // namespace bxfuzz
