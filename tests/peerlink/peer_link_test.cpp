// Two peers over real loopback UDP: connecting (in few attempts, with and without a join
// password), messages each way by GUID and by address, pinging, moving a large ordered message
// with its receipt, loss, plug-ins, closing with a notice and losing a connection by time-out, on
// IPv4, IPv6 and from an IPv4 peer to a dual-stack IPv6 one.
#include "support/PeerLinkHarness.h"

#include "PeerPlugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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
        std::optional<Received> r = server.take({kUserMessage});
        ASSERT_TRUE(r.has_value()) << "message " << i << " of " << sent.size() << " never arrived";
        ASSERT_EQ(r->data.size(), sent[i].size()) << "message " << i << " out of order or cut";
        ASSERT_TRUE(r->data == sent[i]) << "message " << i << " damaged";
        EXPECT_EQ(r->guid, client.guid());
    }

    std::optional<Received> ack = client.take({ID_RECEIPT_ACKED});
    ASSERT_TRUE(ack.has_value()) << "no receipt for the large message";
    ASSERT_EQ(ack->data.size(), 5u);
    uint32_t acked = 0;
    for (int b = 0; b < 4; ++b)
        acked |= static_cast<uint32_t>(ack->data[1 + b]) << (8 * b);
    EXPECT_EQ(acked, bigReceipt);
    EXPECT_FALSE(client.hasKept(ID_RECEIPT_LOST));
}

// One load of ordered messages under loss, one after the other on the same connection.
struct LossLoad {
    const char* name;
    double loss;      // share of each side's datagrams (data and acknowledgements) that vanish
    int messages;
    uint8_t channel;
    std::size_t (*length)(int index);
};

const LossLoad kLossLoads[] = {
    {"mixed_sizes_with_1MiB_at_5pct", 0.05, 40, 5, [](int i) -> std::size_t { return i == 20 ? (1u << 20) : 1u + static_cast<std::size_t>(i) * 97; }},
    // 100 messages of 300 bytes: some 20 datagrams each way, so losses are certain.
    {"small_at_25pct", 0.25, 100, 3, [](int) -> std::size_t { return 300; }},
};

TEST_P(PeerLink, OrderedMessagesSurviveLossInBothDirections)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    uint32_t seed = 11;
    for (const LossLoad& load : kLossLoads) {
        SCOPED_TRACE(load.name);
        P2PPeerTestHooks::SetSendLoss(client.peer(), load.loss, seed++);
        P2PPeerTestHooks::SetSendLoss(server.peer(), load.loss, seed++);
        std::vector<std::vector<uint8_t>> sent;
        for (int i = 0; i < load.messages; ++i)
            sent.push_back(patternBytes(load.length(i), kUserMessage, seed * 1000 + static_cast<uint32_t>(i)));
        for (const std::vector<uint8_t>& body : sent)
            ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()),
                                        SendPriority::High, ReliabilityKind::ReliableOrdered, load.channel, toServer(),
                                        false),
                      0u);
        for (std::size_t i = 0; i < sent.size(); ++i) {
            std::optional<Received> r = server.take({kUserMessage});
            ASSERT_TRUE(r.has_value()) << "message " << i << " lost for good";
            ASSERT_TRUE(r->data == sent[i]) << "message " << i << " out of order or damaged";
        }
    }
    const uint64_t dropped =
        P2PPeerTestHooks::DroppedDatagrams(client.peer()) + P2PPeerTestHooks::DroppedDatagrams(server.peer());
    EXPECT_GT(dropped, 0u) << "no loss was injected";
    EXPECT_EQ(server->CountConnected(), 1u) << "loss alone must not end the connection";
}

TEST_P(PeerLink, SocketQueriesAreAnsweredByTheUpdateThreadAndAfterTheStop)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    // While the peer runs, the update thread answers: the connection's socket is the peer's one.
    std::vector<PlatformSocket*> all;
    client->QuerySockets(all);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->GetBoundAddress(), client.address());
    EXPECT_EQ(client->QuerySocket(toServer()), all[0]);
    EXPECT_EQ(client->QuerySocket(PeerTarget(UNASSIGNED_P2PNET_GUID, SystemAddress::FromIPv4(127, 0, 0, 1, 9))),
              nullptr);
    // Once stopped, the peer answers itself: no connection, no socket.
    client->Stop(0);
    client->QuerySockets(all);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(client->QuerySocket(toServer()), nullptr);
}

TEST_P(PeerLink, MessagesGoEachWayByGuidAndByAddress)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    const std::vector<uint8_t> hello = patternBytes(40, kUserMessage, 1);
    ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(hello.data()), static_cast<int>(hello.size()),
                                SendPriority::High, ReliabilityKind::ReliableOrdered, 0, PeerTarget(server.guid()), false),
              0u);
    std::optional<Received> there = server.take({kUserMessage});
    ASSERT_TRUE(there.has_value());
    EXPECT_TRUE(there->data == hello);
    EXPECT_EQ(there->guid, client.guid());
    EXPECT_FALSE(there->generatedLocally);

    // The answer goes to the address the message came from, with no GUID.
    const std::vector<uint8_t> answer = patternBytes(20, kUserMessage, 2);
    ASSERT_NE(server->SendBytes(reinterpret_cast<const char*>(answer.data()), static_cast<int>(answer.size()),
                                SendPriority::High, ReliabilityKind::Reliable, 0, PeerTarget(there->address), false),
              0u);
    std::optional<Received> back = client.take({kUserMessage});
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->data == answer);
    EXPECT_EQ(back->guid, server.guid());
}

TEST_P(PeerLink, ReceiptLookalikesFromTheRemoteAreDropped)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    // A message that looks like a receipt notice, then an ordinary one behind it on the same
    // ordered channel: the second arriving proves the first was handled.
    const uint8_t fakeReceipt[5] = {ID_RECEIPT_ACKED, 1, 0, 0, 0};
    const uint8_t fakeLoss[5] = {ID_RECEIPT_LOST, 2, 0, 0, 0};
    const uint8_t marker[2] = {kUserMessage, 1};
    for (const uint8_t* message : {fakeReceipt, fakeLoss})
        ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(message), 5, SendPriority::High,
                                    ReliabilityKind::ReliableOrdered, 0, toServer(), false),
                  0u);
    ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(marker), 2, SendPriority::High,
                                ReliabilityKind::ReliableOrdered, 0, toServer(), false),
              0u);
    ASSERT_TRUE(server.take({kUserMessage}).has_value());
    EXPECT_FALSE(server.hasKept(ID_RECEIPT_ACKED));
    EXPECT_FALSE(server.hasKept(ID_RECEIPT_LOST));
}

TEST_P(PeerLink, ConnectSucceedsInFewAttempts)
{
    // The fixture's pair is not used: one fresh pair per attempt count.
    for (unsigned attempts : {1u, 2u, 3u}) {
        SCOPED_TRACE(attempts);
        TestPeer listener, dialler;
        ASSERT_EQ(listener.start(GetParam().listenFamily, GetParam().listenHost), StartResult::Started);
        ASSERT_EQ(dialler.start(GetParam().connectFamily, GetParam().connectHost), StartResult::Started);
        std::optional<Connection> made = connectPeers(dialler, listener, GetParam(), {}, attempts, 200);
        ASSERT_TRUE(made.has_value());
        EXPECT_EQ(made->accepted.guid, listener.guid());
        EXPECT_FALSE(made->accepted.generatedLocally);
    }
}

// The join password the listener asks for, the one the dialler offers, and the outcome.
struct PasswordCase {
    const char* name;
    std::string required;
    std::string offered;
    bool accepted;
};

const PasswordCase kPasswords[] = {
    {"none", "", "", true},
    {"match", "secret", "secret", true},
    {"wrong_case", "secret", "secreT", false},
    {"missing", "secret", "", false},
    {"unexpected", "", "x", false},
};

TEST_P(PeerLink, JoinPasswordDecidesAcceptanceOrBadJoinData)
{
    for (const PasswordCase& c : kPasswords) {
        SCOPED_TRACE(c.name);
        TestPeer listener, dialler;
        ASSERT_EQ(listener.start(GetParam().listenFamily, GetParam().listenHost), StartResult::Started);
        ASSERT_EQ(dialler.start(GetParam().connectFamily, GetParam().connectHost), StartResult::Started);
        listener->SetJoinPassword(c.required.data(), static_cast<int>(c.required.size()));
        ASSERT_EQ(dialler->ConnectByHostText(GetParam().targetHost, listener.port(), c.offered.data(),
                                             static_cast<int>(c.offered.size())),
                  ConnectResult::AttemptStarted);
        std::optional<Received> answer = dialler.take({ID_JOIN_ACCEPTED, ID_BAD_JOIN_DATA});
        ASSERT_TRUE(answer.has_value()) << "the attempt never ended";
        EXPECT_EQ(answer->id(), c.accepted ? ID_JOIN_ACCEPTED : ID_BAD_JOIN_DATA);
        EXPECT_EQ(answer->guid, listener.guid());
        if (!c.accepted) {
            EXPECT_TRUE(dialler.waitUntil([&] {
                return dialler->QueryLinkState(PeerTarget(listener.guid())) != LinkState::Connected &&
                       listener->CountConnected() == 0;
            }));
        }
    }
}

// Records what the peer tells it and answers OfferMessage by the packet's second byte.
class RecordingPlugin : public PeerPlugin {
public:
    static constexpr uint8_t kConsume = 1;
    static constexpr uint8_t kKeep = 2;
    PluginVerdict OfferMessage(Packet* packet) override
    {
        if (packet->length < 2 || packet->data[0] != kUserMessage)
            return kPluginContinue;
        if (packet->data[1] == kConsume)
            return kPluginConsumed;
        if (packet->data[1] == kKeep) {
            std::lock_guard lock(mutex);
            kept.push_back(packet);
            return kPluginKeep;
        }
        return kPluginContinue;
    }
    void OnNewConnection(const SystemAddress&, P2PNetGUID guid, bool incoming) override
    {
        std::lock_guard lock(mutex);
        connections.emplace_back(guid, incoming);
    }
    void Tick() override { ++ticks; }

    std::mutex mutex;
    std::vector<std::pair<P2PNetGUID, bool>> connections;
    std::vector<Packet*> kept;
    std::atomic<int> ticks{0};
};

TEST_P(PeerLink, PluginsSeeConnectionsAndDecideOverPackets)
{
    RecordingPlugin plugin;
    server->AddPlugin(&plugin);
    // Detached on every way out of the test, before the plug-in goes.
    struct Detach {
        TestPeer& peer;
        RecordingPlugin& plugin;
        ~Detach() { peer->RemovePlugin(&plugin); }
    } detach{server, plugin};
    EXPECT_EQ(plugin.GetPeer(), &server.peer());
    ASSERT_NO_FATAL_FAILURE(connect());
    {
        std::lock_guard lock(plugin.mutex);
        ASSERT_EQ(plugin.connections.size(), 1u);
        EXPECT_EQ(plugin.connections[0].first, client.guid());
        EXPECT_TRUE(plugin.connections[0].second);
    }
    EXPECT_GT(plugin.ticks.load(), 0);

    // Consumed and kept packets never reach the caller; the one behind them does.
    for (uint8_t verdict : {RecordingPlugin::kConsume, RecordingPlugin::kKeep, uint8_t{3}}) {
        const uint8_t message[2] = {kUserMessage, verdict};
        ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(message), 2, SendPriority::High,
                                    ReliabilityKind::ReliableOrdered, 0, toServer(), false),
                  0u);
    }
    std::optional<Received> last = server.take({kUserMessage});
    ASSERT_TRUE(last.has_value());
    ASSERT_EQ(last->data.size(), 2u);
    EXPECT_EQ(last->data[1], 3);
    EXPECT_FALSE(server.hasKept(kUserMessage));
    {
        std::lock_guard lock(plugin.mutex);
        ASSERT_EQ(plugin.kept.size(), 1u);
        EXPECT_EQ(plugin.kept[0]->data[1], RecordingPlugin::kKeep);
        server->ReleasePacket(plugin.kept[0]);
        plugin.kept.clear();
    }
    server->RemovePlugin(&plugin);
    EXPECT_EQ(plugin.GetPeer(), nullptr);
}

TEST_P(PeerLink, CloseNoticeReachesTheRemoteAndFreesBothSlots)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    client->DropConnection(toServer(), true);

    std::optional<Received> closed = server.take({ID_PEER_CLOSED, ID_PEER_LOST});
    ASSERT_TRUE(closed.has_value()) << "the remote never heard of the close";
    EXPECT_EQ(closed->id(), ID_PEER_CLOSED);
    EXPECT_EQ(closed->guid, client.guid());
    // The closing side reports its own closed slot once it has gone.
    std::optional<Received> own = client.take({ID_PEER_CLOSED, ID_PEER_LOST});
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->id(), ID_PEER_CLOSED);
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

    std::optional<Received> lost = server.take({ID_PEER_LOST, ID_PEER_CLOSED});
    ASSERT_TRUE(lost.has_value()) << "a silent remote was never dropped";
    EXPECT_EQ(lost->id(), ID_PEER_LOST);
    EXPECT_EQ(lost->guid, client.guid());
    EXPECT_TRUE(lost->generatedLocally);
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
        here = client.take({ID_PEER_LOST});

    // The remote hears nothing and times out.
    std::optional<Received> there = server.take({ID_PEER_LOST, ID_PEER_CLOSED});
    ASSERT_TRUE(there.has_value());
    EXPECT_EQ(there->id(), ID_PEER_LOST);
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
