// The SDK's worker pools: order, resizing, clearing and looped tasks.
#include "ThreadPool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <stdexcept>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A latch the tests wait on with a deadline.
class Gate {
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    bool wait(int ms = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

template <class Pred>
bool waitUntil(Pred pred, int ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(ThreadPool, OneWorkerRunsTasksInSchedulingOrder)
{
    ThreadPool pool("t-order");
    ASSERT_TRUE(pool.Resize(1));
    std::mutex mutex;
    std::vector<int> order;
    Gate done;
    for (int i = 0; i < 50; ++i)
        pool.Schedule([&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(i);
            if (i == 49)
                done.open();
        });
    ASSERT_TRUE(done.wait());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(ThreadPool, TasksWaitForWorkersAndRunOnceResized)
{
    ThreadPool pool("t-zero");
    std::atomic<int> ran{0};
    pool.Schedule([&] { ++ran; });
    EXPECT_EQ(pool.pending(), 1);
    EXPECT_EQ(ran.load(), 0);
    ASSERT_TRUE(pool.Resize(2));
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 1; }));
}

TEST(ThreadPool, ShrinkingLetsRunningTasksFinishThenEndsWorkers)
{
    ThreadPool pool("t-shrink");
    ASSERT_TRUE(pool.Resize(5));
    Gate release;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 5; ++i)
        pool.Schedule([&] {
            ++started;
            release.wait();
            ++finished;
        });
    ASSERT_TRUE(waitUntil([&] { return started.load() == 5; }));
    ASSERT_TRUE(pool.Resize(2));
    EXPECT_EQ(pool.size(), 5); // busy workers end after their task
    release.open();
    EXPECT_TRUE(waitUntil([&] { return finished.load() == 5 && pool.size() == 2; }));
}

// The active count says how many tasks run now, whether or not the workers have got going: a
// caller checks "nothing runs and nothing waits" right after the pool was made or grown.
TEST(ThreadPool, ActiveCountsRunningTasksOnly)
{
    ThreadPool pool("t-active");
    ASSERT_TRUE(pool.Resize(5));
    EXPECT_EQ(pool.active(), 0) << "workers just started run no task";
    Gate release;
    std::atomic<int> started{0};
    for (int i = 0; i < 2; ++i)
        pool.Schedule([&] {
            ++started;
            release.wait();
        });
    ASSERT_TRUE(waitUntil([&] { return started.load() == 2; }));
    EXPECT_EQ(pool.active(), 2);
    ASSERT_TRUE(pool.Resize(8));
    EXPECT_EQ(pool.active(), 2) << "added workers run no task";
    release.open();
    EXPECT_TRUE(waitUntil([&] { return pool.active() == 0; }));
    EXPECT_EQ(pool.size(), 8);
}

TEST(ThreadPool, ClearDropsQueuedTasksButNotRunningOnes)
{
    ThreadPool pool("t-clear");
    ASSERT_TRUE(pool.Resize(1));
    Gate release;
    std::atomic<bool> firstDone{false};
    std::atomic<int> dropped{0};
    std::atomic<bool> started{false};
    pool.Schedule([&] {
        started = true;
        release.wait();
        firstDone = true;
    });
    ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    for (int i = 0; i < 3; ++i)
        pool.Schedule([&] { ++dropped; });
    pool.Clear();
    EXPECT_EQ(pool.pending(), 0);
    release.open();
    EXPECT_TRUE(waitUntil([&] { return firstDone.load(); }));
    // A task scheduled after the clear still runs, after the dropped ones would have.
    Gate after;
    pool.Schedule([&] { after.open(); });
    EXPECT_TRUE(after.wait());
    EXPECT_EQ(dropped.load(), 0);
}

TEST(ThreadPool, ThrowingTaskKeepsTheWorkerCount)
{
    ThreadPool pool("t-throw");
    ASSERT_TRUE(pool.Resize(2));
    pool.Schedule([] { throw std::runtime_error("task failed"); });
    Gate next;
    pool.Schedule([&] { next.open(); });
    EXPECT_TRUE(next.wait());
    EXPECT_TRUE(waitUntil([&] { return pool.size() == 2; }));
}

TEST(ThreadPool, LoopedTaskRunsUntilItsFunctionSaysStopAndKeepsItsInterval)
{
    ThreadPool pool("t-loop");
    ASSERT_TRUE(pool.Resize(1));
    std::vector<std::chrono::steady_clock::time_point> calls;
    Gate done;
    const auto start = std::chrono::steady_clock::now();
    ScheduleLooped(pool,
                   [&] {
                       calls.push_back(std::chrono::steady_clock::now());
                       if (calls.size() == 4) {
                           done.open();
                           return false;
                       }
                       return true;
                   },
                   20);
    ASSERT_TRUE(done.wait());
    ASSERT_EQ(calls.size(), 4u);
    // The first call comes one interval after the start, then one interval after each return.
    EXPECT_GE(calls[0] - start, std::chrono::milliseconds(20));
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_GE(calls[i] - calls[i - 1], std::chrono::milliseconds(20));
    // The worker is free again once the function returned false.
    Gate free;
    pool.Schedule([&] { free.open(); });
    EXPECT_TRUE(free.wait());
}

TEST(ThreadPool, LoopedTaskOutlivesPassesThatThrowAndKeepsItsInterval)
{
    ThreadPool pool("t-loopthr");
    ASSERT_TRUE(pool.Resize(1));
    std::vector<std::chrono::steady_clock::time_point> calls;
    Gate done;
    ScheduleLooped(pool,
                   [&]() -> bool {
                       calls.push_back(std::chrono::steady_clock::now());
                       if (calls.size() == 1)
                           throw std::runtime_error("bad pass");
                       if (calls.size() == 2)
                           throw 7; // not even an exception type
                       if (calls.size() == 4) {
                           done.open();
                           return false;
                       }
                       return true;
                   },
                   20);
    ASSERT_TRUE(done.wait()) << "the loop ended at a throw";
    ASSERT_EQ(calls.size(), 4u);
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_GE(calls[i] - calls[i - 1], std::chrono::milliseconds(20));
}

// A stop ends a looped task's wait for its next call at once: however long the interval, the
// worker is free again and the function is not called after the stop.
TEST(ThreadPool, StoppedLoopedTaskGivesItsWorkerBackAtOnce)
{
    ThreadPool pool("t-loopstop");
    ASSERT_TRUE(pool.Resize(1));
    std::atomic<int> calls{0};
    auto task = ScheduleLooped(pool, [&] { ++calls; return true; }, 600000);
    ASSERT_TRUE(waitUntil([&] { return pool.active() == 1; }));
    task->Stop();
    Gate free;
    pool.Schedule([&] { free.open(); });
    EXPECT_TRUE(free.wait()) << "the stopped task kept its worker for its interval";
    EXPECT_EQ(calls.load(), 0);
}

// A delayed task holds no worker while it waits: the one worker runs what comes after it, a
// shorter delay scheduled later runs first, and Clear drops what has not come due.
TEST(ThreadPool, DelayedTaskWaitsWithoutHoldingAWorker)
{
    ThreadPool pool("t-delay");
    ASSERT_TRUE(pool.Resize(1));
    std::atomic<bool> farRan{false};
    pool.ScheduleAfter(std::chrono::minutes(10), [&] { farRan = true; });
    Gate next;
    pool.Schedule([&] { next.open(); });
    EXPECT_TRUE(next.wait()) << "the delayed task held the worker";
    const auto scheduled = std::chrono::steady_clock::now();
    Gate due;
    std::chrono::steady_clock::time_point ran;
    pool.ScheduleAfter(std::chrono::milliseconds(20), [&] {
        ran = std::chrono::steady_clock::now();
        due.open();
    });
    ASSERT_TRUE(due.wait()) << "the worker kept waiting for the later task";
    EXPECT_GE(ran - scheduled, std::chrono::milliseconds(20));
    EXPECT_EQ(pool.pending(), 1);
    pool.Clear();
    EXPECT_EQ(pool.pending(), 0);
    EXPECT_FALSE(farRan.load());
    // The pool's end does not wait for a delayed task either.
    pool.ScheduleAfter(std::chrono::minutes(10), [&] { farRan = true; });
}

// WaitIdle ends when the running tasks end; on a worker of the pool its own task is not counted.
TEST(ThreadPool, WaitIdleEndsWithTheRunningTasks)
{
    ThreadPool pool("t-idle");
    ASSERT_TRUE(pool.Resize(2));
    Gate release;
    pool.Schedule([&] { release.wait(); });
    ASSERT_TRUE(waitUntil([&] { return pool.active() == 1; }));
    EXPECT_FALSE(pool.WaitIdle(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    release.open();
    EXPECT_TRUE(pool.WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    std::atomic<bool> idleOnWorker{false};
    Gate checked;
    pool.Schedule([&] {
        idleOnWorker = pool.WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        checked.open();
    });
    ASSERT_TRUE(checked.wait());
    EXPECT_TRUE(idleOnWorker.load());
}

TEST(ThreadPool, ClearDoesNotStopARunningLoopedTask)
{
    ThreadPool pool("t-loopclr");
    ASSERT_TRUE(pool.Resize(1));
    std::atomic<int> calls{0};
    std::atomic<bool> keepGoing{true};
    ScheduleLooped(pool, [&] { ++calls; return keepGoing.load(); }, 0);
    ASSERT_TRUE(waitUntil([&] { return calls.load() >= 2; }));
    pool.Clear();
    const int seen = calls.load();
    EXPECT_TRUE(waitUntil([&] { return calls.load() > seen + 2; }));
    keepGoing = false;
    Gate free;
    pool.Schedule([&] { free.open(); });
    EXPECT_TRUE(free.wait());
}

} // namespace

namespace {

// A chain of tasks, each posting the next as its last act, as a stream's reads do.
struct Chain {
    ThreadPool& pool;
    std::mutex mutex;
    std::vector<std::thread::id> workers;
    Gate done;
    void step(int left)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            workers.push_back(std::this_thread::get_id());
        }
        if (left == 0) {
            done.open();
            return;
        }
        pool.ScheduleNext([this, left] { step(left - 1); });
    }
};

} // namespace

TEST(ThreadPool, ContinuationStaysOnTheWorkerThatPostedIt)
{
    ThreadPool pool("t-next");
    ASSERT_TRUE(pool.Resize(5));
    ASSERT_TRUE(waitUntil([&] { return pool.active() == 0; }));
    Chain chain{pool, {}, {}, {}};
    // From outside the pool it is an ordinary post.
    pool.ScheduleNext([&] { chain.step(40); });
    ASSERT_TRUE(chain.done.wait());
    std::lock_guard<std::mutex> lock(chain.mutex);
    ASSERT_EQ(chain.workers.size(), 41u);
    // The outside post wakes a worker; a second one that the same wake-up stirred (a condition
    // variable may wake more than one) can take the first continuation on a loaded machine.
    // From then on no other worker is woken, so the chain stays on one thread.
    for (size_t i = 2; i < chain.workers.size(); ++i)
        EXPECT_EQ(chain.workers[i], chain.workers[1]) << "step " << i;
}

// With work already queued a continuation wakes another worker: nothing waits for a busy one.
TEST(ThreadPool, ContinuationBehindQueuedWorkWakesAnotherWorker)
{
    ThreadPool pool("t-next2");
    ASSERT_TRUE(pool.Resize(2));
    ASSERT_TRUE(waitUntil([&] { return pool.active() == 0; }));
    Gate second;
    std::atomic<bool> secondRan{false};
    Gate finished;
    pool.Schedule([&] {
        pool.ScheduleNext([] {});
        pool.ScheduleNext([&] {
            secondRan = true;
            second.open();
        });
        // This worker stays busy until the other worker has run both.
        EXPECT_TRUE(second.wait());
        finished.open();
    });
    ASSERT_TRUE(finished.wait());
    EXPECT_TRUE(secondRan.load());
}
