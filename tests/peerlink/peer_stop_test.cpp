// Stopping a peer while a connection is being dropped: the update thread's last round, run after
// the stop began, frees the slot it drops once and ends, and the stop returns.
#include "support/PeerLinkHarness.h"

#include "PeerUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
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

} // namespace
} // namespace peerlink
