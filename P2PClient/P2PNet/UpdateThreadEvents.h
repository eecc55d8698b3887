// The peer's update thread as events others wait on, each wait with a limit: Start waits for the
// new thread to run, and a Stop that lets connections close first waits for the last of them to
// go (the thread publishes the count of open slots at the end of every round).
//
// Lock: m_lock guards m_running, m_ended and m_links; waiters wait on m_changed. A leaf lock.
// m_running and m_links are also read without it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace P2PNet {

class UpdateThreadEvents {
public:
    // Before the thread is started: not running, not ended, no open slot.
    void Starting();
    // Update thread, before its first round.
    void Running();
    // Update thread, after its last round; also Stop, after joining it (or when none ran).
    void Ended();
    // Between Running and Ended.
    bool IsRunning() const { return m_running.load(); }
    // True once the thread runs; false when it ended first or limitMs passed.
    bool WaitRunning(int limitMs);

    // Update round, at its end: the number of open slots.
    void PublishLinks(std::size_t count);
    // True once no slot is open or the thread has ended; false when limitMs passed first.
    bool WaitNoLinks(int limitMs);

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::atomic<bool> m_running{false};
    bool m_ended = true;
    std::atomic<std::size_t> m_links{0};
};

} // namespace P2PNet
