#include "PeerPlugin.h"

#include "PeerUtils.h"

#include <new>

namespace P2PNet {

// Stand-in until the peer's own definition (in P2PPeer.cpp) is linked; that one replaces it.
__attribute__((weak)) Packet* PeerAllocatePacket(P2PPeerInterface*, unsigned size)
{
    return AllocateStandalonePacket(size);
}

Packet* AllocateStandalonePacket(unsigned size)
{
    auto* packet = new (std::nothrow) Packet;
    if (packet == nullptr) {
        PeerOutOfMemory(__FILE__, __LINE__);
        return nullptr;
    }
    // At least one byte, so that an empty packet still has a buffer of its own to free.
    packet->data = static_cast<uint8_t*>(PeerAllocate(size > 0 ? size : 1, __FILE__, __LINE__));
    if (packet->data == nullptr) {
        PeerOutOfMemory(__FILE__, __LINE__);
        delete packet;
        return nullptr;
    }
    packet->systemAddress = UNASSIGNED_SYSTEM_ADDRESS;
    packet->guid = UNASSIGNED_P2PNET_GUID;
    packet->length = size;
    packet->bitSize = size * 8u;
    packet->deleteData = true;
    packet->wasGeneratedLocally = false;
    return packet;
}

void FreeStandalonePacket(Packet* packet)
{
    if (packet == nullptr)
        return;
    PeerFree(packet->data, __FILE__, __LINE__);
    delete packet;
}

PeerPlugin::~PeerPlugin() = default;
void PeerPlugin::AttachedTo(P2PPeerInterface*) {}
void PeerPlugin::DetachedFrom(P2PPeerInterface*) {}
void PeerPlugin::Tick() {}
PluginVerdict PeerPlugin::OfferMessage(Packet*) { return kPluginContinue; }
void PeerPlugin::PeerStarted() {}
void PeerPlugin::PeerStopping() {}
void PeerPlugin::LinkEnded(const SystemAddress&, P2PNetGUID, int) {}
void PeerPlugin::OnNewConnection(const SystemAddress&, P2PNetGUID, bool) {}
void PeerPlugin::OnFailedConnection(Packet*, FailedConnectionReason) {}
bool PeerPlugin::UsesSecondList() { return false; }
void PeerPlugin::OnRawSend(const uint8_t*, uint32_t, const SystemAddress&) {}
void PeerPlugin::OnRawReceive(const uint8_t*, uint32_t, const SystemAddress&) {}
void PeerPlugin::OnLayerNotice(const char*, uint32_t, const SystemAddress&, bool) {}
void PeerPlugin::OnMessageTrace(const uint8_t*, uint32_t, uint32_t, const SystemAddress&, uint64_t, bool) {}
void PeerPlugin::OnMessageAcked(uint32_t, const SystemAddress&, uint64_t) {}
void PeerPlugin::OnPushBack(const uint8_t*, uint32_t, const SystemAddress&) {}

Packet* PeerPlugin::MakePacket(unsigned size)
{
    if (m_peer != nullptr)
        return PeerAllocatePacket(m_peer, size);
    return AllocateStandalonePacket(size);
}

} // namespace P2PNet
