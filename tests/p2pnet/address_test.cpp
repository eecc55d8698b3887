// Text, parsing, wire form, equality and hashing of addresses and GUIDs.
#include "CaseName.h"
#include "BitStream.h"
#include "PeerUtils.h"
#include "SystemAddress.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

using P2PNet::BitStream;
using P2PNet::P2PNetGUID;
using P2PNet::PeerTarget;
using P2PNet::SystemAddress;
using P2PNet::UNASSIGNED_P2PNET_GUID;
using P2PNet::UNASSIGNED_SYSTEM_ADDRESS;

namespace {

using Bytes = std::vector<uint8_t>;

SystemAddress parsed(const char* text, uint16_t port, int ipVersion = 0)
{
    SystemAddress a;
    EXPECT_TRUE(a.ParseWithPort(text, port, true, ipVersion)) << text;
    return a;
}

// ---- Defaults and constants -------------------------------------------------------------------

TEST(SystemAddressDefaults, DefaultIsAllZeroIPv4WithUnknownIndex)
{
    const SystemAddress a;
    EXPECT_EQ(a.GetFamily(), AF_INET);
    EXPECT_EQ(a.GetPort(), 0);
    EXPECT_EQ(a.GetIPv4HostOrder(), 0u);
    EXPECT_EQ(a.systemIndex, 0xFFFF);
    EXPECT_TRUE(a.IsUnassigned());
    EXPECT_EQ(a, UNASSIGNED_SYSTEM_ADDRESS);
    EXPECT_EQ(UNASSIGNED_P2PNET_GUID.g, ~0ull);
    EXPECT_EQ(UNASSIGNED_P2PNET_GUID.systemIndex, 0xFFFF);
}

TEST(SystemAddressDefaults, UnassignedRuleCoversBothFamilies)
{
    EXPECT_TRUE(parsed("::", 0).IsUnassigned());
    EXPECT_FALSE(parsed("::", 1).IsUnassigned());
    EXPECT_FALSE(parsed("::1", 0).IsUnassigned());
    EXPECT_FALSE(parsed("0.0.0.1", 0).IsUnassigned());
    EXPECT_FALSE(parsed("0.0.0.0", 7).IsUnassigned());
}

TEST(PeerTargetRules, UndefinedOnlyWhenBothPartsAreUnassigned)
{
    EXPECT_TRUE(PeerTarget().IsUndefined());
    EXPECT_TRUE(PeerTarget(UNASSIGNED_SYSTEM_ADDRESS).IsUndefined());
    EXPECT_TRUE(PeerTarget(UNASSIGNED_P2PNET_GUID).IsUndefined());
    EXPECT_FALSE(PeerTarget(P2PNetGUID(5)).IsUndefined());
    EXPECT_FALSE(PeerTarget(SystemAddress::FromIPv4(127, 0, 0, 1, 9)).IsUndefined());
    const PeerTarget fromAddress(SystemAddress::FromIPv4(1, 2, 3, 4, 5));
    EXPECT_TRUE(fromAddress.guid.IsUnassigned());
    const PeerTarget fromGuid(P2PNetGUID(77));
    EXPECT_TRUE(fromGuid.address.IsUnassigned());
    SystemAddress indexed = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    indexed.systemIndex = 3;
    P2PNetGUID guid(9);
    guid.systemIndex = 4;
    const PeerTarget both(guid, indexed);
    const PeerTarget copy = both;
    EXPECT_EQ(copy.address.systemIndex, 3);
    EXPECT_EQ(copy.address.debugPort, 5);
    EXPECT_EQ(copy.guid.systemIndex, 4);
}

// ---- Text -------------------------------------------------------------------------------------

struct TextCase {
    const char* name;
    const char* input;
    uint16_t port;
    const char* withPort;
    const char* withoutPort;
};

const TextCase kTexts[] = {
    {"IPv4", "127.0.0.1", 5000, "127.0.0.1|5000", "127.0.0.1"},
    {"IPv4HighOctets", "255.254.253.252", 65535, "255.254.253.252|65535", "255.254.253.252"},
    {"IPv4PortZero", "10.1.2.3", 0, "10.1.2.3|0", "10.1.2.3"},
    {"IPv6Loopback", "::1", 7, "::1|7", "::1"},
    {"IPv6Full", "2001:db8:1:2:3:4:5:6", 443, "2001:db8:1:2:3:4:5:6|443", "2001:db8:1:2:3:4:5:6"},
    {"IPv6Compressed", "2001:0db8:0000:0000:0000:0000:0000:0001", 1, "2001:db8::1|1", "2001:db8::1"},
    {"IPv6Mapped", "::ffff:192.168.1.7", 6000, "::ffff:192.168.1.7|6000", "::ffff:192.168.1.7"},
    {"IPv6Scope", "fe80::1%3", 80, "fe80::1%3|80", "fe80::1%3"},
    {"IPv6Longest", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295", 65535,
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295|65535", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295"},
};

class AddressText : public ::testing::TestWithParam<TextCase> {};

TEST_P(AddressText, PrintsWithAndWithoutPortAndParsesBack)
{
    const TextCase& c = GetParam();
    const SystemAddress a = parsed(c.input, c.port);
    EXPECT_EQ(a.ToString(true), c.withPort);
    EXPECT_EQ(a.ToString(false), c.withoutPort);
    char buffer[P2PNet::kAddressTextSize];
    EXPECT_STREQ(a.ToText(true, buffer, sizeof buffer), c.withPort);
    EXPECT_STREQ(a.ToText(false, buffer), c.withoutPort);
    EXPECT_LT(std::strlen(c.withoutPort), P2PNet::kMaxHostTextLength + 1);
    // The printed text, port and all, parses back to the same address.
    const SystemAddress back = parsed(c.withPort, c.port);
    EXPECT_EQ(back, a);
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, AddressText, ::testing::ValuesIn(kTexts),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(AddressTextRules, UnassignedPrintsItsNameEvenWithPort)
{
    EXPECT_EQ(UNASSIGNED_SYSTEM_ADDRESS.ToString(true), "UNASSIGNED_SYSTEM_ADDRESS");
    EXPECT_EQ(UNASSIGNED_SYSTEM_ADDRESS.ToString(false), "UNASSIGNED_SYSTEM_ADDRESS");
    EXPECT_EQ(parsed("::", 0).ToString(true), "UNASSIGNED_SYSTEM_ADDRESS");
}

TEST(AddressTextRules, CallerBuffersAreIndependent)
{
    // Many results held at once, each in its own buffer: none overwrites another.
    std::vector<std::vector<char>> buffers(12, std::vector<char>(P2PNet::kAddressTextSize));
    for (int i = 0; i < 12; ++i)
        SystemAddress::FromIPv4(10, 0, 0, static_cast<uint8_t>(i), static_cast<uint16_t>(1000 + i))
            .ToText(true, buffers[static_cast<std::size_t>(i)].data(), P2PNet::kAddressTextSize);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(std::string(buffers[static_cast<std::size_t>(i)].data()),
                  "10.0.0." + std::to_string(i) + "|" + std::to_string(1000 + i));
}

TEST(AddressTextRules, TooSmallBufferGetsEmptyText)
{
    const SystemAddress a = SystemAddress::FromIPv4(192, 168, 100, 200, 65000);
    char small[10];
    std::memset(small, 'x', sizeof small);
    EXPECT_STREQ(a.ToText(true, small, sizeof small), "");
    char tiny[5];
    EXPECT_STREQ(UNASSIGNED_SYSTEM_ADDRESS.ToText(true, tiny, sizeof tiny), "");
    EXPECT_EQ(a.ToText(true, nullptr, 0), nullptr);
}

// ---- ParseWithPort ----------------------------------------------------------------------------

struct BadText {
    const char* text;
    int ipVersion;
};

class ParseWithPortRejects : public ::testing::TestWithParam<BadText> {};

TEST_P(ParseWithPortRejects, LeavesTheAddressUnassigned)
{
    SystemAddress a = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    EXPECT_FALSE(a.ParseWithPort(GetParam().text, 99, true, GetParam().ipVersion));
    EXPECT_TRUE(a.IsUnassigned());
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, ParseWithPortRejects,
                         ::testing::Values(BadText{"", 0}, BadText{"localhost", 0}, BadText{"example.com", 0},
                                           BadText{"256.1.1.1", 0}, BadText{"1.2.3", 0}, BadText{"1.2.3.4.5", 0},
                                           BadText{"abc", 0}, BadText{"::1", 4}, BadText{"1:2:3", 6},
                                           BadText{"fe80::1%eth0", 0}, BadText{"fe80::1%", 0},
                                           BadText{"fe80::1%99999999999", 0}, BadText{"1.2.3.4/24", 0},
                                           BadText{"|5000", 0}, BadText{"-1.2.3.4", 0}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName(paramInfo.param.text, "v", paramInfo.param.ipVersion);
                         });

TEST(ParseWithPort, NullTextGivesAnyAddressWithThePort)
{
    SystemAddress a = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    EXPECT_TRUE(a.ParseWithPort(nullptr, 777));
    EXPECT_TRUE(a.IsIPv4());
    EXPECT_EQ(a.GetIPv4HostOrder(), 0u);
    EXPECT_EQ(a.GetPort(), 777);
}

TEST(ParseWithPort, VersionChoice)
{
    EXPECT_TRUE(parsed("1.2.3.4", 1, 4).IsIPv4());
    EXPECT_TRUE(parsed("1.2.3.4", 1, 0).IsIPv4());
    // IPv6 asked, IPv4 given: the lookup falls back to either family.
    EXPECT_TRUE(parsed("1.2.3.4", 1, 6).IsIPv4());
    EXPECT_TRUE(parsed("::1", 1, 6).IsIPv6());
    EXPECT_TRUE(parsed("::1", 1, 0).IsIPv6());
}

TEST(ParseWithPort, PortComesFromTheArgumentAndKeepsIndex)
{
    SystemAddress a;
    a.systemIndex = 12;
    ASSERT_TRUE(a.ParseWithPort("1.2.3.4|5000", 6000));
    EXPECT_EQ(a.GetPort(), 6000);
    EXPECT_EQ(a.debugPort, 6000);
    EXPECT_EQ(a.GetPortNetworkOrder(), htons(6000));
    EXPECT_EQ(a.GetIPv4HostOrder(), 0x01020304u);
    EXPECT_EQ(a.systemIndex, 12);
}

// ---- ParseDotted ------------------------------------------------------------------------------

TEST(ParseDotted, AddressAndPort)
{
    SystemAddress a;
    ASSERT_TRUE(a.ParseDotted("192.168.1.7|6000"));
    EXPECT_EQ(a.GetIPv4HostOrder(), 0xC0A80107u);
    EXPECT_EQ(a.GetPort(), 6000);
    EXPECT_EQ(a.debugPort, 6000);
    EXPECT_EQ(a.GetPortNetworkOrder(), htons(6000));
}

TEST(ParseDotted, AddressAloneLeavesThePort)
{
    SystemAddress a = SystemAddress::FromIPv4(1, 1, 1, 1, 4321);
    ASSERT_TRUE(a.ParseDotted("192.168.1.7"));
    EXPECT_EQ(a.GetIPv4HostOrder(), 0xC0A80107u);
    EXPECT_EQ(a.GetPort(), 4321);
    ASSERT_TRUE(a.ParseDotted("10.0.0.1|"));
    EXPECT_EQ(a.GetPort(), 4321);
}

TEST(ParseDotted, IPv6AddressBecomesIPv4)
{
    SystemAddress a = parsed("::1", 80);
    ASSERT_TRUE(a.ParseDotted("1.2.3.4|9"));
    EXPECT_TRUE(a.IsIPv4());
    EXPECT_EQ(a.ToString(), "1.2.3.4|9");
}

struct LocalhostCase {
    const char* text;
    uint16_t port;
};

class ParseDottedLocalhost : public ::testing::TestWithParam<LocalhostCase> {};

TEST_P(ParseDottedLocalhost, GivesLoopbackAndSkipsTheDelimiter)
{
    SystemAddress a = SystemAddress::FromIPv4(9, 9, 9, 9, 1234);
    ASSERT_TRUE(a.ParseDotted(GetParam().text));
    EXPECT_EQ(a.GetIPv4HostOrder(), 0x7F000001u);
    EXPECT_EQ(a.GetPort(), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, ParseDottedLocalhost,
                         ::testing::Values(LocalhostCase{"localhost", 1234}, LocalhostCase{"LocalHost|5000", 5000},
                                           LocalhostCase{"localhost:80", 80}, LocalhostCase{"localhost|", 1234}),
                         [](const auto& paramInfo) { return lumora::test::caseName(paramInfo.param.text); });

class ParseDottedRejects : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseDottedRejects, FailsUnassigned)
{
    SystemAddress a = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    EXPECT_FALSE(a.ParseDotted(GetParam()));
    EXPECT_TRUE(a.IsUnassigned());
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, ParseDottedRejects,
                         ::testing::Values(nullptr, "", "host.example|80", "300.1.1.1|5", "1.2.3|5", "1.2.3.4|70000",
                                           "1.2.3.4|9999999999", "localhost|99999", "localhost|x", "|5000",
                                           "abc"),
                         lumora::test::CaseName{});

// ---- Family matching --------------------------------------------------------------------------

TEST(MatchSocketFamily, IPv4TargetForIPv6SocketBecomesMapped)
{
    for (int family : {AF_INET6, 23}) {
        SystemAddress a = SystemAddress::FromIPv4(192, 168, 1, 7, 6000);
        a.MatchSocketFamily(family);
        EXPECT_TRUE(a.IsIPv6());
        EXPECT_EQ(a.ToString(), "::ffff:192.168.1.7|6000");
        EXPECT_EQ(a, parsed("::ffff:192.168.1.7", 6000));
    }
}

TEST(MatchSocketFamily, MappedTargetForIPv4SocketBecomesIPv4)
{
    SystemAddress a = parsed("::ffff:10.1.2.3", 99);
    a.MatchSocketFamily(AF_INET);
    EXPECT_TRUE(a.IsIPv4());
    EXPECT_EQ(a, SystemAddress::FromIPv4(10, 1, 2, 3, 99));
}

TEST(MatchSocketFamily, LeavesOthersAlone)
{
    SystemAddress v6 = parsed("2001:db8::1", 5);
    v6.MatchSocketFamily(AF_INET);
    EXPECT_EQ(v6, parsed("2001:db8::1", 5));
    SystemAddress unassigned = UNASSIGNED_SYSTEM_ADDRESS;
    unassigned.MatchSocketFamily(AF_INET6);
    EXPECT_TRUE(unassigned.IsIPv4());
    SystemAddress v4 = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    v4.MatchSocketFamily(AF_INET);
    EXPECT_EQ(v4, SystemAddress::FromIPv4(1, 2, 3, 4, 5));
}

// ---- Classification ---------------------------------------------------------------------------

struct RangeCase {
    const char* text;
    bool isPrivate;
    bool isLoopback;
};

class AddressRanges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(AddressRanges, PrivateAndLoopback)
{
    const SystemAddress a = parsed(GetParam().text, 1);
    EXPECT_EQ(a.IsPrivateRange(), GetParam().isPrivate) << GetParam().text;
    EXPECT_EQ(a.IsLoopback(), GetParam().isLoopback) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, AddressRanges,
                         ::testing::Values(RangeCase{"10.0.0.1", true, false}, RangeCase{"172.15.0.1", false, false},
                                           RangeCase{"172.16.0.1", true, false}, RangeCase{"172.31.255.1", true, false},
                                           RangeCase{"172.32.0.1", false, false}, RangeCase{"192.168.0.1", true, false},
                                           RangeCase{"192.169.0.1", false, false}, RangeCase{"8.8.8.8", false, false},
                                           RangeCase{"127.0.0.1", false, true}, RangeCase{"::1", false, true},
                                           RangeCase{"::ffff:127.0.0.2", false, true},
                                           RangeCase{"::ffff:10.9.9.9", true, false},
                                           RangeCase{"::ffff:8.8.8.8", false, false},
                                           RangeCase{"fe80::1", true, false}, RangeCase{"fe81::1", false, false},
                                           RangeCase{"2001:db8::1", false, false}),
                         [](const auto& paramInfo) { return lumora::test::caseName(paramInfo.param.text); });

// ---- Equality, ordering, hashing ------------------------------------------------------------------

TEST(AddressIdentity, IndexAndDebugPortTakeNoPart)
{
    SystemAddress a = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    SystemAddress b = a;
    b.systemIndex = 17;
    b.debugPort = 999;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.Hash(), b.Hash());
    SystemAddress c = parsed("fe80::1%5", 5);
    SystemAddress d = parsed("fe80::1", 5);
    d.address.addr6.sin6_flowinfo = 77;
    EXPECT_EQ(c, d);
    EXPECT_EQ(c.Hash(), d.Hash());
}

TEST(AddressIdentity, DifferencesInPortAddressOrFamilyCount)
{
    const SystemAddress base = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    EXPECT_NE(base, SystemAddress::FromIPv4(1, 2, 3, 4, 6));
    EXPECT_NE(base, SystemAddress::FromIPv4(1, 2, 3, 5, 5));
    EXPECT_NE(base, parsed("::ffff:1.2.3.4", 5));
    EXPECT_NE(parsed("::1", 5), parsed("::2", 5));
}

TEST(AddressIdentity, HashIsSuperFastHashOfPortThenAddress)
{
    const SystemAddress a = SystemAddress::FromIPv4(1, 2, 3, 4, 0x1234);
    const uint8_t port[2] = {0x12, 0x34};
    const uint8_t addr[4] = {1, 2, 3, 4};
    const uint32_t h = P2PNet::SuperFastHash(port, 2, 2);
    EXPECT_EQ(a.Hash(), P2PNet::SuperFastHash(addr, 4, h));
    const SystemAddress b = parsed("2001:db8::1", 0x1234);
    EXPECT_EQ(b.Hash(), P2PNet::SuperFastHash(b.address.addr6.sin6_addr.s6_addr, 16, h));
}

TEST(AddressIdentity, OrderingGroupsEqualAddresses)
{
    std::set<SystemAddress> ordered;
    std::unordered_set<SystemAddress> hashed;
    for (int round = 0; round < 2; ++round)
        for (const char* text : {"1.2.3.4", "1.2.3.5", "::1", "::ffff:1.2.3.4", "10.0.0.1"})
            for (uint16_t port : {1, 2, 300}) {
                SystemAddress a = parsed(text, port);
                a.systemIndex = static_cast<uint16_t>(round);
                ordered.insert(a);
                hashed.insert(a);
            }
    EXPECT_EQ(ordered.size(), 15u);
    EXPECT_EQ(hashed.size(), 15u);
    EXPECT_TRUE(SystemAddress::FromIPv4(9, 9, 9, 9, 1) < SystemAddress::FromIPv4(1, 1, 1, 1, 2));
    EXPECT_TRUE(SystemAddress::FromIPv4(1, 1, 1, 1, 2) < SystemAddress::FromIPv4(1, 1, 1, 2, 2));
}

// ---- Wire form --------------------------------------------------------------------------------

TEST(AddressWire, IPv4IsComplementedWithPortInNetworkOrder)
{
    BitStream s;
    SystemAddress::FromIPv4(1, 2, 3, 4, 0x1388).Serialize(s);
    const Bytes expected = {0x04, 0xfe, 0xfd, 0xfc, 0xfb, 0x13, 0x88};
    EXPECT_EQ(Bytes(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed()), expected);
}

TEST(AddressWire, IPv6IsTheSocketAddressWithWindowsFamily)
{
    SystemAddress a = parsed("2001:db8::1%7", 0x1F90);
    a.address.addr6.sin6_flowinfo = 0x01020304;
    BitStream s;
    a.Serialize(s);
    const Bytes expected = {0x06, 23, 0, 0x1F, 0x90, 0x04, 0x03, 0x02, 0x01, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0x01, 0x07, 0, 0, 0};
    EXPECT_EQ(Bytes(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed()), expected);
}

class AddressWireRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(AddressWireRoundTrip, ReadsBackAtAnyBitOffset)
{
    for (int offset = 0; offset < 8; ++offset) {
        SystemAddress a = parsed(GetParam(), 6000);
        a.systemIndex = 5;
        BitStream s;
        for (int i = 0; i < offset; ++i)
            s.WriteBit(true);
        a.Serialize(s);
        s.IgnoreBits(static_cast<uint32_t>(offset));
        SystemAddress back;
        back.systemIndex = 9;
        ASSERT_TRUE(back.Deserialize(s));
        EXPECT_EQ(back, a);
        EXPECT_EQ(back.GetFamily(), a.GetFamily());
        EXPECT_EQ(back.debugPort, 6000);
        EXPECT_EQ(back.systemIndex, 0xFFFF);
        EXPECT_EQ(s.GetNumberOfUnreadBits(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(SystemAddress, AddressWireRoundTrip,
                         ::testing::Values("1.2.3.4", "255.255.255.255", "0.0.0.0", "::1", "fe80::1%3",
                                           "::ffff:192.168.1.7"),
                         lumora::test::CaseName{});

TEST(AddressWire, ShortInputFailsAndLeavesAddressAndPosition)
{
    for (const char* text : {"1.2.3.4", "::1"}) {
        BitStream full;
        parsed(text, 1).Serialize(full);
        for (uint32_t cut = 0; cut < full.GetNumberOfBytesUsed(); ++cut) {
            BitStream s(full.GetData(), cut, false);
            SystemAddress a = SystemAddress::FromIPv4(9, 8, 7, 6, 5);
            EXPECT_FALSE(a.Deserialize(s)) << text << " cut at " << cut;
            EXPECT_EQ(a, SystemAddress::FromIPv4(9, 8, 7, 6, 5));
            EXPECT_EQ(s.GetReadPosition(), 0u);
        }
    }
}

TEST(AddressWire, UnknownVersionReadsTheIPv6Form)
{
    BitStream s;
    s.WriteU8(9);
    Bytes body(28, 0);
    body[0] = 99; // a family that means nothing here
    body[3] = 80;
    body[23] = 1;
    s.WriteBytes(body.data(), 28);
    SystemAddress a;
    ASSERT_TRUE(a.Deserialize(s));
    EXPECT_TRUE(a.IsIPv6());
    EXPECT_EQ(a.ToString(), "::1|80");
}

// ---- GUID -------------------------------------------------------------------------------------

TEST(GuidText, PrintsAndParses)
{
    EXPECT_EQ(UNASSIGNED_P2PNET_GUID.ToString(), "UNASSIGNED_P2PNET_GUID");
    EXPECT_EQ(P2PNetGUID(12345).ToString(), "12345");
    EXPECT_EQ(P2PNetGUID(0).ToString(), "0");
    EXPECT_EQ(P2PNetGUID(0xFFFFFFFFFFFFFFFEull).ToString(), "18446744073709551614");
    P2PNetGUID g;
    ASSERT_TRUE(g.FromText("18446744073709551614"));
    EXPECT_EQ(g.g, 0xFFFFFFFFFFFFFFFEull);
    ASSERT_TRUE(g.FromText("UNASSIGNED_P2PNET_GUID"));
    EXPECT_TRUE(g.IsUnassigned());
    for (const char* bad : {"", "18446744073709551616", "12a", "-1", " 1"}) {
        P2PNetGUID keep(42);
        EXPECT_FALSE(keep.FromText(bad)) << bad;
        EXPECT_EQ(keep.g, 42u);
    }
    char small[5];
    EXPECT_STREQ(P2PNetGUID(123456).ToText(small, sizeof small), "");
    char fits[P2PNetGUID::kGuidTextSize];
    EXPECT_STREQ(P2PNetGUID(0xFFFFFFFFFFFFFFFEull).ToText(fits), "18446744073709551614");
    EXPECT_STREQ(UNASSIGNED_P2PNET_GUID.ToText(fits), "UNASSIGNED_P2PNET_GUID");
}

TEST(GuidIdentity, EqualityAndOrderOnValueOnly)
{
    P2PNetGUID a(5);
    P2PNetGUID b(5);
    b.systemIndex = 3;
    EXPECT_EQ(a, b);
    EXPECT_TRUE(P2PNetGUID(1) < P2PNetGUID(0x8000000000000000ull));
    EXPECT_NE(P2PNetGUID(0x100000000ull), P2PNetGUID(1));
}

TEST(GuidWire, U64BigEndianRoundTrip)
{
    BitStream s;
    s.WriteBit(true);
    P2PNetGUID(0x0102030405060708ull).Serialize(s);
    s.IgnoreBits(1);
    P2PNetGUID back;
    ASSERT_TRUE(back.Deserialize(s));
    EXPECT_EQ(back.g, 0x0102030405060708ull);
    P2PNetGUID none(7);
    EXPECT_FALSE(none.Deserialize(s));
    EXPECT_EQ(none.g, 7u);
}

TEST(MakeGuid, DistinctEvenWhenMadeBackToBack)
{
    std::set<uint64_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const P2PNetGUID g = P2PNet::MakeGuid();
        EXPECT_NE(g.g, 0u);
        EXPECT_FALSE(g.IsUnassigned());
        seen.insert(g.g);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

} // namespace
