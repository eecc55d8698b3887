// The packets waiting for the application's Receive, oldest first, with the back-pressure they
// put on the peer, and the allocation of the peer's packets.
//
// Back-pressure: once the queued packets hold more than kMaxBytes, the queue counts as full and
// the peer takes no connection's data in, as if each were held (HoldIncoming), until Receive has
// taken it down to half of that: an application slower than the network holds its senders back
// instead of growing this queue without bound.
//
// Lock: m_lock guards m_packets and m_bytes; a leaf lock. m_full and m_arrived are safe without it.
#pragma once

#include "Packet.h"
#include "PlatformThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace P2PNet {

class PacketQueue {
public:
    static constexpr uint64_t kMaxBytes = 4 * 1024 * 1024;

    // A packet and its data in one block from the allocation hooks: unassigned address and GUID,
    // length = bytes, bitSize = bytes * 8. Null when memory runs out.
    static Packet* Allocate(unsigned bytes);
    // Frees a packet from Allocate (and its data, when held apart); null is ignored.
    static void Release(Packet* packet);

    // Queues packet at the tail, or at the head; any thread. The first packet of a burst wakes a
    // Receive waiting on the empty queue.
    void Push(Packet* packet, bool atHead);
    // The oldest packet, or null when none is queued. *drained is set when this took a full
    // queue down to half of kMaxBytes: the peer may take data in again.
    Packet* Pop(bool* drained);
    // Waits up to timeoutMs for a packet, only when none is queued: a burst sets the event once,
    // and the caller must be able to take all of it without a wait each.
    void WaitWhileEmpty(int timeoutMs);
    std::size_t Count();
    // Ends a WaitWhileEmpty at once.
    void Wake() { m_arrived.set(); }
    // Update thread, once a round: marks the queue full when it holds more than kMaxBytes.
    void CheckFull();
    bool IsFull() const { return m_full.load(); }
    // Takes every packet out, for the caller to release.
    std::deque<Packet*> TakeAll();

private:
    std::mutex m_lock;
    std::deque<Packet*> m_packets;
    uint64_t m_bytes = 0;                // of m_packets
    std::atomic<bool> m_full{false};     // set by CheckFull, cleared by Pop
    platform::AutoResetEvent m_arrived;
};

} // namespace P2PNet
