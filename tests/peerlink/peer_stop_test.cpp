// Starting and stopping a peer: Start returns once the update thread runs; a Stop that lets the
// connections close first returns once the last of them has gone, not at the end of the time it
// allows; and a Stop while a connection is being dropped: the update thread's last round, run
// after the stop began, frees the slot it drops once and ends, and the stop returns.
#include "support/PeerLinkHarness.h"

#include "PeerPlugin.h"
#include "PeerUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace peerlink {
namespace {

using namespace P2PNet;

// Holds the update thread at the start of a round until the peer has begun stopping.
struct StopGate {
    std::atomic<bool> armed{false};
    std::atomic<bool> holding{false};
    uint64_t notBeforeMs = 0;
};

void holdUntilStopping(P2PPeerInterface* peer, void* data)
{
    auto* gate = static_cast<StopGate*>(data);
    if (!gate->armed.exchange(false))
        return;
    gate->holding = true;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while ((peer->IsRunning() || NowMillis() <= gate->notBeforeMs) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}

TEST(PeerStop, AConnectionDroppedInTheLastRoundEndsTheStop)
{
    const Family& family = families().front();
    TestPeer server;
    TestPeer client;
    ASSERT_EQ(server.start(family.listenFamily, family.listenHost), StartResult::Started);
    ASSERT_EQ(client.start(family.connectFamily, family.connectHost), StartResult::Started);
    ASSERT_TRUE(connectPeers(client, server, family).has_value());

    StopGate gate;
    client->SetCycleHook(&holdUntilStopping, &gate);
    gate.armed = true;
    ASSERT_TRUE(client.waitUntil([&] { return gate.holding.load(); }));
    // The server goes without a word and the client's link falls silent: the round that runs
    // after the stop began finds it dead.
    server->Stop(0, 0, SendPriority::Low);
    client->SetLinkTimeout(1, UNASSIGNED_SYSTEM_ADDRESS);
    gate.notBeforeMs = NowMillis() + 5;

    auto stop = std::async(std::launch::async, [&] { client->Stop(0, 0, SendPriority::Low); });
    if (stop.wait_for(kDeadline) != std::future_status::ready) {
        // The update thread spins in its drop step and cannot be joined: nothing more can run.
        std::fprintf(stderr, "the stop did not return\n");
        std::_Exit(1);
    }
    stop.get();
    EXPECT_FALSE(client->IsRunning());
    EXPECT_EQ(client->CountConnected(), 0u);
}

// Far beyond any deadline of these tests: a Stop given this long returns on the event of its
// connections' end, or the test fails at its deadline.
constexpr unsigned kStopAllowanceMs = 10 * 60 * 1000;

// Runs stop on a thread of its own and waits for it up to kDeadline; a stop that does not
// return ends the program, as nothing more can run.
void stopWithin(const std::function<void()>& stop, const char* what)
{
    auto done = std::async(std::launch::async, stop);
    if (done.wait_for(kDeadline) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return\n", what);
        std::_Exit(1);
    }
    done.get();
}

TEST(PeerStop, StartReturnsRunningAndStopsEndAtOnceAgainAndAgain)
{
    const Family& family = families().front();
    TestPeer peer;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(peer.start(family.listenFamily, family.listenHost), StartResult::Started);
        EXPECT_TRUE(peer->IsRunning()) << "Start returned before its update thread ran";
        // Every other round lets (no) connections close first: with none open it ends at once.
        const unsigned allowance = round % 2 == 0 ? 0 : kStopAllowanceMs;
        stopWithin([&] { peer->Stop(allowance, 0, SendPriority::Low); }, "the stop");
        EXPECT_FALSE(peer->IsRunning());
    }
}

// Counts the reliable messages the remote acknowledges once armed (update thread).
struct AckCounter : PeerPlugin {
    std::atomic<bool> armed{false};
    std::atomic<int> acknowledged{0};
    void OnMessageAcked(uint32_t, const SystemAddress&, uint64_t) override
    {
        if (armed)
            ++acknowledged;
    }
};

TEST(PeerStop, AStopThatLetsConnectionsCloseReturnsOnceTheyHaveGone)
{
    const Family& family = families().front();
    TestPeer server;
    TestPeer client;
    AckCounter& acks = client.add<AckCounter>();
    ASSERT_EQ(server.start(family.listenFamily, family.listenHost), StartResult::Started);
    ASSERT_EQ(client.start(family.connectFamily, family.connectHost), StartResult::Started);
    std::optional<Connection> made = connectPeers(client, server, family);
    ASSERT_TRUE(made.has_value());
    server.startPump();
    // Once nothing of the client's waits for an acknowledgement, the next one is the close
    // notice's, the only reliable message the stop sends.
    ASSERT_TRUE(client.waitUntil([&] {
        ReliabilityStatistics statistics;
        return client->LinkStatistics(made->accepted.address, &statistics) != nullptr &&
               statistics.messagesWaitingForAck == 0;
    }));
    acks.armed = true;

    stopWithin([&] { client->Stop(kStopAllowanceMs, 0, SendPriority::Low); }, "the stop with connections");
    EXPECT_FALSE(client->IsRunning());
    EXPECT_EQ(acks.acknowledged.load(), 1) << "the stop returned before its close notice was acknowledged";
    EXPECT_TRUE(server.sawId(ID_PEER_CLOSED));
}

} // namespace
} // namespace peerlink
