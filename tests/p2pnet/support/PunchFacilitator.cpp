#include "PunchFacilitator.h"

#include "BitStream.h"
#include "HolePunchClient.h"
#include "MessageIdentifiers.h"
#include "P2PPeerInterface.h"
#include "PeerUtils.h"

#include <algorithm>

namespace punchtest {

using namespace P2PNet;

namespace {

constexpr uint8_t kChannel = 0;

uint32_t Send(P2PPeerInterface* peer, const BitStream& out, const PeerTarget& to)
{
    return peer->Send(&out, SendPriority::High, ReliabilityKind::ReliableOrdered, kChannel, to, false);
}

} // namespace

PunchFacilitator::PunchFacilitator() = default;

PunchFacilitator::PunchFacilitator(const Options& options) : m_options(options) {}

bool PunchFacilitator::IsConnected(const P2PNetGUID& guid)
{
    return m_peer != nullptr && m_peer->QueryLinkState(PeerTarget(guid)) == LinkState::Connected;
}

void PunchFacilitator::SendFailure(uint8_t id, const P2PNetGUID& to, const P2PNetGUID& about, bool withSession,
                                   uint16_t sessionId)
{
    BitStream out;
    out.WriteU8(id);
    out.WriteU64(about.g);
    if (withSession)
        out.WriteU16(sessionId);
    Send(m_peer, out, PeerTarget(to));
}

void PunchFacilitator::SendStart(const Session& session, int to, uint64_t startTimeMs)
{
    const P2PNetGUID& other = session.side[1 - to];
    const SystemAddress external = m_peer->GetAddressOfGuid(other);
    std::vector<SystemAddress> internal;
    if (m_options.reportInternalAddresses) {
        for (unsigned i = 0; i < static_cast<unsigned>(HolePunchClient::kMaxInternalAddresses); ++i) {
            const SystemAddress address = m_peer->GetInternalAddress(external, i);
            if (address.IsUnassigned())
                break;
            internal.push_back(address);
        }
    }

    BitStream out;
    out.WriteU8(ID_TIME_PREFIX);
    out.WriteU64(startTimeMs);
    out.WriteU8(ID_PUNCH_CONNECT_AT_TIME);
    out.WriteU16(session.id);
    external.Serialize(out);
    out.WriteU8(static_cast<uint8_t>(internal.size()));
    for (const SystemAddress& address : internal)
        address.Serialize(out);
    out.WriteU64(other.g);
    out.WriteBit(to == 0);
    Send(m_peer, out, PeerTarget(session.side[to]));

    BitStream ask;
    ask.WriteU8(ID_PUNCH_GET_RECENT_PORT);
    ask.WriteU16(session.id);
    Send(m_peer, ask, PeerTarget(session.side[to]));
}

PunchFacilitator::StartOutcome PunchFacilitator::StartPunch(const P2PNetGUID& requester, const P2PNetGUID& target)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_peer == nullptr)
        return StartOutcome::NotAttached;
    if (!IsConnected(requester)) {
        ++m_counters.refused;
        return StartOutcome::RequesterNotConnected;
    }
    if (requester == target || !IsConnected(target)) {
        ++m_counters.refused;
        SendFailure(ID_PUNCH_TARGET_NOT_CONNECTED, requester, target, false, 0);
        return StartOutcome::TargetNotConnected;
    }

    // The requester asking again for the same target is its retry: the old session is over.
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [&](const Session& s) { return s.side[0] == requester && s.side[1] == target; }),
                     m_sessions.end());
    for (const Session& session : m_sessions) {
        const bool involved = session.side[0] == requester || session.side[1] == requester ||
                              session.side[0] == target || session.side[1] == target;
        if (involved) {
            ++m_counters.refused;
            SendFailure(ID_PUNCH_IN_PROGRESS, requester, target, false, 0);
            return StartOutcome::Busy;
        }
    }

    Session session;
    session.id = m_nextSessionId++;
    if (m_nextSessionId == 0)
        m_nextSessionId = 1;
    session.side[0] = requester;
    session.side[1] = target;
    session.startedMs = NowMillis();

    int slowest = 0;
    for (const P2PNetGUID& side : session.side)
        slowest = std::max(slowest, m_peer->LatestPing(PeerTarget(side)));
    const uint64_t startTime = session.startedMs + m_options.startLeadMs + static_cast<uint64_t>(slowest);
    SendStart(session, 0, startTime);
    SendStart(session, 1, startTime);
    m_sessions.push_back(session);
    ++m_counters.started;
    return StartOutcome::Started;
}

bool PunchFacilitator::SendPortTest(const P2PNetGUID& client, const std::vector<SystemAddress>& addresses)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_peer == nullptr || addresses.size() > 255)
        return false;
    BitStream out;
    out.WriteU8(ID_PUNCH_PORT_TEST);
    out.WriteU8(static_cast<uint8_t>(addresses.size()));
    for (const SystemAddress& address : addresses)
        address.Serialize(out);
    return Send(m_peer, out, PeerTarget(client)) != 0;
}

bool PunchFacilitator::SendPortStride(const P2PNetGUID& client, uint16_t firstPort, uint16_t secondPort)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_peer == nullptr)
        return false;
    const SystemAddress address = m_peer->GetAddressOfGuid(client);
    if (address.IsUnassigned())
        return false;
    BitStream out;
    out.WriteU8(kPunchPortStride);
    out.WriteU16(firstPort);
    out.WriteU16(secondPort);
    return m_peer->SendRawTo(address, reinterpret_cast<const char*>(out.GetData()),
                             static_cast<int>(out.GetNumberOfBytesUsed()), 0);
}

void PunchFacilitator::RecordAnswer(const P2PNetGUID& side, uint16_t port)
{
    for (auto& entry : m_predictedPorts)
        if (entry.first == side) {
            entry.second = port;
            return;
        }
    m_predictedPorts.emplace_back(side, port);
}

PluginVerdict PunchFacilitator::OfferMessage(Packet* packet)
{
    if (m_peer == nullptr || packet == nullptr || packet->length == 0)
        return kPluginContinue;
    const uint8_t id = packet->data[0];
    if (id == ID_PUNCH_REQUEST) {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(8);
        P2PNetGUID target;
        if (!target.Deserialize(in)) {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_counters.malformed;
            return kPluginConsumed;
        }
        StartPunch(packet->guid, target);
        return kPluginConsumed;
    }
    if (id == ID_PUNCH_GET_RECENT_PORT) {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(8);
        uint16_t sessionId = 0;
        uint16_t port = 0;
        std::lock_guard<std::mutex> lock(m_lock);
        if (!in.ReadU16(sessionId) || !in.ReadU16(port)) {
            ++m_counters.malformed;
            return kPluginConsumed;
        }
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->id != sessionId)
                continue;
            for (int side = 0; side < 2; ++side)
                if (it->side[side] == packet->guid && !it->answered[side]) {
                    it->answered[side] = true;
                    ++m_counters.answers;
                    RecordAnswer(packet->guid, port);
                }
            if (it->answered[0] && it->answered[1])
                m_sessions.erase(it);
            break;
        }
        return kPluginConsumed;
    }
    return kPluginContinue;
}

void PunchFacilitator::Tick()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_options.answerTimeoutMs == 0 || m_sessions.empty())
        return;
    const uint64_t now = NowMillis();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it->startedMs < m_options.answerTimeoutMs) {
            ++it;
            continue;
        }
        for (int side = 0; side < 2; ++side)
            if (!it->answered[side] && IsConnected(it->side[1 - side]))
                SendFailure(ID_PUNCH_TARGET_UNRESPONSIVE, it->side[1 - side], it->side[side], true, it->id);
        ++m_counters.timedOut;
        it = m_sessions.erase(it);
    }
}

void PunchFacilitator::LinkEnded(const SystemAddress&, P2PNetGUID guid, int)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        int lostSide = -1;
        for (int side = 0; side < 2; ++side)
            if (it->side[side] == guid)
                lostSide = side;
        if (lostSide < 0) {
            ++it;
            continue;
        }
        const P2PNetGUID& other = it->side[1 - lostSide];
        if (IsConnected(other))
            SendFailure(ID_PUNCH_TARGET_LOST, other, guid, true, it->id);
        ++m_counters.lost;
        it = m_sessions.erase(it);
    }
}

void PunchFacilitator::PeerStopping()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_sessions.clear();
}

PunchFacilitator::Counters PunchFacilitator::GetCounters() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_counters;
}

std::size_t PunchFacilitator::OpenSessions() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sessions.size();
}

uint16_t PunchFacilitator::LastPredictedPort(const P2PNetGUID& side) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& entry : m_predictedPorts)
        if (entry.first == side)
            return entry.second;
    return 0;
}

} // namespace punchtest
