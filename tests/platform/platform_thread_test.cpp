#include "PlatformThread.h"

#include <atomic>
#include <gtest/gtest.h>

using namespace platform;

TEST(PlatformEvents, AutoResetReleasesOneWaiterThenResets)
{
    AutoResetEvent event;
    EXPECT_FALSE(event.wait(0));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_FALSE(event.wait(10));
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
