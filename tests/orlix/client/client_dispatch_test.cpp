// The client's message dispatcher without a network: messages are fed to P2PClient::OnMessage as
// the receive thread would, and what the client sends is read from its send tap.
#include "CaseName.h"
#include "ClientWire.h"
#include "MessageIdentifiers.h"
#include "P2PClient.h"
#include "PeerUtils.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using P2PNet::P2PNetGUID;
using P2PNet::SystemAddress;

const SystemAddress kServer = SystemAddress::FromIPv4(127, 0, 0, 1, 9000);
const SystemAddress kServerV6("::1", 9000);
const SystemAddress kStranger = SystemAddress::FromIPv4(127, 0, 0, 9, 9000);
const SystemAddress kDevice = SystemAddress::FromIPv4(127, 0, 0, 2, 4000);

using lumora::test::waitUntil;

class OfflineClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        client.SetSendTap([this](const OutgoingMessage& message) {
            std::lock_guard<std::mutex> lock(mutex);
            sent.push_back(message);
        });
        client.SetServerAddresses(0, kServer, kServerV6);
        client.SetServerState(0, kServerLoggedIn);
    }

    void feed(const ByteWriter& message, const SystemAddress& from, P2PNetGUID guid = P2PNetGUID(500),
              bool local = false)
    {
        IncomingMessage in;
        in.data = message.data().data();
        in.length = message.data().size();
        in.address = from;
        in.guid = guid;
        in.local = local;
        client.OnMessage(in);
    }

    std::vector<OutgoingMessage> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<OutgoingMessage> out;
        out.swap(sent);
        return out;
    }

    // Messages sent whose bytes begin with the given prefix.
    std::vector<OutgoingMessage> sentWith(std::vector<uint8_t> prefix)
    {
        std::vector<OutgoingMessage> out;
        for (const OutgoingMessage& m : taken())
            if (m.bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), m.bytes.begin()))
                out.push_back(m);
        return out;
    }

    static ByteWriter hello(const std::string& target, const std::string& from, uint64_t guid)
    {
        ByteWriter m;
        m.u8(ID_SESSION_CONTROL);
        m.u8(kSessionHello);
        m.string(target);
        m.u32(1);
        m.string(from);
        m.address(kDevice);
        m.u64(guid);
        m.u8(2);
        m.u8(1);
        return m;
    }

    static ByteWriter data(uint8_t channel, const std::string& bytes)
    {
        ByteWriter m;
        m.u8(ID_SESSION_DATA);
        m.u8(channel);
        m.bytes(bytes.data(), bytes.size());
        return m;
    }

    static ByteWriter accepted(const std::string& deviceId, uint64_t guid, uint8_t role)
    {
        ByteWriter m;
        m.u8(ID_SESSION_CONTROL);
        m.u8(kSessionAccepted);
        m.string(deviceId);
        m.u8(0);
        m.u64(guid);
        m.address(kDevice);
        m.u8(role);
        return m;
    }

    static ByteWriter routeOffer(const std::string& deviceId, uint64_t guid, uint8_t natType)
    {
        ByteWriter m;
        m.u8(ID_SESSION_CONTROL);
        m.u8(kRouteOffers);
        m.u8(1);
        m.string(deviceId);
        m.u8(0);
        m.u64(guid);
        m.address(kDevice);
        m.u8(natType);
        return m;
    }

    // Starts a connect for deviceId on another thread and waits until its session connects. The
    // fixture keeps the call: a test that fails early still ends it with the shut-down.
    std::future<int>& connectAsync(const std::string& deviceId, int lanSearch = 0)
    {
        m_connects.push_back(std::async(std::launch::async, [this, deviceId, lanSearch] {
            return client.Connect(deviceId.c_str(), lanSearch);
        }));
        EXPECT_TRUE(waitUntil([&] { return client.SessionCount() > 0 && client.SessionState(handleOf(deviceId)) == 1; }));
        return m_connects.back();
    }

    // Sets the login info; a changed id sends the server back to registering, so it is logged in
    // again here as its login answer would.
    void login(const char* id, const char* password, int mode)
    {
        client.SetLoginInfo(id, password, mode);
        client.SetServerState(0, kServerLoggedIn);
    }

    int handleOf(const std::string& deviceId)
    {
        for (int h = 0; h < 64; ++h)
            if (auto s = client.SessionByHandle(h); s && s->deviceId() == deviceId)
                return h;
        return -1;
    }

    // A device-side session accepted from a hello; returns its handle.
    int acceptSession(const std::string& peerId, uint64_t guid)
    {
        feed(hello(client.OwnId(), peerId, guid), kDevice, P2PNetGUID(guid));
        return client.Listen(nullptr, 0, nullptr);
    }

    void TearDown() override
    {
        client.Shutdown();
        m_connects.clear();
    }

    P2PClient client;
    std::deque<std::future<int>> m_connects;
    std::mutex mutex;
    std::vector<OutgoingMessage> sent;
};

TEST_F(OfflineClient, IdsAndPasswordsKeepAtMost63Characters)
{
    const std::string longId(100, 'x');
    client.SetLoginInfo(longId.c_str(), longId.c_str(), 2);
    EXPECT_EQ(client.OwnId(), std::string(63, 'x'));
    EXPECT_EQ(client.Password(), std::string(63, 'x'));
    EXPECT_EQ(client.Mode(), 2);
    client.SetLoginInfo(nullptr, "ignored", 1);
    EXPECT_EQ(client.Mode(), 1);
    EXPECT_EQ(client.OwnId(), std::string(63, 'x'));
}

TEST_F(OfflineClient, HelloForAnotherIdIsIgnored)
{
    login("cam", "pw", 2);
    feed(hello("other", "phone", 77), kDevice, P2PNetGUID(77));
    EXPECT_EQ(client.SessionCount(), 0u);
    EXPECT_EQ(client.Listen(nullptr, 0, nullptr), -3);
    const int handle = acceptSession("phone", 77);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(client.SessionState(handle), kSessionInUse);
}

TEST_F(OfflineClient, TruncatedHelloChangesNothing)
{
    login("cam", "pw", 2);
    const auto full = hello("cam", "phone", 77).data();
    for (std::size_t cut = 1; cut < full.size(); ++cut) {
        ByteWriter part;
        part.bytes(full.data(), cut);
        feed(part, kDevice, P2PNetGUID(77));
    }
    EXPECT_EQ(client.SessionCount(), 0u);
}

// A device that gets a second hello from the same phone must not keep feeding the first session.
TEST_F(OfflineClient, RepeatedHelloFailsTheStaleSession)
{
    login("cam", "pw", 2);
    const int first = acceptSession("phone", 77);
    const int second = acceptSession("phone", 77);
    ASSERT_GE(first, 0);
    ASSERT_GT(second, first);
    EXPECT_EQ(client.SessionState(first), kSessionFailed);
    EXPECT_EQ(client.SessionError(first), -27);
    EXPECT_TRUE(client.SessionByHandle(first)->remoteGuid().IsUnassigned());
    EXPECT_TRUE(client.SessionByHandle(first)->deviceId().empty());

    feed(data(3, "hello"), kDevice, P2PNetGUID(77));
    uint32_t readable = 0;
    EXPECT_EQ(client.CheckBuffer(second, 3, nullptr, &readable), 0);
    EXPECT_EQ(readable, 5u);
    EXPECT_EQ(client.CheckBuffer(first, 3, nullptr, &readable), -27);
}

TEST_F(OfflineClient, SessionDataOutsideTheChannelsIsDropped)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("phone", 77);
    feed(data(16, "bad"), kDevice, P2PNetGUID(77));
    feed(data(255, "bad"), kDevice, P2PNetGUID(77));
    feed(data(4, ""), kDevice, P2PNetGUID(77)); // exactly 2 bytes
    feed(data(4, "ok"), kDevice, P2PNetGUID(78)); // no session of that GUID
    for (int channel = 0; channel < kChannelCount; ++channel) {
        uint32_t readable = 99;
        ASSERT_EQ(client.CheckBuffer(handle, channel, nullptr, &readable), 0);
        EXPECT_EQ(readable, 0u) << channel;
    }
}

TEST_F(OfflineClient, ReadJoinsAndSplitsMessagesOfAChannel)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("phone", 77);
    feed(data(1, "0123456789"), kDevice, P2PNetGUID(77));
    feed(data(1, "abcdefghij"), kDevice, P2PNetGUID(77));
    char buffer[32];
    int length = 15;
    ASSERT_EQ(client.Read(handle, 1, buffer, &length, 0), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "0123456789abcde");
    length = 15;
    ASSERT_EQ(client.Read(handle, 1, buffer, &length, 0), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "fghij");
    length = 15;
    EXPECT_EQ(client.Read(handle, 1, buffer, &length, 0), -3);
    EXPECT_EQ(length, 0);
    // Only the channel's low byte counts: 257 is channel 1.
    feed(data(1, "xy"), kDevice, P2PNetGUID(77));
    length = 15;
    ASSERT_EQ(client.Read(handle, 257, buffer, &length, 0), 0);
    EXPECT_EQ(length, 2);
}

struct ArgumentCase {
    const char* name;
    int channel;
    bool nullData;
    int length;
};

class ReadWriteArguments : public OfflineClient, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(ReadWriteArguments, AreRefusedWithMinusFive)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("phone", 77);
    const ArgumentCase& c = GetParam();
    static char buffer[1048577 + 16];
    EXPECT_EQ(client.Write(handle, c.channel, c.nullData ? nullptr : buffer, c.length), -5);
    int length = c.length;
    EXPECT_EQ(client.Read(handle, c.channel, c.nullData ? nullptr : buffer, &length, 0), -5);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(client.Write(-1, 0, buffer, 10), -5);
    EXPECT_EQ(client.Read(handle, 0, buffer, nullptr, 0), -5);
}

INSTANTIATE_TEST_SUITE_P(Orlix, ReadWriteArguments,
                         ::testing::Values(ArgumentCase{"channel16", 16, false, 10},
                                           ArgumentCase{"channel272", 272, false, 10},
                                           ArgumentCase{"channelMinus1", -1, false, 10},
                                           ArgumentCase{"nullData", 0, true, 10},
                                           ArgumentCase{"zeroLength", 0, false, 0},
                                           ArgumentCase{"negativeLength", 0, false, -5},
                                           ArgumentCase{"aboveOneMiB", 0, false, 1048577}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(OfflineClient, ClosedSessionReportsMinusFourteen)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("phone", 77);
    EXPECT_EQ(client.Close(handle), 0);
    char buffer[8] = {};
    int length = 8;
    EXPECT_EQ(client.Read(handle, 0, buffer, &length, 0), -14);
    EXPECT_EQ(client.Write(handle, 0, buffer, 8), -14);
    SessionInfo info{};
    EXPECT_EQ(client.Check(handle, &info), -14);
    EXPECT_EQ(client.CheckBuffer(handle, 0, nullptr, nullptr), -14);
    EXPECT_EQ(client.Close(-1), -5);
    EXPECT_EQ(client.Close(4711), 0);
}

TEST_F(OfflineClient, CheckFillsTheRecord)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("a-phone-with-a-long-identifier", 77);
    uint8_t record[84];
    std::memset(record, 0xEE, sizeof(record));
    ASSERT_EQ(client.Check(handle, reinterpret_cast<SessionInfo*>(record)), 0);
    int32_t recordHandle;
    std::memcpy(&recordHandle, record, 4);
    EXPECT_EQ(recordHandle, handle);
    uint32_t reserved;
    std::memcpy(&reserved, record + 52, 4);
    EXPECT_EQ(reserved, 255u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 56), 24), "a-phone-with-a-long-iden");
    EXPECT_EQ(record[80], 2);
    EXPECT_EQ(record[81], 1);
    EXPECT_EQ(record[82], 0xEE); // 82 bytes written
    EXPECT_EQ(client.Check(-1, nullptr), -5);
    EXPECT_EQ(client.Check(4711, nullptr), -6);
}

// Session-control messages that only a rendezvous server may send are taken from nobody else.
TEST_F(OfflineClient, DenialIsTakenOnlyFromAServer)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    ByteWriter denial;
    denial.u8(ID_SESSION_CONTROL);
    denial.u8(kSessionHello);
    denial.string("phone");
    denial.u32(0);
    denial.string("dev");
    denial.u8(2);
    feed(denial, kStranger);
    EXPECT_EQ(client.SessionState(0), kSessionConnecting);
    feed(denial, kServer);
    EXPECT_EQ(result.get(), -4);
    // A later connect for the same id keeps answering the lookup failure.
    EXPECT_EQ(client.Connect("dev", 0), -4);
}

struct LookupCase {
    uint8_t status;
    int error;
};

class LookupFailure : public OfflineClient, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(LookupFailure, EndsTheConnectOnlyWhenSentByAServer)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    ByteWriter failures;
    failures.u8(ID_SESSION_CONTROL);
    failures.u8(kLookupFailures);
    failures.u8(1);
    failures.string("dev");
    failures.u8(GetParam().status);
    feed(failures, kStranger);
    EXPECT_EQ(client.SessionState(0), kSessionConnecting);
    feed(failures, kServerV6);
    EXPECT_EQ(result.get(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Orlix, LookupFailure, ::testing::Values(LookupCase{2, -4}, LookupCase{5, -6}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName("status", paramInfo.param.status);
                         });

TEST_F(OfflineClient, ConnectBreakEndsTheWaitAndAConnectAfterItWaitsAgain)
{
    login("phone", "pw", 1);
    auto& first = connectAsync("dev");
    EXPECT_EQ(client.ConnectBreak("dev"), 0);
    EXPECT_EQ(first.get(), -19);
    auto& second = connectAsync("dev");
    EXPECT_EQ(client.ConnectBreak("dev"), 0);
    EXPECT_EQ(second.get(), -19);
    EXPECT_EQ(client.SessionCount(), 1u);
}

TEST_F(OfflineClient, ShutdownEndsAWaitingConnect)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    client.Shutdown();
    EXPECT_EQ(result.get(), -19);
    EXPECT_EQ(client.Connect("dev", 0), -19);
}

// Accepted by a server as relayed (role 3): data goes through the server, which does not carry
// the channel number, so only channel 0 may be written; relayed data is taken only from it.
TEST_F(OfflineClient, ServerRelayedSessionUsesChannelZeroAndItsRelayOnly)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(accepted("dev", 900, 3), kStranger);
    EXPECT_EQ(client.SessionState(0), kSessionConnecting);
    feed(accepted("dev", 900, 3), kServer);
    const int handle = result.get();
    ASSERT_EQ(handle, 0);
    SessionInfo info{};
    ASSERT_EQ(client.Check(handle, &info), 0);
    EXPECT_EQ(info.role, 3);
    EXPECT_EQ(info.connectionType, 3);

    taken();
    const char payload[] = "abc";
    EXPECT_EQ(client.Write(handle, 1, payload, 3), -5);
    EXPECT_NE(client.Write(handle, 0, payload, 3), -5);
    const auto relayed = sentWith({ID_SESSION_CONTROL, kRelayedDataOut});
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].address, kServer);
    EXPECT_EQ(std::string(relayed[0].bytes.end() - 3, relayed[0].bytes.end()), "abc");

    ByteWriter in;
    in.u8(ID_SESSION_CONTROL);
    in.u8(kRelayedDataIn);
    in.u64(900);
    in.bytes("xyz", 3);
    feed(in, kStranger);
    uint32_t readable = 0;
    EXPECT_EQ(client.CheckBuffer(handle, 0, nullptr, &readable), 0);
    EXPECT_EQ(readable, 0u);
    feed(in, kServer);
    EXPECT_EQ(client.CheckBuffer(handle, 0, nullptr, &readable), 0);
    EXPECT_EQ(readable, 3u);

    ByteWriter closed;
    closed.u8(ID_SESSION_CONTROL);
    closed.u8(kRelayClosed);
    closed.u64(900);
    closed.u8(0);
    feed(closed, kStranger);
    EXPECT_EQ(client.SessionState(handle), kSessionInUse);
    feed(closed, kServer);
    EXPECT_EQ(client.SessionState(handle), kSessionFailed);
    EXPECT_EQ(client.CheckBuffer(handle, 0, nullptr, &readable), -27);
}

TEST_F(OfflineClient, LosingTheServerFailsItsRelayedSessions)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(accepted("dev", 900, 3), kServer);
    const int handle = result.get();
    ASSERT_GE(handle, 0);
    ByteWriter lost;
    lost.u8(P2PNet::ID_PEER_LOST);
    feed(lost, kServer, P2PNetGUID(1), true);
    EXPECT_EQ(client.ServerState(0), kServerLost);
    EXPECT_EQ(client.SessionError(handle), -27);
    char buffer[4];
    int length = 4;
    EXPECT_EQ(client.Read(handle, 0, buffer, &length, 0), -27);
}

// Data the device sends right after the session opens is the session's, even when it arrives
// before the waiting connect has woken.
TEST_F(OfflineClient, DataRightAfterTheOpeningIsKept)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(accepted("dev", 901, 2), kServer);
    feed(data(0, "first reply"), kDevice, P2PNetGUID(901));
    const int handle = result.get();
    ASSERT_EQ(handle, 0);
    char buffer[32];
    int length = sizeof(buffer);
    ASSERT_EQ(client.Read(handle, 0, buffer, &length, 0), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "first reply");
}

// A reader that falls behind by more than a channel queue holds loses the session, never a piece
// from the middle of the stream.
TEST_F(OfflineClient, OverflowingChannelFailsTheSessionInsteadOfDroppingData)
{
    // Nothing holds this sender back (there is no peer), so the queue reaches its limit.
    client.SetReceiveQueueLimit(3u << 20);
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(accepted("dev", 902, 2), kServer);
    const int handle = result.get();
    ASSERT_EQ(handle, 0);
    const std::string megabyte(1u << 20, 'm');
    for (int i = 0; i < 4; ++i)
        feed(data(1, megabyte), kDevice, P2PNetGUID(902));
    std::vector<char> buffer(1u << 20);
    int length = static_cast<int>(buffer.size());
    EXPECT_EQ(client.Read(handle, 1, buffer.data(), &length, 0), kErrorQueueOverflow);
    EXPECT_EQ(length, 0);
}

// The same for data the server relays: a full queue fails the session, nothing is dropped silently.
TEST_F(OfflineClient, OverflowingRelayedDataFailsTheSessionInsteadOfDroppingData)
{
    client.SetReceiveQueueLimit(3u << 20);
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(accepted("dev", 903, 3), kServer);
    const int handle = result.get();
    ASSERT_EQ(handle, 0);
    ByteWriter in;
    in.u8(ID_SESSION_CONTROL);
    in.u8(kRelayedDataIn);
    in.u64(903);
    const std::string megabyte(1u << 20, 'r');
    in.bytes(megabyte.data(), megabyte.size());
    for (int i = 0; i < 4; ++i)
        feed(in, kServer);
    std::vector<char> buffer(1u << 20);
    int length = static_cast<int>(buffer.size());
    EXPECT_EQ(client.Read(handle, 0, buffer.data(), &length, 0), kErrorQueueOverflow);
    EXPECT_EQ(length, 0);
}

// A relay grant is followed only for a session that asked for one: nobody else can send this
// side's connection to a proxy of their choosing.
TEST_F(OfflineClient, RelayGrantIsFollowedOnlyWhileRequested)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    ByteWriter update;
    update.u8(ID_SESSION_CONTROL);
    update.u8(kRouteUpdate);
    update.string("dev");
    update.u8(1);
    update.u64(321);
    update.address(kDevice);
    update.u8(4);
    feed(update, kServer);
    taken();
    client.OnRelayReady("127.0.0.7", 6000, P2PNetGUID(321));
    EXPECT_TRUE(taken().empty());
    EXPECT_EQ(client.SessionByHandle(0)->relayState(), kRelayNone);

    client.RequestRelay(P2PNetGUID(321));
    EXPECT_EQ(client.SessionByHandle(0)->relayState(), kRelayRequested);
    taken();
    client.OnRelayReady("127.0.0.7", 6000, P2PNetGUID(321));
    const auto out = taken();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, OutgoingMessage::Kind::Connect);
    EXPECT_EQ(out[0].address, SystemAddress::FromIPv4(127, 0, 0, 7, 6000));
    EXPECT_EQ(client.SessionByHandle(0)->relayState(), kRelayKnown);
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

TEST_F(OfflineClient, RouteUpdateIsTakenOnlyFromAServer)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    ByteWriter update;
    update.u8(ID_SESSION_CONTROL);
    update.u8(kRouteUpdate);
    update.string("dev");
    update.u8(1);
    update.u64(321);
    update.address(kDevice);
    update.u8(2);
    feed(update, kStranger);
    EXPECT_TRUE(client.SessionByHandle(0)->remoteGuid().IsUnassigned());
    feed(update, kServer);
    EXPECT_EQ(client.SessionByHandle(0)->remoteGuid(), P2PNetGUID(321));
    EXPECT_EQ(client.SessionByHandle(0)->remoteAddress(), kDevice);
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

struct RouteCase {
    int peerNat;
    int ownNat;
    bool relay;
};

class RouteChoice : public OfflineClient, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RouteChoice, RelayForHardNatPairsElseRouteRequest)
{
    login("phone", "pw", 1);
    client.SetNatType(GetParam().ownNat);
    auto& result = connectAsync("dev");
    taken();
    feed(routeOffer("dev", 321, static_cast<uint8_t>(GetParam().peerNat)), kStranger);
    EXPECT_TRUE(taken().empty());
    feed(routeOffer("dev", 321, static_cast<uint8_t>(GetParam().peerNat)), kServer);
    const auto routeRequests = sentWith({ID_ROUTE_REQUEST});
    if (GetParam().relay) {
        EXPECT_TRUE(routeRequests.empty());
        EXPECT_EQ(client.SessionByHandle(0)->relayState(), kRelayRequested);
    } else {
        ASSERT_EQ(routeRequests.size(), 1u);
        EXPECT_EQ(routeRequests[0].address, kServer);
        // [127][address of the device][u64 GUID]
        ByteReader reader(routeRequests[0].bytes.data() + 1, routeRequests[0].bytes.size() - 1);
        SystemAddress address;
        uint64_t guid = 0;
        ASSERT_TRUE(reader.address(address));
        ASSERT_TRUE(reader.u64(guid));
        EXPECT_EQ(address, kDevice);
        EXPECT_EQ(guid, 321u);
        EXPECT_EQ(client.SessionByHandle(0)->relayState(), kRelayNone);
    }
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

INSTANTIATE_TEST_SUITE_P(Orlix, RouteChoice,
                         ::testing::Values(RouteCase{4, 4, true}, RouteCase{3, 4, true}, RouteCase{4, 3, true},
                                           RouteCase{2, 4, false}, RouteCase{3, 3, false}, RouteCase{5, 5, false}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName("peer", paramInfo.param.peerNat, "own", paramInfo.param.ownNat);
                         });

// A direct connect found by local-network search keeps its 3000 ms; a server's route offer in
// that time is not followed, after it the offer is used.
TEST_F(OfflineClient, RouteOfferWaitsOnlyWhileALanConnectIsRunning)
{
    login("phone", "pw", 1);
    client.SetLanSearchTarget("127.0.0.1", 19886);
    auto& result = connectAsync("dev", 1);
    client.LanSearch();
    taken();
    ByteWriter pong;
    pong.u8(P2PNet::ID_OFFLINE_PONG);
    pong.u32(1234);
    pong.u32(kIdentityMarker);
    pong.string("dev");
    feed(pong, kDevice, P2PNetGUID(321), true);
    EXPECT_EQ(client.PendingDirectCount(), 1u);

    const uint64_t now = P2PNet::NowMillis();
    client.HousekeepingPass(now);
    taken();
    EXPECT_EQ(client.SessionByHandle(0)->remoteGuid(), P2PNetGUID(321));
    feed(routeOffer("dev", 321, 2), kServer);
    EXPECT_TRUE(sentWith({ID_ROUTE_REQUEST}).empty());

    // The same answer seen by a pass 5 s earlier: its 3000 ms are over.
    client.HousekeepingPass(now - 5000);
    feed(routeOffer("dev", 321, 2), kServer);
    EXPECT_EQ(sentWith({ID_ROUTE_REQUEST}).size(), 1u);
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

TEST_F(OfflineClient, PongOfAServerConnectsButADevicesPongDoesNot)
{
    login("phone", "pw", 1);
    ByteWriter shortPong;
    shortPong.u8(P2PNet::ID_OFFLINE_PONG);
    shortPong.u32(1);
    feed(shortPong, kServer);
    auto out = taken();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, OutgoingMessage::Kind::Connect);
    EXPECT_EQ(out[0].address, kServer);

    ByteWriter longPong;
    longPong.u8(P2PNet::ID_OFFLINE_PONG);
    longPong.u32(1);
    longPong.u32(kIdentityMarker);
    longPong.string("dev");
    feed(longPong, kServer);
    EXPECT_TRUE(taken().empty());
}

TEST_F(OfflineClient, LoginAnswerLogsInARegisteringServer)
{
    client.SetServerState(0, kServerRegistering);
    ByteWriter answer;
    answer.u8(ID_SESSION_CONTROL);
    answer.u8(kLoginAnswer);
    answer.u8(1);
    answer.u8(3);
    feed(answer, kStranger);
    EXPECT_EQ(client.ServerState(0), kServerRegistering);
    feed(answer, kServer);
    EXPECT_EQ(client.ServerState(0), kServerLoggedIn);
    EXPECT_EQ(client.NatType(), 3);
}

TEST_F(OfflineClient, NatTypeIsTakenFromServersAndLocalNoticesOnly)
{
    ByteWriter nat;
    nat.u8(98);
    nat.u8(4);
    feed(nat, kStranger);
    EXPECT_EQ(client.NatType(), 5);
    feed(nat, kServer);
    EXPECT_EQ(client.NatType(), 4);
}

// Registration goes to the address the server was joined through, at its port + 1.
TEST_F(OfflineClient, RegistrationGoesToTheJoinedAddressAtPortPlusOne)
{
    login("cam", "pw", 2);
    client.SetServerState(0, kServerSeeking);
    ByteWriter joined;
    joined.u8(P2PNet::ID_JOIN_ACCEPTED);
    feed(joined, kServerV6, P2PNetGUID(1), true);
    EXPECT_EQ(client.ServerState(0), kServerJoined);
    EXPECT_EQ(client.ServerStep(0), 1000);
    EXPECT_EQ(client.ServerState(0), kServerRegistering);
    taken();
    client.ServerStep(0);
    const auto registrations = sentWith({kRegistrationMessage});
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].kind, OutgoingMessage::Kind::Raw);
    EXPECT_TRUE(registrations[0].address.IsIPv6());
    EXPECT_EQ(registrations[0].address.GetPort(), 9001);
    // [6][u32 mode][string id][string password]...
    ByteReader reader(registrations[0].bytes.data() + 1, registrations[0].bytes.size() - 1);
    uint32_t mode = 0;
    std::string id, password;
    ASSERT_TRUE(reader.u32(mode) && reader.string(id) && reader.string(password));
    EXPECT_EQ(mode, 2u);
    EXPECT_EQ(id, "cam");
    EXPECT_EQ(password, "pw");
}

// A device that sets its id after the server logged it in under its GUID text registers again.
TEST_F(OfflineClient, NewLoginInfoRegistersAgain)
{
    client.SetLoginInfo("guid-text", "604218", 2);
    client.SetServerState(0, kServerLoggedIn);
    client.SetLoginInfo("cam-7", "pw", 2);
    EXPECT_EQ(client.ServerState(0), kServerRegistering);
    taken();
    client.ServerStep(0);
    const auto registrations = sentWith({kRegistrationMessage});
    ASSERT_EQ(registrations.size(), 1u);
    ByteReader reader(registrations[0].bytes.data() + 1, registrations[0].bytes.size() - 1);
    uint32_t mode = 0;
    std::string id;
    ASSERT_TRUE(reader.u32(mode) && reader.string(id));
    EXPECT_EQ(id, "cam-7");
    // The same info again changes nothing.
    client.SetServerState(0, kServerLoggedIn);
    client.SetLoginInfo("cam-7", "pw", 2);
    EXPECT_EQ(client.ServerState(0), kServerLoggedIn);
}

// The write's record (and so its pending count) exists before the data is handed to the peer, so
// an acknowledgement that comes back at once always finds it.
TEST_F(OfflineClient, WriteRecordExistsBeforeTheSend)
{
    login("cam", "pw", 2);
    const int handle = acceptSession("phone", 77);
    uint32_t pendingAtSend = 0;
    uint32_t pendingAfterAck = 99;
    client.SetSendTap([&](const OutgoingMessage& message) {
        if (message.bytes.empty() || message.bytes[0] != ID_SESSION_DATA)
            return;
        client.CheckBuffer(handle, 6, &pendingAtSend, nullptr);
        ByteWriter ack;
        ack.u8(P2PNet::ID_RECEIPT_ACKED);
        for (int i = 0; i < 4; ++i)
            ack.u8(static_cast<uint8_t>(message.receipt >> (8 * i))); // least significant first
        feed(ack, kDevice, P2PNetGUID(77), true);
        client.CheckBuffer(handle, 6, &pendingAfterAck, nullptr);
    });
    client.Write(handle, 6, "0123456789", 10);
    EXPECT_EQ(pendingAtSend, 10u);
    EXPECT_EQ(pendingAfterAck, 0u);
}

TEST_F(OfflineClient, SeekingServerIsPingedAtGrowingIntervals)
{
    client.SetServerState(0, kServerLost);
    EXPECT_EQ(client.ServerStep(0), 200);
    EXPECT_EQ(client.ServerState(0), kServerSeeking);
    taken();
    client.ServerStep(0);
    const auto pings = taken();
    ASSERT_EQ(pings.size(), 2u); // IPv4, then IPv6
    EXPECT_EQ(pings[0].kind, OutgoingMessage::Kind::Ping);
    EXPECT_EQ(pings[0].host, "127.0.0.1");
    EXPECT_EQ(pings[0].port, 9000);
}

TEST_F(OfflineClient, DeviceSideReapsClosedSessions)
{
    login("cam", "pw", 2);
    const int closed = acceptSession("phone", 77);
    const int open = acceptSession("tablet", 78);
    ASSERT_EQ(client.Close(closed), 0);
    client.HousekeepingPass(P2PNet::NowMillis() + 10000);
    SessionInfo info{};
    EXPECT_EQ(client.Check(closed, &info), -6);
    EXPECT_EQ(client.Check(open, &info), 0);
}

TEST_F(OfflineClient, LookupRequestNamesEachConnectingIdAtMostEvery4Seconds)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    const uint64_t now = P2PNet::NowMillis() + 100000;
    taken();
    EXPECT_EQ(client.SendLookupRequest(now), 1);
    EXPECT_EQ(client.SendLookupRequest(now + 3999), 0);
    EXPECT_EQ(client.SendLookupRequest(now + 4000), 1);
    const auto lookups = sentWith({ID_DEVICE_LOOKUP});
    ASSERT_EQ(lookups.size(), 2u);
    ByteReader reader(lookups[0].bytes.data() + 1, lookups[0].bytes.size() - 1);
    std::string own, id;
    uint8_t two = 0;
    uint16_t count = 0;
    ASSERT_TRUE(reader.string(own) && reader.u8(two) && reader.u16(count) && reader.string(id));
    EXPECT_EQ(own, "phone");
    EXPECT_EQ(two, 2);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(id, "dev");
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

// The route update that names the device's GUID and address for a connecting session.
ByteWriter routeUpdate(const std::string& deviceId, uint64_t guid)
{
    ByteWriter update;
    update.u8(ID_SESSION_CONTROL);
    update.u8(kRouteUpdate);
    update.string(deviceId);
    update.u8(1);
    update.u64(guid);
    update.address(kDevice);
    update.u8(2);
    return update;
}

std::size_t countConnects(const std::vector<OutgoingMessage>& sent)
{
    return static_cast<std::size_t>(std::count_if(sent.begin(), sent.end(), [](const OutgoingMessage& m) {
        return m.kind == OutgoingMessage::Kind::Connect;
    }));
}

// A refusal as already joined is answered by a new attempt, but not one per refusal: a burst of
// them gives one attempt, and the next comes from housekeeping once the back-off has passed.
TEST_F(OfflineClient, AlreadyJoinedRefusalsBackOff)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(routeUpdate("dev", 321), kServer);
    taken();
    ByteWriter refusal;
    refusal.u8(P2PNet::ID_ALREADY_JOINED);
    for (int i = 0; i < 50; ++i)
        feed(refusal, kDevice, P2PNetGUID(321));
    EXPECT_EQ(countConnects(taken()), 1u);
    client.HousekeepingPass(P2PNet::NowMillis() + 60000);
    EXPECT_EQ(countConnects(taken()), 1u);
    client.ConnectBreak("dev");
    EXPECT_EQ(result.get(), -19);
}

// A punched connection that the device opened towards this side arrives as an incoming one: the
// connecting session takes it and sends its hello over it.
TEST_F(OfflineClient, IncomingConnectionFromTheDeviceConnectsItsSession)
{
    login("phone", "pw", 1);
    auto& result = connectAsync("dev");
    feed(routeUpdate("dev", 321), kServer);
    taken();
    ByteWriter incoming;
    incoming.u8(P2PNet::ID_NEW_INCOMING);
    feed(incoming, kDevice, P2PNetGUID(321));
    const auto hellos = sentWith({ID_SESSION_CONTROL, kSessionHello});
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0].guid, P2PNetGUID(321));
    EXPECT_GE(result.get(), 0);
    EXPECT_EQ(client.SessionState(0), kSessionInUse);
}

} // namespace
