// The media chunk reader (NetProParse::ReadVAData on a CS2 or libTovel link) on arbitrary bytes
// from the device. Input: byte 0 caps how many bytes one link read delivers (0: no cap); the rest
// is the channel-1 byte stream, after which the link reads as broken. Frames are read until the
// link goes down, then twice more. Every frame handed over must lie inside its buffer and within
// the reader's frame limit, events carry no data, and the loss of the link is reported only once.
// One reader serves every input, reconnected each time, as a device session keeps its reader
// (and its grown frame buffer) across reconnects.
#include "NetProParse.h"
#include "NetProtocol.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr int kMaxReads = 4096;

struct Input {
    const uint8_t* stream = nullptr;
    size_t size = 0;
    size_t at = 0;
    size_t step = SIZE_MAX;
    bool down = false;
    int lossReports = 0;
};

Input g_input;

void onFrame(int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int kind, uint64_t, int slot)
{
    check(kind == 1 && slot == 6);
    check(length <= frame.size());
    check(length <= NetProParse::kMaxFrameSize);
    if (p2 == 0 && length > 0) {
        volatile char sink = 0;
        for (unsigned i = 0; i < length; ++i)
            sink = sink ^ frame[i];
    } else {
        check(length == 0);
        check(p1 == p2);
    }
    if (g_input.down)
        ++g_input.lossReports;
}

int readBytes(int channel, char* buffer, int& length)
{
    check(channel == kChannelLive);
    check(length > 0 && length <= 0xFFFF);
    const size_t n = std::min({static_cast<size_t>(length), g_input.step, g_input.size - g_input.at});
    if (n == 0) {
        length = 0;
        return -12; // the device went away
    }
    std::memcpy(buffer, g_input.stream + g_input.at, n);
    g_input.at += n;
    length = static_cast<int>(n);
    return 0;
}

NetProParse& reader()
{
    static NetProParse* parse = [] {
        auto* p = new NetProParse("FUZZDEV", onFrame, nullptr);
        p->link()->setByteSource(readBytes);
        return p;
    }();
    return *parse;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_input = Input{};
    g_input.step = size > 0 && data[0] != 0 ? data[0] : SIZE_MAX;
    g_input.stream = size > 0 ? data + 1 : data;
    g_input.size = size > 0 ? size - 1 : 0;

    NetProParse& parse = reader();
    parse.link()->setHandle(0);
    for (int i = 0; i < kMaxReads && parse.LinkUp(); ++i)
        parse.ReadVAData(6, 1, 0, nullptr);
    g_input.down = !parse.LinkUp();
    for (int i = 0; i < 2; ++i)
        parse.ReadVAData(6, 1, 0, nullptr);
    check(g_input.lossReports <= 1);
    parse.CloseLink();
    return 0;
}
