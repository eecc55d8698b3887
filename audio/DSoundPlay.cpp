#include "DSoundPlay.h"

#include "NetLog.h"

#include <vector>

std::array<int, DSoundPlay::kBlocks> DSoundPlay::NotificationPositions()
{
    std::array<int, kBlocks> positions{};
    for (int i = 1; i <= kBlocks; ++i)
        positions[static_cast<std::size_t>(i - 1)] = kBlockBytes * i - 1;
    return positions;
}

DSoundPlay::~DSoundPlay() { Enable(false); }

bool DSoundPlay::Open(PullCallback pull, long)
{
    std::lock_guard lock(m_mutex);
    m_pull = std::move(pull);
    return true;
}

bool DSoundPlay::Enabled() { return m_running; }

void DSoundPlay::Enable(bool on)
{
    if (on == m_running.load())
        return;
    if (on) {
        m_output = platform::openAudioOutput(kSampleRate, static_cast<std::size_t>(kBlockBytes * kWriteAheadBlocks));
        {
            std::lock_guard lock(m_mutex);
            m_running = true;
            m_threadStarted = false;
        }
        if (!m_thread.start([this] { run(); }, 0, "DirAudioPlay")) {
            NETLOG("dire audio player fail");
            m_running = false;
            m_output.reset();
            return;
        }
        std::unique_lock lock(m_mutex);
        if (!m_startedCv.wait_for(lock, std::chrono::milliseconds(kStartWaitMs), [&] { return m_threadStarted; }))
            NETLOG("notify strem null");
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
    if (m_output)
        m_output->interrupt();
    m_thread.join();
    m_output.reset();
}

void DSoundPlay::run()
{
    PullCallback pull;
    {
        std::lock_guard lock(m_mutex);
        m_threadStarted = true;
        pull = m_pull;
    }
    m_startedCv.notify_all();
    std::vector<unsigned char> block(kBlockBytes);
    while (m_running) {
        if (!m_output->waitForRoom(kBlockBytes, kNotifyWaitMs))
            continue;
        if (!m_running)
            break;
        if (pull)
            pull(block.data(), kBlockBytes);
        else
            std::fill(block.begin(), block.end(), 0);
        m_output->write(reinterpret_cast<const int16_t*>(block.data()), kBlockBytes / 2);
    }
    std::lock_guard lock(m_mutex);
    m_threadStarted = false;
}
