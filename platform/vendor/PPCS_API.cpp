#include "PPCS_API.h"

#include "LoopLink.h"
#include "VendorFaults.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace {

using vendor::LinkState;
using vendor::LoopSession;

std::mutex g_mutex;
bool g_initialized = false;
int g_nextHandle = 0;
std::map<int, std::shared_ptr<LoopSession>> g_sessions;
std::set<std::atomic<bool>*> g_connecting;
std::map<std::string, std::unique_ptr<vendor::LoopListener>> g_listeners;

std::shared_ptr<LoopSession> find(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sessions.find(handle);
    return it == g_sessions.end() ? nullptr : it->second;
}

int closedCode(LinkState state)
{
    switch (state) {
    case LinkState::ClosedLocal:
        return PPCS_ERR_SESSION_CLOSED_CALLED;
    case LinkState::TimedOut:
        return PPCS_ERR_SESSION_CLOSED_TIMEOUT;
    default:
        return PPCS_ERR_SESSION_CLOSED_REMOTE;
    }
}

int addSession(std::shared_ptr<LoopSession> session)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int handle = g_nextHandle++;
    g_sessions[handle] = std::move(session);
    return handle;
}

} // namespace

extern "C" {

int PPCS_Initialize(char* parameter)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_initialized = parameter != nullptr;
    return g_initialized ? PPCS_SUCCESSFUL : PPCS_ERR_INVALID_PARAMETER;
}

int PPCS_DeInitialize(void)
{
    std::map<int, std::shared_ptr<LoopSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_initialized)
            return PPCS_ERR_NOT_INITIALIZED;
        g_initialized = false;
        sessions.swap(g_sessions);
        for (auto& [id, listener] : g_listeners)
            listener->breakWait();
        for (auto* flag : g_connecting)
            flag->store(true);
    }
    for (auto& [handle, session] : sessions)
        session->close();
    return PPCS_SUCCESSFUL;
}

int PPCS_Connect(const char* targetId, char enableLanSearch, unsigned short udpPort)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_initialized)
            return PPCS_ERR_NOT_INITIALIZED;
    }
    if (targetId == nullptr || *targetId == '\0' || std::strlen(targetId) > 64)
        return PPCS_ERR_INVALID_ID;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::PpcsConnect, forced))
        return forced;
    std::atomic<bool> broken{false};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_connecting.insert(&broken);
    }
    vendor::ConnectError error = vendor::ConnectError::None;
    auto session = vendor::connectTo(targetId, &broken, error);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_connecting.erase(&broken);
    }
    switch (error) {
    case vendor::ConnectError::None:
        return addSession(std::move(session));
    case vendor::ConnectError::Broken:
        return PPCS_ERR_USER_CONNECT_BREAK;
    case vendor::ConnectError::UnknownUid:
    case vendor::ConnectError::NotLoopback:
        return PPCS_ERR_INVALID_ID;
    default:
        return PPCS_ERR_DEVICE_NOT_ONLINE;
    }
}

int PPCS_Connect_Break(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto* flag : g_connecting)
        flag->store(true);
    return PPCS_SUCCESSFUL;
}

int PPCS_Check(int sessionHandle, st_PPCS_Session* info)
{
    auto session = find(sessionHandle);
    if (!session)
        return PPCS_ERR_INVALID_SESSION_HANDLE;
    if (session->state() != LinkState::Open)
        return closedCode(session->state());
    if (info != nullptr) {
        std::memset(info, 0, sizeof *info);
        std::strncpy(info->remoteAddress, session->peerAddress().c_str(), sizeof info->remoteAddress - 1);
        // Devices found through the loopback directory count as reached on the LAN.
        info->mode = PPCS_MODE_LAN;
    }
    return PPCS_SUCCESSFUL;
}

int PPCS_Read(int sessionHandle, unsigned char channel, char* data, int* size, unsigned int timeoutMs)
{
    if (data == nullptr || size == nullptr || *size < 0 || channel >= 8)
        return PPCS_ERR_INVALID_PARAMETER;
    auto session = find(sessionHandle);
    if (!session)
        return PPCS_ERR_INVALID_SESSION_HANDLE;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::PpcsRead, forced, sessionHandle, channel)) {
        // A forced time-out still delivers what has arrived: at most half the request, so the
        // caller sees a partial count.
        *size = forced == PPCS_ERR_TIME_OUT ? session->readStream(channel, data, *size / 2, 0) : 0;
        return forced;
    }
    const int wanted = *size;
    *size = session->readStream(channel, data, wanted, static_cast<int>(timeoutMs));
    if (*size == wanted)
        return PPCS_SUCCESSFUL;
    if (session->state() != LinkState::Open)
        return closedCode(session->state());
    return PPCS_ERR_TIME_OUT;
}

int PPCS_Write(int sessionHandle, unsigned char channel, const char* data, int size)
{
    if (data == nullptr || size < 0 || channel >= 8)
        return PPCS_ERR_INVALID_PARAMETER;
    auto session = find(sessionHandle);
    if (!session)
        return PPCS_ERR_INVALID_SESSION_HANDLE;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::PpcsWrite, forced)) {
        if (forced == PPCS_ERR_SESSION_CLOSED_TIMEOUT)
            session->close(LinkState::TimedOut);
        return forced;
    }
    vendor::LoopMessage m;
    m.kind = vendor::MsgKind::Stream;
    m.channel = channel;
    m.data.assign(data, data + size);
    if (!session->send(m))
        return closedCode(session->state());
    return size;
}

int PPCS_Close(int sessionHandle)
{
    std::shared_ptr<LoopSession> session;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_sessions.find(sessionHandle);
        if (it == g_sessions.end())
            return PPCS_ERR_INVALID_SESSION_HANDLE;
        session = std::move(it->second);
        g_sessions.erase(it);
    }
    session->close();
    return PPCS_SUCCESSFUL;
}

int PPCS_Listen(const char* myId, unsigned int timeoutSec, unsigned short udpPort, char enableInternet, const char* apiLicense)
{
    if (myId == nullptr || *myId == '\0')
        return PPCS_ERR_INVALID_ID;
    vendor::LoopListener* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_initialized)
            return PPCS_ERR_NOT_INITIALIZED;
        auto& slot = g_listeners[myId];
        if (!slot) {
            slot = std::make_unique<vendor::LoopListener>();
            if (!slot->open(myId)) {
                g_listeners.erase(myId);
                return PPCS_ERR_INVALID_ID;
            }
        }
        listener = slot.get();
    }
    auto session = listener->accept(static_cast<int>(timeoutSec) * 1000);
    if (!session) {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_initialized ? PPCS_ERR_TIME_OUT : PPCS_ERR_USER_LISTEN_BREAK;
    }
    return addSession(std::move(session));
}

int PPCS_Listen_Break(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [id, listener] : g_listeners)
        listener->breakWait();
    return PPCS_SUCCESSFUL;
}

} // extern "C"
