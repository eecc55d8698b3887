#include "RelayClient.h"

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "Packet.h"
#include "PeerUtils.h"

#include <algorithm>
#include <cstring>

namespace P2PNet {

namespace {

constexpr SendPriority kRelayPriority = static_cast<SendPriority>(2);
constexpr ReliabilityKind kRelayReliability = static_cast<ReliabilityKind>(3);  // reliable ordered

// A proxy text in IPv4-mapped form ("::ffff:a.b.c.d") loses its prefix on an IPv4 socket.
std::string ProxyTextForSocket(const std::string& text, int socketFamily) {
    if (socketFamily != AF_INET) return text;
    if (std::count(text.begin(), text.end(), ':') > 1 && text.rfind("::ffff:", 0) == 0) return text.substr(7);
    return text;
}

}  // namespace

RelayClient::RelayClient() = default;

RelayClient::~RelayClient() = default;

int RelayClient::SocketFamily() {
    P2PPeerInterface* peer = GetPeer();
    return peer ? peer->GetBoundAddress(0).GetFamily() : AF_INET;
}

bool RelayClient::RequestRelay(const SystemAddress& coordinator, const SystemAddress& source,
                               const P2PNetGUID& targetGuid) {
    P2PPeerInterface* peer = GetPeer();
    if (!m_handler || !peer) return false;
    if (peer->QueryLinkState(PeerTarget(coordinator)) != LinkState::Connected) return false;

    BitStream out;
    out.WriteU8(ID_RELAY);
    out.WriteU8(static_cast<uint8_t>(RelayMessage::Request));
    source.Serialize(out);
    out.WriteBit(false);
    targetGuid.Serialize(out);
    out.WriteU32(kRequestTimeoutMs);
    out.WriteBit(false);
    {
        std::lock_guard<std::mutex> lock(m_requestLock);
        const uint64_t deadline = NowMillis() + kRequestLifetimeMs;
        auto it = std::find_if(m_requests.begin(), m_requests.end(), [&](const OutstandingRequest& r) {
            return r.coordinator == coordinator && r.targetGuid == targetGuid;
        });
        if (it != m_requests.end())
            it->deadlineMs = deadline;
        else
            m_requests.push_back({coordinator, targetGuid, deadline});
    }
    return peer->Send(&out, kRelayPriority, kRelayReliability, 0, PeerTarget(coordinator), false) != 0;
}

bool RelayClient::MatchRequest(const Packet* packet, const P2PNetGUID& targetGuid, bool consume) {
    std::lock_guard<std::mutex> lock(m_requestLock);
    const uint64_t now = NowMillis();
    m_requests.erase(std::remove_if(m_requests.begin(), m_requests.end(),
                                    [now](const OutstandingRequest& r) { return r.deadlineMs < now; }),
                     m_requests.end());
    auto it = std::find_if(m_requests.begin(), m_requests.end(), [&](const OutstandingRequest& r) {
        return r.targetGuid == targetGuid && r.coordinator == packet->systemAddress;
    });
    if (it == m_requests.end()) return false;
    if (consume) m_requests.erase(it);
    return true;
}

void RelayClient::Ping(const SystemAddress& address) {
    P2PPeerInterface* peer = GetPeer();
    if (!peer || address.IsUnassigned()) return;
    char text[kAddressTextSize];
    address.ToText(false, text, sizeof text);
    peer->PingHost(text, address.GetPort(), false, 0);
}

void RelayClient::ReportGroup(const PingGroup& group) {
    P2PPeerInterface* peer = GetPeer();
    if (!peer) return;
    BitStream out;
    out.WriteU8(ID_RELAY);
    out.WriteU8(static_cast<uint8_t>(RelayMessage::PingReport));
    group.source.Serialize(out);
    group.target.Serialize(out);
    std::vector<const ServerPing*> known;
    for (const SystemAddress& server : group.servers) {
        auto it = std::find_if(m_serverPings.begin(), m_serverPings.end(),
                               [&](const ServerPing& p) { return p.server == server; });
        if (it != m_serverPings.end()) known.push_back(&*it);
    }
    out.WriteU16(static_cast<uint16_t>(known.size()));
    for (const ServerPing* ping : known) {
        ping->server.Serialize(out);
        out.WriteU16(ping->roundTripMs);
    }
    peer->Send(&out, kRelayPriority, kRelayReliability, 0, PeerTarget(group.coordinator), false);
}

void RelayClient::ReportFinishedGroups() {
    auto answered = [this](const SystemAddress& server) {
        auto it = std::find_if(m_serverPings.begin(), m_serverPings.end(),
                               [&](const ServerPing& p) { return p.server == server; });
        return it != m_serverPings.end() && it->roundTripMs != kNoAnswer;
    };
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (std::all_of(it->servers.begin(), it->servers.end(), answered)) {
            ReportGroup(*it);
            it = m_groups.erase(it);
        } else {
            ++it;
        }
    }
}

PluginVerdict RelayClient::OnPong(Packet* packet) {
    auto ping = std::find_if(m_serverPings.begin(), m_serverPings.end(),
                             [&](const ServerPing& p) { return p.server == packet->systemAddress; });
    if (ping != m_serverPings.end()) {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(8);
        uint32_t sentMs = 0;
        uint16_t roundTrip = 0;
        if (in.ReadU32(sentMs)) {
            const uint32_t nowMs = static_cast<uint32_t>(NowMillis());
            const int32_t elapsed = static_cast<int32_t>(nowMs - sentMs);
            roundTrip = static_cast<uint16_t>(std::clamp<int32_t>(elapsed, 0, kNoAnswer - 1));
        }
        if (ping->roundTripMs != 0 && ping->roundTripMs != kNoAnswer)
            roundTrip = static_cast<uint16_t>((ping->roundTripMs + roundTrip) / 2);
        ping->roundTripMs = roundTrip;
        ReportFinishedGroups();
        return kPluginConsumed;
    }
    auto back = std::find_if(m_pingBacks.begin(), m_pingBacks.end(),
                             [&](const PingBack& p) { return p.proxy == packet->systemAddress; });
    if (back != m_pingBacks.end()) m_pingBacks.erase(back);
    return kPluginContinue;
}

PluginVerdict RelayClient::OnRelayAnswer(Packet* packet, RelayMessage sub) {
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(16);
    SystemAddress source;
    SystemAddress target;
    P2PNetGUID targetGuid;
    if (!source.Deserialize(in) || !target.Deserialize(in) || !targetGuid.Deserialize(in)) {
        ++m_refused;
        return kPluginConsumed;
    }
    const int family = SocketFamily();
    source.MatchSocketFamily(family);
    target.MatchSocketFamily(family);

    std::string proxyText;
    uint16_t proxyPort = 0;
    const bool carriesProxy =
        sub == RelayMessage::Granted || sub == RelayMessage::Notice || sub == RelayMessage::InProgress;
    if (carriesProxy) {
        if (!in.ReadString(proxyText) || !in.ReadU16(proxyPort)) {
            ++m_refused;
            return kPluginConsumed;
        }
        proxyText = ProxyTextForSocket(proxyText, family);
    }

    if (sub != RelayMessage::Notice && !MatchRequest(packet, targetGuid, true)) {
        // An answer nobody asked for: a late duplicate, or a peer that is not our coordinator.
        ++m_refused;
        return kPluginConsumed;
    }
    RelayResultHandler* handler = m_handler;
    if (!handler) return kPluginConsumed;
    switch (sub) {
    case RelayMessage::Granted:
        handler->OnRelayReady(proxyText.c_str(), proxyPort, source, target, targetGuid, this);
        break;
    case RelayMessage::InProgress:
        handler->OnRelayPending(proxyText.c_str(), proxyPort, source, target, targetGuid, this);
        break;
    case RelayMessage::Notice: {
        SystemAddress proxy;
        if (proxy.ParseWithPort(proxyText.c_str(), proxyPort, true, 0)) {
            proxy.MatchSocketFamily(family);
            Ping(proxy);
            const uint64_t now = NowMillis();
            auto it = std::find_if(m_pingBacks.begin(), m_pingBacks.end(),
                                   [&](const PingBack& p) { return p.proxy == proxy; });
            if (it != m_pingBacks.end())
                *it = {proxy, now, 0};
            else
                m_pingBacks.push_back({proxy, now, 0});
        }
        handler->OnRelayNotice(proxyText.c_str(), proxyPort, source, target, targetGuid, this);
        break;
    }
    case RelayMessage::NoServer:
    case RelayMessage::TargetAbsent:
    case RelayMessage::ServersBusy:
        handler->OnRelayFailed(static_cast<RelayFailure>(sub), source, target, targetGuid, this);
        break;
    default:
        break;
    }
    return kPluginConsumed;
}

PluginVerdict RelayClient::OnPingServers(Packet* packet) {
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(16);
    PingGroup group;
    uint16_t count = 0;
    if (!group.source.Deserialize(in) || !group.target.Deserialize(in) || !group.targetGuid.Deserialize(in) ||
        !in.ReadU16(count))
        return kPluginContinue;
    if (!MatchRequest(packet, group.targetGuid, false)) {
        ++m_refused;
        return kPluginContinue;
    }
    const int family = SocketFamily();
    group.source.MatchSocketFamily(family);
    group.target.MatchSocketFamily(family);
    group.coordinator = packet->systemAddress;
    const uint64_t now = NowMillis();
    group.startMs = now;
    bool pinged = false;
    // The count comes from the wire: take only what the message holds, and no more than a
    // bounded number, so a large count cannot make this side ping without end.
    for (unsigned i = 0; i < count && group.servers.size() < kMaxServersPerGroup; ++i) {
        SystemAddress server;
        if (!server.Deserialize(in)) break;
        server.MatchSocketFamily(family);
        group.servers.push_back(server);
        auto it = std::find_if(m_serverPings.begin(), m_serverPings.end(),
                               [&](const ServerPing& p) { return p.server == server; });
        if (it == m_serverPings.end()) {
            m_serverPings.push_back({server, 0, kNoAnswer, now});
            Ping(server);
            pinged = true;
        } else if (now - it->firstPingMs >= kPingReuseMs) {
            it->pingsSentAgain = 0;
            it->roundTripMs = kNoAnswer;
            it->firstPingMs = now;
            Ping(server);
            pinged = true;
        }
    }
    if (pinged)
        m_groups.push_back(std::move(group));
    else
        ReportGroup(group);
    return kPluginContinue;
}

PluginVerdict RelayClient::OfferMessage(Packet* packet) {
    if (!packet || packet->length < 1) return kPluginContinue;
    const uint8_t id = packet->data[0];
    if (id == ID_OFFLINE_PONG) return OnPong(packet);
    if (id != ID_RELAY || packet->length < 2) return kPluginContinue;
    const uint8_t sub = packet->data[1];
    if (sub < static_cast<uint8_t>(RelayMessage::Request)) return OnRelayAnswer(packet, static_cast<RelayMessage>(sub));
    if (sub == static_cast<uint8_t>(RelayMessage::PingServers)) return OnPingServers(packet);
    return kPluginContinue;
}

void RelayClient::Tick() {
    if (!GetPeer()) return;
    const uint64_t now = NowMillis();
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (now - it->startMs > kGroupLifetimeMs) {
            ReportGroup(*it);
            it = m_groups.erase(it);
        } else {
            ++it;
        }
    }
    for (ServerPing& ping : m_serverPings) {
        const uint64_t age = now - ping.firstPingMs;
        // One more ping at 500 ms and another at 1000 ms at most, while unanswered.
        if (ping.roundTripMs == kNoAnswer && ping.pingsSentAgain < 2 && age >= 500u * (ping.pingsSentAgain + 1u) &&
            age <= kGroupLifetimeMs) {
            ++ping.pingsSentAgain;
            Ping(ping.server);
        }
    }
    for (auto it = m_pingBacks.begin(); it != m_pingBacks.end();) {
        // Pings at start, +1000, ..., +5000 ms; the first was sent with the notice.
        const uint64_t due = it->startMs + 1000u * (it->pingsSent + 1u);
        if (it->pingsSent >= 5) {
            it = m_pingBacks.erase(it);
            continue;
        }
        if (now >= due) {
            ++it->pingsSent;
            Ping(it->proxy);
        }
        ++it;
    }
}

void RelayClient::PeerStopping() {
    m_groups.clear();
    m_serverPings.clear();
    m_pingBacks.clear();
    std::lock_guard<std::mutex> lock(m_requestLock);
    m_requests.clear();
}

} // namespace P2PNet
