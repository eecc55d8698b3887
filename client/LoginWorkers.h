// The device tree's login threads: one short-lived thread per login, since LoginDev holds its
// caller through the transport connect. The threads are owned here: stop() keeps threads that
// have not called LoginDev yet from calling it, and the destructor joins them all.
//
// Thread: start and stop on the GUI thread; the jobs run on the workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace platform {
class Thread;
}

class LoginWorkers {
public:
    LoginWorkers();
    ~LoginWorkers();
    LoginWorkers(const LoginWorkers&) = delete;
    LoginWorkers& operator=(const LoginWorkers&) = delete;

    // Runs job on a new thread after delayMs (a stop during the delay cancels it).
    void start(std::function<void()> job, int delayMs = 0);
    // Jobs not yet started never start.
    void stop();
    bool stopped() const { return m_stopped.load(); }
    // Threads started and not yet finished.
    int running() const;

private:
    struct Worker;
    void reapFinished();

    std::atomic<bool> m_stopped{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::list<std::unique_ptr<Worker>> m_workers; // GUI thread
};
