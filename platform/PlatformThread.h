// Threads, events, semaphores, critical sections and clocks in place of the Win32 kernel objects
// (CreateThread with a stack size, auto-reset events, semaphores, critical sections,
// QueryPerformanceCounter, GetTickCount, Sleep). Named semaphores are process-local here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// Waits given in milliseconds; kInfinite waits for ever.
constexpr int kInfinite = -1;

// Microseconds on a monotonic clock (the performance counter's stand-in). Never goes back.
uint64_t monotonicMicros();
// Milliseconds on a monotonic clock, wrapping at 2^32 like GetTickCount.
uint32_t tickMillis();
void sleepMillis(uint32_t ms);

// A joinable thread started with an explicit stack size (0 keeps the system default).
// Owned by its creator; the destructor joins a thread still running.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts fn on a new thread; false when the thread could not be created or one is running.
    // The name (at most 15 characters are kept) shows in debuggers and `top -H`.
    bool start(std::function<void()> fn, std::size_t stackSize = 0, const std::string& name = {});
    void join();
    bool running() const { return m_started; }
    // True when called on this thread.
    bool isCurrent() const;

    struct Impl;

private:
    // Shared with the running thread, which keeps the function alive until it returns even when
    // join() was called on the thread itself.
    std::shared_ptr<Impl> m_impl;
    std::atomic<bool> m_started{false};
};

// Auto-reset event: set() releases exactly one waiter (or the next one to wait), then resets.
class AutoResetEvent {
public:
    void set();
    void reset();
    // True when signalled within timeoutMs, false on time-out.
    bool wait(int timeoutMs = kInfinite);
    // The same with a limit in microseconds (for waits shorter than a millisecond).
    bool waitMicros(uint64_t timeoutUs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled = false;
};

// Manual-reset event: stays signalled until reset().
class ManualResetEvent {
public:
    void set();
    void reset();
    bool isSet();
    bool wait(int timeoutMs = kInfinite);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled = false;
};

// Counting semaphore with a maximum count, as CreateSemaphore.
class Semaphore {
public:
    explicit Semaphore(long initial = 0, long maximum = 0x7fffffff);
    // Adds count (clamped to the maximum); false when the count was already at the maximum.
    bool release(long count = 1);
    // True when a unit was taken within timeoutMs.
    bool wait(int timeoutMs = kInfinite);
    long count();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_count;
    long m_maximum;
};

// Re-entrant lock, as a Win32 critical section.
using CriticalSection = std::recursive_mutex;
using CriticalSectionLock = std::lock_guard<std::recursive_mutex>;

} // namespace platform
