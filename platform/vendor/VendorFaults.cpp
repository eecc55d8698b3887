#include "VendorFaults.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vendor {

namespace {
struct Switch {
    int result = 0;
    int times = 0;
    int delayMs = 0;
    bool holdArmed = false; // the next matching call stops
    int holdHandle = -1;
    int holdChannel = -1;
    bool held = false;      // a call stopped and waits for its release
    bool released = false;
};
std::mutex g_mutex;
std::condition_variable g_holdChanged;
Switch g_switches[static_cast<int>(FaultCall::Count)];
} // namespace

void forceResult(FaultCall call, int result, int times)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_switches[static_cast<int>(call)].result = result;
    g_switches[static_cast<int>(call)].times = times;
}

void setDelay(FaultCall call, int ms)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_switches[static_cast<int>(call)].delayMs = ms;
}

void holdNext(FaultCall call, int handle, int channel)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Switch& s = g_switches[static_cast<int>(call)];
    s.holdArmed = true;
    s.holdHandle = handle;
    s.holdChannel = channel;
    s.held = false;
    s.released = false;
}

bool waitHeld(FaultCall call, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    const Switch& s = g_switches[static_cast<int>(call)];
    return g_holdChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.held; });
}

void releaseHeld(FaultCall call)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Switch& s = g_switches[static_cast<int>(call)];
        s.holdArmed = false;
        s.released = true;
    }
    g_holdChanged.notify_all();
}

void clearFaults()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& s : g_switches) {
            s = Switch{};
            s.released = true;
        }
    }
    g_holdChanged.notify_all();
}

bool takeFault(FaultCall call, int& result, int handle, int channel)
{
    int delay = 0;
    bool forced = false;
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        Switch& s = g_switches[static_cast<int>(call)];
        if (s.holdArmed && (s.holdHandle < 0 || s.holdHandle == handle) &&
            (s.holdChannel < 0 || s.holdChannel == channel)) {
            s.holdArmed = false;
            s.held = true;
            g_holdChanged.notify_all();
            g_holdChanged.wait(lock, [&] { return s.released; });
            s.held = false;
        }
        delay = s.delayMs;
        if (s.times > 0) {
            --s.times;
            result = s.result;
            forced = true;
        }
    }
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return forced;
}

} // namespace vendor
