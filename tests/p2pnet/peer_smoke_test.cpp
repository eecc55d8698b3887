// The peer over real UDP on 127.0.0.1: the offline classifier, MTU choice and ping ring, start
// and restart, the bounds of its two queues, and a raw socket playing a remote peer to check the
// offline handshake answers byte by byte. Two real peers talking to each other are the peer-link
// tests' business.
#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "PacketQueue.h"
#include "PeerUtils.h"
#include "ReceiveBuffers.h"
#include "ReliabilityLayer.h"
#include "TestPeer.h"
#include "UdpSocket.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace P2PNet {
namespace {

using lumora::test::Received;
using lumora::test::TestPeer;
using lumora::test::waitUntil;

// A peer on 127.0.0.1 whose connections may all be incoming ones.
constexpr lumora::test::Bind Loopback(unsigned connections)
{
    return {kWireFamilyIPv4, "127.0.0.1", connections, static_cast<uint16_t>(connections)};
}

// A raw UDP socket on 127.0.0.1 that plays a remote peer.
class RawRemote {
public:
    explicit RawRemote(uint64_t guid) : m_guid(guid)
    {
        EXPECT_EQ(m_socket.open(platform::AddressFamily::IPv4), platform::NetError::None);
        EXPECT_EQ(m_socket.bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
        EXPECT_EQ(m_socket.setNonBlocking(true), platform::NetError::None);
        platform::NetAddress local;
        m_socket.localAddress(local);
        m_address = SystemAddress::FromIPv4(127, 0, 0, 1, local.port);
    }

    void SendTo(const SystemAddress& peer, const BitStream& message)
    {
        SendTo(peer, message.GetData(), message.GetNumberOfBytesUsed());
    }
    void SendTo(const SystemAddress& peer, const uint8_t* data, std::size_t length)
    {
        ASSERT_GE(m_socket.sendTo(data, length, platform::NetAddress::ipv4Loopback(peer.GetPort())), 0);
    }

    // The next datagram, or an empty vector at the deadline.
    std::vector<uint8_t> Next()
    {
        std::vector<uint8_t> datagram;
        waitUntil([&] {
            uint8_t buffer[1500];
            platform::NetAddress from;
            const int n = m_socket.receiveFrom(buffer, sizeof buffer, from);
            if (n > 0)
                datagram.assign(buffer, buffer + n);
            return n > 0;
        });
        return datagram;
    }

    uint64_t Guid() const { return m_guid; }
    const SystemAddress& Address() const { return m_address; }

    // The open request (5) and its answer (6) that let this remote's confirmation take a slot.
    void Open(const SystemAddress& peer, uint64_t guid);
    void Open(const SystemAddress& peer) { Open(peer, m_guid); }

private:
    platform::UdpSocket m_socket;
    uint64_t m_guid;
    SystemAddress m_address;
};

BitStream OfflinePing(uint64_t guid, uint64_t timeMs, const std::string& trailer = {})
{
    BitStream out;
    out.WriteU8(ID_OFFLINE_PING);
    out.WriteU64(timeMs);
    out.WriteU64(guid);
    out.WriteBytesAligned(kOfflineMarker, 16);
    if (!trailer.empty())
        out.WriteBytes(trailer.data(), static_cast<uint32_t>(trailer.size()));
    return out;
}

BitStream OpenRequest(uint64_t guid, uint8_t version, unsigned paddedLength)
{
    BitStream out;
    out.WriteU8(ID_OPEN_REQUEST);
    out.WriteBytesAligned(kOfflineMarker, 8);
    uint8_t token[8];
    ComputeHandshakeToken(guid, token);
    out.WriteBytes(token, 8);
    out.WriteU8(version);
    out.WriteU64(guid);
    out.PadToByteLength(paddedLength);
    return out;
}

BitStream OpenConfirm(uint64_t guid, const SystemAddress& peer, uint16_t mtu)
{
    BitStream out;
    out.WriteU8(ID_OPEN_CONFIRM);
    out.WriteBytesAligned(kOfflineMarker, 16);
    peer.Serialize(out);
    out.WriteU16(mtu);
    out.WriteU64(guid);
    return out;
}

void RawRemote::Open(const SystemAddress& peer, uint64_t guid)
{
    SendTo(peer, OpenRequest(guid, kPeerProtocolVersion, 540));
    const std::vector<uint8_t> reply = Next();
    ASSERT_FALSE(reply.empty());
    ASSERT_EQ(reply[0], ID_OPEN_REPLY);
}

uint64_t GuidAt(const std::vector<uint8_t>& data, unsigned offset)
{
    uint64_t g = 0;
    for (unsigned i = 0; i < 8; ++i)
        g = (g << 8) | data.at(offset + i);
    return g;
}

// ---- Pure functions ----------------------------------------------------------------------------

struct ClassifyCase {
    const char* name;
    std::vector<uint8_t> data;
    OfflineClass expected;
};

std::vector<uint8_t> WithMarker(uint8_t id, unsigned markerOffset, unsigned length, unsigned markerBytes = 16)
{
    std::vector<uint8_t> data(length, 0);
    data[0] = id;
    for (unsigned i = 0; i < markerBytes && markerOffset + i < length; ++i)
        data[markerOffset + i] = kOfflineMarker[i];
    return data;
}

TEST(OfflineClassifier, TableOfIdsLengthsAndMarkers)
{
    const std::vector<ClassifyCase> cases = {
        {"empty", {}, OfflineClass::TooShort},
        {"two bytes", {ID_OFFLINE_PING, 0}, OfflineClass::TooShort},
        {"probe", {ID_PROBE}, OfflineClass::NotOffline},
        {"probe reply", {ID_PROBE_REPLY, 1, 2, 3}, OfflineClass::NotOffline},
        {"ping", WithMarker(ID_OFFLINE_PING, 17, 33), OfflineClass::Offline},
        {"ping open", WithMarker(ID_OFFLINE_PING_OPEN, 17, 40), OfflineClass::Offline},
        // The marker must lie inside the datagram: 25 to 32 bytes cannot hold it at offset 17.
        {"ping cut in the marker", WithMarker(ID_OFFLINE_PING, 17, 30), OfflineClass::NotOffline},
        {"ping wrong marker", WithMarker(ID_OFFLINE_PING, 16, 40), OfflineClass::NotOffline},
        {"pong", WithMarker(ID_OFFLINE_PONG, 17, 33), OfflineClass::Offline},
        {"out of band", WithMarker(ID_OUT_OF_BAND, 9, 25), OfflineClass::Offline},
        {"out of band short", WithMarker(ID_OUT_OF_BAND, 9, 24), OfflineClass::NotOffline},
        {"open request, half marker", WithMarker(ID_OPEN_REQUEST, 1, 26, 8), OfflineClass::Offline},
        {"open request 24 bytes", WithMarker(ID_OPEN_REQUEST, 1, 24, 8), OfflineClass::NotOffline},
        {"open reply", WithMarker(ID_OPEN_REPLY, 1, 28), OfflineClass::Offline},
        {"already joined", WithMarker(ID_ALREADY_JOINED, 1, 25), OfflineClass::Offline},
        {"no free slots", WithMarker(ID_NO_FREE_SLOTS, 1, 25), OfflineClass::Offline},
        {"protocol mismatch 26", WithMarker(ID_PROTOCOL_MISMATCH, 2, 26), OfflineClass::Offline},
        {"protocol mismatch 27", WithMarker(ID_PROTOCOL_MISMATCH, 2, 27), OfflineClass::NotOffline},
        {"connected ping", {ID_PEER_PING, 0x12, 0x34}, OfflineClass::NotOffline},
        {"user data", WithMarker(0x88, 1, 40), OfflineClass::NotOffline},
        {"join request over the wire", WithMarker(ID_JOIN_REQUEST, 1, 40), OfflineClass::NotOffline},
    };
    for (const ClassifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ClassifyOfflineMessage(c.data.empty() ? nullptr : c.data.data(),
                                         static_cast<unsigned>(c.data.size())),
                  c.expected);
    }
}

TEST(MtuChoice, ThirdsOfTheAttemptsPerMtuEvenWithFewAttempts)
{
    struct Case {
        unsigned requestsMade, attempts, mtu;
    };
    // Fewer than 3 attempts used to divide by zero; each MTU then gets one attempt.
    const Case cases[] = {
        {0, 12, 1472}, {3, 12, 1472}, {4, 12, 1200}, {8, 12, 576}, {12, 12, 576},
        {0, 1, 1472}, {1, 1, 1200}, {0, 2, 1472}, {1, 2, 1200}, {2, 2, 576}, {0, 0, 1472}, {5, 0, 576},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.requestsMade << " of " << c.attempts);
        EXPECT_EQ(MtuForRequest(c.requestsMade, c.attempts), c.mtu);
    }
    const unsigned clamp[][2] = {{0, 576}, {100, 576}, {576, 576}, {1200, 1200}, {1472, 1472}, {1473, 1472}, {65535, 1472}};
    for (const auto& c : clamp)
        EXPECT_EQ(ClampRemoteMtu(c[0]), c[1]) << c[0];
}

TEST(RemoteSystemPings, RingLowestAndWidening)
{
    RemoteSystem remote;
    remote.ClearPings();
    EXPECT_EQ(remote.AveragePing(), -1);
    remote.OnPong(1000, 5000, 1000);  // ping time = now: ping 0
    EXPECT_EQ(remote.lowestPing, 0);
    EXPECT_EQ(remote.ClockOffset(), 5000 - 1000);
    for (int i = 1; i <= 5; ++i)
        remote.OnPong(1000, 0, 1000 + 10 * i);
    // Six pongs: the ring of five started over at its first entry.
    EXPECT_EQ(remote.pingRingIndex, 1u);
    EXPECT_EQ(remote.LatestPing(), 50);
    EXPECT_EQ(remote.AveragePing(), (50 + 10 + 20 + 30 + 40) / 5);

    EXPECT_EQ(WidenPingTime(0x12345678, 0x5600), 0x12345600u);
    EXPECT_EQ(WidenPingTime(0x12345678, 0x6000), 0x12346000u - 0x10000u);
    EXPECT_EQ(WidenPongTime(0x12345678, 0x5600), 0x12345600u + 0x10000u);
    EXPECT_EQ(WidenPongTime(0x12345678, 0x6000), 0x12346000u);
}

TEST(PeerLifecycle, StartResultsAndRestartsUnderTraffic)
{
    P2PPeer peer;
    SocketSpec spec;
    std::strcpy(spec.host, "127.0.0.1");
    EXPECT_EQ(peer.Start(0, &spec, 1, 0), StartResult::InvalidMaxConnections);
    EXPECT_EQ(peer.Start(2, nullptr, 1, 0), StartResult::InvalidSocketSpecs);

    // Start and stop again and again while another peer keeps pinging: a socket must never be
    // deleted while its receive thread may still hand it a datagram.
    TestPeer pinger{Loopback(4)};
    ASSERT_TRUE(pinger.started());
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(peer.Start(2 + round % 3, &spec, 1, 0), StartResult::Started);
        EXPECT_EQ(peer.Start(2, &spec, 1, 0), StartResult::AlreadyStarted);
        EXPECT_EQ(peer.GetSlotCount(), 2u + round % 3);
        const uint16_t port = peer.GetBoundAddress(0).GetPort();
        for (int i = 0; i < 20; ++i)
            pinger->PingHost("127.0.0.1", port, false);
        peer.Stop(0);
        EXPECT_FALSE(peer.IsRunning());
        EXPECT_EQ(peer.Connect(pinger->GetBoundAddress(0), nullptr, 0), ConnectResult::InvalidParameter);
    }
}

// ---- A raw socket as the remote peer -----------------------------------------------------------

class RawHandshake : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_peer.start(Loopback(2)), StartResult::Started);
        m_address = m_peer->GetBoundAddress(0);
    }

    TestPeer m_peer;
    SystemAddress m_address;
};

TEST_F(RawHandshake, PingIsAnsweredAndReachesTheApplication)
{
    RawRemote remote(0x1111222233334444ull);
    m_peer->SetOfflineReply("who", 3);
    remote.SendTo(m_address, OfflinePing(remote.Guid(), 0x0102030405060708ull));

    const std::vector<uint8_t> pong = remote.Next();
    ASSERT_EQ(pong.size(), 33u + 3u);
    EXPECT_EQ(pong[0], ID_OFFLINE_PONG);
    EXPECT_EQ(GuidAt(pong, 1), 0x0102030405060708ull);  // the ping's time, echoed
    EXPECT_EQ(GuidAt(pong, 9), m_peer->GetOwnGuid().g);
    EXPECT_EQ(std::memcmp(pong.data() + 17, kOfflineMarker, 16), 0);
    EXPECT_EQ(std::string(pong.begin() + 33, pong.end()), "who");

    // A ping of exactly 33 bytes reaches the application as the id and the low 32 time bits.
    std::optional<Received> ping = m_peer.take({ID_OFFLINE_PING});
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->data, (std::vector<uint8_t>{ID_OFFLINE_PING, 0x05, 0x06, 0x07, 0x08}));
    EXPECT_EQ(ping->guid.g, remote.Guid());
}

TEST_F(RawHandshake, OpenRequestAnswers)
{
    RawRemote remote(0x0123456789ABCDEFull);
    // Wrong version: 25, even though the token is right.
    remote.SendTo(m_address, OpenRequest(remote.Guid(), 7, 540));
    std::vector<uint8_t> answer = remote.Next();
    ASSERT_EQ(answer.size(), 26u);
    EXPECT_EQ(answer[0], ID_PROTOCOL_MISMATCH);
    EXPECT_EQ(answer[1], kPeerProtocolVersion);
    EXPECT_EQ(GuidAt(answer, 18), m_peer->GetOwnGuid().g);

    // A 25-byte request would have its GUID read past its end: dropped. A wrong token: dropped.
    // The ping behind them is answered first, so neither was.
    BitStream cut = OpenRequest(remote.Guid(), 8, 0);
    remote.SendTo(m_address, cut.GetData(), 25);
    BitStream forged = OpenRequest(remote.Guid() + 1, 8, 540);
    forged.GetWritableData()[9] ^= 0xFF;
    remote.SendTo(m_address, forged);
    remote.SendTo(m_address, OfflinePing(remote.Guid(), 1));
    answer = remote.Next();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], ID_OFFLINE_PONG);

    // A good request: 6 with the responder's GUID and the request's length plus 28.
    remote.SendTo(m_address, OpenRequest(remote.Guid(), 8, 540));
    answer = remote.Next();
    ASSERT_EQ(answer.size(), 28u);
    EXPECT_EQ(answer[0], ID_OPEN_REPLY);
    EXPECT_EQ(GuidAt(answer, 17), m_peer->GetOwnGuid().g);
    EXPECT_EQ(answer[25], 0);
    EXPECT_EQ((answer[26] << 8) | answer[27], 540 + 28);
}

TEST_F(RawHandshake, MtuFromTheRemoteIsClamped)
{
    struct Case {
        uint64_t guid;
        uint16_t offered;
        uint16_t taken;
    };
    const Case cases[] = {{0xA1, 60000, 1472}, {0xA2, 100, 576}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offered);
        RawRemote remote(c.guid);
        ASSERT_NO_FATAL_FAILURE(remote.Open(m_address));
        remote.SendTo(m_address, OpenConfirm(c.guid, m_address, c.offered));
        const std::vector<uint8_t> answer = remote.Next();
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ(answer[0], ID_OPEN_CONFIRM_REPLY);
        BitStream in(answer.data(), static_cast<uint32_t>(answer.size()), false);
        in.IgnoreBits(8 * 17);
        uint64_t guid = 0;
        SystemAddress seenAs;
        uint16_t mtu = 0;
        ASSERT_TRUE(in.ReadU64(guid) && seenAs.Deserialize(in) && in.ReadU16(mtu));
        EXPECT_EQ(guid, m_peer->GetOwnGuid().g);
        EXPECT_EQ(seenAs, remote.Address());
        EXPECT_EQ(mtu, c.taken);
        EXPECT_TRUE(waitUntil([&] { return m_peer->MtuOf(remote.Address()) == c.taken; }));
    }
}

TEST_F(RawHandshake, SecondConfirmWhileWaitingIsAnsweredAgainAndFullTableRefuses)
{
    RawRemote first(0xB1);
    RawRemote second(0xB2);
    RawRemote third(0xB3);
    ASSERT_NO_FATAL_FAILURE(first.Open(m_address));
    ASSERT_NO_FATAL_FAILURE(second.Open(m_address));
    ASSERT_NO_FATAL_FAILURE(third.Open(m_address));
    first.SendTo(m_address, OpenConfirm(first.Guid(), m_address, 1200));
    ASSERT_EQ(first.Next().at(0), ID_OPEN_CONFIRM_REPLY);
    // The same requester again, its slot still waiting for 9: 8 again, not 18.
    first.SendTo(m_address, OpenConfirm(first.Guid(), m_address, 1200));
    ASSERT_EQ(first.Next().at(0), ID_OPEN_CONFIRM_REPLY);
    // Another address with the first one's GUID: 18.
    second.SendTo(m_address, OpenConfirm(first.Guid(), m_address, 1200));
    ASSERT_EQ(second.Next().at(0), ID_ALREADY_JOINED);
    second.SendTo(m_address, OpenConfirm(second.Guid(), m_address, 1200));
    ASSERT_EQ(second.Next().at(0), ID_OPEN_CONFIRM_REPLY);
    // Both slots are taken by unfinished connections while no incoming one is connected: the
    // third requester gets "no free slots", not an acceptance without a slot.
    third.SendTo(m_address, OpenConfirm(third.Guid(), m_address, 1200));
    const std::vector<uint8_t> refusal = third.Next();
    ASSERT_EQ(refusal.size(), 25u);
    EXPECT_EQ(refusal[0], ID_NO_FREE_SLOTS);
    EXPECT_EQ(GuidAt(refusal, 17), m_peer->GetOwnGuid().g);
}

// Anything but the connection request on a slot that waits for it: the slot goes, and nothing is
// banned (the sender may be forged; a ban would cut off every link from its IP address).
TEST_F(RawHandshake, UnverifiedSenderOfUserDataIsDroppedWithoutABan)
{
    m_peer->SetLinkTimeout(300, UNASSIGNED_SYSTEM_ADDRESS);
    RawRemote remote(0xD1);
    ASSERT_NO_FATAL_FAILURE(remote.Open(m_address));
    remote.SendTo(m_address, OpenConfirm(remote.Guid(), m_address, 1200));
    ASSERT_EQ(remote.Next().at(0), ID_OPEN_CONFIRM_REPLY);

    // A user message over a reliability layer of our own instead of the connection request.
    ReliabilityLayer layer(1200 - 28, NowMicros());
    const SystemAddress peer = m_address;
    DatagramSender send = [&](const uint8_t* data, uint32_t length) { remote.SendTo(peer, data, length); };
    const uint8_t user[3] = {0x88, 1, 2};
    ASSERT_TRUE(layer.Send(user, 24, SendPriority::Immediate, ReliabilityKind::Reliable, 0, NowMicros()));
    layer.Update(peer, send, NowMicros(), 0, {});

    EXPECT_TRUE(waitUntil([&] {
        return m_peer->QueryLinkState(PeerTarget(remote.Address())) != LinkState::Connecting;
    }));
    char ip[kAddressTextSize];
    remote.Address().ToText(false, ip, sizeof ip);
    EXPECT_FALSE(m_peer->IsAddressBanned(ip));
    remote.SendTo(m_address, OfflinePing(remote.Guid(), 1));
    std::vector<uint8_t> answer = remote.Next();
    while (!answer.empty() && answer[0] != ID_OFFLINE_PONG && answer[0] != ID_PEER_BANNED)
        answer = remote.Next();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], ID_OFFLINE_PONG);
}

// A confirmation from an address whose open request was not answered takes no slot and gets no
// answer: the ping sent after it is answered first and alone.
TEST_F(RawHandshake, ConfirmWithoutAnAnsweredRequestTakesNoSlot)
{
    RawRemote remote(0xE1);
    remote.SendTo(m_address, OpenConfirm(remote.Guid(), m_address, 1200));
    remote.SendTo(m_address, OfflinePing(remote.Guid(), 1));
    const std::vector<uint8_t> answer = remote.Next();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], ID_OFFLINE_PONG);
    EXPECT_EQ(m_peer->QueryLinkState(PeerTarget(remote.Address())), LinkState::NotConnected);
}

// One IP address holds at most four slots that wait for their connection request; a further
// confirmation from it takes the place of the one that has waited longest, so that hostile
// handshakes from an IP address cannot keep a genuine peer on it (behind the same NAT, or on the
// loopback) out.
TEST(RawHandshakeLimits, UnverifiedSlotsPerAddressAreCapped)
{
    TestPeer peer{Loopback(8)};
    ASSERT_TRUE(peer.started());
    const SystemAddress address = peer->GetBoundAddress(0);
    std::vector<std::unique_ptr<RawRemote>> remotes;
    for (uint64_t guid = 0xF1; guid < 0xF7; ++guid) {
        remotes.push_back(std::make_unique<RawRemote>(guid));
        RawRemote& remote = *remotes.back();
        ASSERT_NO_FATAL_FAILURE(remote.Open(address));
        remote.SendTo(address, OpenConfirm(guid, address, 1200));
        const std::vector<uint8_t> answer = remote.Next();
        ASSERT_FALSE(answer.empty()) << std::hex << guid;
        EXPECT_EQ(answer[0], ID_OPEN_CONFIRM_REPLY) << std::hex << guid;
    }
    unsigned waiting = 0;
    for (const auto& remote : remotes)
        if (peer->QueryLinkState(PeerTarget(remote->Address())) == LinkState::Connecting)
            ++waiting;
    EXPECT_EQ(waiting, kUnverifiedPerAddress);
    EXPECT_EQ(peer->QueryLinkState(PeerTarget(remotes.back()->Address())), LinkState::Connecting);
    EXPECT_NE(peer->QueryLinkState(PeerTarget(remotes.front()->Address())), LinkState::Connecting);
}

// Handshakes that stop after their confirmation hold every slot that one IP address may have
// waiting; a genuine peer on that IP address (the loopback here, a shared NAT elsewhere) still
// connects, at its first attempt: the next attempt would come only after a minute.
TEST(RawHandshakeLimits, GenuinePeerConnectsPastHalfOpenSlotsOfItsAddress)
{
    TestPeer responder{Loopback(8)};
    TestPeer requester{Loopback(2)};
    ASSERT_TRUE(responder.started() && requester.started());
    const SystemAddress address = responder.address();
    std::vector<std::unique_ptr<RawRemote>> halfOpen;
    for (uint64_t guid = 0xA01; guid < 0xA01 + kUnverifiedPerAddress; ++guid) {
        halfOpen.push_back(std::make_unique<RawRemote>(guid));
        ASSERT_NO_FATAL_FAILURE(halfOpen.back()->Open(address));
        halfOpen.back()->SendTo(address, OpenConfirm(guid, address, 1200));
        ASSERT_EQ(halfOpen.back()->Next().at(0), ID_OPEN_CONFIRM_REPLY);
    }
    ASSERT_EQ(requester->Connect(address, nullptr, 0, nullptr, 0, 3, 60000), ConnectResult::AttemptStarted);
    EXPECT_TRUE(requester.sawId(ID_JOIN_ACCEPTED));
    EXPECT_EQ(requester.countId(ID_JOIN_FAILED), 0u);
}

TEST_F(RawHandshake, BannedAddressGetsBannedWhateverItSends)
{
    RawRemote remote(0xC1);
    m_peer->BanAddress("127.0.*", 0);
    const uint8_t junk[3] = {0x42, 0x42, 0x42};
    remote.SendTo(m_address, junk, sizeof junk);
    const std::vector<uint8_t> answer = remote.Next();
    ASSERT_EQ(answer.size(), 25u);
    EXPECT_EQ(answer[0], ID_PEER_BANNED);
    EXPECT_EQ(std::memcmp(answer.data() + 1, kOfflineMarker, 16), 0);
    EXPECT_EQ(GuidAt(answer, 17), m_peer->GetOwnGuid().g);
}

TEST(BanList, PatternsExpiryAndLimits)
{
    P2PPeer peer;
    peer.BanAddress("10.0.*", 0);
    EXPECT_TRUE(peer.IsAddressBanned("10.0.3.4"));
    EXPECT_FALSE(peer.IsAddressBanned("10.1.3.4"));
    // Mapped and IPv6 texts are longer than 15 characters and can be banned; a text longer than
    // any address text is refused.
    peer.BanAddress("::ffff:10.9.8.7", 0);
    EXPECT_TRUE(peer.IsAddressBanned("::ffff:10.9.8.7"));
    peer.BanAddress("fd00:1234:5678:9abc:def0:1234:5678:*", 0);
    EXPECT_TRUE(peer.IsAddressBanned("fd00:1234:5678:9abc:def0:1234:5678:9abc"));
    const std::string tooLong(kMaxHostTextLength + 1, '7');
    peer.BanAddress(tooLong.c_str(), 0);
    EXPECT_FALSE(peer.IsAddressBanned(tooLong.c_str()));
    peer.BanAddress("192.168.1.7", 50);
    EXPECT_TRUE(peer.IsAddressBanned("192.168.1.7"));
    EXPECT_TRUE(waitUntil([&] { return !peer.IsAddressBanned("192.168.1.7"); }));
    peer.UnbanAddress("10.0.*");
    EXPECT_FALSE(peer.IsAddressBanned("10.0.3.4"));
}

// ---- The peer's queues ----------------------------------------------------------------------------

TEST(ReceiveBuffers, AFloodBeyondTheQueueIsDroppedAndCountedTheRestComesOutOldestFirst)
{
    ReceiveBuffers buffers;
    std::vector<RecvBuffer*> filled;
    for (std::size_t i = 0; i < ReceiveBuffers::kMaxQueued + 3; ++i) {
        filled.push_back(buffers.Take());
        filled.back()->byteCount = static_cast<int32_t>(i);
    }
    // Only the first datagram of a burst asks for the update thread to be woken.
    EXPECT_TRUE(buffers.Queue(filled.data(), 1));
    EXPECT_FALSE(buffers.Queue(filled.data() + 1, static_cast<int>(filled.size() - 1)));
    EXPECT_EQ(buffers.Dropped(), 3u);
    for (std::size_t i = 0; i < ReceiveBuffers::kMaxQueued; ++i) {
        RecvBuffer* buffer = buffers.Pop();
        ASSERT_NE(buffer, nullptr);
        ASSERT_EQ(buffer->byteCount, static_cast<int32_t>(i));
        buffers.Return(buffer);
    }
    EXPECT_EQ(buffers.Pop(), nullptr);
    // A stop puts what still waits back unread.
    RecvBuffer* late = buffers.Take();
    EXPECT_TRUE(buffers.Queue(&late, 1));
    buffers.DiscardQueued();
    EXPECT_EQ(buffers.Pop(), nullptr);
}

TEST(PacketQueue, FullAboveItsLimitUntilTakenDownToHalfAndHeadPushesComeFirst)
{
    constexpr unsigned kPacketBytes = 64 * 1024;
    constexpr int kAtLimit = static_cast<int>(PacketQueue::kMaxBytes / kPacketBytes);
    PacketQueue queue;
    for (int i = 0; i < kAtLimit; ++i)
        queue.Push(PacketQueue::Allocate(kPacketBytes), false);
    queue.CheckFull();
    EXPECT_FALSE(queue.IsFull()) << "exactly at the limit is not above it";
    queue.Push(PacketQueue::Allocate(kPacketBytes), false);
    queue.CheckFull();
    EXPECT_TRUE(queue.IsFull());
    EXPECT_EQ(queue.Count(), static_cast<std::size_t>(kAtLimit + 1));

    // Taken out one by one: the queue is free again once half the limit or less is left, and
    // says so exactly once.
    std::vector<int> drainedAt;
    for (int i = 0; i <= kAtLimit; ++i) {
        bool drained = false;
        Packet* packet = queue.Pop(&drained);
        ASSERT_NE(packet, nullptr);
        PacketQueue::Release(packet);
        if (drained)
            drainedAt.push_back(i);
    }
    EXPECT_EQ(drainedAt, std::vector<int>{kAtLimit / 2});
    EXPECT_FALSE(queue.IsFull());

    Packet* tail = PacketQueue::Allocate(1);
    Packet* head = PacketQueue::Allocate(2);
    queue.Push(tail, false);
    queue.Push(head, true);
    bool drained = false;
    EXPECT_EQ(queue.Pop(&drained), head);
    EXPECT_EQ(queue.Pop(&drained), tail);
    EXPECT_EQ(queue.Pop(&drained), nullptr);
    PacketQueue::Release(head);
    PacketQueue::Release(tail);
}

TEST(Receipts, LoopBackToOwnGuidCarriesTheReturnedReceipt)
{
    TestPeer peer{Loopback(4)};
    ASSERT_TRUE(peer.started());
    EXPECT_EQ(peer->TakeReceiptNumber(), 1u);
    const uint8_t data[2] = {0x93, 7};
    const uint32_t receipt = peer->SendBytes(reinterpret_cast<const char*>(data), 2, SendPriority::High,
                                             ReliabilityKind::ReliableWithReceipt, 0,
                                             PeerTarget(peer->GetOwnGuid()), false);
    EXPECT_EQ(receipt, 2u);
    ASSERT_TRUE(peer.take({0x93}));
    std::optional<Received> ack = peer.take({ID_RECEIPT_ACKED});
    ASSERT_TRUE(ack);
    uint32_t number = 0;
    std::memcpy(&number, ack->data.data() + 1, 4);
    EXPECT_EQ(number, receipt);
}

} // namespace
} // namespace P2PNet
