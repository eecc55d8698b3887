// The device directory of the vendor P2P stand-ins ("UID host:port" lines, appended as devices
// publish themselves). A CS2 camera publishes its listener from the camera's own thread after
// start() has returned, so a test logs in only once the camera's line is there: a login before it
// finds no device and fails at once.
#pragma once

#include "WaitUntil.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumora::test {

// Lines of the directory file that name this device (0 when the file does not exist yet).
inline size_t publishedCount(const std::filesystem::path& directory, const std::string& uid)
{
    std::ifstream in(directory);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        lines += line.rfind(uid + " ", 0) == 0 ? 1 : 0;
    return lines;
}

// True once the device has published itself at least `count` times; false at the deadline.
inline bool waitPublished(const std::filesystem::path& directory, const std::string& uid, size_t count = 1)
{
    return waitUntil([&] { return publishedCount(directory, uid) >= count; });
}

} // namespace lumora::test
