// A message handed out by the peer's Receive: who sent it and its bytes.
#pragma once

#include "SystemAddress.h"

#include <cstdint>
#include <vector>

namespace P2PNet {

struct Packet {
    // Source of the message (for a local notice: the system it is about).
    SystemAddress systemAddress;
    P2PNetGUID guid;
    // Length of data in bytes, and in bits.
    uint32_t length = 0;
    uint32_t bitSize = 0;
    uint8_t* data = nullptr;
    // Set when data lies in an allocation of its own (freed separately on release); clear when
    // the packet and its data are one allocation.
    bool deleteData = false;
    // Set when the peer or a plugin made this packet itself as a local notice; clear for data
    // that came from a remote system or was looped back.
    bool wasGeneratedLocally = false;
    // A large received message's own buffer, handed over instead of copied: data points into it
    // and it goes with the packet.
    std::vector<uint8_t> ownedData;
};

// A packet made outside any peer: unassigned address and GUID, length = size, bitSize = size * 8,
// a data buffer of `size` bytes from the allocation hooks (deleteData set, wasGeneratedLocally
// clear). Null when memory runs out. Give it back with FreeStandalonePacket, never to a peer.
Packet* AllocateStandalonePacket(unsigned size);
// Frees a packet from AllocateStandalonePacket and its data; null is ignored.
void FreeStandalonePacket(Packet* packet);

} // namespace P2PNet
