#include "NatTypeDetectionClient.h"

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "P2PPeerInterface.h"
#include "PlatformSocket.h"

namespace P2PNet {

NatTypeDetectionClient::NatTypeDetectionClient() = default;

NatTypeDetectionClient::~NatTypeDetectionClient()
{
    // The test socket's receive thread calls back into this object; it must be gone first.
    EndTest();
}

bool NatTypeDetectionClient::StartDetection(const SystemAddress& server)
{
    if (m_peer == nullptr || !m_peer->IsRunning() || server.IsUnassigned())
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_stateLock);
    if (!m_server.IsUnassigned())
        return false;

    std::unique_ptr<PlatformSocket> socket = CreatePlatformSocket();
    BindRequest request;
    request.port = 0;
    request.addressFamily = m_peer->GetBoundAddress(0).IsIPv6() ? kWireFamilyIPv6 : kWireFamilyIPv4;
    request.eventHandler = this;
    if (socket == nullptr || socket->Bind(request) != static_cast<int>(BindResult::Bound) || !socket->StartReceiving())
        return false;

    BitStream out;
    out.WriteU8(ID_NAT_TYPE_TEST);
    out.WriteBit(true);
    out.WriteU16(socket->GetBoundAddress().GetPort());
    if (m_peer->Send(&out, SendPriority::High, ReliabilityKind::Reliable, 0, PeerTarget(server), false) == 0) {
        socket->StopReceiving();
        return false;
    }
    m_testSocket = std::move(socket);
    m_server = server;
    m_server.systemIndex = SystemAddress::kUnknownIndex;
    return true;
}

void NatTypeDetectionClient::EndDetection() { EndTest(); }

bool NatTypeDetectionClient::IsDetecting() const
{
    std::lock_guard<std::recursive_mutex> lock(m_stateLock);
    return !m_server.IsUnassigned();
}

SystemAddress NatTypeDetectionClient::GetTestSocketAddress() const
{
    std::lock_guard<std::recursive_mutex> lock(m_stateLock);
    return m_testSocket != nullptr ? m_testSocket->GetBoundAddress() : UNASSIGNED_SYSTEM_ADDRESS;
}

void NatTypeDetectionClient::EndTest()
{
    std::unique_ptr<PlatformSocket> socket;
    {
        std::lock_guard<std::recursive_mutex> lock(m_stateLock);
        m_server = UNASSIGNED_SYSTEM_ADDRESS;
        socket = std::move(m_testSocket);
    }
    if (socket != nullptr)
        socket->StopReceiving();
    socket.reset();
    std::lock_guard<std::mutex> queueLock(m_queueLock);
    m_received.clear();
}

void NatTypeDetectionClient::Tick()
{
    std::unique_lock<std::recursive_mutex> lock(m_stateLock);
    if (m_server.IsUnassigned())
        return;
    std::vector<std::unique_ptr<RecvBuffer>> received;
    {
        std::lock_guard<std::mutex> queueLock(m_queueLock);
        received.swap(m_received);
    }
    for (const std::unique_ptr<RecvBuffer>& buffer : received) {
        // Other traffic (the socket's own 4-byte self-test datagram among it) is not a verdict.
        if (buffer->byteCount == 1 && buffer->data[0] == 0) {
            Report(kNatTypeReachable);
            break;
        }
    }
}

PluginVerdict NatTypeDetectionClient::OfferMessage(Packet* packet)
{
    std::unique_lock<std::recursive_mutex> lock(m_stateLock);
    if (m_server.IsUnassigned() || m_peer == nullptr || packet == nullptr || packet->data == nullptr || packet->length == 0)
        return kPluginContinue;

    switch (packet->data[0]) {
    case ID_NAT_TYPE_TEST:
        ForwardTestRequest(packet);
        return kPluginConsumed;
    case ID_NAT_TYPE_RESULT:
        // Our own verdict packet goes to the application.
        if (packet->wasGeneratedLocally)
            return kPluginContinue;
        if (packet->length < 2) {
            ++m_malformed;
            return kPluginConsumed;
        }
        Report(packet->data[1]);
        return kPluginConsumed;
    case ID_OUT_OF_BAND:
        if (packet->length > 2 && (packet->data[1] == 2 || packet->data[1] == ID_NAT_TYPE_RESULT)) {
            Report(packet->data[2]);
            return kPluginConsumed;
        }
        return kPluginContinue;
    default:
        return kPluginContinue;
    }
}

void NatTypeDetectionClient::ForwardTestRequest(Packet* packet)
{
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    SystemAddress a;
    SystemAddress b;
    if (!a.Deserialize(in) || !b.Deserialize(in)) {
        ++m_malformed;
        return;
    }
    const int family = m_peer->GetBoundAddress(0).GetFamily();
    a.MatchSocketFamily(family);
    b.MatchSocketFamily(family);
    BitStream out;
    out.WriteU8(ID_NAT_TYPE_TEST);
    out.WriteU8(kNatTypeTestForward);
    b.Serialize(out);
    m_peer->SendRawTo(a, reinterpret_cast<const char*>(out.GetData()), static_cast<int>(out.GetNumberOfBytesUsed()), 0);
}

void NatTypeDetectionClient::Report(uint8_t natType)
{
    const SystemAddress server = m_server;
    if (Packet* packet = MakePacket(3)) {
        packet->data[0] = ID_NAT_TYPE_RESULT;
        packet->data[1] = natType;
        packet->data[2] = 0;
        packet->systemAddress = server;
        packet->systemAddress.systemIndex = SystemAddress::kUnknownIndex;
        packet->guid = m_peer->GetGuidOfAddress(server);
        packet->wasGeneratedLocally = true;
        m_peer->QueuePacket(packet, true);
    }
    if (natType != kNatTypeNoEndNotice) {
        BitStream out;
        out.WriteU8(ID_NAT_TYPE_TEST);
        out.WriteBit(false);
        m_peer->Send(&out, SendPriority::High, ReliabilityKind::Reliable, 0, PeerTarget(server), false);
    }
    EndTest();
}

void NatTypeDetectionClient::PeerStopping() { EndTest(); }

void NatTypeDetectionClient::LinkEnded(const SystemAddress& address, P2PNetGUID, int)
{
    bool ours = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_stateLock);
        ours = !m_server.IsUnassigned() && m_server == address;
    }
    if (ours)
        EndTest();
}

void NatTypeDetectionClient::OnDatagram(RecvBuffer* buffer)
{
    std::unique_ptr<RecvBuffer> owned(buffer);
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_received.push_back(std::move(owned));
}

void NatTypeDetectionClient::ReturnBuffer(RecvBuffer* buffer) { delete buffer; }

RecvBuffer* NatTypeDetectionClient::TakeBuffer() { return new RecvBuffer(); }

} // namespace P2PNet
