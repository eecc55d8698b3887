#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

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

TestPeer::TestPeer() : m_peer(std::make_unique<P2PPeer>()) {}

TestPeer::~TestPeer()
{
    // Stop before the kept packets go: nothing of the peer outlives this object.
    m_peer->Stop(0);
}

StartResult TestPeer::start(uint16_t family, const char* host, unsigned maxConnections, uint16_t incomingLimit)
{
    SocketSpec spec;
    std::snprintf(spec.host, sizeof spec.host, "%s", host);
    spec.family = family;
    const StartResult result = m_peer->Start(maxConnections, &spec, 1, -99999);
    m_peer->SetIncomingLimit(incomingLimit);
    return result;
}

uint16_t TestPeer::port() { return m_peer->GetBoundAddress(0).GetPort(); }

void TestPeer::poll()
{
    while (Packet* packet = m_peer->Receive()) {
        Received r;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(packet->data);
        r.data.assign(bytes, bytes + packet->length);
        r.id = r.data.empty() ? 0xFF : r.data[0];
        r.address = packet->systemAddress;
        r.guid = packet->guid;
        r.generatedLocally = packet->wasGeneratedLocally;
        m_peer->ReleasePacket(packet);
        m_kept.push_back(std::move(r));
    }
}

bool TestPeer::hasKept(uint8_t id) const
{
    return std::any_of(m_kept.begin(), m_kept.end(), [id](const Received& r) { return r.id == id; });
}

std::optional<Received> TestPeer::waitFor(std::initializer_list<uint8_t> ids, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        auto it = std::find_if(m_kept.begin(), m_kept.end(), [&](const Received& r) {
            return std::find(ids.begin(), ids.end(), r.id) != ids.end();
        });
        if (it != m_kept.end()) {
            Received r = std::move(*it);
            m_kept.erase(it);
            return r;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        poll();  // Receive waits up to 10 ms when nothing is queued
    }
}

bool TestPeer::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        poll();
    }
    return true;
}

std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const Family& family,
                                       const std::string& password, unsigned attemptCount, unsigned intervalMs)
{
    const ConnectResult result = client->ConnectByHostText(family.targetHost, server.port(), password.data(),
                                                           static_cast<int>(password.size()), nullptr, 0,
                                                           attemptCount, intervalMs);
    EXPECT_EQ(result, ConnectResult::AttemptStarted);
    if (result != ConnectResult::AttemptStarted)
        return std::nullopt;
    std::optional<Received> accepted = client.waitFor({ID_JOIN_ACCEPTED, ID_JOIN_FAILED, ID_BAD_JOIN_DATA,
                                                       ID_NO_FREE_SLOTS, ID_PEER_BANNED, ID_ALREADY_JOINED});
    EXPECT_TRUE(accepted.has_value()) << "no answer to the connection attempt";
    if (!accepted)
        return std::nullopt;
    EXPECT_EQ(accepted->id, ID_JOIN_ACCEPTED) << "connection attempt answered with " << int(accepted->id);
    if (accepted->id != ID_JOIN_ACCEPTED)
        return std::nullopt;
    std::optional<Received> incoming = server.waitFor({ID_NEW_INCOMING});
    EXPECT_TRUE(incoming.has_value()) << "the accepting peer never reported the new connection";
    if (!incoming)
        return std::nullopt;
    return Connection{std::move(*accepted), std::move(*incoming)};
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
