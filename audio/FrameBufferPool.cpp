#include "FrameBufferPool.h"

int MediaFrame::Fill(const char* source, int sourceLength, int frameKind, uint32_t low, uint32_t high)
{
    if (source == nullptr || sourceLength < 0)
        return -1;
    data.assign(source, source + sourceLength);
    length = sourceLength;
    kind = frameKind;
    ptsLow = low;
    ptsHigh = high;
    return 0;
}

void MediaFrame::Clear()
{
    data.clear();
    length = 0;
    kind = 0;
    ptsLow = 0;
    ptsHigh = 0;
}

int FrameBufferPool::Push(const char* data, int length, int kind, uint32_t ptsLow, uint32_t ptsHigh)
{
    if (data == nullptr || length < 0)
        return -1;
    std::lock_guard lock(m_mutex);
    std::unique_ptr<MediaFrame> frame;
    for (auto it = m_free.begin(); it != m_free.end(); ++it) {
        if ((*it)->kind == kind) {
            frame = std::move(*it);
            m_free.erase(it);
            break;
        }
    }
    if (!frame)
        frame = std::make_unique<MediaFrame>();
    frame->Fill(data, length, kind, ptsLow, ptsHigh);
    m_filled.push_back(std::move(frame));
    return 0;
}

int FrameBufferPool::Push(const char* data, unsigned length, int kind, uint64_t pts)
{
    if (length > 0x7fffffffu)
        return -1;
    return Push(data, static_cast<int>(length), kind, static_cast<uint32_t>(pts), static_cast<uint32_t>(pts >> 32));
}

MediaFrame* FrameBufferPool::Front()
{
    // The lock guards the queue's own bookkeeping against a concurrent Push; the frame itself
    // belongs to the single consumer until it releases it.
    std::lock_guard lock(m_mutex);
    return m_filled.empty() ? nullptr : m_filled.front().get();
}

void FrameBufferPool::Release()
{
    std::lock_guard lock(m_mutex);
    if (m_filled.empty())
        return;
    auto frame = std::move(m_filled.front());
    m_filled.pop_front();
    // Cleared frames keep their kind for reuse by the same kind of stream.
    const int kind = frame->kind;
    frame->Clear();
    frame->kind = kind;
    m_free.push_back(std::move(frame));
}

void FrameBufferPool::Flush()
{
    std::lock_guard lock(m_mutex);
    while (!m_filled.empty()) {
        auto frame = std::move(m_filled.front());
        m_filled.pop_front();
        const int kind = frame->kind;
        frame->Clear();
        frame->kind = kind;
        m_free.push_back(std::move(frame));
    }
}

std::size_t FrameBufferPool::Size()
{
    std::lock_guard lock(m_mutex);
    return m_filled.size();
}

std::size_t FrameBufferPool::FreeCount()
{
    std::lock_guard lock(m_mutex);
    return m_free.size();
}
