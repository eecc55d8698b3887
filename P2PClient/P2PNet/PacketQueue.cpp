#include "PacketQueue.h"

#include "PeerUtils.h"

#include <algorithm>
#include <new>

namespace P2PNet {

Packet* PacketQueue::Allocate(unsigned bytes)
{
    // Packet and data in one block.
    void* block = PeerAllocate(sizeof(Packet) + std::max(1u, bytes), __FILE__, __LINE__);
    if (block == nullptr) {
        PeerOutOfMemory(__FILE__, __LINE__);
        return nullptr;
    }
    Packet* packet = new (block) Packet();
    packet->systemAddress = UNASSIGNED_SYSTEM_ADDRESS;
    packet->guid = UNASSIGNED_P2PNET_GUID;
    packet->data = static_cast<uint8_t*>(block) + sizeof(Packet);
    packet->length = bytes;
    packet->bitSize = bytes * 8;
    packet->deleteData = false;
    packet->wasGeneratedLocally = false;
    return packet;
}

void PacketQueue::Release(Packet* packet)
{
    if (packet == nullptr)
        return;
    if (packet->deleteData)
        PeerFree(packet->data, __FILE__, __LINE__);
    packet->~Packet();
    PeerFree(packet, __FILE__, __LINE__);
}

void PacketQueue::Push(Packet* packet, bool atHead)
{
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_lock);
        wasEmpty = m_packets.empty();
        m_bytes += packet->length;
        if (atHead)
            m_packets.push_front(packet);
        else
            m_packets.push_back(packet);
    }
    // Receive waits only on an empty queue, so only the first packet of a burst needs to wake it.
    if (wasEmpty)
        m_arrived.set();
}

Packet* PacketQueue::Pop(bool* drained)
{
    *drained = false;
    std::lock_guard lock(m_lock);
    if (m_packets.empty())
        return nullptr;
    Packet* packet = m_packets.front();
    m_packets.pop_front();
    m_bytes -= std::min<uint64_t>(m_bytes, packet->length);
    if (m_bytes <= kMaxBytes / 2 && m_full.exchange(false))
        *drained = true;
    return packet;
}

void PacketQueue::WaitWhileEmpty(int timeoutMs)
{
    bool empty = false;
    {
        std::lock_guard lock(m_lock);
        empty = m_packets.empty();
    }
    if (empty)
        m_arrived.wait(timeoutMs);
}

std::size_t PacketQueue::Count()
{
    std::lock_guard lock(m_lock);
    return m_packets.size();
}

void PacketQueue::CheckFull()
{
    std::lock_guard lock(m_lock);
    if (m_bytes > kMaxBytes)
        m_full.store(true);
}

std::deque<Packet*> PacketQueue::TakeAll()
{
    std::deque<Packet*> packets;
    std::lock_guard lock(m_lock);
    packets.swap(m_packets);
    m_bytes = 0;
    return packets;
}

} // namespace P2PNet
