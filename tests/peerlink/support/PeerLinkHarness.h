// Two real peers over loopback UDP for the end-to-end tests: a started peer with the packets it
// received so far, and waits on conditions with deadlines (Receive is polled; nothing sleeps for
// correctness).
#pragma once

#include "MessageIdentifiers.h"
#include "P2PPeer.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace peerlink {

// Generous enough for a loaded CI machine running the sanitizer build; tests only wait this long
// when something is broken.
inline constexpr std::chrono::milliseconds kDeadline{15000};

// How the two peers of a test reach each other.
struct Family {
    const char* name;
    uint16_t listenFamily;     // socket family of the accepting peer (2 IPv4, 23 IPv6)
    const char* listenHost;    // bind host of the accepting peer ("" = any: dual-stack for IPv6)
    uint16_t connectFamily;    // socket family of the connecting peer
    const char* connectHost;   // bind host of the connecting peer
    const char* targetHost;    // the accepting peer's host as the connecting peer dials it
    const char* banPattern;    // a ban-list text that matches the connecting peer's address as
                               // the accepting peer sees it
};

// IPv4 on both sides; IPv6 on both sides with a dual-stack listener; an IPv4 peer dialling a
// dual-stack IPv6 listener (seen there as ::ffff:127.0.0.1).
const std::vector<Family>& families();
std::string familyName(const Family& family);
// Test names and failure messages show the family by name.
void PrintTo(const Family& family, std::ostream* out);
// False when the machine has no IPv6 loopback (then IPv6 cases skip).
bool ipv6LoopbackAvailable();
bool familyAvailable(const Family& family);

// One packet as the application saw it, copied out of the peer's Packet.
struct Received {
    uint8_t id = 0;
    std::vector<uint8_t> data;  // the whole message, id included
    P2PNet::SystemAddress address;
    P2PNet::P2PNetGUID guid;
    bool generatedLocally = false;  // a notice the peer made itself
};

// A peer started on one socket bound to an ephemeral port. Owned by the test's thread.
class TestPeer {
public:
    TestPeer();
    ~TestPeer();

    // Starts with one socket of family on host:0. incomingLimit is the number of connections
    // others may open to this peer.
    P2PNet::StartResult start(uint16_t family, const char* host, unsigned maxConnections = 4,
                              uint16_t incomingLimit = 4);
    P2PNet::P2PPeer& peer() { return *m_peer; }
    P2PNet::P2PPeer* operator->() { return m_peer.get(); }
    uint16_t port();
    P2PNet::P2PNetGUID guid() const { return m_peer->GetOwnGuid(); }

    // Polls Receive until a packet whose first byte is one of ids arrives, or until the deadline.
    // Packets of other ids that arrive meanwhile are kept, in order, for later calls; a kept packet
    // of a wanted id is returned first.
    std::optional<Received> waitFor(std::initializer_list<uint8_t> ids,
                                    std::chrono::milliseconds within = kDeadline);
    // Polls Receive until condition() holds or the deadline passes; returns condition().
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds within = kDeadline);
    // Moves every packet Receive has now into the kept list (one poll; never waits long).
    void poll();
    // Kept packets not yet returned by waitFor.
    const std::deque<Received>& kept() const { return m_kept; }
    bool hasKept(uint8_t id) const;

private:
    std::unique_ptr<P2PNet::P2PPeer> m_peer;
    std::deque<Received> m_kept;
};

// Connects client to server (client dials server's port on family.targetHost) and waits for
// ID_JOIN_ACCEPTED on the client and ID_NEW_INCOMING on the server. Returns the two packets, or
// nothing (with a gtest failure added) when the connection was not made in time.
struct Connection {
    Received accepted;  // on the client
    Received incoming;  // on the server
};
std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const Family& family,
                                       const std::string& password = {}, unsigned attemptCount = 12,
                                       unsigned intervalMs = 500);

// First byte of the tests' own messages (ids of 27 and above reach the application unchanged;
// 27 itself is the time-stamp prefix).
inline constexpr uint8_t kUserMessage = 200;

// A deterministic byte pattern for message bodies.
std::vector<uint8_t> patternBytes(std::size_t length, uint8_t id, uint32_t seed);

} // namespace peerlink
