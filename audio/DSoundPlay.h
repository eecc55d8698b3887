// PCM playback from a pull callback, in place of a DirectSound secondary buffer with position
// notifications. Format: PCM mono, 8000 samples/s, 16 bits (16000 bytes/s); block 2000 bytes
// (125 ms), a ring of 16 blocks (32000 bytes) with a notification at the end of each block.
//
// The thread "DirAudioPlay" waits (at most 400 ms at a time) until the device has room for a
// block, pulls whole blocks from the callback and plays them. The device keeps only
// kWriteAheadBlocks blocks queued: a short output latency that an echo canceller can follow.
#pragma once

#include "AudioDevice.h"
#include "PlatformThread.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class DSoundPlay {
public:
    using PullCallback = std::function<void(unsigned char* buffer, unsigned int bytes)>;

    static constexpr int kSampleRate = 8000;
    static constexpr int kBlockAlign = 2;
    static constexpr int kBytesPerSecond = kSampleRate * kBlockAlign;
    static constexpr int kBlockBytes = (kBytesPerSecond > 8191 ? kBytesPerSecond / 8 : 1024) / kBlockAlign * kBlockAlign;
    static constexpr int kBlocks = 16;
    static constexpr int kBufferBytes = kBlockBytes * kBlocks;
    static constexpr int kWriteAheadBlocks = 2;
    static constexpr int kNotifyWaitMs = 400;
    static constexpr int kStartWaitMs = 10000;
    // Offsets of the 16 block-end notifications in the ring.
    static std::array<int, kBlocks> NotificationPositions();

    DSoundPlay() = default;
    ~DSoundPlay();
    DSoundPlay(const DSoundPlay&) = delete;
    DSoundPlay& operator=(const DSoundPlay&) = delete;

    // Stores the pull callback (called on DirAudioPlay) and the window (unused here).
    bool Open(PullCallback pull, long window);
    // On: opens the output device and starts DirAudioPlay, waiting until it runs (at most 10 s).
    // Off: stops and joins the thread and closes the device. Nothing when already in that state.
    void Enable(bool on);
    bool Enabled();

private:
    void run();

    std::mutex m_mutex; // guards m_running, m_threadStarted (and the hand-shake below)
    std::condition_variable m_startedCv;
    std::atomic<bool> m_running{false};
    bool m_threadStarted = false;
    PullCallback m_pull;
    std::unique_ptr<platform::AudioOutput> m_output; // used by DirAudioPlay while it runs
    platform::Thread m_thread;
};
