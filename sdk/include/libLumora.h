// The public interface of libLumora: 115 functions under plain, undecorated names.
//
// Conventions shared by every entry:
// - Text arguments (UIDs, passwords, JSON request texts, folders, paths) are std::string by value;
//   callbacks are copyable callables by value. The library keeps copies of the callbacks it calls
//   later, from its own threads, so whatever a callback refers to must outlive the request.
//   Application and library share one C++ runtime (same compiler, same std::string layout).
// - Results: 0 or more when a request was sent; -11 when the device is not in the library's list
//   or its link is down (nothing sent, the callback is never called); -1 for the entry points
//   that do nothing and for request texts that do not parse (some commands answer -11 there);
//   other negatives are link send results.
// - A sent request is answered exactly once through its callback, on the library's reply-poll
//   thread: with the device's reply, or with (code, -1, "", uid, nullptr, 0) after its time-out
//   (6000 ms; 24000 ms for SearchWireless; 90000 ms for a login). Progress replies of a firmware
//   upgrade (SendUpdate, DevUpdata) and the pushes after SetUserData come as often as the device
//   sends them. Callbacks may call any function of this header.
// - Every media entry works on stream slot 0; the extra ints documented as "(0)" are not used.
#pragma once

#include "LumoraTypes.h"

#include <cstdint>
#include <string>

#ifndef LUMORA_API
#define LUMORA_API __attribute__((visibility("default")))
#endif

extern "C" {

// ---- Library and sessions
// Starts the transports with the P2P server string and region, sizes the worker pools and sets
// up the log file "DllSysState.log" in the current folder. Call once before the first login.
LUMORA_API void InitLibLumora(const char* serverString, int region);
// Stops the library's tasks and the transports; no callback is called after it returns, except
// one that is already running. Log every device out first.
LUMORA_API void DeInitLibLumora();
// The one message callback: 0 picture written, 1 link lost, 2 reconnected, 5 recording or
// download ended, 1502 device event (text: a NUL-terminated copy of the event, value: its length).
LUMORA_API int SetMSGCallBack(DeviceMessageCallback callback);
LUMORA_API void SetVideoDataCallBack(std::string uid, AVDataCallback callback);
// Logs in (reply code 4003 through the callback; code 0 at once when the link is already up).
LUMORA_API int LoginDev(std::string uid, std::string password, DeviceResultCallback callback);
LUMORA_API int LogoutDev(std::string uid);
LUMORA_API int LoginState(std::string uid);
LUMORA_API int GetPlayStateMask(std::string uid);
// Sends `length` raw bytes at address `data` (command 1509); the callback gets every 1510 push.
LUMORA_API int SetUserData(std::string uid, intptr_t data, int length, DeviceResultCallback callback);

// ---- Device requests without a request text
LUMORA_API int StartDevDebug(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetNetworkEth(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetWirelessEth(std::string uid, DeviceResultCallback callback);
LUMORA_API int SearchWireless(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetTimezone(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetMobileNet(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetFTPSetting(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetAlarmSetting(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetPTZ(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetPresetPTZ(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetInOutDoor(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetExposureType(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetAutoExposure(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetPicColor(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetWhiteBalance(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetWDR(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetDecNoise(std::string uid, DeviceResultCallback callback);
LUMORA_API int SetDefault(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetParam(std::string uid, DeviceResultCallback callback);
LUMORA_API int Reboot(std::string uid, DeviceResultCallback callback);
LUMORA_API int SetSDFormat(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetUpdateInfo(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetDevRecPath(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetDevAlarmRecPath(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetVideoEncSetting(std::string uid, DeviceResultCallback callback);
LUMORA_API int TestSDSata(std::string uid, DeviceResultCallback callback);
LUMORA_API int GetP2PServer(std::string uid, DeviceResultCallback callback);

// ---- Device requests with a request text (the inner JSON object of the settings document,
// or the plain text the name says: a new password, a P2P server code)
LUMORA_API int SetNetworkEth(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetWirelessEth(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetRecSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetRecSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetTimezone(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetMobileNet(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetFTPSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetAlarmSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetOSDSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetOSDSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GoPTZ(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetPresetPTZ(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GoPresetPTZ(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetColorSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetColorSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetMirrorFlip(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetAntiFilicker(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetIRCut(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetInOutDoor(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetAutoExposure(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetExposureType(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetPicColor(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetWhiteBalance(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetWDR(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetDecNoise(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int ResetPassword(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetAutoUpdate(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SendUpdate(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int DevUpdata(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetDevSnapshot(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetDevRecList(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int GetDevRecPage(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int EndRemoteRecord(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int DownloadRecFile(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int StopDownloadFile(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetVideoEncSetting(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int SetP2PServer(std::string uid, std::string text, DeviceResultCallback callback);

// ---- Live media and display
LUMORA_API int BeginVideo(int window, std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int RePlayVideo(std::string uid);
LUMORA_API int EndVideo(std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int BeginAudio(std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int EndAudio(std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int BeginFace(std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int EndFace(std::string uid, int stream, int reserved, DeviceResultCallback callback);
LUMORA_API int BeginTalk(std::string uid, DeviceResultCallback callback);
LUMORA_API int EndTalk(std::string uid, DeviceResultCallback callback);
LUMORA_API void SnapStreamPic(std::string uid, std::string folder, DeviceResultCallback callback);
// slot 0..7 (-11 outside).
LUMORA_API int StartRecordFile(std::string uid, int slot, std::string path);
LUMORA_API int StopRecordFile(std::string uid, int slot);
LUMORA_API void SetbeUseHardware(std::string uid, bool hardware);
LUMORA_API void ScaleImage(float scale, int x, int y, std::string uid, int stream, int reserved);
LUMORA_API void ResetImage(std::string uid, int index);
LUMORA_API void RoateImage(std::string uid, int rotation);
LUMORA_API void DrawPicture(const char* bitmapFile, RECT rect, int overlay, std::string uid);

// ---- Device recordings
LUMORA_API int PlayRemoteRec(int window, std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API void PauseRemoteRec(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API void SeekRemoteRec(std::string uid, std::string text, DeviceResultCallback callback);
LUMORA_API int DeleteRecFile(std::string uid, std::string file, DeviceResultCallback callback);
LUMORA_API int64_t GetPlayPts(std::string uid);
LUMORA_API int64_t GetDloadSize(std::string uid);

// ---- Local AVI files (one local player per library)
LUMORA_API int PlayLocalAVIFile(std::string path, HWND window);
LUMORA_API void EndLocalAVIFile();
LUMORA_API int GetAVIFileFrames();
LUMORA_API void SetAVIFileFrame(int frame);
LUMORA_API int GetLocalPlayPos();
LUMORA_API void LocalPlayOrStop(int paused);

// ---- Folders (backslashes become forward slashes; created when a file is written)
LUMORA_API void SetDownloadPath(std::string path);
LUMORA_API void SetSnapPath(std::string path);
LUMORA_API void SetFacePath(std::string path);
LUMORA_API void SetRecPath(std::string path);
LUMORA_API void SetComparePath(std::string path);
LUMORA_API void SetAlarmPath(std::string path);

// ---- LAN search: every answer reaches the callback as (0, length, "", "", datagram, 0); the
// search ends after `seconds` without an answer (0: until CancelSearch) with (0, -1, "", "", null, 0).
LUMORA_API int SearchDev(int seconds, DeviceResultCallback callback);
LUMORA_API void CancelSearch();

// ---- Entry points that do nothing and answer -1
LUMORA_API int OpenUSBVideo();
LUMORA_API int CloseUSBVideo();
LUMORA_API int CompareFace(std::string first, std::string second);
LUMORA_API int CompareToFile(std::string path);
LUMORA_API int StartCompareFace(std::string path);

} // extern "C"
