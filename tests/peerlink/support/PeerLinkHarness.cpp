#include "support/PeerLinkHarness.h"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace peerlink {

using namespace P2PNet;

const std::vector<Family>& families()
{
    static const std::vector<Family> all = {
        {"IPv4", kWireFamilyIPv4, "127.0.0.1", kWireFamilyIPv4, "127.0.0.1", "127.0.0.1", "127.0.0.1"},
        {"IPv6", kWireFamilyIPv6, "", kWireFamilyIPv6, "::1", "::1", "::1"},
        {"IPv4ToDualStack", kWireFamilyIPv6, "", kWireFamilyIPv4, "127.0.0.1", "127.0.0.1", "::ffff:127.*"},
    };
    return all;
}

std::string familyName(const Family& family) { return family.name; }

void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }

bool ipv6LoopbackAvailable()
{
    static const bool available = [] {
        P2PPeer probe;
        SocketSpec spec;
        std::strcpy(spec.host, "::1");
        spec.family = kWireFamilyIPv6;
        const bool started = probe.Start(1, &spec, 1, -99999) == StartResult::Started;
        probe.Stop(0);
        return started;
    }();
    return available;
}

bool familyAvailable(const Family& family)
{
    if (family.listenFamily == kWireFamilyIPv6 || family.connectFamily == kWireFamilyIPv6)
        return ipv6LoopbackAvailable();
    return true;
}

std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const Family& family,
                                       const std::string& password, unsigned attemptCount, unsigned intervalMs)
{
    return lumora::test::connectPeers(client, server, family.targetHost, password, attemptCount, intervalMs);
}

std::vector<uint8_t> patternBytes(std::size_t length, uint8_t id, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(x >> 16);
    }
    if (!bytes.empty())
        bytes[0] = id;
    return bytes;
}

} // namespace peerlink
