#include "NetProtocol.h"

#include <algorithm>
#include <cstring>

namespace {

void put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint32_t get32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

} // namespace

void EncodeDevMsgHeader(const DevMsgHeader& h, uint8_t* out)
{
    put32(out, h.magic);
    put16(out + 4, h.command);
    out[6] = h.packetCount;
    out[7] = h.packetIndex;
    put32(out + 8, static_cast<uint32_t>(h.linkHandle));
    put32(out + 12, static_cast<uint32_t>(h.result));
    put32(out + 16, h.one);
    put32(out + 20, h.headerLength);
    put32(out + 24, h.totalLength);
    put32(out + 28, h.zero);
    put32(out + 32, h.one2);
    std::memcpy(out + 36, h.reserved, sizeof h.reserved);
}

DevMsgHeader DecodeDevMsgHeader(const uint8_t* in)
{
    DevMsgHeader h;
    h.magic = get32(in);
    h.command = get16(in + 4);
    h.packetCount = in[6];
    h.packetIndex = in[7];
    h.linkHandle = static_cast<int32_t>(get32(in + 8));
    h.result = static_cast<int32_t>(get32(in + 12));
    h.one = get32(in + 16);
    h.headerLength = get32(in + 20);
    h.totalLength = get32(in + 24);
    h.zero = get32(in + 28);
    h.one2 = get32(in + 32);
    std::memcpy(h.reserved, in + 36, sizeof h.reserved);
    return h;
}

void EncodeMediaChunkHeader(const MediaChunkHeader& h, uint8_t* out)
{
    put32(out, h.magic);
    put32(out + 4, h.frameId);
    put32(out + 8, h.totalFrameSize);
    out[12] = h.frameType;
    out[13] = h.reserved;
    put16(out + 14, h.chunkLength);
    put32(out + 16, h.seconds);
    put32(out + 20, h.microseconds);
}

MediaChunkHeader DecodeMediaChunkHeader(const uint8_t* in)
{
    MediaChunkHeader h;
    h.magic = get32(in);
    h.frameId = get32(in + 4);
    h.totalFrameSize = get32(in + 8);
    h.frameType = in[12];
    h.reserved = in[13];
    h.chunkLength = get16(in + 14);
    h.seconds = get32(in + 16);
    h.microseconds = get32(in + 20);
    return h;
}

std::vector<char> BuildCommandMessage(uint16_t command, const std::string& body, int32_t linkHandle, int32_t result)
{
    DevMsgHeader h;
    h.command = command;
    h.linkHandle = linkHandle;
    h.result = result;
    h.totalLength = static_cast<uint32_t>(kDevMsgHeaderSize + body.size());
    std::vector<char> message(kDevMsgHeaderSize + body.size());
    EncodeDevMsgHeader(h, reinterpret_cast<uint8_t*>(message.data()));
    std::memcpy(message.data() + kDevMsgHeaderSize, body.data(), body.size());
    return message;
}

std::vector<std::vector<char>> BuildTutkPackets(uint16_t command, const std::string& body, int32_t linkHandle, int32_t result)
{
    DevMsgHeader h;
    h.command = command;
    h.linkHandle = linkHandle;
    h.result = result;
    h.totalLength = static_cast<uint32_t>(kDevMsgHeaderSize + body.size());
    const std::size_t count = body.empty() ? 1 : (body.size() + kTutkPacketBody - 1) / kTutkPacketBody;
    // The count and the index travel in one byte each: a body that needs more packets than that
    // cannot be sent whole, so it is not sent at all (no packets).
    if (count > kTutkMaxPackets)
        return {};
    h.packetCount = static_cast<uint8_t>(count);
    std::vector<std::vector<char>> packets;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = i * kTutkPacketBody;
        const std::size_t slice = body.empty() ? 0 : std::min<std::size_t>(kTutkPacketBody, body.size() - offset);
        h.packetIndex = static_cast<uint8_t>(i);
        std::vector<char> packet(kDevMsgHeaderSize + slice);
        EncodeDevMsgHeader(h, reinterpret_cast<uint8_t*>(packet.data()));
        if (slice > 0)
            std::memcpy(packet.data() + kDevMsgHeaderSize, body.data() + offset, slice);
        packets.push_back(std::move(packet));
    }
    return packets;
}
