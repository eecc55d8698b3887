// The preset-list, colour and preset-add replies a camera sends to the side panel and the preset
// dialog: any bytes.
#include "liveview/PtzReply.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    if (const auto list = ParsePresetListReply(text, size)) {
        int previous = -1;
        for (const PresetPoint& point : list->points) {
            if (point.index <= previous)
                __builtin_trap(); // indexes follow the reply's order
            previous = point.index;
        }
    }
    if (const auto colours = ParseColourReply(text, size); colours && !colours->isObject())
        __builtin_trap();
    (void)ParsePresetAddReply(text, size);
    return 0;
}
