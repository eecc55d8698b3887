// The recycling frame queue between a producer (stream workers, the local player) and one
// consumer (an audio player's pull on its sound thread).
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

// One queued frame: a copy of the payload with its kind and presentation time.
struct MediaFrame {
    int kind = 0;
    int length = 0;
    uint32_t ptsLow = 0;
    uint32_t ptsHigh = 0;
    std::vector<char> data;

    // Replaces the data with a copy of (data, length) and sets the header; -1 for a null pointer
    // or a negative length.
    int Fill(const char* source, int sourceLength, int frameKind, uint32_t low, uint32_t high);
    // Empties the data (its capacity is kept for reuse) and zeroes the header.
    void Clear();
    uint64_t Pts() const { return (static_cast<uint64_t>(ptsHigh) << 32) | ptsLow; }
};

class FrameBufferPool {
public:
    FrameBufferPool() = default;
    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;

    // Copies a frame into a free buffer of the same kind (or a new one) and queues it.
    // Returns 0, or -1 for a null pointer (nothing queued). Any thread.
    int Push(const char* data, int length, int kind, uint32_t ptsLow, uint32_t ptsHigh);
    int Push(const char* data, unsigned length, int kind, uint64_t pts);
    // The oldest queued frame, or null. The frame stays valid until Release or Flush; only the
    // single consumer calls Front and Release.
    MediaFrame* Front();
    // Takes the oldest frame off the queue and keeps its buffer for reuse.
    void Release();
    // Moves every queued frame to the free list.
    void Flush();
    std::size_t Size();
    std::size_t FreeCount();

private:
    std::mutex m_mutex;
    std::deque<std::unique_ptr<MediaFrame>> m_filled; // arrival order
    std::list<std::unique_ptr<MediaFrame>> m_free;    // kept for reuse
};
