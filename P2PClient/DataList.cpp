#include "DataList.h"

#include <algorithm>
#include <chrono>
#include <cstring>

bool DataList::append(const uint8_t* data, std::size_t length, bool* becameFull)
{
    if (becameFull)
        *becameFull = false;
    if (length == 0)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bytes + length > m_limit) {
            ++m_dropped;
            return false;
        }
        Chunk chunk;
        if (!m_spare.empty()) {
            chunk.data = std::move(m_spare.back());
            m_spare.pop_back();
        }
        chunk.data.assign(data, data + length);
        m_chunks.push_back(std::move(chunk));
        m_bytes += length;
        if (!m_full && m_bytes >= m_limit / 2) {
            m_full = true;
            if (becameFull)
                *becameFull = true;
        }
    }
    m_wakeup.notify_one();
    return true;
}

DataList::ReadResult DataList::read(uint8_t* buffer, std::size_t capacity, int timeoutMs, std::size_t& copied,
                                   bool* endedFull)
{
    copied = 0;
    if (endedFull)
        *endedFull = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_chunks.empty()) {
        if (timeoutMs <= 0)
            return ReadResult::TimedOut;
        const uint64_t generation = m_wakeGeneration;
        const bool ready = m_wakeup.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return !m_chunks.empty() || m_wakeGeneration != generation;
        });
        if (!ready)
            return ReadResult::TimedOut;
        if (m_chunks.empty())
            return ReadResult::Woken;
    }
    while (copied < capacity && !m_chunks.empty()) {
        Chunk& head = m_chunks.front();
        const std::size_t left = head.data.size() - head.offset;
        const std::size_t take = std::min(left, capacity - copied);
        std::memcpy(buffer + copied, head.data.data() + head.offset, take);
        copied += take;
        m_bytes -= take;
        if (take == left) {
            keepSpare(std::move(head.data));
            m_chunks.pop_front();
        }
        else
            head.offset += take;
    }
    if (m_full && m_bytes <= m_limit / 4) {
        m_full = false;
        if (endedFull)
            *endedFull = true;
    }
    // Another reader of the same channel may be waiting for what is left.
    if (!m_chunks.empty())
        m_wakeup.notify_one();
    return ReadResult::Data;
}

void DataList::keepSpare(std::vector<uint8_t>&& buffer)
{
    if (m_spare.size() < kSpareChunks && buffer.capacity() <= kSpareChunkBytes) {
        buffer.clear();
        m_spare.push_back(std::move(buffer));
    }
}

void DataList::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chunks.clear();
    m_spare.clear();
    m_bytes = 0;
    m_full = false;
}

bool DataList::full() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_full;
}

void DataList::wakeAll()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakeGeneration;
    }
    m_wakeup.notify_all();
}

uint32_t DataList::bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<uint32_t>(m_bytes);
}

uint64_t DataList::droppedChunks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}
