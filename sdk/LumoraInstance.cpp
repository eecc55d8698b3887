#include "LumoraInstance.h"

#include "CrashDump.h"
#include "DeploymentSettings.h"
#include "DeviceJson.h"
#include "DevAudioIO.h"
#include "LumoraLog.h"
#include "NetLog.h"
#include "NetProImple.h"
#include "NetRWrite.h"
#include "PlatformThread.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <json/json.h>
#include <thread>

DeviceEntry::DeviceEntry() = default;
DeviceEntry::~DeviceEntry() = default;

namespace {

// Marks threads that are inside an application callback, so that DeInitLib called from one does
// not wait for itself.
thread_local int t_inCallback = 0;

std::string textOf(const std::vector<char>& body, unsigned length)
{
    const size_t n = std::min<size_t>(length, body.size());
    size_t end = 0;
    while (end < n && body[end] != '\0')
        ++end;
    return std::string(body.data(), end);
}

bool upgradeFinished(int result, const std::string& text)
{
    if (result != 0)
        return false;
    Json::Value root;
    if (!devicejson::Parse(text, root) || !root.isObject())
        return false;
    const Json::Value& p = root["p"];
    return (p.isInt() && p.asInt() == 100) || (p.isUInt() && p.asUInt() == 100) ||
           (p.isString() && p.asString() == "100");
}

} // namespace

LumoraInstance& LumoraInstance::GetInstance()
{
    // A function-local static is built exactly once even under racing first calls; the pointer
    // keeps the instance alive until the process ends.
    static LumoraInstance* instance = [] {
        auto* created = new LumoraInstance();
        created->m_processInstance = true;
        return created;
    }();
    return *instance;
}

void LumoraInstance::registerExitStop()
{
    // A handful of registrations at most: one per InitLibLumora and per login step.
    if (!m_processInstance || m_exitStops.fetch_add(1) >= 16)
        return;
    std::atexit([] { GetInstance().StopForExit(); });
}

void LumoraInstance::StopForExit()
{
    stopLoopedTasks();
    // Stream reads waiting for their devices give their workers back now.
    stopChannels();
    m_streamPool.Clear();
    m_reconnectPool.Clear();
    m_replyPool.Clear();
    m_picturePool.Clear();
    {
        std::lock_guard<std::mutex> lock(m_gateMutex);
        m_gateOpen = false;
    }
    // Bounded: a task inside a transport call (a connect) ends only when that call returns.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExitWaitMs);
    for (ThreadPool* pool : {&m_replyPool, &m_reconnectPool, &m_picturePool, &m_streamPool})
        pool->WaitIdle(deadline);
}

void LumoraInstance::stopLoopedTasks()
{
    std::lock_guard<std::mutex> lock(m_taskStartMutex);
    m_pollFlag = false;
    m_furtherFlag = false;
    m_reconnectFlag = false;
    ++m_taskStops;
    for (std::shared_ptr<LoopedTask>* loop : {&m_pollLoop, &m_pictureLoop, &m_reconnectLoop})
        if (*loop) {
            (*loop)->Stop();
            loop->reset();
        }
    m_taskStartWake.notify_all();
}

namespace {

// The product's timers, with those the process has set (deployment::setSdkTimings) in their place.
LumoraInstance::Options processOptions()
{
    LumoraInstance::Options options;
    const deployment::SdkTimings set = deployment::sdkTimings();
    if (set.clock)
        options.clock = set.clock;
    if (set.pollIntervalMs > 0)
        options.pollIntervalMs = set.pollIntervalMs;
    if (set.snapIntervalMs > 0)
        options.snapIntervalMs = set.snapIntervalMs;
    if (set.reconnectScanMs > 0)
        options.reconnectScanMs = set.reconnectScanMs;
    if (set.firstLoginPauseMs >= 0)
        options.firstLoginPauseMs = set.firstLoginPauseMs;
    if (set.searchSecondMs > 0)
        options.searchSecondMs = set.searchSecondMs;
    return options;
}

} // namespace

LumoraInstance::LumoraInstance() : LumoraInstance(processOptions()) {}

std::string LumoraInstance::defaultDataFolder()
{
    // Only absolute paths count, as the XDG base-directory rules say: a relative one would put
    // the files wherever the process happens to run.
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return std::string(data) + "/Lumora";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/share/Lumora";
    return "Lumora";
}

LumoraInstance::LumoraInstance(Options options) : m_options(std::move(options))
{
    const std::string data = defaultDataFolder();
    m_downloadFolder = data + "/Download";
    m_snapFolder = data + "/Snap";
    m_faceFolder = data + "/Face";
    m_recordFolder = data + "/Record";
    m_compareFolder = data + "/Compare";
    m_alarmFolder = data + "/Alarm";
    m_clock = m_options.clock ? m_options.clock : [] { return platform::tickMillis(); };
    m_search = m_options.searchTarget.address.empty() ? std::make_unique<DevSearch>()
                                                        : std::make_unique<DevSearch>(m_options.searchTarget);
    m_search->setSecondMs(m_options.searchSecondMs);
}

LumoraInstance::~LumoraInstance()
{
    stopLoopedTasks();
    {
        std::lock_guard<std::mutex> lock(m_messageMutex);
        m_messageCallback = nullptr;
    }
    stopChannels();
    m_streamPool.Clear();
    m_reconnectPool.Clear();
    m_replyPool.Clear();
    m_picturePool.Clear();
    // Pools wait for running tasks when they go away; end them first so no task sees a freed
    // device. Each pool is replaced by an empty one, which runs the old one's shut-down.
    m_replyPool = ThreadPool("lum-reply");
    m_picturePool = ThreadPool("lum-pic");
    m_reconnectPool = ThreadPool("lum-reconn");
    m_streamPool = ThreadPool("lum-stream");
    ReleaseAudio();
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    for (auto& [uid, entry] : m_devices) {
        if (entry->session)
            entry->session->CloseLink();
        for (auto& slot : entry->slots) {
            ReleaseSlotChannel(slot);
            ReleaseSlotRecorder(slot);
            slot.streamCallback = nullptr;
        }
        entry->session.reset();
    }
    m_devices.clear();
}

// ---------------------------------------------------------------------------------------------
// Library

void LumoraInstance::InitLib(const char* serverString, int region)
{
    crashdump::InstallCrashDumpFilter();
    NetRWrite::InitNetRW(serverString != nullptr ? serverString : "", region);
    m_replyPool.Resize(2);
    m_reconnectPool.Resize(2);
    m_streamPool.Resize(5);
    m_picturePool.Resize(1);
    lumoralog::InitLog();
    netlog::SetClock(m_options.clock);
    PrepareSoundDevices();
    registerExitStop();
    std::lock_guard<std::mutex> lock(m_gateMutex);
    m_gateOpen = true;
}

void LumoraInstance::DeInitLib()
{
    {
        std::lock_guard<std::mutex> lock(m_messageMutex);
        m_messageCallback = nullptr;
    }
    stopLoopedTasks();
    m_streamPool.Clear();
    m_reconnectPool.Clear();
    m_replyPool.Clear();
    m_picturePool.Clear();
    {
        // No application callback runs after this returns (except the one DeInitLib was called
        // from).
        std::unique_lock<std::mutex> lock(m_gateMutex);
        m_gateOpen = false;
        m_gateIdle.wait(lock, [this] { return m_callbacksRunning <= t_inCallback; });
    }
    NetRWrite::DeInitNetRW();
    netlog::FlushRepeats();
}

int LumoraInstance::SetMSGCallBack(DeviceMessageCallback callback)
{
    std::lock_guard<std::mutex> lock(m_messageMutex);
    m_messageCallback = std::move(callback);
    return 0;
}

DeviceMessageCallback LumoraInstance::messageCallback()
{
    std::lock_guard<std::mutex> lock(m_messageMutex);
    return m_messageCallback;
}

bool LumoraInstance::enterCallback()
{
    std::lock_guard<std::mutex> lock(m_gateMutex);
    if (!m_gateOpen)
        return false;
    ++m_callbacksRunning;
    ++t_inCallback;
    return true;
}

void LumoraInstance::leaveCallback()
{
    std::lock_guard<std::mutex> lock(m_gateMutex);
    --m_callbacksRunning;
    --t_inCallback;
    m_gateIdle.notify_all();
}

void LumoraInstance::callResult(const DeviceResultCallback& cb, int code, int result, std::string text,
                                const std::string& uid, char* data, int value)
{
    if (!cb || !enterCallback())
        return;
    try {
        cb(code, result, std::move(text), uid, data, value);
    } catch (...) {
        NETLOG("callback of reply " << code << " for " << uid << " threw");
    }
    leaveCallback();
}

void LumoraInstance::raiseMessage(int message, const std::string& uid, const std::string* text, int value, int reserved,
                                  const std::string* extra)
{
    DeviceMessageCallback cb = messageCallback();
    if (!cb || !enterCallback())
        return;
    // The application gets its own terminated copies, valid during the call.
    auto terminated = [](const std::string* from) {
        std::vector<char> copy;
        if (from != nullptr) {
            copy.assign(from->begin(), from->end());
            copy.push_back('\0');
        }
        return copy;
    };
    std::vector<char> textCopy = terminated(text);
    std::vector<char> extraCopy = terminated(extra);
    try {
        cb(message, uid, text != nullptr ? textCopy.data() : nullptr, extra != nullptr ? extraCopy.data() : nullptr, value,
           reserved);
    } catch (...) {
        NETLOG("message callback " << message << " for " << uid << " threw");
    }
    leaveCallback();
}

// ---------------------------------------------------------------------------------------------
// Devices

bool LumoraInstance::withDevice(const std::string& uid, const std::function<void(DeviceEntry&)>& fn)
{
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    auto it = m_devices.find(uid);
    if (it == m_devices.end())
        return false;
    fn(*it->second);
    return true;
}

bool LumoraInstance::withSlot(const std::string& uid, int slot, const std::function<void(StreamSlot&)>& fn)
{
    if (slot < 0 || slot >= kStreamSlots)
        return false;
    return withDevice(uid, [&](DeviceEntry& entry) { fn(entry.slots[static_cast<size_t>(slot)]); });
}

NetProImple* LumoraInstance::liveSession(const std::string& uid)
{
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    auto it = m_devices.find(uid);
    if (it == m_devices.end() || !it->second->session)
        return nullptr;
    NetProImple* session = it->second->session.get();
    NetProParse* parser = session->parser();
    if (parser == nullptr || parser->link() == nullptr || parser->link()->handle() < 0)
        return nullptr;
    return session;
}

void LumoraInstance::startLoopedTasks()
{
    std::unique_lock<std::mutex> lock(m_taskStartMutex);
    // A login that comes during the first login's pause returns only after that start, as the
    // first one does; neither holds the lock while it waits.
    m_taskStartWake.wait(lock, [this] { return !m_pollStarting; });
    if (!m_pollFlag.exchange(true)) {
        ++m_loopedTaskStarts;
        m_pollLoop = ScheduleLooped(m_replyPool, [this] { return PollIOTask(); }, m_options.pollIntervalMs);
        if (m_options.firstLoginPauseMs > 0) {
            const uint64_t stops = m_taskStops;
            m_pollStarting = true;
            m_taskStartWake.wait_for(lock, std::chrono::milliseconds(m_options.firstLoginPauseMs),
                                     [&] { return m_taskStops != stops; });
            m_pollStarting = false;
            m_taskStartWake.notify_all();
            // A stop during the pause (DeInitLib, exit) wins: nothing starts after it.
            if (m_taskStops != stops)
                return;
        }
        m_pictureLoop = ScheduleLooped(m_picturePool, [this] { return PollSnapTask(5); }, m_options.snapIntervalMs);
    }
    if (!m_reconnectFlag.exchange(true)) {
        ++m_loopedTaskStarts;
        m_reconnectLoop =
            ScheduleLooped(m_reconnectPool, [this] { return ReconnectTask(); }, m_options.reconnectScanMs);
    }
}

int LumoraInstance::runLoginStep(DeviceEntry& entry, NetProImple& session, const std::string& uid,
                                 const std::string& password, int slot)
{
    // One login step at a time per link: a second one would connect and log in on a link whose
    // connect is still running.
    if (entry.loginRunning.exchange(true))
        return 0;
    ++entry.loginAttempts;
    int rc = -1;
    try {
        rc = session.SendLoginMsg(slot, uid, password);
    } catch (...) {
        entry.loginRunning = false;
        throw;
    }
    entry.loginRunning = false;
    // The transports may have made objects of their own during the connect.
    registerExitStop();
    return rc;
}

int LumoraInstance::LoginDev(std::string uid, std::string password, DeviceResultCallback cb)
{
    // Every device entry has a UID that is also a safe folder name (see IsDeviceUid).
    if (!IsDeviceUid(uid))
        return kLumoraBadUid;
    {
        std::lock_guard<std::mutex> lock(m_gateMutex);
        m_gateOpen = true;
    }
    startLoopedTasks();
    auto handler = [this](int code, int result, std::string text, std::string replyUid, char* data, int n) {
        OnLoginReply(code, result, std::move(text), std::move(replyUid), data, n);
    };

    DeviceEntry* entry = nullptr;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        auto it = m_devices.find(uid);
        if (it != m_devices.end()) {
            entry = it->second.get();
            known = true;
            entry->slots[0].streamCallback = cb;
            entry->password = password;
        }
    }
    if (known) {
        if (entry->session && entry->session->LinkUp()) {
            entry->slots[0].closing = 0;
            entry->state = DeviceState::kLoggedIn;
            callResult(cb, 0, 0, "", uid, nullptr, 0);
            return 0;
        }
        if (!registerReply(uid, ReplyCode::kLogin, handler))
            return 0;
        const int rc = runLoginStep(*entry, *entry->session, uid, password, 0);
        // A new login undoes an earlier logout, so that the device reconnects again. Cleared only
        // now: while the login connects, the closed link of the logout is no loss to report.
        entry->slots[0].closing = 0;
        return rc;
    }

    auto created = std::make_unique<DeviceEntry>();
    created->password = password;
    created->session = std::make_unique<NetProImple>(
        uid,
        [this](int type, int result, std::vector<char>& frame, unsigned length, std::string frameUid, int kind, uint64_t pts,
               int slot) { AVDataProcess(type, result, frame, length, std::move(frameUid), kind, pts, slot); },
        [this](int code, int result, std::vector<char>& body, unsigned length, std::string replyUid, int x, int slot) {
            IODataProcess(code, result, body, length, std::move(replyUid), x, slot);
        });
    if (created->session->parser() != nullptr)
        created->session->SetSnapDataCallback(
            [this](int type, int result, std::vector<char>& frame, unsigned length, std::string frameUid, int kind,
                   uint64_t pts, int slot) { SavePictureFile(type, result, frame, length, std::move(frameUid), kind, pts, slot); });
    created->slots[0].streamCallback = cb;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        PendingReply& pending = m_pending[uid];
        // A new link owes nothing for the requests of an earlier one.
        pending.late.clear();
        if (!pending.has(ReplyCode::kLogin)) {
            PendingRequest login{now(), true, ++m_pendingSerial, handler};
            login.link = created->session->parser() && created->session->parser()->link()
                             ? created->session->parser()->link()->requestLinkId()
                             : 0;
            pending.requests[ReplyCode::kLogin].push_back(std::move(login));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        auto [it, inserted] = m_devices.try_emplace(uid, nullptr);
        if (inserted) {
            it->second = std::move(created);
        } else {
            // Another thread created the device first: log in on its entry.
            it->second->slots[0].streamCallback = cb;
            it->second->password = password;
        }
        entry = it->second.get();
    }
    return runLoginStep(*entry, *entry->session, uid, password, 0);
}

void LumoraInstance::OnLoginReply(int code, int result, std::string text, std::string uid, char* data, int slot)
{
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    DeviceResultCallback cb;
    const bool found = withDevice(uid, [&](DeviceEntry& entry) {
        StreamSlot& s = entry.slots[static_cast<size_t>(slot)];
        if (result < 0) {
            entry.state = DeviceState::kLoginFailed;
        } else {
            s.playState.fetch_and(~PlayStateMask::kDropped);
            entry.state = DeviceState::kLoggedIn;
            entry.lossReported = false;
        }
        cb = s.streamCallback;
    });
    if (!found)
        return;
    if (result >= 0)
        NETLOG_AT(netlog::Level::Info, "Dev " << uid << " connect success");
    callResult(cb, code, result, std::move(text), uid, data, slot);
}

int LumoraInstance::LogoutDev(std::string uid)
{
    int mask = 0;
    int stream = 1;
    NetProImple* session = nullptr;
    const bool found = withDevice(uid, [&](DeviceEntry& entry) {
        entry.slots[0].closing = 1;
        mask = entry.slots[0].playState.load();
        stream = entry.slots[0].streamIndex;
        session = entry.session.get();
    });
    if (!found || session == nullptr)
        return 0;
    if (mask & PlayStateMask::kFace)
        EndFace(uid, stream, 0, nullptr);
    if (mask & PlayStateMask::kTalk)
        EndTalk(uid, nullptr);
    if (mask & PlayStateMask::kAudio)
        EndAudio(uid, stream, 0, nullptr);
    auto closeLink = [this, session, uid](int, int, std::string, std::string, char*, int) {
        session->CloseLink();
        RemoveSlotDecoders(uid, 0);
    };
    // With live video the link closes once the stop request is answered or times out; without it
    // the link closes now, so a logged-out device never keeps its link.
    if (!(mask & PlayStateMask::kVideo) || EndVideo(uid, stream, 0, closeLink) < 0) {
        session->CloseLink();
        RemoveSlotDecoders(uid, 0);
    }
    return 0;
}

int LumoraInstance::LoginState(std::string uid)
{
    return liveSession(uid) != nullptr ? 1 : 0;
}

int LumoraInstance::GetPlayStateMask(std::string uid)
{
    int mask = 0;
    withDevice(uid, [&](DeviceEntry& entry) { mask = entry.slots[0].playState.load(); });
    return mask;
}

int LumoraInstance::SetUserData(std::string uid, intptr_t data, int length, DeviceResultCallback cb)
{
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (length < 0 || (length > 0 && data == 0))
        return -1;
    // Checked before the registration: the callback of an earlier SetUserData stays.
    if (session->parser() != nullptr && static_cast<size_t>(length) > session->parser()->maxSendBody())
        return kLumoraRequestTooLarge;
    if (!registerReply(uid, ReplyCode::kUserData, std::move(cb)))
        return -11;
    if (session->parser() == nullptr)
        return -1;
    return session->parser()->SendUserData(reinterpret_cast<const char*>(data), length);
}

int LumoraInstance::SearchDev(int seconds, DeviceResultCallback cb)
{
    return m_search->Start(seconds, [this, cb](int code, int result, std::string text, std::string uid, char* data,
                                               int length) { callResult(cb, code, result, std::move(text), uid, data, length); });
}

void LumoraInstance::CancelSearch()
{
    m_search->Cancel();
}

// ---------------------------------------------------------------------------------------------
// Requests and replies

uint32_t LumoraInstance::timeoutFor(uint16_t code)
{
    switch (code) {
    case ReplyCode::kLogin:
        return kLoginTimeoutMs;
    case ReplyCode::kSearchWireless:
        return kSearchWirelessTimeoutMs;
    default:
        return kDefaultTimeoutMs;
    }
}

bool LumoraInstance::registerReply(const std::string& uid, uint16_t code, DeviceResultCallback cb, uint64_t* serial)
{
    int link = 0;
    withDevice(uid, [&](DeviceEntry& entry) {
        if (entry.session && entry.session->parser() && entry.session->parser()->link())
            link = entry.session->parser()->link()->requestLinkId();
    });
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    auto it = m_pending.find(uid);
    if (it == m_pending.end())
        return false;
    std::deque<PendingRequest>& queue = it->second.requests[code];
    const uint64_t id = ++m_pendingSerial;
    if (serial != nullptr)
        *serial = id;
    PendingRequest request{now(), true, id, std::move(cb)};
    request.link = link;
    switch (code) {
    case ReplyCode::kLogin:
        // Logins and reconnects share one handler path: a login still pending on this link keeps
        // its entry, and its reply reaches slot 0's (newest) callback. One left from an earlier
        // link gets no answer there any more: the new one takes its place.
        if (!queue.empty() && queue.front().link != 0 && queue.front().link < link)
            queue.clear();
        if (queue.empty())
            queue.push_back(std::move(request));
        break;
    case ReplyCode::kUserData:
        // Kept for every push of the device; the newest callback receives them.
        queue.clear();
        request.timed = false;
        queue.push_back(std::move(request));
        break;
    case ReplyCode::kUpgrade:
        request.timed = false;
        queue.push_back(std::move(request));
        break;
    default:
        // Each request waits for its own reply, in sending order.
        queue.push_back(std::move(request));
    }
    return true;
}

void LumoraInstance::withdrawReply(const std::string& uid, uint16_t code, uint64_t serial)
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    auto it = m_pending.find(uid);
    if (it == m_pending.end())
        return;
    auto entry = it->second.requests.find(code);
    if (entry == it->second.requests.end())
        return;
    std::deque<PendingRequest>& queue = entry->second;
    for (auto request = queue.begin(); request != queue.end(); ++request)
        if (request->serial == serial) {
            queue.erase(request);
            return;
        }
}

int LumoraInstance::request(const std::string& uid, uint16_t code, DeviceResultCallback cb,
                            const std::function<int(NetProImple&)>& send)
{
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    uint64_t serial = 0;
    if (!registerReply(uid, code, std::move(cb), &serial))
        return -11;
    const int rc = send(*session);
    if (rc == kLumoraRequestTooLarge)
        withdrawReply(uid, code, serial);
    return rc;
}

void LumoraInstance::IODataProcess(int code, int result, std::vector<char>& body, unsigned length, std::string uid,
                                   int link, int slot)
{
    DispatchReply(code, result, body, length, uid, 0, link);
    CheckCmdTimeout();
    if (result >= 0 || result == -3 || !messageCallback())
        return;
    // The end of a link that a later connect has replaced is no loss of the device.
    if (link > 0) {
        int current = 0;
        withDevice(uid, [&](DeviceEntry& entry) {
            if (entry.session && entry.session->parser() && entry.session->parser()->link())
                current = entry.session->parser()->link()->linkId();
        });
        if (current > link)
            return;
    }
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    // A read that fails because LogoutDev closed the link is no loss.
    bool closing = false;
    withSlot(uid, 0, [&](StreamSlot& s) { closing = s.closing.load() != 0; });
    if (closing)
        return;
    // The mark is set before message 1, so that an application looking at the state on that
    // message sees it.
    if (result == -100) {
        withSlot(uid, slot, [](StreamSlot& s) { s.playState.fetch_or(PlayStateMask::kDropped); });
        raiseLoss(uid, slot);
        return;
    }
    raiseLoss(uid, slot);
    bool upgrading = false;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        auto it = m_pending.find(uid);
        upgrading = it != m_pending.end() && it->second.has(ReplyCode::kUpgrade);
    }
    withDevice(uid, [](DeviceEntry& entry) { entry.state = DeviceState::kLost; });
    if (armReconnect(uid, upgrading ? 0 : kPollLossDelay))
        NETLOG_AT(netlog::Level::Warn, "Dev " << uid << " drop line res " << result);
}

void LumoraInstance::DispatchReply(int code, int result, std::vector<char>& body, unsigned length,
                                   const std::string& uid, int value, int link)
{
    if (code == ReplyCode::kAlarm) {
        const size_t n = std::min<size_t>(length, body.size());
        const std::string event(body.data(), n);
        raiseMessage(ReplyCode::kAlarm, uid, &event, static_cast<int>(n), 0);
        return;
    }
    const uint16_t key = static_cast<uint16_t>(code);
    const std::string text = length == 0 ? std::string() : textOf(body, length);
    DeviceResultCallback cb;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        auto it = m_pending.find(uid);
        if (it == m_pending.end())
            return;
        PendingReply& pending = it->second;
        // Read on an earlier link than the waiting request went out on (a logout closed it and a
        // new login connected since): it answers nothing that waits now.
        if (link > 0) {
            auto waiting = pending.requests.find(key);
            if (waiting != pending.requests.end() && !waiting->second.empty() &&
                waiting->second.front().link > link) {
                if (pending.earlierLink++ == 0)
                    NETLOG("Dev " << uid << " reply " << key << " of an ended link dropped");
                return;
            }
        }
        if (key != ReplyCode::kUserData && key != ReplyCode::kUpgrade && key != ReplyCode::kLogin) {
            auto owed = pending.late.find(key);
            if (owed != pending.late.end()) {
                const uint32_t tick = now();
                while (!owed->second.empty() &&
                       static_cast<uint32_t>(tick - owed->second.front()) > kLateReplyWindowMs)
                    owed->second.pop_front();
                if (!owed->second.empty()) {
                    owed->second.pop_front();
                    auto waiting = pending.requests.find(key);
                    if (waiting != pending.requests.end() && !waiting->second.empty())
                        waiting->second.front().maybeAnswered = true;
                    if (pending.lateDropped++ == 0)
                        NETLOG("Dev " << uid << " late reply " << key << " dropped");
                    return;
                }
            }
        }
        auto entry = pending.requests.find(key);
        if (entry == pending.requests.end() || entry->second.empty()) {
            if (pending.unsolicited++ == 0)
                NETLOG("Dev " << uid << " unsolicited reply " << key << " dropped");
            return;
        }
        cb = entry->second.front().callback;
        bool keep = false;
        if (key == ReplyCode::kUserData)
            keep = true;
        else if (key == ReplyCode::kUpgrade)
            keep = result >= 0 && !upgradeFinished(result, text); // a failed upgrade ends too
        if (!keep)
            entry->second.pop_front();
    }
    callResult(cb, code, result, text, uid, nullptr, value);
}

void LumoraInstance::CheckCmdTimeout()
{
    struct Expired {
        uint16_t code;
        std::string uid;
        DeviceResultCallback callback;
    };
    std::vector<Expired> expired;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        // Read under the lock: a tick taken before it could be older than an entry registered
        // meanwhile, and the unsigned difference would expire that entry at once.
        const uint32_t tick = now();
        for (auto& [uid, pending] : m_pending)
            for (auto& [code, queue] : pending.requests)
                for (auto it = queue.begin(); it != queue.end();) {
                    if (it->timed && static_cast<uint32_t>(tick - it->tick) > timeoutFor(code)) {
                        // A login that times out closes its link: nothing more comes on it.
                        if (code != ReplyCode::kLogin && !it->maybeAnswered)
                            pending.late[code].push_back(tick);
                        expired.push_back({code, uid, std::move(it->callback)});
                        it = queue.erase(it);
                    } else {
                        ++it;
                    }
                }
    }
    for (auto& e : expired) {
        callResult(e.callback, e.code, -1, "", e.uid, nullptr, 0);
        if (e.code != ReplyCode::kLogin)
            continue;
        LogoutDev(e.uid);
        withDevice(e.uid, [](DeviceEntry& entry) { entry.slots[0].closing = 0; });
        armReconnect(e.uid, kPollLossDelay);
    }
}

void LumoraInstance::AVDataProcess(int type, int result, std::vector<char>& frame, unsigned length, std::string uid,
                                   int kind, uint64_t pts, int slot)
{
    {
        std::lock_guard<std::mutex> avLock(m_avDataMutex);
        // The reader's frame buffer may be longer than the frame; `length` must lie inside it.
        const bool whole = length != 0 && length <= frame.size();
        if (kind == 5) {
            // Alarm pictures keep their own file while the face stream holds the picture sink.
            if (whole && type == 34)
                SavePictureFile(type, result, frame, length, uid, kind, pts, slot);
            else if (whole)
                SaveSnapJpeg(slot, type, uid, frame, length);
        } else if (whole) {
            AVDataCallback raw;
            withSlot(uid, slot, [&](StreamSlot& s) {
                if (s.playState.load() & (PlayStateMask::kVideo | PlayStateMask::kRecord))
                    raw = s.rawFrameCallback;
            });
            if (raw && enterCallback()) {
                try {
                    raw(type, result, frame, length, uid, kind, pts, slot);
                } catch (...) {
                    NETLOG("raw-frame callback for " << uid << " threw");
                }
                leaveCallback();
            }
        } else {
            NETLOG("error occur " << result << " uid " << uid << " len " << length);
        }
    }
    // The next read is this handler's last act: it stays on this worker.
    m_streamPool.ScheduleNext([this, uid, kind, slot] { ContinueStream(uid, kind, slot); });
}

int LumoraInstance::readReplies(const std::string& uid, NetProImple& session)
{
    // Whatever a device's text makes a handler do, the other devices are still polled.
    try {
        return session.ReadIOData(0);
    } catch (const std::exception& e) {
        if (!m_pollThrowLogged.exchange(true))
            NETLOG("reply of " << uid << " threw: " << e.what());
    } catch (...) {
        if (!m_pollThrowLogged.exchange(true))
            NETLOG("reply of " << uid << " threw");
    }
    return -1;
}

bool LumoraInstance::PollIOTask()
{
    std::vector<std::pair<std::string, NetProImple*>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        sessions.reserve(m_devices.size());
        for (auto& [uid, entry] : m_devices)
            if (entry->session)
                sessions.emplace_back(uid, entry->session.get());
    }
    for (auto& [uid, session] : sessions) {
        if (!m_pollFlag)
            break;
        NetProParse* parser = session->parser();
        if (parser == nullptr || parser->link() == nullptr)
            continue;
        const int handle = parser->link()->handle();
        if (handle >= 0) {
            // Everything that has arrived is read on this pass: a reply waiting behind many
            // others must not wait out its request's time-out.
            for (int i = 0; i < kRepliesPerPass && m_pollFlag; ++i) {
                const uint64_t before = parser->messagesRead();
                // A link a reply closed (a refused login) is left to the next pass, which
                // decides whether its loss is reported.
                if (readReplies(uid, *session) != 0 || parser->messagesRead() == before ||
                    parser->link()->handle() < 0)
                    break;
            }
            continue;
        }
        // A link that went down by itself since the last pass is read once more so that its loss
        // is reported; one closed by a logout or a refused login is not.
        bool report = false;
        if (handle == NetRWrite::kClosed)
            withSlot(uid, 0, [&](StreamSlot& s) {
                report = s.closing.load() == 0 && !(s.playState.load() & PlayStateMask::kDropped);
            });
        if (report)
            readReplies(uid, *session);
    }
    // Requests of devices that say nothing still time out.
    CheckCmdTimeout();
    CheckDownloadStalls();
    ++m_pollPasses;
    return m_pollFlag;
}

bool LumoraInstance::PollSnapTask(int kind)
{
    std::vector<NetProImple*> sessions;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        for (auto& [uid, entry] : m_devices)
            if (entry->session && entry->session->LinkUp())
                sessions.push_back(entry->session.get());
    }
    for (NetProImple* session : sessions) {
        if (!m_pollFlag)
            break;
        if (NetProParse* parser = session->parser())
            parser->ReadSnapPicData(0, kind, nullptr);
    }
    return m_pollFlag;
}

// ---------------------------------------------------------------------------------------------
// Reconnection

void LumoraInstance::raiseLoss(const std::string& uid, int slot)
{
    bool first = false;
    withDevice(uid, [&](DeviceEntry& entry) { first = !entry.lossReported.exchange(true); });
    if (first)
        raiseMessage(1, uid, nullptr, slot, 0);
}

bool LumoraInstance::armReconnect(const std::string& uid, int delay)
{
    std::lock_guard<std::mutex> lock(m_reconnectMutex);
    for (ReconnectEntry& e : m_reconnect)
        if (e.uid == uid) {
            if (e.delay == -1) {
                e.delay = delay;
                e.tick = now();
            }
            return false;
        }
    m_reconnect.push_back({uid, delay, now()});
    return true;
}

void LumoraInstance::OnDevLost(std::string uid, int slot)
{
    if (!messageCallback())
        return;
    raiseLoss(uid, slot);
    if (!withDevice(uid, [](DeviceEntry& entry) { entry.state = DeviceState::kLost; }))
        return;
    armReconnect(uid, kStreamLossDelay);
}

bool LumoraInstance::ReconnectTask()
{
    ScanReconnectList();
    ++m_scanPasses;
    return m_reconnectFlag;
}

void LumoraInstance::ScanReconnectList()
{
    std::vector<std::string> fire;
    {
        std::lock_guard<std::mutex> lock(m_reconnectMutex);
        const uint32_t tick = now();
        for (ReconnectEntry& e : m_reconnect) {
            if (e.delay < 0)
                continue;
            if (static_cast<uint32_t>(tick - e.tick) / 1000 > static_cast<uint32_t>(e.delay)) {
                e.delay = -1;
                fire.push_back(e.uid);
            }
        }
    }
    for (auto& uid : fire)
        m_reconnectPool.Schedule([this, uid] { ReconnectDev(uid, 0); });
}

void LumoraInstance::ReconnectDev(std::string uid, int slot)
{
    if (slot < 0 || slot >= kStreamSlots)
        return;
    DeviceEntry* entry = nullptr;
    std::string password;
    bool skip = false;
    withDevice(uid, [&](DeviceEntry& e) {
        const StreamSlot& s = e.slots[static_cast<size_t>(slot)];
        skip = s.closing.load() != 0 || (s.playState.load() & PlayStateMask::kDropped) != 0;
        entry = &e;
        password = e.password;
    });
    if (entry == nullptr || skip || !entry->session)
        return;
    if (entry->loginRunning) {
        // A login is still connecting on this link: try again after the usual delay.
        armReconnect(uid, kPollLossDelay);
        return;
    }
    auto handler = [this](int, int result, std::string text, std::string replyUid, char*, int n) {
        OnReconnect(result, std::move(text), std::move(replyUid), n);
    };
    if (!registerReply(uid, ReplyCode::kLogin, handler))
        return;
    runLoginStep(*entry, *entry->session, uid, password, slot);
}

void LumoraInstance::OnReconnect(int result, std::string text, std::string uid, int slot)
{
    if (result != 0)
        return;
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    bool replay = false;
    const bool found = withDevice(uid, [&](DeviceEntry& entry) {
        entry.state = DeviceState::kLoggedIn;
        entry.lossReported = false;
        replay = (entry.slots[static_cast<size_t>(slot)].playState.load() & PlayStateMask::kVideo) != 0;
    });
    if (found && replay)
        RePlayVideo(uid);
    NETLOG_AT(netlog::Level::Info, "Dev " << uid << " Reconnect success");
    raiseMessage(2, uid, &text, slot, 0);
}

// ---------------------------------------------------------------------------------------------
// Folders and test views

void LumoraInstance::setFolder(std::string& folder, std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    std::lock_guard<std::mutex> lock(m_folderMutex);
    folder = std::move(path);
}

std::string LumoraInstance::downloadFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_downloadFolder;
}
std::string LumoraInstance::snapFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_snapFolder;
}
std::string LumoraInstance::faceFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_faceFolder;
}
std::string LumoraInstance::recordFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_recordFolder;
}
std::string LumoraInstance::compareFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_compareFolder;
}
std::string LumoraInstance::alarmFolder() const
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    return m_alarmFolder;
}

ReconnectEntry LumoraInstance::reconnectEntry(const std::string& uid)
{
    std::lock_guard<std::mutex> lock(m_reconnectMutex);
    for (const ReconnectEntry& e : m_reconnect)
        if (e.uid == uid)
            return e;
    return {uid, -1, 0};
}

int LumoraInstance::deviceState(const std::string& uid)
{
    int state = -1;
    withDevice(uid, [&](DeviceEntry& entry) { state = entry.state.load(); });
    return state;
}

int LumoraInstance::loginAttempts(const std::string& uid)
{
    int n = 0;
    withDevice(uid, [&](DeviceEntry& entry) { n = entry.loginAttempts.load(); });
    return n;
}

uint64_t LumoraInstance::unsolicitedReplies(const std::string& uid)
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    auto it = m_pending.find(uid);
    return it == m_pending.end() ? 0 : it->second.unsolicited;
}

uint64_t LumoraInstance::lateReplies(const std::string& uid)
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    auto it = m_pending.find(uid);
    return it == m_pending.end() ? 0 : it->second.lateDropped;
}

int LumoraInstance::pendingCount(const std::string& uid, uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    auto it = m_pending.find(uid);
    if (it == m_pending.end())
        return 0;
    auto q = it->second.requests.find(code);
    return q == it->second.requests.end() ? 0 : static_cast<int>(q->second.size());
}
