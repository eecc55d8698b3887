// Faults a test or benchmark puts on a peer's outgoing datagrams: a smaller path MTU and random
// loss. Off by default; installed as the datagram hook of every socket of the peer, so they take
// effect at once on every send, the reliability layers' included. Set through P2PPeerTestHooks.h.
//
// A dropped datagram reports success to its sender, as a lossy path would.
//
// Lock: m_lock guards the loss generator's state; a leaf lock. The settings and the count are
// atomics.
#pragma once

#include "P2PNetSocket2.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace P2PNet {

class PeerTestFaults : public DatagramHook {
public:
    // Datagrams larger than bytes are dropped, as by a path whose MTU is smaller. 0 = off.
    void SetMaxDatagramSize(unsigned bytes) { m_maxDatagram = bytes; }
    // Each datagram is dropped with probability fraction (clamped to 0..1), drawn from a
    // generator seeded with seed, so that a run can be repeated. 0 = off.
    void SetSendLoss(double fraction, uint32_t seed);
    uint64_t Dropped() const { return m_dropped.load(); }

    // True when a datagram of length bytes is to be dropped (and counted); any thread.
    bool Drop(unsigned length);
    // DatagramHook: called by the sockets on their sending threads.
    int OnSendDatagram(const char* data, int length, const SystemAddress& target) override;

private:
    std::atomic<unsigned> m_maxDatagram{0};
    std::atomic<uint32_t> m_lossThreshold{0};  // fraction x 2^32
    std::atomic<uint64_t> m_dropped{0};
    std::mutex m_lock;
    uint64_t m_randomState = 1;
};

} // namespace P2PNet
