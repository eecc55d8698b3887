// NAT type detection client over real UDP on loopback. A plain peer stands in for the detection
// server: the test code plays its part by hand (reading the start request, sending test requests
// and verdicts, and reaching the client's test socket with a platform UDP socket).
#include "NatTypeDetectionClient.h"

#include "BsdSocket.h"
#include "MessageIdentifiers.h"
#include "support/PunchRecorders.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <vector>

using namespace P2PNet;
using punchtest::connectTo;
using punchtest::kIPv4Loopback;
using punchtest::kIPv6Loopback;
using punchtest::Received;
using punchtest::TestPeer;
using punchtest::waitUntil;

namespace {

constexpr uint8_t kMarker = 201;

class NatTypeFixture : public ::testing::Test {
protected:
    NatTypeFixture() : detector(client.add<NatTypeDetectionClient>())
    {
        server.startPump();
        client.startPump();
    }
    void SetUp() override { ASSERT_TRUE(server.started() && client.started() && connectTo(client, server)); }

    // Starts a detection and checks the start request the server gets: [97][bit 1][u16 port].
    void StartAndCheckRequest()
    {
        ASSERT_TRUE(detector.StartDetection(server.address()));
        const SystemAddress testSocket = detector.GetTestSocketAddress();
        ASSERT_FALSE(testSocket.IsUnassigned());
        Received request;
        ASSERT_TRUE(server.sawId(ID_NAT_TYPE_TEST, &request));
        BitStream in(request.data.data(), static_cast<uint32_t>(request.data.size()), false);
        uint8_t id = 0;
        bool start = false;
        uint16_t port = 0;
        ASSERT_TRUE(in.ReadU8(id) && in.ReadBit(start) && in.ReadU16(port));
        EXPECT_TRUE(start);
        EXPECT_EQ(port, testSocket.GetPort());
    }

    // The [97][bit 0] "test over" notice at the server, after the start request.
    bool ServerGotEndNotice()
    {
        return server.saw(
            [](const Received& r) { return r.id() == ID_NAT_TYPE_TEST && r.data.size() == 2 && r.data[1] == 0; });
    }

    void ExpectVerdict(uint8_t natType)
    {
        Received verdict;
        ASSERT_TRUE(client.sawId(ID_NAT_TYPE_RESULT, &verdict));
        EXPECT_TRUE(verdict.generatedLocally);
        ASSERT_EQ(verdict.data.size(), 3u);
        EXPECT_EQ(verdict.data[1], natType);
        EXPECT_EQ(verdict.address, server.address());
        EXPECT_EQ(verdict.guid, server.guid());
        EXPECT_TRUE(waitUntil([&] { return !detector.IsDetecting(); }));
        EXPECT_TRUE(detector.GetTestSocketAddress().IsUnassigned());
    }

    TestPeer server{kIPv4Loopback};
    TestPeer client{kIPv4Loopback};
    NatTypeDetectionClient& detector;
};

TEST_F(NatTypeFixture, IdleClientPassesVerdictsAndTestRequestsOn)
{
    ASSERT_TRUE(server.sendBytes({ID_NAT_TYPE_RESULT, 3}, PeerTarget(client.guid())));
    Received passed;
    ASSERT_TRUE(client.sawId(ID_NAT_TYPE_RESULT, &passed));
    EXPECT_FALSE(passed.generatedLocally);
    EXPECT_EQ(passed.data, (std::vector<uint8_t>{ID_NAT_TYPE_RESULT, 3}));

    ASSERT_TRUE(server.sendBytes({ID_NAT_TYPE_TEST, 1, 2}, PeerTarget(client.guid())));
    EXPECT_TRUE(client.sawId(ID_NAT_TYPE_TEST));
    EXPECT_FALSE(detector.IsDetecting());
}

TEST_F(NatTypeFixture, ServerVerdictBecomesALocalPacketAndEndsTheTest)
{
    StartAndCheckRequest();
    ASSERT_TRUE(server.sendBytes({ID_NAT_TYPE_RESULT, 3}, PeerTarget(client.guid())));
    ExpectVerdict(3);
    EXPECT_TRUE(ServerGotEndNotice());
    EXPECT_EQ(client.countId(ID_NAT_TYPE_RESULT), 1u) << "the network's verdict itself is consumed";
}

TEST_F(NatTypeFixture, ReachingTheTestSocketReportsType0)
{
    StartAndCheckRequest();
    const SystemAddress testSocket = detector.GetTestSocketAddress();

    // The server asks the client to send [97][3][B] to A (here: the server itself), naming B.
    BitStream request;
    request.WriteU8(ID_NAT_TYPE_TEST);
    server.address().Serialize(request);
    testSocket.Serialize(request);
    ASSERT_TRUE(server.sendStream(request, PeerTarget(client.guid())));

    Received forwarded;
    ASSERT_TRUE(server.saw(
        [](const Received& r) { return r.id() == ID_OUT_OF_BAND && r.data.size() > 2 && r.data[1] == ID_NAT_TYPE_TEST; },
        &forwarded));
    EXPECT_EQ(forwarded.guid, client.guid());
    BitStream in(forwarded.data.data(), static_cast<uint32_t>(forwarded.data.size()), false);
    uint8_t id = 0;
    uint8_t sub = 0;
    uint8_t forward = 0;
    SystemAddress named;
    ASSERT_TRUE(in.ReadU8(id) && in.ReadU8(sub) && in.ReadU8(forward) && named.Deserialize(in));
    EXPECT_EQ(forward, kNatTypeTestForward);
    ASSERT_EQ(named, testSocket);

    // Whoever was named reaches B with the one-byte 0.
    platform::UdpSocket helper;
    ASSERT_EQ(helper.open(platform::AddressFamily::IPv4), platform::NetError::None);
    ASSERT_EQ(helper.bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
    const uint8_t zero = 0;
    ASSERT_EQ(helper.sendTo(&zero, 1, ToNetAddress(named)), 1);

    ExpectVerdict(kNatTypeReachable);
    EXPECT_TRUE(ServerGotEndNotice());
}

struct OutOfBandVerdict {
    const char* name;
    uint8_t sub;
    uint8_t natType;
};

class NatTypeOutOfBand : public NatTypeFixture, public ::testing::WithParamInterface<OutOfBandVerdict> {};

TEST_P(NatTypeOutOfBand, VerdictOutOfBandIsTaken)
{
    StartAndCheckRequest();
    const uint8_t bytes[2] = {GetParam().sub, GetParam().natType};
    ASSERT_TRUE(server.peer().SendRawTo(client.address(), reinterpret_cast<const char*>(bytes), 2));
    ExpectVerdict(GetParam().natType);
    EXPECT_EQ(client.countId(ID_OUT_OF_BAND), 0u) << "the out-of-band verdict is consumed";
    if (GetParam().natType != kNatTypeNoEndNotice) {
        EXPECT_TRUE(ServerGotEndNotice());
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, NatTypeOutOfBand,
                         ::testing::Values(OutOfBandVerdict{"sub98_type4_no_end_notice", ID_NAT_TYPE_RESULT, 4},
                                           OutOfBandVerdict{"sub2_type1", 2, 1}),
                         [](const ::testing::TestParamInfo<OutOfBandVerdict>& paramInfo) { return paramInfo.param.name; });

TEST_F(NatTypeFixture, LosingTheServerEndsTheTest)
{
    StartAndCheckRequest();
    server.peer().DropConnection(PeerTarget(client.guid()), true);
    EXPECT_TRUE(waitUntil([&] { return !detector.IsDetecting(); }));
    EXPECT_TRUE(detector.GetTestSocketAddress().IsUnassigned());
    EXPECT_EQ(client.countId(ID_NAT_TYPE_RESULT), 0u);
}

TEST_F(NatTypeFixture, ShortTestRequestIsDroppedAndTheTestGoesOn)
{
    StartAndCheckRequest();
    ASSERT_TRUE(server.sendBytes({ID_NAT_TYPE_TEST, 4, 1, 2}, PeerTarget(client.guid())));
    ASSERT_TRUE(server.sendBytes({kMarker}, PeerTarget(client.guid())));
    ASSERT_TRUE(client.sawId(kMarker));
    EXPECT_EQ(detector.MalformedCount(), 1u);
    EXPECT_TRUE(detector.IsDetecting());
    EXPECT_EQ(client.countId(ID_NAT_TYPE_TEST), 0u);
}

TEST_F(NatTypeFixture, StartIsRefusedWithoutServerOrWhileRunning)
{
    EXPECT_FALSE(detector.StartDetection(UNASSIGNED_SYSTEM_ADDRESS));
    ASSERT_TRUE(detector.StartDetection(server.address()));
    EXPECT_FALSE(detector.StartDetection(server.address()));
    detector.EndDetection();
    EXPECT_FALSE(detector.IsDetecting());
    EXPECT_TRUE(detector.StartDetection(server.address()));
}

} // namespace
