// The device-settings requests: each finds the device, registers its reply code with the send
// tick and the caller's callback, and sends one command. The answer reaches the callback once,
// from the reply dispatch or from the time-out sweep.
//
// Reply codes are the command code plus one: the cameras answer the wired-network set (1040)
// with 1041 and the exposure-type query (1418) with 1419.
#include "LumoraInstance.h"

#include "NetProImple.h"

int LumoraInstance::StartDevDebug(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1512, std::move(cb), [](NetProImple& s) { return s.SendStartDevDebug(); });
}

int LumoraInstance::GetNetworkEth(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1043, std::move(cb), [](NetProImple& s) { return s.SendGetNetworkEth(); });
}

int LumoraInstance::SetNetworkEth(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1041, std::move(cb), [&text](NetProImple& s) { return s.SendSetNetworkEth(std::move(text)); });
}

int LumoraInstance::GetWirelessEth(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1051, std::move(cb), [](NetProImple& s) { return s.SendGetWirelessEth(); });
}

int LumoraInstance::SetWirelessEth(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1049, std::move(cb), [&text](NetProImple& s) { return s.SendSetWirelessEth(std::move(text)); });
}

int LumoraInstance::SearchWireless(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1053, std::move(cb), [](NetProImple& s) { return s.SendSearchWireless(); });
}

int LumoraInstance::GetMobileNet(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1047, std::move(cb), [](NetProImple& s) { return s.SendGetMobileNet(); });
}

int LumoraInstance::SetMobileNet(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1045, std::move(cb), [&text](NetProImple& s) { return s.SendSetMobileNet(std::move(text)); });
}

int LumoraInstance::GetTimezone(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1403, std::move(cb), [](NetProImple& s) { return s.SendGetTimezone(); });
}

int LumoraInstance::SetTimezone(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1405, std::move(cb), [&text](NetProImple& s) { return s.SendSetTimezone(std::move(text)); });
}

int LumoraInstance::GetRecSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1073, std::move(cb), [&text](NetProImple& s) { return s.SendGetRecSetting(std::move(text)); });
}

int LumoraInstance::SetRecSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1071, std::move(cb), [&text](NetProImple& s) { return s.SendSetRecSetting(std::move(text)); });
}

int LumoraInstance::SetSDFormat(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1508, std::move(cb), [](NetProImple& s) { return s.SendSetSDFormat(); });
}

int LumoraInstance::TestSDSata(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1528, std::move(cb), [](NetProImple& s) { return s.SendTestSDSata(); });
}

int LumoraInstance::GetAlarmSetting(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1069, std::move(cb), [](NetProImple& s) { return s.SendGetAlarmSetting(); });
}

int LumoraInstance::SetAlarmSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1067, std::move(cb), [&text](NetProImple& s) { return s.SendSetAlarmSetting(std::move(text)); });
}

int LumoraInstance::GetFTPSetting(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1485, std::move(cb), [](NetProImple& s) { return s.SendGetFTPSetting(); });
}

int LumoraInstance::SetFTPSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1483, std::move(cb), [&text](NetProImple& s) { return s.SendSetFTPSetting(std::move(text)); });
}

int LumoraInstance::GetOSDSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1506, std::move(cb), [&text](NetProImple& s) { return s.SendGetOSDSetting(std::move(text)); });
}

int LumoraInstance::SetOSDSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1504, std::move(cb), [&text](NetProImple& s) { return s.SendSetOSDSetting(std::move(text)); });
}

int LumoraInstance::GetColorSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1497, std::move(cb), [&text](NetProImple& s) { return s.SendGetColorSetting(std::move(text)); });
}

int LumoraInstance::SetColorSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1495, std::move(cb), [&text](NetProImple& s) { return s.SendSetColorSetting(std::move(text)); });
}

int LumoraInstance::GetPicColor(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1431, std::move(cb), [](NetProImple& s) { return s.SendGetPicColor(); });
}

int LumoraInstance::SetPicColor(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1433, std::move(cb), [&text](NetProImple& s) { return s.SendSetPicColor(std::move(text)); });
}

int LumoraInstance::GetInOutDoor(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1435, std::move(cb), [](NetProImple& s) { return s.SendGetInOutDoor(); });
}

int LumoraInstance::SetInOutDoor(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1437, std::move(cb), [&text](NetProImple& s) { return s.SendSetInOutDoor(std::move(text)); });
}

int LumoraInstance::GetExposureType(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1419, std::move(cb), [](NetProImple& s) { return s.SendGetExposureType(); });
}

int LumoraInstance::SetExposureType(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1421, std::move(cb), [&text](NetProImple& s) { return s.SendSetExposureType(std::move(text)); });
}

int LumoraInstance::GetAutoExposure(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1423, std::move(cb), [](NetProImple& s) { return s.SendGetAutoExposure(); });
}

int LumoraInstance::GetDecNoise(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1439, std::move(cb), [](NetProImple& s) { return s.SendGetDecNoise(); });
}

int LumoraInstance::SetDecNoise(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1441, std::move(cb), [&text](NetProImple& s) { return s.SendSetDecNoise(std::move(text)); });
}

int LumoraInstance::GetWDR(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1443, std::move(cb), [](NetProImple& s) { return s.SendGetWDR(); });
}

int LumoraInstance::SetWDR(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1445, std::move(cb), [&text](NetProImple& s) { return s.SendSetWDR(std::move(text)); });
}

int LumoraInstance::GetWhiteBalance(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1447, std::move(cb), [](NetProImple& s) { return s.SendGetWhiteBalance(); });
}

int LumoraInstance::SetWhiteBalance(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1449, std::move(cb), [&text](NetProImple& s) { return s.SendSetWhiteBalance(std::move(text)); });
}

int LumoraInstance::SetMirrorFlip(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1417, std::move(cb), [&text](NetProImple& s) { return s.SendSetMirrorFlip(std::move(text)); });
}

int LumoraInstance::SetAntiFilicker(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1465, std::move(cb), [&text](NetProImple& s) { return s.SendSetAntiFilicker(std::move(text)); });
}

int LumoraInstance::SetIRCut(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1499, std::move(cb), [&text](NetProImple& s) { return s.SendSetIRCut(std::move(text)); });
}

int LumoraInstance::GetVideoEncSetting(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1057, std::move(cb), [](NetProImple& s) { return s.SendGetVideoEncSetting(); });
}

int LumoraInstance::SetVideoEncSetting(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1055, std::move(cb), [&text](NetProImple& s) { return s.SendSetVideoEncSetting(std::move(text)); });
}

int LumoraInstance::GetPTZ(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1409, std::move(cb), [](NetProImple& s) { return s.SendGetPTZ(); });
}

int LumoraInstance::GoPTZ(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1065, std::move(cb), [&text](NetProImple& s) { return s.SendGoPTZ(std::move(text)); });
}

int LumoraInstance::GetPresetPTZ(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1477, std::move(cb), [](NetProImple& s) { return s.SendGetPresetPTZ(); });
}

int LumoraInstance::SetPresetPTZ(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1479, std::move(cb), [&text](NetProImple& s) { return s.SendSetPresetPTZ(std::move(text)); });
}

int LumoraInstance::GoPresetPTZ(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1481, std::move(cb), [&text](NetProImple& s) { return s.SendGoPresetPTZ(std::move(text)); });
}

int LumoraInstance::GetP2PServer(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1532, std::move(cb), [](NetProImple& s) { return s.SendGetP2PServer(); });
}

int LumoraInstance::SetP2PServer(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1530, std::move(cb), [&text](NetProImple& s) { return s.SendSetP2PServer(std::move(text)); });
}

int LumoraInstance::GetParam(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1095, std::move(cb), [](NetProImple& s) { return s.SendGetParam(); });
}

int LumoraInstance::ResetPassword(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1023, std::move(cb), [&text](NetProImple& s) { return s.SendResetPassword(std::move(text)); });
}

int LumoraInstance::Reboot(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1105, std::move(cb), [](NetProImple& s) { return s.SendReboot(); });
}

int LumoraInstance::SetDefault(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1103, std::move(cb), [](NetProImple& s) { return s.SendSetDefault(); });
}

int LumoraInstance::GetUpdateInfo(std::string uid, DeviceResultCallback cb)
{
    return request(uid, 1099, std::move(cb), [](NetProImple& s) { return s.SendGetUpdateInfo(); });
}

int LumoraInstance::SetAutoUpdate(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1101, std::move(cb), [&text](NetProImple& s) { return s.SendSetAutoUpdate(std::move(text)); });
}

int LumoraInstance::SendUpdate(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1081, std::move(cb), [&text](NetProImple& s) { return s.SendSendUpdate(std::move(text)); });
}

int LumoraInstance::DevUpdata(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1081, std::move(cb), [&text](NetProImple& s) { return s.SendDevUpdata(std::move(text)); });
}
