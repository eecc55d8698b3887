// The command reader (NetProParse::ReadIOData on a CS2 or libTovel link) on arbitrary bytes from
// the device. Input: byte 0 caps how many bytes one link read delivers (0: no cap), so that
// messages also arrive in pieces; the rest is the channel-0 byte stream, after which the link
// reads as broken. The reader is polled until the link goes down, then twice more. It must never
// hand the callback a length beyond its buffer, and must report the loss of the link only once.
// One reader serves every input, reconnected each time, as a device session keeps its reader.
#include "NetProParse.h"

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

constexpr int kMaxPolls = 4096;

struct Input {
    const uint8_t* stream = nullptr;
    size_t size = 0;
    size_t at = 0;
    size_t step = SIZE_MAX;
    bool down = false;
    int lossReports = 0;
};

Input g_input;

void onMessage(int code, int result, std::vector<char>& body, unsigned length, std::string, int, int slot)
{
    check(slot == 3);
    check(length <= body.size());
    // Touch every byte handed over, so a stale or short buffer shows.
    volatile char sink = 0;
    for (unsigned i = 0; i < length; ++i)
        sink = sink ^ body[i];
    if (g_input.down)
        ++g_input.lossReports;
}

int readBytes(int channel, char* buffer, int& length)
{
    check(channel == 0);
    check(length > 0);
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
        auto* p = new NetProParse("FUZZDEV", nullptr, onMessage);
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
    for (int i = 0; i < kMaxPolls && parse.LinkUp(); ++i)
        parse.ReadIOData(0, 3);
    g_input.down = !parse.LinkUp();
    for (int i = 0; i < 2; ++i)
        parse.ReadIOData(0, 3);
    check(g_input.lossReports <= 1);
    parse.CloseLink();
    return 0;
}
