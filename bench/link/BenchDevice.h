// The device end of the link benchmark, in the benchmark's own process, over the CS2 or
// ThroughTek stand-in: answers every command message with code + 1 and the same body, and on the
// two benchmark-only commands streams frames as fast as the transport takes them, framed as a
// camera frames them (link stream, live channel) or as the same bytes on a spare channel (raw
// stream). Owns one thread, which accepts one client session and serves it until stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace benchlink {

enum class Transport { Cs2, Tutk, Tovel };

// A byte-stream transport's device side (CS2 and libTovel): the calls of one transport.
struct StreamDeviceOps {
    // A client session's handle, or negative when none came within about a second.
    std::function<int()> accept;
    // Reads up to *length bytes (waiting at most about 100 ms); 0 or -3 (nothing yet, *length
    // what came), any other result ends the session.
    std::function<int(int handle, int channel, char* buffer, int* length)> read;
    // Returns the bytes accepted or a negative code.
    std::function<int(int handle, int channel, const char* data, int length)> write;
    // Frame data still queued for sending on a channel (0 when the transport cannot tell).
    std::function<uint32_t(int handle, int channel)> pending;
    std::function<void(int handle)> close;
    std::function<void()> wake;
};

// Benchmark-only commands; the body is the frame count as decimal text. The reply goes out
// before the first frame.
constexpr uint16_t kStartLinkStream = 9001; // live channel, camera framing
constexpr uint16_t kStartRawStream = 9003;  // spare channel, the same bytes
constexpr int kRawChannel = 2;

// Frame size and chunk payload of the streamed frames (a 1080p frame is about 200 KB).
constexpr int kFrameSize = 200 * 1024;
constexpr int kChunkPayload = 16000;

class BenchDevice {
public:
    BenchDevice(Transport transport, std::string uid);
    // A byte-stream device over the given calls (libTovel's device side is the caller's).
    BenchDevice(Transport transport, std::string uid, StreamDeviceOps ops);
    ~BenchDevice();
    BenchDevice(const BenchDevice&) = delete;
    BenchDevice& operator=(const BenchDevice&) = delete;

    // Publishes the uid and starts accepting; false when the transport refused the uid.
    bool start();
    void stop();

    // The bytes of one frame as the CS2 device puts them on a channel: chunk headers and slices.
    static std::vector<char> chunkedFrame(uint32_t frameId, const std::vector<char>& frame);
    static std::vector<char> frameInfo(uint32_t frameId);

private:
    void run();
    void serveStream(int handle);
    void serveTutk(int sid);
    void streamChunks(int handle, int channel, int frames);
    void streamTutk(int avIndex, int frames);

    Transport m_transport;
    std::string m_uid;
    StreamDeviceOps m_ops;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<char> m_frame;
};

} // namespace benchlink
