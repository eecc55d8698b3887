// What tests, benchmarks and fuzzers may do to a peer beyond its interface; product code does not
// include this header.
//
// The faults (PeerTestFaults.h) are off by default, may be set from any thread and take effect at
// once on every socket of the peer, the reliability layers' sends included:
//  - SetMaxDatagramSize(peer, n): outgoing datagrams larger than n bytes are dropped silently, as
//    by a path whose MTU is smaller; the handshake then falls back to a smaller MTU. 0 = off.
//  - SetSendLoss(peer, fraction, seed): each outgoing datagram is dropped with that probability
//    (deterministic generator from seed). 0 = off.
// Dropped datagrams count in DroppedDatagrams(peer); a dropped send reports success to its
// caller, as a lossy network would.
#pragma once

#include "P2PPeer.h"

#include <cstdint>

namespace P2PNet {

class P2PPeerTestHooks {
public:
    static void SetMaxDatagramSize(P2PPeer& peer, unsigned bytes) { peer.m_testFaults.SetMaxDatagramSize(bytes); }
    static void SetSendLoss(P2PPeer& peer, double fraction, uint32_t seed = 1)
    {
        peer.m_testFaults.SetSendLoss(fraction, seed);
    }
    static uint64_t DroppedDatagrams(const P2PPeer& peer) { return peer.m_testFaults.Dropped(); }

    // Handles one received datagram as the update thread does (the offline classifier first, then
    // the reliability layer of the connected sender), on the calling thread, as if it had come
    // through the peer's first socket. For tests that feed crafted datagrams.
    static void ProcessDatagram(P2PPeer& peer, const uint8_t* data, unsigned length, const SystemAddress& sender)
    {
        peer.ProcessDatagramAsRound(data, length, sender);
    }
};

} // namespace P2PNet
