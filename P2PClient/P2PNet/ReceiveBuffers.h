// The peer's receive buffers: the pool its sockets' receive threads fill datagrams into, and the
// queue of filled ones waiting for the update thread, oldest first.
//
// Buffers are made a page at a time and kept until the object ends; a buffer is always in the
// pool, in the queue or lent to exactly one holder. At kMaxQueued waiting datagrams a new one is
// dropped and counted: a flood faster than the update thread does not grow the queue without
// bound.
//
// Lock: m_lock guards the pool, the store and the queue; a leaf lock.
#pragma once

#include "SocketEventHandler.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace P2PNet {

class ReceiveBuffers {
public:
    static constexpr std::size_t kMaxQueued = 8192;

    // An empty buffer, lent to the caller; never null.
    RecvBuffer* Take();
    // Gives a lent or popped buffer back to the pool; null is ignored.
    void Return(RecvBuffer* buffer);
    // Queues filled buffers (null ones skipped) in order; true when the queue was empty before, so
    // that the first datagram of a burst wakes the update thread once.
    bool Queue(RecvBuffer* const* buffers, int count);
    // The oldest queued buffer, lent to the caller (give it back with Return), or null.
    RecvBuffer* Pop();
    // Puts every queued buffer back into the pool unread.
    void DiscardQueued();
    // Datagrams dropped because kMaxQueued were already waiting.
    uint64_t Dropped() const { return m_dropped.load(); }

private:
    std::mutex m_lock;
    std::deque<RecvBuffer*> m_queued;
    std::vector<std::unique_ptr<RecvBuffer>> m_store;
    std::vector<RecvBuffer*> m_free;
    std::atomic<uint64_t> m_dropped{0};
};

} // namespace P2PNet
