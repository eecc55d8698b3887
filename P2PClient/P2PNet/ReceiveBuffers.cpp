#include "ReceiveBuffers.h"

namespace P2PNet {

RecvBuffer* ReceiveBuffers::Take()
{
    std::lock_guard lock(m_lock);
    if (m_free.empty()) {
        // Grow by a page of buffers at a time.
        for (int i = 0; i < 16; ++i) {
            m_store.push_back(std::make_unique<RecvBuffer>());
            m_free.push_back(m_store.back().get());
        }
    }
    RecvBuffer* buffer = m_free.back();
    m_free.pop_back();
    return buffer;
}

void ReceiveBuffers::Return(RecvBuffer* buffer)
{
    if (buffer == nullptr)
        return;
    std::lock_guard lock(m_lock);
    m_free.push_back(buffer);
}

bool ReceiveBuffers::Queue(RecvBuffer* const* buffers, int count)
{
    std::lock_guard lock(m_lock);
    const bool wasEmpty = m_queued.empty();
    for (int i = 0; i < count; ++i) {
        RecvBuffer* buffer = buffers[i];
        if (buffer == nullptr)
            continue;
        if (m_queued.size() >= kMaxQueued) {
            m_free.push_back(buffer);
            ++m_dropped;
            continue;
        }
        m_queued.push_back(buffer);
    }
    return wasEmpty;
}

RecvBuffer* ReceiveBuffers::Pop()
{
    std::lock_guard lock(m_lock);
    if (m_queued.empty())
        return nullptr;
    RecvBuffer* buffer = m_queued.front();
    m_queued.pop_front();
    return buffer;
}

void ReceiveBuffers::DiscardQueued()
{
    std::lock_guard lock(m_lock);
    for (RecvBuffer* buffer : m_queued)
        m_free.push_back(buffer);
    m_queued.clear();
}

} // namespace P2PNet
