// The base of every peer plugin (NAT punch-through, NAT type detection, relay client). A plugin is
// attached to at most one peer; the peer calls these operations on its update and receive paths,
// as noted per operation. Every plugin of this system answers false to UsesSecondList(), so all
// sit in the peer's first list.
#pragma once

#include "Packet.h"
#include "SystemAddress.h"

#include <cstdint>

namespace P2PNet {

class P2PPeerInterface;

// What OfferMessage answers.
enum PluginVerdict : int {
    // The plugin has finished with the packet; the peer releases it.
    kPluginConsumed = 0,
    // Pass the packet on to the next plugin or to the caller of Receive.
    kPluginContinue = 1,
    // The plugin keeps the packet and releases it later itself; no further plugin sees it.
    kPluginKeep = 2,
};

// Why a connection attempt failed, as told to OnFailedConnection (values set by the peer).
using FailedConnectionReason = int;

// A packet with a data buffer of `size` bytes from the peer's own pool (the peer's NewPacket;
// release it with the peer's ReleasePacket). Defined in P2PPeer.cpp by the peer. Until the peer is
// part of the build a weak stand-in makes a standalone packet (AllocateStandalonePacket).
Packet* PeerAllocatePacket(P2PPeerInterface* peer, unsigned size);

class PeerPlugin {
public:
    PeerPlugin() = default;
    PeerPlugin(const PeerPlugin&) = delete;
    PeerPlugin& operator=(const PeerPlugin&) = delete;

    // Virtual operations in their fixed order; each default does nothing unless noted.
    virtual ~PeerPlugin();
    // Called by the peer's add-plugin operation after it has set the owner.
    virtual void AttachedTo(P2PPeerInterface* peer);
    // Called by the peer's remove-plugin operation before it clears the owner.
    virtual void DetachedFrom(P2PPeerInterface* peer);
    // Once per receive call of the peer, before messages are taken; caller's thread.
    virtual void Tick();
    // A received message, offered on the caller's thread of Receive. Default: kPluginContinue.
    virtual PluginVerdict OfferMessage(Packet* packet);
    // The peer has started.
    virtual void PeerStarted();
    // The peer stops.
    virtual void PeerStopping();
    // A connection ended; reason 1 = closed by the remote, 2 = lost.
    virtual void LinkEnded(const SystemAddress& address, P2PNetGUID guid, int reason);
    // A connection was made; incoming set when the remote connected to us.
    virtual void OnNewConnection(const SystemAddress& address, P2PNetGUID guid, bool incoming);
    // A connection attempt was refused or failed.
    virtual void OnFailedConnection(Packet* packet, FailedConnectionReason reason);
    // Which of the peer's two plugin lists this plugin joins; messages go to the first list
    // (false) first. Default: false.
    virtual bool UsesSecondList();
    // The peer is about to send a datagram outside the reliability layer.
    virtual void OnRawSend(const uint8_t* data, uint32_t bitCount, const SystemAddress& address);
    // The peer received a datagram outside the reliability layer.
    virtual void OnRawReceive(const uint8_t* data, uint32_t bitCount, const SystemAddress& address);
    // A reliability layer refused a datagram; text says why.
    virtual void OnLayerNotice(const char* text, uint32_t bitCount, const SystemAddress& address, bool isError);
    // A message went out or came in: frameNumber is the datagram number when sending, the count
    // of datagrams handled when receiving; timeMs on the peer clock.
    virtual void OnMessageTrace(const uint8_t* message, uint32_t bitCount, uint32_t frameNumber,
                                const SystemAddress& address, uint64_t timeMs, bool sent);
    // A reliable message was acknowledged.
    virtual void OnMessageAcked(uint32_t messageNumber, const SystemAddress& address, uint64_t timeMs);
    // A packet is put back into the peer's receive queue.
    virtual void OnPushBack(const uint8_t* data, uint32_t bitCount, const SystemAddress& address);

    // A packet with a data buffer of `size` bytes: from the attached peer's pool (give it back
    // with the peer's ReleasePacket), or when detached a standalone packet (give it back with
    // FreeStandalonePacket). Null when memory runs out.
    Packet* MakePacket(unsigned size);

    // The peer this plugin is attached to; null when detached. Set by the peer only.
    P2PPeerInterface* GetPeer() const { return m_peer; }
    void SetPeer(P2PPeerInterface* peer) { m_peer = peer; }

protected:
    P2PPeerInterface* m_peer = nullptr;
};

} // namespace P2PNet
