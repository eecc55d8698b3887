// PCM capture with echo cancellation and noise suppression, in place of DirectSound full-duplex
// capture with its effects. Format as DSoundPlay: mono, 8000 samples/s, 16 bits; the data
// callback always receives whole 2000-byte blocks.
//
// The thread "DirAudioCapture" waits (at most 200 ms at a time) for a captured block and hands it
// to the data callback. The echo canceller's reference is what the process plays (AudioDevice).
#pragma once

#include "AudioDevice.h"
#include "PlatformThread.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class DSoundCapture {
public:
    using DataCallback = std::function<void(unsigned char* data, unsigned int bytes)>;

    static constexpr int kSampleRate = 8000;
    static constexpr int kBlockBytes = 2000;
    static constexpr int kBlocks = 16;
    static constexpr int kBufferBytes = kBlockBytes * kBlocks;
    static constexpr int kWaitMs = 200;

    DSoundCapture() = default;
    ~DSoundCapture();
    DSoundCapture(const DSoundCapture&) = delete;
    DSoundCapture& operator=(const DSoundCapture&) = delete;

    // Stores the callback (called on DirAudioCapture) and the window (unused here).
    bool Open(DataCallback callback, long window);
    // On: opens the microphone and starts DirAudioCapture. Off: stops and joins the thread, then
    // hands the whole blocks captured since the last read to the callback and closes the device.
    void Enable(bool on);
    bool Enabled() const { return m_running; }

private:
    void run();
    void deliverPending();

    std::mutex m_mutex; // guards m_callback
    DataCallback m_callback;
    std::atomic<bool> m_running{false};
    std::unique_ptr<platform::AudioInput> m_input; // used by DirAudioCapture while it runs
    platform::Thread m_thread;
};
