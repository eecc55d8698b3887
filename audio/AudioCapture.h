// Talk-back: microphone PCM from a DSoundCapture, collected into 640-byte blocks (40 ms), each
// encoded into one 320-byte A-law frame and sent to the device as a talk frame.
#pragma once

#include "ALawEncode.h"
#include "DSoundCapture.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class NetProImple;

class AudioCapture {
public:
    static constexpr int kBlockBytes = 640;
    // Sends one 320-byte A-law frame; called on the capture thread.
    using FrameSink = std::function<void(std::vector<char> frame)>;

    AudioCapture() = default;
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Captures and sends through the session's talk-audio send (nothing is sent while the session
    // has no parser). The session must outlive the capture or StopTalk must come first.
    void Start(NetProImple* session, long window);
    // The same with any frame sink.
    void Start(FrameSink sink, long window);
    void Stop();
    bool Running() const { return m_running; }

    // The data callback: PCM of any length; called on DirAudioCapture.
    void OnCapture(unsigned char* data, unsigned int bytes);

private:
    std::mutex m_mutex; // guards m_sink against Start while capturing
    FrameSink m_sink;
    std::atomic<bool> m_running{false};
    std::unique_ptr<DSoundCapture> m_input;
    std::unique_ptr<ALawEncode> m_encoder;
    unsigned char m_block[kBlockBytes] = {}; // DirAudioCapture only
    int m_fill = 0;                          // DirAudioCapture only
};
