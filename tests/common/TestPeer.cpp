#include "TestPeer.h"

#include "MessageIdentifiers.h"
#include "Packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace lumora::test {

using namespace P2PNet;

BitStream Received::reader(unsigned skip) const
{
    BitStream in(data.data(), static_cast<uint32_t>(data.size()), true);
    in.IgnoreBits(skip * 8);
    return in;
}

TestPeer::TestPeer() : m_peer(std::make_unique<P2PPeer>()) {}

TestPeer::TestPeer(const Bind& bind) : TestPeer() { start(bind); }

TestPeer::~TestPeer()
{
    stopPump();
    // The peer stops while its plug-ins and the log still exist.
    m_peer->Stop(0);
    m_peer.reset();
    m_plugins.clear();
}

StartResult TestPeer::start(const Bind& bind)
{
    SocketSpec spec;
    std::snprintf(spec.host, sizeof spec.host, "%s", bind.host);
    spec.family = bind.family;
    const StartResult result = m_peer->Start(bind.maxConnections, &spec, 1, -99999);
    m_peer->SetIncomingLimit(bind.incomingLimit);
    m_started = result == StartResult::Started;
    return result;
}

StartResult TestPeer::start(uint16_t family, const char* host, unsigned maxConnections, uint16_t incomingLimit)
{
    return start(Bind{family, host, maxConnections, incomingLimit});
}

void TestPeer::push(Received packet)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.push_back(Entry{std::move(packet), false});
}

void TestPeer::startPump()
{
    m_pumping = true;
    m_pump = std::thread([this] {
        while (m_pumping.load()) {
            Packet* packet = m_peer->Receive();  // waits up to 10 ms when nothing is queued
            if (packet == nullptr)
                continue;
            Received copy;
            copy.data.assign(packet->data, packet->data + packet->length);
            copy.address = packet->systemAddress;
            copy.guid = packet->guid;
            copy.generatedLocally = packet->wasGeneratedLocally;
            m_peer->ReleasePacket(packet);
            push(std::move(copy));
        }
    });
}

void TestPeer::stopPump()
{
    m_pumping = false;
    if (m_pump.joinable())
        m_pump.join();
}

void TestPeer::poll()
{
    if (m_pump.joinable())
        return;
    while (Packet* packet = m_peer->Receive()) {
        Received copy;
        copy.data.assign(packet->data, packet->data + packet->length);
        copy.address = packet->systemAddress;
        copy.guid = packet->guid;
        copy.generatedLocally = packet->wasGeneratedLocally;
        m_peer->ReleasePacket(packet);
        push(std::move(copy));
    }
}

bool TestPeer::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds within)
{
    return lumora::test::waitUntil(
        [&] {
            if (condition())
                return true;
            poll();
            return false;
        },
        within);
}

std::optional<Received> TestPeer::takeNow(const Match& match)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = m_firstKept; i < m_log.size(); ++i) {
        Entry& entry = m_log[i];
        if (entry.taken || !match(entry.packet))
            continue;
        entry.taken = true;
        while (m_firstKept < m_log.size() && m_log[m_firstKept].taken)
            ++m_firstKept;
        return entry.packet;
    }
    return std::nullopt;
}

std::optional<Received> TestPeer::findNow(const Match& match) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Entry& entry : m_log)
        if (match(entry.packet))
            return entry.packet;
    return std::nullopt;
}

bool TestPeer::take(const Match& match, Received* out, std::chrono::milliseconds within)
{
    std::optional<Received> found;
    if (!waitUntil([&] { return (found = takeNow(match)).has_value(); }, within))
        return false;
    if (out != nullptr)
        *out = std::move(*found);
    return true;
}

std::optional<Received> TestPeer::take(std::initializer_list<uint8_t> ids, std::chrono::milliseconds within)
{
    const std::vector<uint8_t> wanted(ids);
    Received found;
    if (!take([&](const Received& r) { return std::find(wanted.begin(), wanted.end(), r.id()) != wanted.end(); },
              &found, within))
        return std::nullopt;
    return found;
}

bool TestPeer::takeId(uint8_t id, Received* out, std::chrono::milliseconds within)
{
    return take([id](const Received& r) { return r.id() == id; }, out, within);
}

bool TestPeer::takeSub(uint8_t id, uint8_t sub, Received* out, std::chrono::milliseconds within)
{
    return take([id, sub](const Received& r) { return r.id() == id && r.sub() == sub; }, out, within);
}

bool TestPeer::saw(const Match& match, Received* found, std::chrono::milliseconds within)
{
    std::optional<Received> seen;
    if (!waitUntil([&] { return (seen = findNow(match)).has_value(); }, within))
        return false;
    if (found != nullptr)
        *found = std::move(*seen);
    return true;
}

bool TestPeer::sawId(uint8_t id, Received* found, std::chrono::milliseconds within)
{
    return saw([id](const Received& r) { return r.id() == id; }, found, within);
}

std::size_t TestPeer::count(const Match& match) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_log.begin(), m_log.end(), [&](const Entry& entry) { return match(entry.packet); }));
}

std::size_t TestPeer::countId(uint8_t id) const
{
    return count([id](const Received& r) { return r.id() == id; });
}

std::vector<Received> TestPeer::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Received> out;
    out.reserve(m_log.size());
    for (const Entry& entry : m_log)
        out.push_back(entry.packet);
    return out;
}

bool TestPeer::hasKept(uint8_t id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_log.begin() + static_cast<std::ptrdiff_t>(m_firstKept), m_log.end(),
                       [id](const Entry& entry) { return !entry.taken && entry.packet.id() == id; });
}

bool TestPeer::sendBytes(const std::vector<uint8_t>& bytes, const PeerTarget& target)
{
    return m_peer->SendBytes(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                             SendPriority::High, ReliabilityKind::ReliableOrdered, 0, target, false) != 0;
}

bool TestPeer::sendStream(const BitStream& stream, const PeerTarget& target)
{
    return m_peer->Send(&stream, SendPriority::High, ReliabilityKind::ReliableOrdered, 0, target, false) != 0;
}

std::optional<Connection> connectPeers(TestPeer& client, TestPeer& server, const char* targetHost,
                                       const std::string& password, unsigned attemptCount, unsigned intervalMs)
{
    const ConnectResult result = client->ConnectByHostText(targetHost, server.port(), password.data(),
                                                           static_cast<int>(password.size()), nullptr, 0,
                                                           attemptCount, intervalMs);
    EXPECT_EQ(result, ConnectResult::AttemptStarted);
    if (result != ConnectResult::AttemptStarted)
        return std::nullopt;
    // The acceptance must come from this server; a refusal of the attempt may come from anywhere
    // the attempt went.
    const P2PNetGUID serverGuid = server.guid();
    Received accepted;
    const bool answered = client.take(
        [&](const Received& r) {
            switch (r.id()) {
            case ID_JOIN_ACCEPTED:
                return r.guid == serverGuid;
            case ID_JOIN_FAILED:
            case ID_BAD_JOIN_DATA:
            case ID_NO_FREE_SLOTS:
            case ID_PEER_BANNED:
            case ID_ALREADY_JOINED:
                return true;
            default:
                return false;
            }
        },
        &accepted);
    EXPECT_TRUE(answered) << "no answer to the connection attempt";
    if (!answered)
        return std::nullopt;
    EXPECT_EQ(accepted.id(), ID_JOIN_ACCEPTED) << "connection attempt answered with " << int(accepted.id());
    if (accepted.id() != ID_JOIN_ACCEPTED)
        return std::nullopt;
    const P2PNetGUID clientGuid = client.guid();
    Received incoming;
    const bool reported = server.take(
        [&](const Received& r) { return r.id() == ID_NEW_INCOMING && r.guid == clientGuid; }, &incoming);
    EXPECT_TRUE(reported) << "the accepting peer never reported the new connection";
    if (!reported)
        return std::nullopt;
    return Connection{std::move(accepted), std::move(incoming)};
}

} // namespace lumora::test
