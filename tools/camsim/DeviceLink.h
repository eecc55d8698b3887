// The device side of one client session, over whichever transport the simulated camera serves:
// command messages in and out, media frames out (cut into chunks where the transport carries
// byte streams), talk audio and raw user data in.
#pragma once

#include "NetProtocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace camsim {

enum class ReadResult { Message, Nothing, Closed };

// What arrives on the live channel from the client: talk audio, or a raw 1509 message.
struct Uplink {
    bool isCommand = false;
    uint16_t command = 0;
    uint8_t frameType = 0;
    std::vector<char> data;
};

class DeviceLink {
public:
    virtual ~DeviceLink() = default;
    virtual ReadResult readCommand(DevMsgHeader& header, std::string& body, int timeoutMs) = 0;
    virtual bool sendCommand(uint16_t command, int32_t result, const std::string& body) = 0;
    // One whole frame on a media channel (1 live, 4 records, 5 pictures).
    virtual bool sendFrame(int channel, uint8_t frameType, uint32_t frameId, const char* data, size_t size,
                           uint64_t pts) = 0;
    // The end-of-stream chunk (chunk length 0, total 0).
    virtual bool sendEnd(int channel) = 0;
    virtual ReadResult readUplink(Uplink& out, int timeoutMs) = 0;
    virtual bool alive() = 0;
    virtual void close() = 0;
};

// Largest chunk payload the camera cuts frames into on byte-stream transports.
constexpr size_t kChunkPayload = 16000;

// Byte-stream transports (libTovel, CS2): `read` fills up to *length bytes within timeoutMs and
// returns 0 (all), -3 (time-out, *length the part read) or another negative code (closed);
// `write` returns the bytes written or a negative code.
struct StreamOps {
    std::function<int(int channel, char* buffer, int* length, int timeoutMs)> read;
    std::function<int(int channel, const char* data, int length)> write;
    std::function<void()> close;
};
std::unique_ptr<DeviceLink> makeStreamLink(StreamOps ops);

// Accepts client sessions of one transport for one device id.
class Acceptor {
public:
    virtual ~Acceptor() = default;
    // Waits up to timeoutMs for the next client; null on time-out or after stop().
    virtual std::unique_ptr<DeviceLink> accept(int timeoutMs) = 0;
    virtual void stop() = 0;
};

std::unique_ptr<Acceptor> makeCs2Acceptor(const std::string& uid, std::string& error);
std::unique_ptr<Acceptor> makeTutkAcceptor(const std::string& uid, std::string& error);
// Null when this build has no libTovel.
std::unique_ptr<Acceptor> makeTovelAcceptor(const std::string& uid, const std::string& password,
                                            const std::string& serverString, std::string& error);

} // namespace camsim
