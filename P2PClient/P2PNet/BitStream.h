// A bit-addressed message buffer that fixes the wire byte order of every number of the peer
// protocol. Bits are numbered from the most significant bit of each byte: bit position p lies in
// byte p / 8 under the mask 0x80 >> (p % 8). 16-, 32- and 64-bit numbers are big-endian on the
// wire; 24-bit numbers are little-endian. Not thread-safe: one stream belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace P2PNet {

class BitStream {
public:
    // Bytes kept inside the object before the stream moves to the heap.
    static constexpr uint32_t kInlineBytes = 256;
    static constexpr uint32_t kInlineBits = kInlineBytes * 8;
    // Above this many bits the buffer grows by this many bits at a time instead of doubling.
    static constexpr uint32_t kGrowthStepBits = 1048576;
    // Largest number of bits a stream can hold; a write that would pass it is dropped.
    static constexpr uint32_t kMaxBits = 0x80000000u;

    // An empty stream on its inline store (capacity 2048 bits).
    BitStream();
    // An empty stream with room for at least initialBytes.
    explicit BitStream(uint32_t initialBytes);
    // A stream over `length` bytes. With copy false the stream borrows the bytes for reading
    // (they must outlive the stream); the first write makes a private copy, so the caller's
    // bytes are never changed. With copy true the stream owns a copy.
    BitStream(const uint8_t* data, uint32_t length, bool copy);
    BitStream(const BitStream& other);
    BitStream& operator=(const BitStream& other);
    BitStream(BitStream&& other) noexcept;
    BitStream& operator=(BitStream&& other) noexcept;
    ~BitStream();

    // ---- State ----
    // Write position in bits; also the length of the contents.
    uint32_t GetWritePosition() const { return m_writePosition; }
    uint32_t GetNumberOfBitsUsed() const { return m_writePosition; }
    uint32_t GetNumberOfBytesUsed() const { return (m_writePosition + 7) / 8; }
    uint32_t GetReadPosition() const { return m_readPosition; }
    uint32_t GetNumberOfUnreadBits() const { return m_writePosition - m_readPosition; }
    // Capacity of the current buffer in bits.
    uint32_t GetCapacity() const { return m_capacity; }
    const uint8_t* GetData() const { return m_data; }
    // Writable view of the contents; makes a borrowed stream private first.
    uint8_t* GetWritableData();
    bool OwnsData() const { return m_ownsData; }
    bool UsesInlineStore() const { return m_data == m_inline; }

    // Empties the stream (write and read position 0); keeps the buffer.
    void Reset();
    void ResetReadPosition() { m_readPosition = 0; }
    // Moves the read position; a position past the write position is clamped to it.
    void SetReadPosition(uint32_t bits);
    // Cuts the contents to `bits` (bits after it in the last byte are cleared), or extends them
    // with zero bits.
    void SetWritePosition(uint32_t bits);
    // Skips n bits of reading; false (nothing moves) when fewer remain.
    bool IgnoreBits(uint32_t bits);

    // Makes room for n more bits after the write position (see the .cpp for the growth rule).
    // False when the stream cannot grow (size limit or allocation failure).
    bool Reserve(uint32_t bits);

    // ---- Writes (append at the write position; a write that cannot get memory is dropped) ----
    void WriteBit(bool bit);
    void WriteU8(uint8_t value);
    void WriteU16(uint16_t value);
    void WriteU32(uint32_t value);
    void WriteU64(uint64_t value);
    // The float's 32 bits as WriteU32.
    void WriteFloat(float value);
    // Byte-wise big-endian writes for positions known to be byte-aligned; at an unaligned position
    // they give the same bits as WriteU16 / WriteU32.
    void WriteU16Aligned(uint16_t value);
    void WriteU32Aligned(uint32_t value);
    // Aligns the write position, then 3 bytes, least significant first.
    void WriteU24(uint32_t value);
    void WriteBytes(const void* data, uint32_t length);
    // Aligns the write position (the skipped bits stay zero), then copies the bytes.
    void WriteBytesAligned(const void* data, uint32_t length);
    // Appends `bits` bits of `data`. A final partial byte is taken from its low bits when
    // rightAligned is set, from its high bits otherwise.
    void WriteBits(const uint8_t* data, uint32_t bits, bool rightAligned = true);
    // Appends n bits from source's read position, advancing both; stops early when the source runs
    // out. True when all n bits were copied.
    bool WriteBitsFrom(BitStream& source, uint32_t bits);
    // Appends the whole contents of another stream (its read position is not used or moved).
    void WriteStream(const BitStream& other);
    // A string: u16 big-endian length then the bytes, no terminator. Texts longer than 65535 bytes
    // are cut to 65535. Keep strings on a byte boundary: the reader aligns before the bytes.
    void WriteString(const char* text);
    void WriteString(const std::string& text);
    void AlignWrite();
    // When the contents are shorter than n bytes: align and append zero bytes up to n bytes.
    void PadToByteLength(uint32_t bytes);

    // ---- Reads (false, and nothing moved or written, when too few bits remain) ----
    bool ReadBit(bool& bit);
    bool ReadU8(uint8_t& value);
    bool ReadU16(uint16_t& value);
    bool ReadU32(uint32_t& value);
    bool ReadU64(uint64_t& value);
    bool ReadFloat(float& value);
    bool ReadU16Aligned(uint16_t& value);
    bool ReadU32Aligned(uint32_t& value);
    // Aligns the read position (kept even on failure), then 3 bytes, least significant first.
    bool ReadU24(uint32_t& value);
    bool ReadBytes(void* data, uint32_t length);
    // Aligns the read position (kept even on failure), then copies the bytes.
    bool ReadBytesAligned(void* data, uint32_t length);
    // Reads `bits` bits into a zeroed buffer of (bits + 7) / 8 bytes; a final partial byte is
    // right-aligned (its bits are the low bits of the last byte) when rightAligned is set.
    bool ReadBits(uint8_t* data, uint32_t bits, bool rightAligned = true);
    // The string form of WriteString: u16 length, align, bytes (also aligns after a zero length).
    // On failure the text is empty.
    bool ReadString(std::string& text);
    void AlignRead();

private:
    void FreeBuffer();
    // Copies borrowed bytes into a buffer of our own before the first write.
    bool MakePrivate();
    void CopyFrom(const BitStream& other);
    void MoveFrom(BitStream& other) noexcept;

    uint32_t m_writePosition = 0;
    uint32_t m_capacity = kInlineBits;
    uint32_t m_readPosition = 0;
    uint8_t* m_data = m_inline;
    // The buffer is ours to write (inline store or our heap buffer); clear for borrowed bytes.
    bool m_ownsData = true;
    uint8_t m_inline[kInlineBytes];
};

} // namespace P2PNet
