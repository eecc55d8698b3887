// A fixed number of named worker threads taking tasks from one first-in-first-out queue, and the
// looped task that keeps one worker calling a polling function until it returns false.
//
// A ThreadPool is a copyable handle to a shared core; when the last handle goes away the pool
// waits for its queue to drain and its running tasks to end, then stops and joins its workers.
// Every operation takes the core's recursive mutex, so a task may schedule, clear or resize its
// own pool. Tasks run without the mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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
    // Drops every queued task; running tasks and workers go on.
    void Clear();
    // Sets the worker count. Shrinking ends idle workers at once and busy ones after their task.
    // False when the pool is shutting down or the system refuses a new thread (the workers
    // started so far stay).
    bool Resize(int workers);
    // Current worker count, queued task count and workers running a task now (a worker that is
    // still starting or waits for work counts as not active).
    int size() const;
    int pending() const;
    int active() const;

    struct Core;

private:
    std::shared_ptr<Core> m_core;
    std::shared_ptr<void> m_shutdown; // runs the shut-down when the last handle goes away
};

// A task for ThreadPool::Schedule that calls `function` again and again, `intervalMs` apart
// (measured from the end of one call to the start of the next; the first call comes one interval
// after Run starts) until it returns false. The function decides when the loop ends: a pool
// shuts down only after its looped tasks have returned. A call that throws counts as one that
// returned true (the first throw is logged): one bad pass never ends the loop.
class LoopedTask {
public:
    LoopedTask(std::function<bool()> function, int intervalMs);
    void Run();

private:
    void reportThrow(const char* what);

    std::function<bool()> m_function;
    bool m_reported = false;
    std::chrono::seconds m_seconds;
    std::chrono::nanoseconds m_nanoseconds;
};

// Schedules a LoopedTask on the pool.
bool ScheduleLooped(ThreadPool& pool, std::function<bool()> function, int intervalMs);
