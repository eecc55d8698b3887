// The rendezvous server on its own, driven by bare peers that speak the client's messages:
// joining, registration, lookups, refused ids, punch facilitation and server relay.
#include "RendezvousServer.h"
#include "ServerString.h"
#include "support/RendezvousClient.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using rendezvous_test::Received;
using rendezvous_test::TestPeer;
using rendezvous_test::join;
using rendezvous_test::registerAndWait;
using P2PNet::BitStream;
using P2PNet::P2PNetGUID;
using P2PNet::SystemAddress;

class RendezvousServerTest : public ::testing::Test {
protected:
    void startServer(rendezvous::RendezvousOptions options = {}) {
        options.ipv6 = false;
        m_server = std::make_unique<rendezvous::RendezvousServer>(options);
        std::string error;
        ASSERT_TRUE(m_server->start(&error)) << error;
    }
    uint16_t port() const { return m_server->port(); }
    std::string password() const { return m_server->serverString(); }

    // A peer joined to the server and registered under id with the given mode.
    std::unique_ptr<TestPeer> registered(const std::string& id, uint32_t mode, uint8_t* natType = nullptr) {
        auto peer = std::make_unique<TestPeer>(rendezvous_test::kClientSide);
        EXPECT_TRUE(peer->started());
        Received accepted;
        EXPECT_TRUE(join(*peer, port(), password(), &accepted));
        m_serverGuid = accepted.guid;
        uint8_t ok = 0;
        uint8_t nat = 0;
        EXPECT_TRUE(registerAndWait(*peer, port(), mode, id, &ok, &nat)) << id;
        EXPECT_EQ(ok, 1) << id;
        if (natType) *natType = nat;
        return peer;
    }

    void sendLookup(TestPeer& peer, const std::string& ownId, const std::vector<std::string>& ids) {
        BitStream out;
        out.WriteU8(129);
        out.WriteString(ownId);
        out.WriteU8(2);
        out.WriteU16(static_cast<uint16_t>(ids.size()));
        for (const std::string& id : ids) out.WriteString(id);
        peer.sendStream(out, P2PNet::PeerTarget(m_serverGuid));
    }

    std::unique_ptr<rendezvous::RendezvousServer> m_server;
    P2PNetGUID m_serverGuid;
};

TEST_F(RendezvousServerTest, ServerStringNamesTheServer) {
    startServer();
    const ServerList list = parseServerString(password().c_str());
    ASSERT_TRUE(list.valid);
    EXPECT_EQ(list.servers[0].ipv4, 0x7F000001u);
    EXPECT_EQ(list.servers[0].port, port());
    EXPECT_FALSE(list.servers[1].ipv4);
}

TEST_F(RendezvousServerTest, JoinNeedsTheServerStringAndPongsAreShort) {
    startServer();
    TestPeer stranger{rendezvous_test::kClientSide};
    ASSERT_TRUE(stranger.peer().Connect(SystemAddress("127.0.0.1", port()), "nope", 4) ==
                P2PNet::ConnectResult::AttemptStarted);
    EXPECT_TRUE(stranger.takeId(P2PNet::ID_BAD_JOIN_DATA));

    // A client takes a pong of 8 bytes or less for a server's and then connects.
    TestPeer pinger{rendezvous_test::kClientSide};
    ASSERT_TRUE(pinger.peer().PingHost("127.0.0.1", port(), true, 0));
    Received pong;
    ASSERT_TRUE(pinger.takeId(P2PNet::ID_OFFLINE_PONG, &pong));
    EXPECT_LE(pong.data.size(), 8u);
}

TEST_F(RendezvousServerTest, RegistrationIsAnsweredWithTheClaimedNatType) {
    rendezvous::RendezvousOptions options;
    options.natType = 2;
    options.natTypes["DEV4"] = 4;
    startServer(options);
    uint8_t nat = 0;
    auto device = registered("DEV1", 2, &nat);
    EXPECT_EQ(nat, 2);
    auto other = registered("DEV4", 2, &nat);
    EXPECT_EQ(nat, 4);
    EXPECT_TRUE(m_server->isRegistered("DEV1"));
    EXPECT_TRUE(m_server->isRegistered("DEV4"));
}

TEST_F(RendezvousServerTest, LookupGivesRouteOffersAndFailures) {
    rendezvous::RendezvousOptions options;
    options.natTypes["DEV1"] = 3;
    startServer(options);
    auto device = registered("DEV1", 2);
    auto client = registered("CLI", 1);
    sendLookup(*client, "CLI", {"DEV1", "NOPE"});

    Received offers;
    ASSERT_TRUE(client->takeSub(135, 20, &offers));
    BitStream in = offers.reader(2);
    uint8_t count = 0;
    std::string id;
    uint8_t unused = 9;
    P2PNetGUID guid;
    SystemAddress address;
    uint8_t nat = 0;
    ASSERT_TRUE(in.ReadU8(count) && in.ReadString(id) && in.ReadU8(unused) && guid.Deserialize(in) &&
                address.Deserialize(in) && in.ReadU8(nat));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(id, "DEV1");
    EXPECT_EQ(guid, device->guid());
    EXPECT_EQ(address.GetPort(), device->address().GetPort());
    EXPECT_EQ(nat, 3);

    Received failures;
    ASSERT_TRUE(client->takeSub(135, 19, &failures));
    in = failures.reader(2);
    uint8_t status = 0;
    ASSERT_TRUE(in.ReadU8(count) && in.ReadString(id) && in.ReadU8(status));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(id, "NOPE");
    EXPECT_EQ(status, 1);  // not online: -6 for the client
}

TEST_F(RendezvousServerTest, NewestRegistrationOfAnIdIsOffered) {
    startServer();
    auto old = registered("DEV1", 2);
    auto restarted = registered("DEV1", 2);
    auto client = registered("CLI", 1);
    sendLookup(*client, "CLI", {"DEV1"});
    Received offers;
    ASSERT_TRUE(client->takeSub(135, 20, &offers));
    BitStream in = offers.reader(2);
    uint8_t count = 0;
    std::string id;
    uint8_t unused = 0;
    P2PNetGUID guid;
    ASSERT_TRUE(in.ReadU8(count) && in.ReadString(id) && in.ReadU8(unused) && guid.Deserialize(in));
    EXPECT_EQ(guid, restarted->guid());
}

TEST_F(RendezvousServerTest, RefusedIdFailsWithItsStatus) {
    rendezvous::RendezvousOptions options;
    options.refused["BAD"] = 2;
    startServer(options);

    TestPeer device{rendezvous_test::kClientSide};
    ASSERT_TRUE(join(device, port(), password()));
    uint8_t accepted = 9;
    uint8_t nat = 0;
    ASSERT_TRUE(registerAndWait(device, port(), 2, "BAD", &accepted, &nat));
    EXPECT_EQ(accepted, 0);
    EXPECT_FALSE(m_server->isRegistered("BAD"));

    auto client = registered("CLI", 1);
    sendLookup(*client, "CLI", {"BAD"});
    Received failures;
    ASSERT_TRUE(client->takeSub(135, 19, &failures));
    BitStream in = failures.reader(2);
    uint8_t count = 0;
    std::string id;
    uint8_t status = 0;
    ASSERT_TRUE(in.ReadU8(count) && in.ReadString(id) && in.ReadU8(status));
    EXPECT_EQ(id, "BAD");
    EXPECT_EQ(status, 2);  // -4 for the client
}

TEST_F(RendezvousServerTest, RouteRequestSendsTimedStartToBothSides) {
    startServer();
    auto device = registered("DEV1", 2);
    auto client = registered("CLI", 1);

    BitStream request;
    request.WriteU8(127);
    device->address().Serialize(request);
    device->guid().Serialize(request);
    client->sendStream(request, P2PNet::PeerTarget(m_serverGuid));

    auto isStart = [](const Received& m) { return m.id() == P2PNet::ID_TIME_PREFIX && m.data.size() > 9 && m.data[9] == 59; };
    auto readStart = [](const Received& m, P2PNetGUID& target, bool& weAreSender, uint16_t& session) {
        BitStream in = m.reader(10);
        SystemAddress external;
        uint8_t count = 0;
        if (!in.ReadU16(session) || !external.Deserialize(in) || !in.ReadU8(count)) return false;
        for (uint8_t i = 0; i < count; ++i) {
            SystemAddress internal;
            if (!internal.Deserialize(in)) return false;
        }
        return target.Deserialize(in) && in.ReadBit(weAreSender);
    };
    Received toClient;
    Received toDevice;
    ASSERT_TRUE(client->take(isStart, &toClient));
    ASSERT_TRUE(device->take(isStart, &toDevice));
    P2PNetGUID target;
    bool sender = false;
    uint16_t clientSession = 0;
    uint16_t deviceSession = 0;
    ASSERT_TRUE(readStart(toClient, target, sender, clientSession));
    EXPECT_EQ(target, device->guid());
    EXPECT_TRUE(sender);
    ASSERT_TRUE(readStart(toDevice, target, sender, deviceSession));
    EXPECT_EQ(target, client->guid());
    EXPECT_FALSE(sender);
    EXPECT_EQ(clientSession, deviceSession);

    // A target the server does not know: 62 with its GUID.
    BitStream unknown;
    unknown.WriteU8(127);
    device->address().Serialize(unknown);
    P2PNetGUID(12345).Serialize(unknown);
    client->sendStream(unknown, P2PNet::PeerTarget(m_serverGuid));
    Received notConnected;
    ASSERT_TRUE(client->takeId(62, &notConnected));
    P2PNetGUID missing;
    BitStream in = notConnected.reader(1);
    ASSERT_TRUE(missing.Deserialize(in));
    EXPECT_EQ(missing.g, 12345u);
}

TEST_F(RendezvousServerTest, ServerRelayCarriesDataAndReportsTheEnd) {
    rendezvous::RendezvousOptions options;
    options.serverRelayIds.insert("DEV1");
    startServer(options);
    auto device = registered("DEV1", 2);
    auto client = registered("CLI", 1);
    sendLookup(*client, "CLI", {"DEV1"});

    Received accepted;
    ASSERT_TRUE(client->takeSub(135, 11, &accepted));
    BitStream in = accepted.reader(2);
    std::string id;
    uint8_t unused = 0;
    P2PNetGUID guid;
    SystemAddress address;
    uint8_t role = 0;
    ASSERT_TRUE(in.ReadString(id) && in.ReadU8(unused) && guid.Deserialize(in) && address.Deserialize(in) &&
                in.ReadU8(role));
    EXPECT_EQ(id, "DEV1");
    EXPECT_EQ(guid, device->guid());
    EXPECT_EQ(role, 3);

    Received hello;
    ASSERT_TRUE(device->takeSub(135, 1, &hello));
    in = hello.reader(2);
    std::string deviceId;
    uint32_t mode = 0;
    std::string peerId;
    SystemAddress peerAddress;
    P2PNetGUID peerGuid;
    uint8_t nat = 0;
    uint8_t connectionType = 0;
    ASSERT_TRUE(in.ReadString(deviceId) && in.ReadU32(mode) && in.ReadString(peerId) && peerAddress.Deserialize(in) &&
                peerGuid.Deserialize(in) && in.ReadU8(nat) && in.ReadU8(connectionType));
    EXPECT_EQ(deviceId, "DEV1");
    EXPECT_EQ(peerId, "CLI");
    EXPECT_EQ(peerGuid, client->guid());
    EXPECT_EQ(connectionType, 3);

    BitStream data;
    data.WriteU8(135);
    data.WriteU8(12);
    address.Serialize(data);
    data.WriteBytes("hello", 5);
    client->sendStream(data, P2PNet::PeerTarget(m_serverGuid));
    Received relayed;
    ASSERT_TRUE(device->takeSub(135, 13, &relayed));
    in = relayed.reader(2);
    P2PNetGUID from;
    char text[5] = {};
    ASSERT_TRUE(from.Deserialize(in) && in.ReadBytes(text, 5));
    EXPECT_EQ(from, client->guid());
    EXPECT_EQ(std::string(text, 5), "hello");
    EXPECT_EQ(in.GetNumberOfUnreadBits(), 0u);

    // The device goes: the client hears that the relayed session ended.
    device->peer().Stop(500);
    Received closed;
    ASSERT_TRUE(client->takeSub(135, 14, &closed));
    in = closed.reader(2);
    uint8_t flag = 9;
    ASSERT_TRUE(from.Deserialize(in) && in.ReadU8(flag));
    EXPECT_EQ(from, device->guid());
    EXPECT_EQ(flag, 0);
}

}  // namespace
