#include "AudioCapture.h"

#include "NetProImple.h"

#include <cstring>

AudioCapture::~AudioCapture() { Stop(); }

void AudioCapture::Start(NetProImple* session, long window)
{
    Start(
        [session](std::vector<char> frame) {
            if (session && session->parser())
                session->parser()->SendAudioFrame(std::move(frame));
        },
        window);
}

void AudioCapture::Start(FrameSink sink, long window)
{
    if (m_input)
        m_input->Enable(false);
    {
        std::lock_guard lock(m_mutex);
        m_sink = std::move(sink);
    }
    if (!m_input)
        m_input = std::make_unique<DSoundCapture>();
    if (!m_encoder)
        m_encoder = std::make_unique<ALawEncode>();
    m_input->Open([this](unsigned char* data, unsigned int bytes) { OnCapture(data, bytes); }, window);
    m_fill = 0;
    m_running = true;
    m_input->Enable(true);
}

void AudioCapture::Stop()
{
    m_running = false;
    if (m_input)
        m_input->Enable(false);
}

void AudioCapture::OnCapture(unsigned char* data, unsigned int bytes)
{
    if (!m_encoder)
        m_encoder = std::make_unique<ALawEncode>();
    FrameSink sink;
    {
        std::lock_guard lock(m_mutex);
        sink = m_sink;
    }
    unsigned int offset = 0;
    while (offset < bytes) {
        const unsigned int n = std::min<unsigned int>(bytes - offset, static_cast<unsigned int>(kBlockBytes - m_fill));
        std::memcpy(m_block + m_fill, data + offset, n);
        m_fill += static_cast<int>(n);
        offset += n;
        if (m_fill == kBlockBytes) {
            std::vector<char> frame(kBlockBytes / 2);
            short samples[kBlockBytes / 2];
            std::memcpy(samples, m_block, kBlockBytes);
            unsigned encoded = kBlockBytes;
            m_encoder->Encode(reinterpret_cast<unsigned char*>(frame.data()), samples, &encoded);
            m_fill = 0;
            if (sink)
                sink(std::move(frame));
        }
    }
}
