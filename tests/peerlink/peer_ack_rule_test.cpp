// A peer that acknowledges at the end of each receive round against one that keeps the earlier
// 10 ms delayed acknowledgement (AckRule::Delayed): the wire format is the same, so ordered data
// must move both ways at once, whole and in order, with and without loss, whichever side uses
// which rule.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace peerlink {
namespace {

using namespace P2PNet;

struct RuleCase {
    const char* name;
    AckRule client;
    AckRule server;
    double loss;  // share of each side's datagrams dropped once connected
};

class PeerAckRules : public ::testing::TestWithParam<RuleCase> {};

// Messages one side sends: small ones around one large split message.
std::vector<std::vector<uint8_t>> trafficFrom(uint32_t seed)
{
    std::vector<std::vector<uint8_t>> out;
    for (int i = 0; i < 60; ++i)
        out.push_back(patternBytes(i == 30 ? 300 * 1024 : 20 + static_cast<std::size_t>(i) * 53, kUserMessage,
                                   seed + static_cast<uint32_t>(i)));
    return out;
}

// Every other message goes out gathered from three parts and an empty one, which the peer joins.
void sendAll(TestPeer& from, const std::vector<std::vector<uint8_t>>& messages, const PeerTarget& to)
{
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const char* body = reinterpret_cast<const char*>(messages[i].data());
        const int length = static_cast<int>(messages[i].size());
        if (i % 2 == 0) {
            ASSERT_NE(from->SendBytes(body, length, SendPriority::High, ReliabilityKind::ReliableOrdered, 2, to, false),
                      0u);
            continue;
        }
        const char* parts[4] = {body, body + 1, nullptr, body + length / 2};
        const int lengths[4] = {1, length / 2 - 1, 0, length - length / 2};
        ASSERT_NE(from->SendGathered(parts, lengths, 4, SendPriority::High, ReliabilityKind::ReliableOrdered, 2, to, false),
                  0u);
    }
}

TEST_P(PeerAckRules, OrderedDataMovesBothWays)
{
    const RuleCase& c = GetParam();
    const Family& family = families().front();
    TestPeer server;
    TestPeer client;
    ASSERT_EQ(server.start(family.listenFamily, family.listenHost), StartResult::Started);
    ASSERT_EQ(client.start(family.connectFamily, family.connectHost), StartResult::Started);
    client->SetAckRule(c.client);
    server->SetAckRule(c.server);
    ASSERT_EQ(client->GetAckRule(), c.client);
    std::optional<Connection> made = connectPeers(client, server, family);
    ASSERT_TRUE(made.has_value());
    if (c.loss > 0) {
        P2PPeerTestHooks::SetSendLoss(client.peer(), c.loss, 21);
        P2PPeerTestHooks::SetSendLoss(server.peer(), c.loss, 22);
    }
    const PeerTarget toServer(made->accepted.guid, made->accepted.address);
    const PeerTarget toClient(made->incoming.guid, made->incoming.address);

    const std::vector<std::vector<uint8_t>> up = trafficFrom(100);
    const std::vector<std::vector<uint8_t>> down = trafficFrom(5000);
    ASSERT_NO_FATAL_FAILURE(sendAll(client, up, toServer));
    ASSERT_NO_FATAL_FAILURE(sendAll(server, down, toClient));

    // Both directions are read together, so neither side's acknowledgements wait for the other
    // side's reader.
    std::size_t gotUp = 0;
    std::size_t gotDown = 0;
    std::string fault;
    auto take = [&fault](TestPeer& peer, const std::vector<std::vector<uint8_t>>& expected, std::size_t& got) {
        peer.poll();
        while (got < expected.size() && peer.hasKept(kUserMessage)) {
            std::optional<Received> r = peer.take({kUserMessage}, std::chrono::milliseconds(0));
            if (!r)
                break;
            if (r->data != expected[got] && fault.empty())
                fault = "message " + std::to_string(got) + " out of order or damaged";
            ++got;
        }
    };
    const bool done = client.waitUntil([&] {
        take(server, up, gotUp);
        take(client, down, gotDown);
        return gotUp == up.size() && gotDown == down.size();
    });
    EXPECT_TRUE(fault.empty()) << fault;
    EXPECT_TRUE(done) << "client to server: " << gotUp << " of " << up.size() << "; server to client: " << gotDown
                      << " of " << down.size();
    if (c.loss > 0) {
        const uint64_t dropped =
            P2PPeerTestHooks::DroppedDatagrams(client.peer()) + P2PPeerTestHooks::DroppedDatagrams(server.peer());
        EXPECT_GT(dropped, 0u) << "no loss was injected";
    }
    EXPECT_EQ(server->CountConnected(), 1u);
    EXPECT_EQ(client->CountConnected(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, PeerAckRules,
    ::testing::Values(RuleCase{"delayed_client_end_of_round_server", AckRule::Delayed, AckRule::EndOfRound, 0},
                      RuleCase{"end_of_round_client_delayed_server", AckRule::EndOfRound, AckRule::Delayed, 0},
                      RuleCase{"delayed_client_end_of_round_server_lossy", AckRule::Delayed, AckRule::EndOfRound, 0.03},
                      RuleCase{"end_of_round_client_delayed_server_lossy", AckRule::EndOfRound, AckRule::Delayed, 0.03},
                      RuleCase{"end_of_round_both_lossy", AckRule::EndOfRound, AckRule::EndOfRound, 0.03}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

} // namespace
} // namespace peerlink
