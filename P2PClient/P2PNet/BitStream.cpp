#include "BitStream.h"

#include "PeerUtils.h"

#include <bit>
#include <cstring>
#include <utility>
#include <vector>

namespace P2PNet {

namespace {

uint32_t bytesFor(uint32_t bits) { return static_cast<uint32_t>((static_cast<uint64_t>(bits) + 7) / 8); }

} // namespace

BitStream::BitStream() = default;

BitStream::BitStream(uint32_t initialBytes)
{
    if (initialBytes <= kInlineBytes || initialBytes > kMaxBits / 8)
        return;
    // Exactly the size asked for; later growth follows Reserve's rule.
    if (auto* heap = static_cast<uint8_t*>(PeerAllocate(initialBytes, __FILE__, __LINE__))) {
        m_data = heap;
        m_capacity = initialBytes * 8;
    } else {
        PeerOutOfMemory(__FILE__, __LINE__);
    }
}

BitStream::BitStream(const uint8_t* data, uint32_t length, bool copy)
{
    if (length > kMaxBits / 8)
        length = kMaxBits / 8;
    if (data == nullptr)
        length = 0;
    if (!copy) {
        m_data = const_cast<uint8_t*>(data ? data : m_inline);
        m_ownsData = false;
        m_capacity = length * 8;
        m_writePosition = length * 8;
        return;
    }
    if (length > 0 && Reserve(length * 8)) {
        std::memcpy(m_data, data, length);
        m_writePosition = length * 8;
    }
}

BitStream::BitStream(const BitStream& other) { CopyFrom(other); }

BitStream& BitStream::operator=(const BitStream& other)
{
    if (this != &other) {
        Reset();
        CopyFrom(other);
    }
    return *this;
}

BitStream::BitStream(BitStream&& other) noexcept { MoveFrom(other); }

BitStream& BitStream::operator=(BitStream&& other) noexcept
{
    if (this != &other) {
        FreeBuffer();
        MoveFrom(other);
    }
    return *this;
}

BitStream::~BitStream() { FreeBuffer(); }

void BitStream::FreeBuffer()
{
    if (m_ownsData && m_data != m_inline)
        PeerFree(m_data, __FILE__, __LINE__);
    m_data = m_inline;
    m_capacity = kInlineBits;
    m_ownsData = true;
    m_writePosition = 0;
    m_readPosition = 0;
}

void BitStream::CopyFrom(const BitStream& other)
{
    // `this` is empty and owns its buffer here.
    const uint32_t bytes = other.GetNumberOfBytesUsed();
    if (bytes > 0 && Reserve(other.m_writePosition)) {
        std::memcpy(m_data, other.m_data, bytes);
        m_writePosition = other.m_writePosition;
        m_readPosition = other.m_readPosition;
    }
}

void BitStream::MoveFrom(BitStream& other) noexcept
{
    m_writePosition = other.m_writePosition;
    m_readPosition = other.m_readPosition;
    m_capacity = other.m_capacity;
    m_ownsData = other.m_ownsData;
    if (other.m_data == other.m_inline) {
        std::memcpy(m_inline, other.m_inline, bytesFor(other.m_writePosition));
        m_data = m_inline;
    } else {
        m_data = other.m_data;
    }
    other.m_data = other.m_inline;
    other.m_capacity = kInlineBits;
    other.m_ownsData = true;
    other.m_writePosition = 0;
    other.m_readPosition = 0;
}

uint8_t* BitStream::GetWritableData()
{
    MakePrivate();
    return m_data;
}

bool BitStream::MakePrivate()
{
    if (m_ownsData)
        return true;
    const uint8_t* borrowed = m_data;
    const uint32_t bits = m_writePosition;
    const uint32_t bytes = bytesFor(bits);
    m_data = m_inline;
    m_capacity = kInlineBits;
    m_ownsData = true;
    m_writePosition = 0;
    if (bytes > kInlineBytes) {
        auto* heap = static_cast<uint8_t*>(PeerAllocate(bytes, __FILE__, __LINE__));
        if (heap == nullptr) {
            PeerOutOfMemory(__FILE__, __LINE__);
            // Keep reading the borrowed bytes; the write is dropped.
            m_data = const_cast<uint8_t*>(borrowed);
            m_capacity = bits;
            m_ownsData = false;
            m_writePosition = bits;
            return false;
        }
        m_data = heap;
        m_capacity = bytes * 8;
    }
    if (bytes > 0)
        std::memcpy(m_data, borrowed, bytes);
    m_writePosition = bits;
    return true;
}

bool BitStream::Reserve(uint32_t bits)
{
    if (!MakePrivate())
        return false;
    const uint64_t needed = static_cast<uint64_t>(m_writePosition) + bits;
    if (needed == 0)
        return true;
    if (needed > kMaxBits) {
        PeerOutOfMemory(__FILE__, __LINE__);
        return false;
    }
    if (m_capacity > 0 && (needed - 1) / 8 <= (m_capacity - 1) / 8)
        return true;

    // Double while that adds at most kGrowthStepBits, then grow by kGrowthStepBits at a time.
    uint64_t newCapacity = needed <= kGrowthStepBits ? needed * 2 : needed + kGrowthStepBits;
    if (newCapacity > kMaxBits)
        newCapacity = kMaxBits;
    const std::size_t newBytes = static_cast<std::size_t>((newCapacity + 7) / 8);
    if (m_data == m_inline) {
        if (newBytes > kInlineBytes) {
            auto* heap = static_cast<uint8_t*>(PeerAllocate(newBytes, __FILE__, __LINE__));
            if (heap == nullptr) {
                PeerOutOfMemory(__FILE__, __LINE__);
                return false;
            }
            std::memcpy(heap, m_inline, bytesFor(m_writePosition));
            m_data = heap;
        }
    } else {
        auto* grown = static_cast<uint8_t*>(PeerReallocate(m_data, newBytes, __FILE__, __LINE__));
        if (grown == nullptr) {
            PeerOutOfMemory(__FILE__, __LINE__);
            return false;
        }
        m_data = grown;
    }
    m_capacity = static_cast<uint32_t>(newCapacity < needed ? needed : newCapacity);
    return true;
}

void BitStream::Reset()
{
    if (!m_ownsData) {
        m_data = m_inline;
        m_capacity = kInlineBits;
        m_ownsData = true;
    }
    m_writePosition = 0;
    m_readPosition = 0;
}

void BitStream::SetReadPosition(uint32_t bits) { m_readPosition = bits > m_writePosition ? m_writePosition : bits; }

void BitStream::SetWritePosition(uint32_t bits)
{
    if (bits > m_writePosition) {
        const uint32_t extra = bits - m_writePosition;
        if (!Reserve(extra))
            return;
        // Zero bits; the invariant keeps the rest of the current byte clear already.
        const uint32_t aligned = (m_writePosition + 7) & ~7u;
        if (aligned < bits)
            std::memset(m_data + aligned / 8, 0, bytesFor(bits) - aligned / 8);
        m_writePosition = bits;
        return;
    }
    if (m_ownsData && (bits & 7) != 0)
        m_data[bits / 8] &= static_cast<uint8_t>(0xFF00u >> (bits & 7));
    m_writePosition = bits;
    if (m_readPosition > m_writePosition)
        m_readPosition = m_writePosition;
}

bool BitStream::IgnoreBits(uint32_t bits)
{
    if (bits > GetNumberOfUnreadBits())
        return false;
    m_readPosition += bits;
    return true;
}

// ---- Writes ---------------------------------------------------------------------------------

void BitStream::WriteBits(const uint8_t* data, uint32_t bits, bool rightAligned)
{
    if (bits == 0 || data == nullptr)
        return;
    // Source bytes inside our own buffer would move or be overwritten by the write itself.
    const auto first = reinterpret_cast<uintptr_t>(m_data);
    const auto last = first + bytesFor(m_capacity);
    if (reinterpret_cast<uintptr_t>(data) >= first && reinterpret_cast<uintptr_t>(data) < last) {
        const std::vector<uint8_t> copy(data, data + bytesFor(bits));
        WriteBits(copy.data(), bits, rightAligned);
        return;
    }
    if (!Reserve(bits))
        return;
    const uint32_t offset = m_writePosition & 7;
    if (offset == 0 && (bits & 7) == 0) {
        std::memcpy(m_data + m_writePosition / 8, data, bits / 8);
        m_writePosition += bits;
        return;
    }
    const uint8_t* in = data;
    while (bits > 0) {
        const uint32_t take = bits >= 8 ? 8 : bits;
        uint8_t byte = *in++;
        if (take < 8) {
            // A final fragment: move its bits to the high end and drop the rest.
            if (rightAligned)
                byte = static_cast<uint8_t>(byte << (8 - take));
            byte &= static_cast<uint8_t>(0xFF00u >> take);
        }
        uint8_t* out = m_data + m_writePosition / 8;
        if (offset == 0) {
            *out = byte;
        } else {
            *out |= static_cast<uint8_t>(byte >> offset);
            // Assign (not or) the byte the bits spill into, keeping the zero-tail invariant.
            if (take > 8 - offset)
                out[1] = static_cast<uint8_t>(byte << (8 - offset));
        }
        m_writePosition += take;
        bits -= take;
    }
}

void BitStream::WriteBit(bool bit)
{
    if (!Reserve(1))
        return;
    uint8_t* out = m_data + m_writePosition / 8;
    const uint32_t offset = m_writePosition & 7;
    if (offset == 0)
        *out = 0;
    if (bit)
        *out |= static_cast<uint8_t>(0x80u >> offset);
    ++m_writePosition;
}

void BitStream::WriteU8(uint8_t value) { WriteBits(&value, 8); }

void BitStream::WriteU16(uint16_t value)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    WriteBits(bytes, 16);
}

void BitStream::WriteU32(uint32_t value)
{
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    WriteBits(bytes, 32);
}

void BitStream::WriteU64(uint64_t value)
{
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
    WriteBits(bytes, 64);
}

void BitStream::WriteFloat(float value) { WriteU32(std::bit_cast<uint32_t>(value)); }

// At a byte boundary the general writer is already a plain byte copy, and at any other position
// it keeps the stream consistent instead of overwriting the partial byte.
void BitStream::WriteU16Aligned(uint16_t value) { WriteU16(value); }

void BitStream::WriteU32Aligned(uint32_t value) { WriteU32(value); }

void BitStream::WriteU24(uint32_t value)
{
    AlignWrite();
    const uint8_t bytes[3] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16)};
    WriteBits(bytes, 24);
}

void BitStream::WriteBytes(const void* data, uint32_t length)
{
    if (length > kMaxBits / 8)
        return;
    WriteBits(static_cast<const uint8_t*>(data), length * 8);
}

void BitStream::WriteBytesAligned(const void* data, uint32_t length)
{
    AlignWrite();
    WriteBytes(data, length);
}

bool BitStream::WriteBitsFrom(BitStream& source, uint32_t bits)
{
    const uint32_t available = source.GetNumberOfUnreadBits();
    const uint32_t count = bits < available ? bits : available;
    if (count > 0 && !Reserve(count))
        return false;
    uint32_t done = 0;
    if ((m_writePosition & 7) == 0 && (source.m_readPosition & 7) == 0) {
        const uint32_t bytes = count / 8;
        std::memcpy(m_data + m_writePosition / 8, source.m_data + source.m_readPosition / 8, bytes);
        m_writePosition += bytes * 8;
        source.m_readPosition += bytes * 8;
        done = bytes * 8;
    }
    for (; done < count; ++done) {
        bool bit = false;
        source.ReadBit(bit);
        WriteBit(bit);
    }
    return count == bits;
}

void BitStream::WriteStream(const BitStream& other) { WriteBits(other.m_data, other.m_writePosition, false); }

void BitStream::WriteString(const char* text)
{
    const std::size_t length = text ? std::strlen(text) : 0;
    const uint16_t cut = static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length);
    WriteU16(cut);
    WriteBytes(text, cut);
}

void BitStream::WriteString(const std::string& text)
{
    const uint16_t cut = static_cast<uint16_t>(text.size() > 0xFFFF ? 0xFFFF : text.size());
    WriteU16(cut);
    WriteBytes(text.data(), cut);
}

void BitStream::AlignWrite()
{
    const uint32_t aligned = (m_writePosition + 7) & ~7u;
    // The bits skipped are already zero (they are the tail of the current byte).
    m_writePosition = aligned;
}

void BitStream::PadToByteLength(uint32_t bytes)
{
    if (GetNumberOfBytesUsed() >= bytes)
        return;
    AlignWrite();
    const uint32_t missing = bytes - GetNumberOfBytesUsed();
    if (!Reserve(missing * 8))
        return;
    std::memset(m_data + m_writePosition / 8, 0, missing);
    m_writePosition += missing * 8;
}

// ---- Reads ----------------------------------------------------------------------------------

bool BitStream::ReadBits(uint8_t* data, uint32_t bits, bool rightAligned)
{
    if (bits == 0)
        return true;
    if (data == nullptr || bits > GetNumberOfUnreadBits())
        return false;
    const uint32_t offset = m_readPosition & 7;
    if (offset == 0 && (bits & 7) == 0) {
        std::memcpy(data, m_data + m_readPosition / 8, bits / 8);
        m_readPosition += bits;
        return true;
    }
    std::memset(data, 0, bytesFor(bits));
    uint8_t* out = data;
    while (bits > 0) {
        const uint8_t* in = m_data + m_readPosition / 8;
        uint8_t byte = static_cast<uint8_t>(in[0] << offset);
        const uint32_t take = bits >= 8 ? 8 : bits;
        if (offset > 0 && take > 8 - offset)
            byte |= static_cast<uint8_t>(in[1] >> (8 - offset));
        if (take < 8) {
            byte &= static_cast<uint8_t>(0xFF00u >> take);
            if (rightAligned)
                byte = static_cast<uint8_t>(byte >> (8 - take));
        }
        *out++ = byte;
        m_readPosition += take;
        bits -= take;
    }
    return true;
}

bool BitStream::ReadBit(bool& bit)
{
    if (GetNumberOfUnreadBits() < 1)
        return false;
    bit = (m_data[m_readPosition / 8] & (0x80u >> (m_readPosition & 7))) != 0;
    ++m_readPosition;
    return true;
}

bool BitStream::ReadU8(uint8_t& value) { return ReadBits(&value, 8); }

bool BitStream::ReadU16(uint16_t& value)
{
    uint8_t bytes[2];
    if (!ReadBits(bytes, 16))
        return false;
    value = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    return true;
}

bool BitStream::ReadU32(uint32_t& value)
{
    uint8_t bytes[4];
    if (!ReadBits(bytes, 32))
        return false;
    value = 0;
    for (uint8_t b : bytes)
        value = (value << 8) | b;
    return true;
}

bool BitStream::ReadU64(uint64_t& value)
{
    uint8_t bytes[8];
    if (!ReadBits(bytes, 64))
        return false;
    value = 0;
    for (uint8_t b : bytes)
        value = (value << 8) | b;
    return true;
}

bool BitStream::ReadFloat(float& value)
{
    uint32_t bits = 0;
    if (!ReadU32(bits))
        return false;
    value = std::bit_cast<float>(bits);
    return true;
}

bool BitStream::ReadU16Aligned(uint16_t& value) { return ReadU16(value); }

bool BitStream::ReadU32Aligned(uint32_t& value) { return ReadU32(value); }

bool BitStream::ReadU24(uint32_t& value)
{
    AlignRead();
    uint8_t bytes[3];
    if (!ReadBits(bytes, 24))
        return false;
    value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
            (static_cast<uint32_t>(bytes[2]) << 16);
    return true;
}

bool BitStream::ReadBytes(void* data, uint32_t length)
{
    if (length == 0)
        return true;
    if (length > GetNumberOfUnreadBits() / 8)
        return false;
    return ReadBits(static_cast<uint8_t*>(data), length * 8);
}

bool BitStream::ReadBytesAligned(void* data, uint32_t length)
{
    AlignRead();
    return ReadBytes(data, length);
}

bool BitStream::ReadString(std::string& text)
{
    text.clear();
    const uint32_t start = m_readPosition;
    uint16_t length = 0;
    if (!ReadU16(length))
        return false;
    AlignRead();
    if (length == 0)
        return true;
    if (length > GetNumberOfUnreadBits() / 8) {
        m_readPosition = start;
        return false;
    }
    text.resize(length);
    return ReadBytes(text.data(), length);
}

void BitStream::AlignRead()
{
    const uint32_t aligned = (m_readPosition + 7) & ~7u;
    // Never past the contents, so that reads after it fail cleanly.
    m_readPosition = aligned > m_writePosition ? m_writePosition : aligned;
}

} // namespace P2PNet
