// Listening: A-law frames queued in a FrameBufferPool, decoded (made louder by 1.7) and played
// through a DSoundPlay. The pool's frames are consumed on the DirAudioPlay thread in OnPull; a
// decoded frame that does not fit the pull is kept as the carry for the next one, and a pool that
// runs empty gives silence.
#pragma once

#include "ALawDecoder.h"
#include "DSoundPlay.h"
#include "FrameBufferPool.h"

#include <memory>
#include <mutex>
#include <vector>

class AudioPlayer {
public:
    // Longest A-law frame taken from the pool; longer frames are cut (a device frame is 320).
    static constexpr int kMaxFrameBytes = 4096;

    AudioPlayer() = default;
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Plays the frames of `pool` (flushed first; not owned, must outlive the playing).
    void Start(FrameBufferPool* pool, long window);
    // Stops the output and empties the carry; the objects stay for the next Start.
    void Stop();
    bool Playing();

    // The pull callback: fills `bytes` bytes of PCM. Called on DirAudioPlay.
    void OnPull(unsigned char* buffer, unsigned int bytes);

private:
    std::mutex m_mutex; // guards m_source, m_carry, m_readPos against Start/Stop
    std::unique_ptr<ALawDecoder> m_decoder;
    std::vector<short> m_carry; // decoded samples of the last partly played frame
    std::size_t m_readPos = 0;  // samples of m_carry already played
    FrameBufferPool* m_source = nullptr;
    std::unique_ptr<DSoundPlay> m_output;
};
