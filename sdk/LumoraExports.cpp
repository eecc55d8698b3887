// The exported shell of libLumora: each entry gets the one instance and forwards to its method.
// Nothing escapes an entry: an exception is logged and answered with -1 (or nothing).
// UIDs come from applications and from the network (LAN answers); one that cannot name a device
// is refused here (kLumoraBadUid, or the entry's "nothing" answer), so that no device, folder
// name or transport ever sees it.
#include "libLumora.h"

#include "LumoraInstance.h"
#include "NetLog.h"
#include "NetRWrite.h"

#include <exception>

namespace {

void logException(const char* entry)
{
    try {
        throw;
    } catch (const std::exception& e) {
        NETLOG(entry << " failed: " << e.what());
    } catch (...) {
        NETLOG(entry << " failed");
    }
}

template <class R, class F>
R guarded(const char* entry, R failure, F&& f) noexcept
{
    try {
        return f();
    } catch (...) {
        logException(entry);
        return failure;
    }
}

template <class F>
void guardedVoid(const char* entry, F&& f) noexcept
{
    try {
        f();
    } catch (...) {
        logException(entry);
    }
}

} // namespace

extern "C" {

LUMORA_API void InitLibLumora(const char* serverString, int region)
{
    guardedVoid("InitLibLumora", [&] { LumoraInstance::GetInstance().InitLib(serverString, region); });
}

LUMORA_API void DeInitLibLumora()
{
    guardedVoid("DeInitLibLumora", [&] { LumoraInstance::GetInstance().DeInitLib(); });
}

LUMORA_API int SetMSGCallBack(DeviceMessageCallback callback)
{
    return guarded("SetMSGCallBack", -1, [&] { return LumoraInstance::GetInstance().SetMSGCallBack(std::move(callback)); });
}

LUMORA_API void SetVideoDataCallBack(std::string uid, AVDataCallback callback)
{
    guardedVoid("SetVideoDataCallBack", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().SetVideoDataCallBack(std::move(uid), std::move(callback)); });
}

LUMORA_API int LoginDev(std::string uid, std::string password, DeviceResultCallback callback)
{
    return guarded("LoginDev", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().LoginDev(std::move(uid), std::move(password), std::move(callback)); });
}

LUMORA_API int LogoutDev(std::string uid)
{
    return guarded("LogoutDev", -1, [&] { if (!IsDeviceUid(uid)) return 0; return LumoraInstance::GetInstance().LogoutDev(std::move(uid)); });
}

LUMORA_API int LoginState(std::string uid)
{
    return guarded("LoginState", -1, [&] { if (!IsDeviceUid(uid)) return 0; return LumoraInstance::GetInstance().LoginState(std::move(uid)); });
}

LUMORA_API int GetPlayStateMask(std::string uid)
{
    return guarded("GetPlayStateMask", -1, [&] { if (!IsDeviceUid(uid)) return 0; return LumoraInstance::GetInstance().GetPlayStateMask(std::move(uid)); });
}

LUMORA_API int SetUserData(std::string uid, intptr_t data, int length, DeviceResultCallback callback)
{
    return guarded("SetUserData", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetUserData(std::move(uid), data, length, std::move(callback)); });
}

LUMORA_API int StartDevDebug(std::string uid, DeviceResultCallback callback)
{
    return guarded("StartDevDebug", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().StartDevDebug(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetNetworkEth(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetNetworkEth", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetNetworkEth(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetWirelessEth(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetWirelessEth", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetWirelessEth(std::move(uid), std::move(callback)); });
}

LUMORA_API int SearchWireless(std::string uid, DeviceResultCallback callback)
{
    return guarded("SearchWireless", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SearchWireless(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetTimezone(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetTimezone", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetTimezone(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetMobileNet(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetMobileNet", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetMobileNet(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetFTPSetting(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetFTPSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetFTPSetting(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetAlarmSetting(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetAlarmSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetAlarmSetting(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetPTZ(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetPTZ", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetPTZ(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetPresetPTZ(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetPresetPTZ", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetPresetPTZ(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetInOutDoor(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetInOutDoor", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetInOutDoor(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetExposureType(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetExposureType", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetExposureType(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetAutoExposure(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetAutoExposure", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetAutoExposure(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetPicColor(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetPicColor", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetPicColor(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetWhiteBalance(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetWhiteBalance", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetWhiteBalance(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetWDR(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetWDR", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetWDR(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetDecNoise(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetDecNoise", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDecNoise(std::move(uid), std::move(callback)); });
}

LUMORA_API int SetDefault(std::string uid, DeviceResultCallback callback)
{
    return guarded("SetDefault", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetDefault(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetParam(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetParam", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetParam(std::move(uid), std::move(callback)); });
}

LUMORA_API int Reboot(std::string uid, DeviceResultCallback callback)
{
    return guarded("Reboot", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().Reboot(std::move(uid), std::move(callback)); });
}

LUMORA_API int SetSDFormat(std::string uid, DeviceResultCallback callback)
{
    return guarded("SetSDFormat", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetSDFormat(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetUpdateInfo(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetUpdateInfo", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetUpdateInfo(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetDevRecPath(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetDevRecPath", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDevRecPath(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetDevAlarmRecPath(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetDevAlarmRecPath", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDevAlarmRecPath(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetVideoEncSetting(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetVideoEncSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetVideoEncSetting(std::move(uid), std::move(callback)); });
}

LUMORA_API int TestSDSata(std::string uid, DeviceResultCallback callback)
{
    return guarded("TestSDSata", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().TestSDSata(std::move(uid), std::move(callback)); });
}

LUMORA_API int GetP2PServer(std::string uid, DeviceResultCallback callback)
{
    return guarded("GetP2PServer", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetP2PServer(std::move(uid), std::move(callback)); });
}

LUMORA_API int SetNetworkEth(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetNetworkEth", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetNetworkEth(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetWirelessEth(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetWirelessEth", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetWirelessEth(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetRecSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetRecSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetRecSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetRecSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetRecSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetRecSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetTimezone(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetTimezone", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetTimezone(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetMobileNet(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetMobileNet", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetMobileNet(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetFTPSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetFTPSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetFTPSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetAlarmSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetAlarmSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetAlarmSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetOSDSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetOSDSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetOSDSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetOSDSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetOSDSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetOSDSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GoPTZ(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GoPTZ", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GoPTZ(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetPresetPTZ(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetPresetPTZ", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetPresetPTZ(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GoPresetPTZ(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GoPresetPTZ", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GoPresetPTZ(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetColorSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetColorSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetColorSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetColorSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetColorSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetColorSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetMirrorFlip(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetMirrorFlip", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetMirrorFlip(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetAntiFilicker(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetAntiFilicker", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetAntiFilicker(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetIRCut(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetIRCut", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetIRCut(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetInOutDoor(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetInOutDoor", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetInOutDoor(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetAutoExposure(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetAutoExposure", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetExposureType(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetExposureType(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetExposureType", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetExposureType(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetPicColor(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetPicColor", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetPicColor(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetWhiteBalance(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetWhiteBalance", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetWhiteBalance(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetWDR(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetWDR", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetWDR(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetDecNoise(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetDecNoise", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetDecNoise(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int ResetPassword(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("ResetPassword", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().ResetPassword(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetAutoUpdate(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetAutoUpdate", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetAutoUpdate(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SendUpdate(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SendUpdate", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SendUpdate(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int DevUpdata(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("DevUpdata", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().DevUpdata(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetDevSnapshot(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetDevSnapshot", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDevSnapshot(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetDevRecList(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetDevRecList", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDevRecList(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int GetDevRecPage(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("GetDevRecPage", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().GetDevRecPage(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int EndRemoteRecord(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("EndRemoteRecord", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().EndRemoteRecord(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int DownloadRecFile(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("DownloadRecFile", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().DownloadRecFile(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int StopDownloadFile(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("StopDownloadFile", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().StopDownloadFile(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetVideoEncSetting(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetVideoEncSetting", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetVideoEncSetting(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int SetP2PServer(std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("SetP2PServer", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().SetP2PServer(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int BeginVideo(int window, std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("BeginVideo", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().BeginVideo(window, std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int RePlayVideo(std::string uid)
{
    return guarded("RePlayVideo", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().RePlayVideo(std::move(uid)); });
}

LUMORA_API int EndVideo(std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("EndVideo", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().EndVideo(std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int BeginAudio(std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("BeginAudio", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().BeginAudio(std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int EndAudio(std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("EndAudio", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().EndAudio(std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int BeginFace(std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("BeginFace", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().BeginFace(std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int EndFace(std::string uid, int stream, int reserved, DeviceResultCallback callback)
{
    return guarded("EndFace", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().EndFace(std::move(uid), stream, reserved, std::move(callback)); });
}

LUMORA_API int BeginTalk(std::string uid, DeviceResultCallback callback)
{
    return guarded("BeginTalk", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().BeginTalk(std::move(uid), std::move(callback)); });
}

LUMORA_API int EndTalk(std::string uid, DeviceResultCallback callback)
{
    return guarded("EndTalk", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().EndTalk(std::move(uid), std::move(callback)); });
}

LUMORA_API void SnapStreamPic(std::string uid, std::string folder, DeviceResultCallback callback)
{
    guardedVoid("SnapStreamPic", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().SnapStreamPic(std::move(uid), std::move(folder), std::move(callback)); });
}

LUMORA_API int StartRecordFile(std::string uid, int slot, std::string path)
{
    return guarded("StartRecordFile", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().StartRecordFile(std::move(uid), slot, std::move(path)); });
}

LUMORA_API int StopRecordFile(std::string uid, int slot)
{
    return guarded("StopRecordFile", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().StopRecordFile(std::move(uid), slot); });
}

LUMORA_API void SetbeUseHardware(std::string uid, bool hardware)
{
    guardedVoid("SetbeUseHardware", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().SetbeUseHardware(std::move(uid), hardware); });
}

LUMORA_API void ScaleImage(float scale, int x, int y, std::string uid, int stream, int reserved)
{
    guardedVoid("ScaleImage", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().ScaleImage(scale, x, y, std::move(uid), stream, reserved); });
}

LUMORA_API void ResetImage(std::string uid, int index)
{
    guardedVoid("ResetImage", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().ResetImage(std::move(uid), index); });
}

LUMORA_API void RoateImage(std::string uid, int rotation)
{
    guardedVoid("RoateImage", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().RoateImage(std::move(uid), rotation); });
}

LUMORA_API void DrawPicture(const char* bitmapFile, RECT rect, int overlay, std::string uid)
{
    guardedVoid("DrawPicture", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().DrawPicture(bitmapFile, rect, overlay, std::move(uid)); });
}

LUMORA_API int PlayRemoteRec(int window, std::string uid, std::string text, DeviceResultCallback callback)
{
    return guarded("PlayRemoteRec", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().PlayRemoteRec(window, std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API void PauseRemoteRec(std::string uid, std::string text, DeviceResultCallback callback)
{
    guardedVoid("PauseRemoteRec", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().PauseRemoteRec(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API void SeekRemoteRec(std::string uid, std::string text, DeviceResultCallback callback)
{
    guardedVoid("SeekRemoteRec", [&] { if (!IsDeviceUid(uid)) return; LumoraInstance::GetInstance().PauseRemoteRec(std::move(uid), std::move(text), std::move(callback)); });
}

LUMORA_API int DeleteRecFile(std::string uid, std::string file, DeviceResultCallback callback)
{
    return guarded("DeleteRecFile", -1, [&] { if (!IsDeviceUid(uid)) return kLumoraBadUid; return LumoraInstance::GetInstance().DeleteRecFile(std::move(uid), std::move(file), std::move(callback)); });
}

LUMORA_API int64_t GetPlayPts(std::string uid)
{
    return guarded("GetPlayPts", int64_t{0}, [&] { if (!IsDeviceUid(uid)) return int64_t{0}; return LumoraInstance::GetInstance().GetPlayPts(std::move(uid)); });
}

LUMORA_API int64_t GetDloadSize(std::string uid)
{
    return guarded("GetDloadSize", int64_t{0}, [&] { if (!IsDeviceUid(uid)) return int64_t{0}; return LumoraInstance::GetInstance().GetDloadSize(std::move(uid)); });
}

LUMORA_API int PlayLocalAVIFile(std::string path, HWND window)
{
    return guarded("PlayLocalAVIFile", -1, [&] { return LumoraInstance::GetInstance().PlayLocalAVIFile(std::move(path), window); });
}

LUMORA_API void EndLocalAVIFile()
{
    guardedVoid("EndLocalAVIFile", [&] { LumoraInstance::GetInstance().EndLocalAVIFile(); });
}

LUMORA_API int GetAVIFileFrames()
{
    return guarded("GetAVIFileFrames", -1, [&] { return LumoraInstance::GetInstance().GetAVIFileFrames(); });
}

LUMORA_API void SetAVIFileFrame(int frame)
{
    guardedVoid("SetAVIFileFrame", [&] { LumoraInstance::GetInstance().SetAVIFileFrame(frame); });
}

LUMORA_API int GetLocalPlayPos()
{
    return guarded("GetLocalPlayPos", -1, [&] { return LumoraInstance::GetInstance().GetLocalPlayPos(); });
}

LUMORA_API void LocalPlayOrStop(int paused)
{
    guardedVoid("LocalPlayOrStop", [&] { LumoraInstance::GetInstance().LocalPlayOrStop(paused); });
}

LUMORA_API void SetDownloadPath(std::string path)
{
    guardedVoid("SetDownloadPath", [&] { LumoraInstance::GetInstance().SetDownloadPath(std::move(path)); });
}

LUMORA_API void SetSnapPath(std::string path)
{
    guardedVoid("SetSnapPath", [&] { LumoraInstance::GetInstance().SetSnapPath(std::move(path)); });
}

LUMORA_API void SetFacePath(std::string path)
{
    guardedVoid("SetFacePath", [&] { LumoraInstance::GetInstance().SetFacePath(std::move(path)); });
}

LUMORA_API void SetRecPath(std::string path)
{
    guardedVoid("SetRecPath", [&] { LumoraInstance::GetInstance().SetRecPath(std::move(path)); });
}

LUMORA_API void SetComparePath(std::string path)
{
    guardedVoid("SetComparePath", [&] { LumoraInstance::GetInstance().SetComparePath(std::move(path)); });
}

LUMORA_API void SetAlarmPath(std::string path)
{
    guardedVoid("SetAlarmPath", [&] { LumoraInstance::GetInstance().SetAlarmPath(std::move(path)); });
}

LUMORA_API int SearchDev(int seconds, DeviceResultCallback callback)
{
    return guarded("SearchDev", -1, [&] { return LumoraInstance::GetInstance().SearchDev(seconds, std::move(callback)); });
}

LUMORA_API void CancelSearch()
{
    guardedVoid("CancelSearch", [&] { LumoraInstance::GetInstance().CancelSearch(); });
}

LUMORA_API int OpenUSBVideo()
{
    return -1;
}

LUMORA_API int CloseUSBVideo()
{
    return -1;
}

LUMORA_API int CompareFace(std::string first, std::string second)
{
    return -1;
}

LUMORA_API int CompareToFile(std::string path)
{
    return -1;
}

LUMORA_API int StartCompareFace(std::string path)
{
    return -1;
}

} // extern "C"
