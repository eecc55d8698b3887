#include "AudioPlayer.h"

#include <algorithm>
#include <cstring>

AudioPlayer::~AudioPlayer()
{
    if (m_output)
        m_output->Enable(false);
}

void AudioPlayer::Start(FrameBufferPool* pool, long window)
{
    // Stop first so the source never changes under a running pull.
    if (m_output)
        m_output->Enable(false);
    {
        std::lock_guard lock(m_mutex);
        m_source = pool;
        if (m_source)
            m_source->Flush();
        m_carry.clear();
        m_readPos = 0;
        if (!m_decoder)
            m_decoder = std::make_unique<ALawDecoder>();
    }
    if (!m_output) {
        m_output = std::make_unique<DSoundPlay>();
        m_output->Open([this](unsigned char* buffer, unsigned int bytes) { OnPull(buffer, bytes); }, window);
    }
    m_output->Enable(true);
}

void AudioPlayer::Stop()
{
    if (m_output)
        m_output->Enable(false);
    std::lock_guard lock(m_mutex);
    m_carry.clear();
    m_readPos = 0;
}

bool AudioPlayer::Playing() { return m_output && m_output->Enabled(); }

void AudioPlayer::OnPull(unsigned char* buffer, unsigned int bytes)
{
    std::lock_guard lock(m_mutex);
    std::size_t wanted = bytes / 2;
    auto* out = reinterpret_cast<short*>(buffer);
    std::size_t filled = 0;
    auto takeCarry = [&] {
        const std::size_t n = std::min(wanted - filled, m_carry.size() - m_readPos);
        if (n > 0)
            std::memcpy(out + filled, m_carry.data() + m_readPos, n * sizeof(short));
        filled += n;
        m_readPos += n;
    };
    takeCarry();
    while (filled < wanted && m_source) {
        MediaFrame* frame = m_source->Front();
        if (frame == nullptr)
            break;
        const int length = std::min<int>(frame->length, kMaxFrameBytes);
        m_carry.resize(static_cast<std::size_t>(length));
        ALawDecoder::DecodeBytes(reinterpret_cast<const unsigned char*>(frame->data.data()), length, m_carry.data(), true);
        m_readPos = 0;
        m_source->Release();
        takeCarry();
    }
    // An odd byte count or an empty pool: silence for the rest.
    std::memset(buffer + filled * 2, 0, bytes - filled * 2);
}
