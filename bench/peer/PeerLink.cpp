#include "PeerLink.h"

#include "MessageIdentifiers.h"
#include "P2PPeerTestHooks.h"

#include <cstdio>

namespace bench {
namespace {

using namespace P2PNet;

// First byte of every benchmark message: ids of 27 and above reach the application unchanged
// (27 is the time-stamp prefix).
constexpr uint8_t kBenchMessage = 200;

bool startOnLoopback(P2PPeer& peer)
{
    SocketSpec spec;
    std::snprintf(spec.host, sizeof spec.host, "127.0.0.1");
    spec.family = kWireFamilyIPv4;
    if (peer.Start(2, &spec, 1, -99999) != StartResult::Started)
        return false;
    peer.SetIncomingLimit(1);
    return true;
}

// Polls Receive until a packet with id arrives or the deadline passes; releases what it reads.
bool waitForId(P2PPeer& peer, uint8_t id, P2PNetGUID* guid, uint64_t deadlineNs)
{
    while (nowNanos() < deadlineNs) {
        Packet* packet = peer.Receive();
        if (!packet)
            continue;
        const bool match = packet->length > 0 && static_cast<uint8_t>(packet->data[0]) == id;
        if (match && guid)
            *guid = packet->guid;
        peer.ReleasePacket(packet);
        if (match)
            return true;
    }
    return false;
}

} // namespace

PeerLink::PeerLink() : m_sender(std::make_unique<P2PPeer>()), m_receiver(std::make_unique<P2PPeer>()) {}

PeerLink::~PeerLink()
{
    m_sender->Stop(0);
    m_receiver->Stop(0);
}

std::unique_ptr<PeerLink> PeerLink::open(double lossRate, std::string& error)
{
    std::unique_ptr<PeerLink> link(new PeerLink);
    if (!startOnLoopback(*link->m_sender) || !startOnLoopback(*link->m_receiver)) {
        error = "peer did not start";
        return nullptr;
    }
    const uint16_t port = link->m_receiver->GetBoundAddress(0).GetPort();
    if (link->m_sender->ConnectByHostText("127.0.0.1", port, nullptr, 0) != ConnectResult::AttemptStarted) {
        error = "connect refused";
        return nullptr;
    }
    const uint64_t deadline = nowNanos() + 10'000'000'000ull;
    if (!waitForId(*link->m_sender, ID_JOIN_ACCEPTED, &link->m_receiverGuid, deadline) ||
        !waitForId(*link->m_receiver, ID_NEW_INCOMING, nullptr, deadline)) {
        error = "peers did not connect";
        return nullptr;
    }
    if (lossRate > 0) {
        P2PPeerTestHooks::SetSendLoss(*link->m_sender, lossRate, 0x5eed);
        P2PPeerTestHooks::SetSendLoss(*link->m_receiver, lossRate, 0xbeef);
    }
    return link;
}

bool PeerLink::send(const uint8_t* data, std::size_t length)
{
    static const char kId = static_cast<char>(kBenchMessage);
    const char* parts[2] = {&kId, reinterpret_cast<const char*>(data)};
    const int lengths[2] = {1, static_cast<int>(length)};
    return m_sender->SendGathered(parts, lengths, 2, SendPriority::Immediate, ReliabilityKind::ReliableOrdered, 0,
                                  PeerTarget(m_receiverGuid), false) != 0;
}

void PeerLink::serviceSender(int waitMs)
{
    // Receive waits up to 10 ms when nothing is queued, so only ask when something is.
    while (m_sender->PendingPacketCount() > 0) {
        if (Packet* packet = m_sender->Receive())
            m_sender->ReleasePacket(packet);
        else
            break;
    }
    if (waitMs > 0)
        waitForProgress(waitMs);
}

void PeerLink::serviceReceiver(int, const MessageSink& sink)
{
    Packet* packet = m_receiver->Receive();
    while (packet) {
        if (packet->length > 0 && static_cast<uint8_t>(packet->data[0]) == kBenchMessage)
            sink(reinterpret_cast<const uint8_t*>(packet->data) + 1, packet->length - 1);
        m_receiver->ReleasePacket(packet);
        packet = m_receiver->PendingPacketCount() > 0 ? m_receiver->Receive() : nullptr;
    }
}

} // namespace bench
