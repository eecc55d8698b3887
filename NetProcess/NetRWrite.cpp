#include "NetRWrite.h"

#include "AVAPIs.h"
#include "IOTCAPIs.h"
#include "NetDeployment.h"
#include "NetLog.h"
#include "Orlix.h"
#include "PPCS_API.h"
#include "PlatformThread.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kTutkFrameBuffer = 524288;
constexpr int kTutkInfoBuffer = 1024;
constexpr int kTutkAudioBuffer = 1024;
constexpr int kTimedOut = -3;
constexpr int kAvTimeout = -20011;
constexpr int kAvNotReady = -20012;

} // namespace

LinkTransport TransportForUid(const std::string& uid)
{
    if (uid.size() == 20)
        return LinkTransport::Tutk;
    if (uid.find("HOW") != std::string::npos)
        return LinkTransport::Cs2;
    return LinkTransport::Tovel;
}

std::size_t MaxWriteForUid(const std::string& uid)
{
    switch (TransportForUid(uid)) {
    case LinkTransport::Tutk:
        return 0;
    case LinkTransport::Cs2:
        return 4u * 1024u * 1024u;
    case LinkTransport::Tovel:
        break;
    }
    return ORLIX_MAX_TRANSFER;
}

bool IsDeviceUid(const std::string& uid)
{
    if (uid.empty() || uid.size() > kMaxDeviceUidLength || uid == "." || uid == "..")
        return false;
    for (const char c : uid) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

NetRWrite::~NetRWrite()
{
    Close();
}

std::string NetRWrite::uid() const
{
    std::lock_guard<std::mutex> lock(m_uidMutex);
    return m_uid;
}

void NetRWrite::InitNetRW(const char* serverString, int region)
{
    const auto& servers = deployment::kTovelServersIPv6[region == 1 ? 1 : 0];
    Orlix_Initialize_IPv6(serverString != nullptr ? serverString : "", servers[0], servers[1], servers[2]);

    char init[sizeof deployment::kCs2InitString];
    std::memcpy(init, deployment::kCs2InitString, sizeof init);
    PPCS_Initialize(init);

    IOTC_Setup_Session_Alive_Timeout(10);
    if (IOTC_Initialize2(0) != 0) {
        NETLOG("IOTC_Initialize error!!");
        return;
    }
    if (avInitialize(40) <= 0) {
        NETLOG("av_Initialize error!");
        return;
    }
    // Warms the ThroughTek library up; nobody answers this UID and the session stays reserved.
    const int sid = IOTC_Get_SessionID();
    if (sid >= 0)
        IOTC_Connect_ByUID_Parallel(deployment::kTutkWarmUpUid, sid);
}

void NetRWrite::DeInitNetRW()
{
    avDeInitialize();
    IOTC_DeInitialize();
    Orlix_DeInitialize();
    PPCS_DeInitialize();
}

int NetRWrite::Connect(const std::string& uid, int& connectionType)
{
    if (m_handle.load() >= 0)
        return 0;
    ++m_linkId;
    {
        std::lock_guard<std::mutex> lock(m_uidMutex);
        m_uid = uid;
    }
    switch (TransportForUid(uid)) {
    case LinkTransport::Tutk: {
        const int sid = IOTC_Get_SessionID();
        m_handle.store(sid);
        if (sid < 0) {
            NETLOG("IOTC_Get_SessionID error code " << sid << " " << uid);
            return -1;
        }
        int rc = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid);
        if (rc < 0) {
            NETLOG("p2pAPIs_Client connect failed... frist " << rc);
            platform::sleepMillis(250);
            rc = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid);
            if (rc < 0) {
                Close();
                NETLOG("p2pAPIs_Client connect failed... second " << rc);
                return -1;
            }
        }
        m_connected.store(1);
        NETLOG_AT(netlog::Level::Info, "TUTK Connect");
        st_SInfo info{};
        if (IOTC_Session_Check(sid, &info) >= 0) {
            connectionType = info.Mode;
            if (info.Mode == 0)
                NETLOG_AT(netlog::Level::Info, "Device is from  Mode=P2P " << info.RemoteIP << ":" << info.RemotePort);
            else if (info.Mode == 1)
                NETLOG_AT(netlog::Level::Info, "Device is from Mode=RLY " << info.RemoteIP << ":" << info.RemotePort);
            else
                NETLOG_AT(netlog::Level::Info, "Device is from  Mode=LAN" << info.RemoteIP << ":" << info.RemotePort);
        }
        return sid;
    }
    case LinkTransport::Cs2:
    case LinkTransport::Tovel: {
        const bool cs2 = TransportForUid(uid) == LinkTransport::Cs2;
        auto connect = [&] { return cs2 ? PPCS_Connect(uid.c_str(), 1, 0) : Orlix_Connect(uid.c_str(), 1, 0); };
        int h = connect();
        m_handle.store(h);
        if (h < 0) {
            NETLOG("connect to frist  " << h << " uid " << uid);
            platform::sleepMillis(250);
            h = connect();
            m_handle.store(h);
            if (h < 0) {
                NETLOG("connect to frist  " << h << " uid " << uid);
                return -3;
            }
        }
        m_connected.store(1);
        // Both libraries fill an 84-byte record whose byte 81 is the connection type.
        unsigned char record[84] = {};
        if (cs2)
            PPCS_Check(h, reinterpret_cast<st_PPCS_Session*>(record));
        else
            Orlix_Check(h, reinterpret_cast<Orlix_SessionInfo*>(record));
        connectionType = static_cast<signed char>(record[81]);
        return h;
    }
    }
    return -1;
}

void NetRWrite::Close()
{
    const std::string linkUid = uid();
    const int h = m_handle.load();
    if (m_byteSource) {
        // Detached from the transports: nothing to close there.
    } else if (TransportForUid(linkUid) == LinkTransport::Tutk) {
        std::lock_guard<std::mutex> lock(m_avMutex);
        for (std::atomic<int>* index : {&m_avIo, &m_avLive, &m_avRecord, &m_avPicture, &m_avTalk}) {
            const int i = index->exchange(-1);
            if (i >= 0)
                avClientStop(i);
        }
        if (h >= 0)
            IOTC_Session_Close(h);
    } else if (TransportForUid(linkUid) == LinkTransport::Cs2) {
        if (h >= 0) {
            PPCS_Connect_Break();
            PPCS_Close(h);
        }
    } else if (h >= 0) {
        Orlix_Connect_Break(linkUid.c_str());
        Orlix_Close(h);
    }
    if (h >= 0)
        m_closedLinkId.store(m_linkId.load());
    m_connected.store(0);
    m_abandonLive.store(0);
    m_abandonPicture.store(0);
    // Keep a reported loss reported; anything else becomes "closed".
    int expected = h;
    if (h != kLossReported)
        m_handle.compare_exchange_strong(expected, kClosed);
    {
        std::lock_guard<std::mutex> lock(m_uidMutex);
        m_uid.clear();
    }
}

void NetRWrite::closeHandle(int h)
{
    if (h >= 0 && m_handle.load() == h)
        Close();
}

void NetRWrite::setAbandon(int value)
{
    if (value == 5) {
        m_abandonPicture.store(1);
    } else if (value == 1) {
        m_abandonLive.store(1);
    } else {
        m_abandonLive.store(value);
        m_abandonPicture.store(value);
    }
}

void NetRWrite::setAudioAbandon(int value)
{
    if (value == 4) {
        m_abandonRecord.store(1);
        m_abandonRecordAudio.store(1);
    } else if (value == 1) {
        m_abandonLiveAudio.store(1);
    } else {
        m_abandonLiveAudio.store(value);
        m_abandonRecord.store(value);
        m_abandonRecordAudio.store(value);
    }
}

namespace {
// Takes an abandon request: true (and the flag cleared) when it was set.
bool takeAbandon(std::atomic<int>& flag)
{
    int expected = 1;
    return flag.compare_exchange_strong(expected, -1);
}
} // namespace

int NetRWrite::Read(int channel, char* buffer, int& length)
{
    return readBytes(channel, buffer, length, false);
}

int NetRWrite::ReadContinued(int channel, char* buffer, int& length)
{
    return readBytes(channel, buffer, length, true);
}

int NetRWrite::readBytes(int channel, char* buffer, int& length, bool continued)
{
    if (length <= 0) {
        length = 0;
        return 0;
    }
    const bool cs2 = TransportForUid(uid()) == LinkTransport::Cs2;
    const int wanted = length;
    int count = 0;
    int rc = 0;
    const uint32_t stallLimitMs = m_stallLimitMs.load();
    uint32_t lastProgress = platform::tickMillis();
    int used = -1; // the handle this read went to
    while (count < wanted) {
        const int h = m_handle.load();
        if (h < 0)
            break;
        used = h;
        // A message start on channel 0 or a picture header on channel 5 only looks (the callers
        // poll those); every other read waits inside the transport, which returns as soon as
        // bytes arrive: CS2 up to 50 ms, libTovel up to one 100-ms unit.
        const bool look = !continued && count == 0 && ((channel == 0 && wanted == 4) || (channel == 5 && wanted == 24));
        int n = wanted - count;
        if (m_byteSource)
            rc = m_byteSource(channel, buffer + count, n);
        else
            rc = cs2 ? PPCS_Read(h, static_cast<unsigned char>(channel), buffer + count, &n, 50)
                     : Orlix_Read(h, channel, buffer + count, &n, look ? 0 : 1);
        if (n > 0) {
            count += std::min(n, wanted - count);
            lastProgress = platform::tickMillis();
        }
        if (rc != 0 && rc != kTimedOut)
            break;
        if (rc != kTimedOut)
            continue;
        if (look && count == 0)
            break;
        if (channel == 1 || channel == 4) {
            // A media read waits for the next chunk as long as its stream runs; once a chunk has
            // begun it must finish within the stall limit like any message. A stop abandons the
            // wait between chunks. Only a chunk-header read that has nothing yet is between them.
            const bool begun = count > 0 || wanted != 24;
            std::atomic<int>& abandon = channel == 1 ? m_abandonLive : m_abandonRecord;
            if (!begun) {
                if (takeAbandon(abandon)) {
                    rc = 0;
                    break;
                }
                continue;
            }
            // A stop that comes while a chunk arrives: the device sends the rest of what it has
            // begun, so the chunk is read to its end and the stop is left for the next wait between
            // chunks. Only a chunk that then stays cut off (nothing more within the grace) leaves
            // the stream out of step, and the link goes.
            const uint32_t grace = std::min(stallLimitMs, kAbandonGraceMs);
            if (abandon.load() == 1 && platform::tickMillis() - lastProgress > grace) {
                NETLOG("read cut off by a stop on channel " << channel << " after " << count << " bytes");
                takeAbandon(abandon);
                closeHandle(h);
                rc = -1;
                break;
            }
        }
        // Reaching here the message has begun: bytes of this read, or (count 0) an earlier read
        // took its start (only a message start may find nothing and return -3, above).
        if (platform::tickMillis() - lastProgress > stallLimitMs) {
            NETLOG("read stalled mid-message on channel " << channel << " after " << count << " bytes");
            closeHandle(h);
            rc = -1;
            break;
        }
    }
    length = count;
    if (rc < 0 && rc != kTimedOut)
        closeHandle(used);
    return rc;
}

int NetRWrite::Write(int channel, const char* data, int length)
{
    if (m_byteSource)
        return length;
    const int h = m_handle.load();
    const LinkTransport transport = TransportForUid(uid());
    // ThroughTek links carry no numbered data channels: commands go as IO control, talk as audio.
    if (transport == LinkTransport::Tutk)
        return -1;
    const bool cs2 = transport == LinkTransport::Cs2;
    const int rc = cs2 ? PPCS_Write(h, static_cast<unsigned char>(channel), data, length)
                       : Orlix_Write(h, channel, data, length);
    // Session gone: CS2 says so with -12 to -14, libTovel with -14 (closed) or -27 (lost).
    if (rc == -12 || rc == -13 || rc == -14 || (!cs2 && rc == -27))
        Close();
    return rc;
}

int NetRWrite::startAvChannel(std::atomic<int>& index, int channelId, const char* failText)
{
    std::lock_guard<std::mutex> lock(m_avMutex);
    if (index.load() >= 0)
        return index.load();
    const int h = m_handle.load();
    if (h < 0)
        return -1;
    unsigned int serverType = 0;
    int resend = 0;
    int rc = avClientStart2(h, "", "", 5, &serverType, static_cast<unsigned char>(channelId), &resend);
    if (rc < 0) {
        NETLOG("TUTK Could not create channel one");
        platform::sleepMillis(500);
        rc = avClientStart2(h, "", "", 5, &serverType, static_cast<unsigned char>(channelId), &resend);
        if (rc < 0) {
            NETLOG(failText);
            return -1;
        }
    }
    NETLOG_AT(netlog::Level::Debug, "the svr type " << serverType);
    index.store(rc);
    return rc;
}

std::atomic<int>* NetRWrite::avIndexFor(int channel)
{
    switch (channel) {
    case 1:
        return &m_avLive;
    case 4:
        return &m_avRecord;
    case 5:
        return &m_avPicture;
    default:
        return nullptr;
    }
}

int NetRWrite::SendIOCtrl(int, unsigned int type, const char* data, int length)
{
    NETLOG_AT(netlog::Level::Debug, "Could be av recv");
    if (TransportForUid(uid()) != LinkTransport::Tutk)
        return -1;
    const int io = startAvChannel(m_avIo, 0, "TUTK Could not create channel tow");
    if (io < 0)
        return -1;
    return avSendIOCtrl(io, type, data, length);
}

int NetRWrite::RecvIOCtrl(int, unsigned int* type, char* buffer, int, unsigned int)
{
    if (TransportForUid(uid()) != LinkTransport::Tutk)
        return -1;
    if (m_handle.load() < 0)
        return -1;
    const int io = m_avIo.load();
    if (io < 0)
        return kAvTimeout;
    const int rc = avRecvIOCtrl(io, type, buffer, 1024, 25);
    if (rc < 0 && rc != kAvTimeout)
        Close();
    return rc;
}

int NetRWrite::RecvFrameData2(int channel, char* buffer, int bufferSize, int* actualSize, int* expectedSize,
                              char* frameInfo, int, int* frameInfoSize, unsigned int* frameIndex)
{
    if (TransportForUid(uid()) != LinkTransport::Tutk)
        return -1;
    std::atomic<int>* slot = avIndexFor(channel);
    if (slot == nullptr) {
        NETLOG("chan is error");
        return -1;
    }
    if (channel == 4)
        NETLOG_AT(netlog::Level::Debug, "come int to Tutk Rec connect");
    const int index = startAvChannel(*slot, channel, "TUTK Could not create channel two");
    if (index < 0)
        return -1;
    const int size = bufferSize > 0 ? std::min(bufferSize, kTutkFrameBuffer) : kTutkFrameBuffer;
    const int rc = avRecvFrameData2(index, buffer, size, actualSize, expectedSize, frameInfo, kTutkInfoBuffer,
                                    frameInfoSize, frameIndex);
    if (rc == kAvTimeout || rc == kAvNotReady) {
        if ((channel == 1 && takeAbandon(m_abandonLive)) || (channel == 4 && takeAbandon(m_abandonRecord)) ||
            (channel == 5 && takeAbandon(m_abandonPicture)))
            return 0;
    }
    return rc;
}

int NetRWrite::RecvAudioData(int channel, char* buffer, int, char* frameInfo, int, unsigned int* frameIndex)
{
    if (TransportForUid(uid()) != LinkTransport::Tutk)
        return -1;
    if (channel != 1 && channel != 4) {
        NETLOG("chan is error");
        return -1;
    }
    std::atomic<int>* slot = avIndexFor(channel);
    const int index = startAvChannel(*slot, channel, "TUTK Could not create channel two");
    if (index < 0)
        return -1;
    const int rc = avRecvAudioData(index, buffer, kTutkAudioBuffer, frameInfo, kTutkInfoBuffer, frameIndex);
    if (rc == kAvTimeout || rc == kAvNotReady) {
        if (takeAbandon(channel == 1 ? m_abandonLiveAudio : m_abandonRecordAudio))
            return 0;
    }
    return rc;
}

int NetRWrite::SendAudioData(int, const char* data, int length, const void* frameInfo, int)
{
    NETLOG_AT(netlog::Level::Debug, "Could be av send");
    if (TransportForUid(uid()) != LinkTransport::Tutk)
        return -1;
    int talk = -1;
    {
        std::lock_guard<std::mutex> lock(m_avMutex);
        talk = m_avTalk.load();
        if (talk < 0) {
            const int h = m_handle.load();
            if (h < 0)
                return -1;
            int resend = 0;
            talk = avServStart3(h, nullptr, 20, 0, 3, &resend);
            if (talk < 0) {
                NETLOG("error statr the av serv " << talk);
                return -1;
            }
            m_avTalk.store(talk);
        }
    }
    return avSendAudioData(talk, data, length, frameInfo, 24);
}

void NetRWrite::SendIOCtrlExit()
{
    const int io = m_avIo.load();
    if (io >= 0)
        avSendIOCtrlExit(io);
}

void NetRWrite::StopTalkChannel()
{
    std::lock_guard<std::mutex> lock(m_avMutex);
    const int talk = m_avTalk.exchange(-1);
    if (talk >= 0)
        avServStop(talk);
}
