// Framing of everything exchanged with a device on a link: command messages (a 76-byte
// `DevMsgHeader` then a body, usually JSON text) and media chunks (a 24-byte `MediaChunkHeader`
// then a slice of one frame). Every multi-byte field is big-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kDevMagic = 0xCCBBAA55u;
constexpr int kDevMsgHeaderSize = 76;
constexpr int kMediaChunkHeaderSize = 24;
// Body bytes in one ThroughTek IO-control packet; a packet is a header copy plus its slice.
constexpr int kTutkPacketBody = 924;
constexpr std::size_t kTutkMaxPackets = 255; // the packet count is one byte
constexpr int kTutkIoTypeOffset = 511;

// Channels of a CS2 or libTovel session (on ThroughTek the same numbers select AV channels).
constexpr int kChannelCommand = 0;
constexpr int kChannelLive = 1;
constexpr int kChannelTalkAv = 3;
constexpr int kChannelRecord = 4;
constexpr int kChannelPicture = 5;

struct DevMsgHeader {
    uint32_t magic = kDevMagic;
    uint16_t command = 0;
    uint8_t packetCount = 1;
    uint8_t packetIndex = 0;
    int32_t linkHandle = 0;
    int32_t result = 0;
    uint32_t one = 1;
    uint32_t headerLength = kDevMsgHeaderSize;
    uint32_t totalLength = kDevMsgHeaderSize;
    uint32_t zero = 0;
    uint32_t one2 = 1;
    uint8_t reserved[40] = {};

    // Body length as the header states it; negative when the lengths contradict each other.
    int64_t bodyLength() const { return int64_t(totalLength) - int64_t(headerLength); }
};

struct MediaChunkHeader {
    uint32_t magic = kDevMagic;
    uint32_t frameId = 0;
    uint32_t totalFrameSize = 0;
    uint8_t frameType = 0;
    uint8_t reserved = 0;
    uint16_t chunkLength = 0;
    uint32_t seconds = 0;
    uint32_t microseconds = 0;

    bool isAudio() const { return frameType >= 20 && frameType <= 49; }
    uint64_t pts() const { return uint64_t(seconds) * 1000000u + microseconds; }
};

// Writes the header in wire order into out[0..75].
void EncodeDevMsgHeader(const DevMsgHeader& header, uint8_t* out);
// Reads a header from in[0..75] (wire order).
DevMsgHeader DecodeDevMsgHeader(const uint8_t* in);
void EncodeMediaChunkHeader(const MediaChunkHeader& header, uint8_t* out);
MediaChunkHeader DecodeMediaChunkHeader(const uint8_t* in);

// One whole command message: header (with the given command, handle and result) and body.
std::vector<char> BuildCommandMessage(uint16_t command, const std::string& body, int32_t linkHandle = 0, int32_t result = 0);
// ThroughTek packets of one command message: each a header copy (its index set) and at most 924
// body bytes; an empty body still makes one packet. A body that needs more than kTutkMaxPackets
// packets gives none: the caller refuses it.
std::vector<std::vector<char>> BuildTutkPackets(uint16_t command, const std::string& body, int32_t linkHandle = 0, int32_t result = 0);
