#include "DeviceLink.h"
#include "DeploymentSettings.h"

#include "AVAPIs.h"
#include "IOTCAPIs.h"
#include "PPCS_API.h"
#include "PlatformThread.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace camsim {

namespace {

constexpr uint32_t kMaxBody = 4u * 1024u * 1024u;
constexpr uint32_t kStallMs = 10000;

MediaChunkHeader chunkHeader(uint8_t frameType, uint32_t frameId, size_t total, size_t chunk, uint64_t pts)
{
    MediaChunkHeader h;
    h.frameId = frameId;
    h.totalFrameSize = static_cast<uint32_t>(total);
    h.frameType = frameType;
    h.chunkLength = static_cast<uint16_t>(chunk);
    h.seconds = static_cast<uint32_t>(pts / 1000000u);
    h.microseconds = static_cast<uint32_t>(pts % 1000000u);
    return h;
}

class StreamLink : public DeviceLink {
public:
    explicit StreamLink(StreamOps ops) : m_ops(std::move(ops)) {}
    ~StreamLink() override { close(); }

    ReadResult readCommand(DevMsgHeader& header, std::string& body, int timeoutMs) override
    {
        uint8_t bytes[kDevMsgHeaderSize];
        const ReadResult r = readExact(kChannelCommand, reinterpret_cast<char*>(bytes), sizeof bytes, timeoutMs);
        if (r != ReadResult::Message)
            return r;
        header = DecodeDevMsgHeader(bytes);
        if (header.magic != kDevMagic || header.headerLength != kDevMsgHeaderSize || header.bodyLength() < 0 ||
            header.bodyLength() > kMaxBody) {
            close();
            return ReadResult::Closed;
        }
        body.assign(static_cast<size_t>(header.bodyLength()), '\0');
        if (body.empty())
            return ReadResult::Message;
        return readExact(kChannelCommand, body.data(), body.size(), kStallMs) == ReadResult::Message ? ReadResult::Message
                                                                                                     : closeNow();
    }

    bool sendCommand(uint16_t command, int32_t result, const std::string& body) override
    {
        const auto message = BuildCommandMessage(command, body, 0, result);
        return write(kChannelCommand, message.data(), message.size());
    }

    bool sendFrame(int channel, uint8_t frameType, uint32_t frameId, const char* data, size_t size, uint64_t pts) override
    {
        size_t offset = 0;
        do {
            const size_t chunk = std::min(kChunkPayload, size - offset);
            std::vector<char> message(kMediaChunkHeaderSize + chunk);
            EncodeMediaChunkHeader(chunkHeader(frameType, frameId, size, chunk, pts),
                                   reinterpret_cast<uint8_t*>(message.data()));
            if (chunk > 0)
                std::memcpy(message.data() + kMediaChunkHeaderSize, data + offset, chunk);
            if (!write(channel, message.data(), message.size()))
                return false;
            offset += chunk;
        } while (offset < size);
        return true;
    }

    bool sendEnd(int channel) override
    {
        uint8_t header[kMediaChunkHeaderSize];
        EncodeMediaChunkHeader(chunkHeader(0, 0, 0, 0, 0), header);
        return write(channel, reinterpret_cast<const char*>(header), sizeof header);
    }

    ReadResult readUplink(Uplink& out, int timeoutMs) override
    {
        uint8_t bytes[kDevMsgHeaderSize];
        ReadResult r = readExact(kChannelLive, reinterpret_cast<char*>(bytes), kMediaChunkHeaderSize, timeoutMs);
        if (r != ReadResult::Message)
            return r;
        const MediaChunkHeader chunk = DecodeMediaChunkHeader(bytes);
        if (chunk.magic != kDevMagic)
            return closeNow();
        // A command header has 1 and 76 where a talk chunk has its capture time (always 0).
        const uint32_t word16 = (uint32_t(bytes[16]) << 24) | (uint32_t(bytes[17]) << 16) | (uint32_t(bytes[18]) << 8) | bytes[19];
        const uint32_t word20 = (uint32_t(bytes[20]) << 24) | (uint32_t(bytes[21]) << 16) | (uint32_t(bytes[22]) << 8) | bytes[23];
        if (word16 == 1 && word20 == kDevMsgHeaderSize) {
            r = readExact(kChannelLive, reinterpret_cast<char*>(bytes) + kMediaChunkHeaderSize,
                          kDevMsgHeaderSize - kMediaChunkHeaderSize, kStallMs);
            if (r != ReadResult::Message)
                return closeNow();
            const DevMsgHeader h = DecodeDevMsgHeader(bytes);
            if (h.bodyLength() < 0 || h.bodyLength() > kMaxBody)
                return closeNow();
            out.isCommand = true;
            out.command = h.command;
            out.data.assign(static_cast<size_t>(h.bodyLength()), 0);
        } else {
            out.isCommand = false;
            out.frameType = chunk.frameType;
            out.data.assign(chunk.chunkLength, 0);
        }
        if (out.data.empty())
            return ReadResult::Message;
        return readExact(kChannelLive, out.data.data(), out.data.size(), kStallMs) == ReadResult::Message ? ReadResult::Message
                                                                                                          : closeNow();
    }

    bool alive() override { return !m_closed.load(); }

    void close() override
    {
        if (!m_closed.exchange(true) && m_ops.close)
            m_ops.close();
    }

private:
    ReadResult closeNow()
    {
        close();
        return ReadResult::Closed;
    }

    bool write(int channel, const char* data, size_t size)
    {
        if (m_closed.load())
            return false;
        const int rc = m_ops.write(channel, data, static_cast<int>(size));
        if (rc < 0) {
            close();
            return false;
        }
        return true;
    }

    // Reads exactly size bytes. Nothing at all within timeoutMs gives Nothing; a message that has
    // begun gets kStallMs between pieces.
    ReadResult readExact(int channel, char* out, size_t size, int timeoutMs)
    {
        size_t got = 0;
        uint32_t start = platform::tickMillis();
        while (got < size) {
            if (m_closed.load())
                return ReadResult::Closed;
            int length = static_cast<int>(size - got);
            const int rc = m_ops.read(channel, out + got, &length, 50);
            if (length > 0) {
                got += static_cast<size_t>(length);
                start = platform::tickMillis();
            }
            if (rc == 0 || got == size)
                continue;
            if (rc != -3)
                return closeNow();
            const uint32_t waited = platform::tickMillis() - start;
            if (got == 0 && static_cast<int>(waited) >= timeoutMs)
                return ReadResult::Nothing;
            if (got > 0 && waited >= kStallMs)
                return closeNow();
        }
        return ReadResult::Message;
    }

    StreamOps m_ops;
    std::atomic<bool> m_closed{false};
};

class Cs2Acceptor : public Acceptor {
public:
    explicit Cs2Acceptor(std::string uid) : m_uid(std::move(uid)) {}
    std::unique_ptr<DeviceLink> accept(int timeoutMs) override
    {
        if (m_stopped)
            return nullptr;
        const int h = PPCS_Listen(m_uid.c_str(), static_cast<unsigned>(std::max(1, timeoutMs / 1000)), 0, 1, "");
        if (h < 0)
            return nullptr;
        StreamOps ops;
        ops.read = [h](int channel, char* buffer, int* length, int readTimeoutMs) {
            return PPCS_Read(h, static_cast<unsigned char>(channel), buffer, length, static_cast<unsigned>(readTimeoutMs));
        };
        ops.write = [h](int channel, const char* data, int length) {
            return PPCS_Write(h, static_cast<unsigned char>(channel), data, length);
        };
        ops.close = [h] { PPCS_Close(h); };
        return makeStreamLink(std::move(ops));
    }
    void stop() override
    {
        m_stopped = true;
        PPCS_Listen_Break();
    }

private:
    std::string m_uid;
    std::atomic<bool> m_stopped{false};
};

class TutkLink : public DeviceLink {
public:
    explicit TutkLink(int sid) : m_sid(sid)
    {
        for (int channel : {0, 1, 4, 5})
            m_index[channel] = avServStart3(sid, nullptr, 20, 0, static_cast<unsigned char>(channel), nullptr);
    }
    ~TutkLink() override { close(); }

    ReadResult readCommand(DevMsgHeader& header, std::string& body, int timeoutMs) override
    {
        char packet[1024];
        size_t position = 0;
        bool started = false;
        uint32_t start = platform::tickMillis();
        for (;;) {
            unsigned int type = 0;
            const int rc = avRecvIOCtrl(m_index[0], &type, packet, sizeof packet, 50);
            if (rc == AV_ER_TIMEOUT) {
                const uint32_t waited = platform::tickMillis() - start;
                if (!started && static_cast<int>(waited) >= timeoutMs)
                    return ReadResult::Nothing;
                if (started && waited >= kStallMs)
                    return closeNow();
                continue;
            }
            if (rc < kDevMsgHeaderSize)
                return closeNow();
            const DevMsgHeader h = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(packet));
            if (h.magic != kDevMagic || h.headerLength != kDevMsgHeaderSize || h.bodyLength() < 0 ||
                h.bodyLength() > kMaxBody || type != h.command + static_cast<unsigned>(kTutkIoTypeOffset))
                return closeNow();
            if (!started) {
                header = h;
                body.assign(static_cast<size_t>(h.bodyLength()), '\0');
                started = true;
            }
            const size_t slice = std::min(static_cast<size_t>(rc - kDevMsgHeaderSize), body.size() - position);
            std::memcpy(body.data() + position, packet + kDevMsgHeaderSize, slice);
            position += slice;
            start = platform::tickMillis();
            if (position >= body.size())
                return ReadResult::Message;
        }
    }

    bool sendCommand(uint16_t command, int32_t result, const std::string& body) override
    {
        const auto packets = BuildTutkPackets(command, body, 0, result);
        if (packets.empty())
            return false; // too long for one message
        for (const auto& packet : packets) {
            if (avSendIOCtrl(m_index[0], command + kTutkIoTypeOffset, packet.data(), static_cast<int>(packet.size())) != 0)
                return false;
        }
        return true;
    }

    bool sendFrame(int channel, uint8_t frameType, uint32_t frameId, const char* data, size_t size, uint64_t pts) override
    {
        uint8_t info[kMediaChunkHeaderSize];
        EncodeMediaChunkHeader(chunkHeader(frameType, frameId, size, std::min<size_t>(size, 0xFFFF), pts), info);
        const int index = m_index[channel & 7];
        // Frame types 20-49 are audio on the media channels; on the picture channel 31, 32 and 34
        // are pictures.
        const bool audio = channel != kChannelPicture && frameType >= 20 && frameType <= 49;
        const int rc = audio ? avSendAudioData(index, data, static_cast<int>(size), info, sizeof info)
                           : avSendFrameData(index, data, static_cast<int>(size), info, sizeof info);
        return rc == 0;
    }

    bool sendEnd(int channel) override
    {
        uint8_t info[kMediaChunkHeaderSize];
        EncodeMediaChunkHeader(chunkHeader(0, 0, 0, 0, 0), info);
        return avSendFrameData(m_index[channel & 7], nullptr, 0, info, sizeof info) == 0;
    }

    ReadResult readUplink(Uplink& out, int timeoutMs) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_index[3] < 0) {
                unsigned int serverType = 0;
                m_index[3] = avClientStart2(m_sid, "", "", 5, &serverType, 3, nullptr);
            }
        }
        char buffer[1024];
        char info[1024];
        unsigned int frameIndex = 0;
        const uint32_t start = platform::tickMillis();
        for (;;) {
            const int rc = avRecvAudioData(m_index[3], buffer, sizeof buffer, info, sizeof info, &frameIndex);
            if (rc >= 0) {
                out.isCommand = false;
                out.frameType = DecodeMediaChunkHeader(reinterpret_cast<const uint8_t*>(info)).frameType;
                out.data.assign(buffer, buffer + rc);
                return ReadResult::Message;
            }
            if (rc != AV_ER_DATA_NOREADY)
                return closeNow();
            if (static_cast<int>(platform::tickMillis() - start) >= timeoutMs)
                return ReadResult::Nothing;
        }
    }

    bool alive() override { return !m_closed.load(); }

    void close() override
    {
        if (m_closed.exchange(true))
            return;
        IOTC_Session_Close(m_sid);
    }

private:
    ReadResult closeNow()
    {
        close();
        return ReadResult::Closed;
    }

    int m_sid;
    int m_index[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    std::mutex m_mutex;
    std::atomic<bool> m_closed{false};
};

class TutkAcceptor : public Acceptor {
public:
    std::unique_ptr<DeviceLink> accept(int timeoutMs) override
    {
        if (m_stopped)
            return nullptr;
        const int sid = IOTC_Listen(static_cast<unsigned>(timeoutMs));
        if (sid < 0)
            return nullptr;
        return std::make_unique<TutkLink>(sid);
    }
    void stop() override { m_stopped = true; }

private:
    std::atomic<bool> m_stopped{false};
};

} // namespace

std::unique_ptr<DeviceLink> makeStreamLink(StreamOps ops)
{
    return std::make_unique<StreamLink>(std::move(ops));
}

std::unique_ptr<Acceptor> makeCs2Acceptor(const std::string& uid, std::string& error)
{
    if (deployment::p2pDirectory().empty()) {
        error = "the device directory file is not set (--p2p-directory)";
        return nullptr;
    }
    char init[] = "CAMSIM";
    PPCS_Initialize(init);
    if (uid.find("HOW") == std::string::npos || uid.size() == 20) {
        error = "a CS2 device id contains \"HOW\" and is not 20 characters long";
        return nullptr;
    }
    return std::make_unique<Cs2Acceptor>(uid);
}

std::unique_ptr<Acceptor> makeTutkAcceptor(const std::string& uid, std::string& error)
{
    if (uid.size() != 20) {
        error = "a ThroughTek device id has exactly 20 characters";
        return nullptr;
    }
    IOTC_Initialize2(0);
    avInitialize(40);
    if (IOTC_Device_Login(uid.c_str(), "camsim", "") != IOTC_ER_NoERROR) {
        error = "cannot publish the device id (is the device directory file set?)";
        return nullptr;
    }
    return std::make_unique<TutkAcceptor>();
}

} // namespace camsim
