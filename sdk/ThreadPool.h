// A fixed number of named worker threads taking tasks from one first-in-first-out queue, and the
// looped task that keeps one worker calling a polling function until it returns false.
//
// A ThreadPool is a copyable handle to a shared core; when the last handle goes away the pool
// waits for its queue to drain and its running tasks to end, then stops and joins its workers
// (delayed tasks not yet due are dropped, not waited for). Every operation takes the core's
// recursive mutex, so a task may schedule, clear or resize its own pool. Tasks run without the
// mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class ThreadPool {
public:
    using Task = std::function<void()>;

    // `name` prefixes the worker thread names (at most 15 characters are kept with the number).
    explicit ThreadPool(std::string name = "lumora");
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = default;
    ThreadPool& operator=(const ThreadPool&) = default;

    // Appends the task and wakes one idle worker; always true. With no workers the task waits
    // until the pool is resized above 0.
    bool Schedule(Task task);
    // For a task's last act, posting its own continuation (a stream's next read): when called on
    // a worker of this pool and nothing else is queued, the task is left for this worker, which
    // takes it as soon as the calling task returns, instead of waking another one. The caller
    // must return promptly. Anywhere else it is Schedule.
    bool ScheduleNext(Task task);
    // Appends the task to the queue once `delay` has passed; always true. No worker is held while
    // it waits: an idle worker takes it when it is due (later when every worker is busy).
    bool ScheduleAfter(std::chrono::milliseconds delay, Task task);
    // Drops every queued task, delayed ones included; running tasks and workers go on.
    void Clear();
    // Sets the worker count. Shrinking ends idle workers at once and busy ones after their task.
    // False when the pool is shutting down or the system refuses a new thread (the workers
    // started so far stay).
    bool Resize(int workers);
    // Current worker count, queued task count (delayed ones included) and workers running a task
    // now (a worker that is still starting or waits for work counts as not active).
    int size() const;
    int pending() const;
    int active() const;
    // Waits until no task of this pool runs (queued ones are not waited for) or `deadline` has
    // passed; true when none runs. On a worker of this pool its own task is not counted.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline) const;

    struct Core;

private:
    std::shared_ptr<Core> m_core;
    std::shared_ptr<void> m_shutdown; // runs the shut-down when the last handle goes away
};

// A task for ThreadPool::Schedule that calls `function` again and again, `intervalMs` apart
// (measured from the end of one call to the start of the next; the first call comes one interval
// after Run starts) until it returns false or Stop is called. A pool shuts down only after its
// looped tasks have returned. A call that throws counts as one that returned true (the first
// throw is logged): one bad pass never ends the loop.
class LoopedTask {
public:
    LoopedTask(std::function<bool()> function, int intervalMs);
    // Runs the loop on the calling thread (a pool worker) until it ends.
    void Run();
    // Ends the loop from any thread: a wait for the next call ends at once, and no call starts
    // after it (a call running now finishes first). A task stopped before Run makes no call.
    void Stop();

private:
    // Waits one interval; false when the loop has been stopped.
    bool waitInterval();
    void reportThrow(const char* what);

    std::function<bool()> m_function;
    bool m_reported = false;
    std::chrono::milliseconds m_interval;
    std::mutex m_stopMutex;
    std::condition_variable m_stopWake;
    bool m_stopped = false; // under m_stopMutex
};

// Schedules a LoopedTask on the pool; returns the task, whose Stop ends it.
std::shared_ptr<LoopedTask> ScheduleLooped(ThreadPool& pool, std::function<bool()> function, int intervalMs);
