// Two peers over real loopback UDP: connecting, pinging, moving a large ordered message with its
// receipt, closing with a notice and losing a connection by time-out, on IPv4, IPv6 and from an
// IPv4 peer to a dual-stack IPv6 one.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace peerlink {
namespace {

using namespace P2PNet;

class PeerLink : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override
    {
        if (!familyAvailable(GetParam()))
            GTEST_SKIP() << "this machine has no IPv6 loopback";
        ASSERT_EQ(server.start(GetParam().listenFamily, GetParam().listenHost), StartResult::Started);
        ASSERT_EQ(client.start(GetParam().connectFamily, GetParam().connectHost), StartResult::Started);
    }

    // Connects client to server; the test stops when that fails.
    void connect()
    {
        std::optional<Connection> made = connectPeers(client, server, GetParam());
        ASSERT_TRUE(made.has_value());
        connection = std::move(*made);
    }
    // The server as the client names it, and the client as the server names it.
    PeerTarget toServer() const { return PeerTarget(connection.accepted.guid, connection.accepted.address); }
    PeerTarget toClient() const { return PeerTarget(connection.incoming.guid, connection.incoming.address); }

    TestPeer server;
    TestPeer client;
    Connection connection;
};

TEST_P(PeerLink, ConnectReportsEachSideWithTheOthersIdentity)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    EXPECT_EQ(connection.accepted.guid, server.guid());
    EXPECT_EQ(connection.accepted.address.GetPort(), server.port());
    EXPECT_EQ(connection.incoming.guid, client.guid());
    EXPECT_EQ(connection.incoming.address.GetPort(), client.port());

    EXPECT_EQ(client->CountConnected(), 1u);
    EXPECT_EQ(server->CountConnected(), 1u);
    EXPECT_EQ(client->QueryLinkState(toServer()), LinkState::Connected);
    EXPECT_EQ(server->QueryLinkState(toClient()), LinkState::Connected);
    EXPECT_EQ(client->GetAddressOfGuid(server.guid()), connection.accepted.address);
    EXPECT_EQ(server->GetGuidOfAddress(connection.incoming.address), client.guid());

    // A second attempt to a connected peer is refused at once and changes nothing.
    EXPECT_EQ(client->ConnectByHostText(GetParam().targetHost, server.port(), nullptr, 0),
              ConnectResult::AlreadyConnectedToEndpoint);
    EXPECT_EQ(client->CountConnected(), 1u);
}

// A round-trip time in ms from a real sample (the peer keeps 0xFFFF for "none yet").
bool isSample(int ms) { return ms >= 0 && ms < 0xFFFF; }

TEST_P(PeerLink, ConnectedPingGivesRoundTripTimesOnBothSides)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    client->PingConnected(connection.accepted.address);
    server->PingConnected(connection.incoming.address);
    EXPECT_TRUE(client.waitUntil([&] { return isSample(client->LatestPing(toServer())); }));
    EXPECT_TRUE(server.waitUntil([&] { return isSample(server->LatestPing(toClient())); }));
    // The all-time lowest, read after the mean of the stored samples, cannot exceed it.
    const int average = client->AveragePing(toServer());
    const int lowest = client->LowestPing(toServer());
    EXPECT_TRUE(isSample(average)) << average;
    EXPECT_TRUE(isSample(lowest)) << lowest;
    EXPECT_LE(lowest, average);
    // Unknown remotes have no ping.
    EXPECT_EQ(client->LatestPing(PeerTarget(SystemAddress("127.0.0.1", 9))), -1);
}

TEST_P(PeerLink, LargeOrderedMessageArrivesWholeBetweenSmallOnesWithItsReceipt)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    constexpr int kSmallBefore = 50;
    constexpr int kSmallAfter = 50;
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < kSmallBefore; ++i)
        sent.push_back(patternBytes(100 + i, kUserMessage, i));
    sent.push_back(patternBytes(1 << 20, kUserMessage, 1000));
    for (int i = 0; i < kSmallAfter; ++i)
        sent.push_back(patternBytes(100 + i, kUserMessage, 2000 + i));

    uint32_t bigReceipt = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const bool big = sent[i].size() == (1u << 20);
        const uint32_t receipt =
            client->SendBytes(reinterpret_cast<const char*>(sent[i].data()), static_cast<int>(sent[i].size()),
                              SendPriority::High, big ? ReliabilityKind::ReliableOrderedWithReceipt : ReliabilityKind::ReliableOrdered,
                              3, toServer(), false);
        ASSERT_NE(receipt, 0u) << "send " << i << " refused";
        if (big)
            bigReceipt = receipt;
    }

    for (std::size_t i = 0; i < sent.size(); ++i) {
        std::optional<Received> r = server.waitFor({kUserMessage});
        ASSERT_TRUE(r.has_value()) << "message " << i << " of " << sent.size() << " never arrived";
        ASSERT_EQ(r->data.size(), sent[i].size()) << "message " << i << " out of order or cut";
        ASSERT_TRUE(r->data == sent[i]) << "message " << i << " damaged";
        EXPECT_EQ(r->guid, client.guid());
    }

    std::optional<Received> ack = client.waitFor({ID_RECEIPT_ACKED});
    ASSERT_TRUE(ack.has_value()) << "no receipt for the large message";
    ASSERT_EQ(ack->data.size(), 5u);
    uint32_t acked = 0;
    for (int b = 0; b < 4; ++b)
        acked |= static_cast<uint32_t>(ack->data[1 + b]) << (8 * b);
    EXPECT_EQ(acked, bigReceipt);
    EXPECT_FALSE(client.hasKept(ID_RECEIPT_LOST));
}

TEST_P(PeerLink, OrderedMessagesSurviveLossInBothDirections)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    // From here on 5% of each side's datagrams (data and acknowledgements) vanish.
    client->SetTestSendLoss(0.05, 11);
    server->SetTestSendLoss(0.05, 12);
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 40; ++i)
        sent.push_back(patternBytes(i == 20 ? (1 << 20) : 1 + i * 97, kUserMessage, 100 + i));
    for (const std::vector<uint8_t>& body : sent)
        ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()), SendPriority::High,
                                    ReliabilityKind::ReliableOrdered, 5, toServer(), false),
                  0u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        std::optional<Received> r = server.waitFor({kUserMessage});
        ASSERT_TRUE(r.has_value()) << "message " << i << " lost for good";
        ASSERT_TRUE(r->data == sent[i]) << "message " << i << " out of order or damaged";
    }
    EXPECT_GT(client->TestDroppedDatagrams() + server->TestDroppedDatagrams(), 0u) << "no loss was injected";
    EXPECT_EQ(server->CountConnected(), 1u) << "loss alone must not end the connection";
}

TEST_P(PeerLink, CloseNoticeReachesTheRemoteAndFreesBothSlots)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    client->DropConnection(toServer(), true);

    std::optional<Received> closed = server.waitFor({ID_PEER_CLOSED, ID_PEER_LOST});
    ASSERT_TRUE(closed.has_value()) << "the remote never heard of the close";
    EXPECT_EQ(closed->id, ID_PEER_CLOSED);
    EXPECT_EQ(closed->guid, client.guid());
    // The closing side reports its own closed slot once it has gone.
    std::optional<Received> own = client.waitFor({ID_PEER_CLOSED, ID_PEER_LOST});
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->id, ID_PEER_CLOSED);
    EXPECT_TRUE(server.waitUntil([&] { return server->CountConnected() == 0; }));
    EXPECT_TRUE(client.waitUntil([&] { return client->CountConnected() == 0; }));
    EXPECT_NE(server->QueryLinkState(toClient()), LinkState::Connected);
}

TEST_P(PeerLink, SilentRemoteIsReportedLostAfterTheTimeOut)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    server->SetLinkTimeout(500, UNASSIGNED_SYSTEM_ADDRESS);
    EXPECT_EQ(server->GetLinkTimeout(connection.incoming.address), 500u);
    client->Stop(0);

    std::optional<Received> lost = server.waitFor({ID_PEER_LOST, ID_PEER_CLOSED});
    ASSERT_TRUE(lost.has_value()) << "a silent remote was never dropped";
    EXPECT_EQ(lost->id, ID_PEER_LOST);
    EXPECT_EQ(lost->guid, client.guid());
    EXPECT_TRUE(server.waitUntil([&] { return server->CountConnected() == 0; }));
}

TEST_P(PeerLink, DropWithoutNoticeIsLostHereAtOnceAndThereAfterTheTimeOut)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    server->SetLinkTimeout(500, UNASSIGNED_SYSTEM_ADDRESS);
    client->DropConnection(toServer(), false);
    // The call itself queues this side's notice, so it is there at once.
    client.poll();
    std::optional<Received> here;
    if (client.hasKept(ID_PEER_LOST))
        here = client.waitFor({ID_PEER_LOST});

    // The remote hears nothing and times out.
    std::optional<Received> there = server.waitFor({ID_PEER_LOST, ID_PEER_CLOSED});
    ASSERT_TRUE(there.has_value());
    EXPECT_EQ(there->id, ID_PEER_LOST);
    EXPECT_EQ(there->guid, client.guid());
    EXPECT_EQ(client->CountConnected(), 0u);

    ASSERT_TRUE(here.has_value()) << "a drop without notice makes its local ID_PEER_LOST";
    EXPECT_EQ(here->guid, server.guid());
    EXPECT_EQ(here->address, connection.accepted.address);
    EXPECT_TRUE(here->generatedLocally);
}

INSTANTIATE_TEST_SUITE_P(Loopback, PeerLink, ::testing::ValuesIn(families()),
                         [](const ::testing::TestParamInfo<Family>& paramInfo) { return familyName(paramInfo.param); });

} // namespace
} // namespace peerlink
