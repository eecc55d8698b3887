// Two real peers over loopback UDP for the end-to-end tests: the ways the two reach each other
// (address families), the connection between them, and message bodies. The peers are the tests'
// TestPeer, polled on the test's thread.
#pragma once

#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "P2PPeerTestHooks.h"
#include "TestPeer.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace peerlink {

// Generous enough for a loaded CI machine running the sanitizer build; tests only wait this long
// when something is broken.
inline constexpr std::chrono::milliseconds kDeadline = lumora::test::kWaitLimit;

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

using lumora::test::Connection;
using lumora::test::Received;
using lumora::test::TestPeer;

// Connects client to server over family (client dials server's port on family.targetHost); see
// lumora::test::connectPeers.
std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const Family& family,
                                       const std::string& password = {}, unsigned attemptCount = 12,
                                       unsigned intervalMs = 500);

// First byte of the tests' own messages (ids of 27 and above reach the application unchanged;
// 27 itself is the time-stamp prefix).
inline constexpr uint8_t kUserMessage = 200;

// A deterministic byte pattern for message bodies.
std::vector<uint8_t> patternBytes(std::size_t length, uint8_t id, uint32_t seed);

} // namespace peerlink
