// The LAN search answer as the search dialog reads it: any bytes, any length.
#include "DevSearchReply.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto reply = ParseDevSearchReply(reinterpret_cast<const char*>(data), size);
    if (reply && (reply->ip.size() > 80 || reply->uid.size() > 64 || reply->hardware.size() > 16 || reply->mac.size() != 17))
        __builtin_trap();
    return 0;
}
