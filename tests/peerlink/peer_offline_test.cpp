// Messages between peers that have no connection, over loopback UDP: the offline ping with the
// response data each side carries, the ping that only a peer with a free slot answers, and
// out-of-band data and advertisements.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace peerlink {
namespace {

using namespace P2PNet;

class PeerOffline : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override
    {
        if (!familyAvailable(GetParam()))
            GTEST_SKIP() << "this machine has no IPv6 loopback";
        ASSERT_EQ(server.start(GetParam().listenFamily, GetParam().listenHost, 4, 4), StartResult::Started);
        ASSERT_EQ(client.start(GetParam().connectFamily, GetParam().connectHost), StartResult::Started);
    }

    static std::string tail(const Received& r, std::size_t from)
    {
        return r.data.size() > from ? std::string(r.data.begin() + static_cast<std::ptrdiff_t>(from), r.data.end()) : std::string();
    }

    TestPeer server;
    TestPeer client;
};

TEST_P(PeerOffline, PingIsAnsweredWithTheResponseDataOfBothSides)
{
    const std::string serverReply = "camera 42 ready";
    const std::string clientReply = "viewer 7";
    server->SetOfflineReply(serverReply.data(), static_cast<unsigned>(serverReply.size()));
    client->SetOfflineReply(clientReply.data(), static_cast<unsigned>(clientReply.size()));
    char* stored = nullptr;
    unsigned storedLength = 0;
    server->GetOfflineReply(&stored, &storedLength);
    ASSERT_EQ(std::string(stored, storedLength), serverReply);

    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), false));

    // The pong: [28][low 32 bits of the ping's time][the server's response data].
    std::optional<Received> pong = client.take({ID_OFFLINE_PONG});
    ASSERT_TRUE(pong.has_value()) << "no answer to the offline ping";
    ASSERT_EQ(pong->data.size(), 5 + serverReply.size());
    EXPECT_EQ(tail(*pong, 5), serverReply);
    EXPECT_EQ(pong->guid, server.guid());
    EXPECT_EQ(pong->address.GetPort(), server.port());

    // The pinged side learns who pinged: [1][low 32 bits of the time][the client's response].
    std::optional<Received> ping = server.take({ID_OFFLINE_PING});
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(tail(*ping, 5), clientReply);
    EXPECT_EQ(ping->guid, client.guid());
    EXPECT_EQ(std::memcmp(ping->data.data() + 1, pong->data.data() + 1, 4), 0)
        << "the pong echoes the ping's time";

    // Nobody was connected by it.
    EXPECT_EQ(server->CountConnected(), 0u);
    EXPECT_EQ(client->CountConnected(), 0u);
}

TEST_P(PeerOffline, EmptyResponseGivesAFiveBytePong)
{
    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), false));
    std::optional<Received> pong = client.take({ID_OFFLINE_PONG});
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->data.size(), 5u);
}

TEST_P(PeerOffline, OpenPingIsAnsweredOnlyWhileAnIncomingSlotIsFree)
{
    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), true));
    ASSERT_TRUE(client.take({ID_OFFLINE_PONG}).has_value()) << "a peer with free slots must answer";

    // No incoming connection admitted: the open ping goes unanswered. The plain pings around it
    // travel the same path in order, so had the open ping been answered its pong would be there
    // by the time the second plain ping's pong is.
    server->SetIncomingLimit(0);
    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), true));
    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), false));
    ASSERT_TRUE(client.take({ID_OFFLINE_PONG}).has_value());
    ASSERT_TRUE(client->PingHost(GetParam().targetHost, server.port(), false));
    ASSERT_TRUE(client.take({ID_OFFLINE_PONG}).has_value());
    client.poll();
    EXPECT_FALSE(client.hasKept(ID_OFFLINE_PONG)) << "the open ping to a full peer was answered";
}

TEST_P(PeerOffline, OutOfBandDataAndAdvertisementsReachTheApplication)
{
    const std::string data = "hello without a connection";
    ASSERT_TRUE(client->SendRawToHost(GetParam().targetHost, server.port(), data.data(), static_cast<int>(data.size())));
    std::optional<Received> raw = server.take({ID_OUT_OF_BAND});
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(tail(*raw, 1), data);
    EXPECT_EQ(raw->guid, client.guid());

    const std::string advert = "camera on port 19886";
    client->SendAdvertisement(GetParam().targetHost, server.port(), advert.data(), static_cast<int>(advert.size()));
    std::optional<Received> ad = server.take({ID_ADVERTISE});
    ASSERT_TRUE(ad.has_value());
    EXPECT_EQ(tail(*ad, 1), advert);
    EXPECT_EQ(ad->guid, client.guid());
}

INSTANTIATE_TEST_SUITE_P(Loopback, PeerOffline, ::testing::ValuesIn(families()),
                         [](const ::testing::TestParamInfo<Family>& paramInfo) { return familyName(paramInfo.param); });

} // namespace
} // namespace peerlink
