// Profile ("ini") files come from disk and may be damaged: reading and rewriting any bytes must
// neither crash nor lose the other keys.
#include "PrivateProfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char path[] = "/tmp/lumora-profile-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return 0;
    }
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(fd);

    for (const auto& section : platform::GetPrivateProfileSectionNames(path)) {
        platform::GetPrivateProfileString(section, "language", "EN", path);
        platform::GetPrivateProfileInt(section, "Enable", 0, path);
    }
    platform::GetPrivateProfileString("Language", "language", "EN", path);
    platform::GetPrivateProfileInt("RecPlan", "RecTime", 1, path);
    const std::string before = platform::GetPrivateProfileString("PathSetting", "SnapPath", "none", path);
    if (platform::WritePrivateProfileString("Language", "Language", "CN_LAN", path)) {
        if (platform::GetPrivateProfileString("Language", "Language", "", path) != "CN_LAN") {
            std::abort();
        }
        // Writing one key keeps another section's key (unless it was the same section and key).
        if (platform::GetPrivateProfileString("PathSetting", "SnapPath", "none", path) != before) {
            std::abort();
        }
    }
    platform::DeletePrivateProfileKey("Language", "Language", path);
    std::remove(path);
    return 0;
}
