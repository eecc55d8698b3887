#include "DatagramRangeList.h"

#include "BitStream.h"

#include <algorithm>

namespace P2PNet {

void DatagramRangeList::Insert(uint32_t number)
{
    // First range whose lowest number is above `number`.
    auto next = std::upper_bound(m_ranges.begin(), m_ranges.end(), number,
                                 [](uint32_t n, const Range& r) { return n < r.low; });
    if (next != m_ranges.begin()) {
        auto previous = next - 1;
        if (number <= previous->high)
            return;
        if (number == previous->high + 1) {
            previous->high = number;
            if (next != m_ranges.end() && next->low == number + 1) {
                previous->high = next->high;
                m_ranges.erase(next);
            }
            return;
        }
    }
    if (next != m_ranges.end() && number + 1 == next->low) {
        next->low = number;
        return;
    }
    m_ranges.insert(next, Range{number, number});
}

void DatagramRangeList::InsertRange(uint32_t low, uint32_t high)
{
    if (high < low)
        return;
    if (low == high) {
        Insert(low);
        return;
    }
    // First range that ends at or after low - 1 (it may touch or overlap the new one).
    auto first = std::lower_bound(m_ranges.begin(), m_ranges.end(), low, [](const Range& r, uint32_t n) {
        return static_cast<uint64_t>(r.high) + 1 < n;
    });
    auto last = first;
    while (last != m_ranges.end() && static_cast<uint64_t>(last->low) <= static_cast<uint64_t>(high) + 1) {
        low = std::min(low, last->low);
        high = std::max(high, last->high);
        ++last;
    }
    if (first == last) {
        m_ranges.insert(first, Range{low, high});
        return;
    }
    first->low = low;
    first->high = high;
    m_ranges.erase(first + 1, last);
}

std::size_t DatagramRangeList::SerializeAndRemoveFront(BitStream& stream, uint32_t maxBits)
{
    std::size_t taken = 0;
    std::size_t trueRanges = 0;
    while (taken < m_ranges.size() && taken < 0xFFFF) {
        const uint64_t needed = 81 + 40 * static_cast<uint64_t>(taken) + 32 * static_cast<uint64_t>(trueRanges);
        if (taken > 0 && needed > maxBits)
            break;
        if (!m_ranges[taken].IsSingle())
            ++trueRanges;
        ++taken;
    }
    stream.WriteU16(static_cast<uint16_t>(taken));
    for (std::size_t i = 0; i < taken; ++i) {
        const Range& r = m_ranges[i];
        stream.WriteU8(r.IsSingle() ? 1 : 0);
        stream.WriteU24(r.low);
        if (!r.IsSingle())
            stream.WriteU24(r.high);
    }
    m_ranges.erase(m_ranges.begin(), m_ranges.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
}

bool DatagramRangeList::Deserialize(BitStream& stream, std::vector<Range>& ranges)
{
    ranges.clear();
    uint16_t count = 0;
    if (!stream.ReadU16(count))
        return false;
    // Each range takes at least 4 bytes; never reserve more than the stream can hold.
    ranges.reserve(std::min<std::size_t>(count, stream.GetNumberOfUnreadBits() / 32));
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t single = 0;
        Range r;
        if (!stream.ReadU8(single) || !stream.ReadU24(r.low))
            return false;
        if (single != 0) {
            r.high = r.low;
        } else if (!stream.ReadU24(r.high)) {
            return false;
        }
        ranges.push_back(r);
    }
    return true;
}

} // namespace P2PNet
