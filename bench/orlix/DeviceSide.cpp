#include "DeviceSide.h"

#include "Orlix.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace orlixbench {

const uint8_t* streamPattern(std::size_t length)
{
    static const std::vector<uint8_t> pattern = [] {
        std::vector<uint8_t> bytes(251 + kStreamPatternSpan);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = streamByte(i);
        return bytes;
    }();
    return length <= kStreamPatternSpan ? pattern.data() : nullptr;
}

namespace {

// Writes bytes on the stream channel, keeping at most kDeviceSendWindow queued. False when the
// session ended on the way.
bool stream(int handle, uint64_t bytes, std::atomic<bool>& stopping)
{
    const uint8_t* pattern = streamPattern(kStreamWriteBytes);
    uint64_t offset = 0;
    while (offset < bytes && !stopping.load()) {
        unsigned pending = 0;
        const int checked = Orlix_Check_Buffer(handle, kStreamChannel, &pending, nullptr);
        if (checked != 0)
            return false;
        if (pending > kDeviceSendWindow) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const int length = static_cast<int>(std::min<uint64_t>(kStreamWriteBytes, bytes - offset));
        const char* block = reinterpret_cast<const char*>(pattern + offset % 251);
        const int written = Orlix_Write(handle, kStreamChannel, block, length);
        if (written != length) {
            std::fprintf(stderr, "bench-orlix device: write returned %d\n", written);
            return false;
        }
        offset += static_cast<uint64_t>(length);
    }
    return true;
}

// One accepted session: answers control requests until the session ends.
void serve(int handle, std::atomic<bool>& stopping)
{
    char request[256];
    while (!stopping.load()) {
        int length = sizeof(request) - 1;
        const int result = Orlix_Read(handle, kControlChannel, request, &length, 5);
        if (result == ORLIX_ERROR_TIMEOUT)
            continue;
        if (result != 0)
            break;
        request[length] = '\0';
        unsigned long long bytes = 0;
        if (std::sscanf(request, "stream %llu", &bytes) == 1 && !stream(handle, bytes, stopping))
            break;
    }
    Orlix_Close(handle);
}

} // namespace

int runDevice(const char* serverString, const char* deviceId)
{
    setenv("LUMORA_LOOPBACK_ONLY", "1", 1);
    // The login info goes to the client that Orlix_Initialize creates.
    int result = Orlix_Initialize(serverString);
    if (result == 0)
        result = Orlix_SetLoginInfo(deviceId, "bench", 2);
    if (result != 0) {
        std::printf("device error %d\n", result);
        std::fflush(stdout);
        return 1;
    }
    std::printf("device started %s\n", deviceId);
    std::fflush(stdout);

    std::atomic<bool> stopping{false};
    // The parent writes "quit" (or closes our standard input) when it is done.
    std::thread watcher([&] {
        char line[64];
        while (std::fgets(line, sizeof line, stdin) && std::strncmp(line, "quit", 4) != 0) {
        }
        stopping.store(true);
        Orlix_Listen_Break();
    });

    std::vector<std::thread> sessions;
    while (!stopping.load()) {
        const int handle = Orlix_Listen(deviceId, 5, 0, 0, "bench");
        if (handle >= 0)
            sessions.emplace_back(serve, handle, std::ref(stopping));
    }
    watcher.join();
    for (std::thread& session : sessions)
        session.join();
    Orlix_DeInitialize();
    return 0;
}

} // namespace orlixbench
