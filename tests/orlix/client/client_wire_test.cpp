// Known-answer bytes of the session client's messages and the reader's refusal of short input.
#include "ClientWire.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ClientWire, NumbersAreBigEndianAndStringsLengthPrefixed)
{
    ByteWriter w;
    w.u8(0x01);
    w.u16(0x0203);
    w.u32(0x04050607);
    w.u64(0x08090A0B0C0D0E0Full);
    w.string("ab");
    w.string("");
    EXPECT_EQ(w.data(), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
                               0x0F, 0x00, 0x02, 'a', 'b', 0x00, 0x00}));
}

TEST(ClientWire, Ipv4AddressIsComplementedWithThePortInNetworkOrder)
{
    ByteWriter w;
    w.address(P2PNet::SystemAddress::FromIPv4(1, 2, 3, 4, 5000));
    EXPECT_EQ(w.data(), (Bytes{4, 0xFE, 0xFD, 0xFC, 0xFB, 0x13, 0x88}));
    ByteReader r(w.data().data(), w.data().size());
    P2PNet::SystemAddress read;
    ASSERT_TRUE(r.address(read));
    EXPECT_EQ(read, P2PNet::SystemAddress::FromIPv4(1, 2, 3, 4, 5000));
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ClientWire, Ipv6AddressRoundTrips)
{
    const P2PNet::SystemAddress v6("::1", 7000);
    ByteWriter w;
    w.address(v6);
    w.u8(0x99);
    EXPECT_EQ(w.data().size(), 1u + 28u + 1u);
    EXPECT_EQ(w.data()[0], 6);
    ByteReader r(w.data().data(), w.data().size());
    P2PNet::SystemAddress read;
    uint8_t tail = 0;
    ASSERT_TRUE(r.address(read));
    ASSERT_TRUE(r.u8(tail));
    EXPECT_EQ(read, v6);
    EXPECT_EQ(tail, 0x99);
}

TEST(ClientWire, ShortReadsFailAndConsumeNothing)
{
    const Bytes bytes{0x00, 0x05, 'a', 'b'};
    ByteReader r(bytes.data(), bytes.size());
    std::string text;
    EXPECT_FALSE(r.string(text));
    EXPECT_EQ(r.position(), 0u);
    uint32_t v32 = 0;
    EXPECT_TRUE(r.u32(v32));
    EXPECT_EQ(v32, 0x00056162u);
    uint8_t v8 = 0;
    EXPECT_FALSE(r.u8(v8));
    P2PNet::SystemAddress address;
    const Bytes shortAddress{4, 1, 2, 3};
    ByteReader ra(shortAddress.data(), shortAddress.size());
    EXPECT_FALSE(ra.address(address));
    EXPECT_EQ(ra.position(), 0u);
}

TEST(ClientWire, StringsAreKeptToSixtyThreeCharacters)
{
    ByteWriter w;
    w.string(std::string(70, 'z'));
    w.u8(7);
    ByteReader r(w.data().data(), w.data().size());
    std::string text;
    uint8_t after = 0;
    ASSERT_TRUE(r.string(text));
    ASSERT_TRUE(r.u8(after));
    EXPECT_EQ(text, std::string(63, 'z'));
    EXPECT_EQ(after, 7);
    EXPECT_EQ(clampId(std::string(80, 'q').c_str()), std::string(63, 'q'));
    EXPECT_EQ(clampId(nullptr), "");
}

} // namespace
