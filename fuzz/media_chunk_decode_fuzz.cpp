// The media chunk path from a device into the video decoder: bytes of the live channel read by
// the session's chunk reader, handed to the stream channel's live sink, decoded and drawn into a
// surface. Input: byte 0 picks the codec (bit 0: H.265) and the hardware flag (bit 1); the rest
// is the channel-1 byte stream, after which the link reads as broken. Every picture drawn must
// lie inside the size the surface is told; nothing may crash or read out of bounds.
#include "NetProImple.h"
#include "VideoDecoderImple.h"
#include "VideoSurface.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>

namespace {

constexpr int kWindow = 4242;
constexpr int kMaxSteps = 512;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

class CheckingSurface : public platform::VideoSurface {
public:
    void present(const platform::SurfacePicture& picture) override
    {
        check(picture.width > 0 && picture.height > 0 && picture.pixels != nullptr);
        const size_t bytes = platform::PictureBytes(picture.format, picture.width, picture.height);
        volatile uint8_t sink = 0;
        sink = sink ^ picture.pixels[0] ^ picture.pixels[bytes - 1];
        check(picture.view.x >= 0 && picture.view.y >= 0);
    }
};

struct Input {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
};

Input g_input;

int readBytes(int channel, char* buffer, int& length)
{
    if (channel != 1) {
        length = 0;
        return -1;
    }
    const size_t n = std::min(static_cast<size_t>(length), g_input.size - g_input.at);
    std::copy(g_input.data + g_input.at, g_input.data + g_input.at + n, buffer);
    g_input.at += n;
    length = static_cast<int>(n);
    return n == 0 ? -1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool registered = platform::RegisterVideoSurface(kWindow, std::make_shared<CheckingSurface>());
    (void)registered;
    if (size < 1)
        return 0;
    g_input = {data + 1, size - 1, 0};
    NetProImple session("FUZZCAM", nullptr, nullptr);
    session.parser()->link()->setByteSource(readBytes);
    session.parser()->link()->setHandle(0);
    std::deque<std::function<void()>> tasks;
    VideoDecoderImple::Host host;
    host.schedule = [&tasks](std::function<void()> task) { tasks.push_back(std::move(task)); };
    host.playAudio = [](const char*, unsigned length, int, uint64_t) { check(length == 320); };
    auto channel = VideoDecoderImple::Create(&session, host);
    if (channel->AddDecoder(kWindow, 64, 64, 0, (data[0] & 2) != 0, data[0] & 1) != 0)
        return 0;
    session.SetAVDataCallback(channel->LiveSink(), nullptr);
    channel->ReadStream("FUZZCAM", 0, 0, 0, nullptr);
    for (int steps = 0; !tasks.empty() && steps < kMaxSteps; ++steps) {
        auto task = std::move(tasks.front());
        tasks.pop_front();
        task();
    }
    return 0;
}
