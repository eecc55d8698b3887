// A wake-up with the semantics of a semaphore of maximum count 1 (a release while nobody waits is
// kept for the next wait), plus close(), which wakes every waiter now and later for good. Used for
// the connect wait of a session and the listen wait of the client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class Wakeup {
public:
    // False when it was already released (the release is not counted twice).
    bool release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_released)
            return false;
        m_released = true;
        m_cv.notify_one();
        return true;
    }

    // True when released (the release is consumed) or closed within timeoutMs.
    bool wait(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto ready = [this] { return m_released || m_closed; };
        if (timeoutMs <= 0) {
            if (!ready())
                return false;
        } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
            return false;
        }
        m_released = false;
        return true;
    }

    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_cv.notify_all();
    }

    bool closed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
    bool m_closed = false;
};
