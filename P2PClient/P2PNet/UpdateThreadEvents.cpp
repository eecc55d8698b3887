#include "UpdateThreadEvents.h"

#include <chrono>

namespace P2PNet {

void UpdateThreadEvents::Starting()
{
    std::lock_guard lock(m_lock);
    m_running = false;
    m_ended = false;
    m_links = 0;
}

void UpdateThreadEvents::Running()
{
    {
        std::lock_guard lock(m_lock);
        m_running = true;
    }
    m_changed.notify_all();
}

void UpdateThreadEvents::Ended()
{
    {
        std::lock_guard lock(m_lock);
        m_running = false;
        m_ended = true;
    }
    m_changed.notify_all();
}

bool UpdateThreadEvents::WaitRunning(int limitMs)
{
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return m_running.load() || m_ended; });
    return m_running.load();
}

void UpdateThreadEvents::PublishLinks(std::size_t count)
{
    // Most rounds change nothing: no lock, no wake-up.
    if (m_links.load() == count)
        return;
    {
        std::lock_guard lock(m_lock);
        m_links = count;
    }
    if (count == 0)
        m_changed.notify_all();
}

bool UpdateThreadEvents::WaitNoLinks(int limitMs)
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(limitMs),
                              [&] { return m_links.load() == 0 || m_ended; });
}

} // namespace P2PNet
