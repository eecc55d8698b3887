#include "LoginWorkers.h"

#include "PlatformThread.h"

#include <chrono>

struct LoginWorkers::Worker {
    platform::Thread thread;
    std::atomic<bool> done{false};
};

LoginWorkers::LoginWorkers() = default;

LoginWorkers::~LoginWorkers()
{
    stop();
    m_workers.clear(); // each Thread joins in its destructor
}

void LoginWorkers::start(std::function<void()> job, int delayMs)
{
    if (m_stopped)
        return;
    reapFinished();
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    const bool started = w->thread.start(
        [this, w, job = std::move(job), delayMs] {
            bool cancelled;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                cancelled = m_wake.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return m_stopped.load(); });
            }
            if (!cancelled)
                job();
            w->done = true;
        },
        0, "DevLogin");
    if (started)
        m_workers.push_back(std::move(worker));
}

void LoginWorkers::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_wake.notify_all();
}

int LoginWorkers::running() const
{
    int n = 0;
    for (const auto& w : m_workers)
        n += w->done ? 0 : 1;
    return n;
}

void LoginWorkers::reapFinished()
{
    m_workers.remove_if([](const std::unique_ptr<Worker>& w) { return w->done.load(); });
}
