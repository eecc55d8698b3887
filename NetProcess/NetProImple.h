// The SDK's session with one device: owns its protocol engine (and through it the link), runs
// the MD5 challenge login, filters every reply through the login handler before the SDK core sees
// it, gives the stream tasks one entry point for media reads, and builds every device command.
//
// Threads: SendLoginMsg runs on a login or reconnect thread, OnLoginReply (and the digest answer)
// on the reply poller, the builders on whichever thread makes the request.
#pragma once

#include "NetCallbacks.h"
#include "NetProParse.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class NetProImple {
public:
    // The fixed user name of every login.
    static constexpr const char* kLoginUser = "qelvo";
    // Key of the password-change cipher.
    static constexpr const char* kPasswordKey = "Quaxel2964";

    NetProImple(std::string uid, AVDataCallback avData, IODataCallback io);
    NetProImple(const NetProImple&) = delete;
    NetProImple& operator=(const NetProImple&) = delete;

    int SendLoginMsg(int slot, std::string uid, std::string password);
    void OnLoginReply(int code, int result, std::vector<char>& body, unsigned length, std::string uid, int x, int slot);
    int SendLoginDigest(std::string password, int tick);
    // The login digest: 32 upper-case hex digits of MD5(password + Base64(tick, little-endian)).
    static std::string LoginDigest(const std::string& password, int tick);

    int ReadMediaData(int kind, int mediaType, AVDataCallback callback, int slot);
    void SetAVDataCallback(AVDataCallback avData, IODataCallback io);
    void SetRecDataCallback(AVDataCallback callback);
    void SetSnapDataCallback(AVDataCallback callback);
    int ReadIOData(int slot);
    int ReadSnapPicData(int slot);
    bool LinkUp() const;
    void CloseLink();
    NetProParse* parser() { return m_parser.get(); }
    const std::string& uid() const { return m_uid; }

    // Command builders: the sender's result, or -1 / -11 when the caller's text does not parse.
    int SendStartDevDebug();
    int SendGetNetworkEth();
    int SendSetNetworkEth(std::string text);
    int SendGetWirelessEth();
    int SendSetWirelessEth(std::string text);
    int SendSearchWireless();
    int SendGetMobileNet();
    int SendSetMobileNet(std::string text);
    int SendGetTimezone();
    int SendSetTimezone(std::string text);
    int SendGetRecSetting(std::string text);
    int SendSetRecSetting(std::string text);
    int SendSetSDFormat();
    int SendTestSDSata();
    int SendGetAlarmSetting();
    int SendSetAlarmSetting(std::string text);
    int SendGetFTPSetting();
    int SendSetFTPSetting(std::string text);
    int SendGetOSDSetting(std::string text);
    int SendSetOSDSetting(std::string text);
    int SendGetColorSetting(std::string text);
    int SendSetColorSetting(std::string text);
    int SendGetPicColor();
    int SendSetPicColor(std::string text);
    int SendGetInOutDoor();
    int SendSetInOutDoor(std::string text);
    int SendGetExposureType();
    int SendSetExposureType(std::string text);
    int SendGetAutoExposure();
    int SendGetDecNoise();
    int SendSetDecNoise(std::string text);
    int SendGetWDR();
    int SendSetWDR(std::string text);
    int SendGetWhiteBalance();
    int SendSetWhiteBalance(std::string text);
    int SendSetMirrorFlip(std::string text);
    int SendSetAntiFilicker(std::string text);
    int SendSetIRCut(std::string text);
    int SendGetVideoEncSetting();
    int SendSetVideoEncSetting(std::string text);
    int SendGetPTZ();
    int SendGoPTZ(std::string text);
    int SendGetPresetPTZ();
    int SendSetPresetPTZ(std::string text);
    int SendGoPresetPTZ(std::string text);
    int SendGetP2PServer();
    int SendSetP2PServer(std::string text);
    int SendGetParam();
    int SendResetPassword(std::string password);
    int SendReboot();
    int SendSetDefault();
    int SendGetUpdateInfo();
    int SendSetAutoUpdate(std::string text);
    int SendSendUpdate(std::string text);
    int SendDevUpdata(std::string text);
    int SendStartVideo(int flag, int channel);
    int SendStopVideo(int flag, int channel);
    int SendStartAudio(int flag);
    int SendStopAudio(int flag, int channel);
    int SendStartTalk();
    int SendStopTalk();
    int SendGetDevSnapshot(std::string text);
    int SendBeginFace();
    int SendEndFace(int channel);
    int SendGetDevRecList(std::string text);
    int SendGetDevRecPage(std::string text);
    int SendRecFileOp(std::string text);
    int SendEndRecFileOp(std::string text);
    int SendUserData(const char* data, int length);

private:
    IODataCallback ioCallback();
    void report(int code, int result, int slot);
    int send(unsigned short command, const std::string& body);
    int sendDocument(unsigned short command, const char* document, const std::string& text, int badResult,
                     bool compact = false);
    int sendStream(unsigned short command, int flag, int channel, int streamType, int cmdType);

    std::unique_ptr<NetProParse> m_parser;
    std::string m_uid;
    std::mutex m_mutex;
    AVDataCallback m_avData;
    IODataCallback m_io;
    std::string m_password;
    std::atomic<bool> m_digestPending{false};
};
