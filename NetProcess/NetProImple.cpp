#include "NetProImple.h"

#include "DeviceJson.h"
#include "NetCrypto.h"
#include "NetLog.h"

#include <cstring>
#include <json/json.h>

namespace {

constexpr int kLoginCommand = 3001;
constexpr int kLoginReply = 4003;
constexpr int kLoginRefused = 106;
constexpr size_t kPasswordBuffer = 256;

std::string styled(const Json::Value& root)
{
    Json::StyledWriter writer;
    return writer.write(root);
}

bool parseJson(const std::string& text, Json::Value& out)
{
    return devicejson::Parse(text, out);
}

// jsoncpp throws when a member is read as an integer it cannot be; these never do.
bool readInt(const Json::Value& value, int& out)
{
    if (value.isInt()) {
        out = value.asInt();
        return true;
    }
    if (value.isUInt()) {
        out = static_cast<int>(static_cast<uint32_t>(value.asUInt()));
        return true;
    }
    if (value.isInt64() || value.isUInt64()) {
        out = static_cast<int>(static_cast<uint32_t>(value.asUInt64()));
        return true;
    }
    if (value.isDouble() && value.asDouble() >= -2147483648.0 && value.asDouble() <= 2147483647.0) {
        out = static_cast<int>(value.asDouble());
        return true;
    }
    if (value.isBool()) {
        out = value.asBool() ? 1 : 0;
        return true;
    }
    return false;
}

} // namespace

NetProImple::NetProImple(std::string uid, AVDataCallback avData, IODataCallback io)
    : m_uid(std::move(uid)), m_avData(avData), m_io(std::move(io))
{
    m_parser = std::make_unique<NetProParse>(
        m_uid, std::move(avData),
        [this](int code, int result, std::vector<char>& body, unsigned length, std::string replyUid, int x, int slot) {
            OnLoginReply(code, result, body, length, std::move(replyUid), x, slot);
        });
}

IODataCallback NetProImple::ioCallback()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_io;
}

void NetProImple::report(int code, int result, int slot)
{
    if (auto io = ioCallback()) {
        std::vector<char> empty;
        const int link = m_parser && m_parser->link() ? m_parser->link()->linkId() : 0;
        io(code, result, empty, 0, m_uid, link, slot);
    }
}

int NetProImple::SendLoginMsg(int slot, std::string uid, std::string password)
{
    if (m_parser && m_parser->LinkUp())
        report(kLoginReply, 0, slot);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_password = std::move(password);
    }
    Json::Value root;
    root["MSG_LOGIN_t"]["interval"] = 10;
    root["MSG_LOGIN_t"]["user"] = kLoginUser;
    const std::string body = styled(root);
    if (!m_parser) {
        report(kLoginReply, -1, slot);
        return -1;
    }
    int connectionType = 0;
    if (m_parser->Connect(uid, connectionType) < 0) {
        report(kLoginReply, -1, slot);
        return -12;
    }
    return m_parser->SendIOCtrl(kLoginCommand, body);
}

void NetProImple::OnLoginReply(int code, int result, std::vector<char>& body, unsigned length, std::string uid, int x,
                               int slot)
{
    if (result == -3)
        return;
    auto io = ioCallback();
    // What an earlier link brought is no step of the login now running on a later one.
    const bool earlierLink = x > 0 && m_parser && m_parser->link() && x != m_parser->link()->linkId();
    if (code != kLoginReply || earlierLink) {
        if (io)
            io(code, result, body, length, std::move(uid), x, slot);
        return;
    }
    Json::Value document;
    const size_t size = std::min<size_t>(length, body.size());
    if (!parseJson(std::string(body.data(), body.data() + size), document)) {
        if (m_digestPending.exchange(false)) {
            m_parser->CloseLink();
            result = -100;
        }
        if (io)
            io(code, result, body, length, std::move(uid), x, slot);
        return;
    }
    const Json::Value info = document.isObject() ? document["Login.info"] : Json::Value();
    if (!info.isNull()) {
        m_digestPending = true;
        int tick = 0;
        if (!info.isObject() || !readInt(info["Tick"], tick))
            NETLOG("login challenge without a usable tick from " << m_uid);
        std::string password;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            password = m_password;
        }
        SendLoginDigest(password, tick);
        return;
    }
    int ret = 0;
    if (document.isObject() && readInt(document["ret"], ret) && ret == kLoginRefused) {
        m_parser->CloseLink();
        result = -100;
    }
    m_digestPending = false;
    if (io)
        io(code, result, body, length, std::move(uid), x, slot);
}

std::string NetProImple::LoginDigest(const std::string& password, int tick)
{
    const uint32_t t = static_cast<uint32_t>(tick);
    const uint8_t bytes[4] = {static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t >> 16),
                              static_cast<uint8_t>(t >> 24)};
    return netcrypto::Md5HexUpper(password + netcrypto::Base64Encode(bytes, 4));
}

int NetProImple::SendLoginDigest(std::string password, int tick)
{
    Json::Value root;
    root["MSG_LOGIN_t"]["interval"] = 10;
    root["MSG_LOGIN_t"]["passwd"] = LoginDigest(password, tick);
    root["MSG_LOGIN_t"]["user"] = kLoginUser;
    return send(kLoginCommand, styled(root));
}

int NetProImple::ReadMediaData(int kind, int mediaType, AVDataCallback callback, int slot)
{
    if (!m_parser)
        return -1;
    if (kind == 5)
        return m_parser->ReadSnapPicData(slot, 5, nullptr);
    if (kind == 4)
        return m_parser->ReadRecData(slot, mediaType, 0, nullptr);
    return m_parser->ReadVAData(slot, kind, mediaType, std::move(callback));
}

void NetProImple::SetAVDataCallback(AVDataCallback avData, IODataCallback io)
{
    if (m_parser)
        m_parser->SetVADataCallback(avData, nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_avData = std::move(avData);
    if (io)
        m_io = std::move(io);
}

void NetProImple::SetRecDataCallback(AVDataCallback callback)
{
    if (m_parser)
        m_parser->SetRecDataCallback(std::move(callback));
}

void NetProImple::SetSnapDataCallback(AVDataCallback callback)
{
    if (m_parser)
        m_parser->SetSnapDataCallback(std::move(callback));
}

int NetProImple::ReadIOData(int slot)
{
    return m_parser ? m_parser->ReadIOData(0, slot) : -1;
}

int NetProImple::ReadSnapPicData(int slot)
{
    return m_parser ? m_parser->ReadSnapPicData(slot, 5, nullptr) : -1;
}

bool NetProImple::LinkUp() const
{
    return m_parser && m_parser->LinkUp();
}

void NetProImple::CloseLink()
{
    if (m_parser)
        m_parser->CloseLink();
}

int NetProImple::send(unsigned short command, const std::string& body)
{
    if (!m_parser)
        return -1;
    return m_parser->SendIOCtrl(command, body);
}

int NetProImple::sendDocument(unsigned short command, const char* document, const std::string& text, int badResult,
                              bool compact)
{
    Json::Value inner;
    if (!parseJson(text, inner))
        return badResult;
    Json::Value root;
    root[document] = inner;
    if (compact) {
        Json::FastWriter writer;
        return send(command, writer.write(root));
    }
    return send(command, styled(root));
}

int NetProImple::sendStream(unsigned short command, int flag, int channel, int streamType, int cmdType)
{
    Json::Value root;
    Json::Value& inner = root["REQUEST_STREAM_CMD_t"];
    inner["channel"] = channel;
    inner["flag"] = flag;
    inner["stream_type"] = streamType;
    inner["cmd_type"] = cmdType;
    inner["reserve"] = 0;
    return send(command, styled(root));
}

int NetProImple::SendStartDevDebug() { return send(1511, ""); }
int NetProImple::SendGetNetworkEth() { return send(1042, ""); }
int NetProImple::SendSetNetworkEth(std::string text) { return sendDocument(1040, "NetWork.Eth", text, -1); }
int NetProImple::SendGetWirelessEth() { return send(1050, ""); }
int NetProImple::SendSetWirelessEth(std::string text) { return sendDocument(1048, "NetWork.Wireless", text, -1); }
int NetProImple::SendSearchWireless() { return send(1052, ""); }
int NetProImple::SendGetMobileNet() { return send(1046, ""); }
int NetProImple::SendSetMobileNet(std::string text) { return sendDocument(1044, "Net.Mobile", text, -1); }
int NetProImple::SendGetTimezone() { return send(1402, ""); }
int NetProImple::SendSetTimezone(std::string text) { return sendDocument(1404, "Time.Conf", text, -1); }
int NetProImple::SendGetRecSetting(std::string text) { return sendDocument(1072, "Rec.Conf", text, -1); }
int NetProImple::SendSetRecSetting(std::string text) { return sendDocument(1070, "Rec.Conf", text, -1); }
int NetProImple::SendSetSDFormat() { return send(1507, ""); }

int NetProImple::SendTestSDSata()
{
    Json::Value root;
    Json::Value& inner = root["DiskTestCfg.info"];
    inner["Type"] = 0;
    inner["DiskNo"] = 0;
    inner["TestOp"] = 0;
    inner["ErrorNo"] = 0;
    return send(1527, styled(root));
}

int NetProImple::SendGetAlarmSetting() { return send(1068, ""); }
int NetProImple::SendSetAlarmSetting(std::string text) { return sendDocument(1066, "Alarm.MoveAlarm", text, -1, true); }
int NetProImple::SendGetFTPSetting() { return send(1484, ""); }

int NetProImple::SendSetFTPSetting(std::string text)
{
    Json::Value root;
    root["FtpCfg.info"] = text;
    return send(1482, styled(root));
}

int NetProImple::SendGetOSDSetting(std::string text) { return sendDocument(1505, "OsdGetCfg.info", text, -1); }
int NetProImple::SendSetOSDSetting(std::string text) { return sendDocument(1503, "OsdCfg.info", text, -1); }
int NetProImple::SendGetColorSetting(std::string text) { return sendDocument(1496, "CamCfg.info", text, -11); }
int NetProImple::SendSetColorSetting(std::string text) { return sendDocument(1494, "CamCfg.info", text, -11); }
int NetProImple::SendGetPicColor() { return send(1430, ""); }
int NetProImple::SendSetPicColor(std::string text) { return sendDocument(1432, "IspPicColor.info", text, -11); }
int NetProImple::SendGetInOutDoor() { return send(1434, ""); }
int NetProImple::SendSetInOutDoor(std::string text) { return sendDocument(1436, "IspExpEnv.info", text, -11); }
int NetProImple::SendGetExposureType() { return send(1418, ""); }
int NetProImple::SendSetExposureType(std::string text) { return sendDocument(1420, "IsExpType.info", text, -11); }
int NetProImple::SendGetAutoExposure() { return send(1422, ""); }
int NetProImple::SendGetDecNoise() { return send(1438, ""); }
int NetProImple::SendSetDecNoise(std::string text) { return sendDocument(1440, "IspDenoise.info", text, -11); }
int NetProImple::SendGetWDR() { return send(1442, ""); }
int NetProImple::SendSetWDR(std::string text) { return sendDocument(1444, "IspWdr.info", text, -11); }
int NetProImple::SendGetWhiteBalance() { return send(1446, ""); }
int NetProImple::SendSetWhiteBalance(std::string text) { return sendDocument(1448, "IspWhBalance.info", text, -11); }
int NetProImple::SendSetMirrorFlip(std::string text) { return sendDocument(1416, "IspOverTurn.info", text, -11); }
int NetProImple::SendSetAntiFilicker(std::string text) { return sendDocument(1464, "IspAntiFlk.info", text, -11); }
int NetProImple::SendSetIRCut(std::string text) { return sendDocument(1498, "IRCutCfg.info", text, -11); }
int NetProImple::SendGetVideoEncSetting() { return send(1056, ""); }
int NetProImple::SendSetVideoEncSetting(std::string text) { return sendDocument(1054, "AVEnc.VideoEncode", text, -1); }
int NetProImple::SendGetPTZ() { return send(1408, ""); }
int NetProImple::SendGoPTZ(std::string text) { return sendDocument(1064, "PtzCtrlMsg.info", text, -11); }
int NetProImple::SendGetPresetPTZ() { return send(1476, ""); }
int NetProImple::SendSetPresetPTZ(std::string text) { return sendDocument(1478, "PtzPreBit.info", text, -11); }
int NetProImple::SendGoPresetPTZ(std::string text) { return sendDocument(1480, "PtzOperateBit.info", text, -11); }
int NetProImple::SendGetP2PServer() { return send(1531, ""); }

int NetProImple::SendSetP2PServer(std::string text)
{
    Json::Value root;
    root["P2pSerCfg.info"]["P2pSerCode"] = text;
    root["P2pSerCfg.info"]["Md5Chk"] = netcrypto::Md5HexUpper(text);
    return send(1529, styled(root));
}

int NetProImple::SendGetParam() { return send(1094, ""); }

int NetProImple::SendResetPassword(std::string password)
{
    // The cipher text and its hex form live in 256-byte buffers on the device side too: a password
    // whose hex form would not fit is refused rather than cut.
    if (password.size() > kPasswordBuffer / 2 - 1)
        return -1;
    std::string cipher = password;
    netcrypto::Rc4Crypt(kPasswordKey, reinterpret_cast<uint8_t*>(cipher.data()), cipher.size());
    Json::Value root;
    root["User.Cfg"]["Op"] = "Change";
    root["User.Cfg"]["Passwd"] = netcrypto::HexLower(cipher.data(), cipher.size());
    return send(1022, styled(root));
}

int NetProImple::SendReboot() { return send(1104, ""); }
int NetProImple::SendSetDefault() { return send(1102, ""); }
int NetProImple::SendGetUpdateInfo() { return send(1098, ""); }
int NetProImple::SendSetAutoUpdate(std::string text) { return sendDocument(1100, "AutoUpgradeSet.info", text, -11); }
int NetProImple::SendSendUpdate(std::string text) { return sendDocument(1080, "Upgrade.info", text, -11); }
int NetProImple::SendDevUpdata(std::string text) { return sendDocument(1080, "Upgrade.info", text, -1); }

int NetProImple::SendStartVideo(int flag, int channel)
{
    if (m_parser)
        m_parser->SetAbandon(-1);
    return sendStream(3006, flag, channel, 1, 1);
}

int NetProImple::SendStopVideo(int flag, int channel)
{
    const int rc = sendStream(3006, flag, channel, 1, 2);
    if (m_parser)
        m_parser->SetAbandon(1);
    return rc;
}

int NetProImple::SendStartAudio(int flag) { return sendStream(3006, flag, 0, 2, 1); }

int NetProImple::SendStopAudio(int flag, int channel)
{
    const int rc = sendStream(3006, flag, channel, 2, 2);
    if (m_parser)
        m_parser->SetAudioAbandon(1);
    return rc;
}

int NetProImple::SendStartTalk()
{
    Json::Value root;
    root["Talk.Req"]["TalkEnable"] = 1;
    return send(1006, styled(root));
}

int NetProImple::SendStopTalk()
{
    if (m_uid.size() == 20 && m_parser)
        m_parser->StopTalkChannel();
    Json::Value root;
    root["Talk.Req"]["TalkEnable"] = 0;
    return send(1006, styled(root));
}

int NetProImple::SendGetDevSnapshot(std::string text)
{
    Json::Value root;
    root["SnapShoot.info"] = text;
    return send(1474, styled(root));
}

int NetProImple::SendBeginFace()
{
    Json::Value root;
    Json::Value& inner = root["SnapShoot.info"];
    inner["ViCh"] = 0;
    inner["SnapEnable"] = true;
    inner["Permanent"] = true;
    inner["SnapType"] = "FD";
    return send(1474, styled(root));
}

int NetProImple::SendEndFace(int channel)
{
    Json::Value root;
    Json::Value& inner = root["SnapShoot.info"];
    inner["ViCh"] = channel;
    inner["SnapEnable"] = false;
    inner["Permanent"] = false;
    inner["SnapType"] = "FD";
    return send(1474, styled(root));
}

int NetProImple::SendGetDevRecList(std::string text) { return sendDocument(1074, "lir", text, -1); }
int NetProImple::SendGetDevRecPage(std::string text) { return sendDocument(1076, "lp", text, -1); }
int NetProImple::SendRecFileOp(std::string text) { return sendDocument(1078, "rfop", text, -1); }

int NetProImple::SendEndRecFileOp(std::string text)
{
    Json::Value probe;
    if (!parseJson(text, probe))
        return -1;
    const int rc = sendDocument(1078, "rfop", text, -1);
    // The ThroughTek record audio carries no end: its read is let go now. The media read goes on
    // to the transfer's end marker, so that what the device still sends of it is not left for
    // the next transfer; the SDK abandons it itself when there is nothing to wait for.
    if (m_parser)
        m_parser->AbandonRecordAudio();
    return rc;
}

int NetProImple::SendUserData(const char* data, int length)
{
    return m_parser ? m_parser->SendUserData(data, length) : -1;
}
