#include "EchoCanceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

namespace platform {

namespace {
std::mutex g_tapMutex;
std::shared_ptr<EchoCanceller> g_tap;
} // namespace

EchoCanceller::EchoCanceller(int sampleRate, int frameSamples, int tailSamples) : m_frame(frameSamples)
{
    m_echo = speex_echo_state_init(frameSamples, tailSamples);
    int rate = sampleRate;
    speex_echo_ctl(m_echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    m_preprocess = speex_preprocess_state_init(frameSamples, sampleRate);
    int on = 1;
    speex_preprocess_ctl(m_preprocess, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(m_preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, m_echo);
}

EchoCanceller::~EchoCanceller()
{
    speex_preprocess_state_destroy(m_preprocess);
    speex_echo_state_destroy(m_echo);
}

void EchoCanceller::playback(const int16_t* samples, std::size_t count)
{
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < count; ++i) {
        m_played.push_back(samples[i]);
        if (static_cast<int>(m_played.size()) == m_frame) {
            speex_echo_playback(m_echo, m_played.data());
            m_played.clear();
        }
    }
}

void EchoCanceller::capture(const int16_t* in, int16_t* out, std::size_t count)
{
    std::lock_guard lock(m_mutex);
    std::vector<int16_t> cleaned(static_cast<std::size_t>(m_frame));
    for (std::size_t i = 0; i < count; ++i) {
        m_captured.push_back(in[i]);
        if (static_cast<int>(m_captured.size()) == m_frame) {
            speex_echo_capture(m_echo, m_captured.data(), cleaned.data());
            speex_preprocess_run(m_preprocess, cleaned.data());
            m_cleaned.insert(m_cleaned.end(), cleaned.begin(), cleaned.end());
            m_captured.clear();
        }
    }
    // Hand out what is processed; while the first frame fills, the output starts with silence.
    const std::size_t shortBy = count > m_cleaned.size() ? count - m_cleaned.size() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i < shortBy) {
            out[i] = 0;
        } else {
            out[i] = m_cleaned.front();
            m_cleaned.pop_front();
        }
    }
}

void EchoCanceller::setPlaybackTap(std::shared_ptr<EchoCanceller> canceller)
{
    std::lock_guard lock(g_tapMutex);
    g_tap = std::move(canceller);
}

void EchoCanceller::tapPlayback(const int16_t* samples, std::size_t count)
{
    std::shared_ptr<EchoCanceller> tap;
    {
        std::lock_guard lock(g_tapMutex);
        tap = g_tap;
    }
    if (tap)
        tap->playback(samples, count);
}

} // namespace platform
