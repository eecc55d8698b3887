// The tests' peer: a real P2PPeer on one loopback socket (system-chosen port) and every packet it
// handed to the application, copied out in arrival order.
//
// Receive runs either on the test's thread, inside the waits below (poll), or on a pump thread of
// the peer's own (startPump), as P2PClient's receive thread runs it. Waits end at a deadline that
// only stops a broken run (WaitUntil.h).
//
// Two ways to look at what arrived:
//   take...  hands out the oldest packet not handed out before that matches, and marks it taken,
//            so a second take of the same kind waits for the next one;
//   saw...   looks at everything that arrived, taken or not, and marks nothing.
// count... counts over everything that arrived.
//
// Plug-ins added with add<T> are owned by the peer object and outlive the peer itself; add them
// before startPump (the peer's plug-in lists are not locked).
#pragma once

#include "BitStream.h"
#include "P2PPeer.h"
#include "PeerPlugin.h"
#include "SystemAddress.h"
#include "WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumora::test {

// One packet as the application saw it, copied out of the peer's Packet.
struct Received {
    std::vector<uint8_t> data;  // the whole message, its id included
    P2PNet::SystemAddress address;
    P2PNet::P2PNetGUID guid;
    bool generatedLocally = false;  // a notice the peer made itself

    // The first byte; 0xFF for an empty packet.
    uint8_t id() const { return data.empty() ? 0xFF : data[0]; }
    // The second byte; 0xFF when there is none.
    uint8_t sub() const { return data.size() < 2 ? 0xFF : data[1]; }
    // A reader over the bytes after the first `skip` bytes.
    P2PNet::BitStream reader(unsigned skip) const;
};

using Match = std::function<bool(const Received&)>;

// The socket a peer is started on and its connection counts.
struct Bind {
    uint16_t family = P2PNet::kWireFamilyIPv4;
    const char* host = "127.0.0.1";  // "" binds any address (dual-stack for IPv6)
    unsigned maxConnections = 8;
    uint16_t incomingLimit = 8;  // connections others may open to this peer
};

inline constexpr Bind kIPv4Loopback{};
inline constexpr Bind kIPv6Loopback{P2PNet::kWireFamilyIPv6, "::1"};

class TestPeer {
public:
    // A peer not started yet.
    TestPeer();
    // A peer started on bind; started() tells whether that worked.
    explicit TestPeer(const Bind& bind);
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    P2PNet::StartResult start(const Bind& bind);
    // Starts with one socket of family on host:0.
    P2PNet::StartResult start(uint16_t family, const char* host, unsigned maxConnections = 4,
                              uint16_t incomingLimit = 4);
    bool started() const { return m_started; }

    P2PNet::P2PPeer& peer() { return *m_peer; }
    P2PNet::P2PPeer* operator->() { return m_peer.get(); }
    P2PNet::SystemAddress address() { return m_peer->GetBoundAddress(0); }
    uint16_t port() { return address().GetPort(); }
    P2PNet::P2PNetGUID guid() const { return m_peer->GetOwnGuid(); }

    template <class T, class... Args>
    T& add(Args&&... args)
    {
        auto plugin = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *plugin;
        m_peer->AddPlugin(&ref);
        m_plugins.push_back(std::move(plugin));
        return ref;
    }

    // Receive runs on a thread of its own from now on, until stopPump or the end of the object.
    void startPump();
    void stopPump();

    // Moves every packet Receive has now into the log (one poll; Receive waits up to 10 ms when
    // nothing is queued). Does nothing while the pump thread runs.
    void poll();
    // True as soon as condition() holds, polling Receive meanwhile; false at the deadline.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds within = kWaitLimit);

    std::optional<Received> take(std::initializer_list<uint8_t> ids, std::chrono::milliseconds within = kWaitLimit);
    bool take(const Match& match, Received* out = nullptr, std::chrono::milliseconds within = kWaitLimit);
    bool takeId(uint8_t id, Received* out = nullptr, std::chrono::milliseconds within = kWaitLimit);
    bool takeSub(uint8_t id, uint8_t sub, Received* out = nullptr, std::chrono::milliseconds within = kWaitLimit);

    bool saw(const Match& match, Received* found = nullptr, std::chrono::milliseconds within = kWaitLimit);
    bool sawId(uint8_t id, Received* found = nullptr, std::chrono::milliseconds within = kWaitLimit);

    std::size_t count(const Match& match) const;
    std::size_t countId(uint8_t id) const;
    // Everything that arrived so far, in order.
    std::vector<Received> received() const;
    // Whether a packet of id arrived and has not been taken (no poll).
    bool hasKept(uint8_t id) const;

    // Sends message bytes (the id first) reliable and ordered on channel 0, priority High.
    bool sendBytes(const std::vector<uint8_t>& bytes, const P2PNet::PeerTarget& target);
    bool sendStream(const P2PNet::BitStream& stream, const P2PNet::PeerTarget& target);

private:
    struct Entry {
        Received packet;
        bool taken = false;
    };

    void push(Received packet);
    std::optional<Received> takeNow(const Match& match);
    std::optional<Received> findNow(const Match& match) const;

    std::vector<std::unique_ptr<P2PNet::PeerPlugin>> m_plugins;  // outlive the peer
    std::unique_ptr<P2PNet::P2PPeer> m_peer;
    bool m_started = false;

    mutable std::mutex m_mutex;
    std::deque<Entry> m_log;
    std::size_t m_firstKept = 0;  // every entry before it is taken

    std::atomic<bool> m_pumping{false};
    std::thread m_pump;
};

// Connects client to server (dialling targetHost at the server's port) and waits for the answer
// at the client and ID_NEW_INCOMING from the client at the server; both packets are taken.
// Returns them, or nothing (with a gtest failure added) when the connection was not made in time
// or was refused.
struct Connection {
    Received accepted;  // at the client
    Received incoming;  // at the server
};
std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const char* targetHost,
                                       const std::string& password = {}, unsigned attemptCount = 12,
                                       unsigned intervalMs = 500);

} // namespace lumora::test
