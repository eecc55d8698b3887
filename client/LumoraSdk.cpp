#include "LumoraSdk.h"

#include "StringConvert.h"
#include "libLumora.h"

#include <mutex>

namespace {

std::mutex g_mutex;
bool g_started = false;
QString g_server;

}  // namespace

namespace LumoraSdk {

void Start(const QString& serverString)
{
    {
        std::lock_guard lock(g_mutex);
        if (g_started) {
            return;
        }
        g_started = true;
        g_server = serverString;
    }
    const std::string narrow = WideToMultiByte(serverString);
    InitLibLumora(narrow.c_str(), 0);
}

void Stop()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_started) {
            return;
        }
        g_started = false;
    }
    DeInitLibLumora();
}

bool Started()
{
    std::lock_guard lock(g_mutex);
    return g_started;
}

QString ServerString()
{
    std::lock_guard lock(g_mutex);
    return g_server;
}

}  // namespace LumoraSdk
