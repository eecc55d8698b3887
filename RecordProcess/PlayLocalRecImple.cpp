#include "PlayLocalRecImple.h"

#include "DxvaDecoder.h"
#include "NetLog.h"

#include <chrono>
#include <cstring>
#include <strings.h>

PlayLocalRecImple::~PlayLocalRecImple()
{
    stopThread();
    if (m_avi)
        m_avi->Close();
    m_avi.reset();
    if (m_audio)
        m_audio->Stop();
    m_audio.reset();
    if (m_decoder)
        m_decoder->UnInit();
    m_decoder.reset();
}

void PlayLocalRecImple::stopThread()
{
    {
        std::lock_guard lock(m_paceMutex);
        m_stop = true;
    }
    m_paceCv.notify_all();
    m_thread.join();
    m_running = false;
}

void PlayLocalRecImple::pace(int ms)
{
    std::unique_lock lock(m_paceMutex);
    m_paceCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stop || m_nudge; });
    m_nudge = false;
}

int PlayLocalRecImple::OpenAVIFile(const std::string& path, int window)
{
    stopThread();
    if (m_avi)
        m_avi->Close();
    m_avi.reset();
    m_paused = false;
    auto avi = AviFile::OpenInput(path);
    if (!avi) {
        NETLOG("could not open " << path << ": " << AviFile::ErrorText());
        return -1;
    }
    const int fps = static_cast<int>(avi->FrameRate());
    if (fps < 1) {
        // The pacing divides by the frame rate: a file without one is not played.
        NETLOG("refusing " << path << ": frame rate " << avi->FrameRate());
        return -1;
    }
    m_window = window;
    m_fps = fps;
    m_frameCount = avi->VideoFrames();
    m_position = 0;
    m_audioNext = 0;
    // The frame buffer fits the largest frame the file's index holds (the reader bounds it).
    m_frameBuffer.reserve(avi->MaxVideoFrameBytes());
    m_audioBuffer.assign(kAudioBufferBytes, 0);
    if (m_audioQueue)
        m_audioQueue->Flush();
    else
        m_audioQueue = std::make_unique<FrameBufferPool>();

    // Our recordings label H.265 "HEVC"; other writers use "H265" or "HVC1".
    const std::string compressor = avi->Compressor();
    const int codec = strncasecmp(compressor.c_str(), "HEVC", 4) == 0 || strncasecmp(compressor.c_str(), "H265", 4) == 0 ||
                              strncasecmp(compressor.c_str(), "HVC1", 4) == 0
                          ? DxvaDecoder::kCodecH265
                          : DxvaDecoder::kCodecH264;
    if (m_decoder && m_decoderCodec != codec) {
        m_decoder->UnInit();
        m_decoder.reset();
    }
    if (!m_decoder) {
        auto decoder = std::make_unique<DxvaDecoder>();
        if (decoder->InitDecoder(window, avi->Width(), avi->Height(), false, codec) < 0) {
            NETLOG("could not set up the decoder for " << path);
            avi->Close();
            m_frameCount = 0;
            return -1;
        }
        m_decoder = std::move(decoder);
        m_decoderCodec = codec;
    }
    m_avi = std::move(avi);
    if (!m_audio)
        m_audio = std::make_unique<AudioPlayer>();
    m_audio->Start(m_audioQueue.get(), window);

    {
        std::lock_guard lock(m_paceMutex);
        m_stop = false;
        m_nudge = false;
    }
    m_running = true;
    if (!m_thread.start([this] { run(); }, 0, "LocalAviPlay")) {
        m_running = false;
        return -1;
    }
    return 0;
}

int PlayLocalRecImple::CloseAVIFile()
{
    if (!m_running) {
        // Ended by itself (or never started): the file and decoder stay until the next Open.
        m_thread.join();
        return 0;
    }
    m_paused = false;
    stopThread();
    if (m_avi)
        m_avi->Close();
    m_avi.reset();
    if (m_audio)
        m_audio->Stop();
    if (m_decoder)
        m_decoder->UnInit();
    m_decoder.reset();
    m_position = 0;
    return 0;
}

void PlayLocalRecImple::nudge()
{
    {
        std::lock_guard lock(m_paceMutex);
        m_nudge = true;
    }
    m_paceCv.notify_all();
}

void PlayLocalRecImple::SetPosition(int n)
{
    const int last = m_frameCount.load() - 1;
    m_position = n < 0 || last < 0 ? 0 : (n > last ? last : n);
    nudge();
}

void PlayLocalRecImple::SetPaused(bool paused)
{
    m_paused = paused;
    nudge();
}

void PlayLocalRecImple::run()
{
    int expected = -1; // the position that follows the last frame played; another one is a seek
    for (;;) {
        {
            std::lock_guard lock(m_paceMutex);
            if (m_stop)
                break;
        }
        if (m_paused) {
            m_pausedRounds.fetch_add(1);
            pace(2000 / m_fps);
            continue;
        }
        const int position = m_position.load();
        if (m_avi->SetVideoPosition(position) != 0)
            break;
        const long length = m_avi->ReadFrame(m_frameBuffer);
        if (length <= 0)
            break;
        m_decoder->DecodeBuffer(0, reinterpret_cast<const uint8_t*>(m_frameBuffer.data()), static_cast<int>(length));

        // Audio moves with the video: after a seek it continues from the chunk that belongs to
        // the new frame; each frame brings the chunks up to where the next frame starts.
        if (m_avi->AudioChunks() > 0) {
            if (position != expected) {
                m_audioNext = static_cast<long>(position) * kAudioChunksPerSecond / m_fps;
                m_avi->SetAudioPosition(m_audioNext);
            }
            const long until = static_cast<long>(position + 1) * kAudioChunksPerSecond / m_fps;
            for (; m_audioNext < until; ++m_audioNext) {
                std::memset(m_audioBuffer.data(), 0, m_audioBuffer.size());
                const long n = m_avi->ReadAudioChunk(m_audioBuffer.data(), static_cast<long>(m_audioBuffer.size()));
                if (n <= 0)
                    break;
                m_audioQueue->Push(m_audioBuffer.data(), static_cast<int>(n), 0, 0, 0);
            }
        }
        pace(1000 / m_fps);
        // A seek made while this frame showed wins over the step to the next frame.
        int current = position;
        m_position.compare_exchange_strong(current, position + 1);
        expected = position + 1;
    }
    m_running = false;
}
