// The offline half of the peer protocol: the classifier every datagram meets first, offline ping
// and pong, out-of-band data, the four offline messages of the connection handshake (5, 6, 7, 8)
// with their refusals, and the sending of first connection requests.
#include "P2PPeer.h"
#include "PeerUtils.h"

#include <algorithm>
#include <cstring>

namespace P2PNet {

namespace {

bool MarkerAt(const uint8_t* data, unsigned length, unsigned offset, unsigned count = 16)
{
    // The whole compared run must lie inside the datagram.
    return length >= offset + count && std::memcmp(data + offset, kOfflineMarker, count) == 0;
}

uint64_t ReadU64At(const uint8_t* data, unsigned offset)
{
    uint64_t value = 0;
    for (unsigned i = 0; i < 8; ++i)
        value = (value << 8) | data[offset + i];
    return value;
}

// Largest offline ping or pong whose trailing bytes reach the application.
constexpr unsigned kMaxPingWithData = 432;

} // namespace

OfflineClass ClassifyOfflineMessage(const uint8_t* data, unsigned length)
{
    if (data == nullptr || length == 0)
        return OfflineClass::TooShort;
    const uint8_t id = data[0];
    if (id == ID_PROBE || id == ID_PROBE_REPLY)
        return OfflineClass::NotOffline;
    if (length <= 2)
        return OfflineClass::TooShort;
    bool offline = false;
    switch (id) {
    case ID_OFFLINE_PING:
    case ID_OFFLINE_PING_OPEN:
        offline = length >= 25 && MarkerAt(data, length, 17);
        break;
    case ID_OFFLINE_PONG:
        offline = length >= 29 && MarkerAt(data, length, 17);
        break;
    case ID_OUT_OF_BAND:
        offline = length >= 25 && MarkerAt(data, length, 9);
        break;
    case ID_OPEN_REQUEST:
        offline = length >= 25 && MarkerAt(data, length, 1, 8);
        break;
    case ID_OPEN_REPLY:
    case ID_OPEN_CONFIRM:
    case ID_OPEN_CONFIRM_REPLY:
    case ID_JOIN_FAILED:
    case ID_ALREADY_JOINED:
    case ID_NO_FREE_SLOTS:
    case ID_PEER_BANNED:
    case ID_JOINED_TOO_RECENTLY:
        offline = length >= 25 && MarkerAt(data, length, 1);
        break;
    case ID_PROTOCOL_MISMATCH:
        offline = length == 26 && MarkerAt(data, length, 2);
        break;
    default:
        break;
    }
    return offline ? OfflineClass::Offline : OfflineClass::NotOffline;
}

void ComputeHandshakeToken(uint64_t guid, uint8_t token[8])
{
    uint8_t g[8];
    for (unsigned i = 0; i < 8; ++i)
        g[i] = static_cast<uint8_t>(guid >> (8 * i));
    uint8_t s = 0;
    for (unsigned i = 0; i < 8; ++i)
        s ^= static_cast<uint8_t>(static_cast<uint8_t>(g[i] + 1) ^ static_cast<uint8_t>(8 - i));
    for (unsigned i = 0; i < 8; ++i)
        token[i] = static_cast<uint8_t>(static_cast<uint8_t>(g[i] - i + 8) ^ static_cast<uint8_t>(1u << i) ^ s);
}

unsigned MtuForRequest(unsigned requestsMade, unsigned attemptCount, unsigned* mtuIndex)
{
    // Fewer than 3 attempts would make the per-MTU share 0; every MTU then gets one attempt.
    const unsigned perMtu = std::max(1u, attemptCount / 3);
    unsigned index = requestsMade / perMtu;
    if (index >= 3)
        index = 2;
    if (mtuIndex != nullptr)
        *mtuIndex = index;
    return kMtuSizes[index];
}

unsigned ClampRemoteMtu(unsigned mtu)
{
    return std::clamp(mtu, kMinimumMtu, kMaximumMtu);
}

// ---- Peer: offline messages sent by the application -------------------------------------------

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
    SystemAddress target;
    {
        std::shared_lock sockets(m_socketsLock);
        PlatformSocket* socket = SocketAt(socketIndex);
        if (host == nullptr || socket == nullptr)
            return false;
        if (!target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6))
            return false;
    }
    // SendRawTo takes the sockets' lock itself: a shared lock is not taken twice.
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
    SystemAddress target;
    {
        std::shared_lock sockets(m_socketsLock);
        PlatformSocket* socket = SocketAt(socketIndex);
        if (host == nullptr || socket == nullptr)
            return;
        if (!target.ParseWithPort(host, port, true, socket->GetBoundAddress().GetIPVersion() == 4 ? 4 : 6))
            return;
    }
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
        std::lock_guard lock(m_settingsLock);
        if (!m_offlineReply.empty())
            out.WriteBytes(m_offlineReply.data(), static_cast<uint32_t>(m_offlineReply.size()));
    }
    SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), target);
    return true;
}

// ---- Peer: offline messages --------------------------------------------------------------------

bool P2PPeer::HandleOfflineDatagram(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                    PlatformSocket* socket, uint64_t timeReadMicros, bool* isOffline)
{
    (void)timeReadMicros;
    *isOffline = false;
    if (data == nullptr || length == 0)
        return true;

    char ip[kAddressTextSize];
    if (m_banList.HasBans() && sender.ToText(false, ip, sizeof ip) != nullptr && m_banList.IsBanned(ip)) {
        NotifyRawReceive(data, length, sender);
        BitStream out;
        out.WriteU8(ID_PEER_BANNED);
        out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
        out.WriteU64(m_myGuid.g);
        SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
        return true;
    }

    const OfflineClass kind = ClassifyOfflineMessage(data, length);
    if (kind == OfflineClass::NotOffline)
        return false;
    *isOffline = true;
    NotifyRawReceive(data, length, sender);
    if (kind == OfflineClass::TooShort)
        return true;

    const uint8_t id = data[0];
    switch (id) {
    case ID_OFFLINE_PING:
    case ID_OFFLINE_PING_OPEN: {
        if (id == ID_OFFLINE_PING_OPEN && CountIncomingConnections() >= m_maximumIncomingConnections.load())
            return true;
        BitStream out;
        out.WriteU8(ID_OFFLINE_PONG);
        out.WriteBytes(data + 1, 8);
        out.WriteU64(m_myGuid.g);
        out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
        {
            std::lock_guard lock(m_settingsLock);
            if (!m_offlineReply.empty())
                out.WriteBytes(m_offlineReply.data(), static_cast<uint32_t>(m_offlineReply.size()));
        }
        SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);

        P2PNetGUID guid;
        guid.g = ReadU64At(data, 9);
        if (id == ID_OFFLINE_PING && length >= 33 && length <= kMaxPingWithData) {
            std::vector<uint8_t> bytes;
            bytes.reserve(length - 33 + 5);
            bytes.push_back(ID_OFFLINE_PING);
            bytes.insert(bytes.end(), data + 5, data + 9);  // low 32 bits of the time
            bytes.insert(bytes.end(), data + 33, data + length);
            PushPacket(bytes.data(), static_cast<unsigned>(bytes.size()), sender, guid, false);
        } else {
            PushOneBytePacket(ID_OFFLINE_PING, sender, guid);
        }
        return true;
    }
    case ID_OFFLINE_PONG: {
        if (length < 33 || length > kMaxPingWithData)
            return true;
        P2PNetGUID guid;
        guid.g = ReadU64At(data, 9);
        std::vector<uint8_t> bytes;
        bytes.reserve(length - 33 + 5);
        bytes.push_back(ID_OFFLINE_PONG);
        bytes.insert(bytes.end(), data + 5, data + 9);
        bytes.insert(bytes.end(), data + 33, data + length);
        PushPacket(bytes.data(), static_cast<unsigned>(bytes.size()), sender, guid, false);
        return true;
    }
    case ID_OUT_OF_BAND: {
        if (length < 26 || length > 424)
            return true;
        P2PNetGUID guid;
        guid.g = ReadU64At(data, 1);
        if (data[25] == ID_ADVERTISE) {
            std::vector<uint8_t> bytes;
            bytes.push_back(ID_ADVERTISE);
            bytes.insert(bytes.end(), data + 26, data + length);
            PushPacket(bytes.data(), static_cast<unsigned>(bytes.size()), sender, guid, false);
        } else {
            std::vector<uint8_t> bytes;
            bytes.push_back(ID_OUT_OF_BAND);
            bytes.insert(bytes.end(), data + 25, data + length);
            PushPacket(bytes.data(), static_cast<unsigned>(bytes.size()), sender, guid, false);
        }
        return true;
    }
    case ID_OPEN_REQUEST:
        HandleOpenRequest(data, length, sender, socket);
        return true;
    case ID_OPEN_REPLY:
        HandleOpenReply(data, length, sender, socket);
        return true;
    case ID_OPEN_CONFIRM:
        HandleOpenConfirm(data, length, sender, socket);
        return true;
    case ID_OPEN_CONFIRM_REPLY:
        HandleOpenConfirmReply(data, length, sender, socket);
        return true;
    case ID_JOIN_FAILED:
    case ID_ALREADY_JOINED:
    case ID_NO_FREE_SLOTS:
    case ID_PEER_BANNED:
    case ID_PROTOCOL_MISMATCH:
    case ID_JOINED_TOO_RECENTLY:
        HandleRefusal(data, length, sender);
        return true;
    default:
        return true;
    }
}

void P2PPeer::HandleOpenRequest(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                PlatformSocket* socket)
{
    // [5][marker 8][token 8][u8 version][u64 GUID]: 26 bytes before the padding. Shorter ones
    // would have the GUID read past their end.
    if (length < 26)
        return;
    if (data[17] != kPeerProtocolVersion) {
        BitStream out;
        out.WriteU8(ID_PROTOCOL_MISMATCH);
        out.WriteU8(kPeerProtocolVersion);
        out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
        out.WriteU64(m_myGuid.g);
        SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
        return;
    }
    uint8_t token[8];
    ComputeHandshakeToken(ReadU64At(data, 18), token);
    if (std::memcmp(token, data + 9, 8) != 0)
        return;
    BitStream out;
    out.WriteU8(ID_OPEN_REPLY);
    out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
    out.WriteU64(m_myGuid.g);
    out.WriteU8(0);  // no security
    out.WriteU16(static_cast<uint16_t>(std::min(length + kUdpHeaderSize, kMaximumMtu)));
    SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
    NoteAnsweredRequest(sender, NowMillis());
}

void P2PPeer::NoteAnsweredRequest(const SystemAddress& sender, uint64_t nowMs)
{
    while (!m_answeredRequests.empty() && (m_answeredRequests.size() >= kAnsweredRequestCount ||
                                           nowMs - m_answeredRequests.front().timeMs > kAnsweredRequestMs))
        m_answeredRequests.pop_front();
    for (AnsweredRequest& answered : m_answeredRequests)
        if (answered.address == sender) {
            answered.timeMs = nowMs;
            return;
        }
    m_answeredRequests.push_back(AnsweredRequest{sender, nowMs});
}

bool P2PPeer::WasAnsweredLately(const SystemAddress& sender, uint64_t nowMs) const
{
    for (const AnsweredRequest& answered : m_answeredRequests)
        if (answered.address == sender && nowMs >= answered.timeMs && nowMs - answered.timeMs <= kAnsweredRequestMs)
            return true;
    return false;
}

unsigned P2PPeer::CountUnverifiedFrom(const SystemAddress& sender) const
{
    unsigned count = 0;
    for (const RemoteSystem* remote : m_activeSystems) {
        SystemAddress samePort = remote->systemAddress;
        samePort.SetPort(sender.GetPort());
        if (remote->state == RemoteSystemState::UnverifiedSender && samePort == sender)
            ++count;
    }
    return count;
}

RemoteSystem* P2PPeer::OldestUnverifiedFrom(const SystemAddress& sender) const
{
    RemoteSystem* oldest = nullptr;
    for (RemoteSystem* remote : m_activeSystems) {
        SystemAddress samePort = remote->systemAddress;
        samePort.SetPort(sender.GetPort());
        if (remote->state == RemoteSystemState::UnverifiedSender && samePort == sender &&
            (oldest == nullptr || remote->connectionTime < oldest->connectionTime))
            oldest = remote;
    }
    return oldest;
}

void P2PPeer::HandleOpenReply(const uint8_t* data, unsigned length, const SystemAddress& sender,
                              PlatformSocket* socket)
{
    BitStream in(data, length, false);
    in.IgnoreBits(8 * 17);
    uint64_t guid = 0;
    uint8_t security = 0;
    uint32_t cookie = 0;
    uint16_t mtu = 0;
    if (!in.ReadU64(guid) || !in.ReadU8(security))
        return;
    if (security != 0 && !in.ReadU32(cookie))
        return;
    if (!in.ReadU16(mtu))
        return;

    SystemAddress target;
    bool found = false;
    {
        std::lock_guard lock(m_connectionLock);
        for (const RequestedConnection& rc : m_requestedConnections) {
            if (rc.target == sender) {
                target = rc.target;
                found = true;
                break;
            }
        }
    }
    if (!found)
        return;
    BitStream out;
    out.WriteU8(ID_OPEN_CONFIRM);
    out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
    if (security != 0) {
        out.WriteU32(cookie);
        out.WriteU8(0);
    }
    target.Serialize(out);
    out.WriteU16(static_cast<uint16_t>(ClampRemoteMtu(mtu)));
    out.WriteU64(m_myGuid.g);
    SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
}

void P2PPeer::HandleOpenConfirm(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                PlatformSocket* socket)
{
    BitStream in(data, length, false);
    in.IgnoreBits(8 * 17);
    SystemAddress boundTo;
    uint16_t mtu = 0;
    P2PNetGUID guid;
    if (!boundTo.Deserialize(in) || !in.ReadU16(mtu) || !in.ReadU64(guid.g))
        return;

    const uint64_t now = NowMillis();
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* byAddress = FindRemote(sender, true);
    RemoteSystem* byGuid = FindRemote(guid, true);

    auto answerAccepted = [&](const RemoteSystem* remote) {
        BitStream out;
        out.WriteU8(ID_OPEN_CONFIRM_REPLY);
        out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
        out.WriteU64(m_myGuid.g);
        sender.Serialize(out);
        out.WriteU16(static_cast<uint16_t>(remote->mtu));
        out.WriteU64(now);
        out.WriteBit(false);  // security flag
        SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
    };
    auto answerRefusal = [&](uint8_t id) {
        BitStream out;
        out.WriteU8(id);
        out.WriteBytesAligned(kOfflineMarker, sizeof kOfflineMarker);
        out.WriteU64(m_myGuid.g);
        SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), sender);
    };

    if (byAddress != nullptr && byAddress == byGuid && IsClosingState(byAddress->state)) {
        // The remote opens a new link while ours to it is still closing: it has dropped its end
        // of the old one, which will never finish closing here. The old slot goes now, with the
        // notice it would have given.
        const RemoteSystemState old = byAddress->state;
        if (old == RemoteSystemState::DisconnectAsap || old == RemoteSystemState::DisconnectOnNoAck)
            PushOneBytePacket(ID_PEER_CLOSED, byAddress->systemAddress, byAddress->guid);
        RemoveSlot(byAddress);
        byAddress = nullptr;
        byGuid = nullptr;
    }
    if (byAddress != nullptr || byGuid != nullptr) {
        if (byAddress == byGuid && byAddress->state == RemoteSystemState::UnverifiedSender)
            answerAccepted(byAddress);
        else
            answerRefusal(ID_ALREADY_JOINED);
        return;
    }
    // A confirmation takes a slot only from an address whose open request was just answered, and
    // one IP address holds only a few slots that still wait for their connection request: forged
    // or replayed confirmations cannot fill the table. At that limit the slot that has waited
    // longest makes room: a peer that shares its IP address with a flood (behind one NAT, or on
    // the loopback) sends its connection request within a round trip of this answer, while a
    // flood's slots only wait, so the newcomer is let in instead of refused for as long as the
    // flood goes on.
    if (!WasAnsweredLately(sender, now))
        return;
    if (CountUnverifiedFrom(sender) >= kUnverifiedPerAddress)
        if (RemoteSystem* oldest = OldestUnverifiedFrom(sender))
            RemoveSlot(oldest);
    if (CountIncomingConnections() >= m_maximumIncomingConnections.load()) {
        answerRefusal(ID_NO_FREE_SLOTS);
        return;
    }
    bool tooRecent = false;
    RemoteSystem* remote = TakeSlot(sender, guid, ClampRemoteMtu(mtu), socket, &tooRecent, now);
    if (tooRecent) {
        answerRefusal(ID_JOINED_TOO_RECENTLY);
        return;
    }
    if (remote == nullptr) {
        // Every slot is busy with outgoing or unfinished connections: accepting here would leave
        // the requester's 9 with no slot to land in.
        answerRefusal(ID_NO_FREE_SLOTS);
        return;
    }
    answerAccepted(remote);
}

void P2PPeer::HandleOpenConfirmReply(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                     PlatformSocket* socket)
{
    BitStream in(data, length, false);
    in.IgnoreBits(8 * 17);
    P2PNetGUID guid;
    SystemAddress ourAddress;
    uint16_t mtu = 0;
    uint64_t remoteTime = 0;
    bool security = false;
    if (!in.ReadU64(guid.g) || !ourAddress.Deserialize(in) || !in.ReadU16(mtu) ||
        !in.ReadU64(remoteTime) || !in.ReadBit(security))
        return;

    RequestedConnection rc;
    bool found = false;
    {
        std::lock_guard lock(m_connectionLock);
        for (const RequestedConnection& queued : m_requestedConnections) {
            if (queued.target == sender) {
                rc = queued;
                found = true;
                break;
            }
        }
    }
    if (!found)
        return;

    const uint64_t now = NowMillis();
    CriticalSectionLock table(m_tableLock);
    RemoteSystem* remote = FindRemote(sender, true);
    if (remote == nullptr) {
        bool tooRecent = false;
        remote = TakeSlot(sender, guid, ClampRemoteMtu(mtu), socket, &tooRecent, now);
    }
    // The request leaves its list only now that the slot exists (or cannot be had), so that a
    // Connect made in between finds one or the other and never starts a second attempt.
    {
        std::lock_guard lock(m_connectionLock);
        for (auto it = m_requestedConnections.begin(); it != m_requestedConnections.end(); ++it) {
            if (it->target == sender) {
                m_requestedConnections.erase(it);
                break;
            }
        }
    }
    if (remote == nullptr) {
        PushOneBytePacket(ID_JOIN_FAILED, sender, guid);
        return;
    }
    remote->guid = guid;
    remote->weInitiatedTheConnection = true;
    remote->state = RemoteSystemState::RequestedConnection;
    if (rc.timeoutMs != 0) {
        remote->timeoutMs = rc.timeoutMs;
        remote->reliabilityLayer.SetTimeout(rc.timeoutMs);
    }
    remote->remoteTimeBase = remoteTime;

    BitStream out;
    out.WriteU8(ID_JOIN_REQUEST);
    out.WriteU64(m_myGuid.g);
    out.WriteU64(now);
    out.WriteU8(0);  // no security
    if (!rc.data.empty())
        out.WriteBytes(rc.data.data(), static_cast<uint32_t>(rc.data.size()));
    SendImmediate(out.GetData(), out.GetNumberOfBitsUsed(), SendPriority::Immediate,
                  ReliabilityKind::Reliable, 0, PeerTarget(sender), false, 0, NowMicros());
}

void P2PPeer::HandleRefusal(const uint8_t* data, unsigned length, const SystemAddress& sender)
{
    bool found = false;
    {
        std::lock_guard lock(m_connectionLock);
        for (auto it = m_requestedConnections.begin(); it != m_requestedConnections.end(); ++it) {
            if (it->target == sender && it->action == 1) {
                m_requestedConnections.erase(it);
                found = true;
                break;
            }
        }
    }
    if (!found)
        return;
    const unsigned guidOffset = data[0] == ID_PROTOCOL_MISMATCH ? 18 : 17;
    P2PNetGUID guid;
    if (length >= guidOffset + 8)
        guid.g = ReadU64At(data, guidOffset);
    PushOneBytePacket(data[0], sender, guid);
}

bool P2PPeer::SendOpenRequest(RequestedConnection& rc, uint64_t nowMs, std::vector<SystemAddress>& failed)
{
    if (rc.requestsMade >= rc.attemptCount + 1 || rc.target.IsUnassigned()) {
        if (!rc.target.IsUnassigned() && rc.action == 1)
            failed.push_back(rc.target);
        return false;
    }
    unsigned mtuIndex = 0;
    const unsigned mtu = MtuForRequest(rc.requestsMade, rc.attemptCount, &mtuIndex);
    ++rc.requestsMade;
    rc.nextRequestTime = nowMs + rc.intervalMs;

    BitStream out(mtu);
    out.WriteU8(ID_OPEN_REQUEST);
    out.WriteBytesAligned(kOfflineMarker, 8);
    uint8_t token[8];
    ComputeHandshakeToken(m_myGuid.g, token);
    out.WriteBytes(token, 8);
    out.WriteU8(kPeerProtocolVersion);
    out.WriteU64(m_myGuid.g);
    out.PadToByteLength(mtu - 36);

    PlatformSocket* socket = rc.socket != nullptr ? rc.socket : SocketAt(rc.socketIndex);
    if (socket == nullptr)
        return false;
    const uint64_t before = NowMillis();
    const int sent = SendRaw(socket, out.GetData(), out.GetNumberOfBytesUsed(), rc.target, 0,
                             WantsDontFragment(socket));
    const unsigned perMtu = std::max(1u, rc.attemptCount / 3);
    if (sent == static_cast<int>(platform::NetError::MessageTooLong)) {
        rc.requestsMade = perMtu * (mtuIndex + 1);
        rc.nextRequestTime = nowMs;
    } else if (NowMillis() - before > 100) {
        const unsigned twoThirds = perMtu * 2;
        if (twoThirds > rc.requestsMade) {
            rc.requestsMade = twoThirds;
            rc.nextRequestTime = nowMs;
        } else {
            rc.requestsMade = rc.attemptCount + 1;
        }
    }
    return true;
}

} // namespace P2PNet
