// A firmware version document from an upgrade server, and the enciphered address prefix a device
// sends: any bytes.
#include "settings/ClientRc4.h"
#include "settings/FirmwareVersions.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    PublishedFirmware published;
    published.system = ParseVersionDocument(bytes);
    published.custom = published.system;
    published.vendor = published.system;
    if (published.system && !published.system->isObject())
        __builtin_trap();
    CompareVersions(bytes.substr(0, 64), published);
    const Json::Value body = UpgradeBody(published);
    if (published.any() != (body.size() == 3))
        __builtin_trap();
    if (DecipherUpgradeUrl(bytes).size() > kMaxUpgradeUrlText / 2)
        __builtin_trap();
    return 0;
}
