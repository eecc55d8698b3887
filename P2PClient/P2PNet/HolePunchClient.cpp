#include "HolePunchClient.h"

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "P2PPeerInterface.h"
#include "PeerUtils.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace P2PNet {

namespace {

const char* FailureName(uint8_t id)
{
    switch (id) {
    case ID_PUNCH_TARGET_NOT_CONNECTED: return "ID_PUNCH_TARGET_NOT_CONNECTED";
    case ID_PUNCH_TARGET_UNRESPONSIVE: return "ID_PUNCH_TARGET_UNRESPONSIVE";
    case ID_PUNCH_TARGET_LOST: return "ID_PUNCH_TARGET_LOST";
    default: return "UNKNOWN";
    }
}

bool IsExternalProbingState(HolePunchClient::AttemptState state)
{
    using S = HolePunchClient::AttemptState;
    return state == S::PROBING_EXTERNAL_SAME_TO_SAME || state == S::PROBING_EXTERNAL_1024_TO_SAME ||
           state == S::PROBING_EXTERNAL_SAME_TO_1024 || state == S::PROBING_EXTERNAL_1024_TO_1024;
}

std::string GuidText(const P2PNetGUID& guid) { return guid.ToString(); }
std::string AddressText(const SystemAddress& address) { return address.ToString(true); }

// Bytes of the out-of-band header the peer puts in front of out-of-band data; the packet it hands
// us keeps only the id byte of it.
constexpr uint32_t kOutOfBandIdBytes = 1;

} // namespace

HolePunchClient::HolePunchClient() = default;

HolePunchClient::HolePunchClient(const PunchConfig& config) : m_config(config)
{
    if (m_config.maxInternalAddresses > kMaxInternalAddresses)
        m_config.maxInternalAddresses = kMaxInternalAddresses;
}

HolePunchClient::~HolePunchClient() = default;

void HolePunchClient::Print(const char* format, ...)
{
    if (m_debugSink == nullptr)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_debugSink->PrintPunchText(text);
}

bool HolePunchClient::RequestPunch(const P2PNetGUID& target, const SystemAddress& facilitator)
{
    return SendPunchRequest(target, facilitator);
}

bool HolePunchClient::SendPunchRequest(const P2PNetGUID& target, const SystemAddress& facilitator)
{
    if (m_peer == nullptr || target.IsUnassigned() || facilitator.IsUnassigned())
        return false;
    BitStream out;
    out.WriteU8(ID_PUNCH_REQUEST);
    out.WriteU64(target.g);
    Print("Starting ID_PUNCH_REQUEST to guid %s.", GuidText(target).c_str());
    return m_peer->Send(&out, SendPriority::High, ReliabilityKind::ReliableOrdered, 0,
                        PeerTarget(facilitator), false) != 0;
}

bool HolePunchClient::IsConnectedTo(const SystemAddress& address)
{
    if (m_peer == nullptr || address.IsUnassigned())
        return false;
    return m_peer->QueryLinkState(PeerTarget(address)) == LinkState::Connected;
}

int HolePunchClient::FindAttemptByGuid(const P2PNetGUID& guid) const
{
    for (std::size_t i = 0; i < m_attempts.size(); ++i)
        if (m_attempts[i].targetGuid == guid)
            return static_cast<int>(i);
    return -1;
}

int HolePunchClient::FindAttemptBySession(uint16_t sessionId, const P2PNetGUID& guid) const
{
    for (std::size_t i = 0; i < m_attempts.size(); ++i) {
        const Attempt& attempt = m_attempts[i];
        if (attempt.nextActionTimeMs != 0 && attempt.sessionId == sessionId && attempt.targetGuid == guid)
            return static_cast<int>(i);
    }
    return -1;
}

int HolePunchClient::FindFailedOnce(const P2PNetGUID& guid) const
{
    for (std::size_t i = 0; i < m_failedOnce.size(); ++i)
        if (m_failedOnce[i].targetGuid == guid)
            return static_cast<int>(i);
    return -1;
}

void HolePunchClient::SendPunchDatagram(const SystemAddress& to, uint8_t sub, uint16_t sessionId, uint16_t port)
{
    BitStream out;
    out.WriteU8(sub);
    out.WriteU16(sessionId);
    out.WriteU16(port);
    m_peer->SendRawTo(to, reinterpret_cast<const char*>(out.GetData()),
                      static_cast<int>(out.GetNumberOfBytesUsed()), 0);
}

void HolePunchClient::PushResult(uint8_t id, const SystemAddress& address, const P2PNetGUID& guid, bool weAreSender)
{
    if (m_peer == nullptr)
        return;
    Packet* packet = MakePacket(2);
    if (packet == nullptr)
        return;
    packet->data[0] = id;
    packet->data[1] = weAreSender ? 1 : 0;
    packet->systemAddress = address;
    packet->systemAddress.systemIndex = SystemAddress::kUnknownIndex;
    packet->guid = guid;
    packet->wasGeneratedLocally = true;
    m_peer->QueuePacket(packet, true);
}

// ---- Schedule ----------------------------------------------------------------------------------

void HolePunchClient::Tick()
{
    if (m_peer == nullptr || m_attempts.empty())
        return;
    const uint64_t now = NowMillis();
    for (std::size_t i = 0; i < m_attempts.size();) {
        Attempt& attempt = m_attempts[i];
        if (attempt.nextActionTimeMs != 0 && now >= attempt.nextActionTimeMs && !Step(attempt)) {
            m_attempts.erase(m_attempts.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

bool HolePunchClient::Step(Attempt& attempt)
{
    // Each wait is counted from when the action was due, not from now, so a late update does
    // not stretch the schedule.
    auto waitFor = [&attempt](uint64_t ms) { attempt.nextActionTimeMs += ms; };
    auto internalAssigned = [this, &attempt](int index) {
        return index < m_config.maxInternalAddresses && !attempt.targetInternal[index].IsUnassigned();
    };
    auto startExternal = [&attempt] {
        attempt.state = AttemptState::PROBING_EXTERNAL_SAME_TO_SAME;
        attempt.portIndex = 0;
        attempt.sendCount = 0;
        attempt.sentTtl = false;
    };

    switch (attempt.state) {
    case AttemptState::PROBING_INTERNAL:
        if (internalAssigned(attempt.portIndex)) {
            const SystemAddress& to = attempt.targetInternal[attempt.portIndex];
            SendPunchDatagram(to, kPunchUnidirectional, attempt.sessionId, to.GetPort());
            if (++attempt.sendCount >= m_config.sendsPerInternalAddress) {
                ++attempt.portIndex;
                attempt.sendCount = 0;
            }
        }
        if (internalAssigned(attempt.portIndex)) {
            waitFor(m_config.internalSendIntervalMs);
        } else if (m_config.waitAfterInternalMs > 0) {
            attempt.state = AttemptState::AWAITING_INTERNAL_ANSWER;
            waitFor(static_cast<uint64_t>(m_config.waitAfterInternalMs));
        } else {
            startExternal();
        }
        return true;

    case AttemptState::AWAITING_INTERNAL_ANSWER:
        startExternal();
        return true;

    case AttemptState::PROBING_EXTERNAL_SAME_TO_SAME:
    case AttemptState::PROBING_EXTERNAL_1024_TO_SAME:
    case AttemptState::PROBING_EXTERNAL_SAME_TO_1024:
    case AttemptState::PROBING_EXTERNAL_1024_TO_1024: {
        SystemAddress to = attempt.targetExternal;
        to.SetPort(static_cast<uint16_t>(attempt.targetExternal.GetPort() + attempt.portIndex));
        if (!attempt.sentTtl) {
            // A datagram that dies after two hops opens our own NAT's mapping towards the target
            // without reaching the target's NAT, which might otherwise ban the unexpected source.
            Print("Send with TTL 2 to %s", AddressText(to).c_str());
            m_peer->SendTtlProbe(to, 2, 0);
            attempt.sentTtl = true;
            waitFor(m_config.waitAfterTtlMs);
            return true;
        }
        SendPunchDatagram(to, kPunchUnidirectional, attempt.sessionId, to.GetPort());
        if (++attempt.sendCount < m_config.sendsPerExternalPort) {
            waitFor(m_config.externalSendIntervalMs);
            return true;
        }
        ++attempt.portIndex;
        attempt.sendCount = 0;
        attempt.sentTtl = false;
        if (attempt.portIndex > m_config.maxExternalPortOffset)
            attempt.state = AttemptState::AFTER_ALL_ATTEMPTS;
        waitFor(attempt.state == AttemptState::AFTER_ALL_ATTEMPTS ? m_config.waitAfterAllAttemptsMs
                                                                  : m_config.waitAfterPortMs);
        return true;
    }

    case AttemptState::PUNCHING_FIXED_PORT:
        SendPunchDatagram(attempt.targetExternal, kPunchBidirectional, attempt.sessionId,
                          attempt.targetExternal.GetPort());
        // Counted with >= : the count may start above the total when the switch came late in
        // the internal probing, and must still end.
        if (++attempt.sendCount >= attempt.fixedPortTotal) {
            Print("Likely unidirectional punch-through failure to guid %s, system address %s.",
                  GuidText(attempt.targetGuid).c_str(), AddressText(attempt.targetExternal).c_str());
            attempt.state = AttemptState::AFTER_ALL_ATTEMPTS;
            waitFor(m_config.waitAfterAllAttemptsMs);
        } else if (attempt.sendCount % m_config.sendsPerExternalPort == 0) {
            waitFor(m_config.waitAfterPortMs);
        } else {
            waitFor(m_config.externalSendIntervalMs);
        }
        return true;

    case AttemptState::AFTER_ALL_ATTEMPTS:
        FailAttempt(attempt);
        return false;
    }
    return true;
}

void HolePunchClient::FailAttempt(const Attempt& attempt)
{
    const std::string guid = GuidText(attempt.targetGuid);
    const std::string address = AddressText(attempt.targetExternal);
    const int failedBefore = FindFailedOnce(attempt.targetGuid);
    if (failedBefore >= 0) {
        Print("Failed punch-through twice. Returning failure to guid %s, system address %s to user.",
              guid.c_str(), address.c_str());
        // The record has served its purpose; kept, it would deny a later punch to this target
        // its retry.
        m_failedOnce.erase(m_failedOnce.begin() + failedBefore);
        PushResult(ID_PUNCH_FAILED, attempt.targetExternal, attempt.targetGuid, attempt.weAreSender);
        return;
    }
    if (!m_config.retryOnFailure) {
        Print("Failed punch-through once. Returning failure to guid %s, system address %s to user.",
              guid.c_str(), address.c_str());
        PushResult(ID_PUNCH_FAILED, attempt.targetExternal, attempt.targetGuid, attempt.weAreSender);
        return;
    }
    if (!IsConnectedTo(attempt.facilitator)) {
        Print("Not connected to facilitator, so cannot retry punch-through after first failure. "
              "Returning failure onj guid %s, system address %s to user.",
              guid.c_str(), address.c_str());
        PushResult(ID_PUNCH_FAILED, attempt.targetExternal, attempt.targetGuid, attempt.weAreSender);
        return;
    }
    Print("First punch-through failure on guid %s, system address %s. Reattempting.", guid.c_str(),
          address.c_str());
    m_failedOnce.push_back(FailedOnce{attempt.facilitator, attempt.targetGuid});
    SendPunchRequest(attempt.targetGuid, attempt.facilitator);
}

// ---- Messages ----------------------------------------------------------------------------------

PluginVerdict HolePunchClient::OfferMessage(Packet* packet)
{
    if (m_peer == nullptr || packet == nullptr || packet->data == nullptr || packet->length == 0)
        return kPluginContinue;

    switch (packet->data[0]) {
    case ID_TIME_PREFIX:
        if (packet->length > 9 && packet->data[9] == ID_PUNCH_CONNECT_AT_TIME) {
            OnConnectAtTime(packet);
            return kPluginConsumed;
        }
        return kPluginContinue;
    case ID_OUT_OF_BAND:
        return OnOutOfBand(packet);
    case ID_PUNCH_GET_RECENT_PORT:
        OnGetMostRecentPort(packet);
        return kPluginConsumed;
    case ID_PUNCH_TARGET_NOT_CONNECTED:
    case ID_PUNCH_TARGET_UNRESPONSIVE:
    case ID_PUNCH_TARGET_LOST:
        OnFacilitatorFailure(packet);
        return kPluginContinue;
    case ID_PUNCH_IN_PROGRESS:
        OnInProgress(packet);
        return kPluginContinue;
    case ID_PUNCH_FAILED:
    case ID_PUNCH_SUCCEEDED:
        // Only this client reports these; a remote system cannot fake them.
        return packet->wasGeneratedLocally ? kPluginContinue : kPluginConsumed;
    case ID_PUNCH_PORT_TEST:
        OnPortTest(packet);
        return kPluginConsumed;
    case ID_JOIN_ACCEPTED:
    case ID_ALREADY_JOINED:
    case ID_NEW_INCOMING:
        OnConnectedTo(packet->guid);
        return kPluginContinue;
    default:
        return kPluginContinue;
    }
}

void HolePunchClient::OnConnectAtTime(Packet* packet)
{
    BitStream in(packet->data, packet->length, false);
    uint8_t id = 0;
    uint64_t startTime = 0;
    Attempt attempt;
    uint8_t internalCount = 0;
    bool ok = in.ReadU8(id) && in.ReadU64(startTime) && in.ReadU8(id) && in.ReadU16(attempt.sessionId) &&
              attempt.targetExternal.Deserialize(in) && in.ReadU8(internalCount);
    for (int i = 0; ok && i < internalCount; ++i) {
        SystemAddress internal;
        ok = internal.Deserialize(in);
        if (ok && i < kMaxInternalAddresses)
            attempt.targetInternal[i] = internal;
    }
    ok = ok && attempt.targetGuid.Deserialize(in) && in.ReadBit(attempt.weAreSender);
    if (!ok || attempt.targetGuid.IsUnassigned()) {
        ++m_malformed;
        return;
    }

    attempt.targetExternal.MatchSocketFamily(m_peer->GetBoundAddress(0).GetFamily());
    if (m_peer->QueryLinkState(PeerTarget(attempt.targetGuid)) == LinkState::Connected)
        return;
    for (const Attempt& existing : m_attempts)
        if (existing.targetExternal == attempt.targetExternal || existing.targetGuid == attempt.targetGuid)
            return;

    if (m_config.maxInternalAddresses < 1)
        attempt.state = AttemptState::PROBING_EXTERNAL_SAME_TO_SAME;
    // The peer has already turned the facilitator's time into ours; 0 would mean "inactive".
    attempt.nextActionTimeMs = startTime != 0 ? startTime : NowMillis();
    m_attempts.push_back(attempt);
}

PluginVerdict HolePunchClient::OnOutOfBand(Packet* packet)
{
    if (packet->length < 2)
        return kPluginContinue;
    const uint8_t sub = packet->data[kOutOfBandIdBytes];
    switch (sub) {
    case kPunchUnidirectional:
    case kPunchBidirectional: {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(16);
        uint16_t sessionId = 0;
        uint16_t port = 0;
        if (!in.ReadU16(sessionId) || !in.ReadU16(port)) {
            ++m_malformed;
            return kPluginConsumed;
        }
        const int index = FindAttemptBySession(sessionId, packet->guid);
        if (index < 0)
            return kPluginContinue;
        if (sub == kPunchUnidirectional)
            OnUnidirectional(m_attempts[static_cast<std::size_t>(index)], packet);
        else
            OnBidirectional(static_cast<std::size_t>(index), packet, port);
        return kPluginConsumed;
    }
    case kPunchPortStride: {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(16);
        uint16_t first = 0;
        uint16_t second = 0;
        if (!in.ReadU16(first) || !in.ReadU16(second)) {
            ++m_malformed;
            return kPluginConsumed;
        }
        m_portStride = static_cast<uint16_t>(second - first);
        m_mostRecentExternalPort = second;
        m_strideState = StrideState::Known;
        Print("HAS_PORT_STRIDE %i. First external port %i. Second external port %i.", m_portStride, first, second);
        return kPluginConsumed;
    }
    default:
        return kPluginContinue;
    }
}

void HolePunchClient::OnUnidirectional(Attempt& attempt, const Packet* packet)
{
    const std::string guid = GuidText(packet->guid);
    const std::string address = AddressText(packet->systemAddress);
    if (attempt.state != AttemptState::PUNCHING_FIXED_PORT) {
        attempt.state = AttemptState::PUNCHING_FIXED_PORT;
        attempt.targetExternal = packet->systemAddress;
        attempt.targetExternal.systemIndex = SystemAddress::kUnknownIndex;
        attempt.sendCount += attempt.portIndex * m_config.sendsPerExternalPort;
        attempt.fixedPortTotal = m_config.sendsPerExternalPort * (m_config.maxExternalPortOffset + 1);
        Print("PUNCHING_FIXED_PORT: Received ID_PUNCH_UNIDIRECTIONAL from guid %s, system address %s.",
              guid.c_str(), address.c_str());
    } else {
        Print("Received ID_PUNCH_UNIDIRECTIONAL from guid %s, system address %s.", guid.c_str(), address.c_str());
    }
    SendPunchDatagram(packet->systemAddress, kPunchBidirectional, attempt.sessionId,
                      packet->systemAddress.GetPort());
}

void HolePunchClient::OnBidirectional(std::size_t attemptIndex, const Packet* packet, uint16_t port)
{
    Attempt& attempt = m_attempts[attemptIndex];
    // The port is our external port as the other side reached it.
    if (m_mostRecentExternalPort == 0) {
        m_mostRecentExternalPort = port;
        Print("ID_PUNCH_BIDIRECTIONAL mostRecentExternalPort first time set to %i", m_mostRecentExternalPort);
    } else if (IsExternalProbingState(attempt.state) && m_strideState == StrideState::Unknown) {
        m_portStride = static_cast<uint16_t>(port - m_mostRecentExternalPort);
        m_strideState = StrideState::Known;
        Print("ID_PUNCH_BIDIRECTIONAL: Estimated port stride from incoming connection at %i. "
              "ourExternalPort=%i mostRecentExternalPort=%i",
              m_portStride, port, m_mostRecentExternalPort);
        m_mostRecentExternalPort = port;
        Print("ID_PUNCH_BIDIRECTIONAL: New mostRecentExternalPort %i", m_mostRecentExternalPort);
    }

    SendPunchDatagram(packet->systemAddress, kPunchBidirectional, attempt.sessionId,
                      packet->systemAddress.GetPort());
    attempt.targetExternal = packet->systemAddress;
    attempt.targetExternal.systemIndex = SystemAddress::kUnknownIndex;
    PushResult(ID_PUNCH_SUCCEEDED, attempt.targetExternal, attempt.targetGuid, attempt.weAreSender);

    const std::string guid = GuidText(attempt.targetGuid);
    const std::string address = AddressText(attempt.targetExternal);
    const int failedBefore = FindFailedOnce(attempt.targetGuid);
    if (failedBefore >= 0) {
        m_failedOnce.erase(m_failedOnce.begin() + failedBefore);
        Print("Punch-through to guid %s, system address %s succeeded on 2nd attempt.", guid.c_str(), address.c_str());
    } else {
        Print("Punch-through to guid %s, system address %s succeeded on 1st attempt.", guid.c_str(), address.c_str());
    }
    m_attempts.erase(m_attempts.begin() + static_cast<std::ptrdiff_t>(attemptIndex));
}

void HolePunchClient::OnGetMostRecentPort(Packet* packet)
{
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    uint16_t sessionId = 0;
    if (!in.ReadU16(sessionId)) {
        ++m_malformed;
        return;
    }
    Attempt* attempt = nullptr;
    for (Attempt& candidate : m_attempts)
        if (candidate.sessionId == sessionId) {
            attempt = &candidate;
            break;
        }
    if (attempt == nullptr)
        return;

    m_mostRecentExternalPort = m_peer->GetExternalAddress(packet->systemAddress).GetPort();
    Print("OnGetMostRecentPort mostRecentExternalPort set to %i", m_mostRecentExternalPort);
    const uint16_t predicted = m_strideState == StrideState::Known
                                   ? static_cast<uint16_t>(m_mostRecentExternalPort + m_portStride)
                                   : m_mostRecentExternalPort;
    BitStream out;
    out.WriteU8(ID_PUNCH_GET_RECENT_PORT);
    out.WriteU16(sessionId);
    out.WriteU16(predicted);
    m_peer->Send(&out, SendPriority::High, ReliabilityKind::ReliableOrdered, 0, PeerTarget(packet->systemAddress), false);
    attempt->facilitator = packet->systemAddress;
    attempt->facilitator.systemIndex = SystemAddress::kUnknownIndex;
}

void HolePunchClient::OnFacilitatorFailure(Packet* packet)
{
    const uint8_t id = packet->data[0];
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    P2PNetGUID guid;
    uint16_t sessionId = 0;
    const bool withSession = id != ID_PUNCH_TARGET_NOT_CONNECTED;
    if (!guid.Deserialize(in) || (withSession && !in.ReadU16(sessionId))) {
        ++m_malformed;
        return;
    }

    const int failedBefore = FindFailedOnce(guid);
    if (failedBefore >= 0) {
        m_failedOnce.erase(m_failedOnce.begin() + failedBefore);
        Print("Punch-through retry to guid %s failed due to %s.", GuidText(guid).c_str(), FailureName(id));
    } else {
        Print("Punch-through attempt to guid %s failed due to %s.", GuidText(guid).c_str(), FailureName(id));
    }
    for (std::size_t i = 0; i < m_attempts.size(); ++i) {
        if (m_attempts[i].targetGuid == guid && (!withSession || m_attempts[i].sessionId == sessionId)) {
            m_attempts.erase(m_attempts.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
}

void HolePunchClient::OnInProgress(Packet* packet)
{
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    P2PNetGUID guid;
    if (!guid.Deserialize(in)) {
        ++m_malformed;
        return;
    }
    Print("Punch-through retry to guid %s failed due to ID_PUNCH_IN_PROGRESS. Returning failure.",
          GuidText(guid).c_str());
    // The retry was refused, so no attempt and no further message will come for it: report the
    // failure, or the application would wait for a result for ever.
    const int failedBefore = FindFailedOnce(guid);
    if (failedBefore >= 0) {
        m_failedOnce.erase(m_failedOnce.begin() + failedBefore);
        PushResult(ID_PUNCH_FAILED, UNASSIGNED_SYSTEM_ADDRESS, guid, true);
    }
}

void HolePunchClient::OnPortTest(Packet* packet)
{
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    uint8_t count = 0;
    if (!in.ReadU8(count)) {
        ++m_malformed;
        return;
    }
    if (count < 2) {
        m_strideState = StrideState::NotMeasurable;
        Print("INCAPABLE_PORT_STRIDE. My external ID is %s",
              AddressText(m_peer->GetExternalAddress(UNASSIGNED_SYSTEM_ADDRESS)).c_str());
    }
    const int family = m_peer->GetBoundAddress(0).GetFamily();
    for (int i = 0; i < count && i < kMaxInternalAddresses; ++i) {
        SystemAddress address;
        if (!address.Deserialize(in)) {
            ++m_malformed;
            return;
        }
        address.MatchSocketFamily(family);
        if (address.IsUnassigned())
            continue;
        BitStream out;
        out.WriteU8(kPunchPortReport);
        out.WriteU16(m_peer->GetExternalAddress(address).GetPort());
        m_peer->SendRawTo(address, reinterpret_cast<const char*>(out.GetData()),
                          static_cast<int>(out.GetNumberOfBytesUsed()), 0);
    }
}

void HolePunchClient::OnConnectedTo(const P2PNetGUID& guid)
{
    // A connection made some other way ends the punch to that system.
    const int index = FindAttemptByGuid(guid);
    if (index < 0)
        return;
    Attempt& attempt = m_attempts[static_cast<std::size_t>(index)];
    attempt.state = AttemptState::AFTER_ALL_ATTEMPTS;
    attempt.nextActionTimeMs = NowMillis();
}

// ---- Peer notices ------------------------------------------------------------------------------

void HolePunchClient::PeerStopping()
{
    m_attempts.clear();
    m_failedOnce.clear();
}

void HolePunchClient::LinkEnded(const SystemAddress& address, P2PNetGUID, int)
{
    // Without its facilitator no attempt can be retried and no failure message can arrive.
    for (std::size_t i = 0; i < m_attempts.size();) {
        const Attempt& attempt = m_attempts[i];
        if (!attempt.facilitator.IsUnassigned() && attempt.facilitator == address) {
            const int failedBefore = FindFailedOnce(attempt.targetGuid);
            if (failedBefore >= 0)
                m_failedOnce.erase(m_failedOnce.begin() + failedBefore);
            PushResult(ID_PUNCH_FAILED, attempt.targetExternal, attempt.targetGuid, attempt.weAreSender);
            m_attempts.erase(m_attempts.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    for (std::size_t i = 0; i < m_failedOnce.size();) {
        if (m_failedOnce[i].facilitator == address) {
            PushResult(ID_PUNCH_FAILED, UNASSIGNED_SYSTEM_ADDRESS, m_failedOnce[i].targetGuid, true);
            m_failedOnce.erase(m_failedOnce.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

void HolePunchClient::OnNewConnection(const SystemAddress& address, P2PNetGUID, bool)
{
    if (m_mostRecentExternalPort != 0 || m_peer == nullptr)
        return;
    const SystemAddress external = m_peer->GetExternalAddress(address);
    if (external.IsUnassigned())
        return;
    m_mostRecentExternalPort = external.GetPort();
    Print("OnNewConnection mostRecentExternalPort first time set to %i", m_mostRecentExternalPort);
}

} // namespace P2PNet
