// Two peers on 127.0.0.1: connect, one reliable message each way, disconnect.
#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "PeerUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace P2PNet {
namespace {

constexpr uint64_t kDeadlineMs = 10000;

struct Received {
    uint8_t id = 0;
    std::vector<uint8_t> data;
    SystemAddress from;
    P2PNetGUID guid;
};

class PeerSmoke : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto* peer : {&m_a, &m_b}) {
            *peer = std::make_unique<P2PPeer>();
            SocketSpec spec;
            std::strcpy(spec.host, "127.0.0.1");
            spec.family = 2;
            ASSERT_EQ((*peer)->Start(4, &spec, 1, -99999), StartResult::Started);
            (*peer)->SetIncomingLimit(4);
        }
    }

    void TearDown() override
    {
        m_a.reset();
        m_b.reset();
    }

    // Polls peer until a packet with id arrives or the deadline passes.
    static bool WaitFor(P2PPeer& peer, uint8_t id, Received* out = nullptr)
    {
        const uint64_t deadline = NowMillis() + kDeadlineMs;
        while (NowMillis() < deadline) {
            Packet* packet = peer.Receive();
            if (packet == nullptr)
                continue;
            const bool match = packet->length > 0 && packet->data[0] == id;
            if (match && out != nullptr) {
                out->id = id;
                out->data.assign(packet->data, packet->data + packet->length);
                out->from = packet->systemAddress;
                out->guid = packet->guid;
            }
            peer.ReleasePacket(packet);
            if (match)
                return true;
        }
        return false;
    }

    static bool WaitUntil(const std::function<bool()>& condition)
    {
        const uint64_t deadline = NowMillis() + kDeadlineMs;
        while (NowMillis() < deadline) {
            if (condition())
                return true;
            platform::sleepMillis(5);
        }
        return false;
    }

    std::unique_ptr<P2PPeer> m_a;
    std::unique_ptr<P2PPeer> m_b;
};

TEST_F(PeerSmoke, ConnectExchangeAndDisconnect)
{
    const SystemAddress bAddress = m_b->GetBoundAddress(0);
    ASSERT_FALSE(bAddress.IsUnassigned());
    ASSERT_EQ(m_a->Connect(bAddress, nullptr, 0), ConnectResult::AttemptStarted);
    EXPECT_EQ(m_a->Connect(bAddress, nullptr, 0), ConnectResult::AttemptAlreadyInProgress);

    Received accepted;
    ASSERT_TRUE(WaitFor(*m_a, ID_JOIN_ACCEPTED, &accepted));
    EXPECT_EQ(accepted.guid, m_b->GetOwnGuid());
    Received incoming;
    ASSERT_TRUE(WaitFor(*m_b, ID_NEW_INCOMING, &incoming));
    EXPECT_EQ(incoming.guid, m_a->GetOwnGuid());
    EXPECT_EQ(m_a->QueryLinkState(PeerTarget(m_b->GetOwnGuid())), LinkState::Connected);
    EXPECT_EQ(m_a->Connect(bAddress, nullptr, 0), ConnectResult::AlreadyConnectedToEndpoint);

    // A reliable message each way, addressed by GUID one way and by address the other.
    const std::string hello = std::string(1, '\x88') + "hello over the peer";
    ASSERT_NE(m_a->SendBytes(hello.data(), static_cast<int>(hello.size()), SendPriority::High,
                             ReliabilityKind::ReliableOrdered, 0, PeerTarget(m_b->GetOwnGuid()), false),
              0u);
    Received message;
    ASSERT_TRUE(WaitFor(*m_b, 0x88, &message));
    EXPECT_EQ(std::string(message.data.begin(), message.data.end()), hello);
    EXPECT_EQ(message.guid, m_a->GetOwnGuid());

    const std::string answer = std::string(1, '\x89') + "and back";
    ASSERT_NE(m_b->SendBytes(answer.data(), static_cast<int>(answer.size()), SendPriority::High,
                             ReliabilityKind::Reliable, 0, PeerTarget(message.from), false),
              0u);
    ASSERT_TRUE(WaitFor(*m_a, 0x89, &message));
    EXPECT_EQ(std::string(message.data.begin(), message.data.end()), answer);

    // A closes with a notice; B hears ID_PEER_CLOSED and both slots end.
    m_a->DropConnection(PeerTarget(m_b->GetOwnGuid()), true);
    ASSERT_TRUE(WaitFor(*m_b, ID_PEER_CLOSED));
    EXPECT_TRUE(WaitUntil([&] { return m_a->CountConnected() == 0 && m_b->CountConnected() == 0; }));
}

} // namespace
} // namespace P2PNet
