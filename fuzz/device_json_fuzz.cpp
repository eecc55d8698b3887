// The reader of every JSON text a device sends: any bytes, never a throw, never a crash.
#include "DeviceJson.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value root;
    if (!devicejson::Parse(text, text + size, root)) {
        if (!root.isNull())
            __builtin_trap();
        return 0;
    }
    // The walks the reply handlers make on whatever shape came.
    const Json::Value& video = devicejson::Member(devicejson::Member(root, "Stream.StreamInfo"), "VideoStream");
    (void)devicejson::Member(video, "Width").isInt();
    (void)devicejson::Member(root, "ret").isInt();
    return 0;
}
