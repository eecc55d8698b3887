// The one object that holds all state of libLumora: devices and their stream slots, the requests
// waiting for replies, the reconnect list, the worker pools, the folders and the message callback.
//
// Locks (never held while an application callback runs, except the AV-data lock around the
// raw-frame callback): device-map lock (devices and slots), pending-reply lock, reconnect-list
// lock, AV-data lock, folder lock. Allowed nestings: AV-data then device-map; pending-reply then
// reconnect-list.
//
// The media-facing methods are defined in LumoraInstanceVideo.cpp, LumoraInstanceAudio.cpp and
// LumoraInstanceRecord.cpp; this header and the core sources only forward-declare media types.
#pragma once

#include "DevSearch.h"
#include "DeviceEntry.h"
#include "LumoraTypes.h"
#include "PendingReply.h"
#include "ThreadPool.h"
#include "VideoDecoderImple.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NetProImple;
class VideoDecoderImple;
class AviRecorder;
class DevAudioIO;
class FrameBufferPool;
class PlayLocalRecImple;

// A device waiting to be logged in again after a loss.
struct ReconnectEntry {
    std::string uid;
    int delay = -1;    // seconds after `tick` before the reconnect fires; -1 idle or fired
    uint32_t tick = 0; // tick of the loss (milliseconds, wrapping)
};

// Reply codes and their time-outs.
namespace ReplyCode {
inline constexpr uint16_t kLogin = 4003;
inline constexpr uint16_t kSearchWireless = 1053;
inline constexpr uint16_t kUpgrade = 1081;
inline constexpr uint16_t kUserData = 1510;
inline constexpr uint16_t kAlarm = 1502;
} // namespace ReplyCode

class LumoraInstance {
public:
    // Timers a test may shorten or drive; the defaults are the product's.
    struct Options {
        std::function<uint32_t()> clock;  // milliseconds, wrapping at 2^32; default the monotonic tick
        int pollIntervalMs = 100;         // reply poll
        int snapIntervalMs = 500;         // picture poll
        int reconnectScanMs = 500;        // reconnect scan
        int firstLoginPauseMs = 500;      // pause between starting the reply and picture polls
        // LAN search target; an empty address: the process's (deployment::setSearchTarget), else
        // the built-in one.
        deployment::SearchTarget searchTarget;
        uint32_t searchSecondMs = DevSearch::kDefaultSecondMs; // one second of the LAN search
        // Stream time a local recording waits for its first key frame before it gives up.
        int recordStartBoundMs = 10000;
        // A download that receives nothing for this long ends as failed.
        uint32_t downloadStallMs = 30000;
    };

    static constexpr uint32_t kDefaultTimeoutMs = 6000;
    static constexpr uint32_t kSearchWirelessTimeoutMs = 24000;
    static constexpr uint32_t kLoginTimeoutMs = 90000;
    // How long after a request's time-out its late reply is still expected (and dropped).
    static constexpr uint32_t kLateReplyWindowMs = 6000;
    // Replies read from one device in one pass of the reply poll at most: what has arrived is
    // drained, but a device that never stops sending cannot hold the poll from the others.
    static constexpr int kRepliesPerPass = 512;
    // A picture larger than this is no picture (a 4K JPEG at top quality stays well below).
    static constexpr unsigned kMaxPictureBytes = 4u * 1024u * 1024u;
    // Pictures a device sends unasked (alarm pictures, face pictures without a face stream): a
    // burst of this many, then one per period.
    static constexpr uint32_t kUnrequestedPictureBurst = 8;
    static constexpr uint32_t kUnrequestedPictureEveryMs = 5000;
    static constexpr int kPollLossDelay = 10;   // seconds before a reconnect after a reply-poll loss
    static constexpr int kStreamLossDelay = 15; // after a stream-side loss

    // The process's instance, created on the first call (exactly once under racing calls) and
    // never destroyed.
    static LumoraInstance& GetInstance();
    // At process exit: ends the looped tasks and the stream reads and waits (at most
    // kExitWaitMs) for the running tasks, so that no task of the library runs while the
    // process's static objects are destroyed.
    void StopForExit();
    static constexpr int kExitWaitMs = 3000;

    LumoraInstance();
    explicit LumoraInstance(Options options);
    // Stops the tasks, waits for them and frees devices, media objects and requests.
    ~LumoraInstance();
    LumoraInstance(const LumoraInstance&) = delete;
    LumoraInstance& operator=(const LumoraInstance&) = delete;

    // ---- Library (LumoraInstance.cpp)
    void InitLib(const char* serverString, int region);
    void DeInitLib();
    int SetMSGCallBack(DeviceMessageCallback callback);
    int LoginDev(std::string uid, std::string password, DeviceResultCallback cb);
    int LogoutDev(std::string uid);
    int LoginState(std::string uid);
    int GetPlayStateMask(std::string uid);
    int SetUserData(std::string uid, intptr_t data, int length, DeviceResultCallback cb);
    int SearchDev(int seconds, DeviceResultCallback cb);
    void CancelSearch();

    // ---- Reply dispatch and time-outs (LumoraInstance.cpp)
    void IODataProcess(int code, int result, std::vector<char>& body, unsigned length, std::string uid, int link, int slot);
    void AVDataProcess(int type, int result, std::vector<char>& frame, unsigned length, std::string uid, int kind,
                       uint64_t pts, int slot);
    // `link`: the link the reply was read on (NetRWrite::linkId), 0 when not known.
    void DispatchReply(int code, int result, std::vector<char>& body, unsigned length, const std::string& uid, int value,
                       int link = 0);
    void CheckCmdTimeout();
    bool PollIOTask();
    bool PollSnapTask(int kind);

    // ---- Reconnection (LumoraInstance.cpp)
    void OnDevLost(std::string uid, int slot);
    bool ReconnectTask();
    void ScanReconnectList();
    void ReconnectDev(std::string uid, int slot);
    void OnReconnect(int result, std::string text, std::string uid, int slot);

    // ---- Device requests (LumoraInstanceRequests.cpp)
    int StartDevDebug(std::string uid, DeviceResultCallback cb);
    int GetNetworkEth(std::string uid, DeviceResultCallback cb);
    int SetNetworkEth(std::string uid, std::string text, DeviceResultCallback cb);
    int GetWirelessEth(std::string uid, DeviceResultCallback cb);
    int SetWirelessEth(std::string uid, std::string text, DeviceResultCallback cb);
    int SearchWireless(std::string uid, DeviceResultCallback cb);
    int GetMobileNet(std::string uid, DeviceResultCallback cb);
    int SetMobileNet(std::string uid, std::string text, DeviceResultCallback cb);
    int GetTimezone(std::string uid, DeviceResultCallback cb);
    int SetTimezone(std::string uid, std::string text, DeviceResultCallback cb);
    int GetRecSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int SetRecSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int SetSDFormat(std::string uid, DeviceResultCallback cb);
    int TestSDSata(std::string uid, DeviceResultCallback cb);
    int GetAlarmSetting(std::string uid, DeviceResultCallback cb);
    int SetAlarmSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int GetFTPSetting(std::string uid, DeviceResultCallback cb);
    int SetFTPSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int GetOSDSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int SetOSDSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int GetColorSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int SetColorSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int GetPicColor(std::string uid, DeviceResultCallback cb);
    int SetPicColor(std::string uid, std::string text, DeviceResultCallback cb);
    int GetInOutDoor(std::string uid, DeviceResultCallback cb);
    int SetInOutDoor(std::string uid, std::string text, DeviceResultCallback cb);
    int GetExposureType(std::string uid, DeviceResultCallback cb);
    int SetExposureType(std::string uid, std::string text, DeviceResultCallback cb);
    int GetAutoExposure(std::string uid, DeviceResultCallback cb);
    int GetDecNoise(std::string uid, DeviceResultCallback cb);
    int SetDecNoise(std::string uid, std::string text, DeviceResultCallback cb);
    int GetWDR(std::string uid, DeviceResultCallback cb);
    int SetWDR(std::string uid, std::string text, DeviceResultCallback cb);
    int GetWhiteBalance(std::string uid, DeviceResultCallback cb);
    int SetWhiteBalance(std::string uid, std::string text, DeviceResultCallback cb);
    int SetMirrorFlip(std::string uid, std::string text, DeviceResultCallback cb);
    int SetAntiFilicker(std::string uid, std::string text, DeviceResultCallback cb);
    int SetIRCut(std::string uid, std::string text, DeviceResultCallback cb);
    int GetVideoEncSetting(std::string uid, DeviceResultCallback cb);
    int SetVideoEncSetting(std::string uid, std::string text, DeviceResultCallback cb);
    int GetPTZ(std::string uid, DeviceResultCallback cb);
    int GoPTZ(std::string uid, std::string text, DeviceResultCallback cb);
    int GetPresetPTZ(std::string uid, DeviceResultCallback cb);
    int SetPresetPTZ(std::string uid, std::string text, DeviceResultCallback cb);
    int GoPresetPTZ(std::string uid, std::string text, DeviceResultCallback cb);
    int GetP2PServer(std::string uid, DeviceResultCallback cb);
    int SetP2PServer(std::string uid, std::string text, DeviceResultCallback cb);
    int GetParam(std::string uid, DeviceResultCallback cb);
    int ResetPassword(std::string uid, std::string text, DeviceResultCallback cb);
    int Reboot(std::string uid, DeviceResultCallback cb);
    int SetDefault(std::string uid, DeviceResultCallback cb);
    int GetUpdateInfo(std::string uid, DeviceResultCallback cb);
    int SetAutoUpdate(std::string uid, std::string text, DeviceResultCallback cb);
    int SendUpdate(std::string uid, std::string text, DeviceResultCallback cb);
    int DevUpdata(std::string uid, std::string text, DeviceResultCallback cb);

    // ---- Live video, snapshots and pictures (LumoraInstanceVideo.cpp)
    int BeginVideo(int window, std::string uid, int stream, int reserved, DeviceResultCallback cb);
    int RePlayVideo(std::string uid);
    int EndVideo(std::string uid, int stream, int reserved, DeviceResultCallback cb);
    void SetVideoDataCallBack(std::string uid, AVDataCallback cb);
    void SetbeUseHardware(std::string uid, bool hardware);
    void ScaleImage(float scale, int x, int y, std::string uid, int stream, int reserved);
    void ResetImage(std::string uid, int index);
    void RoateImage(std::string uid, int rotation);
    void DrawPicture(const char* bitmapFile, RECT rect, int overlay, std::string uid);
    int GetDevSnapshot(std::string uid, std::string text, DeviceResultCallback cb);
    void SnapStreamPic(std::string uid, std::string folder, DeviceResultCallback cb);
    // The picture writer installed on every session (picture types 31 snapshot, 32 face, 34 alarm).
    void SavePictureFile(int type, int result, std::vector<char>& frame, unsigned length, std::string uid, int kind,
                         uint64_t pts, int slot);
    // Picture frames that reach AVDataProcess (kind 5).
    void SaveSnapJpeg(int slot, int type, std::string uid, std::vector<char>& frame, unsigned length);
    // One read step of a running stream; posted by AVDataProcess for every frame.
    void ContinueStream(std::string uid, int kind, int slot);
    // One read step of the audio that a device sends apart from its video, for a slot whose
    // frames go to the application's raw-frame callback; posts the next while listening lasts.
    void ContinueRawAudio(std::string uid, int stream, int slot);
    // Stops and removes a slot's decoders once LogoutDev has closed the device's link.
    void RemoveSlotDecoders(std::string uid, int slot);
    // Frees the slot's channel object (called with the device-map lock held, or at teardown).
    void ReleaseSlotChannel(StreamSlot& slot);
    // Reply handlers of the video start and stop: each answers its own request's callback once.
    void OnVideoStarted(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    void OnVideoRestarted(std::string uid, int slot);
    void OnVideoStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    // Ends the slot's local recording (channel let go, file finished, bit 0x80 cleared). Returns
    // the file's close result, or the failure of a recording that had ended by itself (0 if none).
    int finishLocalRecording(const std::string& uid, int slot);
    // A recording that ended by itself: bit 0x80 cleared and message 5 raised with its failure.
    void OnRecordingFailed(const std::string& uid, int slot, AviRecorder* recorder);
    // Ends the pull loops of every channel (shut-down).
    void stopChannels();
    // What a stream channel of this instance calls back into.
    VideoDecoderImple::Host channelHost();

    // ---- Listening, talk, face pictures, local recording, local playback, folders
    // (LumoraInstanceAudio.cpp)
    int BeginAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb);
    int EndAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb);
    int BeginTalk(std::string uid, DeviceResultCallback cb);
    int EndTalk(std::string uid, DeviceResultCallback cb);
    int BeginFace(std::string uid, int stream, int reserved, DeviceResultCallback cb);
    int EndFace(std::string uid, int stream, int reserved, DeviceResultCallback cb);
    int StartRecordFile(std::string uid, int slot, std::string path);
    int StopRecordFile(std::string uid, int slot);
    int PlayLocalAVIFile(std::string path, HWND window);
    void EndLocalAVIFile();
    int GetAVIFileFrames();
    void SetAVIFileFrame(int frame);
    int GetLocalPlayPos();
    void LocalPlayOrStop(int paused);
    void SetDownloadPath(std::string path);
    void SetSnapPath(std::string path);
    void SetFacePath(std::string path);
    void SetRecPath(std::string path);
    void SetComparePath(std::string path);
    void SetAlarmPath(std::string path);
    // A 320-byte A-law frame of a live stream for the listening player.
    void PlayAudioFrame(const char* data, unsigned length, uint64_t pts);
    // Frees the slot's recorder (device-map lock held, or at teardown).
    void ReleaseSlotRecorder(StreamSlot& slot);
    // Frees the audio pair, its frame pool and the local player (teardown).
    void ReleaseAudio();
    // Reply handlers of the listening, talk and face-picture requests. Each answers its own
    // request's callback `cb` exactly once, whatever the reply.
    void OnAudioStarted(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    void OnAudioStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    void OnTalkStarted(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    void OnFaceStarted(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);
    void OnFaceStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
           DeviceResultCallback cb);

    // ---- Device recordings and downloads (LumoraInstanceRecord.cpp)
    int GetDevRecPath(std::string uid, DeviceResultCallback cb);
    int GetDevAlarmRecPath(std::string uid, DeviceResultCallback cb);
    int GetDevRecList(std::string uid, std::string text, DeviceResultCallback cb);
    int GetDevRecPage(std::string uid, std::string text, DeviceResultCallback cb);
    int PlayRemoteRec(int window, std::string uid, std::string text, DeviceResultCallback cb);
    void PauseRemoteRec(std::string uid, std::string text, DeviceResultCallback cb);
    int EndRemoteRecord(std::string uid, std::string text, DeviceResultCallback cb);
    int DownloadRecFile(std::string uid, std::string text, DeviceResultCallback cb);
    int StopDownloadFile(std::string uid, std::string text, DeviceResultCallback cb);
    int DeleteRecFile(std::string uid, std::string file, DeviceResultCallback cb);
    int64_t GetDloadSize(std::string uid);
    int64_t GetPlayPts(std::string uid);
    // A remote playback or download ended: message 5 with the path and the result
    // (0 complete, -1 read error, -2 stopped).
    void ReportRecordEnd(std::string uid, std::string path, int result);
    // Downloads that have written nothing for the stall time end as failed (reply-poll pass).
    void CheckDownloadStalls();
    // The size a page listing gave for the device path (0 when none did).
    uint64_t listedSize(const std::string& uid, const std::string& devicePath);
    // Remembers the sizes a page listing of `folder` gave.
    void rememberListing(const std::string& uid, const std::string& folder, const std::string& replyText);
    // Record playback plays the record stream's audio as listening does; the end stops it unless
    // the slot listens to live audio.
    void StartRecordAudio(int window);
    void StopRecordAudio(const std::string& uid);

    // ---- Shared helpers for the request families and the media files
    // The device's session when its link is up, else null (the answer -11).
    NetProImple* liveSession(const std::string& uid);
    // Records a reply handler under `code`; false when the device has no pending-reply table.
    // `serial`, when given, receives the entry's serial for withdrawReply.
    bool registerReply(const std::string& uid, uint16_t code, DeviceResultCallback cb, uint64_t* serial = nullptr);
    // Removes the entry a request registered before its send was refused: it waits for nothing.
    void withdrawReply(const std::string& uid, uint16_t code, uint64_t serial);
    // The request pattern: -11 without a live link; else register `code` and return send(session).
    // A send refused as too large withdraws the registration: its callback is never called.
    int request(const std::string& uid, uint16_t code, DeviceResultCallback cb,
                const std::function<int(NetProImple&)>& send);
    // Raises a message through the message callback (when set and the library is not shut down).
    // The application gets NUL-terminated copies of text and extra, valid during the call.
    void raiseMessage(int message, const std::string& uid, const std::string* text, int value, int reserved,
                      const std::string* extra = nullptr);
    // Calls an application callback unless DeInitLibLumora has run; DeInitLibLumora waits for the
    // calls in progress.
    void callResult(const DeviceResultCallback& cb, int code, int result, std::string text, const std::string& uid,
                    char* data, int value);
    // Runs fn on the device entry under the device-map lock; false for an unknown uid.
    bool withDevice(const std::string& uid, const std::function<void(DeviceEntry&)>& fn);
    // Runs fn on slot `slot` of the device under the device-map lock; false for an unknown uid or
    // a slot outside 0..7.
    bool withSlot(const std::string& uid, int slot, const std::function<void(StreamSlot&)>& fn);
    uint32_t now() const { return m_clock(); }
    ThreadPool& streamPool() { return m_streamPool; }
    ThreadPool& replyPool() { return m_replyPool; }
    // Folder copies, read under the folder lock.
    std::string downloadFolder() const;
    std::string snapFolder() const;
    std::string faceFolder() const;
    std::string recordFolder() const;
    std::string compareFolder() const;
    std::string alarmFolder() const;
    // The folder the default folders lie in: $XDG_DATA_HOME/Lumora when that is an absolute
    // path, else $HOME/.local/share/Lumora, else "Lumora" under the current folder. Read from the
    // environment when the instance is made.
    static std::string defaultDataFolder();
    // For tests: the reconnect entry of a device ({uid, -1, 0} when none), the device state
    // (-1 unknown) and the number of login steps started.
    ReconnectEntry reconnectEntry(const std::string& uid);
    int deviceState(const std::string& uid);
    int loginAttempts(const std::string& uid);
    int pendingCount(const std::string& uid, uint16_t code);
    // For tests: replies of the device dropped because nobody waited for them, and because their
    // request had timed out.
    uint64_t unsolicitedReplies(const std::string& uid);
    uint64_t lateReplies(const std::string& uid);
    // For tests: reply-poll passes and reconnect scans completed, and how often the looped tasks
    // were started.
    uint64_t pollPasses() const { return m_pollPasses.load(); }
    uint64_t scanPasses() const { return m_scanPasses.load(); }
    int loopedTaskStarts() const { return m_loopedTaskStarts.load(); }

private:
    static uint32_t timeoutFor(uint16_t code);
    void startLoopedTasks();
    // Ends the looped tasks at once (their waits too) and a first login's pause in progress.
    void stopLoopedTasks();
    // True when the device may have one more unrequested picture written now.
    bool takePictureBudget(const std::string& uid);
    // One read of the device's command channel on the reply poll; a throw is caught (logged
    // once) and answers -1.
    int readReplies(const std::string& uid, NetProImple& session);
    // Registers StopForExit with atexit once more (only for the process's instance), after the
    // transports' own objects exist, so that it runs before they are destroyed.
    void registerExitStop();
    int runLoginStep(DeviceEntry& entry, NetProImple& session, const std::string& uid, const std::string& password,
                     int slot);
    void OnLoginReply(int code, int result, std::string text, std::string uid, char* data, int slot);
    // Raises message 1 for the device unless this loss was already reported.
    void raiseLoss(const std::string& uid, int slot);
    // Arms the device's reconnect entry; true when a new entry was appended.
    bool armReconnect(const std::string& uid, int delay);
    bool enterCallback();
    void leaveCallback();
    DeviceMessageCallback messageCallback();

    Options m_options;
    std::function<uint32_t()> m_clock;

    // Device map; entries are never removed while the instance lives.
    std::map<std::string, std::unique_ptr<DeviceEntry>> m_devices;
    mutable std::mutex m_deviceMutex;
    // Per device: file sizes by device path, as the page listings gave them.
    std::map<std::string, std::map<std::string, uint64_t>> m_listedSizes; // under m_listedMutex
    std::mutex m_listedMutex;
    std::mutex m_avDataMutex;

    ThreadPool m_replyPool{"lum-reply"};
    ThreadPool m_streamPool{"lum-stream"};
    ThreadPool m_reconnectPool{"lum-reconn"};
    ThreadPool m_picturePool{"lum-pic"};
    std::mutex m_taskStartMutex;
    // Under m_taskStartMutex: the running looped tasks, whether the first login's pause is in
    // progress, and the number of stops so far (a stop ends that pause).
    std::condition_variable m_taskStartWake;
    std::shared_ptr<LoopedTask> m_pollLoop;
    std::shared_ptr<LoopedTask> m_pictureLoop;
    std::shared_ptr<LoopedTask> m_reconnectLoop;
    bool m_pollStarting = false;
    uint64_t m_taskStops = 0;
    std::atomic<bool> m_pollFlag{false};
    std::atomic<bool> m_furtherFlag{false};
    std::atomic<bool> m_reconnectFlag{false};
    std::atomic<uint64_t> m_pollPasses{0};
    std::atomic<uint64_t> m_scanPasses{0};
    std::atomic<int> m_loopedTaskStarts{0};
    std::atomic<bool> m_pollThrowLogged{false};

    struct PictureBudget {
        bool started = false;
        uint32_t tokens = 0;
        uint32_t tick = 0;
        uint64_t dropped = 0;
    };
    std::map<std::string, PictureBudget> m_pictureBudgets;
    std::mutex m_pictureMutex;

    std::map<std::string, PendingReply> m_pending;
    std::mutex m_pendingMutex;
    uint64_t m_pendingSerial = 0; // guarded by m_pendingMutex

    // Media objects, made and freed by the media files.
public:
    std::shared_ptr<DevAudioIO> m_audio;
    std::shared_ptr<FrameBufferPool> m_audioPool;
    std::shared_ptr<PlayLocalRecImple> m_localPlayer;
    std::mutex m_mediaMutex;       // guards the three pointers above
    std::mutex m_localPlayerCalls; // one local-player operation at a time

private:
    mutable std::mutex m_folderMutex;
    // Until an application sets them: "Lumora/Download" and so on under the user's data folder
    // (XDG_DATA_HOME, else ~/.local/share; see defaultDataFolder).
    std::string m_downloadFolder;
    std::string m_snapFolder;
    std::string m_faceFolder;
    std::string m_recordFolder;
    std::string m_compareFolder;
    std::string m_alarmFolder;
    void setFolder(std::string& folder, std::string path);

    std::unique_ptr<DevSearch> m_search;

    std::mutex m_messageMutex;
    DeviceMessageCallback m_messageCallback;

    std::list<ReconnectEntry> m_reconnect;
    std::mutex m_reconnectMutex;

    // Callback gate: closed by DeInitLib, reopened by InitLib and LoginDev.
    std::mutex m_gateMutex;
    std::condition_variable m_gateIdle;
    bool m_gateOpen = true;
    int m_callbacksRunning = 0;
    bool m_processInstance = false;
    std::atomic<int> m_exitStops{0};
};
