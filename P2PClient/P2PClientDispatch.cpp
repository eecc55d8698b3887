// The packet dispatcher: what the client does with every message the peer hands out. Runs on the
// receive thread, one message at a time; callable without a network (tests, fuzzing).
#include "P2PClient.h"

#include "MessageIdentifiers.h"

#include <algorithm>

namespace {

// NAT type pairs (peer, own) that punch-through cannot cross.
bool needsRelay(int peerNat, int ownNat)
{
    return (peerNat == 4 && ownNat == 4) || (peerNat == 3 && ownNat == 4) || (peerNat == 4 && ownNat == 3);
}

int lookupError(uint8_t status)
{
    return status == 2 ? -4 : -6;
}

} // namespace

void P2PClient::OnMessage(const IncomingMessage& message)
{
    if (!message.data || message.length == 0)
        return;
    switch (message.data[0]) {
    case P2PNet::ID_OUT_OF_BAND:
        if (message.length >= 2 && message.data[1] == 21)
            m_natType.store(2);
        break;
    case P2PNet::ID_RECEIPT_ACKED:
        onReceiptAcked(message);
        break;
    case P2PNet::ID_JOIN_ACCEPTED:
        onNewConnection(message);
        break;
    case P2PNet::ID_ALREADY_JOINED:
        onAlreadyJoined(message);
        break;
    case P2PNet::ID_NEW_INCOMING:
        onNewIncoming(message);
        break;
    case P2PNet::ID_PEER_CLOSED:
    case P2PNet::ID_PEER_LOST:
        onConnectionLost(message);
        break;
    case P2PNet::ID_OFFLINE_PONG:
        onPong(message);
        break;
    case 62:
    case 63:
    case 64:
    case 66:
        onPunchFailed(message);
        break;
    case 67:
        onPunchSucceeded(message);
        break;
    case 98:
        // The NAT type comes from the detection plug-in or a rendezvous server, nobody else.
        if (message.length >= 2 && (message.local || findServer(message.address)))
            m_natType.store(message.data[1]);
        break;
    case ID_SESSION_CONTROL:
        onSessionControl(message);
        break;
    case ID_SESSION_DATA:
        onSessionData(message);
        break;
    default:
        break;
    }
}

void P2PClient::onReceiptAcked(const IncomingMessage& message)
{
    if (message.length < 5)
        return;
    const uint32_t receipt = static_cast<uint32_t>(message.data[1]) | static_cast<uint32_t>(message.data[2]) << 8 |
                             static_cast<uint32_t>(message.data[3]) << 16 |
                             static_cast<uint32_t>(message.data[4]) << 24;
    ApiGateGuard guard(m_gate);
    for (const auto& session : sessions())
        if (session->acknowledge(receipt))
            return;
}

void P2PClient::onSessionData(const IncomingMessage& message)
{
    if (message.length <= 2)
        return;
    const uint8_t channel = message.data[1];
    if (channel >= kChannelCount)
        return;
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(message.guid);
    if (!session || session->deliver(channel, message.data + 2, message.length - 2))
        return;
    // The channel's queue is at its limit although the link was held back at half of it: dropping
    // this chunk would leave a hole in a stream the reader takes for whole. The session fails
    // instead, with a code of its own, so the reader learns of it and reconnects.
    const int32_t state = session->state();
    if (state == kSessionConnected || state == kSessionInUse)
        session->fail(kErrorQueueOverflow, kSessionFailed);
}

void P2PClient::onNewConnection(const IncomingMessage& message)
{
    {
        std::lock_guard<std::mutex> lock(m_addressMutex);
        if (!isAssigned(m_localAddress))
            m_localAddress = externalAddressFor(message.address);
    }
    int version = 4;
    if (ServerRecord* server = findServer(message.address, &version)) {
        {
            std::lock_guard<std::mutex> lock(m_serverMutex);
            server->guid = message.guid;
        }
        server->ipVersion.store(static_cast<uint8_t>(version));
        server->state.store(kServerJoined);
        server->wakeup.set();
        const P2PNet::SystemAddress seen = externalAddressFor(message.address);
        if (isAssigned(seen)) {
            std::lock_guard<std::mutex> lock(m_addressMutex);
            m_localAddress = seen;
        }
        return;
    }
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(message.guid);
    if (!session)
        return;
    const int32_t state = session->state();
    if (state != kSessionConnecting && state != kSessionConnected && state != kSessionInUse)
        return;
    {
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_remoteAddress = message.address;
    }
    sendSessionHello(*session);
}

void P2PClient::sendSessionHello(P2PConnection& session)
{
    int32_t state = session.state();
    while (state != kSessionInUse && !session.m_state.compare_exchange_weak(state, kSessionConnected)) {
    }
    session.m_error.store(0);
    const int type = session.role() == 3 ? 3 : connectionTypeOf(session);
    session.m_connectionType.store(type);

    P2PNet::SystemAddress local;
    {
        std::lock_guard<std::mutex> lock(m_addressMutex);
        local = m_localAddress;
    }
    ByteWriter hello;
    hello.u8(ID_SESSION_CONTROL);
    hello.u8(kSessionHello);
    hello.string(session.deviceId());
    hello.u32(static_cast<uint32_t>(m_mode.load()));
    hello.string(OwnId());
    hello.address(local);
    hello.u64(OwnGuid().g);
    hello.u8(static_cast<uint8_t>(m_natType.load()));
    hello.u8(static_cast<uint8_t>(type));
    sendToGuid(hello, 1, kReliableOrdered, 0, session.remoteGuid());

    m_listenWakeup.release();
    session.m_connectWakeup.release();
}

void P2PClient::onAlreadyJoined(const IncomingMessage& message)
{
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(message.guid);
    if (!session)
        return;
    const bool connected = linkState(message.address, message.guid) == static_cast<int>(2);
    const int32_t state = session->state();
    if (connected) {
        if (state == kSessionConnecting) {
            {
                std::lock_guard<std::mutex> lock(session->m_mutex);
                if (session->m_remoteAddress != message.address)
                    session->m_remoteAddress = addressOfGuid(message.guid);
            }
            sendSessionHello(*session);
            return;
        }
        if (state != kSessionConnected && state != kSessionInUse) {
            session->m_state.store(kSessionConnected);
            std::lock_guard<std::mutex> lock(session->m_mutex);
            session->m_remoteAddress = addressOfGuid(message.guid);
        }
        return;
    }
    if (state == kSessionConnected || state == kSessionInUse)
        session->fail(-27, kSessionFailed);
    rejoin(*session, message.address, nowMs());
}

void P2PClient::rejoin(P2PConnection& session, const P2PNet::SystemAddress& address, uint64_t now)
{
    {
        std::lock_guard<std::mutex> lock(session.m_mutex);
        if (now < session.m_rejoinAt) {
            session.m_rejoinPending = true;
            session.m_rejoinAddress = address;
            return;
        }
        session.m_rejoinPending = false;
        session.m_rejoinDelayMs =
            session.m_rejoinDelayMs == 0 ? kRejoinFirstMs : std::min(session.m_rejoinDelayMs * 2, kRejoinLimitMs);
        session.m_rejoinAt = now + session.m_rejoinDelayMs;
    }
    connectToHost(hostText(address), address.GetPort());
}

void P2PClient::retryRejoins(uint64_t now)
{
    ApiGateGuard guard(m_gate);
    for (const auto& session : sessions()) {
        P2PNet::SystemAddress address;
        {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            if (!session->m_rejoinPending || now < session->m_rejoinAt)
                continue;
            address = session->m_rejoinAddress;
        }
        if (session->state() == kSessionConnecting)
            rejoin(*session, address, now);
        else {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            session->m_rejoinPending = false;
        }
    }
}

void P2PClient::onNewIncoming(const IncomingMessage& message)
{
    // The WAN address: this side as the new remote sees it, when it tells.
    const P2PNet::SystemAddress seen = externalAddressFor(message.address);
    if (isAssigned(seen)) {
        std::lock_guard<std::mutex> lock(m_addressMutex);
        m_wanAddress = seen;
    }
    // Both sides of a punch connect at once; the device's attempt may win and arrive here as an
    // incoming connection. A session still connecting to that device takes it as its own.
    if (m_mode.load() != kModeConnecting)
        return;
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(message.guid);
    if (!session || session->state() != kSessionConnecting)
        return;
    {
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_remoteAddress = message.address;
    }
    sendSessionHello(*session);
}

void P2PClient::onConnectionLost(const IncomingMessage& message)
{
    if (ServerRecord* server = findServer(message.address)) {
        server->state.store(kServerLost);
        server->wakeup.set();
        m_natType.store(5);
        ApiGateGuard guard(m_gate);
        for (const auto& session : sessions())
            if (session->role() == 3)
                session->fail(-27, kSessionFailed);
        return;
    }
    ApiGateGuard guard(m_gate);
    if (const auto session = findByGuid(message.guid)) {
        const int32_t state = session->state();
        if (state == kSessionConnected || state == kSessionInUse)
            session->fail(-27, kSessionFailed);
    }
}

void P2PClient::onPong(const IncomingMessage& message)
{
    if (m_peerRunning.load() && message.guid == OwnGuid()) {
        // An own broadcast came back.
        bool reload = false;
        {
            std::lock_guard<std::mutex> lock(m_addressMutex);
            if (m_localAddress != message.address) {
                m_localAddress = message.address;
                reload = true;
            }
        }
        if (reload)
            loadLocalAddresses();
        return;
    }
    if (message.length > 8 && m_mode.load() == kModeConnecting) {
        ByteReader reader(message.data + 1, message.length - 1);
        uint32_t time = 0;
        uint32_t marker = 0;
        std::string id;
        if (reader.u32(time) && reader.u32(marker) && marker == kIdentityMarker && reader.string(id) &&
            m_lanSearchRan.load() && !id.empty()) {
            {
                std::lock_guard<std::mutex> lock(m_pendingMutex);
                auto it = std::find_if(m_pendingDirect.begin(), m_pendingDirect.end(),
                                       [&](const PendingDirect& entry) { return entry.deviceId == id; });
                if (it == m_pendingDirect.end()) {
                    m_pendingDirect.push_back(PendingDirect{});
                    it = std::prev(m_pendingDirect.end());
                    it->deviceId = id;
                }
                it->deadline = nowMs() + 1000;
                it->address = message.address;
                it->guid = message.guid;
            }
            if (findById(id))
                m_housekeepingWakeup.set();
        }
        return;
    }
    if (findServer(message.address))
        connectTo(message.address, true);
}

void P2PClient::onPunchFailed(const IncomingMessage& message)
{
    if (m_mode.load() != kModeConnecting)
        return;
    // The facilitator's failures (62-64) name the target after the id; the local 66 comes from it.
    P2PNet::P2PNetGUID target = message.guid;
    if (message.data[0] != 66) {
        ByteReader reader(message.data + 1, message.length - 1);
        uint64_t g = 0;
        if (!findServer(message.address) || !reader.u64(g))
            return;
        target = P2PNet::P2PNetGUID(g);
    }
    bool relay = false;
    {
        ApiGateGuard guard(m_gate);
        if (const auto session = findByGuid(target)) {
            const int32_t state = session->state();
            relay = state != kSessionConnected && state != kSessionInUse;
        }
    }
    if (relay)
        RequestRelay(target);
}

void P2PClient::onPunchSucceeded(const IncomingMessage& message)
{
    if (message.length < 2 || message.data[1] == 0)
        return;
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(message.guid);
    if (!session)
        return;
    {
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_punchedAddress = message.address;
    }
    connectTo(message.address, false);
}

void P2PClient::onSessionControl(const IncomingMessage& message)
{
    ByteReader reader(message.data + 1, message.length - 1);
    uint8_t sub = 0;
    if (!reader.u8(sub))
        return;
    ServerRecord* fromServer = findServer(message.address);
    switch (sub) {
    case kSessionHello:
        onHello(reader, message);
        break;
    case kRouteUpdate: {
        if (!fromServer)
            return;
        std::string deviceId;
        uint8_t hasRoute = 0;
        uint64_t guid = 0;
        P2PNet::SystemAddress address;
        uint8_t natType = 0;
        if (!reader.string(deviceId) || !reader.u8(hasRoute) || hasRoute == 0 || !reader.u64(guid) ||
            !reader.address(address) || !reader.u8(natType))
            return;
        ApiGateGuard guard(m_gate);
        if (const auto session = findById(deviceId)) {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            session->m_remoteGuid = P2PNet::P2PNetGUID(guid);
            if (!isAssigned(session->m_remoteAddress))
                session->m_remoteAddress = fitToSocket(address);
            session->m_peerNatType = natType;
            session->m_server = fromServer;
        }
        break;
    }
    case kLoginAnswer: {
        uint8_t accepted = 1;
        if (reader.u8(accepted) && accepted == 0)
            return;
        if (!fromServer || fromServer->state.load() != kServerRegistering)
            return;
        fromServer->state.store(kServerLoggedIn);
        // Lookups waiting for a logged-in server leave with the next pass, now.
        m_housekeepingWakeup.set();
        uint8_t natType = 0;
        if (reader.u8(natType))
            m_natType.store(natType);
        if (m_mode.load() == kModeConnecting) {
            ApiGateGuard guard(m_gate);
            for (const auto& session : sessions()) {
                if (session->state() != kSessionConnecting)
                    continue;
                session->m_error.store(-3);
                session->m_connectWakeup.release();
            }
        }
        break;
    }
    case kSessionAccepted: {
        if (!fromServer)
            return;
        std::string deviceId;
        uint8_t unused = 0;
        uint64_t guid = 0;
        P2PNet::SystemAddress address;
        uint8_t role = 0;
        if (!reader.string(deviceId) || !reader.u8(unused) || !reader.u64(guid) || !reader.address(address) ||
            !reader.u8(role))
            return;
        ApiGateGuard guard(m_gate);
        const auto session = findById(deviceId);
        if (!session || session->state() != kSessionConnecting)
            return;
        {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            session->m_relayAddress = message.address;
            session->m_remoteAddress = fitToSocket(address);
            session->m_remoteGuid = P2PNet::P2PNetGUID(guid);
        }
        session->m_role.store(role);
        if (role == 3)
            session->m_connectionType.store(3);
        session->setState(kSessionConnected, 0);
        session->m_connectWakeup.release();
        m_listenWakeup.release();
        break;
    }
    case kRelayedDataIn: {
        uint64_t guid = 0;
        if (!reader.u64(guid) || reader.remaining() == 0)
            return;
        ApiGateGuard guard(m_gate);
        const auto session = findByGuid(P2PNet::P2PNetGUID(guid));
        // Relayed data is taken only from the relay the session was accepted through.
        if (!session || !sameAddress(session->relayAddress(), message.address) ||
            session->deliver(0, reader.current(), reader.remaining()))
            break;
        // A queue at its limit: as for direct data, the session fails rather than lose a piece of
        // the stream without a word.
        if (const int32_t state = session->state(); state == kSessionConnected || state == kSessionInUse)
            session->fail(kErrorQueueOverflow, kSessionFailed);
        break;
    }
    case kRelayClosed: {
        if (!fromServer)
            return;
        uint64_t guid = 0;
        uint8_t flag = 0;
        if (!reader.u64(guid) || !reader.u8(flag))
            return;
        ApiGateGuard guard(m_gate);
        const auto session = findByGuid(P2PNet::P2PNetGUID(guid));
        if (session && session->role() == 3 && flag == 0 && sameAddress(session->relayAddress(), message.address))
            session->fail(-27, kSessionFailed);
        break;
    }
    case kLookupFailures:
        if (fromServer)
            onLookupFailures(reader, message);
        break;
    case kRouteOffers:
        if (fromServer)
            onRouteOffers(reader, message);
        break;
    default:
        break;
    }
}

void P2PClient::onHello(ByteReader& reader, const IncomingMessage& message)
{
    std::string target;
    if (!reader.string(target) || target.empty() || target != OwnId())
        return;
    uint32_t mode = 0;
    std::string peerId;
    if (!reader.u32(mode) || !reader.string(peerId))
        return;
    ApiGateGuard guard(m_gate);
    const auto existing = findById(peerId);
    if (existing && reader.remaining() <= 1) {
        // The denial form: only a rendezvous server may refuse a session.
        uint8_t status = 0;
        if (!findServer(message.address) || !reader.u8(status))
            return;
        existing->fail(lookupError(status), kSessionFailed);
        existing->m_connectWakeup.release();
        return;
    }
    P2PNet::SystemAddress address;
    uint64_t guid = 0;
    uint8_t natType = 0;
    uint8_t connectionType = 0;
    if (!reader.address(address) || !reader.u64(guid) || !reader.u8(natType) || !reader.u8(connectionType))
        return;
    if (existing) {
        // A repeated hello from the same device replaces its session: the old one must stop
        // receiving the new session's data (found by GUID) and stop being found by id.
        existing->fail(-27, kSessionFailed);
        std::lock_guard<std::mutex> lock(existing->m_mutex);
        existing->m_deviceId.clear();
    }
    auto session = newSession(peerId);
    if (!session)
        return;
    {
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_remoteAddress = fitToSocket(address);
        session->m_remoteGuid = P2PNet::P2PNetGUID(guid);
        session->m_peerNatType = natType;
    }
    session->m_connectionType.store(connectionType);
    if (ServerRecord* server = findServer(message.address)) {
        // A hello that a server brings on the caller's behalf: the server relays this session's
        // data both ways (135/12 out, 135/13 in).
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_relayAddress = message.address;
        session->m_server = server;
        session->m_role.store(3);
        session->m_connectionType.store(3);
    }
    session->setState(kSessionConnected, 0);
    if (appendSession(session))
        m_listenWakeup.release();
}

void P2PClient::onLookupFailures(ByteReader& reader, const IncomingMessage& message)
{
    ServerRecord* sender = findServer(message.address);
    uint8_t count = 0;
    if (!reader.u8(count))
        return;
    for (unsigned i = 0; i < count; ++i) {
        std::string deviceId;
        uint8_t status = 0;
        if (!reader.string(deviceId) || !reader.u8(status))
            return;
        ApiGateGuard guard(m_gate);
        const auto session = findById(deviceId);
        if (!session)
            continue;
        ServerRecord* server;
        {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            if (session->m_server == sender)
                session->m_server = nullptr;
            server = session->m_server;
        }
        if ((!server || server->state.load() != kServerLoggedIn) && session->state() == kSessionConnecting) {
            session->setState(kSessionFailed, lookupError(status));
            session->m_connectWakeup.release();
        }
    }
}

void P2PClient::onRouteOffers(ByteReader& reader, const IncomingMessage& message)
{
    ServerRecord* sender = findServer(message.address);
    uint8_t count = 0;
    if (!reader.u8(count))
        return;
    for (unsigned i = 0; i < count; ++i) {
        std::string deviceId;
        uint8_t unused = 0;
        uint64_t guid = 0;
        P2PNet::SystemAddress address;
        uint8_t natType = 0;
        if (!reader.string(deviceId) || !reader.u8(unused) || !reader.u64(guid) || !reader.address(address) ||
            !reader.u8(natType))
            return;
        bool relay = false;
        bool route = false;
        P2PNet::SystemAddress remote;
        {
            ApiGateGuard guard(m_gate);
            const auto session = findById(deviceId);
            if (!session)
                continue;
            const int32_t state = session->state();
            if (state == kSessionConnected || state == kSessionInUse)
                continue;
            std::lock_guard<std::mutex> lock(session->m_mutex);
            ServerRecord* current = session->m_server;
            if (current && current != sender && current->state.load() == kServerLoggedIn)
                continue;
            session->m_state.store(kSessionConnecting);
            session->m_remoteGuid = P2PNet::P2PNetGUID(guid);
            session->m_remoteAddress = fitToSocket(address);
            session->m_peerNatType = natType;
            session->m_server = sender;
            remote = session->m_remoteAddress;
            // A direct connect on the local network keeps its 3000 ms before a server route may
            // take over; once they have passed, the offer is used.
            const bool lanConnectRunning = isLocalNetwork(session->m_lanAddress) && nowMs() < session->m_lanDeadline;
            if (!lanConnectRunning) {
                if (needsRelay(natType, m_natType.load()))
                    relay = true;
                else
                    route = true;
            }
        }
        if (relay)
            RequestRelay(P2PNet::P2PNetGUID(guid));
        if (route) {
            ByteWriter request;
            request.u8(ID_ROUTE_REQUEST);
            request.address(remote);
            request.u64(guid);
            sendToAddress(request, 2, kReliableOrdered, 0, serverAddressForSending(*sender));
        }
    }
}

// ---- Relay results --------------------------------------------------------------------------

void P2PClient::OnRelayReady(const char* proxyText, uint16_t proxyPort, const P2PNet::P2PNetGUID& target)
{
    P2PNet::SystemAddress proxy;
    if (!proxyText || !proxy.ParseWithPort(proxyText, proxyPort, true, 0))
        return;
    proxy = fitToSocket(proxy);
    {
        ApiGateGuard guard(m_gate);
        const auto session = findByGuid(target);
        // A grant nobody asked for is not followed: it could send this side anywhere.
        if (!session || session->relayState() != kRelayRequested)
            return;
        const int32_t state = session->state();
        if (state == kSessionConnected || state == kSessionInUse)
            return;
        session->m_relayState.store(kRelayKnown);
        std::lock_guard<std::mutex> lock(session->m_mutex);
        session->m_relayAddress = proxy;
    }
    connectTo(proxy, false);
}

void P2PClient::OnRelayNotice(const char* proxyText, uint16_t proxyPort, const P2PNet::P2PNetGUID& target)
{
    P2PNet::SystemAddress proxy;
    if (!proxyText || !proxy.ParseWithPort(proxyText, proxyPort, true, 0))
        return;
    proxy = fitToSocket(proxy);
    ApiGateGuard guard(m_gate);
    const auto session = findByGuid(target);
    if (!session)
        return;
    const int32_t state = session->state();
    if (state == kSessionConnected || state == kSessionInUse)
        return;
    session->m_relayState.store(kRelayKnown);
    std::lock_guard<std::mutex> lock(session->m_mutex);
    session->m_relayAddress = proxy;
}

void P2PClient::OnRelayFailed(const P2PNet::P2PNetGUID& target)
{
    ApiGateGuard guard(m_gate);
    if (const auto session = findByGuid(target))
        if (session->relayState() == kRelayRequested)
            session->m_relayState.store(kRelayNone);
}
