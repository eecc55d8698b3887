// One message inside a ReliabilityLayer: the header fields that travel with it on the wire, the
// send-side bookkeeping (times, resend list links) and its data. Plug-ins see these records in
// PeerPlugin::OnMessageTrace; only the layer creates, changes and frees them.
#pragma once

#include "ReliabilityKind.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace P2PNet {

// 24-bit numbers (reliable message numbers, ordering and sequencing indexes, datagram numbers)
// wrap at 2^24.
constexpr uint32_t kSequenceNumberMask = 0xFFFFFF;
// Reliable message number of a message that has none.
constexpr uint32_t kNoMessageNumber = 0xFFFFFF;

// The whole data of a message that was split, shared by its fragments on the send side. Also
// counts the fragments still waiting for an acknowledgement, so that the receipt of a split
// message is produced only when every fragment has been acknowledged.
struct SplitSendBlock {
    // The message's bytes: the caller's buffer when it was handed over (Send with ownedData),
    // otherwise a copy.
    std::vector<uint8_t> data;
    uint32_t byteLength = 0;
    uint32_t fragmentsUnacknowledged = 0;
};

// Where an InternalPacket's data lives.
enum class DataStorage : uint8_t {
    // A buffer of the packet's own (heapBlock).
    Heap = 0,
    // A slice of the SplitSendBlock shared by the fragments of one split message.
    SharedBlock = 1,
    // The packet's 128-byte inline store.
    Inline = 2,
};

struct InternalPacket {
    static constexpr uint32_t kInlineBytes = 128;

    // Header fields (see the message format in ReliabilityLayer.cpp).
    uint32_t reliableMessageNumber = kNoMessageNumber;
    uint32_t orderingIndex = 0;
    uint32_t sequencingIndex = 0;
    uint8_t orderingChannel = 0;
    uint16_t splitPacketId = 0;
    uint32_t splitPacketIndex = 0;
    // 0 for a whole message.
    uint32_t splitPacketCount = 0;
    uint32_t dataBitLength = 0;
    ReliabilityKind reliability = ReliabilityKind::Unreliable;

    // Send side only.
    uint32_t sendOrder = 0;
    uint64_t creationTimeUs = 0;
    uint64_t nextActionTimeUs = 0;
    uint64_t retransmissionTimeoutUs = 0;
    // Filled when the message is packed into a datagram.
    uint32_t headerBitLength = 0;

    uint8_t* data = nullptr;
    DataStorage storage = DataStorage::Inline;
    std::vector<uint8_t> heapBlock;
    std::shared_ptr<SplitSendBlock> sharedBlock;

    uint8_t timesSent = 0;
    SendPriority priority = SendPriority::High;
    uint32_t receiptNumber = 0;
    // Set when the unreliable time-out took the data of a queued unreliable message.
    bool dataDropped = false;

    // Links of the resend list and of the unreliable list (circular, owned by the layer).
    InternalPacket* resendPrev = nullptr;
    InternalPacket* resendNext = nullptr;
    InternalPacket* unreliablePrev = nullptr;
    InternalPacket* unreliableNext = nullptr;

    uint8_t inlineStore[kInlineBytes];

    uint32_t ByteLength() const { return (dataBitLength + 7) / 8; }
    bool IsSplit() const { return splitPacketCount != 0; }
};

} // namespace P2PNet
