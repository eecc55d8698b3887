// Bit positions, byte orders, growth and the read-past-end rules of the bit stream.
#include "CaseName.h"
#include "BitStream.h"
#include "PeerUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using P2PNet::BitStream;

namespace {

std::vector<uint8_t> bytesOf(const BitStream& s)
{
    return std::vector<uint8_t>(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed());
}

using Bytes = std::vector<uint8_t>;

// ---- Known-answer byte vectors --------------------------------------------------------------

struct WireCase {
    const char* name;
    void (*write)(BitStream&);
    Bytes bytes;
    uint32_t bits;
};

const WireCase kWireCases[] = {
    {"Bit1ThenU16", [](BitStream& s) { s.WriteBit(true); s.WriteU16(0x1234); }, {0x89, 0x1A, 0x00}, 17},
    {"ThreeZeroBitsThenU24", [](BitStream& s) { for (int i = 0; i < 3; ++i) s.WriteBit(false); s.WriteU24(0x123456); },
     {0x00, 0x56, 0x34, 0x12}, 32},
    {"U24DropsHighByte", [](BitStream& s) { s.WriteU24(0xAB123456); }, {0x56, 0x34, 0x12}, 24},
    {"U16BigEndian", [](BitStream& s) { s.WriteU16(0x1234); }, {0x12, 0x34}, 16},
    {"U32BigEndian", [](BitStream& s) { s.WriteU32(0x01020304); }, {0x01, 0x02, 0x03, 0x04}, 32},
    {"U64BigEndian", [](BitStream& s) { s.WriteU64(0x0102030405060708ull); }, {1, 2, 3, 4, 5, 6, 7, 8}, 64},
    {"U16AlignedBigEndian", [](BitStream& s) { s.WriteU16Aligned(0xBEEF); }, {0xBE, 0xEF}, 16},
    {"U32AlignedBigEndian", [](BitStream& s) { s.WriteU32Aligned(0xDEADBEEF); }, {0xDE, 0xAD, 0xBE, 0xEF}, 32},
    {"U16AlignedAtOddPositionShifts", [](BitStream& s) { s.WriteBit(true); s.WriteU16Aligned(0xFFFF); },
     {0xFF, 0xFF, 0x80}, 17},
    {"FloatBits", [](BitStream& s) { s.WriteFloat(1.0f); }, {0x3F, 0x80, 0x00, 0x00}, 32},
    {"BitsMsbFirst", [](BitStream& s) { s.WriteBit(true); s.WriteBit(false); s.WriteBit(true); }, {0xA0}, 3},
    {"U8AtBit3", [](BitStream& s) { s.WriteBit(false); s.WriteBit(false); s.WriteBit(true); s.WriteU8(0xFF); },
     {0x3F, 0xE0}, 11},
    {"BytesShifted", [](BitStream& s) { s.WriteBit(true); const uint8_t b[2] = {0xF0, 0x0F}; s.WriteBytes(b, 2); },
     {0xF8, 0x07, 0x80}, 17},
    {"BytesAlignedSkipsToBoundary", [](BitStream& s) { s.WriteBit(true); const uint8_t b[1] = {0x55}; s.WriteBytesAligned(b, 1); },
     {0x80, 0x55}, 16},
    {"EmptyString", [](BitStream& s) { s.WriteString(""); }, {0x00, 0x00}, 16},
    {"NullString", [](BitStream& s) { s.WriteString(static_cast<const char*>(nullptr)); }, {0x00, 0x00}, 16},
    {"StringLengthThenBytes", [](BitStream& s) { s.WriteString("abc"); }, {0x00, 0x03, 'a', 'b', 'c'}, 40},
    {"RightAlignedFragment", [](BitStream& s) { const uint8_t b = 0x05; s.WriteBits(&b, 3); }, {0xA0}, 3},
    {"LeftAlignedFragment", [](BitStream& s) { const uint8_t b = 0xBF; s.WriteBits(&b, 3, false); }, {0xA0}, 3},
    {"PadToByteLength", [](BitStream& s) { s.WriteBit(true); s.PadToByteLength(4); }, {0x80, 0, 0, 0}, 32},
    {"PadShorterThanContentsDoesNothing", [](BitStream& s) { s.WriteU16(0x0102); s.PadToByteLength(1); }, {1, 2}, 16},
    {"AlignWriteWhenAligned", [](BitStream& s) { s.WriteU8(7); s.AlignWrite(); s.WriteU8(9); }, {7, 9}, 16},
};

class WireForm : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireForm, WritesKnownBytes)
{
    BitStream s;
    GetParam().write(s);
    EXPECT_EQ(s.GetWritePosition(), GetParam().bits);
    EXPECT_EQ(bytesOf(s), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(BitStream, WireForm, ::testing::ValuesIn(kWireCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// ---- Round trips at every bit offset ----------------------------------------------------------

class RoundTripAtOffset : public ::testing::TestWithParam<int> {};

TEST_P(RoundTripAtOffset, NumbersBytesAndStringsComeBack)
{
    const int offset = GetParam();
    BitStream s;
    for (int i = 0; i < offset; ++i)
        s.WriteBit(i % 2 == 0);
    s.WriteU8(0xA5);
    s.WriteU16(0xFEDC);
    s.WriteU32(0x89ABCDEF);
    s.WriteU64(0x0123456789ABCDEFull);
    s.WriteFloat(-2.5f);
    const uint8_t blob[5] = {0xFF, 0x00, 0x81, 0x7E, 0x01};
    s.WriteBytes(blob, 5);
    const uint8_t fragment = 0x15; // 5 bits 10101
    s.WriteBits(&fragment, 5);
    s.WriteU24(0xC0FFEE);
    s.WriteString("hello");

    for (int i = 0; i < offset; ++i) {
        bool bit = false;
        ASSERT_TRUE(s.ReadBit(bit));
        EXPECT_EQ(bit, i % 2 == 0);
    }
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    float f = 0;
    uint8_t back[5] = {};
    uint8_t frag = 0xFF;
    uint32_t u24 = 0;
    std::string text;
    ASSERT_TRUE(s.ReadU8(u8));
    ASSERT_TRUE(s.ReadU16(u16));
    ASSERT_TRUE(s.ReadU32(u32));
    ASSERT_TRUE(s.ReadU64(u64));
    ASSERT_TRUE(s.ReadFloat(f));
    ASSERT_TRUE(s.ReadBytes(back, 5));
    ASSERT_TRUE(s.ReadBits(&frag, 5));
    ASSERT_TRUE(s.ReadU24(u24));
    ASSERT_TRUE(s.ReadString(text));
    EXPECT_EQ(u8, 0xA5);
    EXPECT_EQ(u16, 0xFEDC);
    EXPECT_EQ(u32, 0x89ABCDEFu);
    EXPECT_EQ(u64, 0x0123456789ABCDEFull);
    EXPECT_EQ(f, -2.5f);
    EXPECT_EQ(std::memcmp(back, blob, 5), 0);
    EXPECT_EQ(frag, 0x15);
    EXPECT_EQ(u24, 0xC0FFEEu);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(s.GetNumberOfUnreadBits(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BitStream, RoundTripAtOffset, ::testing::Range(0, 8), lumora::test::CaseName{"offset"});

// ---- Zero tail: bits after the write position stay clear ------------------------------------

TEST(BitStreamInvariant, ZeroBitAtByteBoundaryClearsStaleByte)
{
    BitStream s;
    s.WriteU8(0xFF);
    s.SetWritePosition(0);
    // The buffer byte still holds 0xFF; a zero bit at the boundary must clear it.
    s.WriteBit(false);
    s.WriteBit(true);
    EXPECT_EQ(bytesOf(s), Bytes({0x40}));
}

TEST(BitStreamInvariant, ShiftedWriteAssignsTheSpillByte)
{
    BitStream s;
    s.WriteU32(0xFFFFFFFF);
    s.SetWritePosition(4); // cut to 1111
    EXPECT_EQ(bytesOf(s), Bytes({0xF0}));
    s.WriteU8(0x00);
    s.WriteU8(0x00);
    // The stale 0xFF bytes of the old contents must not show through.
    EXPECT_EQ(bytesOf(s), Bytes({0xF0, 0x00, 0x00}));
    EXPECT_EQ(s.GetWritePosition(), 20u);
}

TEST(BitStreamInvariant, ExtendingTheWritePositionAddsZeroBits)
{
    BitStream s;
    s.WriteU32(0xFFFFFFFF);
    s.SetWritePosition(3);
    s.SetWritePosition(24);
    EXPECT_EQ(bytesOf(s), Bytes({0xE0, 0x00, 0x00}));
}

// ---- Reads past the end -----------------------------------------------------------------------

struct ShortReadCase {
    const char* name;
    uint32_t bitsAvailable;
    bool (*read)(BitStream&);
};

const ShortReadCase kShortReads[] = {
    {"U32With31Bits", 31, [](BitStream& s) { uint32_t v = 7; bool ok = s.ReadU32(v); return ok || v != 7; }},
    {"U16With15Bits", 15, [](BitStream& s) { uint16_t v = 7; bool ok = s.ReadU16(v); return ok || v != 7; }},
    {"U64With63Bits", 63, [](BitStream& s) { uint64_t v = 7; bool ok = s.ReadU64(v); return ok || v != 7; }},
    {"U8With7Bits", 7, [](BitStream& s) { uint8_t v = 7; bool ok = s.ReadU8(v); return ok || v != 7; }},
    {"BitWithNone", 0, [](BitStream& s) { bool v = true; bool ok = s.ReadBit(v); return ok || !v; }},
    {"BytesWithOneByteShort", 16, [](BitStream& s) { uint8_t v[3] = {7, 7, 7}; bool ok = s.ReadBytes(v, 3); return ok || v[0] != 7; }},
    {"BitsWithOneBitShort", 9, [](BitStream& s) { uint8_t v[2] = {7, 7}; bool ok = s.ReadBits(v, 10); return ok || v[0] != 7; }},
    {"FloatWith31Bits", 31, [](BitStream& s) { float v = 7; bool ok = s.ReadFloat(v); return ok || v != 7; }},
};

class ShortRead : public ::testing::TestWithParam<ShortReadCase> {};

TEST_P(ShortRead, FailsAndLeavesReadPositionAndOutput)
{
    BitStream s;
    for (uint32_t i = 0; i < GetParam().bitsAvailable; ++i)
        s.WriteBit(true);
    EXPECT_FALSE(GetParam().read(s)) << "read succeeded or touched its output";
    EXPECT_EQ(s.GetReadPosition(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BitStream, ShortRead, ::testing::ValuesIn(kShortReads),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(BitStreamShortRead, AligningReadsKeepTheirAlignmentOnFailure)
{
    BitStream s;
    s.WriteBit(true);
    s.WriteU16(0); // 17 bits, 3 bytes
    bool bit = false;
    ASSERT_TRUE(s.ReadBit(bit));
    uint32_t v = 0;
    EXPECT_FALSE(s.ReadU24(v));
    EXPECT_EQ(s.GetReadPosition(), 8u);

    s.SetReadPosition(1);
    uint8_t bytes[4];
    EXPECT_FALSE(s.ReadBytesAligned(bytes, 4));
    EXPECT_EQ(s.GetReadPosition(), 8u);
}

TEST(BitStreamShortRead, StringLongerThanTheRestFailsEmpty)
{
    BitStream s;
    s.WriteU16(10);
    s.WriteBytes("abc", 3);
    std::string text = "old";
    EXPECT_FALSE(s.ReadString(text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(s.GetReadPosition(), 0u);
}

TEST(BitStreamString, EmptyStringReadLeavesByteBoundary)
{
    BitStream s;
    s.WriteString("");
    s.WriteU8(0x42);
    std::string text = "x";
    ASSERT_TRUE(s.ReadString(text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(s.GetReadPosition() % 8, 0u);
    uint8_t v = 0;
    ASSERT_TRUE(s.ReadU8(v));
    EXPECT_EQ(v, 0x42);
}

TEST(BitStreamString, ReaderAlignsAfterTheLength)
{
    // A length written at bit 1 ends at bit 17; the reader skips to 24 before the bytes.
    BitStream s;
    s.WriteBit(true);
    s.WriteU16(2);
    s.AlignWrite();
    s.WriteBytes("ok", 2);
    bool bit = false;
    ASSERT_TRUE(s.ReadBit(bit));
    std::string text;
    ASSERT_TRUE(s.ReadString(text));
    EXPECT_EQ(text, "ok");
}

TEST(BitStreamString, LongTextIsCutTo65535Bytes)
{
    const std::string text(70000, 'x');
    BitStream s;
    s.WriteString(text);
    EXPECT_EQ(s.GetNumberOfBytesUsed(), 2u + 65535u);
    std::string back;
    ASSERT_TRUE(s.ReadString(back));
    EXPECT_EQ(back.size(), 65535u);
}

// ---- ReadBits alignment ---------------------------------------------------------------------

TEST(BitStreamReadBits, PartialByteRightOrLeftAligned)
{
    BitStream s;
    s.WriteU16(0xB6C0); // 1011 0110 11
    uint8_t right[2] = {};
    ASSERT_TRUE(s.ReadBits(right, 10));
    EXPECT_EQ(right[0], 0xB6);
    EXPECT_EQ(right[1], 0x03);
    s.ResetReadPosition();
    uint8_t left[2] = {};
    ASSERT_TRUE(s.ReadBits(left, 10, false));
    EXPECT_EQ(left[1], 0xC0);
}

// ---- Copying bits between streams -----------------------------------------------------------

class WriteBitsFromOffsets : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(WriteBitsFromOffsets, CopiesTheBitsAndAdvancesBoth)
{
    const auto [sourceSkip, destPrefix] = GetParam();
    BitStream source;
    for (int i = 0; i < sourceSkip; ++i)
        source.WriteBit(false);
    source.WriteU32(0xCAFEBABE);
    source.WriteBit(true);
    source.IgnoreBits(static_cast<uint32_t>(sourceSkip));

    BitStream dest;
    for (int i = 0; i < destPrefix; ++i)
        dest.WriteBit(true);
    ASSERT_TRUE(dest.WriteBitsFrom(source, 33));
    EXPECT_EQ(source.GetNumberOfUnreadBits(), 0u);
    EXPECT_EQ(dest.GetWritePosition(), static_cast<uint32_t>(destPrefix + 33));
    dest.IgnoreBits(static_cast<uint32_t>(destPrefix));
    uint32_t v = 0;
    bool bit = false;
    ASSERT_TRUE(dest.ReadU32(v));
    ASSERT_TRUE(dest.ReadBit(bit));
    EXPECT_EQ(v, 0xCAFEBABEu);
    EXPECT_TRUE(bit);
}

INSTANTIATE_TEST_SUITE_P(BitStream, WriteBitsFromOffsets,
                         ::testing::Values(std::pair{0, 0}, std::pair{3, 0}, std::pair{0, 5}, std::pair{1, 7}, std::pair{8, 8}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName("source", paramInfo.param.first, "dest", paramInfo.param.second);
                         });

TEST(BitStreamWriteBitsFrom, StopsWhenTheSourceRunsOut)
{
    BitStream source;
    source.WriteU8(0xFF);
    BitStream dest;
    dest.WriteBit(false);
    EXPECT_FALSE(dest.WriteBitsFrom(source, 20));
    EXPECT_EQ(dest.GetWritePosition(), 9u);
    EXPECT_EQ(bytesOf(dest), Bytes({0x7F, 0x80}));
}

TEST(BitStreamWriteStream, AppendsAnotherStreamWholeEvenItself)
{
    BitStream a;
    a.WriteBit(true);
    a.WriteU8(0x01);
    BitStream b;
    b.WriteBit(false);
    b.WriteStream(a);
    EXPECT_EQ(b.GetWritePosition(), 10u);
    EXPECT_EQ(bytesOf(b), Bytes({0x40, 0x40}));
    a.WriteStream(a);
    EXPECT_EQ(a.GetWritePosition(), 18u);
    EXPECT_EQ(bytesOf(a), Bytes({0x80, 0xC0, 0x40}));
}

TEST(BitStreamWriteBytes, SourceInsideTheStreamSurvivesGrowth)
{
    BitStream s;
    for (int i = 0; i < 200; ++i)
        s.WriteU8(static_cast<uint8_t>(i));
    // Doubling the contents moves the buffer (inline to heap, then a heap reallocation) while the
    // source lies in the old one.
    s.WriteBytes(s.GetData(), 200);
    s.WriteBytes(s.GetData(), 400);
    s.WriteBytes(s.GetData(), 800);
    ASSERT_EQ(s.GetNumberOfBytesUsed(), 1600u);
    for (uint32_t i = 0; i < 1600; ++i)
        ASSERT_EQ(s.GetData()[i], static_cast<uint8_t>(i % 200)) << i;
}

// ---- Growth ---------------------------------------------------------------------------------

TEST(BitStreamGrowth, LeavesInlineStoreAtByte257)
{
    BitStream s;
    for (int i = 0; i < 256; ++i)
        s.WriteU8(static_cast<uint8_t>(i));
    EXPECT_TRUE(s.UsesInlineStore());
    EXPECT_EQ(s.GetCapacity(), 2048u);
    s.WriteU8(0xAA);
    EXPECT_FALSE(s.UsesInlineStore());
    // Doubling: 2056 bits needed, 4112 bits of room.
    EXPECT_EQ(s.GetCapacity(), 4112u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(s.GetData()[i], static_cast<uint8_t>(i));
    EXPECT_EQ(s.GetData()[256], 0xAA);
}

// Writes `total` bytes in chunks of `chunk` bytes after a first write of `first` bytes and checks
// every growth against the rule: double while that adds at most 128 KiB, else add 128 KiB.
struct GrowthCount {
    int doublings = 0;
    int steps = 0;
};

GrowthCount growAndCheck(BitStream& s, uint32_t first, uint32_t chunk, uint32_t total)
{
    GrowthCount count;
    const std::vector<uint8_t> bytes(first > chunk ? first : chunk, 0x5A);
    uint32_t size = first;
    for (uint32_t written = 0; written < total; written += size, size = chunk) {
        const uint32_t before = s.GetCapacity();
        s.WriteBytes(bytes.data(), size);
        if (s.GetCapacity() == before)
            continue;
        const uint32_t needed = s.GetWritePosition();
        if (needed <= BitStream::kGrowthStepBits) {
            EXPECT_EQ(s.GetCapacity(), needed * 2) << "at " << needed;
            ++count.doublings;
        } else {
            EXPECT_EQ(s.GetCapacity(), needed + BitStream::kGrowthStepBits) << "at " << needed;
            ++count.steps;
        }
    }
    for (uint32_t i = 0; i < s.GetNumberOfBytesUsed(); ++i)
        if (s.GetData()[i] != 0x5A) {
            ADD_FAILURE() << "byte " << i << " lost in growth";
            break;
        }
    return count;
}

TEST(BitStreamGrowth, DoublesUpTo128KiB)
{
    BitStream s;
    const GrowthCount count = growAndCheck(s, 1000, 1000, 131000);
    EXPECT_EQ(s.GetNumberOfBytesUsed(), 131000u);
    EXPECT_GE(count.doublings, 5);
    EXPECT_EQ(count.steps, 0);
}

TEST(BitStreamGrowth, GrowsBy128KiBStepsPast128KiB)
{
    BitStream s;
    // One write just past 128 KiB, then 200,000 bytes more.
    const GrowthCount count = growAndCheck(s, 131073, 1000, 331073);
    EXPECT_EQ(s.GetNumberOfBytesUsed(), 331073u);
    EXPECT_EQ(count.doublings, 0);
    EXPECT_GE(count.steps, 2);
}

TEST(BitStreamGrowth, InitialSizeConstructorHoldsThatManyBytesWithoutGrowing)
{
    BitStream s(1000);
    EXPECT_FALSE(s.UsesInlineStore());
    const uint32_t capacity = s.GetCapacity();
    std::vector<uint8_t> bytes(1000, 1);
    s.WriteBytes(bytes.data(), 1000);
    EXPECT_EQ(s.GetCapacity(), capacity);
}

TEST(BitStreamGrowth, UsesTheAllocationHooks)
{
    static int allocations = 0;
    static int frees = 0;
    P2PNet::AllocationHooks hooks = P2PNet::DefaultAllocationHooks();
    const P2PNet::AllocationHooks defaults = hooks;
    hooks.allocate = [](std::size_t size, const char* file, unsigned line) {
        ++allocations;
        return P2PNet::DefaultAllocationHooks().allocate(size, file, line);
    };
    hooks.free = [](void* block, const char* file, unsigned line) {
        ++frees;
        P2PNet::DefaultAllocationHooks().free(block, file, line);
    };
    P2PNet::SetAllocationHooks(hooks);
    {
        BitStream s;
        std::vector<uint8_t> bytes(300, 1);
        s.WriteBytes(bytes.data(), 300);
    }
    P2PNet::SetAllocationHooks(defaults);
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(frees, 1);
}

TEST(BitStreamGrowth, FailedAllocationDropsTheWriteAndCallsTheHook)
{
    static int outOfMemory = 0;
    P2PNet::AllocationHooks hooks = P2PNet::DefaultAllocationHooks();
    const P2PNet::AllocationHooks defaults = hooks;
    hooks.allocate = [](std::size_t, const char*, unsigned) -> void* { return nullptr; };
    hooks.outOfMemory = [](const char*, unsigned) { ++outOfMemory; };
    P2PNet::SetAllocationHooks(hooks);
    BitStream s;
    s.WriteU8(1);
    std::vector<uint8_t> bytes(300, 1);
    s.WriteBytes(bytes.data(), 300);
    P2PNet::SetAllocationHooks(defaults);
    EXPECT_EQ(outOfMemory, 1);
    EXPECT_EQ(s.GetWritePosition(), 8u);
    EXPECT_TRUE(s.UsesInlineStore());
}

// ---- Borrowed and copied streams --------------------------------------------------------------

TEST(BitStreamBorrowed, ReadsTheDatagramAndNeverWritesIntoIt)
{
    uint8_t datagram[4] = {0x12, 0x34, 0x56, 0x78};
    BitStream s(datagram, 4, false);
    EXPECT_FALSE(s.OwnsData());
    EXPECT_EQ(s.GetWritePosition(), 32u);
    EXPECT_EQ(s.GetData(), datagram);
    uint16_t v = 0;
    ASSERT_TRUE(s.ReadU16(v));
    EXPECT_EQ(v, 0x1234);
    s.SetWritePosition(8);
    s.WriteU8(0xFF);
    EXPECT_EQ(datagram[1], 0x34) << "a write went into the borrowed bytes";
    EXPECT_TRUE(s.OwnsData());
    EXPECT_EQ(bytesOf(s), Bytes({0x12, 0xFF}));
}

TEST(BitStreamBorrowed, LargeDatagramBecomesPrivateOnWrite)
{
    std::vector<uint8_t> datagram(1000, 0x33);
    BitStream s(datagram.data(), 1000, false);
    s.WriteU8(0x44);
    EXPECT_EQ(datagram[999], 0x33);
    EXPECT_EQ(s.GetNumberOfBytesUsed(), 1001u);
    EXPECT_EQ(s.GetData()[999], 0x33);
    EXPECT_EQ(s.GetData()[1000], 0x44);
}

TEST(BitStreamCopy, CopiesAndMovesKeepContents)
{
    BitStream big;
    std::vector<uint8_t> bytes(600);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    big.WriteBytes(bytes.data(), 600);
    big.WriteBit(true);

    BitStream copy(big);
    EXPECT_EQ(bytesOf(copy), bytesOf(big));
    EXPECT_NE(copy.GetData(), big.GetData());

    BitStream small;
    small.WriteU16(0xABCD);
    BitStream moved(std::move(small));
    EXPECT_EQ(bytesOf(moved), Bytes({0xAB, 0xCD}));
    EXPECT_TRUE(moved.UsesInlineStore());

    BitStream assigned;
    assigned = std::move(copy);
    EXPECT_EQ(assigned.GetWritePosition(), 4801u);
    EXPECT_EQ(bytesOf(assigned), bytesOf(big));
    assigned = moved;
    EXPECT_EQ(bytesOf(assigned), Bytes({0xAB, 0xCD}));
}

TEST(BitStreamCopy, OwnedCopyOfDatagram)
{
    uint8_t datagram[3] = {1, 2, 3};
    BitStream s(datagram, 3, true);
    EXPECT_TRUE(s.OwnsData());
    EXPECT_NE(s.GetData(), datagram);
    EXPECT_EQ(bytesOf(s), Bytes({1, 2, 3}));
}

TEST(BitStreamPositions, IgnoreAndSetReadPositionStayInsideTheContents)
{
    BitStream s;
    s.WriteU16(0x0102);
    EXPECT_FALSE(s.IgnoreBits(17));
    EXPECT_EQ(s.GetReadPosition(), 0u);
    EXPECT_TRUE(s.IgnoreBits(8));
    s.SetReadPosition(100);
    EXPECT_EQ(s.GetReadPosition(), 16u);
    s.AlignRead();
    EXPECT_EQ(s.GetReadPosition(), 16u);
}

} // namespace
