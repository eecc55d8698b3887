// The session client's use of the UDP peer and its plug-ins: start and stop, and every send.
#include "P2PClient.h"

#include "HolePunchClient.h"
#include "NatTypeDetectionClient.h"
#include "P2PPeerInterface.h"
#include "PeerUtils.h"
#include "PunchDebugPrinter.h"
#include "RelayClient.h"

#include <cinttypes>
#include <cstring>

// Hands the relay coordinator's answers to the client.
class RelayResultAdapter final : public P2PNet::RelayResultHandler {
public:
    explicit RelayResultAdapter(P2PClient& client) : m_client(client) {}

    void OnRelayReady(const char* proxyText, uint16_t proxyPort, const P2PNet::SystemAddress&,
                      const P2PNet::SystemAddress&, const P2PNet::P2PNetGUID& targetGuid,
                      P2PNet::RelayClient*) override
    {
        m_client.OnRelayReady(proxyText, proxyPort, targetGuid);
    }
    void OnRelayNotice(const char* proxyText, uint16_t proxyPort, const P2PNet::SystemAddress&,
                       const P2PNet::SystemAddress&, const P2PNet::P2PNetGUID& targetGuid,
                       P2PNet::RelayClient*) override
    {
        m_client.OnRelayNotice(proxyText, proxyPort, targetGuid);
    }
    void OnRelayFailed(P2PNet::RelayFailure, const P2PNet::SystemAddress&, const P2PNet::SystemAddress&,
                       const P2PNet::P2PNetGUID& targetGuid, P2PNet::RelayClient*) override
    {
        m_client.OnRelayFailed(targetGuid);
    }
    // A forwarding for this pair already in progress is taken as granted.
    void OnRelayPending(const char* proxyText, uint16_t proxyPort, const P2PNet::SystemAddress&,
                        const P2PNet::SystemAddress&, const P2PNet::P2PNetGUID& targetGuid,
                        P2PNet::RelayClient*) override
    {
        m_client.OnRelayReady(proxyText, proxyPort, targetGuid);
    }

private:
    P2PClient& m_client;
};

namespace {

P2PNet::SendPriority priorityOf(int priority)
{
    return static_cast<P2PNet::SendPriority>(priority);
}

P2PNet::ReliabilityKind reliabilityOf(int reliability)
{
    return static_cast<P2PNet::ReliabilityKind>(reliability);
}

} // namespace

// Both constructor and destructor of the unique_ptr members need the complete plug-in types.
P2PClient::P2PClient()
    : m_localAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
    , m_wanAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
{
    for (int i = 0; i < kServerCount; ++i)
        m_servers[static_cast<std::size_t>(i)].index = i;
    m_lastPeriod.store(nowMs() - 1000);
}

P2PClient::~P2PClient()
{
    Shutdown();
}

uint64_t P2PClient::nowMs() const
{
    return P2PNet::NowMillis();
}

int P2PClient::startPeer()
{
    auto peer = makePeer();
    P2PNet::SocketSpec spec;
    spec.port = 0;
    spec.family = P2PNet::kWireFamilyIPv6;
    if (peer->Start(128, &spec, 1, -99999) != P2PNet::StartResult::Started) {
        spec.family = P2PNet::kWireFamilyIPv4;
        if (peer->Start(128, &spec, 1, -99999) != P2PNet::StartResult::Started)
            return -21;
    }
    peer->SetIncomingLimit(1024);
    peer->SetLinkTimeout(m_linkTimeoutMs.load(), P2PNet::UNASSIGNED_SYSTEM_ADDRESS);
    m_peer = std::move(peer);
    m_peerRunning.store(true);

    bool needsId;
    {
        std::lock_guard<std::mutex> lock(m_loginMutex);
        needsId = m_ownId.empty();
        if (needsId) {
            m_ownId = m_peer->GetOwnGuid().ToString();
            m_password = "604218";
        }
    }
    if (needsId)
        setOfflineReply();
    else
        setOfflineReply(); // an id set before the peer existed reaches the peer now

    m_relayAdapter = std::make_unique<RelayResultAdapter>(*this);
    auto relay = std::make_unique<P2PNet::RelayClient>();
    m_relayClient = relay.get();
    m_peer->AddPlugin(relay.get());
    relay->SetResultHandler(m_relayAdapter.get());
    m_plugins.push_back(std::move(relay));
    auto printer = std::make_shared<P2PNet::PunchDebugPrinter>();
    m_punchDebug = printer;
    auto punch = std::make_unique<P2PNet::HolePunchClient>();
    punch->SetDebugSink(printer.get());
    m_peer->AddPlugin(punch.get());
    m_plugins.push_back(std::move(punch));
    auto natType = std::make_unique<P2PNet::NatTypeDetectionClient>();
    m_peer->AddPlugin(natType.get());
    m_plugins.push_back(std::move(natType));
    return 0;
}

void P2PClient::stopPeer()
{
    if (!m_peer)
        return;
    if (m_relayClient)
        m_relayClient->SetResultHandler(nullptr);
    // Detached in the order punch-through, NAT type detection, relay client.
    P2PNet::PeerPlugin* relay = m_relayClient;
    for (const auto& plugin : m_plugins)
        if (plugin.get() != relay)
            m_peer->RemovePlugin(plugin.get());
    if (relay)
        m_peer->RemovePlugin(relay);
    m_peer->Stop(800, 0, P2PNet::SendPriority::Low);
    m_peer.reset();
    m_relayClient = nullptr;
    m_plugins.clear();
    m_punchDebug.reset();
    m_relayAdapter.reset();
}

void P2PClient::SetLinkTimeout(uint32_t timeoutMs)
{
    m_linkTimeoutMs.store(timeoutMs);
    ApiGateGuard guard(m_gate);
    if (m_peerRunning.load())
        m_peer->SetLinkTimeout(timeoutMs, P2PNet::UNASSIGNED_SYSTEM_ADDRESS);
}

bool P2PClient::PeerRunning() const
{
    return m_peerRunning.load();
}

P2PNet::P2PNetGUID P2PClient::OwnGuid() const
{
    ApiGateGuard guard(m_gate);
    return m_peerRunning.load() ? m_peer->GetOwnGuid() : P2PNet::UNASSIGNED_P2PNET_GUID;
}

P2PNet::SystemAddress P2PClient::BoundAddress() const
{
    ApiGateGuard guard(m_gate);
    return m_peerRunning.load() ? m_peer->GetBoundAddress(0) : P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
}

bool P2PClient::socketIsIpv6() const
{
    return BoundAddress().IsIPv6();
}

P2PNet::SystemAddress P2PClient::fitToSocket(const P2PNet::SystemAddress& address) const
{
    P2PNet::SystemAddress fitted = address;
    if (m_peerRunning.load() && isAssigned(fitted))
        fitted.MatchSocketFamily(m_peer->GetBoundAddress(0).GetFamily());
    return fitted;
}

void P2PClient::setOfflineReply()
{
    ByteWriter reply;
    reply.u32(kIdentityMarker);
    reply.string(OwnId());
    if (m_peerRunning.load())
        m_peer->SetOfflineReply(reinterpret_cast<const char*>(reply.data().data()),
                                static_cast<unsigned>(reply.data().size()));
}

uint32_t P2PClient::sendDataToGuid(const uint8_t header[2], const uint8_t* data, int length, int priority,
                                   int orderingChannel, const P2PNet::P2PNetGUID& guid, uint32_t receipt)
{
    if (m_tapSet.load(std::memory_order_relaxed)) {
        OutgoingMessage out;
        out.kind = OutgoingMessage::Kind::ToGuid;
        out.bytes.reserve(static_cast<std::size_t>(length) + 2);
        out.bytes.assign(header, header + 2);
        out.bytes.insert(out.bytes.end(), data, data + length);
        out.guid = guid;
        out.priority = priority;
        out.reliability = kReliableOrderedWithReceipt;
        out.orderingChannel = orderingChannel;
        out.receipt = receipt;
        report(out);
    }
    if (!m_peerRunning.load() || guid == P2PNet::UNASSIGNED_P2PNET_GUID)
        return 0;
    const char* parts[2] = {reinterpret_cast<const char*>(header), reinterpret_cast<const char*>(data)};
    const int lengths[2] = {2, length};
    return m_peer->SendGathered(parts, lengths, 2, priorityOf(priority), reliabilityOf(kReliableOrderedWithReceipt),
                                static_cast<uint8_t>(orderingChannel), P2PNet::PeerTarget(guid), false, receipt);
}

uint32_t P2PClient::sendToGuid(const ByteWriter& message, int priority, int reliability, int orderingChannel,
                               const P2PNet::P2PNetGUID& guid, uint32_t receipt)
{
    if (m_tapSet.load(std::memory_order_relaxed)) {
        OutgoingMessage out;
        out.kind = OutgoingMessage::Kind::ToGuid;
        out.bytes = message.data();
        out.guid = guid;
        out.priority = priority;
        out.reliability = reliability;
        out.orderingChannel = orderingChannel;
        out.receipt = receipt;
        report(out);
    }
    if (!m_peerRunning.load() || guid == P2PNet::UNASSIGNED_P2PNET_GUID)
        return 0;
    return m_peer->SendBytes(reinterpret_cast<const char*>(message.data().data()),
                             static_cast<int>(message.data().size()), priorityOf(priority),
                             reliabilityOf(reliability), static_cast<uint8_t>(orderingChannel),
                             P2PNet::PeerTarget(guid), false, receipt);
}

uint32_t P2PClient::sendToAddress(const ByteWriter& message, int priority, int reliability, int orderingChannel,
                                  const P2PNet::SystemAddress& address)
{
    if (m_tapSet.load(std::memory_order_relaxed)) {
        OutgoingMessage out;
        out.kind = OutgoingMessage::Kind::ToAddress;
        out.bytes = message.data();
        out.address = address;
        out.priority = priority;
        out.reliability = reliability;
        out.orderingChannel = orderingChannel;
        report(out);
    }
    if (!m_peerRunning.load() || !isAssigned(address))
        return 0;
    return m_peer->SendBytes(reinterpret_cast<const char*>(message.data().data()),
                             static_cast<int>(message.data().size()), priorityOf(priority),
                             reliabilityOf(reliability), static_cast<uint8_t>(orderingChannel),
                             P2PNet::PeerTarget(fitToSocket(address)), false, 0);
}

void P2PClient::sendRaw(const ByteWriter& message, const P2PNet::SystemAddress& address)
{
    OutgoingMessage out;
    out.kind = OutgoingMessage::Kind::Raw;
    out.bytes = message.data();
    out.address = address;
    report(out);
    if (m_peerRunning.load() && isAssigned(address))
        m_peer->SendRawTo(fitToSocket(address), reinterpret_cast<const char*>(message.data().data()),
                          static_cast<int>(message.data().size()), 0);
}

void P2PClient::pingHost(const std::string& host, uint16_t port, bool onlyIfAccepting)
{
    OutgoingMessage out;
    out.kind = OutgoingMessage::Kind::Ping;
    out.host = host;
    out.port = port;
    report(out);
    if (m_peerRunning.load())
        m_peer->PingHost(host.c_str(), port, onlyIfAccepting, 0);
}

void P2PClient::connectTo(const P2PNet::SystemAddress& address, bool withServerString)
{
    OutgoingMessage out;
    out.kind = OutgoingMessage::Kind::Connect;
    out.address = address;
    report(out);
    if (!m_peerRunning.load() || !isAssigned(address))
        return;
    std::string data;
    if (withServerString) {
        std::lock_guard<std::mutex> lock(m_loginMutex);
        data = m_serverString;
    }
    m_peer->Connect(fitToSocket(address), data.empty() ? nullptr : data.c_str(), static_cast<int>(data.size()),
                    nullptr, 0, 12, 500, 0);
}

void P2PClient::connectToHost(const std::string& host, uint16_t port)
{
    OutgoingMessage out;
    out.kind = OutgoingMessage::Kind::Connect;
    out.host = host;
    out.port = port;
    report(out);
    if (m_peerRunning.load())
        m_peer->ConnectByHostText(host.c_str(), port, nullptr, 0, nullptr, 0, 12, 500, 0);
}

uint32_t P2PClient::takeReceiptNumber()
{
    if (m_peerRunning.load())
        return m_peer->TakeReceiptNumber();
    // Without a peer nothing is sent; a number is still needed to file the write.
    static std::atomic<uint32_t> offline{1};
    return offline.fetch_add(1);
}

void P2PClient::dropConnection(const P2PNet::P2PNetGUID& guid)
{
    if (m_peerRunning.load() && guid != P2PNet::UNASSIGNED_P2PNET_GUID)
        m_peer->DropConnection(P2PNet::PeerTarget(guid), true, 0, P2PNet::SendPriority::Low);
}

void P2PClient::holdLink(const P2PNet::PeerTarget& link, bool hold)
{
    if (m_peerRunning.load() && !link.IsUndefined())
        m_peer->HoldIncoming(link, hold);
}

int P2PClient::linkState(const P2PNet::SystemAddress& address, const P2PNet::P2PNetGUID& guid)
{
    if (!m_peerRunning.load())
        return static_cast<int>(P2PNet::LinkState::NotConnected);
    P2PNet::PeerTarget target(guid, isAssigned(address) ? fitToSocket(address) : address);
    if (target.IsUndefined())
        return static_cast<int>(P2PNet::LinkState::NotConnected);
    return static_cast<int>(m_peer->QueryLinkState(target));
}

P2PNet::SystemAddress P2PClient::externalAddressFor(const P2PNet::SystemAddress& address)
{
    if (!m_peerRunning.load())
        return P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    return m_peer->GetExternalAddress(isAssigned(address) ? fitToSocket(address) : address);
}

P2PNet::SystemAddress P2PClient::addressOfGuid(const P2PNet::P2PNetGUID& guid)
{
    if (!m_peerRunning.load())
        return P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    return m_peer->GetAddressOfGuid(guid);
}

void P2PClient::receiveLoop()
{
    while (m_receiveRunning.load()) {
        P2PNet::Packet* packet = m_peer->Receive();
        if (!packet)
            continue;
        IncomingMessage message;
        message.data = packet->data;
        message.length = packet->length;
        message.address = packet->systemAddress;
        message.guid = packet->guid;
        message.local = packet->wasGeneratedLocally;
        try {
            OnMessage(message);
        } catch (const std::exception& error) {
            P2PNet::Log(P2PNet::LogLevel::Error, "message %u dropped: %s", message.length ? message.data[0] : 0u,
                        error.what());
        }
        m_peer->ReleasePacket(packet);
    }
}

void P2PClient::RequestRelay(const P2PNet::P2PNetGUID& target)
{
    P2PNet::SystemAddress coordinator = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    {
        ApiGateGuard guard(m_gate);
        const auto session = findByGuid(target);
        if (!session)
            return;
        const int32_t state = session->state();
        if (state == kSessionConnected || state == kSessionInUse)
            return;
        {
            std::lock_guard<std::mutex> lock(session->m_mutex);
            session->m_relayRequestDeadline = nowMs() + kRelayRequestMs;
        }
        session->m_relayState.store(kRelayRequested);
        pickServer(*session, coordinator);
    }
    if (!isAssigned(coordinator))
        return;
    ApiGateGuard guard(m_gate);
    OutgoingMessage out;
    out.kind = OutgoingMessage::Kind::ToAddress;
    out.bytes = {92, 6};
    out.address = coordinator;
    out.guid = target;
    report(out);
    if (m_peerRunning.load() && m_relayClient)
        m_relayClient->RequestRelay(fitToSocket(coordinator), P2PNet::UNASSIGNED_SYSTEM_ADDRESS, target);
}

void P2PClient::loadLocalAddresses()
{
    if (m_peerRunning.load())
        m_peer->LoadLocalAddresses();
}

std::vector<std::string> P2PClient::localAddressTexts()
{
    std::vector<std::string> texts;
    if (!m_peerRunning.load())
        return texts;
    const unsigned count = m_peer->GetLocalAddressCount();
    for (unsigned i = 0; i < count; ++i) {
        const char* text = m_peer->GetLocalAddressText(i);
        if (text)
            texts.emplace_back(text, strnlen(text, 64));
    }
    return texts;
}
