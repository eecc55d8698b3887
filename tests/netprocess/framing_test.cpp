// Wire layouts of command messages and media chunks, and the login digest routines.
#include "CaseName.h"
#include "NetCrypto.h"
#include "NetProtocol.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(DevMsgHeaderWire, EmptyRequestIsSeventySixBytesBigEndian)
{
    const auto msg = BuildCommandMessage(3006, "", 7, -5);
    ASSERT_EQ(msg.size(), 76u);
    const auto* b = reinterpret_cast<const uint8_t*>(msg.data());
    const uint8_t expected[36] = {0xCC, 0xBB, 0xAA, 0x55, 0x0B, 0xBE, 1, 0, 0, 0, 0, 7, 0xFF, 0xFF, 0xFF, 0xFB, 0, 0,
                                  0,    1,    0,    0,    0,    76,   0, 0, 0, 76, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(b, expected, sizeof expected), 0);
    const DevMsgHeader h = DecodeDevMsgHeader(b);
    EXPECT_EQ(h.magic, kDevMagic);
    EXPECT_EQ(h.command, 3006);
    EXPECT_EQ(h.result, -5);
    EXPECT_EQ(h.bodyLength(), 0);
}

TEST(DevMsgHeaderWire, BodyFollowsHeaderAndTotalCountsIt)
{
    const std::string body = "{\"a\":1}";
    const auto msg = BuildCommandMessage(1001, body);
    ASSERT_EQ(msg.size(), 76u + body.size());
    const DevMsgHeader h = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(msg.data()));
    EXPECT_EQ(h.totalLength, 76u + body.size());
    EXPECT_EQ(std::string(msg.data() + 76, body.size()), body);
}

struct PacketCase {
    std::size_t body;
    std::vector<std::size_t> sizes;
};

class TutkPacketising : public ::testing::TestWithParam<PacketCase> {};

TEST_P(TutkPacketising, SplitsBodyIntoHeaderCopiesWithSlices)
{
    const PacketCase c = GetParam();
    std::string body(c.body, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    const auto packets = BuildTutkPackets(1001, body);
    ASSERT_EQ(packets.size(), c.sizes.size());
    std::string joined;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].size(), c.sizes[i]);
        const DevMsgHeader h = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(packets[i].data()));
        EXPECT_EQ(h.packetIndex, i);
        EXPECT_EQ(h.packetCount, packets.size());
        EXPECT_EQ(h.totalLength, 76u + c.body) << "every packet carries the whole message's length";
        joined.append(packets[i].data() + 76, packets[i].size() - 76);
    }
    EXPECT_EQ(joined, body);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TutkPacketising,
                         ::testing::Values(PacketCase{0, {76}}, PacketCase{924, {1000}}, PacketCase{925, {1000, 77}},
                                           PacketCase{2000, {1000, 1000, 228}},
                                           PacketCase{255 * 924, std::vector<std::size_t>(255, 1000)}),
                         [](const auto& paramInfo) { return lumora::test::caseName("body", paramInfo.param.body); });

// The packet count and index are one byte each: a body needing a 256th packet cannot be sent whole
// and gives no packets at all, rather than 255 packets of a message cut short.
TEST(TutkPacketisingLimit, BodyNeedingMoreThan255PacketsIsRefused)
{
    for (const std::size_t size : {255u * 924u + 1u, 256u * 924u, 300u * 924u}) {
        const std::string body(size, 'x');
        EXPECT_TRUE(BuildTutkPackets(1001, body).empty()) << size << " bytes";
    }
}

TEST(MediaChunkHeaderWire, RoundTripAndPresentationTime)
{
    MediaChunkHeader h;
    h.frameId = 0x01020304;
    h.totalFrameSize = 320;
    h.frameType = 20;
    h.chunkLength = 320;
    h.seconds = 1700000000;
    h.microseconds = 5;
    uint8_t wire[24];
    EncodeMediaChunkHeader(h, wire);
    EXPECT_EQ(wire[0], 0xCC);
    EXPECT_EQ(wire[4], 0x01);
    EXPECT_EQ(wire[12], 20);
    EXPECT_EQ(wire[14], 0x01);
    EXPECT_EQ(wire[15], 0x40);
    const MediaChunkHeader back = DecodeMediaChunkHeader(wire);
    EXPECT_EQ(back.pts(), 1700000000000005ull);
    EXPECT_TRUE(back.isAudio());
    EXPECT_EQ(back.chunkLength, 320);
}

struct DigestCase {
    const char* text;
    const char* md5;
};

class Md5Vectors : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Md5Vectors, MatchesRfc1321)
{
    EXPECT_EQ(netcrypto::Md5HexUpper(GetParam().text), GetParam().md5);
}

INSTANTIATE_TEST_SUITE_P(Rfc, Md5Vectors,
                         ::testing::Values(DigestCase{"", "D41D8CD98F00B204E9800998ECF8427E"},
                                           DigestCase{"abc", "900150983CD24FB0D6963F7D28E17F72"},
                                           DigestCase{"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
                                           DigestCase{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                                                      "57EDF4A22BE3C955AC49DA2E2107B67A"}),
                         [](const auto& paramInfo) { return lumora::test::caseName(paramInfo.param.text); });

TEST(Base64, TickEncodingsUsedByTheLogin)
{
    const uint8_t one[4] = {1, 0, 0, 0};
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(netcrypto::Base64Encode(one, 4), "AQAAAA==");
    EXPECT_EQ(netcrypto::Base64Encode(zero, 4), "AAAAAA==");
    EXPECT_EQ(netcrypto::Base64Encode("fo", 2), "Zm8=");
    EXPECT_EQ(netcrypto::Base64Encode("foobar", 6), "Zm9vYmFy");
}

TEST(Rc4, KnownKeystreamsAndInverse)
{
    struct {
        const char* key;
        const char* plain;
        const char* hex;
    } cases[] = {{"Key", "Plaintext", "bbf316e8d940af0ad3"},
                 {"Wiki", "pedia", "1021bf0420"},
                 {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"}};
    for (const auto& c : cases) {
        std::string data = c.plain;
        netcrypto::Rc4Crypt(c.key, reinterpret_cast<uint8_t*>(data.data()), data.size());
        EXPECT_EQ(netcrypto::HexLower(data.data(), data.size()), c.hex);
        netcrypto::Rc4Crypt(c.key, reinterpret_cast<uint8_t*>(data.data()), data.size());
        EXPECT_EQ(data, c.plain);
    }
}

} // namespace
