// MTU discovery of the handshake over loopback UDP: when the path drops datagrams above a size
// (the peer's test hook stands in for such a path), the connection falls back to a smaller MTU
// and then carries a large message in datagrams that all pass.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <ostream>

namespace peerlink {
namespace {

using namespace P2PNet;

struct PathCase {
    const char* name;
    unsigned pathLimit;  // largest datagram the path carries; 0 = no limit
    int lowestMtu;       // the agreed MTU must lie in [lowestMtu, highestMtu]
    int highestMtu;
    bool clientOnly = false;  // only the connecting side's datagrams meet the limit
};

// The handshake tries 1472, then 1200, then 576.
const PathCase kPaths[] = {
    {"Unlimited", 0, 1201, 1472},
    {"Below1472", 1300, 577, 1300},
    {"Below1200", 1000, 500, 1000},
    // Requests padded for 1472 vanish on the way out, those for 1200 pass: the second size is
    // taken exactly, by both sides.
    {"Below1472OneWay", 1300, 1192, 1192, true},
};

void PrintTo(const PathCase& path, std::ostream* out) { *out << path.name; }

class PeerMtu : public ::testing::TestWithParam<std::tuple<Family, PathCase>> {};

TEST_P(PeerMtu, HandshakeFallsBackToAnMtuThePathCarries)
{
    const Family& family = std::get<0>(GetParam());
    const PathCase& path = std::get<1>(GetParam());
    if (!familyAvailable(family))
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    TestPeer server, client;
    ASSERT_EQ(server.start(family.listenFamily, family.listenHost), StartResult::Started);
    ASSERT_EQ(client.start(family.connectFamily, family.connectHost), StartResult::Started);
    if (!path.clientOnly)
        P2PPeerTestHooks::SetMaxDatagramSize(server.peer(), path.pathLimit);
    P2PPeerTestHooks::SetMaxDatagramSize(client.peer(), path.pathLimit);

    // Six attempts 100 ms apart: two for each MTU size.
    std::optional<Connection> made = connectPeers(client, server, family, {}, 6, 100);
    ASSERT_TRUE(made.has_value());
    const int clientMtu = client->MtuOf(made->accepted.address);
    const int serverMtu = server->MtuOf(made->incoming.address);
    EXPECT_EQ(clientMtu, serverMtu) << "both sides must agree on the MTU";
    EXPECT_GE(clientMtu, path.lowestMtu);
    EXPECT_LE(clientMtu, path.highestMtu);
    if (path.pathLimit != 0) {
        EXPECT_GT(P2PPeerTestHooks::DroppedDatagrams(client.peer()), 0u) << "the path limit was never exercised";
    }

    // Every datagram of a 256 KiB message must fit the path, or it never arrives.
    const std::vector<uint8_t> body = patternBytes(256 * 1024, kUserMessage, 7);
    ASSERT_NE(client->SendBytes(reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()), SendPriority::High,
                                ReliabilityKind::ReliableOrdered, 0, PeerTarget(made->accepted.guid), false),
              0u);
    std::optional<Received> got = server.take({kUserMessage});
    ASSERT_TRUE(got.has_value()) << "the message did not get through the path";
    EXPECT_TRUE(got->data == body);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Family, PathCase>>& info)
{
    return familyName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Loopback, PeerMtu, ::testing::Combine(::testing::ValuesIn(families()), ::testing::ValuesIn(kPaths)),
                         caseName);

} // namespace
} // namespace peerlink
