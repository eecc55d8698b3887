// The client's call gate: a session is removed only while no call is inside, and a call that
// counts in during a removal waits for it.
#include "ApiGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(ApiGate, RemovalWaitsUntilNoCallIsInside)
{
    ApiGate gate;
    gate.countIn();
    bool removed = false;
    EXPECT_FALSE(gate.removeWhenIdle([&] { removed = true; }, 50));
    EXPECT_FALSE(removed);
    std::thread leaver([&] { gate.countOut(); });
    EXPECT_TRUE(gate.removeWhenIdle([&] { removed = true; }, 60000));
    leaver.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(gate.count(), 0);
}

TEST(ApiGate, CountOutClampsAtZero)
{
    ApiGate gate;
    gate.countOut();
    EXPECT_EQ(gate.count(), 0);
    EXPECT_TRUE(gate.waitDrained(0));
}

// Many callers count in and touch a shared object while a remover replaces it: the object is
// never replaced while a caller is inside.
TEST(ApiGate, NoCallerSeesARemovalInProgress)
{
    ApiGate gate;
    std::atomic<int> inside{0};
    std::atomic<bool> stop{false};
    std::atomic<int> violations{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] {
            while (!stop.load()) {
                ApiGateGuard guard(gate);
                ++inside;
                --inside;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        });
    int removals = 0;
    for (int i = 0; i < 200; ++i)
        if (gate.removeWhenIdle([&] {
                if (inside.load() != 0)
                    ++violations;
            },
                                1000))
            ++removals;
    stop = true;
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(removals, 0);
}

} // namespace
