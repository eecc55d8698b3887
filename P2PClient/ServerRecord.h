// One of the three rendezvous servers the client keeps a link to, with the thread that seeks it,
// registers this side with it and watches the link.
#pragma once

#include "PlatformThread.h"
#include "SystemAddress.h"

#include <atomic>
#include <cstdint>

// Server states.
enum ServerState : int32_t {
    kServerSeeking = 0,
    kServerJoined = 1,
    kServerRegistering = 2,
    kServerLost = 3,
    kServerLoggedIn = 7,
};

struct ServerRecord {
    int index = 0;
    // Addresses and GUID are written by Initialize (with the thread stopped) and by the receive
    // thread (GUID, on acceptance); read under the client's server lock.
    P2PNet::SystemAddress ipv4 = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    P2PNet::SystemAddress ipv6 = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    P2PNet::P2PNetGUID guid = P2PNet::UNASSIGNED_P2PNET_GUID;
    std::atomic<int32_t> state{kServerLost};
    // 4 when joined through the IPv4 address, 6 through the IPv6 address.
    std::atomic<uint8_t> ipVersion{4};
    // 1 while the registration thread runs; cleared to ask it to end.
    std::atomic<uint16_t> running{0};
    platform::AutoResetEvent wakeup;
    platform::Thread thread;
};
