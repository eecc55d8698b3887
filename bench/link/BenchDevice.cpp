#include "BenchDevice.h"

#include "AVAPIs.h"
#include "IOTCAPIs.h"
#include "NetProtocol.h"
#include "PPCS_API.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace benchlink {

namespace {

constexpr int kTimedOut = -3;

MediaChunkHeader chunkHeader(uint32_t frameId, size_t chunk)
{
    MediaChunkHeader h;
    h.frameId = frameId;
    h.totalFrameSize = kFrameSize;
    h.frameType = frameId % 25 == 0 ? 5 : 1;
    h.chunkLength = static_cast<uint16_t>(chunk);
    h.seconds = 1700000000u + frameId / 25;
    h.microseconds = (frameId % 25) * 40000u;
    return h;
}

} // namespace

BenchDevice::BenchDevice(Transport transport, std::string uid) : m_transport(transport), m_uid(std::move(uid))
{
    if (transport == Transport::Cs2) {
        const std::string id = m_uid;
        m_ops.accept = [id] { return PPCS_Listen(id.c_str(), 1, 0, 1, ""); };
        m_ops.read = [](int h, int channel, char* buffer, int* length) {
            return PPCS_Read(h, static_cast<unsigned char>(channel), buffer, length, 100);
        };
        m_ops.write = [](int h, int channel, const char* data, int length) {
            return PPCS_Write(h, static_cast<unsigned char>(channel), data, length);
        };
        m_ops.close = [](int h) { PPCS_Close(h); };
        m_ops.wake = [] { PPCS_Listen_Break(); };
    }
    m_frame.resize(kFrameSize);
    for (size_t i = 0; i < m_frame.size(); ++i)
        m_frame[i] = static_cast<char>(i * 131 + 7);
}

BenchDevice::BenchDevice(Transport transport, std::string uid, StreamDeviceOps ops)
    : m_transport(transport), m_uid(std::move(uid)), m_ops(std::move(ops))
{
    m_frame.resize(kFrameSize);
    for (size_t i = 0; i < m_frame.size(); ++i)
        m_frame[i] = static_cast<char>(i * 131 + 7);
}

BenchDevice::~BenchDevice()
{
    stop();
}

std::vector<char> BenchDevice::chunkedFrame(uint32_t frameId, const std::vector<char>& frame)
{
    std::vector<char> out;
    for (size_t offset = 0; offset < frame.size(); offset += kChunkPayload) {
        const size_t chunk = std::min<size_t>(kChunkPayload, frame.size() - offset);
        const size_t at = out.size();
        out.resize(at + kMediaChunkHeaderSize + chunk);
        EncodeMediaChunkHeader(chunkHeader(frameId, chunk), reinterpret_cast<uint8_t*>(out.data() + at));
        std::memcpy(out.data() + at + kMediaChunkHeaderSize, frame.data() + offset, chunk);
    }
    return out;
}

std::vector<char> BenchDevice::frameInfo(uint32_t frameId)
{
    std::vector<char> info(kMediaChunkHeaderSize);
    EncodeMediaChunkHeader(chunkHeader(frameId, std::min(kFrameSize, 0xFFFF)), reinterpret_cast<uint8_t*>(info.data()));
    return info;
}

bool BenchDevice::start()
{
    if (m_transport == Transport::Tutk && IOTC_Device_Login(m_uid.c_str(), "bench", "") != IOTC_ER_NoERROR)
        return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void BenchDevice::stop()
{
    m_stop = true;
    if (m_ops.wake)
        m_ops.wake();
    if (m_thread.joinable())
        m_thread.join();
}

void BenchDevice::run()
{
    while (!m_stop) {
        if (m_transport != Transport::Tutk) {
            const int h = m_ops.accept();
            if (h >= 0) {
                serveStream(h);
                m_ops.close(h);
            }
        } else {
            const int sid = IOTC_Listen(200);
            if (sid >= 0) {
                serveTutk(sid);
                IOTC_Session_Close(sid);
            }
        }
    }
}

void BenchDevice::serveStream(int h)
{
    // Reads exactly `size` bytes; false when the session ends or the device stops.
    auto readExact = [&](char* out, int size) {
        int got = 0;
        while (got < size && !m_stop) {
            int n = size - got;
            const int rc = m_ops.read(h, 0, out + got, &n);
            got += std::max(n, 0);
            if (rc != 0 && rc != kTimedOut)
                return false;
        }
        return got == size;
    };
    while (!m_stop) {
        uint8_t bytes[kDevMsgHeaderSize];
        if (!readExact(reinterpret_cast<char*>(bytes), kDevMsgHeaderSize))
            return;
        const DevMsgHeader header = DecodeDevMsgHeader(bytes);
        if (header.magic != kDevMagic || header.headerLength != kDevMsgHeaderSize || header.bodyLength() < 0 ||
            header.bodyLength() > 65536)
            return;
        std::string body(static_cast<size_t>(header.bodyLength()), '\0');
        if (!body.empty() && !readExact(body.data(), static_cast<int>(body.size())))
            return;
        const auto reply = BuildCommandMessage(static_cast<uint16_t>(header.command + 1), body);
        if (m_ops.write(h, 0, reply.data(), static_cast<int>(reply.size())) < 0)
            return;
        if (header.command == kStartLinkStream)
            streamChunks(h, kChannelLive, std::atoi(body.c_str()));
        else if (header.command == kStartRawStream)
            streamChunks(h, kRawChannel, std::atoi(body.c_str()));
    }
}

void BenchDevice::streamChunks(int h, int channel, int frames)
{
    // Keeps a few frames in flight at most where the transport tells its queue, as a camera's
    // encoder cannot run ahead of its link for ever.
    constexpr uint32_t kMaxPending = 4u * kFrameSize;
    // Written chunk by chunk, as a camera does, whichever end reads them.
    for (int i = 0; i < frames && !m_stop; ++i) {
        const std::vector<char> bytes = chunkedFrame(static_cast<uint32_t>(i), m_frame);
        for (size_t at = 0; at < bytes.size();) {
            const size_t chunk = kMediaChunkHeaderSize + std::min<size_t>(kChunkPayload, bytes.size() - at - kMediaChunkHeaderSize);
            while (m_ops.pending && m_ops.pending(h, channel) > kMaxPending && !m_stop)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (m_ops.write(h, channel, bytes.data() + at, static_cast<int>(chunk)) < 0)
                return;
            at += chunk;
        }
    }
}

void BenchDevice::serveTutk(int sid)
{
    const int io = avServStart3(sid, nullptr, 20, 0, 0, nullptr);
    const int live = avServStart3(sid, nullptr, 20, 0, kChannelLive, nullptr);
    const int raw = avServStart3(sid, nullptr, 20, 0, kRawChannel, nullptr);
    if (io < 0 || live < 0 || raw < 0)
        return;
    char packet[1024];
    while (!m_stop) {
        unsigned int type = 0;
        const int rc = avRecvIOCtrl(io, &type, packet, sizeof packet, 50);
        if (rc == AV_ER_TIMEOUT)
            continue;
        if (rc < kDevMsgHeaderSize)
            return;
        const DevMsgHeader header = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(packet));
        if (header.magic != kDevMagic || header.bodyLength() < 0 || header.bodyLength() > kTutkPacketBody)
            return;
        const std::string body(packet + kDevMsgHeaderSize, packet + rc);
        const uint16_t replyCode = static_cast<uint16_t>(header.command + 1);
        for (const auto& reply : BuildTutkPackets(replyCode, body)) {
            if (avSendIOCtrl(io, replyCode + kTutkIoTypeOffset, reply.data(), static_cast<int>(reply.size())) != 0)
                return;
        }
        if (header.command == kStartLinkStream)
            streamTutk(live, std::atoi(body.c_str()));
        else if (header.command == kStartRawStream)
            streamTutk(raw, std::atoi(body.c_str()));
    }
}

void BenchDevice::streamTutk(int avIndex, int frames)
{
    for (int i = 0; i < frames && !m_stop; ++i) {
        const std::vector<char> info = frameInfo(static_cast<uint32_t>(i));
        if (avSendFrameData(avIndex, m_frame.data(), kFrameSize, info.data(), static_cast<int>(info.size())) != 0)
            return;
    }
}

} // namespace benchlink
