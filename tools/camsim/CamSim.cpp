#include "CamSim.h"

#include "NetCrypto.h"
#include "PlatformThread.h"
#include "UdpSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace camsim {

namespace {

// The versions the camera reports in its login reply and its LAN answer.
constexpr const char kSoftwareVersion[] = "V2.1.0.camsim";
constexpr const char kHardwareVersion[] = "HW1.0";

constexpr uint16_t kLogin = 3001;
constexpr uint16_t kLoginReply = 4003;
constexpr uint16_t kStream = 3006;
constexpr uint16_t kTalk = 1006;
constexpr uint16_t kSnap = 1474;
constexpr int kSnapshotPicture = 31;
constexpr int kFacePicture = 32;
constexpr int kAlarmPicture = 34;
constexpr uint16_t kRecList = 1074;
constexpr uint16_t kRecPage = 1076;
constexpr uint16_t kRecOp = 1078;
constexpr uint16_t kPassword = 1022;
constexpr uint16_t kUpgrade = 1080;
constexpr uint16_t kUserData = 1509;
constexpr uint16_t kAlarm = 1502;
constexpr uint16_t kSdFormat = 1507;
constexpr const char* kPasswordKey = "Quaxel2964";

// A settings family: the get command answers with the document, the set command stores it.
struct Family {
    uint16_t get;
    uint16_t set;
    const char* document;
};

constexpr Family kFamilies[] = {
    {1042, 1040, "NetWork.Eth"},       {1050, 1048, "NetWork.Wireless"},   {1052, 0, "NetWork.WirelessSearch"},
    {1046, 1044, "Net.Mobile"},        {1402, 1404, "Time.Conf"},          {1072, 1070, "Rec.Conf"},
    {1068, 1066, "Alarm.MoveAlarm"},   {1484, 1482, "FtpCfg.info"},        {1505, 1503, "OsdCfg.info"},
    {1496, 1494, "CamCfg.info"},       {1430, 1432, "IspPicColor.info"},   {1434, 1436, "IspExpEnv.info"},
    {1418, 1420, "IsExpType.info"},    {1422, 0, "IspAutoExp.info"},       {1438, 1440, "IspDenoise.info"},
    {1442, 1444, "IspWdr.info"},       {1446, 1448, "IspWhBalance.info"},  {0, 1416, "IspOverTurn.info"},
    {0, 1464, "IspAntiFlk.info"},      {0, 1498, "IRCutCfg.info"},         {1056, 1054, "AVEnc.VideoEncode"},
    {1408, 1064, "PtzCtrlMsg.info"},   {1476, 1478, "PtzPreBit.info"},     {0, 1480, "PtzOperateBit.info"},
    {1531, 1529, "P2pSerCfg.info"},    {1094, 0, "Dev.Info"},              {1098, 0, "UpgradeCfg.info"},
    {0, 1100, "AutoUpgradeSet.info"},
};

const Family* familyOf(uint16_t command, bool& isGet)
{
    for (const Family& f : kFamilies) {
        if (f.get == command) {
            isGet = true;
            return &f;
        }
        if (f.set == command) {
            isGet = false;
            return &f;
        }
    }
    return nullptr;
}

std::string styled(const Json::Value& v)
{
    Json::StyledWriter writer;
    return writer.write(v);
}

bool parse(const std::string& text, Json::Value& out)
{
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
}

int intOf(const Json::Value& v, int fallback)
{
    if (v.isInt())
        return v.asInt();
    if (v.isString()) {
        try {
            return std::stoi(v.asString());
        } catch (...) {
            return fallback;
        }
    }
    return fallback;
}

uint64_t nowPts()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}


} // namespace

struct CamSim::Session {
    std::unique_ptr<DeviceLink> link;
    std::mutex mutex;
    bool loggedIn = false;
    uint32_t tick = 0;
    std::atomic<bool> video{false};
    std::atomic<bool> audio{false};
    std::atomic<bool> liveRunning{false};
    std::atomic<bool> talkRunning{false};
    std::atomic<bool> recordStop{false};
    std::atomic<bool> recordRunning{false};
    std::atomic<bool> recordPaused{false};
    std::atomic<int64_t> recordSeek{-1}; // microseconds into the recording; -1 none
    std::atomic<int> recordTail{0};      // frames a stopped transfer still sends (setStopTail)
    std::atomic<int> lateSeekReplies{0}; // seek and pause answers owed (SeekReplies::kLate)
    std::atomic<int> stream{0};       // the video stream asked for ("flag"): 0 main, 1 sub
    std::atomic<uint32_t> starts{0};  // video starts so far; each begins its stream at a key frame
    std::vector<std::pair<DevMsgHeader, std::string>> deferred; // guarded by CamSim::m_mutex
};

CamSim::CamSim(CamSimOptions options) : m_options(std::move(options)), m_password(m_options.password) {}

CamSim::~CamSim()
{
    stop();
}

std::vector<char> CamSim::syntheticFrame(uint32_t index)
{
    const bool key = syntheticKeyFrame(index);
    const size_t size = key ? 60000 + index % 7 * 1000 : 800 + (index * 7919u) % 20000;
    std::vector<char> frame(size);
    std::mt19937 rng(index * 2654435761u + 1);
    for (auto& b : frame)
        b = static_cast<char>(rng());
    const unsigned char sps[] = {0, 0, 0, 1, 0x67};
    const unsigned char slice[] = {0, 0, 0, 1, 0x41};
    std::memcpy(frame.data(), key ? sps : slice, 5);
    return frame;
}

std::vector<char> CamSim::syntheticAudio(uint32_t index)
{
    std::vector<char> frame(320);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<char>(0xD5 ^ ((index + i) & 0x0F));
    return frame;
}

bool CamSim::start(std::string& error)
{
    loadDocuments();
    loadMedia();
    if (m_options.transport == "cs2")
        m_acceptor = makeCs2Acceptor(m_options.uid, error);
    else if (m_options.transport == "tutk")
        m_acceptor = makeTutkAcceptor(m_options.uid, error);
    else if (m_options.transport == "tovel")
        m_acceptor = makeTovelAcceptor(m_options.uid, m_options.password, m_options.server, error);
    else
        error = "unknown transport " + m_options.transport;
    if (!m_acceptor)
        return false;
    if (m_options.searchPort > 0) {
        m_searchSocket = std::make_unique<platform::UdpSocket>();
        if (m_searchSocket->open(platform::AddressFamily::IPv4) != platform::NetError::None ||
            m_searchSocket->setReuseAddress(true) != platform::NetError::None ||
            m_searchSocket->bind(platform::NetAddress::ipv4Any(static_cast<uint16_t>(m_options.searchPort))) !=
                platform::NetError::None) {
            error = "cannot listen for the LAN probe on port " + std::to_string(m_options.searchPort);
            m_searchSocket.reset();
            m_acceptor.reset();
            return false;
        }
    }
    m_running = true;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    if (m_searchSocket)
        m_searchThread = std::thread([this] { searchLoop(); });
    return true;
}

void CamSim::stop()
{
    if (!m_running.exchange(false))
        return;
    if (m_acceptor)
        m_acceptor->stop();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_searchSocket)
        m_searchSocket->shutdownReceive();
    if (m_searchThread.joinable())
        m_searchThread.join();
    m_searchSocket.reset();
    dropSessions();
    std::vector<Worker> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_threads);
        m_sessions.clear();
    }
    for (auto& w : threads)
        w.thread.join();
    m_acceptor.reset();
}

void CamSim::dropSessions()
{
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions = m_sessions;
    }
    for (auto& s : sessions) {
        s->video = false;
        s->recordStop = true;
        s->link->close();
    }
}

size_t CamSim::openSessions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

size_t CamSim::sessionThreads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
}

void CamSim::spawn(std::function<void()> work)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_threads.push_back({std::thread([work = std::move(work), done] {
                             work();
                             *done = true;
                         }),
                         done});
}

void CamSim::reap()
{
    std::vector<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            if (it->done->load()) {
                finished.push_back(std::move(*it));
                it = m_threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& w : finished)
        w.thread.join();
}

void CamSim::acceptLoop()
{
    while (m_running) {
        reap();
        auto link = m_acceptor->accept(500);
        if (!link)
            continue;
        auto session = std::make_shared<Session>();
        session->link = std::move(link);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.push_back(session);
        spawn([this, session] { serve(session); });
    }
}

void CamSim::serve(std::shared_ptr<Session> session)
{
    while (m_running && session->link->alive()) {
        DevMsgHeader header;
        std::string body;
        const ReadResult r = session->link->readCommand(header, body, 200);
        if (r == ReadResult::Closed)
            break;
        if (r == ReadResult::Message && !holdBack(session, header, body))
            handle(*session, header, body);
        answerDeferred(*session);
    }
    session->video = false;
    session->recordStop = true;
    session->link->close(); // ends the live, uplink and record loops of this session too
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        if (session->loggedIn) {
            session->loggedIn = false;
            --m_loggedIn;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase(m_sessions, session);
}

void CamSim::record(uint16_t command, const std::string& body)
{
    if (m_observer) {
        std::string line = "request " + std::to_string(command) + " " + std::to_string(body.size());
        if (m_options.observeBodies) {
            std::string flat = body;
            for (char& c : flat)
                if (c == '\n' || c == '\r')
                    c = ' ';
            line += " " + flat;
        }
        m_observer(line);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back({command, body});
    m_changed.notify_all();
}

std::vector<RecordedRequest> CamSim::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool CamSim::waitForRequest(uint16_t command, int timeoutMs, RecordedRequest* out)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto found = [&] {
        for (const auto& r : m_requests)
            if (r.command == command) {
                if (out != nullptr)
                    *out = r;
                return true;
            }
        return false;
    };
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), found);
}

std::vector<Uplink> CamSim::uplinks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uplinks;
}

bool CamSim::waitForUplinks(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_uplinks.size() >= count; });
}

Json::Value CamSim::document(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_documents.find(name);
    return it == m_documents.end() ? Json::Value() : it->second;
}

std::string CamSim::password() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_password;
}

std::string CamSim::reply(const char* document, const Json::Value& value) const
{
    Json::Value root;
    root[document] = value;
    return styled(root);
}

void CamSim::pushAlarm(const std::string& body)
{
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions = m_sessions;
    }
    for (auto& s : sessions) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->loggedIn)
            s->link->sendCommand(kAlarm, 0, body);
    }
}

void CamSim::pushAlarmPicture(uint64_t seconds)
{
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions = m_sessions;
    }
    for (auto& s : sessions) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->loggedIn)
            sendPicture(*s, kAlarmPicture, seconds);
    }
}

void CamSim::setMuted(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_muted = std::move(commands);
}

void CamSim::setRefused(std::vector<uint16_t> commands, bool bare)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refused = std::move(commands);
    m_refusedBare = bare;
}

void CamSim::setGarbled(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_garbled = std::move(commands);
}

void CamSim::setDeclined(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_declined = std::move(commands);
}

void CamSim::setDeferred(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deferred = std::move(commands);
}

void CamSim::answerDeferred(Session& session)
{
    std::vector<std::pair<DevMsgHeader, std::string>> due;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& held = session.deferred;
        for (auto it = held.begin(); it != held.end();) {
            if (std::find(m_deferred.begin(), m_deferred.end(), it->first.command) == m_deferred.end()) {
                due.push_back(std::move(*it));
                it = held.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& [header, body] : due)
        handle(session, header, body, true);
}

void CamSim::setDocument(const std::string& name, const Json::Value& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_documents[name] = value;
}

void CamSim::loadDocuments()
{
    std::vector<std::filesystem::path> folders;
#ifdef CAMSIM_DEFAULTS_DIR
    folders.emplace_back(CAMSIM_DEFAULTS_DIR);
#endif
    if (!m_options.dataDir.empty())
        folders.emplace_back(std::filesystem::path(m_options.dataDir) / "settings");
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& folder : folders) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().extension() != ".json")
                continue;
            std::ifstream in(entry.path());
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            Json::Value value;
            if (parse(text, value))
                m_documents[entry.path().stem().string()] = value;
            if (parse(text, value) && entry.path().stem() == "CamCfg.info" && m_factoryColours.isNull())
                m_factoryColours = value;
        }
    }
}

void CamSim::loadMedia()
{
    auto load = [](const std::string& file, StreamMedia& media) {
        if (file.empty())
            return;
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string ext = std::filesystem::path(file).extension().string();
        media.h265 = ext == ".h265" || ext == ".hevc" || ext == ".265";
        media.units = splitAccessUnits(data, media.h265);
    };
    StreamMedia& main = m_streams[0];
    main.width = m_options.width;
    main.height = m_options.height;
    load(m_options.mediaFile, main);
    StreamMedia& sub = m_streams[1];
    // A sub stream is the smaller one unless it is given its own size.
    sub.width = m_options.subWidth > 0 ? m_options.subWidth : std::max(2, m_options.width / 2 / 2 * 2);
    sub.height = m_options.subHeight > 0 ? m_options.subHeight : std::max(2, m_options.height / 2 / 2 * 2);
    load(m_options.subMediaFile.empty() ? m_options.mediaFile : m_options.subMediaFile, sub);
}

void CamSim::setDeepReplies(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deep = std::move(commands);
}

void CamSim::pushReplies(uint16_t code, int count)
{
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions = m_sessions;
    }
    for (auto& s : sessions) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->loggedIn)
            continue;
        for (int i = 0; i < count; ++i)
            s->link->sendCommand(code, 0, "{\"ret\":0}");
    }
}

void CamSim::setHeldReplies(std::vector<uint16_t> commands)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = std::move(commands);
}

bool CamSim::holdBack(const std::shared_ptr<Session>& session, const DevMsgHeader& header, const std::string& body)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::find(m_held.begin(), m_held.end(), header.command) == m_held.end())
            return false;
        m_heldRequests.push_back({session, header, body});
    }
    record(header.command, body);
    return true;
}

void CamSim::releaseHeld(int count)
{
    std::vector<HeldRequest> released;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t n = std::min(m_heldRequests.size(), static_cast<size_t>(std::max(count, 0)));
        released.assign(m_heldRequests.begin(), m_heldRequests.begin() + static_cast<std::ptrdiff_t>(n));
        m_heldRequests.erase(m_heldRequests.begin(), m_heldRequests.begin() + static_cast<std::ptrdiff_t>(n));
    }
    for (HeldRequest& held : released)
        if (auto session = held.session.lock())
            handle(*session, held.header, held.body, true);
}

size_t CamSim::heldReplies() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heldRequests.size();
}

void CamSim::pushPictures(int type, int count, size_t bytes, uint64_t seconds)
{
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions = m_sessions;
    }
    std::vector<char> picture(std::max<size_t>(bytes, 4));
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 13 + 5);
    picture[0] = static_cast<char>(0xFF);
    picture[1] = static_cast<char>(0xD8);
    picture[picture.size() - 2] = static_cast<char>(0xFF);
    picture[picture.size() - 1] = static_cast<char>(0xD9);
    for (auto& s : sessions) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->loggedIn)
            continue;
        for (int i = 0; i < count; ++i)
            s->link->sendFrame(kChannelPicture, static_cast<uint8_t>(type), static_cast<uint32_t>(i + 1), picture.data(),
                               picture.size(), seconds);
    }
}

void CamSim::handle(Session& session, const DevMsgHeader& header, const std::string& body, bool released)
{
    const uint16_t command = header.command;
    if (!released)
        record(command, body);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!released && std::find(m_muted.begin(), m_muted.end(), command) != m_muted.end())
            return;
        if (std::find(m_deferred.begin(), m_deferred.end(), command) != m_deferred.end()) {
            session.deferred.emplace_back(header, body);
            return;
        }
    }
    bool refuse = false;
    bool garble = false;
    bool decline = false;
    bool bare = false;
    bool deep = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        refuse = std::find(m_refused.begin(), m_refused.end(), command) != m_refused.end();
        garble = std::find(m_garbled.begin(), m_garbled.end(), command) != m_garbled.end();
        decline = std::find(m_declined.begin(), m_declined.end(), command) != m_declined.end();
        bare = m_refusedBare;
        deep = std::find(m_deep.begin(), m_deep.end(), command) != m_deep.end();
    }
    if (garble) {
        session.link->sendCommand(static_cast<uint16_t>(command + 1), 0, "<html>not a settings document");
        return;
    }
    // The login's first step (no "passwd") gets its challenge: the deep answer is the digest's.
    if (deep && (command != kLogin || body.find("passwd") != std::string::npos)) {
        const uint16_t code = command == kLogin ? kLoginReply : command == kStream ? kStream : command + 1;
        session.link->sendCommand(code, 0, std::string(1500, '[') + std::string(1500, ']'));
        return;
    }
    if (refuse && bare) {
        session.link->sendCommand(static_cast<uint16_t>(command + 1), -1, "");
        return;
    }
    if (refuse) {
        Json::Value refused;
        refused["ret"] = -1;
        refused["res"] = -1; // settings answers carry the outcome in "res"
        session.link->sendCommand(static_cast<uint16_t>(command + 1), -1, styled(refused));
        return;
    }
    if (command == kLogin) {
        handleLogin(session, body);
        bool loggedIn = false;
        {
            std::lock_guard<std::mutex> lock(session.mutex);
            loggedIn = session.loggedIn;
        }
        // User data (1509) may come on the media channel at any time after a login.
        if (loggedIn && !session.talkRunning.exchange(true))
            startUplinkReader(session);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (!session.loggedIn)
            return; // a device says nothing to a client that has not logged in
    }
    if (handlePreset(session, command, body))
        return;
    bool isGet = false;
    if (const Family* family = familyOf(command, isGet)) {
        if (isGet) {
            session.link->sendCommand(command + 1, 0, reply(family->document, document(family->document)));
            return;
        }
        Json::Value root;
        if (!parse(body, root) || !root.isObject() || !root.isMember(family->document)) {
            session.link->sendCommand(command + 1, -1, "");
            return;
        }
        if (decline) {
            Json::Value declined;
            declined["res"] = 1;
            session.link->sendCommand(command + 1, 0, styled(declined));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Json::Value stored = root[family->document];
            // Some documents travel as JSON text inside a string ("FtpCfg.info"): the camera
            // keeps the document the text holds.
            Json::Value inner;
            if (stored.isString() && parse(stored.asString(), inner) && inner.isObject())
                stored = inner;
            // "SetDefault": true asks the camera to go back to its factory picture colours.
            // (Read through get: operator[] would add a null "SetDefault" to the stored document.)
            if (std::string(family->document) == "CamCfg.info" && stored.isObject() &&
                stored.get("SetDefault", false).isBool() && stored.get("SetDefault", false).asBool())
                stored = m_factoryColours;
            m_documents[family->document] = stored;
        }
        Json::Value ok;
        ok["ret"] = 0;
        session.link->sendCommand(command + 1, 0, styled(ok));
        return;
    }
    Json::Value ok;
    ok["ret"] = 0;
    switch (command) {
    case kStream:
        handleStream(session, body);
        return;
    case kTalk: {
        Json::Value root;
        const bool on = parse(body, root) && intOf(root["Talk.Req"]["TalkEnable"], 0) == 1;
        session.link->sendCommand(kTalk + 1, 0, styled(ok));
        if (on && !session.talkRunning.exchange(true))
            startUplinkReader(session);
        return;
    }
    case kSnap: {
        // "FD" switches the face-picture stream: on, the camera sends a face picture (type 32)
        // at once; off, nothing more. Any other request takes one snapshot.
        Json::Value root;
        const Json::Value snap = parse(body, root) && root.isObject() ? root["SnapShoot.info"] : Json::Value();
        const bool face = snap.isObject() && snap["SnapType"].isString() && snap["SnapType"].asString() == "FD";
        session.link->sendCommand(kSnap + 1, 0, styled(ok));
        if (!face)
            sendPicture(session, kSnapshotPicture, nowPts());
        else if (snap["SnapEnable"].isBool() && snap["SnapEnable"].asBool())
            sendPicture(session, kFacePicture, nowPts());
        return;
    }
    case kRecOp:
        handleRecordOp(session, body);
        return;
    case kRecList: {
        Json::Value root;
        std::string folder;
        if (parse(body, root) && root.isObject() && root["lir"]["p"].isString())
            folder = root["lir"]["p"].asString();
        Json::Value answer;
        answer["li"]["n"] = static_cast<Json::Int>(sdEntries(folder).size());
        session.link->sendCommand(kRecList + 1, 0, styled(answer));
        return;
    }
    case kRecPage: {
        Json::Value root;
        Json::Value page;
        if (parse(body, root) && root.isObject())
            page = root["lp"];
        const std::vector<std::string> names = sdEntries(page["p"].isString() ? page["p"].asString() : "");
        const size_t first = static_cast<size_t>(std::max(0, intOf(page["s"], 0)));
        const size_t count = static_cast<size_t>(std::max(0, intOf(page["c"], 0)));
        const std::string folder = page["p"].isString() ? page["p"].asString() : "";
        Json::Value list(Json::arrayValue);
        for (size_t i = first; i < names.size() && i < first + count; ++i) {
            std::error_code ec;
            const uintmax_t size = std::filesystem::file_size(sdFile(folder + "/" + names[i]), ec);
            Json::Value entry;
            entry["n"] = names[i];
            // The size as sh * 256 + sl (0 for folders).
            entry["sh"] = static_cast<Json::UInt64>(ec ? 0 : size / 256);
            entry["sl"] = static_cast<Json::UInt64>(ec ? 0 : size % 256);
            list.append(entry);
        }
        Json::Value answer;
        answer["dir"]["l"] = list;
        session.link->sendCommand(kRecPage + 1, 0, styled(answer));
        return;
    }
    case kPassword: {
        Json::Value root;
        std::string hex;
        if (parse(body, root) && root["User.Cfg"]["Passwd"].isString())
            hex = root["User.Cfg"]["Passwd"].asString();
        std::string cipher;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            cipher.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        netcrypto::Rc4Crypt(kPasswordKey, reinterpret_cast<uint8_t*>(cipher.data()), cipher.size());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_password = cipher;
        }
        session.link->sendCommand(kPassword + 1, 0, styled(ok));
        return;
    }
    case kUpgrade: {
        for (int p : {50, 100}) {
            Json::Value progress;
            progress["p"] = p;
            session.link->sendCommand(kUpgrade + 1, 0, styled(progress));
        }
        return;
    }
    case kSdFormat: {
        // A formatted card is empty: its free space becomes its capacity.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto rec = m_documents.find("Rec.Conf");
            if (rec != m_documents.end() && rec->second.isObject() && rec->second.isMember("DiskInfo")) {
                Json::Value& disk = rec->second["DiskInfo"];
                if (disk.isObject() && disk.isMember("Total") && disk["Total"].isInt())
                    disk["Free"] = disk["Total"];
            }
        }
        session.link->sendCommand(kSdFormat + 1, 0, styled(ok));
        return;
    }
    default:
        session.link->sendCommand(command + 1, 0, styled(ok));
    }
}

std::vector<CamSim::Preset> CamSim::presets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_presets;
}

void CamSim::setPresets(std::vector<Preset> presets)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_presets = std::move(presets);
}

bool CamSim::handlePreset(Session& session, uint16_t command, const std::string& body)
{
    constexpr uint16_t kPresetList = 1476;
    constexpr uint16_t kPresetAdd = 1478;
    constexpr uint16_t kPresetOperate = 1480;
    if (command != kPresetList && command != kPresetAdd && command != kPresetOperate)
        return false;
    Json::Value root;
    const bool parsed = parse(body, root) && root.isObject();
    Json::Value answer;
    answer["ret"] = 0;
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto find = [this](int id) {
            return std::find_if(m_presets.begin(), m_presets.end(), [id](const Preset& p) { return p.bitId == id; });
        };
        if (command == kPresetList) {
            Json::Value list;
            list["PointsCount"] = static_cast<Json::Int>(m_presets.size());
            list["Points"] = Json::Value(Json::arrayValue);
            for (const Preset& p : m_presets) {
                Json::Value point;
                point["PtzPreBit.info"]["BitID"] = p.bitId;
                point["PtzPreBit.info"]["Desc"] = p.desc;
                list["Points"].append(point);
            }
            answer = Json::Value();
            answer["PrePointList.info"] = list;
        } else if (command == kPresetAdd) {
            const Json::Value add = parsed ? root["PtzPreBit.info"] : Json::Value();
            if (!add.isObject()) {
                result = -1;
            } else {
                int id = intOf(add["BitID"], -1);
                if (id < 1) {
                    id = 1;
                    while (find(id) != m_presets.end())
                        ++id;
                }
                const std::string desc = add["Desc"].isString() ? add["Desc"].asString() : std::string();
                if (auto it = find(id); it != m_presets.end())
                    it->desc = desc;
                else
                    m_presets.push_back(Preset{id, desc});
                answer["PtzPreBit.info"]["BitID"] = id;
                answer["PtzPreBit.info"]["Desc"] = desc;
            }
        } else {
            const Json::Value op = parsed ? root["PtzOperateBit.info"] : Json::Value();
            const int id = intOf(op["BitID"], 0);
            const auto it = find(id);
            if (!op.isObject() || it == m_presets.end()) {
                result = -1;
            } else if (intOf(op["Type"], 0) == 1) {
                m_presets.erase(it);
            } else {
                m_recalled = id;
            }
        }
    }
    session.link->sendCommand(command + 1, result, result == 0 ? styled(answer) : std::string());
    return true;
}

void CamSim::handleLogin(Session& session, const std::string& body)
{
    Json::Value root;
    const Json::Value* login = nullptr;
    if (parse(body, root) && root.isObject() && root["MSG_LOGIN_t"].isObject())
        login = &root["MSG_LOGIN_t"];
    if (login == nullptr) {
        session.link->sendCommand(kLoginReply, -1, "");
        return;
    }
    std::lock_guard<std::mutex> lock(session.mutex);
    if (!(*login)["passwd"].isString()) {
        session.tick = static_cast<uint32_t>(std::random_device{}()) & 0x7fffffffu;
        Json::Value challenge;
        challenge["Login.info"]["Tick"] = static_cast<Json::Int>(session.tick);
        session.link->sendCommand(kLoginReply, 0, styled(challenge));
        return;
    }
    const uint8_t tick[4] = {static_cast<uint8_t>(session.tick), static_cast<uint8_t>(session.tick >> 8),
                             static_cast<uint8_t>(session.tick >> 16), static_cast<uint8_t>(session.tick >> 24)};
    const std::string expected = netcrypto::Md5HexUpper(password() + netcrypto::Base64Encode(tick, 4));
    Json::Value answer;
    if ((*login)["passwd"].asString() != expected) {
        answer["ret"] = 106;
        session.link->sendCommand(kLoginReply, 0, styled(answer));
        return;
    }
    answer["ret"] = 0;
    answer["DevInfo"]["UID"] = m_options.uid;
    answer["DevInfo"]["Width"] = m_options.width;
    answer["DevInfo"]["Height"] = m_options.height;
    answer["dev_info"]["dev_ver"] = kSoftwareVersion;
    if (!session.loggedIn) {
        session.loggedIn = true;
        ++m_loggedIn;
    }
    session.link->sendCommand(kLoginReply, 0, styled(answer));
}

void CamSim::handleStream(Session& session, const std::string& body)
{
    Json::Value root;
    Json::Value request;
    if (parse(body, root) && root.isObject())
        request = root["REQUEST_STREAM_CMD_t"];
    const int streamType = intOf(request["stream_type"], 0);
    const bool start = intOf(request["cmd_type"], 0) == 1;
    // "flag" names the stream (0 main, 1 sub); "channel" is the camera's video input, and this
    // camera has one.
    const int stream = intOf(request["flag"], 0) == 1 ? 1 : 0;
    if (streamType == 2) {
        session.audio = start;
    } else if (start) {
        session.stream = stream;
        session.starts.fetch_add(1);
        session.video = true;
    } else {
        session.video = false;
    }
    Json::Value answer;
    answer["ret"] = 0;
    if (start && streamType != 2) {
        const StreamMedia& media = streamMedia(stream);
        Json::Value& video = answer["Stream.StreamInfo"]["VideoStream"];
        video["Width"] = media.width;
        video["Height"] = media.height;
        video["EncCh"] = stream;
        video["Encode"] = media.h265 ? "ENC_H265" : "ENC_H264";
    }
    session.link->sendCommand(kStream, 0, styled(answer));
    if ((session.video || session.audio) && !session.liveRunning.exchange(true)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& s : m_sessions)
            if (s.get() == &session)
                spawn([this, s] { liveLoop(s); });
    }
}

void CamSim::liveLoop(std::shared_ptr<Session> session)
{
    const int fps = std::max(1, m_options.fps);
    uint32_t index = 0;
    uint32_t audioIndex = 0;
    auto next = std::chrono::steady_clock::now();
    const auto audioStart = next;
    uint32_t starts = session->starts.load();
    while (m_running && session->link->alive() && (session->video || session->audio)) {
        if (session->video) {
            // A start (of either stream) begins at the first picture of the stream's file, a key
            // frame, as an encoder begins a new stream with one.
            const uint32_t now = session->starts.load();
            if (now != starts) {
                starts = now;
                index = 0;
            }
            const StreamMedia& media = streamMedia(session->stream.load());
            const std::vector<char> frame =
                media.units.empty() ? syntheticFrame(index) : media.units[index % media.units.size()];
            const bool key = media.units.empty() ? syntheticKeyFrame(index) : false;
            if (!session->link->sendFrame(kChannelLive, key ? 5 : 1, index, frame.data(), frame.size(), nowPts()))
                break;
            ++index;
        }
        // Audio keeps its own pace: 25 frames of 40 ms a second, whatever the video's rate.
        const auto elapsed = std::chrono::steady_clock::now() - audioStart;
        const auto audioDue = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 40 + 1);
        bool sent = true;
        while (session->audio && audioIndex < audioDue && sent) {
            const std::vector<char> audio = syntheticAudio(audioIndex++);
            sent = session->link->sendFrame(kChannelLive, 20, audioIndex, audio.data(), audio.size(), nowPts());
        }
        if (!sent)
            break;
        if (!session->audio)
            audioIndex = audioDue;
        next += std::chrono::microseconds(1000000 / fps);
        std::this_thread::sleep_until(next);
    }
    session->liveRunning = false;
    // A start that arrived while this loop was ending found it still running and started none:
    // the loop goes on for it.
    if (m_running && session->link->alive() && (session->video || session->audio) && !session->liveRunning.exchange(true))
        liveLoop(std::move(session));
}

void CamSim::startUplinkReader(Session& session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<Session> self;
    for (auto& s : m_sessions)
        if (s.get() == &session)
            self = s;
    spawn([this, self] { uplinkLoop(self); });
}

void CamSim::uplinkLoop(std::shared_ptr<Session> session)
{
    while (m_running && session->link->alive()) {
        Uplink up;
        const ReadResult r = session->link->readUplink(up, 200);
        if (r == ReadResult::Closed)
            break;
        if (r != ReadResult::Message)
            continue;
        if (up.isCommand) {
            record(up.command, std::string(up.data.begin(), up.data.end()));
            if (up.command == kUserData) {
                Json::Value ok;
                ok["ret"] = 0;
                session->link->sendCommand(kUserData + 1, 0, styled(ok));
            }
        }
        if (m_observer && !up.isCommand)
            m_observer("uplink " + std::to_string(up.frameType) + " " + std::to_string(up.data.size()));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_uplinks.push_back(std::move(up));
        m_changed.notify_all();
    }
    session->talkRunning = false;
}

void CamSim::sendPicture(Session& session, int type, uint64_t pts)
{
    // A small JPEG-shaped picture: start and end markers around deterministic bytes.
    std::vector<char> picture(30000);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 31 + 7);
    picture[0] = static_cast<char>(0xFF);
    picture[1] = static_cast<char>(0xD8);
    picture[picture.size() - 2] = static_cast<char>(0xFF);
    picture[picture.size() - 1] = static_cast<char>(0xD9);
    session.link->sendFrame(kChannelPicture, static_cast<uint8_t>(type), 1, picture.data(), picture.size(), pts);
}

std::string CamSim::sdFile(const std::string& devicePath) const
{
    if (m_options.dataDir.empty())
        return {};
    std::string rest = devicePath;
    const std::string root = kSdRoot;
    if (rest.compare(0, root.size(), root) == 0)
        rest.erase(0, root.size());
    else if (!rest.empty() && rest.front() == '/')
        rest = std::filesystem::path(rest).filename().string(); // a path elsewhere: its file name in sd/
    std::filesystem::path file = std::filesystem::path(m_options.dataDir) / "sd";
    for (const auto& part : std::filesystem::path(rest)) {
        const std::string name = part.string();
        if (name.empty() || name == "/" || name == ".")
            continue;
        if (name == "..")
            return {};
        file /= part;
    }
    return file.string();
}

std::vector<std::string> CamSim::sdEntries(const std::string& devicePath) const
{
    std::vector<std::string> names;
    const std::string folder = sdFile(devicePath);
    std::error_code ec;
    if (!folder.empty())
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void CamSim::setRecordHold(int frames)
{
    m_recordHold.store(frames < 0 ? -1 : frames);
}

void CamSim::setRecordCut(int frames)
{
    m_recordCut.store(frames < 0 ? -1 : frames);
}

bool CamSim::waitRecordHold(Session& session)
{
    for (;;) {
        if (session.recordStop || !m_running || !session.link->alive())
            return false;
        int cut = m_recordCut.load();
        while (cut >= 0 && !m_recordCut.compare_exchange_weak(cut, cut > 0 ? cut - 1 : 0)) {
        }
        if (cut == 0) {
            m_recordCut.store(-1); // one transfer is cut
            return false;
        }
        int allowed = m_recordHold.load();
        if (allowed < 0)
            return true;
        if (allowed > 0 && m_recordHold.compare_exchange_weak(allowed, allowed - 1))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CamSim::handleRecordOp(Session& session, const std::string& body)
{
    Json::Value root;
    Json::Value op;
    if (parse(body, root) && root.isObject())
        op = root["rfop"];
    const int code = intOf(op["op"], -1);
    Json::Value ok;
    ok["ret"] = 0;
    if (code != 20 && code != 8)
        answerLateSeeks(session);
    if (code == 0 || code == 10) {
        // Only files inside the SD-card folder; a missing one is refused.
        const std::string path = sdFile(op["p"].isString() ? op["p"].asString() : "");
        std::error_code ec;
        const bool found = !path.empty() && std::filesystem::is_regular_file(path, ec);
        // A transfer told to stop that still sends its last frames is let finish first.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (session.recordStop && session.recordRunning && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!found || session.recordRunning.exchange(true)) {
            Json::Value refused;
            refused["ret"] = -1;
            session.link->sendCommand(kRecOp + 1, -1, styled(refused));
            return;
        }
        session.recordStop = false;
        session.recordPaused = false;
        session.recordSeek = -1;
        session.recordTail = 0;
        m_recordPaused = false;
        session.link->sendCommand(kRecOp + 1, 0, styled(ok));
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& s : m_sessions)
            if (s.get() == &session)
                spawn([this, s, path, code] { recordLoop(s, path, code == 10); });
        return;
    }
    if (code == 20 || code == 8) {
        // Pause (the same request resumes) and seek ("stm" microseconds) expect no answer.
        if (code == 20) {
            const bool paused = !session.recordPaused.load();
            session.recordPaused = paused;
            m_recordPaused = paused;
        } else if (op["stm"].isIntegral()) {
            session.recordSeek = static_cast<int64_t>(op["stm"].asLargestUInt());
        }
        switch (m_seekReplies.load()) {
        case SeekReplies::kNone:
            break;
        case SeekReplies::kNow:
            session.link->sendCommand(kRecOp + 1, 0, styled(ok));
            break;
        case SeekReplies::kLate:
            ++session.lateSeekReplies;
            break;
        }
        return;
    }
    if (code == 6 && m_stopTail.load() > 0 && session.recordRunning) {
        // The stop is answered at once; the transfer's sender still sends what it had queued.
        session.recordTail = m_stopTail.load();
        session.recordStop = true;
        session.link->sendCommand(kRecOp + 1, 0, styled(ok));
        return;
    }
    if (code == 6) {
        // The answer comes once the stream has ended, so that the next start finds it stopped.
        session.recordStop = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (session.recordRunning && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    session.link->sendCommand(kRecOp + 1, code >= 0 ? 0 : -1, styled(ok));
}

void CamSim::recordLoop(std::shared_ptr<Session> session, std::string path, bool download)
{
    std::ifstream in(path, std::ios::binary);
    uint32_t id = 0;
    if (download) {
        // The file's bytes as they are, in pieces, as fast as the link takes them.
        std::vector<char> piece(64 * 1024);
        while (in && (waitRecordHold(*session) || takeStopTail(*session))) {
            in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
            const std::streamsize got = in.gcount();
            if (got <= 0)
                break;
            if (!session->link->sendFrame(kChannelRecord, 1, id++, piece.data(), static_cast<size_t>(got), nowPts()))
                break;
            ++m_recordSent;
        }
    } else {
        // A recording is an elementary stream played at the camera's frame rate; the time stamp
        // of frame i is its place in the recording.
        const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string ext = std::filesystem::path(path).extension().string();
        const std::vector<std::vector<char>> frames =
            splitAccessUnits(data, ext == ".h265" || ext == ".hevc" || ext == ".265");
        const int fps = std::max(1, m_options.fps);
        const uint64_t frameUs = 1000000u / static_cast<uint64_t>(fps);
        size_t index = 0;
        uint64_t audioIndex = 0;
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            bool tail = false;
            if (index >= frames.size() || !(waitRecordHold(*session) || (tail = takeStopTail(*session))))
                break;
            const int64_t seek = session->recordSeek.exchange(-1);
            if (seek >= 0) {
                index = std::min(frames.size() - 1, static_cast<size_t>(static_cast<uint64_t>(seek) / frameUs));
                audioIndex = index * frameUs / 40000;
            }
            if (session->recordPaused && !tail) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                next = std::chrono::steady_clock::now();
                continue;
            }
            const std::vector<char>& frame = frames[index];
            if (!session->link->sendFrame(kChannelRecord, 1, id++, frame.data(), frame.size(), index * frameUs))
                break;
            ++m_recordSent;
            // The recording's A-law track: the 40-ms frames due by the end of this picture.
            bool sent = true;
            const uint64_t audioDue = (index + 1) * frameUs / 40000;
            for (; sent && audioIndex < audioDue; ++audioIndex) {
                const std::vector<char> audio = syntheticAudio(static_cast<uint32_t>(audioIndex));
                sent = session->link->sendFrame(kChannelRecord, 20, id++, audio.data(), audio.size(), audioIndex * 40000);
                if (sent)
                    ++m_recordAudioSent;
            }
            if (!sent)
                break;
            ++index;
            // The frames queued before a stop go out as fast as the link takes them.
            next += std::chrono::microseconds(frameUs);
            if (!tail)
                std::this_thread::sleep_until(next);
        }
    }
    session->recordTail = 0;
    session->link->sendEnd(kChannelRecord);
    session->recordRunning = false;
}

bool CamSim::takeStopTail(Session& session)
{
    if (!session.recordStop || !m_running || !session.link->alive())
        return false;
    int left = session.recordTail.load();
    while (left > 0 && !session.recordTail.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

void CamSim::answerLateSeeks(Session& session)
{
    Json::Value ok;
    ok["ret"] = 0;
    for (int owed = session.lateSeekReplies.exchange(0); owed > 0; --owed)
        session.link->sendCommand(kRecOp + 1, 0, styled(ok));
}

void CamSim::searchLoop()
{
    platform::UdpSocket& socket = *m_searchSocket;
    // The answer record after a 4-byte header: IP text (80 bytes), MAC (6 bytes at 80), UID at 88,
    // hardware version at 152, software version at 168.
    std::vector<char> answer(4 + 168 + 32, 0);
    answer[0] = 0x44;
    answer[1] = 0x48;
    answer[2] = 0x01;
    answer[3] = 0x02;
    std::strncpy(answer.data() + 4, "127.0.0.1", 79);
    const uint32_t hash = static_cast<uint32_t>(std::hash<std::string>{}(m_options.uid));
    const unsigned char mac[6] = {0x02, 0x4C, static_cast<unsigned char>(hash >> 24), static_cast<unsigned char>(hash >> 16),
                                  static_cast<unsigned char>(hash >> 8), static_cast<unsigned char>(hash)};
    std::memcpy(answer.data() + 4 + 80, mac, 6);
    std::strncpy(answer.data() + 4 + 88, m_options.uid.c_str(), 63);
    std::strncpy(answer.data() + 4 + 152, kHardwareVersion, 15);
    std::strncpy(answer.data() + 4 + 168, kSoftwareVersion, 31);
    char probe[64];
    // Blocks until a probe arrives; stop shuts the receive down.
    for (;;) {
        platform::NetAddress from;
        const int n = socket.receiveFrom(probe, sizeof probe, from);
        if (n == static_cast<int>(platform::NetError::Shutdown))
            return;
        if (n == 4 && probe[0] == 0x44 && probe[1] == 0x48 && probe[2] == 0x01 && probe[3] == 0x01)
            socket.sendTo(answer.data(), answer.size(), from);
    }
}

std::vector<std::vector<char>> CamSim::splitAccessUnits(const std::vector<char>& data, bool h265)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i > 0 && data[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    std::vector<std::vector<char>> units;
    std::vector<char> current;
    for (size_t n = 0; n < starts.size(); ++n) {
        const size_t begin = starts[n];
        const size_t end = n + 1 < starts.size() ? starts[n + 1] : data.size();
        size_t header = begin;
        while (header < end && data[header] == 0)
            ++header;
        if (header + 1 >= end)
            continue;
        const uint8_t byte = static_cast<uint8_t>(data[header + 1]);
        const int type = h265 ? (byte >> 1) & 0x3f : byte & 0x1f;
        const bool picture = h265 ? type < 32 : (type >= 1 && type <= 5);
        current.insert(current.end(), data.begin() + static_cast<std::ptrdiff_t>(begin),
                       data.begin() + static_cast<std::ptrdiff_t>(end));
        if (picture) {
            units.push_back(std::move(current));
            current.clear();
        }
    }
    return units;
}

} // namespace camsim
