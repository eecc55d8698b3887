// Rendezvous servers (registration threads, lookup) and the housekeeping thread.
#include "P2PClient.h"

#include "ServerString.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// A period is due when it lies in the past, or more than guardMs ahead (the clock went back).
bool periodDue(uint64_t last, uint64_t now, uint64_t guardMs)
{
    return last < now || last > now + guardMs;
}

// In a loopback-only run local-network search never leaves the host.
bool loopbackOnly()
{
    const char* value = std::getenv("LUMORA_LOOPBACK_ONLY");
    return value && std::strcmp(value, "1") == 0;
}

} // namespace

void P2PClient::parseServers(const char* serverString, const char* const ipv6[3])
{
    std::array<P2PNet::SystemAddress, kServerCount> v4;
    std::array<P2PNet::SystemAddress, kServerCount> v6;
    std::array<uint16_t, kServerCount> ports{};
    v4.fill(P2PNet::UNASSIGNED_SYSTEM_ADDRESS);
    v6.fill(P2PNet::UNASSIGNED_SYSTEM_ADDRESS);
    std::string name;
    const ServerList list = parseServerString(serverString);
    if (list.valid) {
        name = list.name;
        for (std::size_t k = 0; k < kServerCount; ++k) {
            const ServerEndpoint& endpoint = list.servers[k];
            ports[k] = endpoint.port.value_or(0);
            if (endpoint.ipv4) {
                const uint32_t a = *endpoint.ipv4;
                v4[k] = P2PNet::SystemAddress::FromIPv4(static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                                                        static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), ports[k]);
            } else if (!endpoint.addressText.empty()) {
                P2PNet::SystemAddress parsed;
                if (parsed.ParseWithPort(endpoint.addressText.c_str(), ports[k], true, 4))
                    v4[k] = parsed;
            }
        }
    }
    for (std::size_t k = 0; k < kServerCount; ++k) {
        if (!ipv6[k])
            continue;
        P2PNet::SystemAddress parsed;
        if (parsed.ParseWithPort(ipv6[k], ports[k], true, 6))
            v6[k] = parsed;
    }
    {
        std::lock_guard<std::mutex> lock(m_loginMutex);
        m_serverString = serverString ? serverString : "";
        m_clientName = name;
    }
    std::lock_guard<std::mutex> lock(m_serverMutex);
    for (std::size_t k = 0; k < kServerCount; ++k) {
        m_servers[k].ipv4 = v4[k];
        m_servers[k].ipv6 = v6[k];
    }
}

ServerRecord* P2PClient::findServer(const P2PNet::SystemAddress& address, int* version)
{
    if (!isAssigned(address))
        return nullptr;
    std::lock_guard<std::mutex> lock(m_serverMutex);
    for (ServerRecord& server : m_servers) {
        if (sameAddress(server.ipv4, address)) {
            if (version)
                *version = 4;
            return &server;
        }
        if (sameAddress(server.ipv6, address)) {
            if (version)
                *version = 6;
            return &server;
        }
    }
    return nullptr;
}

P2PNet::SystemAddress P2PClient::serverAddressForSending(ServerRecord& server)
{
    std::lock_guard<std::mutex> lock(m_serverMutex);
    return server.ipVersion.load() == 6 && isAssigned(server.ipv6) ? server.ipv6 : server.ipv4;
}

ServerRecord* P2PClient::pickServer(P2PConnection& session, P2PNet::SystemAddress& address)
{
    ServerRecord* server;
    {
        std::lock_guard<std::mutex> lock(session.m_mutex);
        server = session.m_server;
        if (!server || server->state.load() != kServerLoggedIn) {
            server = nullptr;
            for (ServerRecord& candidate : m_servers)
                if (candidate.state.load() == kServerLoggedIn) {
                    server = &candidate;
                    break;
                }
            if (server)
                session.m_server = server;
        }
    }
    address = server ? serverAddressForSending(*server) : P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    return server;
}

// ---- Registration thread --------------------------------------------------------------------

void P2PClient::serverLoop(ServerRecord& server)
{
    P2PNet::SystemAddress v4;
    P2PNet::SystemAddress v6;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        v4 = server.ipv4;
        v6 = server.ipv6;
    }
    if (isAssigned(v4))
        connectTo(v4, true);
    if (isAssigned(v6))
        connectTo(v6, true);
    int intervalMs = 200;
    while (server.running.load() == 1) {
        serverStep(server, intervalMs);
        if (server.state.load() == kServerJoined)
            continue; // registering starts at once
        server.wakeup.wait(intervalMs);
    }
    server.running.store(168);
}

int P2PClient::ServerStep(int index)
{
    int intervalMs = 200;
    serverStep(m_servers[static_cast<std::size_t>(index)], intervalMs);
    return intervalMs;
}

void P2PClient::serverStep(ServerRecord& server, int& intervalMs)
{
    P2PNet::SystemAddress v4;
    P2PNet::SystemAddress v6;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        v4 = server.ipv4;
        v6 = server.ipv6;
    }
    switch (server.state.load()) {
    case kServerSeeking:
        // Answered only while the server has a free connection slot.
        if (isAssigned(v4))
            pingHost(hostText(v4), v4.GetPort(), true);
        if (isAssigned(v6))
            pingHost(hostText(v6), v6.GetPort(), true);
        if (intervalMs < 2000)
            intervalMs += 100;
        break;
    case kServerJoined:
        server.state.store(kServerRegistering);
        intervalMs = static_cast<int>(Timings().registrationMs);
        break;
    case kServerRegistering:
        sendRegistration(server);
        intervalMs = static_cast<int>(Timings().registrationMs);
        break;
    case kServerLost:
        intervalMs = 200;
        server.state.store(kServerSeeking);
        break;
    case kServerLoggedIn:
        if (linkState(v4, P2PNet::UNASSIGNED_P2PNET_GUID) != 2 && linkState(v6, P2PNet::UNASSIGNED_P2PNET_GUID) != 2)
            server.state.store(kServerSeeking);
        break;
    default:
        server.state.store(kServerSeeking);
        break;
    }
}

void P2PClient::sendRegistration(ServerRecord& server)
{
    std::string ownId;
    std::string password;
    {
        std::lock_guard<std::mutex> lock(m_loginMutex);
        ownId = m_ownId;
        password = m_password;
    }
    if (ownId.empty())
        return;
    // Registration goes to the address the server was joined through, at its port + 1.
    const P2PNet::SystemAddress joined = serverAddressForSending(server);
    if (!isAssigned(joined))
        return;
    ByteWriter message;
    message.u8(kRegistrationMessage);
    message.u32(static_cast<uint32_t>(m_mode.load()));
    message.string(ownId);
    message.string(password);
    message.address(externalAddressFor(joined));
    P2PNet::SystemAddress target = joined;
    target.SetPort(static_cast<uint16_t>(joined.GetPort() + 1));
    sendRaw(message, target);
}

// ---- Housekeeping ---------------------------------------------------------------------------

void P2PClient::SetTimings(const ClientTimings& timings)
{
    {
        std::lock_guard<std::mutex> lock(m_timingsMutex);
        m_timings = timings;
    }
    m_housekeepingWakeup.set();
}

ClientTimings P2PClient::Timings() const
{
    std::lock_guard<std::mutex> lock(m_timingsMutex);
    return m_timings;
}

void P2PClient::housekeepingLoop()
{
    while (m_housekeepingRunning.load()) {
        HousekeepingPass(nowMs());
        m_housekeepingWakeup.wait(static_cast<int>(Timings().housekeepingMs));
    }
}

void P2PClient::HousekeepingPass(uint64_t now)
{
    const auto all = sessions();
    for (const auto& session : all)
        session->expireRelayRequest(now);

    const int mode = m_mode.load();
    if (mode == kModeConnecting) {
        bool lanDue = false;
        if (periodDue(m_lastPeriod.load(), now, 3000)) {
            for (const auto& session : all) {
                if (session->state() != kSessionConnecting)
                    continue;
                m_lastPeriod.store(now + 2000);
                std::lock_guard<std::mutex> lock(session->m_mutex);
                lanDue = session->m_lanSearch;
                break;
            }
        }
        if (m_lanSearchWanted.exchange(false)) {
            for (const auto& session : all) {
                if (session->state() != kSessionConnecting)
                    continue;
                std::lock_guard<std::mutex> lock(session->m_mutex);
                lanDue = lanDue || session->m_lanSearch;
            }
        }
        SendLookupRequest(now);
        retryRejoins(now);
        if (lanDue)
            LanSearch();

        std::vector<PendingDirect> connects;
        {
            std::lock_guard<std::mutex> lock(m_pendingMutex);
            for (auto it = m_pendingDirect.begin(); it != m_pendingDirect.end();) {
                if (it->deadline <= now) {
                    it = m_pendingDirect.erase(it);
                    continue;
                }
                connects.push_back(*it);
                ++it;
            }
        }
        for (const PendingDirect& entry : connects) {
            ApiGateGuard guard(m_gate);
            const auto session = findById(entry.deviceId);
            if (!session || session->state() != kSessionConnecting)
                continue;
            {
                std::lock_guard<std::mutex> lock(session->m_mutex);
                if (!session->m_lanSearch)
                    continue;
                session->m_remoteGuid = entry.guid;
                session->m_lanAddress = entry.address;
                session->m_lanDeadline = now + kLanConnectMs;
            }
            connectTo(entry.address, false);
        }
        return;
    }
    const uint64_t sweepMs = Timings().sessionSweepMs;
    if (mode != kModeDevice || !periodDue(m_lastPeriod.load(), now, sweepMs + 2000))
        return;
    m_lastPeriod.store(now + sweepMs);
    for (const auto& session : all) {
        const int32_t state = session->state();
        bool dead = state == kSessionFailed || state == kSessionClosed;
        if (state == kSessionConnecting) {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            dead = session->m_relayRequestDeadline < now;
        }
        if (!dead)
            continue;
        const bool removed = m_gate.removeWhenIdle(
            [&] {
                std::lock_guard<std::mutex> lock(m_sessionsMutex);
                m_sessions.erase(std::remove(m_sessions.begin(), m_sessions.end(), session), m_sessions.end());
            },
            1000);
        if (removed)
            session->clearQueues();
    }
}

int P2PClient::SendLookupRequest(uint64_t now)
{
    std::vector<P2PNet::P2PNetGUID> targets;
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        for (const ServerRecord& server : m_servers)
            if (server.state.load() == kServerLoggedIn)
                targets.push_back(server.guid);
    }
    // Nobody to ask: the ids stay due, so the first lookup leaves as soon as a server logs in
    // rather than up to 4 s later.
    if (targets.empty())
        return 0;
    std::vector<std::string> ids;
    for (const auto& session : sessions()) {
        if (session->state() != kSessionConnecting)
            continue;
        std::lock_guard<std::mutex> lock(session->m_mutex);
        if (session->m_lookupDeadline != 0 && now < session->m_lookupDeadline)
            continue;
        session->m_lookupDeadline = now + 4000;
        if (!session->m_deviceId.empty())
            ids.push_back(session->m_deviceId);
    }
    if (ids.empty())
        return 0;
    ids.resize(std::min<std::size_t>(ids.size(), 0xFFFF));
    ByteWriter message;
    message.u8(ID_DEVICE_LOOKUP);
    message.string(OwnId());
    message.u8(2);
    message.u16(static_cast<uint16_t>(ids.size()));
    for (const std::string& id : ids)
        message.string(id);
    for (const P2PNet::P2PNetGUID& guid : targets)
        sendToGuid(message, 1, kReliable, 0, guid);
    return static_cast<int>(ids.size());
}

void P2PClient::LanSearch()
{
    m_lanSearchRan.store(true);
    std::string host;
    uint16_t port;
    {
        std::lock_guard<std::mutex> lock(m_lanMutex);
        host = m_lanSearchHost;
        port = m_lanSearchPort;
    }
    if (host.empty() && loopbackOnly())
        host = "127.0.0.1";
    const bool v6 = socketIsIpv6();
    if (!host.empty()) {
        platform::sleepMillis(10);
        P2PNet::SystemAddress target;
        if (target.ParseWithPort(host.c_str(), port, true, 0)) {
            target = fitToSocket(target);
            pingHost(hostText(target), port, false);
        }
        return;
    }
    for (std::string text : localAddressTexts()) {
        platform::sleepMillis(10);
        if (text == "127.0.0.1" || text.rfind("::1", 0) == 0 || text.find(':') != std::string::npos)
            continue;
        const std::size_t dot = text.rfind('.');
        if (dot == std::string::npos)
            continue;
        text = text.substr(0, dot + 1) + "255";
        pingHost(v6 ? "::ffff:" + text : text, port, false);
    }
    const uint16_t ownPort = BoundAddress().GetPort();
    platform::sleepMillis(10);
    if (!v6) {
        pingHost("255.255.255.255", port, false);
        platform::sleepMillis(10);
        pingHost("255.255.255.255", ownPort, false);
        return;
    }
    pingHost("::ffff:255.255.255.255", port, false);
    platform::sleepMillis(10);
    pingHost("::ffff:255.255.255.255", ownPort, false);
    platform::sleepMillis(10);
    pingHost("255.255.255.255", ownPort, false);
}

std::size_t P2PClient::PendingDirectCount() const
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    return m_pendingDirect.size();
}
