// How a peer message is delivered (ReliabilityKind), how urgently it is sent (SendPriority) and
// the number of ordering channels per connection. Values cross the wire (kinds 0-4) and the
// peer's public interface as plain integers; ReliabilityLayer normalises out-of-range values.
#pragma once

#include <cstdint>

namespace P2PNet {

// Ordering channels per connection: 0 .. NUMBER_OF_ORDERED_STREAMS - 1.
constexpr uint32_t NUMBER_OF_ORDERED_STREAMS = 32;

enum class ReliabilityKind : int {
    Unreliable = 0,
    UnreliableSequenced = 1,
    Reliable = 2,
    ReliableOrdered = 3,
    ReliableSequenced = 4,
    // Goes out as Unreliable; message 14 when its datagram is acknowledged, 15 when it is not in time.
    UnreliableWithReceipt = 5,
    // Goes out as Reliable; message 14 when acknowledged.
    ReliableWithReceipt = 6,
    // Goes out as ReliableOrdered; message 14 when acknowledged.
    ReliableOrderedWithReceipt = 7,
};

// 0 is the most urgent. Within a busy period a priority gets about five messages out for each
// message of the next lower one.
enum class SendPriority : int {
    Immediate = 0,
    High = 1,
    Medium = 2,
    Low = 3,
};

constexpr uint32_t kSendPriorityCount = 4;

// A kind outside 0-7 is taken as Reliable.
constexpr ReliabilityKind NormalizeReliabilityKind(ReliabilityKind kind)
{
    const int value = static_cast<int>(kind);
    return (value < 0 || value > 7) ? ReliabilityKind::Reliable : kind;
}

// A priority outside 0-3 is taken as High (1).
constexpr SendPriority NormalizeSendPriority(SendPriority priority)
{
    const int value = static_cast<int>(priority);
    return (value < 0 || value > 3) ? SendPriority::High : priority;
}

// The kind written on the wire: 5, 6 and 7 go out as 0, 2 and 3.
constexpr ReliabilityKind WireReliabilityKind(ReliabilityKind kind)
{
    switch (kind) {
    case ReliabilityKind::UnreliableWithReceipt: return ReliabilityKind::Unreliable;
    case ReliabilityKind::ReliableWithReceipt: return ReliabilityKind::Reliable;
    case ReliabilityKind::ReliableOrderedWithReceipt: return ReliabilityKind::ReliableOrdered;
    default: return kind;
    }
}

// Kinds that carry a reliable message number and are resent until acknowledged.
constexpr bool IsReliableKind(ReliabilityKind kind)
{
    switch (kind) {
    case ReliabilityKind::Reliable:
    case ReliabilityKind::ReliableOrdered:
    case ReliabilityKind::ReliableSequenced:
    case ReliabilityKind::ReliableWithReceipt:
    case ReliabilityKind::ReliableOrderedWithReceipt: return true;
    default: return false;
    }
}

// Kinds that carry a sequencing index (and an ordering index) on the wire.
constexpr bool IsSequencedKind(ReliabilityKind kind)
{
    return kind == ReliabilityKind::UnreliableSequenced || kind == ReliabilityKind::ReliableSequenced;
}

// Kinds that carry an ordering index and channel on the wire.
constexpr bool IsOrderedOrSequencedKind(ReliabilityKind kind)
{
    return IsSequencedKind(kind) || kind == ReliabilityKind::ReliableOrdered ||
           kind == ReliabilityKind::ReliableOrderedWithReceipt;
}

} // namespace P2PNet
