// Acoustic echo cancellation and noise suppression on speexdsp, in place of DirectSound's capture
// effects. The far-end (played) signal is fed with playback(); capture() removes its echo from the
// microphone signal and suppresses noise. 16-bit mono; internally in frames of frameSamples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace platform {

class EchoCanceller {
public:
    // frameSamples: processing frame (160 = 20 ms at 8000 Hz); tailSamples: longest echo followed.
    EchoCanceller(int sampleRate, int frameSamples, int tailSamples);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Samples as they are played. Any thread.
    void playback(const int16_t* samples, std::size_t count);
    // Microphone samples in, cleaned samples out (same count; output lags by less than a frame).
    // Any thread.
    void capture(const int16_t* in, int16_t* out, std::size_t count);

    // The canceller that playback streams feed, or none. The PortAudio capture with echo
    // cancellation installs itself here while it runs.
    static void setPlaybackTap(std::shared_ptr<EchoCanceller> canceller);
    static void tapPlayback(const int16_t* samples, std::size_t count);

private:
    std::mutex m_mutex;
    int m_frame;
    SpeexEchoState_* m_echo = nullptr;
    SpeexPreprocessState_* m_preprocess = nullptr;
    std::vector<int16_t> m_played;      // partial far-end frame
    std::vector<int16_t> m_captured;    // partial near-end frame
    std::deque<int16_t> m_cleaned;      // processed, not yet handed out
};

} // namespace platform
