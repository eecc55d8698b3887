// A session channel's receive queue: chunks in arrival order that Orlix_Read drains as one byte
// stream. Appended by the client's receive thread, read by exported calls on any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class DataList {
public:
    // Bytes a queue holds at most; a chunk that would pass it is dropped (and counted), so a channel
    // that nobody reads cannot grow without limit. Long before that, at half the limit, the queue
    // counts as full, and its owner holds the sender back until reads have brought it down to a
    // quarter; what is still on its way then fits in the other half.
    static constexpr std::size_t kDefaultLimit = 32u * 1024u * 1024u;

    explicit DataList(std::size_t limitBytes = kDefaultLimit) : m_limit(limitBytes) {}

    // Appends a copy of the bytes as one chunk and wakes a waiting reader. False when the chunk was
    // dropped because it would pass the limit (or the bytes are empty).
    // becameFull (when given) tells whether this append made the queue full.
    bool append(const uint8_t* data, std::size_t length, bool* becameFull = nullptr);
    // True from the append that brings the queue to half its limit until the read that brings it
    // down to a quarter (or a clear).
    bool full() const;

    enum class ReadResult { Data, TimedOut, Woken };
    // Copies chunks in order until the buffer is full or the queue empty. With the queue empty,
    // waits up to timeoutMs (without holding the queue's lock) for data or wakeAll(). `copied` is the
    // byte count delivered (0 unless Data); endedFull (when given) tells whether this read ended
    // the queue's full state.
    ReadResult read(uint8_t* buffer, std::size_t capacity, int timeoutMs, std::size_t& copied,
                    bool* endedFull = nullptr);

    // Frees every chunk; the byte count becomes 0.
    void clear();
    // Wakes every reader now waiting (close, break, shut-down); they return Woken.
    void wakeAll();

    uint32_t bytes() const;
    uint64_t droppedChunks() const;

private:
    struct Chunk {
        std::vector<uint8_t> data;
        std::size_t offset = 0;
    };

    // Emptied chunk buffers kept for the next appends, so that a stream of large chunks does not
    // take and free a block each (which costs page faults once blocks pass the allocator's
    // thresholds). At most kSpareChunks, each of at most kSpareChunkBytes capacity.
    static constexpr std::size_t kSpareChunks = 8;
    static constexpr std::size_t kSpareChunkBytes = 1u << 20;
    void keepSpare(std::vector<uint8_t>&& buffer);

    const std::size_t m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeup;
    std::deque<Chunk> m_chunks;
    std::vector<std::vector<uint8_t>> m_spare;
    std::size_t m_bytes = 0;
    uint64_t m_wakeGeneration = 0;
    uint64_t m_dropped = 0;
    bool m_full = false;
};
