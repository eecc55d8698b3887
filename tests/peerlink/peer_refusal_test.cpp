// Connection attempts that a real peer refuses, or that find nobody, over loopback UDP: each ends
// on the connecting side with its own message and leaves no connection behind.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

namespace peerlink {
namespace {

using namespace P2PNet;

enum class Refusal { WrongPassword, NoFreeSlots, Banned, NobodyThere };

struct RefusalCase {
    const char* name;
    Refusal refusal;
    uint8_t expectedId;
};

const RefusalCase kRefusals[] = {
    {"WrongPassword", Refusal::WrongPassword, ID_BAD_JOIN_DATA},
    {"NoFreeSlots", Refusal::NoFreeSlots, ID_NO_FREE_SLOTS},
    {"Banned", Refusal::Banned, ID_PEER_BANNED},
    {"NobodyThere", Refusal::NobodyThere, ID_JOIN_FAILED},
};

void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.name; }

class PeerRefusal : public ::testing::TestWithParam<std::tuple<Family, RefusalCase>> {
protected:
    const Family& family() const { return std::get<0>(GetParam()); }
    const RefusalCase& refusal() const { return std::get<1>(GetParam()); }
};

TEST_P(PeerRefusal, AttemptEndsWithItsReasonAndNoConnection)
{
    if (!familyAvailable(family()))
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    TestPeer server, client, first;
    ASSERT_EQ(server.start(family().listenFamily, family().listenHost, 4, 1), StartResult::Started);
    ASSERT_EQ(client.start(family().connectFamily, family().connectHost), StartResult::Started);
    server->SetJoinPassword("open sesame", 11);
    std::string password = "open sesame";
    uint16_t port = server.port();
    unsigned attempts = 12;

    switch (refusal().refusal) {
    case Refusal::WrongPassword:
        password = "open barley";
        break;
    case Refusal::NoFreeSlots:
        // The one incoming connection the server admits is taken by another peer first.
        ASSERT_EQ(first.start(family().connectFamily, family().connectHost), StartResult::Started);
        ASSERT_TRUE(connectPeers(first, server, family(), password).has_value());
        break;
    case Refusal::Banned:
        server->BanAddress(family().banPattern, 0);
        ASSERT_TRUE(server->IsAddressBanned(family().banPattern));
        if (std::strcmp(family().name, "IPv4ToDualStack") == 0) {
            ASSERT_TRUE(server->IsAddressBanned("::ffff:127.0.0.1")) << "mapped address texts are longer than 15";
        }
        break;
    case Refusal::NobodyThere: {
        // A port that was just in use and is now closed.
        TestPeer gone;
        ASSERT_EQ(gone.start(family().listenFamily, family().listenHost), StartResult::Started);
        port = gone.port();
        attempts = 3;
        break;
    }
    }

    ASSERT_EQ(client->ConnectByHostText(family().targetHost, port, password.data(), static_cast<int>(password.size()),
                                        nullptr, 0, attempts, 100),
              ConnectResult::AttemptStarted);
    std::optional<Received> answer = client.take({ID_JOIN_ACCEPTED, ID_JOIN_FAILED, ID_ALREADY_JOINED, ID_NO_FREE_SLOTS,
                                                     ID_PEER_BANNED, ID_BAD_JOIN_DATA, ID_PROTOCOL_MISMATCH,
                                                     ID_JOINED_TOO_RECENTLY});
    ASSERT_TRUE(answer.has_value()) << "the attempt never ended";
    EXPECT_EQ(answer->id(), refusal().expectedId);
    if (refusal().refusal != Refusal::NobodyThere) {
        EXPECT_EQ(answer->guid, server.guid()) << "a refusal names the peer that refused";
    }

    EXPECT_EQ(client->CountConnected(), 0u);
    // The server admitted nobody new: at most the first peer is connected, and the refused
    // client was never reported to its application.
    server.poll();
    EXPECT_FALSE(server.hasKept(ID_NEW_INCOMING));
    EXPECT_EQ(server->CountConnected(), refusal().refusal == Refusal::NoFreeSlots ? 1u : 0u);
    // Once the attempt is over a new one may start.
    EXPECT_NE(client->ConnectByHostText(family().targetHost, port, nullptr, 0, nullptr, 0, 1, 100),
              ConnectResult::AttemptAlreadyInProgress);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Family, RefusalCase>>& info)
{
    return familyName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Loopback, PeerRefusal,
                         ::testing::Combine(::testing::ValuesIn(families()), ::testing::ValuesIn(kRefusals)), caseName);

TEST(PeerConnectCalls, AreCheckedBeforeAnythingIsQueued)
{
    TestPeer stopped;
    EXPECT_EQ(stopped->ConnectByHostText("127.0.0.1", 9, nullptr, 0), ConnectResult::InvalidParameter);

    TestPeer peer;
    ASSERT_EQ(peer.start(kWireFamilyIPv4, "127.0.0.1"), StartResult::Started);
    EXPECT_EQ(peer->ConnectByHostText(nullptr, 9, nullptr, 0), ConnectResult::InvalidParameter);
    EXPECT_EQ(peer->ConnectByHostText("127.0.0.1", 9, nullptr, 0, nullptr, 5), ConnectResult::InvalidParameter)
        << "socket index 5 does not exist";
    EXPECT_EQ(peer->ConnectByHostText("not an address", 9, nullptr, 0), ConnectResult::CannotResolveDomainName);
    // A second attempt to the same address while the first still runs.
    EXPECT_EQ(peer->ConnectByHostText("127.0.0.1", 9, nullptr, 0, nullptr, 0, 50, 100), ConnectResult::AttemptStarted);
    EXPECT_EQ(peer->ConnectByHostText("127.0.0.1", 9, nullptr, 0), ConnectResult::AttemptAlreadyInProgress);
    peer->CancelConnectRequest(SystemAddress("127.0.0.1", 9));
    EXPECT_EQ(peer->ConnectByHostText("127.0.0.1", 9, nullptr, 0, nullptr, 0, 1, 100), ConnectResult::AttemptStarted);
}

} // namespace
} // namespace peerlink
