// The peer's public operations, start and stop, the remote-system table and its lookups, and the
// application's packet queue.
#include "P2PPeer.h"
#include "PeerUtils.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace P2PNet {

// ---- Packets -----------------------------------------------------------------------------------

Packet* PeerAllocatePacket(P2PPeerInterface* peer, unsigned size)
{
    if (peer == nullptr)
        return AllocateStandalonePacket(size);
    return peer->NewPacket(size);
}

// Drops outgoing datagrams for the test hooks; installed on every socket of the peer.
class PeerSendFilter : public DatagramHook {
public:
    explicit PeerSendFilter(P2PPeer* peer) : m_peer(peer) {}
    int OnSendDatagram(const char* data, int length, const SystemAddress& target) override
    {
        (void)data;
        (void)target;
        // A dropped datagram reports success, as a lossy path would; -1 lets the socket send.
        return m_peer->TestDropDatagram(static_cast<unsigned>(std::max(0, length))) ? length : -1;
    }

private:
    P2PPeer* m_peer;
};

namespace {

constexpr std::size_t kMaxJoinPassword = 255;
// Ban and exception texts: long enough for any IPv6 or mapped address text.
constexpr std::size_t kBanTextLimit = kMaxHostTextLength;
constexpr int kSocketQueryLimitMs = 1000;
constexpr std::size_t kThreadStack = 2 * 1024 * 1024;

bool MatchesPattern(const std::string& entry, const char* text)
{
    // Equal texts match, and so does a text that agrees with the entry up to a '*' in the entry
    // while it still has a character there.
    std::size_t i = 0;
    for (;; ++i) {
        const char e = i < entry.size() ? entry[i] : '\0';
        const char t = text[i];
        if (e == '*')
            return t != '\0';
        if (e != t)
            return false;
        if (e == '\0')
            return true;
    }
}

void AddStatistics(ReliabilityStatistics& sum, const ReliabilityStatistics& add)
{
    for (int i = 0; i < kLayerCounterCount; ++i) {
        sum.perSecond[i] += add.perSecond[i];
        sum.total[i] += add.total[i];
    }
    sum.resentShare += add.resentShare;
    sum.ignoredShare += add.ignoredShare;
    for (unsigned i = 0; i < kSendPriorityCount; ++i) {
        sum.queuedMessages[i] += add.queuedMessages[i];
        sum.queuedBytes[i] += add.queuedBytes[i];
    }
    sum.messagesWaitingForAck += add.messagesWaitingForAck;
    sum.bytesWaitingForAck += add.bytesWaitingForAck;
    sum.bytesInFlight += add.bytesInFlight;
    sum.congestionWindow += add.congestionWindow;
    sum.estimatedRttUs += add.estimatedRttUs;
    sum.retransmissionTimeoutUs += add.retransmissionTimeoutUs;
    sum.linkIsDead = sum.linkIsDead || add.linkIsDead;
}

} // namespace

P2PPeer::P2PPeer()
{
    m_myGuid = MakeGuid();
    for (SystemAddress& a : m_localAddresses)
        a = UNASSIGNED_SYSTEM_ADDRESS;
    m_firstExternalAddress = UNASSIGNED_SYSTEM_ADDRESS;
}

P2PPeer::~P2PPeer()
{
    Stop(0, 0, SendPriority::Low);
    ClearBans();
}

// ---- Start and stop ----------------------------------------------------------------------------

StartResult P2PPeer::Start(unsigned maxConnections, const SocketSpec* specs, unsigned specCount,
                           int threadPriority)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    if (IsRunning())
        return StartResult::AlreadyStarted;
    if (m_myGuid.g == 0 || m_myGuid.IsUnassigned())
        m_myGuid = MakeGuid();
    if (m_myGuid.g == 0)
        return StartResult::CouldNotMakeGuid;
    if (threadPriority == -99999)
        threadPriority = 0;
    LoadLocalAddresses();
    if (specs == nullptr || specCount == 0)
        return StartResult::InvalidSocketSpecs;
    if (maxConnections == 0)
        return StartResult::InvalidMaxConnections;

    std::unique_lock socketsLock(m_socketsLock);
    DeleteSocketsLocked();
    for (unsigned i = 0; i < specCount; ++i) {
        std::unique_ptr<PlatformSocket> socket = CreatePlatformSocket();
        socket->SetUserIndex(i);
        socket->SetSocketKind(kPeerSocketKind);
        BindRequest request;
        request.port = specs[i].port;
        request.hostAddress.assign(specs[i].host, strnlen(specs[i].host, sizeof specs[i].host));
        request.addressFamily = specs[i].family;
        request.socketType = 2;
        request.protocol = specs[i].protocol;
        request.nonBlocking = 0;
        request.broadcast = 1;
        request.headerInclude = 0;
        request.doNotFragment = 0;
        request.receiveThreadPriority = threadPriority;
        request.eventHandler = this;
        request.remotePort = specs[i].remotePort;
        const int result = socket->Bind(request);
        if (result != static_cast<int>(BindResult::Bound)) {
            DeleteSocketsLocked();
            switch (result) {
            case 1: return StartResult::SocketFamilyNotSupported;
            case 2: return StartResult::SocketPortAlreadyInUse;
            default: return StartResult::SocketFailedTestSend;
            }
        }
        auto filter = std::make_unique<PeerSendFilter>(this);
        socket->SetDatagramHook(filter.get());
        m_sendFilters.push_back(std::move(filter));
        m_sockets.push_back(std::move(socket));
    }
    for (std::unique_ptr<PlatformSocket>& socket : m_sockets) {
        if (!socket->StartReceiving()) {
            DeleteSocketsLocked();
            return StartResult::FailedToCreateUpdateThread;
        }
    }
    socketsLock.unlock();

    {
        std::lock_guard lock(m_addressLock);
        const uint16_t port = m_sockets[0]->GetBoundAddress().GetPort();
        for (SystemAddress& a : m_localAddresses) {
            if (a.IsUnassigned())
                break;
            a.SetPort(port);
        }
    }

    if (m_maximumConnections == 0) {
        if (m_maximumIncomingConnections > maxConnections)
            m_maximumIncomingConnections = static_cast<uint16_t>(std::min(maxConnections, 0xFFFFu));
        CriticalSectionLock table(m_tableLock);
        m_maximumConnections = maxConnections;
        m_remoteSystems.clear();
        m_slotPointers.clear();
        for (unsigned i = 0; i < maxConnections; ++i) {
            auto remote = std::make_unique<RemoteSystem>();
            remote->systemAddress = UNASSIGNED_SYSTEM_ADDRESS;
            remote->systemAddress.systemIndex = static_cast<uint16_t>(i);
            remote->myExternalAddress = UNASSIGNED_SYSTEM_ADDRESS;
            remote->guid = UNASSIGNED_P2PNET_GUID;
            remote->mtu = kDefaultMtu;
            m_slotPointers.push_back(remote.get());
            m_remoteSystems.push_back(std::move(remote));
        }
        m_activeSystems.clear();
        m_activeSystems.reserve(maxConnections);
        m_addressHash.Reset(maxConnections);
    }

    if (m_endThreads) {
        m_stopping = false;
        {
            std::lock_guard lock(m_addressLock);
            m_firstExternalAddress = UNASSIGNED_SYSTEM_ADDRESS;
        }
        m_endThreads = false;
        if (!m_updateThread.running()) {
            if (!m_updateThread.start([this] { UpdateThreadMain(); }, kThreadStack, "P2PPeerUpdate")) {
                Stop(0, 0, SendPriority::Low);
                return StartResult::FailedToCreateUpdateThread;
            }
        }
        while (!m_updateThreadRunning && !m_endThreads)
            platform::sleepMillis(10);
    }

    for (PeerPlugin* plugin : plugins->first)
        plugin->PeerStarted();
    for (PeerPlugin* plugin : plugins->second)
        plugin->PeerStarted();
    return StartResult::Started;
}

void P2PPeer::Stop(unsigned blockMs, uint8_t orderingChannel, SendPriority priority)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    if (blockMs > 0 && IsRunning()) {
        std::vector<SystemAddress> targets;
        {
            CriticalSectionLock table(m_tableLock);
            for (RemoteSystem* remote : m_activeSystems)
                targets.push_back(remote->systemAddress);
        }
        for (const SystemAddress& target : targets)
            CloseConnectionInternal(PeerTarget(target), true, false, orderingChannel, priority);
        const uint64_t deadline = NowMillis() + blockMs;
        for (;;) {
            {
                CriticalSectionLock table(m_tableLock);
                if (m_activeSystems.empty())
                    break;
            }
            if (NowMillis() >= deadline)
                break;
            platform::sleepMillis(15);
        }
    }

    for (PeerPlugin* plugin : plugins->first)
        plugin->PeerStopping();
    for (PeerPlugin* plugin : plugins->second)
        plugin->PeerStopping();

    m_stopping = true;
    m_endThreads = true;
    m_updateEvent.set();
    if (m_updateThread.running())
        m_updateThread.join();
    m_updateThreadRunning = false;

    // Receive threads are joined before their sockets go (DeleteSockets).
    DeleteSockets();

    {
        CriticalSectionLock table(m_tableLock);
        for (RemoteSystem* remote : m_slotPointers) {
            remote->isActive = false;
            remote->reliabilityLayer.Reset(remote->mtu - kUdpHeaderSize, NowMicros());
        }
        m_maximumConnections = 0;
        m_activeSystems.clear();
        m_slotPointers.clear();
        m_remoteSystems.clear();
        m_addressHash.Clear();
    }

    ClearPacketQueue();
    {
        std::lock_guard lock(m_recvLock);
        for (RecvBuffer* buffer : m_receivedDatagrams)
            m_freeRecvBuffers.push_back(buffer);
        m_receivedDatagrams.clear();
    }
    {
        std::lock_guard lock(m_commandLock);
        m_commands.clear();
    }
    {
        std::lock_guard lock(m_connectionLock);
        m_requestedConnections.clear();
    }
    m_answeredRequests.clear();
    {
        std::lock_guard lock(m_socketQueryLock);
        m_socketQueryAnswers.clear();
    }
    {
        std::lock_guard lock(m_addressLock);
        m_firstExternalAddress = UNASSIGNED_SYSTEM_ADDRESS;
    }
    {
        std::lock_guard lock(m_receiptLock);
        m_receiptCounter = 1;
    }
}

void P2PPeer::DeleteSockets()
{
    std::unique_lock lock(m_socketsLock);
    DeleteSocketsLocked();
}

void P2PPeer::DeleteSocketsLocked()
{
    // A socket is deleted only once its receive thread has ended: StopReceiving wakes and waits
    // for the loop, and the socket's destructor joins the thread itself. The send filters go
    // after the sockets that use them.
    for (std::unique_ptr<PlatformSocket>& socket : m_sockets)
        socket->StopReceiving();
    m_sockets.clear();
    m_sendFilters.clear();
}

bool P2PPeer::IsRunning() const
{
    return !m_endThreads && m_updateThreadRunning;
}

// ---- Exception list and ban list ---------------------------------------------------------------

void P2PPeer::AddExemptPattern(const char* pattern)
{
    if (pattern == nullptr || *pattern == '\0' || std::strlen(pattern) > kBanTextLimit)
        return;
    std::lock_guard lock(m_exemptLock);
    m_exemptList.emplace_back(pattern);
}

void P2PPeer::RemoveExemptPattern(const char* pattern)
{
    std::lock_guard lock(m_exemptLock);
    if (pattern == nullptr) {
        m_exemptList.clear();
        return;
    }
    if (std::strlen(pattern) > kBanTextLimit)
        return;
    m_exemptList.erase(std::remove_if(m_exemptList.begin(), m_exemptList.end(),
                                      [&](const std::string& entry) { return MatchesPattern(entry, pattern); }),
                       m_exemptList.end());
}

bool P2PPeer::MatchesExemptPattern(const char* text)
{
    if (text == nullptr || std::strlen(text) > kBanTextLimit)
        return false;
    std::lock_guard lock(m_exemptLock);
    for (const std::string& entry : m_exemptList)
        if (MatchesPattern(entry, text))
            return true;
    return false;
}

void P2PPeer::BanAddress(const char* ip, uint32_t ms)
{
    if (ip == nullptr || *ip == '\0' || std::strlen(ip) > kBanTextLimit)
        return;
    const uint64_t expiry = ms == 0 ? 0 : NowMillis() + ms;
    std::lock_guard lock(m_banLock);
    for (BanEntry& entry : m_banList) {
        if (entry.pattern == ip) {
            entry.expiry = expiry;
            return;
        }
    }
    m_banList.push_back(BanEntry{ip, expiry});
    m_banCount = m_banList.size();
}

void P2PPeer::UnbanAddress(const char* ip)
{
    if (ip == nullptr)
        return;
    std::lock_guard lock(m_banLock);
    for (std::size_t i = 0; i < m_banList.size(); ++i) {
        if (m_banList[i].pattern == ip) {
            m_banList[i] = std::move(m_banList.back());
            m_banList.pop_back();
            m_banCount = m_banList.size();
            return;
        }
    }
}

void P2PPeer::ClearBans()
{
    std::lock_guard lock(m_banLock);
    m_banList.clear();
    m_banCount = 0;
}

bool P2PPeer::IsAddressBanned(const char* ip)
{
    if (ip == nullptr || *ip == '\0' || std::strlen(ip) > kBanTextLimit)
        return false;
    const uint64_t now = NowMillis();
    std::lock_guard lock(m_banLock);
    for (std::size_t i = 0; i < m_banList.size();) {
        BanEntry& entry = m_banList[i];
        if (entry.expiry != 0 && entry.expiry < now) {
            entry = std::move(m_banList.back());
            m_banList.pop_back();
            m_banCount = m_banList.size();
            continue;
        }
        if (MatchesPattern(entry.pattern, ip))
            return true;
        ++i;
    }
    return false;
}

void P2PPeer::SetRejoinLimit(bool limit)
{
    m_limitConnectionFrequency = limit;
}

// ---- Simple settings ---------------------------------------------------------------------------

void P2PPeer::SetIncomingLimit(uint16_t count)
{
    m_maximumIncomingConnections = count;
}

uint16_t P2PPeer::GetIncomingLimit() const
{
    return m_maximumIncomingConnections;
}

unsigned P2PPeer::CountConnected()
{
    unsigned short count = 0;
    ListConnectedAddresses(nullptr, &count);
    return count;
}

void P2PPeer::SetJoinPassword(const char* data, int length)
{
    std::lock_guard lock(m_passwordLock);
    if (data == nullptr || length <= 0) {
        m_joinPassword.clear();
        return;
    }
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), kMaxJoinPassword);
    m_joinPassword.assign(data, data + n);
}

void P2PPeer::GetJoinPassword(char* data, int* length)
{
    if (length == nullptr)
        return;
    std::lock_guard lock(m_passwordLock);
    if (data != nullptr && *length > 0) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(*length), m_joinPassword.size());
        std::memcpy(data, m_joinPassword.data(), n);
    }
    *length = static_cast<int>(m_joinPassword.size());
}

void P2PPeer::SetKeepAlivePing(bool doPing)
{
    m_occasionalPing = doPing;
}

void P2PPeer::SetReplyAddressChangeAllowed(bool allow)
{
    m_acceptJoinInAnyState = allow;
}

void P2PPeer::SetSplitProgressStep(int step)
{
    m_splitProgressStep = step;
    CriticalSectionLock table(m_tableLock);
    for (RemoteSystem* remote : m_slotPointers)
        remote->reliabilityLayer.SetSplitProgressInterval(static_cast<uint32_t>(std::max(0, step)));
}

void P2PPeer::SetAckRule(AckRule rule)
{
    m_ackRule = rule;
    CriticalSectionLock table(m_tableLock);
    for (RemoteSystem* remote : m_slotPointers)
        remote->reliabilityLayer.SetAckRule(rule);
}

int P2PPeer::GetSplitProgressStep() const
{
    return m_splitProgressStep;
}

void P2PPeer::SetUnreliableLifetime(uint32_t ms)
{
    m_unreliableTimeoutMs = ms;
    CriticalSectionLock table(m_tableLock);
    for (RemoteSystem* remote : m_slotPointers)
        remote->reliabilityLayer.SetUnreliableTimeout(ms);
}

void P2PPeer::SetCycleHook(CycleHook hook, void* userData)
{
    std::lock_guard lock(m_hookLock);
    m_cycleHook = hook;
    m_cycleHookData = userData;
}

void P2PPeer::SetHookPointer(void* pointer)
{
    m_hookPointer = pointer;
}

void P2PPeer::SetBitsPerSecondLimit(int bitsPerSecond)
{
    m_bitsPerSecondLimit = bitsPerSecond;
}

void P2PPeer::SetOfflineReply(const char* data, unsigned length)
{
    std::lock_guard lock(m_offlineReplyLock);
    if (data == nullptr || length == 0)
        m_offlineReply.clear();
    else
        m_offlineReply.assign(data, data + length);
}

void P2PPeer::GetOfflineReply(char** data, unsigned* length)
{
    std::lock_guard lock(m_offlineReplyLock);
    if (data != nullptr)
        *data = m_offlineReply.empty() ? nullptr : m_offlineReply.data();
    if (length != nullptr)
        *length = static_cast<unsigned>(m_offlineReply.size());
}

// ---- Receipts ----------------------------------------------------------------------------------

uint32_t P2PPeer::PeekReceiptCounter()
{
    std::lock_guard lock(m_receiptLock);
    return m_receiptCounter;
}

uint32_t P2PPeer::TakeReceiptNumber()
{
    std::lock_guard lock(m_receiptLock);
    const uint32_t receipt = m_receiptCounter;
    m_receiptCounter = receipt == 0xFFFFFFFFu ? 1 : receipt + 1;
    return receipt;
}

// ---- Connecting --------------------------------------------------------------------------------

ConnectResult P2PPeer::Connect(const SystemAddress& target, const char* data, int dataLength,
                               const void* publicKey, unsigned socketIndex, unsigned attemptCount,
                               unsigned intervalMs, uint32_t timeoutMs)
{
    char host[kAddressTextSize];
    target.ToText(false, host, sizeof host);
    return ConnectByHostText(host, target.GetPort(), data, dataLength, publicKey, socketIndex,
                             attemptCount, intervalMs, timeoutMs);
}

ConnectResult P2PPeer::ConnectByHostText(const char* host, uint16_t port, const char* data,
                                         int dataLength, const void* publicKey, unsigned socketIndex,
                                         unsigned attemptCount, unsigned intervalMs, uint32_t timeoutMs)
{
    std::shared_lock sockets(m_socketsLock);
    (void)publicKey;
    if (!IsRunning() || host == nullptr)
        return ConnectResult::InvalidParameter;
    PlatformSocket* socket = SocketAt(socketIndex);
    if (socket == nullptr)
        return ConnectResult::InvalidParameter;
    const int family = socket->GetBoundAddress().GetIPVersion();
    SystemAddress target;
    if (!target.ParseWithPort(host, port, true, family == 4 ? 4 : 6))
        return ConnectResult::CannotResolveDomainName;
    target.MatchSocketFamily(socket->GetBoundAddress().GetFamily());
    return QueueConnection(target, data, dataLength, socketIndex, nullptr, attemptCount, intervalMs,
                           timeoutMs);
}

ConnectResult P2PPeer::ConnectThroughSocket(const char* host, uint16_t port, const char* data,
                                            int dataLength, PlatformSocket* socket,
                                            const void* publicKey, unsigned attemptCount,
                                            unsigned intervalMs, uint32_t timeoutMs)
{
    (void)publicKey;
    if (!IsRunning() || host == nullptr || socket == nullptr)
        return ConnectResult::InvalidParameter;
    SystemAddress target;
    target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6);
    target.MatchSocketFamily(socket->GetBoundAddress().GetFamily());
    return QueueConnection(target, data, dataLength, 0, socket, attemptCount, intervalMs, timeoutMs);
}

ConnectResult P2PPeer::QueueConnection(const SystemAddress& target, const char* data, int dataLength,
                                       unsigned socketIndex, PlatformSocket* socket,
                                       unsigned attemptCount, unsigned intervalMs, uint32_t timeoutMs)
{
    {
        CriticalSectionLock table(m_tableLock);
        RemoteSystem* remote = FindRemote(target, true);
        // A link on its way out does not refuse a new one: the attempt waits for it to go.
        if (remote != nullptr && !IsClosingState(remote->state))
            return ConnectResult::AlreadyConnectedToEndpoint;
    }
    RequestedConnection rc;
    rc.target = target;
    rc.nextRequestTime = NowMillis();
    rc.attemptCount = attemptCount;
    rc.intervalMs = intervalMs;
    rc.socketIndex = socketIndex;
    rc.socket = socket;
    rc.timeoutMs = timeoutMs;
    if (data != nullptr && dataLength > 0)
        rc.data.assign(data, data + std::min<std::size_t>(static_cast<std::size_t>(dataLength), kMaxJoinPassword));
    {
        std::lock_guard lock(m_connectionLock);
        for (const RequestedConnection& queued : m_requestedConnections)
            if (queued.target == target)
                return ConnectResult::AttemptAlreadyInProgress;
        m_requestedConnections.push_back(std::move(rc));
    }
    m_updateEvent.set();
    return ConnectResult::AttemptStarted;
}

void P2PPeer::CancelConnectRequest(const SystemAddress& target)
{
    std::lock_guard lock(m_connectionLock);
    for (auto it = m_requestedConnections.begin(); it != m_requestedConnections.end(); ++it) {
        if (it->target == target) {
            m_requestedConnections.erase(it);
            return;
        }
    }
}

// ---- Sending -----------------------------------------------------------------------------------

bool P2PPeer::IsLoopbackTarget(const PeerTarget& target) const
{
    if (!target.guid.IsUnassigned() && target.guid == m_myGuid)
        return true;
    if (target.address.IsUnassigned())
        return false;
    return IsOwnAddress(target.address);
}

uint32_t P2PPeer::Send(const BitStream* stream, SendPriority priority, ReliabilityKind reliability,
                       uint8_t orderingChannel, const PeerTarget& target, bool broadcast,
                       uint32_t forceReceiptNumber)
{
    if (stream == nullptr || stream->GetNumberOfBitsUsed() == 0)
        return 0;
    return SendBits(stream->GetData(), stream->GetNumberOfBitsUsed(), priority, reliability,
                    orderingChannel, target, broadcast, forceReceiptNumber, true);
}

uint32_t P2PPeer::SendBytes(const char* data, int length, SendPriority priority,
                            ReliabilityKind reliability, uint8_t orderingChannel,
                            const PeerTarget& target, bool broadcast, uint32_t forceReceiptNumber)
{
    if (data == nullptr || length <= 0)
        return 0;
    return SendBits(reinterpret_cast<const uint8_t*>(data), static_cast<uint32_t>(length) * 8, priority,
                    reliability, orderingChannel, target, broadcast, forceReceiptNumber, true);
}

uint32_t P2PPeer::SendGathered(const char** data, const int* lengths, int count, SendPriority priority,
                               ReliabilityKind reliability, uint8_t orderingChannel,
                               const PeerTarget& target, bool broadcast, uint32_t forceReceiptNumber)
{
    if (data == nullptr || lengths == nullptr || count <= 0)
        return 0;
    std::size_t total = 0;
    for (int i = 0; i < count; ++i)
        if (data[i] != nullptr && lengths[i] > 0)
            total += static_cast<std::size_t>(lengths[i]);
    if (total == 0 || total > UINT32_MAX / 8 || !IsRunning() || (!broadcast && target.IsUndefined()))
        return 0;
    // The parts are copied once, straight into the buffer the queued command keeps.
    std::vector<uint8_t> joined;
    joined.reserve(total);
    for (int i = 0; i < count; ++i)
        if (data[i] != nullptr && lengths[i] > 0)
            joined.insert(joined.end(), data[i], data[i] + lengths[i]);
    const uint32_t receipt = forceReceiptNumber != 0 ? forceReceiptNumber : TakeReceiptNumber();
    if (!broadcast && IsLoopbackTarget(target))
        return SendBits(joined.data(), static_cast<uint32_t>(total) * 8, priority, reliability, orderingChannel,
                        target, broadcast, receipt, true);
    QueueSendOwned(std::move(joined), static_cast<uint32_t>(total) * 8, priority, reliability, orderingChannel,
                   target, broadcast, receipt);
    return receipt;
}

uint32_t P2PPeer::SendBits(const uint8_t* data, uint32_t bits, SendPriority priority,
                           ReliabilityKind reliability, uint8_t orderingChannel,
                           const PeerTarget& target, bool broadcast, uint32_t forceReceiptNumber,
                           bool mayLoopBack)
{
    if (!IsRunning())
        return 0;
    if (!broadcast && target.IsUndefined())
        return 0;
    const uint32_t receipt = forceReceiptNumber != 0 ? forceReceiptNumber : TakeReceiptNumber();
    if (mayLoopBack && !broadcast && IsLoopbackTarget(target)) {
        LoopBackBytes(reinterpret_cast<const char*>(data), static_cast<int>((bits + 7) / 8));
        const int kind = static_cast<int>(reliability);
        if (kind >= 5 && kind <= 7) {
            // The receipt handed to the caller, so that the notice matches what it was given.
            uint8_t ack[5];
            ack[0] = ID_RECEIPT_ACKED;
            std::memcpy(ack + 1, &receipt, 4);
            LoopBackBytes(reinterpret_cast<const char*>(ack), 5);
        }
        return receipt;
    }
    QueueSend(data, bits, priority, reliability, orderingChannel, target, broadcast, receipt);
    return receipt;
}

void P2PPeer::QueueSend(const uint8_t* data, uint32_t bits, SendPriority priority,
                        ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                        bool broadcast, uint32_t receipt, bool setState, RemoteSystemState state)
{
    QueuedCommand command;
    command.kind = QueuedCommand::Kind::Send;
    command.data.assign(data, data + (bits + 7) / 8);
    PushSendCommand(std::move(command), bits, priority, reliability, orderingChannel, target, broadcast, receipt,
                    setState, state);
}

void P2PPeer::QueueSendOwned(std::vector<uint8_t> data, uint32_t bits, SendPriority priority,
                             ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                             bool broadcast, uint32_t receipt)
{
    QueuedCommand command;
    command.kind = QueuedCommand::Kind::Send;
    command.data = std::move(data);
    PushSendCommand(std::move(command), bits, priority, reliability, orderingChannel, target, broadcast, receipt,
                    false, RemoteSystemState::NoAction);
}

void P2PPeer::PushSendCommand(QueuedCommand command, uint32_t bits, SendPriority priority,
                              ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                              bool broadcast, uint32_t receipt, bool setState, RemoteSystemState state)
{
    command.bits = bits;
    command.priority = priority;
    command.reliability = reliability;
    command.orderingChannel = orderingChannel;
    command.target = target;
    command.broadcast = broadcast;
    command.setState = setState;
    command.state = state;
    command.receipt = receipt;
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_commandLock);
        wasEmpty = m_commands.empty();
        m_commands.push_back(std::move(command));
    }
    // Priority 0 always wakes the update thread; other sends wake it when they start a batch,
    // so that a lone message does not wait for the 10 ms round and a burst costs one wake-up.
    if (priority == SendPriority::Immediate || wasEmpty)
        m_updateEvent.set();
}

void P2PPeer::LoopBackBytes(const char* data, int length)
{
    if (data == nullptr || length <= 0)
        return;
    SystemAddress source;
    {
        std::lock_guard lock(m_addressLock);
        source = m_localAddresses[0];
    }
    Packet* packet = AllocatePacket(static_cast<unsigned>(length));
    if (packet == nullptr)
        return;
    std::memcpy(packet->data, data, static_cast<std::size_t>(length));
    packet->systemAddress = source;
    packet->guid = m_myGuid;
    packet->wasGeneratedLocally = false;
    QueuePacket(packet, false);
}

bool P2PPeer::SendImmediate(const uint8_t* data, uint32_t bits, SendPriority priority,
                            ReliabilityKind reliability, uint8_t orderingChannel,
                            const PeerTarget& target, bool broadcast, uint32_t receipt,
                            uint64_t nowMicros, std::vector<uint8_t>* ownedData)
{
    CriticalSectionLock table(m_tableLock);
    const bool reliable = IsReliableKind(NormalizeReliabilityKind(reliability));
    const uint64_t nowMs = nowMicros / 1000;
    // A broadcast goes to several layers: each copies.
    auto sendTo = [&](RemoteSystem* remote) {
        if (!remote->reliabilityLayer.Send(data, bits, priority, reliability, orderingChannel,
                                           nowMicros, receipt, broadcast ? nullptr : ownedData))
            return false;
        if (reliable)
            remote->lastReliableSend = nowMs;
        return true;
    };
    if (!broadcast) {
        RemoteSystem* remote = target.address.IsUnassigned() ? FindRemote(target.guid, true)
                                                             : FindRemote(target.address, true);
        if (remote == nullptr || remote->state == RemoteSystemState::DisconnectAsap ||
            remote->state == RemoteSystemState::DisconnectAsapSilently ||
            remote->state == RemoteSystemState::DisconnectOnNoAck)
            return false;
        return sendTo(remote);
    }
    bool any = false;
    for (RemoteSystem* remote : m_activeSystems) {
        if (remote->systemAddress.IsUnassigned())
            continue;
        if (!target.IsUndefined() &&
            (target.address.IsUnassigned() ? remote->guid == target.guid : remote->systemAddress == target.address))
            continue;
        any = sendTo(remote) || any;
    }
    return any;
}

// ---- Receiving ---------------------------------------------------------------------------------

Packet* P2PPeer::AllocatePacket(unsigned bytes)
{
    // Packet and data in one block.
    void* block = PeerAllocate(sizeof(Packet) + std::max(1u, bytes), __FILE__, __LINE__);
    if (block == nullptr) {
        PeerOutOfMemory(__FILE__, __LINE__);
        return nullptr;
    }
    Packet* packet = new (block) Packet();
    packet->systemAddress = UNASSIGNED_SYSTEM_ADDRESS;
    packet->guid = UNASSIGNED_P2PNET_GUID;
    packet->data = static_cast<uint8_t*>(block) + sizeof(Packet);
    packet->length = bytes;
    packet->bitSize = bytes * 8;
    packet->deleteData = false;
    packet->wasGeneratedLocally = false;
    return packet;
}

Packet* P2PPeer::NewPacket(unsigned bytes)
{
    return AllocatePacket(bytes);
}

void P2PPeer::ReleasePacket(Packet* packet)
{
    if (packet == nullptr)
        return;
    if (packet->deleteData)
        PeerFree(packet->data, __FILE__, __LINE__);
    packet->~Packet();
    PeerFree(packet, __FILE__, __LINE__);
}

void P2PPeer::PushPacket(const uint8_t* data, unsigned bytes, const SystemAddress& source,
                         const P2PNetGUID& guid, bool generatedLocally)
{
    Packet* packet = AllocatePacket(bytes);
    if (packet == nullptr)
        return;
    if (bytes > 0)
        std::memcpy(packet->data, data, bytes);
    packet->systemAddress = source;
    packet->guid = guid;
    packet->wasGeneratedLocally = generatedLocally;
    {
        CriticalSectionLock table(m_tableLock);
        RemoteSystem* remote = FindRemote(source, false);
        const uint16_t index = remote != nullptr ? static_cast<uint16_t>(SlotIndexOf(remote)) : 0xFFFF;
        packet->systemAddress.systemIndex = index;
        packet->guid.systemIndex = index;
    }
    QueuePacket(packet, false);
}

void P2PPeer::PushOneBytePacket(uint8_t id, const SystemAddress& source, const P2PNetGUID& guid)
{
    PushPacket(&id, 1, source, guid, true);
}

void P2PPeer::QueuePacket(Packet* packet, bool pushAtHead)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    if (packet == nullptr)
        return;
    for (PeerPlugin* plugin : plugins->first)
        plugin->OnPushBack(packet->data, packet->bitSize, packet->systemAddress);
    for (PeerPlugin* plugin : plugins->second)
        plugin->OnPushBack(packet->data, packet->bitSize, packet->systemAddress);
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_packetLock);
        wasEmpty = m_packets.empty();
        m_packetBytes += packet->length;
        if (pushAtHead)
            m_packets.push_front(packet);
        else
            m_packets.push_back(packet);
    }
    // Receive waits only on an empty queue, so only the first packet of a burst needs to wake it.
    if (wasEmpty)
        m_packetEvent.set();
}

void P2PPeer::ClearPacketQueue()
{
    std::deque<Packet*> packets;
    {
        std::lock_guard lock(m_packetLock);
        packets.swap(m_packets);
        m_packetBytes = 0;
    }
    for (Packet* packet : packets)
        ReleasePacket(packet);
}

unsigned P2PPeer::PendingPacketCount()
{
    unsigned count = 0;
    {
        std::lock_guard lock(m_packetLock);
        count = static_cast<unsigned>(m_packets.size());
    }
    m_packetEvent.set();
    return count;
}

void P2PPeer::UpdatePlugins()
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    for (PeerPlugin* plugin : plugins->first)
        plugin->Tick();
    for (PeerPlugin* plugin : plugins->second)
        plugin->Tick();
}

void P2PPeer::ShiftTimestamp(Packet* packet)
{
    // [27][u64 remote time]: rewritten as local time.
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    uint64_t remoteTime = 0;
    if (!in.ReadU64(remoteTime))
        return;
    const uint64_t local = remoteTime - static_cast<uint64_t>(ClockOffset(PeerTarget(packet->guid, packet->systemAddress)));
    for (int i = 0; i < 8; ++i)
        packet->data[1 + i] = static_cast<uint8_t>(local >> (8 * (7 - i)));
}

void P2PPeer::NotifyPluginsOfPacket(Packet* packet)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    if (packet->length == 0)
        return;
    const uint8_t id = packet->data[0];
    int failedReason = -1;
    switch (id) {
    case ID_JOIN_ACCEPTED:
    case ID_NEW_INCOMING:
        for (PeerPlugin* plugin : plugins->first)
            plugin->OnNewConnection(packet->systemAddress, packet->guid, id == ID_NEW_INCOMING);
        for (PeerPlugin* plugin : plugins->second)
            plugin->OnNewConnection(packet->systemAddress, packet->guid, id == ID_NEW_INCOMING);
        return;
    case ID_PEER_CLOSED:
    case ID_PEER_LOST:
        for (PeerPlugin* plugin : plugins->first)
            plugin->LinkEnded(packet->systemAddress, packet->guid, id == ID_PEER_CLOSED ? 1 : 2);
        for (PeerPlugin* plugin : plugins->second)
            plugin->LinkEnded(packet->systemAddress, packet->guid, id == ID_PEER_CLOSED ? 1 : 2);
        return;
    case ID_JOIN_FAILED: failedReason = 0; break;
    case ID_ALREADY_JOINED: failedReason = 1; break;
    case ID_NO_FREE_SLOTS: failedReason = 2; break;
    case ID_PEER_BANNED: failedReason = 4; break;
    case ID_BAD_JOIN_DATA: failedReason = 5; break;
    case ID_PROTOCOL_MISMATCH: failedReason = 6; break;
    case ID_JOINED_TOO_RECENTLY: failedReason = 7; break;
    case ID_SECURITY_REFUSED_1: failedReason = 8; break;
    case ID_SECURITY_REFUSED_2: failedReason = 9; break;
    case ID_SECURITY_REFUSED_3: failedReason = 10; break;
    default: return;
    }
    for (PeerPlugin* plugin : plugins->first)
        plugin->OnFailedConnection(packet, failedReason);
    for (PeerPlugin* plugin : plugins->second)
        plugin->OnFailedConnection(packet, failedReason);
}

Packet* P2PPeer::Receive()
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    if (!IsRunning())
        return nullptr;
    UpdatePlugins();
    bool empty = false;
    {
        std::lock_guard lock(m_packetLock);
        empty = m_packets.empty();
    }
    // Wait only when nothing is queued: a burst of packets sets the event once, and the caller
    // must be able to take all of them without a wait each.
    if (empty)
        m_packetEvent.wait(10);
    for (;;) {
        Packet* packet = nullptr;
        {
            std::lock_guard lock(m_packetLock);
            if (m_packets.empty())
                return nullptr;
            packet = m_packets.front();
            m_packets.pop_front();
            m_packetBytes -= std::min<uint64_t>(m_packetBytes, packet->length);
            if (m_packetBytes <= kMaxQueuedPacketBytes / 2 && m_packetQueueFull.exchange(false))
                m_updateEvent.set();
        }
        if (packet->length >= 9 && packet->data[0] == ID_TIME_PREFIX)
            ShiftTimestamp(packet);
        NotifyPluginsOfPacket(packet);

        bool taken = false;
        for (const std::vector<PeerPlugin*>* list : {&plugins->first, &plugins->second}) {
            for (PeerPlugin* plugin : *list) {
                const PluginVerdict verdict = plugin->OfferMessage(packet);
                if (verdict == kPluginConsumed) {
                    ReleasePacket(packet);
                    taken = true;
                } else if (verdict == kPluginKeep) {
                    taken = true;
                }
                if (taken)
                    break;
            }
            if (taken)
                break;
        }
        if (!taken)
            return packet;
    }
}

// ---- Plug-ins ----------------------------------------------------------------------------------

std::shared_ptr<const P2PPeer::PluginLists> P2PPeer::CurrentPlugins() const
{
    std::lock_guard lock(m_pluginLock);
    return m_pluginLists;
}

void P2PPeer::AddPlugin(PeerPlugin* plugin)
{
    if (plugin == nullptr)
        return;
    {
        std::lock_guard lock(m_pluginLock);
        const std::vector<PeerPlugin*>& list = plugin->UsesSecondList() ? m_pluginLists->second : m_pluginLists->first;
        if (std::find(list.begin(), list.end(), plugin) != list.end())
            return;
    }
    plugin->SetPeer(this);
    plugin->AttachedTo(this);
    // Copy on write: threads iterating an older snapshot keep it alive.
    std::lock_guard lock(m_pluginLock);
    auto lists = std::make_shared<PluginLists>(*m_pluginLists);
    (plugin->UsesSecondList() ? lists->second : lists->first).push_back(plugin);
    m_pluginLists = std::move(lists);
}

void P2PPeer::RemovePlugin(PeerPlugin* plugin)
{
    if (plugin == nullptr)
        return;
    bool removed = false;
    {
        std::lock_guard lock(m_pluginLock);
        auto lists = std::make_shared<PluginLists>(*m_pluginLists);
        for (std::vector<PeerPlugin*>* list : {&lists->first, &lists->second}) {
            auto it = std::find(list->begin(), list->end(), plugin);
            if (it == list->end())
                continue;
            *it = list->back();
            list->pop_back();
            removed = true;
            break;
        }
        if (removed)
            m_pluginLists = std::move(lists);
    }
    if (!removed)
        return;
    plugin->DetachedFrom(this);
    plugin->SetPeer(nullptr);
}

// ---- Remote-system table -----------------------------------------------------------------------

namespace {
// The peer whose update round runs on this thread, if any.
thread_local const P2PPeer* t_roundOwner = nullptr;
} // namespace

P2PPeer::RoundScope::RoundScope(const P2PPeer* peer) : m_previous(t_roundOwner)
{
    t_roundOwner = peer;
}

P2PPeer::RoundScope::~RoundScope()
{
    t_roundOwner = m_previous;
}

bool P2PPeer::InUpdateRound() const
{
    return t_roundOwner == this;
}

int P2PPeer::SlotIndexOf(const RemoteSystem* remote) const
{
    return remote == nullptr ? -1 : remote->systemAddress.systemIndex;
}

RemoteSystem* P2PPeer::FindRemote(const SystemAddress& address, bool activeOnly)
{
    CriticalSectionLock table(m_tableLock);
    if (address.IsUnassigned() || m_slotPointers.empty())
        return nullptr;
    if (address.systemIndex < m_slotPointers.size()) {
        RemoteSystem* remote = m_slotPointers[address.systemIndex];
        if (remote->isActive && remote->systemAddress == address)
            return remote;
    }
    if (InUpdateRound()) {
        const int index = m_addressHash.Find(address);
        if (index >= 0 && static_cast<unsigned>(index) < m_slotPointers.size()) {
            RemoteSystem* remote = m_slotPointers[index];
            if (remote->systemAddress == address && (!activeOnly || remote->isActive))
                return remote;
        }
        if (activeOnly)
            return nullptr;
    }
    for (RemoteSystem* remote : m_slotPointers)
        if (remote->isActive && remote->systemAddress == address)
            return remote;
    if (activeOnly)
        return nullptr;
    for (RemoteSystem* remote : m_slotPointers)
        if (remote->systemAddress == address)
            return remote;
    return nullptr;
}

RemoteSystem* P2PPeer::FindRemote(const P2PNetGUID& guid, bool activeOnly)
{
    CriticalSectionLock table(m_tableLock);
    if (guid.IsUnassigned() || m_slotPointers.empty())
        return nullptr;
    if (guid.systemIndex < m_slotPointers.size()) {
        RemoteSystem* remote = m_slotPointers[guid.systemIndex];
        if (remote->isActive && remote->guid == guid)
            return remote;
    }
    for (RemoteSystem* remote : m_slotPointers)
        if (remote->isActive && remote->guid == guid)
            return remote;
    if (activeOnly)
        return nullptr;
    for (RemoteSystem* remote : m_slotPointers)
        if (remote->guid == guid)
            return remote;
    return nullptr;
}

RemoteSystem* P2PPeer::FindRemote(const PeerTarget& target, bool activeOnly)
{
    if (target.guid.IsUnassigned())
        return FindRemote(target.address, activeOnly);
    return FindRemote(target.guid, activeOnly);
}

unsigned P2PPeer::CountIncomingConnections() const
{
    if (m_stopping)
        return 0;
    CriticalSectionLock table(m_tableLock);
    unsigned count = 0;
    for (const RemoteSystem* remote : m_activeSystems)
        if (remote->state == RemoteSystemState::Connected && !remote->weInitiatedTheConnection)
            ++count;
    return count;
}

bool P2PPeer::IsOwnAddress(const SystemAddress& address) const
{
    std::lock_guard lock(m_addressLock);
    for (const SystemAddress& own : m_localAddresses)
        if (own == address)
            return true;
    return false;
}

RemoteSystem* P2PPeer::TakeSlot(const SystemAddress& address, const P2PNetGUID& guid, unsigned mtu,
                                PlatformSocket* socket, bool* tooRecent, uint64_t nowMs)
{
    CriticalSectionLock table(m_tableLock);
    *tooRecent = false;
    if (m_limitConnectionFrequency && !IsOwnAddress(address)) {
        for (const RemoteSystem* remote : m_activeSystems) {
            SystemAddress samePort = remote->systemAddress;
            samePort.SetPort(address.GetPort());
            if (samePort == address && nowMs >= remote->connectionTime && nowMs - remote->connectionTime < 100) {
                *tooRecent = true;
                return nullptr;
            }
        }
    }
    RemoteSystem* remote = nullptr;
    for (RemoteSystem* candidate : m_slotPointers) {
        if (!candidate->isActive) {
            remote = candidate;
            break;
        }
    }
    if (remote == nullptr)
        return nullptr;
    const uint16_t index = static_cast<uint16_t>(SlotIndexOf(remote));
    m_addressHash.Remove(remote->systemAddress, index);
    m_addressHash.Remove(address);
    remote->systemAddress = address;
    remote->systemAddress.systemIndex = index;
    m_addressHash.Add(remote->systemAddress, index);

    remote->isActive = true;
    remote->guid = guid;
    remote->guid.systemIndex = index;
    remote->mtu = mtu;
    remote->socket = socket;
    remote->sender = SenderFor(socket, remote->systemAddress);
    remote->reliabilityLayer.SetAckRule(m_ackRule);
    remote->reliabilityLayer.Reset(mtu - kUdpHeaderSize, NowMicros());
    remote->reliabilityLayer.SetSplitProgressInterval(static_cast<uint32_t>(std::max(0, m_splitProgressStep.load())));
    remote->reliabilityLayer.SetUnreliableTimeout(m_unreliableTimeoutMs);
    remote->timeoutMs = m_defaultTimeoutMs;
    remote->reliabilityLayer.SetTimeout(remote->timeoutMs);
    remote->ClearPings();
    remote->nextPingTime = 0;
    remote->connectionTime = nowMs;
    remote->lastReliableSend = nowMs;
    remote->remoteTimeBase = 0;
    remote->state = RemoteSystemState::UnverifiedSender;
    remote->weInitiatedTheConnection = false;
    remote->heldByApplication = false;
    remote->myExternalAddress = UNASSIGNED_SYSTEM_ADDRESS;
    for (SystemAddress& a : remote->theirInternalAddresses)
        a = UNASSIGNED_SYSTEM_ADDRESS;
    m_activeSystems.push_back(remote);
    return remote;
}

void P2PPeer::CloseConnectionInternal(const PeerTarget& target, bool notify, bool immediate,
                                      uint8_t orderingChannel, SendPriority priority)
{
    SystemAddress address = target.address;
    if (address.IsUnassigned() && !target.guid.IsUnassigned()) {
        CriticalSectionLock table(m_tableLock);
        RemoteSystem* remote = FindRemote(target.guid, true);
        if (remote != nullptr)
            address = remote->systemAddress;
    }
    // A close asked for while stopping is moot (Stop frees every slot); the update thread's own
    // immediate closes must still free their slot, or its drop step would meet it again forever.
    if (address.IsUnassigned() || (m_stopping && !immediate))
        return;

    if (notify) {
        const uint8_t closed = ID_PEER_CLOSED;
        if (immediate) {
            CriticalSectionLock table(m_tableLock);
            SendImmediate(&closed, 8, priority, ReliabilityKind::ReliableOrdered, orderingChannel,
                          PeerTarget(address), false, 0, NowMicros());
            RemoteSystem* remote = FindRemote(address, true);
            if (remote != nullptr)
                remote->state = RemoteSystemState::DisconnectAsap;
        } else {
            QueueSend(&closed, 8, priority, ReliabilityKind::ReliableOrdered, orderingChannel,
                      PeerTarget(address), false, 0, true, RemoteSystemState::DisconnectAsap);
        }
        return;
    }
    if (!immediate) {
        QueuedCommand command;
        command.kind = QueuedCommand::Kind::Close;
        command.target = PeerTarget(address);
        command.orderingChannel = orderingChannel;
        command.priority = priority;
        std::lock_guard lock(m_commandLock);
        m_commands.push_back(std::move(command));
        return;
    }
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(address, true);
    if (remote != nullptr)
        RemoveSlot(remote);
}

void P2PPeer::RemoveSlot(RemoteSystem* remote)
{
    auto it = std::find(m_activeSystems.begin(), m_activeSystems.end(), remote);
    if (it != m_activeSystems.end()) {
        *it = m_activeSystems.back();
        m_activeSystems.pop_back();
    }
    remote->isActive = false;
    remote->guid = UNASSIGNED_P2PNET_GUID;
    remote->state = RemoteSystemState::NoAction;
    remote->closeNoticeTime = 0;
    remote->reliabilityLayer.Reset(remote->mtu - kUdpHeaderSize, NowMicros());
    remote->socket = nullptr;
    remote->sender = nullptr;
}

bool P2PPeer::ClosingSlotIsDone(RemoteSystem& remote, uint64_t nowMs) const
{
    const ReliabilityLayer& layer = remote.reliabilityLayer;
    if (layer.IsDeadAt(nowMs))
        return true;
    // The acknowledgements the delayed-acknowledgement rule still holds (the one of a close
    // notice among them) go out with the next round; dropping the slot first would leave the
    // remote resending until its time-out.
    if (layer.HasPendingAcknowledgements())
        return false;
    switch (remote.state) {
    case RemoteSystemState::DisconnectAsap:
    case RemoteSystemState::DisconnectAsapSilently:
        return layer.IsOutgoingIdle();
    case RemoteSystemState::DisconnectOnNoAck: {
        if (!layer.HasUnacknowledged())
            return true;
        const uint64_t lastHeard = std::max(layer.GetLastArrivalMs(), remote.closeNoticeTime);
        return nowMs > lastHeard && nowMs - lastHeard > m_closeGraceMs.load();
    }
    default:
        return false;
    }
}

void P2PPeer::DropConnection(const PeerTarget& target, bool notify, uint8_t orderingChannel,
                             SendPriority priority)
{
    // The state is read before the close is queued: once queued, the update thread may free the
    // slot at any moment, and the local notice would never be made.
    SystemAddress address;
    P2PNetGUID guid;
    bool connected = false;
    if (!notify) {
        CriticalSectionLock table(m_tableLock);
        RemoteSystem* remote = FindRemote(target, true);
        if (remote != nullptr && remote->state == RemoteSystemState::Connected) {
            connected = true;
            address = remote->systemAddress;
            guid = remote->guid;
        }
    }
    CloseConnectionInternal(target, notify, false, orderingChannel, priority);
    if (connected)
        PushOneBytePacket(ID_PEER_LOST, address, guid);
}

void P2PPeer::SendConnectedPing(const SystemAddress& target, bool immediate)
{
    if (!IsRunning() && !InUpdateRound())
        return;
    uint8_t ping[3];
    const uint16_t now = static_cast<uint16_t>(NowMillis());
    ping[0] = ID_PEER_PING;
    ping[1] = static_cast<uint8_t>(now >> 8);
    ping[2] = static_cast<uint8_t>(now);
    if (immediate)
        SendImmediate(ping, 24, SendPriority::Immediate, ReliabilityKind::Unreliable, 0,
                      PeerTarget(target), false, 0, NowMicros());
    else
        QueueSend(ping, 24, SendPriority::Immediate, ReliabilityKind::Unreliable, 0, PeerTarget(target),
                  false, 0);
}

void P2PPeer::PingConnected(const SystemAddress& target)
{
    SendConnectedPing(target, false);
}

// ---- Queries -----------------------------------------------------------------------------------

LinkState P2PPeer::QueryLinkState(const PeerTarget& target)
{
    if (!target.address.IsUnassigned()) {
        std::lock_guard lock(m_connectionLock);
        for (const RequestedConnection& rc : m_requestedConnections)
            if (rc.target == target.address)
                return LinkState::Pending;
    }
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    if (remote == nullptr)
        return LinkState::NotConnected;
    if (!remote->isActive)
        return LinkState::Disconnected;
    switch (remote->state) {
    case RemoteSystemState::DisconnectAsap:
    case RemoteSystemState::DisconnectOnNoAck: return LinkState::Disconnecting;
    case RemoteSystemState::DisconnectAsapSilently: return LinkState::DisconnectingSilently;
    case RemoteSystemState::RequestedConnection:
    case RemoteSystemState::HandlingConnectionRequest:
    case RemoteSystemState::UnverifiedSender: return LinkState::Connecting;
    case RemoteSystemState::Connected: return LinkState::Connected;
    default: return LinkState::NotConnected;
    }
}

bool P2PPeer::ListConnectedAddresses(SystemAddress* addresses, unsigned short* count)
{
    if (count == nullptr)
        return false;
    if (!IsRunning()) {
        *count = 0;
        return false;
    }
    CriticalSectionLock table(m_tableLock);
    unsigned short n = 0;
    for (RemoteSystem* remote : m_slotPointers) {
        if (!remote->isActive || remote->state != RemoteSystemState::Connected)
            continue;
        if (addresses != nullptr) {
            if (n >= *count)
                break;
            addresses[n] = remote->systemAddress;
        }
        ++n;
    }
    *count = n;
    return true;
}

void P2PPeer::ListConnected(std::vector<SystemAddress>& addresses, std::vector<P2PNetGUID>& guids)
{
    addresses.clear();
    guids.clear();
    if (!IsRunning())
        return;
    CriticalSectionLock table(m_tableLock);
    for (RemoteSystem* remote : m_slotPointers) {
        if (remote->isActive && remote->state == RemoteSystemState::Connected) {
            addresses.push_back(remote->systemAddress);
            guids.push_back(remote->guid);
        }
    }
}

unsigned P2PPeer::GetSlotCount() const
{
    CriticalSectionLock table(m_tableLock);
    return m_maximumConnections;
}

int P2PPeer::FindSlotIndex(const SystemAddress& address)
{
    CriticalSectionLock table(m_tableLock);
    return SlotIndexOf(FindRemote(address, false));
}

SystemAddress P2PPeer::SlotAddress(int index)
{
    CriticalSectionLock table(m_tableLock);
    if (index < 0 || static_cast<unsigned>(index) >= m_slotPointers.size())
        return UNASSIGNED_SYSTEM_ADDRESS;
    RemoteSystem* remote = m_slotPointers[index];
    if (!remote->isActive || remote->state != RemoteSystemState::Connected)
        return UNASSIGNED_SYSTEM_ADDRESS;
    return remote->systemAddress;
}

P2PNetGUID P2PPeer::SlotGuid(int index)
{
    CriticalSectionLock table(m_tableLock);
    if (index < 0 || static_cast<unsigned>(index) >= m_slotPointers.size())
        return UNASSIGNED_P2PNET_GUID;
    RemoteSystem* remote = m_slotPointers[index];
    if (!remote->isActive || remote->state != RemoteSystemState::Connected)
        return UNASSIGNED_P2PNET_GUID;
    return remote->guid;
}

int P2PPeer::AveragePing(const PeerTarget& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    return remote == nullptr ? -1 : remote->AveragePing();
}

int P2PPeer::LatestPing(const PeerTarget& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    if (remote == nullptr)
        return -1;
    const int latest = remote->LatestPing();
    return latest >= 0 ? latest : (remote->lowestPing == kNoPing ? -1 : remote->lowestPing);
}

int P2PPeer::LowestPing(const PeerTarget& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    if (remote == nullptr)
        return -1;
    return remote->lowestPing == kNoPing ? -1 : remote->lowestPing;
}

int64_t P2PPeer::ClockOffset(const PeerTarget& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    return remote == nullptr ? 0 : remote->ClockOffset();
}

SystemAddress P2PPeer::GetInternalAddress(const SystemAddress& target, unsigned index)
{
    if (index >= kInternalAddressCount)
        return UNASSIGNED_SYSTEM_ADDRESS;
    if (target.IsUnassigned()) {
        std::lock_guard lock(m_addressLock);
        return m_localAddresses[index];
    }
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    return remote == nullptr ? UNASSIGNED_SYSTEM_ADDRESS : remote->theirInternalAddresses[index];
}

void P2PPeer::SetInternalAddress(const SystemAddress& address, unsigned index)
{
    if (index >= kInternalAddressCount)
        return;
    std::lock_guard lock(m_addressLock);
    m_localAddresses[index] = address;
}

SystemAddress P2PPeer::GetExternalAddress(const SystemAddress& target)
{
    if (target.IsUnassigned()) {
        std::lock_guard lock(m_addressLock);
        return m_firstExternalAddress;
    }
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    return remote == nullptr ? UNASSIGNED_SYSTEM_ADDRESS : remote->myExternalAddress;
}

P2PNetGUID P2PPeer::GetOwnGuid() const
{
    return m_myGuid;
}

SystemAddress P2PPeer::GetBoundAddress(unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    PlatformSocket* socket = SocketAt(socketIndex);
    return socket == nullptr ? UNASSIGNED_SYSTEM_ADDRESS : socket->GetBoundAddress();
}

void P2PPeer::LoadLocalAddresses()
{
    SystemAddress table[kInternalAddressCount];
    {
        std::lock_guard lock(m_addressLock);
        std::copy(std::begin(m_localAddresses), std::end(m_localAddresses), std::begin(table));
    }
    BsdSocket::ListHostAddresses(table);
    // Entries before the first unassigned one, sorted, with the first socket's port while running.
    unsigned count = 0;
    while (count < kInternalAddressCount && !table[count].IsUnassigned())
        ++count;
    std::sort(table, table + count);
    if (IsRunning()) {
        std::shared_lock sockets(m_socketsLock);
        if (!m_sockets.empty()) {
            const uint16_t port = m_sockets[0]->GetBoundAddress().GetPort();
            for (unsigned i = 0; i < count; ++i)
                table[i].SetPort(port);
        }
    }
    std::lock_guard lock(m_addressLock);
    std::copy(std::begin(table), std::end(table), std::begin(m_localAddresses));
}

P2PNetGUID P2PPeer::GetGuidOfAddress(const SystemAddress& address)
{
    if (address.IsUnassigned())
        return m_myGuid;
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(address, false);
    return remote == nullptr ? UNASSIGNED_P2PNET_GUID : remote->guid;
}

SystemAddress P2PPeer::GetAddressOfGuid(const P2PNetGUID& guid)
{
    if (guid.IsUnassigned())
        return UNASSIGNED_SYSTEM_ADDRESS;
    if (guid == m_myGuid)
        return GetInternalAddress(UNASSIGNED_SYSTEM_ADDRESS, 0);
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(guid, false);
    return remote == nullptr ? UNASSIGNED_SYSTEM_ADDRESS : remote->systemAddress;
}

void P2PPeer::SetLinkTimeout(uint32_t timeoutMs, const SystemAddress& target)
{
    CriticalSectionLock table(m_tableLock);
    if (target.IsUnassigned()) {
        m_defaultTimeoutMs = timeoutMs;
        for (RemoteSystem* remote : m_activeSystems) {
            remote->timeoutMs = timeoutMs;
            remote->reliabilityLayer.SetTimeout(timeoutMs);
        }
        return;
    }
    RemoteSystem* remote = FindRemote(target, true);
    if (remote != nullptr) {
        remote->timeoutMs = timeoutMs;
        remote->reliabilityLayer.SetTimeout(timeoutMs);
    }
}

uint32_t P2PPeer::GetLinkTimeout(const SystemAddress& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = target.IsUnassigned() ? nullptr : FindRemote(target, true);
    return remote == nullptr ? m_defaultTimeoutMs.load() : remote->timeoutMs;
}

int P2PPeer::MtuOf(const SystemAddress& target)
{
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = target.IsUnassigned() ? nullptr : FindRemote(target, true);
    return remote == nullptr ? static_cast<int>(kDefaultMtu) : static_cast<int>(remote->mtu);
}

unsigned P2PPeer::GetLocalAddressCount()
{
    if (!IsRunning())
        LoadLocalAddresses();
    std::lock_guard lock(m_addressLock);
    unsigned count = 0;
    while (count < kInternalAddressCount && !m_localAddresses[count].IsUnassigned())
        ++count;
    return count;
}

const char* P2PPeer::GetLocalAddressText(unsigned index)
{
    static thread_local char text[kAddressTextSize];
    text[0] = '\0';
    if (index >= kInternalAddressCount)
        return text;
    std::lock_guard lock(m_addressLock);
    m_localAddresses[index].ToText(false, text, sizeof text);
    return text;
}

bool P2PPeer::IsLocalAddressText(const char* ip)
{
    if (ip == nullptr || *ip == '\0')
        return false;
    if (std::strcmp(ip, "127.0.0.1") == 0 || std::strcmp(ip, "localhost") == 0)
        return true;
    std::lock_guard lock(m_addressLock);
    for (const SystemAddress& own : m_localAddresses) {
        if (own.IsUnassigned())
            continue;
        char text[kAddressTextSize];
        own.ToText(false, text, sizeof text);
        if (std::strcmp(text, ip) == 0)
            return true;
    }
    return false;
}

void P2PPeer::RebindGuidAddress(const P2PNetGUID& guid, const SystemAddress& address)
{
    QueuedCommand command;
    command.kind = QueuedCommand::Kind::ChangeAddress;
    command.target = PeerTarget(guid, address);
    std::lock_guard lock(m_commandLock);
    m_commands.push_back(std::move(command));
}

void P2PPeer::HoldIncoming(const PeerTarget& target, bool hold)
{
    QueuedCommand command;
    command.kind = QueuedCommand::Kind::Hold;
    command.target = target;
    command.broadcast = hold;
    {
        std::lock_guard lock(m_commandLock);
        m_commands.push_back(std::move(command));
    }
    // A release lets data in again: the NAK of what was dropped should leave without a round's wait.
    if (!hold)
        m_updateEvent.set();
}

PlatformSocket* P2PPeer::QuerySocket(const PeerTarget& target)
{
    std::vector<PlatformSocket*> sockets;
    QuerySocketsOf(target, false, kSocketQueryLimitMs, sockets);
    return sockets.empty() ? nullptr : sockets.front();
}

void P2PPeer::QuerySockets(std::vector<PlatformSocket*>& sockets)
{
    QuerySocketsOf(PeerTarget(), true, platform::kInfinite, sockets);
}

void P2PPeer::QuerySocketsOf(const PeerTarget& target, bool all, int limitMs,
                             std::vector<PlatformSocket*>& sockets)
{
    sockets.clear();
    if (!IsRunning() || InUpdateRound()) {
        // Not running, or asked from inside an update round: nothing can change the socket
        // list under us.
        if (all) {
            for (const std::unique_ptr<PlatformSocket>& socket : m_sockets)
                sockets.push_back(socket.get());
        } else {
            CriticalSectionLock table(m_tableLock);
            RemoteSystem* remote = FindRemote(target, true);
            if (remote != nullptr && remote->socket != nullptr)
                sockets.push_back(remote->socket);
        }
        return;
    }
    QueuedCommand command;
    command.kind = QueuedCommand::Kind::SocketQuery;
    command.target = target;
    command.broadcast = all;
    command.queryId = m_nextQueryId++;
    const uint64_t id = command.queryId;
    {
        std::lock_guard lock(m_commandLock);
        m_commands.push_back(std::move(command));
    }
    m_updateEvent.set();
    // Waits for the update thread's answer, up to the limit, or until that thread ends.
    std::unique_lock lock(m_socketQueryLock);
    auto answered = [&] {
        return !IsRunning() || std::any_of(m_socketQueryAnswers.begin(), m_socketQueryAnswers.end(),
                                           [&](const SocketQueryAnswer& a) { return a.queryId == id; });
    };
    if (limitMs < 0)
        m_socketQueryAnswered.wait(lock, answered);
    else
        m_socketQueryAnswered.wait_for(lock, std::chrono::milliseconds(limitMs), answered);
    for (auto it = m_socketQueryAnswers.begin(); it != m_socketQueryAnswers.end(); ++it) {
        if (it->queryId == id) {
            sockets = std::move(it->sockets);
            m_socketQueryAnswers.erase(it);
            return;
        }
    }
}

void P2PPeer::FreeSocketList(std::vector<PlatformSocket*>& sockets)
{
    sockets.clear();
}

// ---- Statistics --------------------------------------------------------------------------------

bool P2PPeer::SlotStatistics(int index, ReliabilityStatistics* out)
{
    CriticalSectionLock table(m_tableLock);
    if (out == nullptr || index < 0 || static_cast<unsigned>(index) >= m_slotPointers.size())
        return false;
    RemoteSystem* remote = m_slotPointers[index];
    if (!remote->isActive)
        return false;
    *out = remote->reliabilityLayer.GetStatistics();
    return true;
}

ReliabilityStatistics* P2PPeer::LinkStatistics(const SystemAddress& address, ReliabilityStatistics* out)
{
    static ReliabilityStatistics shared;
    if (!IsRunning())
        return nullptr;
    ReliabilityStatistics* result = out != nullptr ? out : &shared;
    CriticalSectionLock table(m_tableLock);
    if (address.IsUnassigned()) {
        *result = ReliabilityStatistics{};
        for (RemoteSystem* remote : m_activeSystems)
            AddStatistics(*result, remote->reliabilityLayer.GetStatistics());
        return result;
    }
    RemoteSystem* remote = FindRemote(address, true);
    if (remote == nullptr)
        return nullptr;
    *result = remote->reliabilityLayer.GetStatistics();
    return result;
}

void P2PPeer::AllStatistics(std::vector<SystemAddress>& addresses, std::vector<P2PNetGUID>& guids,
                            std::vector<ReliabilityStatistics>& statistics)
{
    addresses.clear();
    guids.clear();
    statistics.clear();
    CriticalSectionLock table(m_tableLock);
    for (RemoteSystem* remote : m_slotPointers) {
        if (remote->isActive && remote->state == RemoteSystemState::Connected) {
            addresses.push_back(remote->systemAddress);
            guids.push_back(remote->guid);
            statistics.push_back(remote->reliabilityLayer.GetStatistics());
        }
    }
}

// ---- Raw datagrams -----------------------------------------------------------------------------

bool P2PPeer::WantsDontFragment(const PlatformSocket* socket)
{
    const uint8_t kind = socket->GetSocketKind();
    return kind != kNoSocketKind && kind != kClosedSocketKind;
}

DatagramSender P2PPeer::SenderFor(PlatformSocket* socket, const SystemAddress& remote)
{
    // Only the reliability layers use it, from inside an update round (m_roundLock held).
    return [this, socket, remote](const uint8_t* data, uint32_t length) {
        if (socket == nullptr)
            return;
        const std::size_t offset = m_outgoingBytes.size();
        m_outgoingBytes.insert(m_outgoingBytes.end(), data, data + length);
        m_outgoing.push_back(OutgoingDatagram{socket, remote, offset, length});
        if (m_outgoing.size() >= kOutgoingBatch)
            FlushOutgoing();
    };
}

void P2PPeer::FlushOutgoing()
{
    std::size_t first = 0;
    while (first < m_outgoing.size()) {
        // One call per run of datagrams that leave through the same socket, in order.
        PlatformSocket* socket = m_outgoing[first].socket;
        m_outgoingScratch.clear();
        std::size_t next = first;
        for (; next < m_outgoing.size() && m_outgoing[next].socket == socket; ++next) {
            const OutgoingDatagram& d = m_outgoing[next];
            DatagramOut out;
            out.data = reinterpret_cast<const char*>(m_outgoingBytes.data() + d.offset);
            out.length = static_cast<int32_t>(d.length);
            out.target = d.target;
            m_outgoingScratch.push_back(out);
        }
        socket->SendDatagrams(m_outgoingScratch.data(), static_cast<int>(m_outgoingScratch.size()));
        first = next;
    }
    m_outgoing.clear();
    m_outgoingBytes.clear();
}

PlatformSocket* P2PPeer::SocketAt(unsigned index) const
{
    for (const std::unique_ptr<PlatformSocket>& socket : m_sockets)
        if (socket->GetUserIndex() == index)
            return socket.get();
    return nullptr;
}

void P2PPeer::NotifyRawReceive(const uint8_t* data, unsigned length, const SystemAddress& sender)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    for (PeerPlugin* plugin : plugins->first)
        plugin->OnRawReceive(data, length * 8, sender);
    for (PeerPlugin* plugin : plugins->second)
        plugin->OnRawReceive(data, length * 8, sender);
}

void P2PPeer::NotifyRawSend(const uint8_t* data, unsigned length, const SystemAddress& target)
{
    const std::shared_ptr<const PluginLists> plugins = CurrentPlugins();
    for (PeerPlugin* plugin : plugins->second)
        plugin->OnRawSend(data, length * 8, target);
}

int P2PPeer::SendRaw(PlatformSocket* socket, const uint8_t* data, unsigned length,
                     const SystemAddress& target, int ttl, bool dontFragment)
{
    if (socket == nullptr)
        return -1;
    SystemAddress to = target;
    to.MatchSocketFamily(socket->GetBoundAddress().GetFamily());
    NotifyRawSend(data, length, to);
    DatagramOut out;
    out.data = reinterpret_cast<const char*>(data);
    out.length = static_cast<int>(length);
    out.target = to;
    out.ttl = ttl;
    out.dontFragment = dontFragment;
    return socket->SendDatagram(out);
}

bool P2PPeer::SendRawTo(const SystemAddress& target, const char* data, int length, unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    if (!IsRunning() || target.IsUnassigned() || length < 0 || (length > 0 && data == nullptr))
        return false;
    PlatformSocket* socket = SocketAt(socketIndex);
    if (socket == nullptr)
        return false;
    BitStream out;
    WriteOutOfBandHeader(&out);
    if (length > 0)
        out.WriteBytes(data, static_cast<uint32_t>(length));
    return SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), target) >= 0;
}

bool P2PPeer::SendRawToHost(const char* host, uint16_t port, const char* data, int length,
                            unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    if (host == nullptr)
        return false;
    PlatformSocket* socket = SocketAt(socketIndex);
    if (socket == nullptr)
        return false;
    SystemAddress target;
    if (!target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6))
        return false;
    return SendRawTo(target, data, length, socketIndex);
}

void P2PPeer::WriteOutOfBandHeader(BitStream* stream)
{
    if (stream == nullptr)
        return;
    stream->WriteU8(ID_OUT_OF_BAND);
    stream->WriteU64(m_myGuid.g);
    stream->WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
}

void P2PPeer::SendAdvertisement(const char* host, uint16_t port, const char* data, int length,
                                unsigned socketIndex)
{
    std::vector<char> bytes;
    bytes.push_back(static_cast<char>(ID_ADVERTISE));
    if (data != nullptr && length > 0)
        bytes.insert(bytes.end(), data, data + length);
    SendRawToHost(host, port, bytes.data(), static_cast<int>(bytes.size()), socketIndex);
}

void P2PPeer::SendTtlProbe(const SystemAddress& target, int ttl, unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    if (!IsRunning() || target.IsUnassigned())
        return;
    static const uint8_t probe[2] = {0x00, 0x01};
    SendRaw(SocketAt(socketIndex), probe, 2, target, ttl);
}

void P2PPeer::SendTtlProbe(const char* host, uint16_t port, int ttl, unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    PlatformSocket* socket = SocketAt(socketIndex);
    if (host == nullptr || socket == nullptr)
        return;
    SystemAddress target;
    if (!target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6))
        return;
    SendTtlProbe(target, ttl, socketIndex);
}

bool P2PPeer::PingHost(const char* host, uint16_t port, bool onlyIfAccepting, unsigned socketIndex)
{
    std::shared_lock sockets(m_socketsLock);
    if (host == nullptr)
        return false;
    PlatformSocket* socket = SocketAt(socketIndex);
    if (socket == nullptr)
        return false;
    SystemAddress target;
    if (!target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6))
        return false;
    BitStream out;
    out.WriteU8(onlyIfAccepting ? ID_OFFLINE_PING_OPEN : ID_OFFLINE_PING);
    out.WriteU64(NowMillis());
    out.WriteU64(m_myGuid.g);
    out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
    {
        std::lock_guard lock(m_offlineReplyLock);
        if (!m_offlineReply.empty())
            out.WriteBytes(m_offlineReply.data(), static_cast<uint32_t>(m_offlineReply.size()));
    }
    SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), target);
    return true;
}

// ---- Socket events (receive threads) -----------------------------------------------------------

RecvBuffer* P2PPeer::TakeBuffer()
{
    std::lock_guard lock(m_recvLock);
    if (m_freeRecvBuffers.empty()) {
        // Grow by a page of buffers at a time.
        for (int i = 0; i < 16; ++i) {
            m_recvBufferStore.push_back(std::make_unique<RecvBuffer>());
            m_freeRecvBuffers.push_back(m_recvBufferStore.back().get());
        }
    }
    RecvBuffer* buffer = m_freeRecvBuffers.back();
    m_freeRecvBuffers.pop_back();
    return buffer;
}

void P2PPeer::ReturnBuffer(RecvBuffer* buffer)
{
    if (buffer == nullptr)
        return;
    std::lock_guard lock(m_recvLock);
    m_freeRecvBuffers.push_back(buffer);
}

void P2PPeer::OnDatagram(RecvBuffer* buffer)
{
    if (buffer == nullptr)
        return;
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_recvLock);
        if (m_receivedDatagrams.size() >= kMaxQueuedDatagrams) {
            // A flood faster than the update thread: drop rather than grow without bound.
            m_freeRecvBuffers.push_back(buffer);
            ++m_droppedDatagrams;
            return;
        }
        wasEmpty = m_receivedDatagrams.empty();
        m_receivedDatagrams.push_back(buffer);
    }
    // The update round takes every queued datagram, so the first of a burst wakes it.
    if (wasEmpty)
        m_updateEvent.set();
}

void P2PPeer::OnDatagrams(RecvBuffer* const* buffers, int count)
{
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_recvLock);
        wasEmpty = m_receivedDatagrams.empty();
        for (int i = 0; i < count; ++i) {
            RecvBuffer* buffer = buffers[i];
            if (buffer == nullptr)
                continue;
            if (m_receivedDatagrams.size() >= kMaxQueuedDatagrams) {
                // A flood faster than the update thread: drop rather than grow without bound.
                m_freeRecvBuffers.push_back(buffer);
                ++m_droppedDatagrams;
                continue;
            }
            m_receivedDatagrams.push_back(buffer);
        }
    }
    // One wake-up for the whole batch.
    if (wasEmpty)
        m_updateEvent.set();
}

// ---- Test hooks --------------------------------------------------------------------------------

void P2PPeer::SetTestMaxDatagramSize(unsigned bytes)
{
    m_testMaxDatagram = bytes;
}

void P2PPeer::SetTestSendLoss(double fraction, uint32_t seed)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    {
        std::lock_guard lock(m_testRandomLock);
        // splitmix64 of the seed: small seeds would start the generator on small values.
        uint64_t z = seed + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        m_testRandomState = z == 0 ? 1 : z;
    }
    m_testLossThreshold = fraction >= 1.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(fraction * 4294967296.0);
}

uint64_t P2PPeer::DroppedIncomingDatagrams() const
{
    return m_droppedDatagrams;
}

uint64_t P2PPeer::TestDroppedDatagrams() const
{
    return m_testDropped;
}

bool P2PPeer::TestDropDatagram(unsigned length)
{
    const unsigned maxSize = m_testMaxDatagram;
    if (maxSize != 0 && length > maxSize) {
        ++m_testDropped;
        return true;
    }
    const uint32_t threshold = m_testLossThreshold;
    if (threshold == 0)
        return false;
    uint32_t draw = 0;
    {
        std::lock_guard lock(m_testRandomLock);
        // xorshift64*: deterministic for a seed, cheap enough for every datagram.
        m_testRandomState ^= m_testRandomState >> 12;
        m_testRandomState ^= m_testRandomState << 25;
        m_testRandomState ^= m_testRandomState >> 27;
        draw = static_cast<uint32_t>((m_testRandomState * 0x2545F4914F6CDD1Dull) >> 32);
    }
    if (draw < threshold || threshold == 0xFFFFFFFFu) {
        ++m_testDropped;
        return true;
    }
    return false;
}

} // namespace P2PNet
