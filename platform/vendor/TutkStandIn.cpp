// The ThroughTek stand-in: IOTC sessions and AV channels over LoopLink sessions.
#include "AVAPIs.h"
#include "IOTCAPIs.h"

#include "LoopLink.h"
#include "VendorFaults.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using vendor::LinkState;
using vendor::LoopMessage;
using vendor::LoopSession;
using vendor::MsgKind;

constexpr int kMaxSessions = 128;
constexpr int kIoCtrlMax = 1024;

struct SessionSlot {
    bool reserved = false;
    std::shared_ptr<LoopSession> session;
};

struct AvSlot {
    bool used = false;
    int sessionId = -1;
    unsigned char channel = 0;
    unsigned int frameIndex = 0;
};

std::mutex g_mutex;
bool g_iotcReady = false;
int g_avChannels = 0;
SessionSlot g_sessions[kMaxSessions];
std::vector<AvSlot> g_av;
// Device logins of this process, newest last; IOTC_Listen waits on the newest. Like the real
// library, one device per process is the supported use; older listeners are kept (never freed
// while a listen may still be inside them) but no longer waited on.
std::vector<std::unique_ptr<vendor::LoopListener>> g_listeners;

std::shared_ptr<LoopSession> sessionOf(int sid)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (sid < 0 || sid >= kMaxSessions)
        return nullptr;
    return g_sessions[sid].session;
}

// Resolves an AV index to its session and channel; an error code when it names nothing.
int avLookup(int avIndex, std::shared_ptr<LoopSession>& session, unsigned char& channel)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (avIndex < 0 || avIndex >= static_cast<int>(g_av.size()) || !g_av[avIndex].used)
        return AV_ER_INVALID_ARG;
    const AvSlot& slot = g_av[avIndex];
    session = g_sessions[slot.sessionId].session;
    channel = slot.channel;
    if (!session)
        return AV_ER_INVALID_SID;
    if (session->state() != LinkState::Open)
        return session->state() == LinkState::TimedOut ? AV_ER_REMOTE_TIMEOUT_DISCONNECT : AV_ER_SESSION_CLOSE_BY_REMOTE;
    return AV_ER_NoERROR;
}

int avStart(int sessionId, unsigned char channelId)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_avChannels <= 0)
        return AV_ER_NOT_INITIALIZED;
    if (sessionId < 0 || sessionId >= kMaxSessions || !g_sessions[sessionId].session)
        return AV_ER_INVALID_SID;
    if (g_sessions[sessionId].session->state() != LinkState::Open)
        return AV_ER_SESSION_CLOSE_BY_REMOTE;
    if (channelId >= vendor::kChannels)
        return AV_ER_INVALID_ARG;
    for (size_t i = 0; i < g_av.size(); ++i) {
        if (!g_av[i].used) {
            g_av[i] = AvSlot{true, sessionId, channelId, 0};
            return static_cast<int>(i);
        }
    }
    if (static_cast<int>(g_av.size()) >= g_avChannels)
        return AV_ER_EXCEED_MAX_CHANNEL;
    g_av.push_back(AvSlot{true, sessionId, channelId, 0});
    return static_cast<int>(g_av.size() - 1);
}

void avStop(int avIndex)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (avIndex >= 0 && avIndex < static_cast<int>(g_av.size()))
        g_av[avIndex] = AvSlot{};
}

int storeSession(std::shared_ptr<LoopSession> session, int sid)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (sid < 0) {
        for (int i = 0; i < kMaxSessions; ++i) {
            if (!g_sessions[i].reserved && !g_sessions[i].session) {
                sid = i;
                break;
            }
        }
        if (sid < 0)
            return IOTC_ER_EXCEED_MAX_SESSION;
    }
    g_sessions[sid].reserved = true;
    g_sessions[sid].session = std::move(session);
    return sid;
}

int sendKind(int avIndex, MsgKind kind, unsigned int type, const char* data, int length, const void* info, int infoSize)
{
    if ((data == nullptr && length > 0) || length < 0 || infoSize < 0 || infoSize > 1024)
        return AV_ER_INVALID_ARG;
    std::shared_ptr<LoopSession> session;
    unsigned char channel = 0;
    const int rc = avLookup(avIndex, session, channel);
    if (rc != AV_ER_NoERROR)
        return rc;
    LoopMessage m;
    m.kind = kind;
    m.channel = channel;
    m.type = type;
    if (length > 0)
        m.data.assign(data, data + length);
    if (info != nullptr && infoSize > 0)
        m.info.assign(static_cast<const char*>(info), static_cast<const char*>(info) + infoSize);
    return session->send(m) ? AV_ER_NoERROR : AV_ER_SESSION_CLOSE_BY_REMOTE;
}

int receiveFrame(int avIndex, MsgKind kind, char* buffer, int bufferSize, char* frameInfo, int infoMaxSize,
                 int* infoSize, unsigned int* frameIndex, int* expectedSize)
{
    if (buffer == nullptr || bufferSize <= 0)
        return AV_ER_INVALID_ARG;
    std::shared_ptr<LoopSession> session;
    unsigned char channel = 0;
    const int rc = avLookup(avIndex, session, channel);
    if (rc != AV_ER_NoERROR)
        return rc;
    LoopMessage m;
    if (!session->pop(kind, channel, m, 5))
        return session->state() == LinkState::Open ? AV_ER_DATA_NOREADY : AV_ER_SESSION_CLOSE_BY_REMOTE;
    if (expectedSize != nullptr)
        *expectedSize = static_cast<int>(m.data.size());
    if (static_cast<int>(m.data.size()) > bufferSize)
        return AV_ER_BUFPARA_MAXSIZE_INSUFF;
    if (!m.data.empty())
        std::memcpy(buffer, m.data.data(), m.data.size());
    const int info = std::min<int>(static_cast<int>(m.info.size()), frameInfo != nullptr ? infoMaxSize : 0);
    if (info > 0)
        std::memcpy(frameInfo, m.info.data(), static_cast<size_t>(info));
    if (infoSize != nullptr)
        *infoSize = info;
    if (frameIndex != nullptr) {
        std::lock_guard<std::mutex> lock(g_mutex);
        *frameIndex = avIndex < static_cast<int>(g_av.size()) ? g_av[avIndex].frameIndex++ : 0;
    }
    return static_cast<int>(m.data.size());
}

} // namespace

extern "C" {

int IOTC_Initialize2(unsigned short udpPort)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_iotcReady = true;
    return IOTC_ER_NoERROR;
}

int IOTC_DeInitialize(void)
{
    std::vector<std::shared_ptr<LoopSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_iotcReady = false;
        for (auto& slot : g_sessions) {
            if (slot.session)
                sessions.push_back(std::move(slot.session));
            slot = SessionSlot{};
        }
        for (auto& listener : g_listeners)
            listener->breakWait();
    }
    for (auto& s : sessions)
        s->close();
    return IOTC_ER_NoERROR;
}

void IOTC_Setup_Session_Alive_Timeout(unsigned int seconds) {}

int IOTC_Get_SessionID(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_iotcReady)
        return IOTC_ER_NOT_INITIALIZED;
    for (int i = 0; i < kMaxSessions; ++i) {
        if (!g_sessions[i].reserved && !g_sessions[i].session) {
            g_sessions[i].reserved = true;
            return i;
        }
    }
    return IOTC_ER_EXCEED_MAX_SESSION;
}

int IOTC_Connect_ByUID_Parallel(const char* uid, int sessionId)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_iotcReady)
            return IOTC_ER_NOT_INITIALIZED;
        if (sessionId < 0 || sessionId >= kMaxSessions || !g_sessions[sessionId].reserved)
            return IOTC_ER_INVALID_SID;
        if (g_sessions[sessionId].session)
            return IOTC_ER_CONNECT_IS_CALLING;
    }
    if (uid == nullptr || std::strlen(uid) != 20)
        return IOTC_ER_UNKNOWN_DEVICE;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::IotcConnect, forced))
        return forced;
    vendor::ConnectError error = vendor::ConnectError::None;
    auto session = vendor::connectTo(uid, nullptr, error);
    if (!session)
        return error == vendor::ConnectError::Refused ? IOTC_ER_TIMEOUT : IOTC_ER_UNKNOWN_DEVICE;
    return storeSession(std::move(session), sessionId);
}

int IOTC_Session_Check(int sessionId, st_SInfo* info)
{
    auto session = sessionOf(sessionId);
    if (!session)
        return IOTC_ER_INVALID_SID;
    if (session->state() != LinkState::Open)
        return IOTC_ER_SESSION_CLOSE_BY_REMOTE;
    if (info != nullptr) {
        std::memset(info, 0, sizeof *info);
        info->Mode = IOTC_MODE_LAN;
        const std::string peer = session->peerAddress();
        const auto colon = peer.rfind(':');
        std::strncpy(info->RemoteIP, peer.substr(0, colon).c_str(), sizeof info->RemoteIP - 1);
        if (colon != std::string::npos)
            info->RemotePort = static_cast<unsigned short>(std::atoi(peer.c_str() + colon + 1));
    }
    return IOTC_ER_NoERROR;
}

void IOTC_Session_Close(int sessionId)
{
    std::shared_ptr<LoopSession> session;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (sessionId < 0 || sessionId >= kMaxSessions)
            return;
        session = std::move(g_sessions[sessionId].session);
        g_sessions[sessionId] = SessionSlot{};
        for (auto& av : g_av)
            if (av.used && av.sessionId == sessionId)
                av = AvSlot{};
    }
    if (session)
        session->close();
}

int IOTC_Device_Login(const char* uid, const char* name, const char* password)
{
    if (uid == nullptr || std::strlen(uid) != 20)
        return IOTC_ER_INVALID_ARG;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_iotcReady)
        return IOTC_ER_NOT_INITIALIZED;
    auto listener = std::make_unique<vendor::LoopListener>();
    if (!listener->open(uid))
        return IOTC_ER_INVALID_ARG;
    g_listeners.push_back(std::move(listener));
    return IOTC_ER_NoERROR;
}

int IOTC_Listen(unsigned int timeoutMs)
{
    vendor::LoopListener* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_iotcReady || g_listeners.empty())
            return IOTC_ER_NOT_INITIALIZED;
        listener = g_listeners.back().get();
    }
    auto session = listener->accept(static_cast<int>(timeoutMs));
    if (!session)
        return IOTC_ER_TIMEOUT;
    return storeSession(std::move(session), -1);
}

int avInitialize(int maxChannels)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_avChannels = std::max(0, maxChannels);
    return g_avChannels;
}

int avDeInitialize(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_avChannels = 0;
    g_av.clear();
    return AV_ER_NoERROR;
}

int avClientStart2(int sessionId, const char* account, const char* password, unsigned int timeoutSec,
                   unsigned int* serverType, unsigned char channelId, int* resend)
{
    if (serverType != nullptr)
        *serverType = 0;
    if (resend != nullptr)
        *resend = 0;
    return avStart(sessionId, channelId);
}

int avServStart3(int sessionId, avAuthFn auth, unsigned int timeoutSec, unsigned int serverType,
                 unsigned char channelId, int* resend)
{
    if (resend != nullptr)
        *resend = 0;
    return avStart(sessionId, channelId);
}

void avClientStop(int avIndex)
{
    avStop(avIndex);
}

void avServStop(int avIndex)
{
    avStop(avIndex);
}

int avSendIOCtrl(int avIndex, unsigned int type, const char* data, int length)
{
    if (length > kIoCtrlMax)
        return AV_ER_INVALID_ARG;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::AvSendIOCtrl, forced))
        return forced;
    return sendKind(avIndex, MsgKind::IoCtrl, type, data, length, nullptr, 0);
}

int avRecvIOCtrl(int avIndex, unsigned int* type, char* buffer, int maxLength, unsigned int timeoutMs)
{
    if (buffer == nullptr || maxLength <= 0)
        return AV_ER_INVALID_ARG;
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::AvRecvIOCtrl, forced))
        return forced;
    std::shared_ptr<LoopSession> session;
    unsigned char channel = 0;
    const int rc = avLookup(avIndex, session, channel);
    if (rc != AV_ER_NoERROR)
        return rc;
    LoopMessage m;
    if (!session->pop(MsgKind::IoCtrl, channel, m, static_cast<int>(timeoutMs)))
        return session->state() == LinkState::Open ? AV_ER_TIMEOUT : AV_ER_SESSION_CLOSE_BY_REMOTE;
    if (static_cast<int>(m.data.size()) > maxLength)
        return AV_ER_BUFPARA_MAXSIZE_INSUFF;
    if (type != nullptr)
        *type = m.type;
    if (!m.data.empty())
        std::memcpy(buffer, m.data.data(), m.data.size());
    return static_cast<int>(m.data.size());
}

int avSendIOCtrlExit(int avIndex)
{
    return AV_ER_NoERROR;
}

int avSendFrameData(int avIndex, const char* data, int length, const void* frameInfo, int infoSize)
{
    return sendKind(avIndex, MsgKind::Frame, 0, data, length, frameInfo, infoSize);
}

int avRecvFrameData2(int avIndex, char* buffer, int bufferSize, int* actualSize, int* expectedSize,
                     char* frameInfo, int infoMaxSize, int* infoSize, unsigned int* frameIndex)
{
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::AvRecvFrame, forced))
        return forced;
    const int rc = receiveFrame(avIndex, MsgKind::Frame, buffer, bufferSize, frameInfo, infoMaxSize, infoSize,
                                frameIndex, expectedSize);
    if (actualSize != nullptr)
        *actualSize = rc > 0 ? rc : 0;
    return rc;
}

int avSendAudioData(int avIndex, const char* data, int length, const void* frameInfo, int infoSize)
{
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::AvSendAudio, forced))
        return forced;
    return sendKind(avIndex, MsgKind::Audio, 0, data, length, frameInfo, infoSize);
}

int avRecvAudioData(int avIndex, char* buffer, int bufferSize, char* frameInfo, int infoMaxSize, unsigned int* frameIndex)
{
    int forced = 0;
    if (vendor::takeFault(vendor::FaultCall::AvRecvAudio, forced))
        return forced;
    return receiveFrame(avIndex, MsgKind::Audio, buffer, bufferSize, frameInfo, infoMaxSize, nullptr, frameIndex, nullptr);
}

} // extern "C"
