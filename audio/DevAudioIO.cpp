#include "DevAudioIO.h"

#include "AudioDevice.h"
#include "NetLog.h"

#include <cstdlib>

void PrepareSoundDevices()
{
    // What the sound systems say while probing is no fault of the library.
    platform::setAudioLog([](const std::string& line) { NETLOG_AT(netlog::Level::Info, line); });
    if (platform::applyAudioDeviceEnvironment())
        NETLOG_AT(netlog::Level::Info, "sound device from LUMORA_AUDIO_DEVICE: \"" << std::getenv("LUMORA_AUDIO_DEVICE") << "\"");
}

void DevAudioIO::StartListen(long window, FrameBufferPool* pool)
{
    std::lock_guard lock(m_mutex);
    if (!m_player)
        m_player = std::make_unique<AudioPlayer>();
    m_player->Start(pool, window);
}

void DevAudioIO::StopListen()
{
    std::lock_guard lock(m_mutex);
    if (m_player)
        m_player->Stop();
}

void DevAudioIO::StartTalk(long window, NetProImple* session)
{
    std::lock_guard lock(m_mutex);
    if (!m_capture)
        m_capture = std::make_unique<AudioCapture>();
    m_capture->Start(session, window);
}

void DevAudioIO::StartTalk(long window, AudioCapture::FrameSink sink)
{
    std::lock_guard lock(m_mutex);
    if (!m_capture)
        m_capture = std::make_unique<AudioCapture>();
    m_capture->Start(std::move(sink), window);
}

void DevAudioIO::StopTalk()
{
    std::lock_guard lock(m_mutex);
    if (m_capture)
        m_capture->Stop();
}

void DevAudioIO::Release()
{
    std::lock_guard lock(m_mutex);
    if (m_player)
        m_player->Stop();
    m_player.reset();
    if (m_capture)
        m_capture->Stop();
    m_capture.reset();
}

bool DevAudioIO::Listening()
{
    std::lock_guard lock(m_mutex);
    return m_player && m_player->Playing();
}

bool DevAudioIO::Talking()
{
    std::lock_guard lock(m_mutex);
    return m_capture && m_capture->Running();
}
