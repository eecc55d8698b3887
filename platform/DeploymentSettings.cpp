#include "DeploymentSettings.h"

#include <mutex>

namespace deployment {

namespace {

std::mutex g_mutex;
SearchTarget g_searchTarget;
std::string g_p2pDirectory;
SdkTimings g_sdkTimings;
uint32_t g_tovelLinkTimeoutMs = 0;

} // namespace

void setSearchTarget(const std::string& address, uint16_t port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_searchTarget = {address, address.empty() ? uint16_t{0} : port};
}

SearchTarget searchTarget()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_searchTarget;
}

void setP2PDirectory(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_p2pDirectory = path;
}

std::string p2pDirectory()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_p2pDirectory;
}

void setSdkTimings(const SdkTimings& timings)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sdkTimings = timings;
}

SdkTimings sdkTimings()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_sdkTimings;
}

void setTovelLinkTimeoutMs(uint32_t timeoutMs)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_tovelLinkTimeoutMs = timeoutMs;
}

uint32_t tovelLinkTimeoutMs()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_tovelLinkTimeoutMs;
}

} // namespace deployment
