#include "DSoundCapture.h"

#include "NetLog.h"

#include <vector>

DSoundCapture::~DSoundCapture() { Enable(false); }

bool DSoundCapture::Open(DataCallback callback, long)
{
    std::lock_guard lock(m_mutex);
    m_callback = std::move(callback);
    return true;
}

void DSoundCapture::Enable(bool on)
{
    if (on == m_running.load())
        return;
    if (on) {
        m_input = platform::openAudioInput(kSampleRate, true);
        m_running = true;
        if (!m_thread.start([this] { run(); }, 0, "DirAudioCapture")) {
            NETLOG("could not start the capture thread");
            m_running = false;
            m_input.reset();
        }
        return;
    }
    m_running = false;
    if (m_input)
        m_input->interrupt();
    m_thread.join();
    deliverPending();
    m_input.reset();
}

void DSoundCapture::deliverPending()
{
    if (!m_input)
        return;
    const std::size_t blockSamples = kBlockBytes / 2;
    const std::size_t blocks = m_input->available() / blockSamples;
    if (blocks == 0)
        return;
    std::vector<int16_t> samples(blocks * blockSamples);
    const std::size_t n = m_input->read(samples.data(), samples.size(), samples.size(), 0);
    DataCallback callback;
    {
        std::lock_guard lock(m_mutex);
        callback = m_callback;
    }
    if (n == samples.size() && callback)
        callback(reinterpret_cast<unsigned char*>(samples.data()), static_cast<unsigned int>(n * 2));
}

void DSoundCapture::run()
{
    const std::size_t blockSamples = kBlockBytes / 2;
    std::vector<int16_t> samples(blockSamples * kBlocks);
    while (m_running) {
        // Whole blocks only: everything captured so far, rounded down, at least one block.
        std::size_t want = m_input->available() / blockSamples * blockSamples;
        if (want < blockSamples)
            want = blockSamples;
        if (want > samples.size())
            want = samples.size();
        const std::size_t n = m_input->read(samples.data(), want, want, kWaitMs);
        if (n == 0)
            continue;
        DataCallback callback;
        {
            std::lock_guard lock(m_mutex);
            callback = m_callback;
        }
        if (callback)
            callback(reinterpret_cast<unsigned char*>(samples.data()), static_cast<unsigned int>(n * 2));
    }
}
