// A list of 24-bit datagram numbers kept as sorted, non-touching ranges: the acknowledgements
// and negative acknowledgements a connection still has to send, and the wire form in which they
// travel: a u16 count, then per range one byte (1 = a single number, 0 = a true range), the
// lowest number (u24) and, for a true range only, the highest number (u24).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace P2PNet {

class BitStream;

class DatagramRangeList {
public:
    struct Range {
        uint32_t low = 0;
        uint32_t high = 0;
        bool IsSingle() const { return low == high; }
    };

    // Adds a number. A number already held changes nothing; one next to a range widens it (two
    // ranges that then touch become one); any other becomes a single-number range in place.
    // Order is plain numeric order of the 24-bit values.
    void Insert(uint32_t number);

    // Adds every number from low to high (low <= high), merging with the ranges it overlaps or
    // touches.
    void InsertRange(uint32_t low, uint32_t high);

    bool IsEmpty() const { return m_ranges.empty(); }
    std::size_t RangeCount() const { return m_ranges.size(); }
    const std::vector<Range>& Ranges() const { return m_ranges; }
    void Clear() { m_ranges.clear(); }

    // Writes as many ranges from the front as the bit budget allows (counted as 81 bits plus 40
    // per range already taken plus 32 per true range already taken, all within maxBits), at least
    // one, and removes them from the list. Returns the number written.
    std::size_t SerializeAndRemoveFront(BitStream& stream, uint32_t maxBits);

    // Reads a range list. False when it runs past the end of the stream. Ranges are returned as
    // read; the caller checks their order.
    static bool Deserialize(BitStream& stream, std::vector<Range>& ranges);

private:
    std::vector<Range> m_ranges;
};

} // namespace P2PNet
