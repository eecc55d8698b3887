// The device end of the link benchmark, in the benchmark's own process, over the CS2 or
// ThroughTek stand-in: answers every command message with code + 1 and the same body, and on the
// two benchmark-only commands streams frames as fast as the transport takes them, framed as a
// camera frames them (link stream, live channel) or as the same bytes on a spare channel (raw
// stream). Owns one thread, which accepts one client session and serves it until stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace benchlink {

enum class Transport { Cs2, Tutk };

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
    void serveCs2(int handle);
    void serveTutk(int sid);
    void streamCs2(int handle, int channel, int frames);
    void streamTutk(int avIndex, int frames);

    Transport m_transport;
    std::string m_uid;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<char> m_frame;
};

} // namespace benchlink
