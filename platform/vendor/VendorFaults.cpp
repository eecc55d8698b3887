#include "VendorFaults.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace vendor {

namespace {
struct Switch {
    int result = 0;
    int times = 0;
    int delayMs = 0;
};
std::mutex g_mutex;
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

void clearFaults()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& s : g_switches)
        s = Switch{};
}

bool takeFault(FaultCall call, int& result)
{
    int delay = 0;
    bool forced = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Switch& s = g_switches[static_cast<int>(call)];
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
