// The relay client against the rendezvous server's coordinator and forwarder, and against a
// coordinator played by a bare peer for the answers it must refuse.
#include "RelayClient.h"
#include "RendezvousServer.h"
#include "UdpForwarder.h"
#include "support/RendezvousClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using rendezvous_test::Received;
using rendezvous_test::TestPeer;
using rendezvous_test::join;
using rendezvous_test::registerAndWait;
using P2PNet::BitStream;
using P2PNet::P2PNetGUID;
using P2PNet::RelayClient;
using P2PNet::SystemAddress;

struct RelayEvent {
    std::string kind;  // "ready", "notice", "failed", "pending"
    std::string proxyText;
    uint16_t proxyPort = 0;
    P2PNetGUID targetGuid;
    int failure = 0;
};

class RecordingHandler : public P2PNet::RelayResultHandler {
public:
    void OnRelayReady(const char* text, uint16_t port, const SystemAddress&, const SystemAddress&,
                      const P2PNetGUID& guid, RelayClient*) override {
        events.push_back({"ready", text, port, guid, 0});
    }
    void OnRelayNotice(const char* text, uint16_t port, const SystemAddress&, const SystemAddress&,
                       const P2PNetGUID& guid, RelayClient*) override {
        events.push_back({"notice", text, port, guid, 0});
    }
    void OnRelayFailed(P2PNet::RelayFailure reason, const SystemAddress&, const SystemAddress&,
                       const P2PNetGUID& guid, RelayClient*) override {
        events.push_back({"failed", "", 0, guid, static_cast<int>(reason)});
    }
    void OnRelayPending(const char* text, uint16_t port, const SystemAddress&, const SystemAddress&,
                        const P2PNetGUID& guid, RelayClient*) override {
        events.push_back({"pending", text, port, guid, 0});
    }
    std::vector<RelayEvent> events;
};

// A test peer with a relay client attached and a recording handler.
struct RelayPeer {
    RelayPeer() {
        relay.SetResultHandler(&handler);
        peer.peer().AddPlugin(&relay);
    }
    ~RelayPeer() { peer.peer().RemovePlugin(&relay); }
    bool waitEvents(std::size_t count) { return peer.waitUntil([&] { return handler.events.size() >= count; }); }

    TestPeer peer{rendezvous_test::kClientSide};
    RecordingHandler handler;
    RelayClient relay;
};

class RelayThroughServer : public ::testing::Test {
protected:
    void start(rendezvous::RendezvousOptions options = {}) {
        options.ipv6 = false;
        server = std::make_unique<rendezvous::RendezvousServer>(options);
        std::string error;
        ASSERT_TRUE(server->start(&error)) << error;
        serverAddress = SystemAddress("127.0.0.1", server->port());
        for (RelayPeer* side : {&client, &device}) {
            ASSERT_TRUE(join(side->peer, server->port(), server->serverString()));
            uint8_t accepted = 0;
            uint8_t nat = 0;
            ASSERT_TRUE(registerAndWait(side->peer, server->port(), side == &client ? 1 : 2,
                                                   side == &client ? "CLI" : "DEV1", &accepted, &nat));
        }
    }

    std::unique_ptr<rendezvous::RendezvousServer> server;
    SystemAddress serverAddress;
    RelayPeer client;
    RelayPeer device;
};

TEST_F(RelayThroughServer, GrantedForwardingCarriesAConnection) {
    start();
    ASSERT_TRUE(client.relay.RequestRelay(serverAddress, P2PNet::UNASSIGNED_SYSTEM_ADDRESS, device.peer.guid()));
    ASSERT_TRUE(client.waitEvents(1));
    const RelayEvent ready = client.handler.events[0];
    EXPECT_EQ(ready.kind, "ready");
    EXPECT_EQ(ready.proxyText, "127.0.0.1");
    EXPECT_EQ(ready.targetGuid, device.peer.guid());
    ASSERT_TRUE(device.waitEvents(1));
    EXPECT_EQ(device.handler.events[0].kind, "notice");
    EXPECT_EQ(device.handler.events[0].proxyPort, ready.proxyPort);
    EXPECT_EQ(device.handler.events[0].targetGuid, client.peer.guid());

    // The client connects to the proxy and reaches the device through it.
    const SystemAddress proxy("127.0.0.1", ready.proxyPort);
    ASSERT_EQ(client.peer.peer().Connect(proxy, nullptr, 0), P2PNet::ConnectResult::AttemptStarted);
    Received accepted;
    ASSERT_TRUE(client.peer.take(
        [&](const Received& m) { return m.id() == P2PNet::ID_JOIN_ACCEPTED && m.address == proxy; }, &accepted));
    EXPECT_EQ(accepted.guid, device.peer.guid());
    ASSERT_TRUE(device.peer.take([&](const Received& m) {
        return m.id() == P2PNet::ID_NEW_INCOMING && m.guid == client.peer.guid();
    }));

    BitStream data;
    data.WriteU8(200);
    data.WriteBytes("through the proxy", 17);
    client.peer.sendStream(data, P2PNet::PeerTarget(device.peer.guid()));
    Received received;
    ASSERT_TRUE(device.peer.takeId(200, &received));
    EXPECT_EQ(std::string(received.data.begin() + 1, received.data.end()), "through the proxy");
    EXPECT_GT(server->forwardedDatagrams(), 0u);

    // Asking again for the same pair: the forwarding in place is named again.
    ASSERT_TRUE(client.relay.RequestRelay(serverAddress, P2PNet::UNASSIGNED_SYSTEM_ADDRESS, device.peer.guid()));
    ASSERT_TRUE(client.waitEvents(2));
    EXPECT_EQ(client.handler.events[1].kind, "pending");
    EXPECT_EQ(client.handler.events[1].proxyPort, ready.proxyPort);
    EXPECT_EQ(server->forwarderCount(), 1u);
}

struct FailureCase {
    const char* label;
    uint8_t refusal;       // server option; 0 = grant
    bool unknownTarget;    // ask for a GUID nobody has
    int expectedReason;
};

class RelayFailures : public RelayThroughServer, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RelayFailures, ReachTheHandler) {
    rendezvous::RendezvousOptions options;
    options.relayRefusal = GetParam().refusal;
    start(options);
    const P2PNetGUID target = GetParam().unknownTarget ? P2PNetGUID(424242) : device.peer.guid();
    ASSERT_TRUE(client.relay.RequestRelay(serverAddress, P2PNet::UNASSIGNED_SYSTEM_ADDRESS, target));
    ASSERT_TRUE(client.waitEvents(1));
    EXPECT_EQ(client.handler.events[0].kind, "failed");
    EXPECT_EQ(client.handler.events[0].failure, GetParam().expectedReason);
    EXPECT_EQ(client.handler.events[0].targetGuid, target);
}

INSTANTIATE_TEST_SUITE_P(Relay, RelayFailures,
                         ::testing::Values(FailureCase{"NoServer", 2, false, 2},
                                           FailureCase{"TargetAbsentByOption", 3, false, 3},
                                           FailureCase{"Busy", 4, false, 4},
                                           FailureCase{"UnknownTarget", 0, true, 3}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.label); });

// A coordinator played by a bare peer: answers are taken only for a request outstanding there.
class FakeCoordinator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(coordinator.started());
        ASSERT_TRUE(join(side.peer, coordinator.address().GetPort(), ""));
        ASSERT_TRUE(coordinator.takeId(P2PNet::ID_NEW_INCOMING));
    }
    void sendAnswer(uint8_t sub, const P2PNetGUID& target, uint16_t proxyPort = 40000) {
        BitStream out;
        out.WriteU8(P2PNet::ID_RELAY);
        out.WriteU8(sub);
        side.peer.address().Serialize(out);
        P2PNet::UNASSIGNED_SYSTEM_ADDRESS.Serialize(out);
        target.Serialize(out);
        if (sub == 0 || sub == 1 || sub == 5) {
            out.WriteString("127.0.0.1");
            out.WriteU16(proxyPort);
        }
        coordinator.sendStream(out, P2PNet::PeerTarget(side.peer.guid()));
    }

    TestPeer coordinator{rendezvous_test::kClientSide};
    RelayPeer side;
};

TEST_F(FakeCoordinator, UnaskedAnswersAreRefused) {
    const P2PNetGUID target(777);
    sendAnswer(0, target);
    sendAnswer(3, target);
    ASSERT_TRUE(side.peer.waitUntil([&] { return side.relay.RefusedMessageCount() == 2; }));
    EXPECT_TRUE(side.handler.events.empty());

    // Asked: the request carries the target and the 20 s time-out, and one answer is taken.
    ASSERT_TRUE(side.relay.RequestRelay(side.peer.peer().GetAddressOfGuid(coordinator.guid()),
                                        P2PNet::UNASSIGNED_SYSTEM_ADDRESS, target));
    Received request;
    ASSERT_TRUE(coordinator.takeSub(P2PNet::ID_RELAY, 6, &request));
    BitStream in = request.reader(2);
    SystemAddress source;
    bool bit = true;
    P2PNetGUID guid;
    uint32_t timeout = 0;
    ASSERT_TRUE(source.Deserialize(in) && in.ReadBit(bit) && guid.Deserialize(in) && in.ReadU32(timeout));
    EXPECT_TRUE(source.IsUnassigned());
    EXPECT_EQ(guid, target);
    EXPECT_EQ(timeout, 20000u);

    sendAnswer(0, P2PNetGUID(778));  // another target: refused
    sendAnswer(0, target, 40001);
    sendAnswer(0, target, 40002);    // a late duplicate: refused
    ASSERT_TRUE(side.peer.waitUntil([&] { return side.relay.RefusedMessageCount() == 4; }));
    ASSERT_EQ(side.handler.events.size(), 1u);
    EXPECT_EQ(side.handler.events[0].kind, "ready");
    EXPECT_EQ(side.handler.events[0].proxyPort, 40001);

    // The other side's notice needs no request.
    sendAnswer(1, P2PNetGUID(779));
    ASSERT_TRUE(side.waitEvents(2));
    EXPECT_EQ(side.handler.events[1].kind, "notice");
}

TEST_F(FakeCoordinator, RequestNeedsAHandlerAndAConnectedCoordinator) {
    EXPECT_FALSE(side.relay.RequestRelay(SystemAddress("127.0.0.1", 9), P2PNet::UNASSIGNED_SYSTEM_ADDRESS,
                                         P2PNetGUID(1)));
    side.relay.SetResultHandler(nullptr);
    EXPECT_FALSE(side.relay.RequestRelay(side.peer.peer().GetAddressOfGuid(coordinator.guid()),
                                         P2PNet::UNASSIGNED_SYSTEM_ADDRESS, P2PNetGUID(1)));
}

TEST_F(FakeCoordinator, OtherSubCommandsPassThrough) {
    BitStream out;
    out.WriteU8(P2PNet::ID_RELAY);
    out.WriteU8(9);
    out.WriteU32(1234);
    coordinator.sendStream(out, P2PNet::PeerTarget(side.peer.guid()));
    Received passed;
    ASSERT_TRUE(side.peer.takeSub(P2PNet::ID_RELAY, 9, &passed));
    EXPECT_EQ(passed.data.size(), 6u);
}

TEST_F(FakeCoordinator, PingRequestIsReportedWithRoundTrips) {
    const P2PNetGUID target(777);
    ASSERT_TRUE(side.relay.RequestRelay(side.peer.peer().GetAddressOfGuid(coordinator.guid()),
                                        P2PNet::UNASSIGNED_SYSTEM_ADDRESS, target));
    ASSERT_TRUE(coordinator.takeSub(P2PNet::ID_RELAY, 6));

    // One proxy server that answers pings, and one address where nothing listens.
    TestPeer proxy{rendezvous_test::kClientSide};
    platform::UdpSocket closed;
    platform::NetAddress closedAddress;
    ASSERT_EQ(closed.open(platform::AddressFamily::IPv4), platform::NetError::None);
    ASSERT_EQ(closed.bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
    ASSERT_EQ(closed.localAddress(closedAddress), platform::NetError::None);
    closed.close();
    const SystemAddress live = proxy.address();
    const SystemAddress dead("127.0.0.1", closedAddress.port);

    auto askToPing = [&](const std::vector<SystemAddress>& servers) {
        BitStream out;
        out.WriteU8(P2PNet::ID_RELAY);
        out.WriteU8(7);
        side.peer.address().Serialize(out);
        P2PNet::UNASSIGNED_SYSTEM_ADDRESS.Serialize(out);
        target.Serialize(out);
        out.WriteU16(static_cast<uint16_t>(servers.size()));
        for (const SystemAddress& server : servers) server.Serialize(out);
        coordinator.sendStream(out, P2PNet::PeerTarget(side.peer.guid()));
    };
    auto readReport = [](const Received& report, std::vector<std::pair<SystemAddress, uint16_t>>& entries) {
        BitStream in = report.reader(2);
        SystemAddress source;
        SystemAddress targetAddress;
        uint16_t count = 0;
        if (!source.Deserialize(in) || !targetAddress.Deserialize(in) || !in.ReadU16(count)) return false;
        for (uint16_t i = 0; i < count; ++i) {
            SystemAddress server;
            uint16_t roundTrip = 0;
            if (!server.Deserialize(in) || !in.ReadU16(roundTrip)) return false;
            entries.emplace_back(server, roundTrip);
        }
        return true;
    };

    askToPing({live, dead});
    Received report;
    // The side pumps its peer (pings, pongs, the report) while the coordinator waits.
    ASSERT_TRUE(side.peer.waitUntil([&] { return coordinator.takeSub(P2PNet::ID_RELAY, 8, &report, std::chrono::milliseconds(20)); }));
    std::vector<std::pair<SystemAddress, uint16_t>> entries;
    ASSERT_TRUE(readReport(report, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, live);
    EXPECT_LT(entries[0].second, RelayClient::kNoAnswer);
    EXPECT_EQ(entries[1].first, dead);
    EXPECT_EQ(entries[1].second, RelayClient::kNoAnswer);

    // Pinged a moment ago: reported at once with the stored time.
    askToPing({live});
    Received again;
    ASSERT_TRUE(side.peer.waitUntil([&] { return coordinator.takeSub(P2PNet::ID_RELAY, 8, &again, std::chrono::milliseconds(20)); }));
    entries.clear();
    ASSERT_TRUE(readReport(again, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_LT(entries[0].second, RelayClient::kNoAnswer);
}

TEST(UdpForwarder, ForwardsBetweenItsEndpointsOnly) {
    platform::UdpSocket sockets[3];
    platform::NetAddress addresses[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sockets[i].open(platform::AddressFamily::IPv4), platform::NetError::None);
        ASSERT_EQ(sockets[i].bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
        ASSERT_EQ(sockets[i].localAddress(addresses[i]), platform::NetError::None);
    }
    rendezvous::UdpForwarder forwarder(addresses[0], addresses[1]);
    ASSERT_TRUE(forwarder.start());
    const platform::NetAddress proxy = platform::NetAddress::ipv4Loopback(forwarder.port());

    // The stranger goes first; its datagram must not reach either endpoint.
    ASSERT_EQ(sockets[2].sendTo("stranger", 8, proxy), 8);
    ASSERT_EQ(sockets[0].sendTo("from a", 6, proxy), 6);
    char buffer[64];
    platform::NetAddress source;
    const int got = sockets[1].receiveFrom(buffer, sizeof buffer, source);
    ASSERT_EQ(got, 6);
    EXPECT_EQ(std::string(buffer, 6), "from a");
    EXPECT_EQ(source, proxy);

    ASSERT_EQ(sockets[1].sendTo("from b", 6, proxy), 6);
    ASSERT_EQ(sockets[0].receiveFrom(buffer, sizeof buffer, source), 6);
    EXPECT_EQ(std::string(buffer, 6), "from b");
    // The counters move after the send that the endpoint may already have seen.
    EXPECT_TRUE(lumora::test::waitUntil([&] { return forwarder.forwarded() >= 2; }));
    EXPECT_EQ(forwarder.forwarded(), 2u);
    EXPECT_EQ(forwarder.dropped(), 1u);
    forwarder.stop();
}

// Bursts both ways at once: every datagram arrives whole, in order, at the other endpoint only;
// one longer than the forwarder takes is dropped and counted, never passed on cut short.
TEST(UdpForwarder, BurstsEachWayArriveWholeAndInOrder) {
    platform::UdpSocket sockets[2];
    platform::NetAddress addresses[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(sockets[i].open(platform::AddressFamily::IPv4), platform::NetError::None);
        ASSERT_EQ(sockets[i].bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
        ASSERT_EQ(sockets[i].localAddress(addresses[i]), platform::NetError::None);
        sockets[i].setReceiveBufferSize(1 << 20);
    }
    rendezvous::UdpForwarder forwarder(addresses[0], addresses[1]);
    ASSERT_TRUE(forwarder.start());
    const platform::NetAddress proxy = platform::NetAddress::ipv4Loopback(forwarder.port());

    // Datagram n of side s: [s][n] then a pattern of length 40 + 37 * n % 1200.
    auto datagram = [](int side, int n) {
        std::vector<uint8_t> bytes(2 + 40 + static_cast<std::size_t>(37 * n % 1200));
        bytes[0] = static_cast<uint8_t>(side);
        bytes[1] = static_cast<uint8_t>(n);
        for (std::size_t i = 2; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + n + side);
        return bytes;
    };
    constexpr int kRounds = 8;
    constexpr int kBurst = 24;
    int next[2] = {0, 0};
    for (int round = 0; round < kRounds; ++round) {
        for (int n = 0; n < kBurst; ++n)
            for (int side = 0; side < 2; ++side) {
                const std::vector<uint8_t> bytes = datagram(side, round * kBurst + n);
                ASSERT_EQ(sockets[side].sendTo(bytes.data(), bytes.size(), proxy), static_cast<int>(bytes.size()));
            }
        if (round == kRounds / 2) {
            const std::vector<uint8_t> tooLong(6000, 0xee);
            ASSERT_EQ(sockets[0].sendTo(tooLong.data(), tooLong.size(), proxy), 6000);
        }
        for (int side = 0; side < 2; ++side) {
            const int other = 1 - side;
            while (next[other] < (round + 1) * kBurst) {
                ASSERT_EQ(sockets[side].waitReadable(static_cast<int>(lumora::test::kWaitLimit.count())), platform::NetError::None)
                    << "side " << side << " waits for datagram " << next[other];
                uint8_t buffer[8192];
                platform::NetAddress source;
                const int got = sockets[side].receiveFrom(buffer, sizeof buffer, source);
                ASSERT_GT(got, 0);
                EXPECT_EQ(source, proxy);
                const std::vector<uint8_t> expected = datagram(other, next[other]);
                ASSERT_EQ(std::vector<uint8_t>(buffer, buffer + got), expected) << "datagram " << next[other];
                ++next[other];
            }
        }
    }
    EXPECT_TRUE(lumora::test::waitUntil([&] { return forwarder.dropped() >= 1; }));
    EXPECT_EQ(forwarder.forwarded(), 2u * kRounds * kBurst);
    EXPECT_EQ(forwarder.dropped(), 1u);
    forwarder.stop();
}

}  // namespace
