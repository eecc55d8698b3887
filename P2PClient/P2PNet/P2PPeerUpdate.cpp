// The peer's update thread: received datagrams, queued commands, connection attempts, and per
// connection the probe, the reliability layer's round, time-outs, pings and the connected half of
// the handshake.
#include "P2PPeer.h"
#include "PeerUtils.h"

#include <algorithm>
#include <cstring>

namespace P2PNet {

namespace {

constexpr uint64_t kProbeQuietLimitMs = 3000;
constexpr uint64_t kProbeAfterSendMs = 1000;
constexpr uint64_t kProbeAfterArrivalMs = 2000;
constexpr uint64_t kPingIntervalMs = 5000;

} // namespace

void P2PPeer::UpdateThreadMain()
{
    m_threadEvents.Running();
    while (!m_endThreads) {
        CycleHook hook = nullptr;
        void* hookData = nullptr;
        {
            std::lock_guard lock(m_settingsLock);
            hook = m_cycleHook;
            hookData = m_cycleHookData;
        }
        if (hook != nullptr)
            hook(this, hookData);
        RunUpdateRound();
        // At most 10 ms, less when a connection's delayed acknowledgement or the rest of a burst
        // falls due sooner, so that neither waits for the next full round.
        uint64_t waitUs = 10'000;
        const uint64_t due = m_nextAckDueMicros.load();
        if (due != 0) {
            const uint64_t now = NowMicros();
            waitUs = due <= now ? 0 : std::min<uint64_t>(waitUs, due - now);
        }
        if (waitUs > 0)
            m_updateEvent.waitMicros(waitUs);
    }
    m_threadEvents.Ended();
    // A socket query waiting for this thread's answer learns that none will come.
    m_socketQueries.Close();
}

void P2PPeer::UpdateCycle()
{
    if (m_endThreads)
        return;
    RunUpdateRound();
}

void P2PPeer::RunUpdateRound()
{
    std::lock_guard round(m_roundLock);
    RoundScope scope(this);

    m_packets.CheckFull();

    // Received datagrams, oldest first.
    while (RecvBuffer* buffer = m_receiveBuffers.Pop()) {
        // Every socket that lends our buffers is one of our PlatformSockets.
        ProcessReceivedDatagram(reinterpret_cast<const uint8_t*>(buffer->data),
                                static_cast<unsigned>(std::max(0, buffer->byteCount)), buffer->source,
                                static_cast<PlatformSocket*>(buffer->socket), buffer->arrivalMicros);
        m_receiveBuffers.Return(buffer);
    }

    ExecuteCommands(NowMillis());
    ProcessConnectionRequests(NowMillis());
    UpdateRemoteSystems(NowMillis(), NowMicros());
    m_outgoing.Flush();
}

void P2PPeer::ProcessReceivedDatagram(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                      PlatformSocket* socket, uint64_t timeReadMicros)
{
    bool isOffline = false;
    if (HandleOfflineDatagram(data, length, sender, socket, timeReadMicros, &isOffline) || isOffline)
        return;
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(sender, true);
    if (remote == nullptr)
        return;
    remote->reliabilityLayer.SetIncomingHeld(IsHeld(*remote));
    remote->reliabilityLayer.HandleDatagram(data, length, remote->systemAddress, remote->sender,
                                            m_plugins.Snapshot()->first, timeReadMicros);
}

void P2PPeer::ProcessDatagramAsRound(const uint8_t* data, unsigned length, const SystemAddress& sender)
{
    std::lock_guard round(m_roundLock);
    RoundScope scope(this);
    ProcessReceivedDatagram(data, length, sender, SocketAt(0), NowMicros());
    m_outgoing.Flush();
}

void P2PPeer::ExecuteCommands(uint64_t nowMs)
{
    (void)nowMs;
    for (;;) {
        QueuedCommand command;
        {
            std::lock_guard lock(m_commandLock);
            if (m_commands.empty())
                break;
            command = std::move(m_commands.front());
            m_commands.pop_front();
        }
        CriticalSectionLock table(m_tableLock);
        switch (command.kind) {
        case QueuedCommand::Kind::Send: {
            SendImmediate(command.data.data(), command.bits, command.priority, command.reliability,
                          command.orderingChannel, command.target, command.broadcast,
                          command.receipt, NowMicros(), &command.data);
            if (command.setState) {
                RemoteSystem* remote = command.target.guid.IsUnassigned()
                                           ? FindRemote(command.target.address, true)
                                           : FindRemote(command.target.guid, true);
                if (remote != nullptr)
                    remote->state = command.state;
            }
            break;
        }
        case QueuedCommand::Kind::Close:
            CloseConnectionInternal(command.target, false, true, command.orderingChannel,
                                    command.priority);
            break;
        case QueuedCommand::Kind::ChangeAddress: {
            RemoteSystem* remote = FindRemote(command.target.guid, true);
            if (remote != nullptr) {
                const uint16_t index = static_cast<uint16_t>(SlotIndexOf(remote));
                m_addressHash.Remove(remote->systemAddress, index);
                remote->systemAddress = command.target.address;
                remote->systemAddress.systemIndex = index;
                m_addressHash.Add(remote->systemAddress, index);
                remote->sender = SenderFor(remote->socket, remote->systemAddress);
            }
            break;
        }
        case QueuedCommand::Kind::Hold: {
            RemoteSystem* remote = command.target.guid.IsUnassigned() ? FindRemote(command.target.address, true)
                                                                      : FindRemote(command.target.guid, true);
            if (remote != nullptr) {
                remote->heldByApplication = command.broadcast;
                remote->reliabilityLayer.SetIncomingHeld(IsHeld(*remote));
            }
            break;
        }
        case QueuedCommand::Kind::SocketQuery: {
            std::vector<PlatformSocket*> sockets;
            if (command.broadcast) {
                for (const std::unique_ptr<PlatformSocket>& socket : m_sockets)
                    sockets.push_back(socket.get());
            } else {
                RemoteSystem* remote = FindRemote(command.target, true);
                if (remote != nullptr && remote->socket != nullptr)
                    sockets.push_back(remote->socket);
            }
            m_socketQueries.Answer(command.queryId, std::move(sockets));
            break;
        }
        }
    }
}

void P2PPeer::ProcessConnectionRequests(uint64_t nowMs)
{
    // A connect to an address whose old link is still closing waits for that slot to go (it
    // would otherwise land in it); the addresses are read first, the two locks never nest here.
    std::vector<SystemAddress> closing;
    {
        CriticalSectionLock table(m_tableLock);
        for (const RemoteSystem* remote : m_activeSystems)
            if (IsClosingState(remote->state))
                closing.push_back(remote->systemAddress);
    }
    // Attempts that ran out are told to the application once the lock is let go: the notice
    // takes the table lock, which comes before this one.
    std::vector<SystemAddress> failed;
    {
        std::lock_guard lock(m_connectionLock);
        for (auto it = m_requestedConnections.begin(); it != m_requestedConnections.end();) {
            if (it->nextRequestTime > nowMs ||
                std::find(closing.begin(), closing.end(), it->target) != closing.end()) {
                ++it;
                continue;
            }
            if (SendOpenRequest(*it, nowMs, failed))
                ++it;
            else
                it = m_requestedConnections.erase(it);
        }
    }
    for (const SystemAddress& target : failed)
        PushOneBytePacket(ID_JOIN_FAILED, target, UNASSIGNED_P2PNET_GUID);
}

void P2PPeer::UpdateRemoteSystems(uint64_t nowMs, uint64_t nowMicros)
{
    const std::shared_ptr<const PluginLists> plugins = m_plugins.Snapshot();
    CriticalSectionLock table(m_tableLock);
    uint64_t nextAckDue = 0;
    // Index loop: a slot closed on the way leaves the active list, moving the last entry in.
    for (std::size_t i = 0; i < m_activeSystems.size(); ++i) {
        RemoteSystem* remote = m_activeSystems[i];
        ReliabilityLayer& layer = remote->reliabilityLayer;

        // a. Probe a connection we initiated that has gone quiet while nothing waits for resend.
        if (remote->state == RemoteSystemState::Connected && remote->weInitiatedTheConnection &&
            nowMs > remote->lastReliableSend) {
            const uint64_t lastArrival = layer.GetLastArrivalMs();
            const uint64_t sinceArrival = nowMs > lastArrival ? nowMs - lastArrival : 0;
            if (sinceArrival < kProbeQuietLimitMs &&
                (nowMs - remote->lastReliableSend > kProbeAfterSendMs || sinceArrival > kProbeAfterArrivalMs) &&
                !layer.HasUnacknowledged()) {
                const uint8_t probe = ID_PROBE;
                if (!m_endThreads)
                    SendRaw(remote->socket, &probe, 1, remote->systemAddress);
                remote->lastReliableSend = nowMs;
            }
        }

        layer.SetIncomingHeld(IsHeld(*remote));
        // A held connection sends a probe every second while nothing else goes out, so that the
        // remote, whose data goes unacknowledged meanwhile, does not count the link dead.
        if (remote->state == RemoteSystemState::Connected && layer.IsIncomingHeld() && nowMs > remote->lastReliableSend &&
            nowMs - remote->lastReliableSend > kProbeAfterSendMs) {
            const uint8_t probe = ID_PROBE;
            if (!m_endThreads)
                SendRaw(remote->socket, &probe, 1, remote->systemAddress);
            remote->lastReliableSend = nowMs;
        }

        // b. The reliability layer's round.
        if (layer.GetLastUpdateUs() > nowMicros)
            layer.SetLastUpdateUs(nowMicros);
        else
            layer.Update(remote->systemAddress, remote->sender, nowMicros,
                         static_cast<uint32_t>(std::max(0, m_bitsPerSecondLimit.load())), plugins->first);

        // c. Drop decision.
        const RemoteSystemState state = remote->state;
        bool drop = layer.LinkIsDead();
        if (!drop && IsClosingState(state))
            drop = ClosingSlotIsDone(*remote, nowMs);
        if (!drop && (state == RemoteSystemState::RequestedConnection ||
                      state == RemoteSystemState::HandlingConnectionRequest))
            drop = nowMs > remote->connectionTime && nowMs - remote->connectionTime > kHandshakeLimitMs;
        if (!drop && state == RemoteSystemState::UnverifiedSender)
            drop = nowMs > remote->connectionTime && nowMs - remote->connectionTime > kUnverifiedLimitMs;

        if (drop) {
            // d. Tell the application, then close at once without notice.
            uint8_t id = 0;
            if (state == RemoteSystemState::RequestedConnection)
                id = ID_JOIN_FAILED;
            else if (state == RemoteSystemState::Connected)
                id = ID_PEER_LOST;
            else if (state == RemoteSystemState::DisconnectAsap || state == RemoteSystemState::DisconnectOnNoAck)
                id = ID_PEER_CLOSED;
            if (id != 0)
                PushOneBytePacket(id, remote->systemAddress, remote->guid);
            RemoveSlot(remote);
            --i;
            continue;
        }

        // e. Periodic ping.
        if (remote->state == RemoteSystemState::Connected && nowMs > remote->nextPingTime &&
            (m_occasionalPing || remote->lowestPing == kNoPing)) {
            remote->nextPingTime = nowMs + kPingIntervalMs;
            if (remote->weInitiatedTheConnection) {
                SendConnectedPing(remote->systemAddress, true);
                m_updateEvent.set();
            }
        }

        // A round cut short by the burst limit goes on kBurstGapUs later.
        if (layer.IsBurstLimited()) {
            const uint64_t due = nowMicros + ReliabilityLayer::kBurstGapUs;
            nextAckDue = nextAckDue == 0 ? due : std::min(nextAckDue, due);
        }

        const uint64_t oldestUnacknowledged = layer.GetCongestionManager().GetOldestUnacknowledged();
        if (oldestUnacknowledged != 0) {
            // A deadline the layer's round has already passed without clearing it is not one
            // to wake for (nothing was left to acknowledge).
            const uint64_t due = oldestUnacknowledged + layer.GetCongestionManager().GetAckDelay();
            if (due > nowMicros)
                nextAckDue = nextAckDue == 0 ? due : std::min(nextAckDue, due);
        }

        // f. Complete messages.
        LayerMessage message;
        while (layer.Receive(message)) {
            if (message.data.empty() || message.bitLength == 0)
                continue;
            const MessageOutcome outcome = HandleConnectedMessage(*remote, message, NowMillis());
            if (outcome == MessageOutcome::SlotClosed) {
                // Its place in the active list now holds another slot.
                --i;
                break;
            }
            if (outcome == MessageOutcome::StopForThisRound)
                break;
        }
    }
    m_nextAckDueMicros = nextAckDue;
    // The last change to the table in this round: a Stop waiting for the slots to go learns it.
    m_threadEvents.PublishLinks(m_activeSystems.size());
}

namespace {
// Received messages of at least this many bytes are handed to the application in the buffer
// they were reassembled in; smaller ones are copied into the packet's own block.
constexpr unsigned kHandOverBytes = 4096;
} // namespace

P2PPeer::MessageOutcome P2PPeer::HandleConnectedMessage(RemoteSystem& remote, LayerMessage& message,
                                                        uint64_t nowMs)
{
    const uint8_t* data = message.data.data();
    const unsigned bits = message.bitLength;
    const unsigned bytes = std::min<unsigned>((bits + 7) / 8, static_cast<unsigned>(message.data.size()));
    const uint8_t id = data[0];
    const SystemAddress address = remote.systemAddress;
    const int index = SlotIndexOf(&remote);

    auto pushToApplication = [&] {
        Packet* packet = PacketQueue::Allocate(bytes);
        if (packet == nullptr)
            return;
        std::memcpy(packet->data, data, bytes);
        packet->bitSize = std::min(bits, bytes * 8);
        packet->wasGeneratedLocally = message.generatedLocally;
        packet->systemAddress = address;
        packet->systemAddress.systemIndex = static_cast<uint16_t>(index);
        packet->guid = remote.guid;
        packet->guid.systemIndex = static_cast<uint16_t>(index);
        QueuePacket(packet, false);
    };

    if (id == ID_JOIN_FAILED)
        return MessageOutcome::StopForThisRound;

    if (remote.state == RemoteSystemState::UnverifiedSender && !message.generatedLocally) {
        if (id == ID_JOIN_REQUEST) {
            HandleConnectionRequest(remote, data, bytes, nowMs);
            return MessageOutcome::Continue;
        }
        // Anything before the connection request: the slot goes, without a ban. The sender may
        // be forged, and a ban would fall on its IP address, links already made from it included.
        RemoveSlot(&remote);
        return MessageOutcome::SlotClosed;
    }

    BitStream in(data, bytes, false);
    switch (id) {
    case ID_JOIN_REQUEST:
        if (remote.state == RemoteSystemState::RequestedConnection) {
            HandleConnectionRequest(remote, data, bytes, nowMs);
        } else if (bytes >= 17) {
            uint64_t requestTime = 0;
            in.IgnoreBits(8 * 9);
            in.ReadU64(requestTime);
            SendJoinAccepted(remote, requestTime, nowMs);
        }
        return MessageOutcome::Continue;
    case ID_NEW_INCOMING: {
        if (bytes < 24)
            return MessageOutcome::Continue;
        in.IgnoreBits(8);
        SystemAddress seenAs;
        SystemAddress theirs[kInternalAddressCount];
        uint64_t pingTime = 0;
        uint64_t pongTime = 0;
        if (!seenAs.Deserialize(in))
            return MessageOutcome::Continue;
        for (SystemAddress& a : theirs)
            if (!a.Deserialize(in))
                return MessageOutcome::Continue;
        if (!in.ReadU64(pingTime) || !in.ReadU64(pongTime))
            return MessageOutcome::Continue;
        if (remote.state != RemoteSystemState::HandlingConnectionRequest)
            return MessageOutcome::Continue;
        remote.state = RemoteSystemState::Connected;
        SendConnectedPing(address, true);
        m_updateEvent.set();
        remote.OnPong(pingTime, pongTime, nowMs);
        remote.myExternalAddress = seenAs;
        std::copy(std::begin(theirs), std::end(theirs), std::begin(remote.theirInternalAddresses));
        m_localAddresses.NoteExternal(seenAs);
        pushToApplication();
        return MessageOutcome::Continue;
    }
    case ID_PEER_PING: {
        if (bytes != 3)
            return MessageOutcome::Continue;
        uint16_t pingTime = 0;
        in.IgnoreBits(8);
        in.ReadU16(pingTime);
        BitStream out;
        out.WriteU8(ID_PEER_PONG);
        out.WriteU16(pingTime);
        out.WriteU16(static_cast<uint16_t>(nowMs));
        SendImmediate(out.GetData(), out.GetNumberOfBitsUsed(), SendPriority::Immediate,
                      ReliabilityKind::Unreliable, 0, PeerTarget(address), false, 0, NowMicros());
        return MessageOutcome::Continue;
    }
    case ID_PEER_PONG: {
        if (bytes != 5)
            return MessageOutcome::Continue;
        uint16_t pingLow = 0;
        uint16_t pongLow = 0;
        in.IgnoreBits(8);
        in.ReadU16(pingLow);
        in.ReadU16(pongLow);
        const uint64_t pingTime = WidenPingTime(nowMs, pingLow);
        const uint64_t pongTime = WidenPongTime(remote.remoteTimeBase, pongLow);
        remote.remoteTimeBase = pongTime;
        remote.OnPong(pingTime, pongTime, nowMs);
        return MessageOutcome::Continue;
    }
    case ID_PEER_CLOSED:
        if (remote.state != RemoteSystemState::DisconnectOnNoAck)
            remote.closeNoticeTime = nowMs;
        remote.state = RemoteSystemState::DisconnectOnNoAck;
        return MessageOutcome::Continue;
    case ID_LOST_CHECK:
        return MessageOutcome::Continue;
    case ID_BAD_JOIN_DATA:
        if (remote.state == RemoteSystemState::RequestedConnection) {
            pushToApplication();
            remote.state = RemoteSystemState::DisconnectAsapSilently;
        }
        return MessageOutcome::Continue;
    case ID_JOIN_ACCEPTED: {
        if (bytes <= 25)
            return MessageOutcome::Continue;
        if (!(remote.state == RemoteSystemState::RequestedConnection ||
              remote.state == RemoteSystemState::HandlingConnectionRequest || m_acceptJoinInAnyState))
            return MessageOutcome::Continue;
        in.IgnoreBits(8);
        SystemAddress seenAs;
        uint16_t ourIndex = 0;
        SystemAddress theirs[kInternalAddressCount];
        uint64_t pingTime = 0;
        uint64_t pongTime = 0;
        if (!seenAs.Deserialize(in) || !in.ReadU16(ourIndex))
            return MessageOutcome::Continue;
        for (SystemAddress& a : theirs)
            if (!a.Deserialize(in))
                return MessageOutcome::Continue;
        if (!in.ReadU64(pingTime) || !in.ReadU64(pongTime))
            return MessageOutcome::Continue;
        remote.OnPong(pingTime, pongTime, nowMs);
        remote.myExternalAddress = seenAs;
        std::copy(std::begin(theirs), std::end(theirs), std::begin(remote.theirInternalAddresses));
        remote.state = RemoteSystemState::Connected;
        m_localAddresses.NoteExternal(seenAs);
        pushToApplication();

        BitStream out;
        out.WriteU8(ID_NEW_INCOMING);
        address.Serialize(out);
        m_localAddresses.Serialize(out);
        out.WriteU64(pongTime);
        out.WriteU64(nowMs);
        if (SendImmediate(out.GetData(), out.GetNumberOfBitsUsed(), SendPriority::Immediate,
                          ReliabilityKind::ReliableOrdered, 0, PeerTarget(address), false, 0, NowMicros()))
            SendConnectedPing(address, true);
        return MessageOutcome::Continue;
    }
    default:
        break;
    }

    // Application data and the layer's own notices. 14 and 15 are receipts only the layer makes;
    // arriving from the network they would be taken for acknowledgements of our own sends.
    const bool receipt = id == ID_RECEIPT_ACKED || id == ID_RECEIPT_LOST;
    if (!remote.isActive || !(id >= ID_TIME_PREFIX || (receipt && message.generatedLocally)))
        return MessageOutcome::Continue;
    if (bytes < kHandOverBytes || message.data.size() != bytes) {
        pushToApplication();
        return MessageOutcome::Continue;
    }
    // A large message keeps its buffer: the packet takes it over instead of a copy.
    Packet* packet = PacketQueue::Allocate(0);
    if (packet == nullptr)
        return MessageOutcome::Continue;
    packet->ownedData = std::move(message.data);
    packet->data = packet->ownedData.data();
    packet->length = bytes;
    packet->bitSize = std::min(bits, bytes * 8);
    packet->wasGeneratedLocally = message.generatedLocally;
    packet->systemAddress = address;
    packet->systemAddress.systemIndex = static_cast<uint16_t>(index);
    packet->guid = remote.guid;
    packet->guid.systemIndex = static_cast<uint16_t>(index);
    QueuePacket(packet, false);
    return MessageOutcome::Continue;
}

void P2PPeer::HandleConnectionRequest(RemoteSystem& remote, const uint8_t* data, unsigned bytes,
                                      uint64_t nowMs)
{
    // [9][u64 GUID][u64 time][u8 security][connection data]
    if (bytes < 18)
        return;
    BitStream in(data, bytes, false);
    in.IgnoreBits(8 * 9);
    uint64_t requestTime = 0;
    in.ReadU64(requestTime);
    const unsigned dataLength = bytes - 18;
    bool match = false;
    {
        std::lock_guard lock(m_settingsLock);
        match = dataLength == m_joinPassword.size() &&
                (dataLength == 0 || std::memcmp(data + 18, m_joinPassword.data(), dataLength) == 0);
    }
    if (match) {
        remote.state = RemoteSystemState::HandlingConnectionRequest;
        SendJoinAccepted(remote, requestTime, nowMs);
        remote.remoteTimeBase = requestTime;
    } else {
        BitStream out;
        out.WriteU8(ID_BAD_JOIN_DATA);
        out.WriteU64(m_myGuid.g);
        SendImmediate(out.GetData(), out.GetNumberOfBitsUsed(), SendPriority::Immediate,
                      ReliabilityKind::Reliable, 0, PeerTarget(remote.systemAddress), false, 0, NowMicros());
        remote.state = RemoteSystemState::DisconnectAsapSilently;
    }
}

void P2PPeer::SendJoinAccepted(RemoteSystem& remote, uint64_t requestTime, uint64_t nowMs)
{
    BitStream out;
    out.WriteU8(ID_JOIN_ACCEPTED);
    remote.systemAddress.Serialize(out);
    out.WriteU16(static_cast<uint16_t>(SlotIndexOf(&remote)));
    m_localAddresses.Serialize(out);
    out.WriteU64(requestTime);
    out.WriteU64(nowMs);
    SendImmediate(out.GetData(), out.GetNumberOfBitsUsed(), SendPriority::Immediate,
                  ReliabilityKind::ReliableOrdered, 0, PeerTarget(remote.systemAddress), false, 0,
                  NowMicros());
}

} // namespace P2PNet
