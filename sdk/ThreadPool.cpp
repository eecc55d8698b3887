#include "ThreadPool.h"

#include "CrashDump.h"
#include "NetLog.h"

#include <condition_variable>
#include <exception>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace {
// The pool whose worker this thread is (null on any other thread).
thread_local const void* t_workerOf = nullptr;
} // namespace

struct ThreadPool::Core : std::enable_shared_from_this<ThreadPool::Core> {
    explicit Core(std::string poolName) : name(std::move(poolName)) {}

    mutable std::recursive_mutex mutex;
    std::deque<Task> queue;
    // Tasks of ScheduleAfter by the time they are due; moved to the queue's end by a worker.
    std::multimap<std::chrono::steady_clock::time_point, Task> delayed;
    int current = 0;
    int target = 0;
    int activeCount = 0;
    int started = 0; // numbers the worker names
    bool terminate = false;
    std::condition_variable_any taskAvailable;
    std::condition_variable_any workerIdle;
    std::list<std::thread> workers; // every worker ever started, joined at shut-down
    std::string name;

    // Caller holds the mutex.
    bool startWorker()
    {
        try {
            const std::string threadName = name.substr(0, 11) + "-" + std::to_string(started % 1000);
            ++started;
            ++current;
            workers.emplace_back([self = shared_from_this(), threadName] {
                pthread_setname_np(pthread_self(), threadName.c_str());
                crashdump::EnsureAltStack();
                t_workerOf = self.get();
                self->work();
            });
            return true;
        } catch (const std::system_error&) {
            --current;
            return false;
        }
    }

    // Caller holds the mutex: the delayed tasks that are due join the queue, earliest first.
    void queueDueTasks()
    {
        const auto now = std::chrono::steady_clock::now();
        while (!delayed.empty() && delayed.begin()->first <= now) {
            queue.push_back(std::move(delayed.begin()->second));
            delayed.erase(delayed.begin());
        }
    }

    // A worker counts as active only while it runs a task: one that is starting or waiting runs
    // nothing, so "no task running and none queued" can be read at any moment. Between two tasks
    // the lock is held, so a busy worker is never seen idle.
    void work()
    {
        std::unique_lock<std::recursive_mutex> lock(mutex);
        for (;;) {
            if (target < current)
                break;
            queueDueTasks();
            if (!queue.empty()) {
                Task task = std::move(queue.front());
                queue.pop_front();
                ++activeCount;
                lock.unlock();
                bool failed = false;
                try {
                    task();
                } catch (...) {
                    failed = true;
                }
                task = nullptr;
                lock.lock();
                --activeCount;
                // WaitIdle on a worker waits for every task but its own.
                if (activeCount <= 1)
                    workerIdle.notify_all();
                if (failed) {
                    // This worker ends; a replacement keeps the count.
                    --current;
                    workerIdle.notify_all();
                    if (!terminate)
                        startWorker();
                    return;
                }
                continue;
            }
            if (target < current)
                break;
            // Any wake-up goes round the loop: a task scheduled, a shrink, or a delayed task
            // earlier than the one waited for.
            // The wait reads its deadline again after the lock is let go, when another worker may
            // have taken that delayed task: it waits on a copy, never on the queue's own entry.
            if (delayed.empty()) {
                taskAvailable.wait(lock);
            } else {
                const auto due = delayed.begin()->first;
                taskAvailable.wait_until(lock, due);
            }
        }
        --current;
        workerIdle.notify_all();
    }

    void shutdown()
    {
        std::list<std::thread> toJoin;
        {
            std::unique_lock<std::recursive_mutex> lock(mutex);
            // A pool without workers never runs what is queued on it (tasks posted to a pool that
            // replaced a running one at shut-down): those are dropped, not waited for.
            workerIdle.wait(lock, [this] { return (queue.empty() || current == 0) && activeCount == 0; });
            queue.clear();
            delayed.clear();
            terminate = true;
            target = 0;
            taskAvailable.notify_all();
            workerIdle.wait(lock, [this] { return current == 0; });
            toJoin.swap(workers);
        }
        for (auto& t : toJoin)
            if (t.joinable()) {
                if (t.get_id() == std::this_thread::get_id())
                    t.detach(); // the last handle died on one of our own workers
                else
                    t.join();
            }
    }
};

ThreadPool::ThreadPool(std::string name) : m_core(std::make_shared<Core>(std::move(name)))
{
    auto core = m_core;
    m_shutdown = std::shared_ptr<void>(nullptr, [core](void*) { core->shutdown(); });
}

ThreadPool::~ThreadPool() = default;

bool ThreadPool::Schedule(Task task)
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    m_core->queue.push_back(std::move(task));
    m_core->taskAvailable.notify_one();
    return true;
}

bool ThreadPool::ScheduleNext(Task task)
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    const bool keep = t_workerOf == m_core.get() && m_core->queue.empty() && !m_core->terminate &&
                      m_core->target >= m_core->current;
    m_core->queue.push_back(std::move(task));
    // Waking another worker would move the stream to another thread (and core) for every frame.
    if (!keep)
        m_core->taskAvailable.notify_one();
    return true;
}

bool ThreadPool::ScheduleAfter(std::chrono::milliseconds delay, Task task)
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    m_core->delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    // Idle workers wait for the earliest delayed task, which may now be this one.
    m_core->taskAvailable.notify_all();
    return true;
}

void ThreadPool::Clear()
{
    std::deque<Task> dropped;
    std::multimap<std::chrono::steady_clock::time_point, Task> droppedDelayed;
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
        dropped.swap(m_core->queue);
        droppedDelayed.swap(m_core->delayed);
    }
    // The dropped tasks (and what they captured) are destroyed without the lock.
}

bool ThreadPool::Resize(int workers)
{
    if (workers < 0)
        workers = 0;
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    if (m_core->terminate)
        return false;
    m_core->target = workers;
    if (workers < m_core->current) {
        m_core->taskAvailable.notify_all();
        return true;
    }
    while (m_core->current < workers)
        if (!m_core->startWorker())
            return false;
    return true;
}

int ThreadPool::size() const
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    return m_core->current;
}

int ThreadPool::pending() const
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    return static_cast<int>(m_core->queue.size() + m_core->delayed.size());
}

int ThreadPool::active() const
{
    std::lock_guard<std::recursive_mutex> lock(m_core->mutex);
    return m_core->activeCount;
}

bool ThreadPool::WaitIdle(std::chrono::steady_clock::time_point deadline) const
{
    const int own = t_workerOf == m_core.get() ? 1 : 0;
    std::unique_lock<std::recursive_mutex> lock(m_core->mutex);
    return m_core->workerIdle.wait_until(lock, deadline, [&] { return m_core->activeCount <= own; });
}

LoopedTask::LoopedTask(std::function<bool()> function, int intervalMs)
    : m_function(std::move(function)), m_interval(intervalMs)
{
}

void LoopedTask::Stop()
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_stopped = true;
    m_stopWake.notify_all();
}

bool LoopedTask::waitInterval()
{
    std::unique_lock<std::mutex> lock(m_stopMutex);
    if (m_interval.count() > 0)
        m_stopWake.wait_for(lock, m_interval, [this] { return m_stopped; });
    return !m_stopped;
}

void LoopedTask::Run()
{
    if (!waitInterval())
        return;
    for (;;) {
        bool again = true;
        try {
            again = m_function();
        } catch (const std::exception& e) {
            reportThrow(e.what());
        } catch (...) {
            reportThrow("unknown exception");
        }
        if (!again)
            return;
        if (m_interval.count() <= 0)
            std::this_thread::yield();
        if (!waitInterval())
            return;
    }
}

void LoopedTask::reportThrow(const char* what)
{
    // A task that throws on every pass would otherwise fill the log ten times a second.
    if (m_reported)
        return;
    m_reported = true;
    NETLOG("looped task threw (" << what << "); it keeps running");
}

std::shared_ptr<LoopedTask> ScheduleLooped(ThreadPool& pool, std::function<bool()> function, int intervalMs)
{
    auto task = std::make_shared<LoopedTask>(std::move(function), intervalMs);
    pool.Schedule([task] { task->Run(); });
    return task;
}
