// The one wait of the tests: a condition is checked until it holds or a deadline passes. The
// deadline only keeps a broken run from hanging; it is never how a test measures time, so it is
// generous. Protocol timers that a test waits on are shortened on the object under test instead.
#pragma once

#include <chrono>
#include <thread>

namespace lumora::test {

inline constexpr std::chrono::milliseconds kWaitLimit{15000};

// True as soon as condition() holds; false when it still does not hold at the deadline.
template <class Condition>
bool waitUntil(Condition&& condition, std::chrono::milliseconds limit = kWaitLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace lumora::test
