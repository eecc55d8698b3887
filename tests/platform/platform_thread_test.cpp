#include "PlatformThread.h"
#include "WaitUntil.h"

#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

using namespace platform;

TEST(PlatformEvents, AutoResetReleasesOneWaiterThenResets)
{
    AutoResetEvent event;
    EXPECT_FALSE(event.wait(0));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_FALSE(event.wait(10));
    // The same with a limit in microseconds; a set from another thread ends a long wait.
    event.set();
    EXPECT_TRUE(event.waitMicros(0));
    EXPECT_FALSE(event.waitMicros(200));
    std::thread setter([&event] { event.set(); });
    EXPECT_TRUE(event.waitMicros(60'000'000));
    setter.join();
    EXPECT_FALSE(event.waitMicros(0));
}

TEST(PlatformEvents, ManualResetStaysSignalled)
{
    ManualResetEvent event;
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(0));
    event.reset();
    EXPECT_FALSE(event.wait(5));
}

TEST(PlatformSemaphore, CountsAndClampsAtMaximum)
{
    Semaphore sem(0, 2);
    EXPECT_TRUE(sem.release(5));
    EXPECT_EQ(sem.count(), 2);
    EXPECT_FALSE(sem.release());
    EXPECT_TRUE(sem.wait(0));
    EXPECT_TRUE(sem.wait(0));
    EXPECT_FALSE(sem.wait(5));
}

// A thread that joins its own Thread object (a stop called from the thread itself) goes on
// running its function, whose captured state must stay alive until the function returns.
TEST(PlatformThread, JoinOnItsOwnThreadKeepsTheRunningFunctionAlive)
{
    Thread thread;
    std::promise<long> result;
    std::vector<long> numbers(4096);
    std::iota(numbers.begin(), numbers.end(), 1);
    ASSERT_TRUE(thread.start(
        [&thread, &result, numbers] {
            thread.join();
            result.set_value(std::accumulate(numbers.begin(), numbers.end(), 0L));
        },
        0, "selfjoin"));
    EXPECT_EQ(result.get_future().get(), 4096L * 4097L / 2);
    // The value is set just before the function returns.
    EXPECT_TRUE(lumora::test::waitUntil([&] { return !thread.running(); }));
}

TEST(PlatformThread, RunsWithSmallStackAndJoins)
{
    std::atomic<int> ran{0};
    Thread thread;
    ASSERT_TRUE(thread.start([&] { ran = 1; }, 4096, "tiny"));
    EXPECT_FALSE(thread.start([] {}));
    thread.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(thread.running());
}

TEST(PlatformClock, MonotonicAndTickAgree)
{
    const uint64_t before = monotonicMicros();
    sleepMillis(5);
    const uint64_t after = monotonicMicros();
    EXPECT_GE(after - before, 5000u);
    EXPECT_NEAR(static_cast<double>(tickMillis()), static_cast<double>(after / 1000), 1000.0);
}
