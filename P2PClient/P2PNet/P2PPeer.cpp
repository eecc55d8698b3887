// The peer's public operations, start and stop, the remote-system table and its lookups.
#include "P2PPeer.h"
#include "PeerUtils.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace P2PNet {

// ---- Packets -----------------------------------------------------------------------------------

Packet* PeerAllocatePacket(P2PPeerInterface* peer, unsigned size)
{
    if (peer == nullptr)
        return AllocateStandalonePacket(size);
    return peer->NewPacket(size);
}

namespace {

constexpr std::size_t kMaxJoinPassword = 255;
constexpr int kSocketQueryLimitMs = 1000;
constexpr std::size_t kThreadStack = 2 * 1024 * 1024;

} // namespace

P2PPeer::P2PPeer()
{
    m_myGuid = MakeGuid();
}

P2PPeer::~P2PPeer()
{
    Stop(0, 0, SendPriority::Low);
}

// ---- Start and stop ----------------------------------------------------------------------------

StartResult P2PPeer::Start(unsigned maxConnections, const SocketSpec* specs, unsigned specCount,
                           int threadPriority)
{
    const std::shared_ptr<const PluginLists> plugins = m_plugins.Snapshot();
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
        socket->SetDatagramHook(&m_testFaults);
        m_sockets.push_back(std::move(socket));
    }
    for (std::unique_ptr<PlatformSocket>& socket : m_sockets) {
        if (!socket->StartReceiving()) {
            DeleteSocketsLocked();
            return StartResult::FailedToCreateUpdateThread;
        }
    }
    socketsLock.unlock();

    m_localAddresses.ApplyPort(m_sockets[0]->GetBoundAddress().GetPort());

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
        m_localAddresses.ForgetExternal();
        m_endThreads = false;
        if (!m_updateThread.running()) {
            m_threadEvents.Starting();
            m_socketQueries.Open();
            if (!m_updateThread.start([this] { UpdateThreadMain(); }, kThreadStack, "P2PPeerUpdate")) {
                Stop(0, 0, SendPriority::Low);
                return StartResult::FailedToCreateUpdateThread;
            }
        }
        // A thread that never gets to run (or a Stop meanwhile) ends the wait too.
        if (!m_threadEvents.WaitRunning(kThreadStartLimitMs) && !m_endThreads) {
            Stop(0, 0, SendPriority::Low);
            return StartResult::FailedToCreateUpdateThread;
        }
    }

    plugins->ForEach([](PeerPlugin* plugin) { plugin->PeerStarted(); });
    return StartResult::Started;
}

void P2PPeer::Stop(unsigned blockMs, uint8_t orderingChannel, SendPriority priority)
{
    const std::shared_ptr<const PluginLists> plugins = m_plugins.Snapshot();
    if (blockMs > 0 && IsRunning()) {
        std::vector<SystemAddress> targets;
        {
            CriticalSectionLock table(m_tableLock);
            for (RemoteSystem* remote : m_activeSystems)
                targets.push_back(remote->systemAddress);
            // The count as it is now, not as the last round left it: a slot taken since then
            // is waited for too.
            m_threadEvents.PublishLinks(m_activeSystems.size());
        }
        for (const SystemAddress& target : targets)
            CloseConnectionInternal(PeerTarget(target), true, false, orderingChannel, priority);
        // Until the update thread has freed the last slot, or at most blockMs.
        m_threadEvents.WaitNoLinks(static_cast<int>(std::min<unsigned>(blockMs, INT32_MAX)));
    }

    plugins->ForEach([](PeerPlugin* plugin) { plugin->PeerStopping(); });

    m_stopping = true;
    m_endThreads = true;
    m_updateEvent.set();
    if (m_updateThread.running())
        m_updateThread.join();
    m_threadEvents.Ended();

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

    for (Packet* packet : m_packets.TakeAll())
        ReleasePacket(packet);
    m_receiveBuffers.DiscardQueued();
    {
        std::lock_guard lock(m_commandLock);
        m_commands.clear();
    }
    {
        std::lock_guard lock(m_connectionLock);
        m_requestedConnections.clear();
    }
    m_answeredRequests.clear();
    m_localAddresses.ForgetExternal();
    m_receiptCounter = 1;
}

void P2PPeer::DeleteSockets()
{
    std::unique_lock lock(m_socketsLock);
    DeleteSocketsLocked();
}

void P2PPeer::DeleteSocketsLocked()
{
    // A socket is deleted only once its receive thread has ended: StopReceiving wakes and waits
    // for the loop, and the socket's destructor joins the thread itself.
    for (std::unique_ptr<PlatformSocket>& socket : m_sockets)
        socket->StopReceiving();
    m_sockets.clear();
}

bool P2PPeer::IsRunning() const
{
    return !m_endThreads && m_threadEvents.IsRunning();
}

// ---- Exception list and ban list ---------------------------------------------------------------

void P2PPeer::AddExemptPattern(const char* pattern)
{
    m_banList.AddExempt(pattern);
}

void P2PPeer::RemoveExemptPattern(const char* pattern)
{
    m_banList.RemoveExempt(pattern);
}

bool P2PPeer::MatchesExemptPattern(const char* text)
{
    return m_banList.MatchesExempt(text);
}

void P2PPeer::BanAddress(const char* ip, uint32_t ms)
{
    m_banList.Ban(ip, ms);
}

void P2PPeer::UnbanAddress(const char* ip)
{
    m_banList.Unban(ip);
}

void P2PPeer::ClearBans()
{
    m_banList.ClearBans();
}

bool P2PPeer::IsAddressBanned(const char* ip)
{
    return m_banList.IsBanned(ip);
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
    std::lock_guard lock(m_settingsLock);
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
    std::lock_guard lock(m_settingsLock);
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
    std::lock_guard lock(m_settingsLock);
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
    std::lock_guard lock(m_settingsLock);
    if (data == nullptr || length == 0)
        m_offlineReply.clear();
    else
        m_offlineReply.assign(data, data + length);
}

void P2PPeer::GetOfflineReply(char** data, unsigned* length)
{
    std::lock_guard lock(m_settingsLock);
    if (data != nullptr)
        *data = m_offlineReply.empty() ? nullptr : m_offlineReply.data();
    if (length != nullptr)
        *length = static_cast<unsigned>(m_offlineReply.size());
}

// ---- Receipts ----------------------------------------------------------------------------------

uint32_t P2PPeer::PeekReceiptCounter()
{
    return m_receiptCounter.load();
}

uint32_t P2PPeer::TakeReceiptNumber()
{
    uint32_t receipt = m_receiptCounter.load();
    // After 0xFFFFFFFF comes 1: 0 means "no receipt".
    while (!m_receiptCounter.compare_exchange_weak(receipt, receipt == 0xFFFFFFFFu ? 1 : receipt + 1)) {
    }
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
    return m_localAddresses.Contains(target.address);
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
    const SystemAddress source = m_localAddresses.At(0);
    Packet* packet = PacketQueue::Allocate(static_cast<unsigned>(length));
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

Packet* P2PPeer::NewPacket(unsigned bytes)
{
    return PacketQueue::Allocate(bytes);
}

void P2PPeer::ReleasePacket(Packet* packet)
{
    PacketQueue::Release(packet);
}

void P2PPeer::PushPacket(const uint8_t* data, unsigned bytes, const SystemAddress& source,
                         const P2PNetGUID& guid, bool generatedLocally)
{
    Packet* packet = PacketQueue::Allocate(bytes);
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
    const std::shared_ptr<const PluginLists> plugins = m_plugins.Snapshot();
    if (packet == nullptr)
        return;
    plugins->ForEach([&](PeerPlugin* plugin) {
        plugin->OnPushBack(packet->data, packet->bitSize, packet->systemAddress);
    });
    m_packets.Push(packet, pushAtHead);
}

unsigned P2PPeer::PendingPacketCount()
{
    const unsigned count = static_cast<unsigned>(m_packets.Count());
    m_packets.Wake();
    return count;
}

void P2PPeer::UpdatePlugins()
{
    m_plugins.Snapshot()->ForEach([](PeerPlugin* plugin) { plugin->Tick(); });
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

Packet* P2PPeer::Receive()
{
    const std::shared_ptr<const PluginLists> plugins = m_plugins.Snapshot();
    if (!IsRunning())
        return nullptr;
    UpdatePlugins();
    m_packets.WaitWhileEmpty(10);
    for (;;) {
        bool drained = false;
        Packet* packet = m_packets.Pop(&drained);
        if (packet == nullptr)
            return nullptr;
        // Data held back while the queue was full may come in again.
        if (drained)
            m_updateEvent.set();
        if (packet->length >= 9 && packet->data[0] == ID_TIME_PREFIX)
            ShiftTimestamp(packet);
        plugins->NotifyOfPacket(packet);
        const PluginVerdict verdict = plugins->Offer(packet);
        if (verdict == kPluginConsumed)
            ReleasePacket(packet);
        else if (verdict != kPluginKeep)
            return packet;
    }
}

// ---- Plug-ins ----------------------------------------------------------------------------------

void P2PPeer::AddPlugin(PeerPlugin* plugin)
{
    if (plugin == nullptr || m_plugins.Contains(plugin))
        return;
    plugin->SetPeer(this);
    plugin->AttachedTo(this);
    m_plugins.Insert(plugin);
}

void P2PPeer::RemovePlugin(PeerPlugin* plugin)
{
    if (plugin == nullptr || !m_plugins.Erase(plugin))
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

RemoteSystem* P2PPeer::TakeSlot(const SystemAddress& address, const P2PNetGUID& guid, unsigned mtu,
                                PlatformSocket* socket, bool* tooRecent, uint64_t nowMs)
{
    CriticalSectionLock table(m_tableLock);
    *tooRecent = false;
    if (m_limitConnectionFrequency && !m_localAddresses.Contains(address)) {
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
    if (target.IsUnassigned())
        return m_localAddresses.At(index);
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(target, false);
    return remote == nullptr ? UNASSIGNED_SYSTEM_ADDRESS : remote->theirInternalAddresses[index];
}

void P2PPeer::SetInternalAddress(const SystemAddress& address, unsigned index)
{
    if (index < kInternalAddressCount)
        m_localAddresses.Set(index, address);
}

SystemAddress P2PPeer::GetExternalAddress(const SystemAddress& target)
{
    if (target.IsUnassigned())
        return m_localAddresses.FirstExternal();
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
    // Listed entries take the first socket's port while the peer runs.
    std::optional<uint16_t> port;
    if (IsRunning()) {
        std::shared_lock sockets(m_socketsLock);
        if (!m_sockets.empty())
            port = m_sockets[0]->GetBoundAddress().GetPort();
    }
    m_localAddresses.Reload(port);
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
    return m_localAddresses.Count();
}

const char* P2PPeer::GetLocalAddressText(unsigned index)
{
    static thread_local char text[kAddressTextSize];
    text[0] = '\0';
    if (index >= kInternalAddressCount)
        return text;
    m_localAddresses.Text(index, text, sizeof text);
    return text;
}

bool P2PPeer::IsLocalAddressText(const char* ip)
{
    if (ip == nullptr || *ip == '\0')
        return false;
    if (std::strcmp(ip, "127.0.0.1") == 0 || std::strcmp(ip, "localhost") == 0)
        return true;
    return m_localAddresses.ContainsText(ip);
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
    command.queryId = m_socketQueries.NextTicket();
    const uint64_t ticket = command.queryId;
    {
        std::lock_guard lock(m_commandLock);
        m_commands.push_back(std::move(command));
    }
    m_updateEvent.set();
    // The update thread's answer, up to the limit, or nothing once that thread has ended.
    m_socketQueries.Await(ticket, limitMs, sockets);
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
            *result += remote->reliabilityLayer.GetStatistics();
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
        if (socket != nullptr)
            m_outgoing.Add(socket, remote, data, length);
    };
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
    m_plugins.Snapshot()->ForEach([&](PeerPlugin* plugin) { plugin->OnRawReceive(data, length * 8, sender); });
}

int P2PPeer::SendRaw(PlatformSocket* socket, const uint8_t* data, unsigned length,
                     const SystemAddress& target, int ttl, bool dontFragment)
{
    if (socket == nullptr)
        return -1;
    SystemAddress to = target;
    to.MatchSocketFamily(socket->GetBoundAddress().GetFamily());
    for (PeerPlugin* plugin : m_plugins.Snapshot()->second)
        plugin->OnRawSend(data, length * 8, to);
    DatagramOut out;
    out.data = reinterpret_cast<const char*>(data);
    out.length = static_cast<int>(length);
    out.target = to;
    out.ttl = ttl;
    out.dontFragment = dontFragment;
    return socket->SendDatagram(out);
}

// ---- Socket events (receive threads) -----------------------------------------------------------

RecvBuffer* P2PPeer::TakeBuffer()
{
    return m_receiveBuffers.Take();
}

void P2PPeer::ReturnBuffer(RecvBuffer* buffer)
{
    m_receiveBuffers.Return(buffer);
}

void P2PPeer::OnDatagram(RecvBuffer* buffer)
{
    if (buffer != nullptr)
        OnDatagrams(&buffer, 1);
}

void P2PPeer::OnDatagrams(RecvBuffer* const* buffers, int count)
{
    // The update round takes every queued datagram, so the first of a burst wakes it.
    if (m_receiveBuffers.Queue(buffers, count))
        m_updateEvent.set();
}

uint64_t P2PPeer::DroppedIncomingDatagrams() const
{
    return m_receiveBuffers.Dropped();
}

} // namespace P2PNet
