#include "P2PClient.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kThreadStack = 2 * 1024 * 1024;

bool isValidChannel(int channel)
{
    return (channel & 0xFF) < kChannelCount;
}

int waitMillis(int timeout)
{
    if (timeout <= 0)
        return 0;
    const int64_t ms = static_cast<int64_t>(timeout) * 100;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace

std::string P2PClient::OwnId() const
{
    std::lock_guard<std::mutex> lock(m_loginMutex);
    return m_ownId;
}

std::string P2PClient::Password() const
{
    std::lock_guard<std::mutex> lock(m_loginMutex);
    return m_password;
}

void P2PClient::SetSendTap(SendTap tap)
{
    std::lock_guard<std::mutex> lock(m_tapMutex);
    m_tapSet.store(static_cast<bool>(tap));
    m_sendTap = std::move(tap);
}

void P2PClient::report(const OutgoingMessage& message)
{
    std::lock_guard<std::mutex> lock(m_tapMutex);
    if (m_sendTap)
        m_sendTap(message);
}

void P2PClient::SetLanSearchTarget(const std::string& host, uint16_t port)
{
    std::lock_guard<std::mutex> lock(m_lanMutex);
    m_lanSearchHost = host;
    m_lanSearchPort = port;
}

P2PNet::SystemAddress P2PClient::ServerAddress(int index, int version) const
{
    std::lock_guard<std::mutex> lock(m_serverMutex);
    const ServerRecord& server = m_servers[static_cast<std::size_t>(index)];
    return version == 6 ? server.ipv6 : server.ipv4;
}

void P2PClient::SetServerAddresses(int index, const P2PNet::SystemAddress& ipv4, const P2PNet::SystemAddress& ipv6)
{
    std::lock_guard<std::mutex> lock(m_serverMutex);
    ServerRecord& server = m_servers[static_cast<std::size_t>(index)];
    server.ipv4 = fitToSocket(ipv4);
    server.ipv6 = fitToSocket(ipv6);
}

// ---- Lifecycle ------------------------------------------------------------------------------

int P2PClient::Initialize(const char* serverString, const char* ipv6Server1, const char* ipv6Server2,
                          const char* ipv6Server3)
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    if (m_shuttingDown.load())
        return -1;
    const char* const ipv6[3] = {ipv6Server1, ipv6Server2, ipv6Server3};
    // The registration threads read the server records: stop them while the records change.
    stopServerThreads();
    parseServers(serverString, ipv6);
    if (!m_peerRunning.load()) {
        // A peer that runs is kept: the receive thread and the update thread are inside it.
        const int result = startPeer();
        if (result != 0)
            return result;
    }
    {
        std::lock_guard<std::mutex> lock(m_serverMutex);
        for (ServerRecord& server : m_servers) {
            server.ipv4 = fitToSocket(server.ipv4);
            server.ipv6 = fitToSocket(server.ipv6);
        }
    }
    startThreads();
    return 0;
}

void P2PClient::startThreads()
{
    if (!m_receiveThread.running()) {
        m_receiveRunning.store(true);
        if (!m_receiveThread.start([this] { receiveLoop(); }, kThreadStack, "TovelReceive")) {
            m_receiveRunning.store(false);
            return;
        }
    }
    for (ServerRecord& server : m_servers) {
        if (server.thread.running())
            continue;
        server.running.store(1);
        if (!server.thread.start([this, &server] { serverLoop(server); }, kThreadStack,
                                 "TovelServer" + std::to_string(server.index)))
            server.running.store(0);
    }
    if (!m_housekeepingThread.running()) {
        m_housekeepingRunning.store(true);
        if (!m_housekeepingThread.start([this] { housekeepingLoop(); }, kThreadStack, "TovelHousekeep"))
            m_housekeepingRunning.store(false);
    }
}

void P2PClient::stopServerThreads()
{
    for (ServerRecord& server : m_servers) {
        if (!server.thread.running())
            continue;
        server.running.store(0);
        server.wakeup.set();
        server.thread.join();
    }
}

void P2PClient::WakeAll()
{
    m_shuttingDown.store(true);
    m_receiveRunning.store(false);
    m_housekeepingRunning.store(false);
    m_stopEvent.set();
    // Every waiter wakes now: connects return -19, reads return, listens return.
    for (const auto& session : sessions()) {
        session->setState(kSessionClosed, -19);
        session->m_connectWakeup.close();
        session->wakeReaders();
    }
    m_listenWakeup.close();
    m_housekeepingWakeup.set();
}

void P2PClient::Shutdown()
{
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    WakeAll();
    stopServerThreads();
    m_receiveThread.join();
    m_housekeepingThread.join();

    // Calls still inside (a woken read or connect on its way out) leave first; a call that counts
    // in from here on waits, then finds no session and no peer.
    std::vector<std::shared_ptr<P2PConnection>> doomed;
    while (!m_gate.removeWhenIdle(
        [&] {
            m_peerRunning.store(false);
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            doomed.swap(m_sessions);
        },
        1000)) {
    }
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        m_pendingDirect.clear();
    }
    doomed.clear();
    stopPeer();
}

int P2PClient::SetLoginInfo(const char* ownId, const char* password, int mode)
{
    ApiGateGuard guard(m_gate);
    bool changed = m_mode.exchange(mode) != mode;
    if (ownId && password) {
        {
            std::lock_guard<std::mutex> lock(m_loginMutex);
            const std::string id = clampId(ownId);
            const std::string secret = clampId(password);
            changed = changed || id != m_ownId || secret != m_password;
            m_ownId = id;
            m_password = secret;
        }
        setOfflineReply();
    }
    if (changed) {
        // A server that logged this side in under the old id (the GUID text given at start, for
        // a device that sets its id after initialising) registers it again under the new one.
        for (ServerRecord& server : m_servers) {
            int32_t state = server.state.load();
            if ((state == kServerLoggedIn || state == kServerRegistering) &&
                server.state.compare_exchange_strong(state, kServerRegistering))
                server.wakeup.set();
        }
    }
    return 0;
}

int P2PClient::NetworkDetect(void* info)
{
    // The login status is always 3, so one wait of a second ends it.
    m_stopEvent.wait(1000);
    if (info)
        std::memset(info, 0, 260);
    return 0;
}

int P2PClient::ListenBreak()
{
    m_listenWakeup.release();
    return 0;
}

int P2PClient::Listen(const char* ownId, int timeout, const char* password)
{
    if (ownId && password) {
        bool changed;
        {
            std::lock_guard<std::mutex> lock(m_loginMutex);
            changed = m_ownId != clampId(ownId) || m_password != clampId(password);
        }
        if (changed)
            SetLoginInfo(ownId, password, m_mode.load());
    }
    const auto takeAccepted = [this]() -> int {
        ApiGateGuard guard(m_gate);
        for (const auto& session : sessions()) {
            int32_t expected = kSessionConnected;
            if (session->m_state.compare_exchange_strong(expected, kSessionInUse)) {
                session->m_error.store(0);
                return session->handle();
            }
        }
        return -1;
    };
    int handle = takeAccepted();
    if (handle >= 0)
        return handle;
    if (!m_listenWakeup.wait(waitMillis(timeout)))
        return -3;
    handle = takeAccepted();
    return handle >= 0 ? handle : -22;
}

// ---- Sessions -------------------------------------------------------------------------------

std::vector<std::shared_ptr<P2PConnection>> P2PClient::sessions() const
{
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    return m_sessions;
}

std::size_t P2PClient::SessionCount() const
{
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    return m_sessions.size();
}

std::shared_ptr<P2PConnection> P2PClient::findByHandle(int handle) const
{
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    for (const auto& session : m_sessions)
        if (session->handle() == handle)
            return session;
    return nullptr;
}

std::shared_ptr<P2PConnection> P2PClient::SessionByHandle(int handle) const
{
    return findByHandle(handle);
}

int P2PClient::SessionState(int handle) const
{
    const auto session = findByHandle(handle);
    return session ? session->state() : -1;
}

int P2PClient::SessionError(int handle) const
{
    const auto session = findByHandle(handle);
    return session ? session->error() : 0;
}

std::shared_ptr<P2PConnection> P2PClient::findById(const std::string& deviceId) const
{
    if (deviceId.empty())
        return nullptr;
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    for (const auto& session : m_sessions)
        if (session->deviceId() == deviceId)
            return session;
    return nullptr;
}

std::shared_ptr<P2PConnection> P2PClient::findByGuid(const P2PNet::P2PNetGUID& guid) const
{
    if (guid == P2PNet::UNASSIGNED_P2PNET_GUID)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    for (const auto& session : m_sessions)
        if (session->remoteGuid() == guid)
            return session;
    return nullptr;
}

std::shared_ptr<P2PConnection> P2PClient::newSession(const std::string& deviceId)
{
    try {
        return std::make_shared<P2PConnection>(*this, m_nextHandle.fetch_add(1), deviceId);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool P2PClient::appendSession(const std::shared_ptr<P2PConnection>& session)
{
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    // Shutdown walks the list under this lock after raising the flag: nothing joins it later.
    if (m_shuttingDown.load())
        return false;
    m_sessions.push_back(session);
    return true;
}

bool P2PClient::useSession(P2PConnection& session, int& error)
{
    int32_t state = session.state();
    if (state == kSessionInUse)
        return true;
    if (state == kSessionConnected && session.m_state.compare_exchange_strong(state, kSessionInUse))
        return true;
    if (session.state() == kSessionInUse)
        return true;
    error = session.error();
    return false;
}

int P2PClient::Connect(const char* deviceIdText, int lanSearch)
{
    if (!deviceIdText)
        return -5;
    const std::string deviceId = clampId(deviceIdText);
    ApiGateGuard guard(m_gate);
    if (m_shuttingDown.load())
        return -19;
    auto session = findById(deviceId);
    if (session) {
        const int32_t state = session->state();
        if (state == kSessionConnected || state == kSessionInUse) {
            session->setState(kSessionInUse, 0);
            return session->handle();
        }
        if (session->error() == -4)
            return -4;
        const P2PNet::P2PNetGUID guid = session->remoteGuid();
        if (guid != P2PNet::UNASSIGNED_P2PNET_GUID && linkState(P2PNet::UNASSIGNED_SYSTEM_ADDRESS, guid) == 2) {
            session->clearQueues();
            sendSessionHello(*session);
            session->setState(kSessionInUse, 0);
            return session->handle();
        }
        // A failed session's link may still be up, with the device streaming into it: it goes
        // first, or the new attempt would find that endpoint taken.
        dropFailedLink(*session);
        prepareConnect(*session, (lanSearch & 0xFF) != 0);
    } else {
        session = newSession(deviceId);
        if (!session)
            return -24;
        // Connecting before anyone can find it: a break that finds the session always ends
        // this wait.
        prepareConnect(*session, (lanSearch & 0xFF) != 0);
        if (!appendSession(session))
            return -19;
    }
    return waitConnected(*session);
}

int P2PClient::BeginConnect(const char* deviceIdText, int lanSearch)
{
    if (!deviceIdText)
        return -5;
    const std::string deviceId = clampId(deviceIdText);
    ApiGateGuard guard(m_gate);
    auto session = findById(deviceId);
    if (!session) {
        session = newSession(deviceId);
        if (!session)
            return -24;
        if (!appendSession(session))
            return -19;
    }
    prepareConnect(*session, (lanSearch & 0xFF) != 0);
    return session->handle();
}

void P2PClient::prepareConnect(P2PConnection& session, bool lanSearch)
{
    {
        std::lock_guard<std::mutex> lock(session.m_mutex);
        session.m_lookupDeadline = 0;
        session.m_punchedAddress = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
        session.m_relayAddress = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
        session.m_lanAddress = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
        session.m_rejoinAt = 0;
        session.m_rejoinDelayMs = 0;
        session.m_rejoinPending = false;
        if (lanSearch)
            session.m_lanSearch = true;
    }
    // A new connect searches the local network on the next pass rather than at the next period:
    // one that follows an earlier search closely would otherwise wait for its period to come.
    if (lanSearch)
        m_lanSearchWanted.store(true);
    // Queues are emptied before the route opens, not after it: data the device sends right after
    // the hello is already the new session's.
    session.clearQueues();
    session.setState(kSessionConnecting, 0);
    m_housekeepingWakeup.set();
}

int P2PClient::waitConnected(P2PConnection& session)
{
    const int waitMs = static_cast<int>(std::min<uint32_t>(Timings().connectWaitMs, INT_MAX));
    for (int waits = 1;; ++waits) {
        const bool woken = session.m_connectWakeup.wait(waitMs);
        if (!woken) {
            int32_t expected = 0;
            session.m_error.compare_exchange_strong(expected, -3);
        }
        switch (session.state()) {
        case kSessionConnecting:
            if (m_shuttingDown.load() || session.m_connectWakeup.closed())
                return -19;
            if (waits >= kConnectWaits)
                return -3;
            continue;
        case kSessionConnected:
        case kSessionInUse: {
            std::lock_guard<std::mutex> lock(session.m_useMutex);
            session.setState(kSessionInUse, 0);
            return session.handle();
        }
        case kSessionClosed:
            return session.error();
        default: {
            const int32_t error = session.error();
            if (error >= 0) {
                session.m_error.store(-29);
                return -29;
            }
            return error;
        }
        }
    }
}

int P2PClient::ConnectBreak(const char* deviceIdText)
{
    if (!deviceIdText)
        return 0;
    ApiGateGuard guard(m_gate);
    if (const auto session = findById(clampId(deviceIdText))) {
        session->setState(kSessionClosed, -19);
        session->m_connectWakeup.release();
        session->wakeReaders();
    }
    return 0;
}

int P2PClient::Check(int handle, SessionInfo* info)
{
    if (handle < 0)
        return -5;
    ApiGateGuard guard(m_gate);
    const auto session = findByHandle(handle);
    if (!session)
        return -6;
    if (int error = 0; !useSession(*session, error))
        return error;
    if (!info)
        return 0;
    SessionInfo record{};
    record.handle = handle;
    {
        std::lock_guard<std::mutex> lock(session->m_mutex);
        addressBytes16(session->m_remoteAddress, record.remoteAddress);
        // strncpy semantics: zero-filled, not terminated when the id has 24 characters or more.
        const std::string& id = session->m_deviceId;
        std::memcpy(record.deviceId, id.data(), std::min(id.size(), sizeof(record.deviceId)));
    }
    {
        std::lock_guard<std::mutex> lock(m_addressMutex);
        addressBytes16(m_localAddress, record.localAddress);
        addressBytes16(m_wanAddress, record.wanAddress);
    }
    record.reserved = 255;
    record.role = static_cast<uint8_t>(session->role());
    record.connectionType = static_cast<uint8_t>(session->connectionType());
    std::memcpy(info, &record, kSessionInfoWritten);
    return 0;
}

int P2PClient::CheckBuffer(int handle, int channel, uint32_t* pending, uint32_t* readable)
{
    if (!isValidChannel(channel) || handle < 0)
        return -5;
    ApiGateGuard guard(m_gate);
    const auto session = findByHandle(handle);
    if (!session)
        return -6;
    if (int error = 0; !useSession(*session, error))
        return error > 0 ? -23 : error;
    const int ch = channel & 0xFF;
    if (readable)
        *readable = session->readableBytes(ch);
    if (pending)
        *pending = session->pendingBytes(ch);
    return 0;
}

int P2PClient::Read(int handle, int channel, char* buffer, int* length, int timeout)
{
    if (!length)
        return -5;
    if (!isValidChannel(channel) || handle < 0 || !buffer || *length <= 0 || *length > kMaxTransfer) {
        *length = 0;
        return -5;
    }
    const std::size_t capacity = static_cast<std::size_t>(*length);
    *length = 0;
    ApiGateGuard guard(m_gate);
    const auto session = findByHandle(handle);
    if (!session)
        return -5;
    if (int error = 0; !useSession(*session, error))
        return error;
    DataList* queue = session->receiveQueue(channel & 0xFF);
    if (!queue)
        return -24;
    std::size_t copied = 0;
    bool endedFull = false;
    const DataList::ReadResult result =
        queue->read(reinterpret_cast<uint8_t*>(buffer), capacity, waitMillis(timeout), copied, &endedFull);
    if (endedFull)
        session->updateHold(channel & 0xFF);
    switch (result) {
    case DataList::ReadResult::TimedOut:
        return -3;
    case DataList::ReadResult::Woken: {
        // Woken by a close, a break or the shut-down: report what ended the session.
        const int32_t state = session->state();
        return state == kSessionConnected || state == kSessionInUse ? 0 : session->error();
    }
    case DataList::ReadResult::Data:
        break;
    }
    *length = static_cast<int>(copied);
    return 0;
}

int P2PClient::Write(int handle, int channel, const char* data, int length)
{
    if (!isValidChannel(channel) || handle < 0 || !data || length <= 0 || length > kMaxTransfer)
        return -5;
    ApiGateGuard guard(m_gate);
    const auto session = findByHandle(handle);
    if (!session)
        return -5;
    if (int error = 0; !useSession(*session, error))
        return error;
    return sendOnSession(*session, channel & 0xFF, reinterpret_cast<const uint8_t*>(data), length);
}

int P2PClient::sendOnSession(P2PConnection& session, int channel, const uint8_t* data, int length)
{
    if (session.role() == 3) {
        // The server relays only the data bytes and delivers them on channel 0 at the far side:
        // data of any other channel would arrive on the wrong one.
        if (channel != 0)
            return -5;
        ByteWriter message;
        message.u8(ID_SESSION_CONTROL);
        message.u8(kRelayedDataOut);
        message.address(session.remoteAddress());
        message.bytes(data, static_cast<std::size_t>(length));
        if (sendToAddress(message, 2, kReliableOrdered, 0, session.relayAddress()) == 0)
            return -27;
        return length;
    }
    SendQueue* queue = session.sendQueue(channel);
    if (!queue)
        return -24;
    const uint8_t header[2] = {ID_SESSION_DATA, static_cast<uint8_t>(channel)};
    // The record exists before the send is queued, so an acknowledgement that comes back at once
    // always finds it.
    const uint32_t receipt = takeReceiptNumber();
    queue->add(receipt, static_cast<uint32_t>(length));
    if (sendDataToGuid(header, data, length, channel == 0 ? 2 : 3, channel, session.remoteGuid(), receipt) == 0) {
        queue->acknowledge(receipt);
        return -27;
    }
    return length;
}

void P2PClient::dropFailedLink(P2PConnection& session)
{
    P2PNet::P2PNetGUID guid;
    {
        std::lock_guard<std::mutex> lock(session.m_mutex);
        guid = session.m_failedLinkGuid;
        session.m_failedLinkGuid = P2PNet::UNASSIGNED_P2PNET_GUID;
    }
    if (guid == P2PNet::UNASSIGNED_P2PNET_GUID)
        return;
    if (const auto user = findByGuid(guid); user && user.get() != &session)
        return;
    dropConnection(guid);
}

void P2PClient::closeSession(P2PConnection& session)
{
    dropFailedLink(session);
    dropConnection(session.remoteGuid());
    session.fail(-14, kSessionClosed);
    session.m_connectWakeup.release();
}

int P2PClient::Close(int handle)
{
    if (handle < 0)
        return -5;
    ApiGateGuard guard(m_gate);
    if (const auto session = findByHandle(handle))
        closeSession(*session);
    return 0;
}

int P2PClient::connectionTypeOf(P2PConnection& session)
{
    std::lock_guard<std::mutex> lock(session.m_mutex);
    if (sameAddress(session.m_remoteAddress, session.m_punchedAddress))
        return 2;
    if (sameAddress(session.m_remoteAddress, session.m_relayAddress))
        return 3;
    return 1;
}
