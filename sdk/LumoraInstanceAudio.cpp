// Listening, talk, face pictures, local recording, local AVI playback and the folders of
// LumoraInstance, and the release of the audio objects.
//
// One listening queue and one audio pair (player, capture) serve all devices; they are made by
// the first start reply and kept until the instance goes. The local player is made by the first
// PlayLocalAVIFile and reused.
#include "LumoraInstance.h"

#include "AviRecorder.h"
#include "DevAudioIO.h"
#include "FrameBufferPool.h"
#include "MakeDirs.h"
#include "NetLog.h"
#include "NetProImple.h"
#include "NetRWrite.h"
#include "PlayLocalRecImple.h"
#include "VideoDecoderImple.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

constexpr uint16_t kStreamReply = 3006;
constexpr uint16_t kTalkReply = 1007;
constexpr uint16_t kFaceReply = 1475;
// The frame rate a local recording declares until it has measured the stream's own.
constexpr int kRecordFps = 15;
// The devices whose audio comes apart from the video have 20-character UIDs; a read with this
// argument starts that audio.
constexpr std::size_t kSeparateAudioUidLength = 20;
constexpr int kSeparateAudioRead = 20;

std::string localTimeName(const char* format)
{
    const std::time_t t = std::time(nullptr);
    std::tm parts{};
    localtime_r(&t, &parts);
    char name[260];
    std::snprintf(name, sizeof name, format, parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return name;
}

bool validSlot(int slot) { return slot >= 0 && slot < kStreamSlots; }

} // namespace

// ---- Listening ----------------------------------------------------------------------------------

int LumoraInstance::BeginAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) { s.streamCallback = cb; });
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kStreamReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                  char* data, int slot) {
            OnAudioStarted(code, result, std::move(text), std::move(replyUid), data, slot, cb);
        }))
        return -11;
    return session->SendStartAudio(stream);
}

void LumoraInstance::OnAudioStarted(int code, int result, std::string text, std::string uid, char*, int slot,
                                    DeviceResultCallback cb)
{
    if (!validSlot(slot))
        slot = 0;
    int window = 0;
    int streamIndex = 0;
    std::shared_ptr<VideoDecoderImple> channel;
    if (!withSlot(uid, slot, [&](StreamSlot& s) {
            window = s.window;
            streamIndex = s.streamIndex;
            channel = s.decoder;
        }))
        return;
    if (result < 0 || text.empty()) {
        callResult(cb, code, result, text, uid, nullptr, slot);
        return;
    }
    withSlot(uid, slot, [](StreamSlot& s) { s.playState.fetch_or(PlayStateMask::kAudio); });
    std::shared_ptr<DevAudioIO> audio;
    std::shared_ptr<FrameBufferPool> pool;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        if (!m_audioPool)
            m_audioPool = std::make_shared<FrameBufferPool>();
        else
            m_audioPool->Flush();
        if (!m_audio)
            m_audio = std::make_shared<DevAudioIO>();
        audio = m_audio;
        pool = m_audioPool;
    }
    audio->StartListen(window, pool.get());
    callResult(cb, code, result, text, uid, nullptr, slot);
    if (uid.size() != kSeparateAudioUidLength)
        return;
    if (channel) {
        channel->ReadStream(uid, streamIndex, kSeparateAudioRead, slot, nullptr);
    } else {
        // Frames go to the application's raw-frame callback: the audio gets a read chain of its
        // own beside the video's.
        m_streamPool.Schedule([this, uid, streamIndex, slot] { ContinueRawAudio(uid, streamIndex, slot); });
    }
}

void LumoraInstance::ContinueRawAudio(std::string uid, int stream, int slot)
{
    NetProImple* session = nullptr;
    constexpr int kWanted = PlayStateMask::kVideo | PlayStateMask::kAudio;
    bool wanted = false;
    if (!withDevice(uid, [&](DeviceEntry& e) {
            session = e.session.get();
            wanted = (e.slots[static_cast<size_t>(slot)].playState.load() & kWanted) == kWanted;
        }) ||
        session == nullptr || !wanted)
        return;
    session->ReadMediaData(
        stream, kSeparateAudioRead,
        [this, stream](int type, int status, std::vector<char>& frame, unsigned length, std::string frameUid, int kind,
                       uint64_t pts, int frameSlot) {
            if (length != 0 && length <= frame.size()) {
                std::lock_guard<std::mutex> avLock(m_avDataMutex);
                AVDataCallback raw;
                withSlot(frameUid, frameSlot, [&](StreamSlot& s) {
                    if (s.playState.load() & PlayStateMask::kVideo)
                        raw = s.rawFrameCallback;
                });
                if (raw && enterCallback()) {
                    try {
                        raw(type, status, frame, length, frameUid, kind, pts, frameSlot);
                    } catch (...) {
                        NETLOG("raw-frame callback for " << frameUid << " threw");
                    }
                    leaveCallback();
                }
            } else if (status < 0) {
                return; // the link failed: its loss is reported elsewhere, the chain ends
            }
            m_streamPool.ScheduleNext(
                [this, frameUid, stream, frameSlot] { ContinueRawAudio(frameUid, stream, frameSlot); });
        },
        slot);
}

int LumoraInstance::EndAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) {
        s.playState.fetch_and(~PlayStateMask::kAudio);
        s.streamCallback = cb;
    });
    NetProImple* session = liveSession(uid);
    if (session == nullptr) {
        // Without a link no reply will come: the player stops now.
        std::shared_ptr<DevAudioIO> audio;
        {
            std::lock_guard<std::mutex> lock(m_mediaMutex);
            audio = m_audio;
        }
        if (audio)
            audio->StopListen();
        return -11;
    }
    if (!registerReply(uid, kStreamReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                  char* data, int slot) {
            OnAudioStopped(code, result, std::move(text), std::move(replyUid), data, slot, cb);
        }))
        return -11;
    return session->SendStopAudio(stream, 0);
}

void LumoraInstance::OnAudioStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
                                    DeviceResultCallback cb)
{
    if (!validSlot(slot))
        slot = 0;
    std::shared_ptr<VideoDecoderImple> channel;
    withSlot(uid, slot, [&](StreamSlot& s) { channel = s.decoder; });
    if (channel)
        channel->StopAudioLane();
    std::shared_ptr<DevAudioIO> audio;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        audio = m_audio;
    }
    if (audio)
        audio->StopListen();
    callResult(cb, code, result, text, uid, data, slot);
}

void LumoraInstance::PlayAudioFrame(const char* data, unsigned length, uint64_t pts)
{
    std::shared_ptr<FrameBufferPool> pool;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        pool = m_audioPool;
    }
    if (pool)
        pool->Push(data, length, 0, pts);
}

// ---- Talk ---------------------------------------------------------------------------------------

int LumoraInstance::BeginTalk(std::string uid, DeviceResultCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) { s.streamCallback = cb; });
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kTalkReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                  char* data, int slot) {
            OnTalkStarted(code, result, std::move(text), std::move(replyUid), data, slot, cb);
        }))
        return -11;
    return session->SendStartTalk();
}

void LumoraInstance::OnTalkStarted(int code, int result, std::string text, std::string uid, char*, int slot,
                                   DeviceResultCallback cb)
{
    if (!validSlot(slot))
        slot = 0;
    int window = 0;
    if (!withSlot(uid, slot, [&](StreamSlot& s) { window = s.window; }))
        return;
    if (result < 0) {
        callResult(cb, code, result, text, uid, nullptr, slot);
        return;
    }
    withSlot(uid, slot, [](StreamSlot& s) { s.playState.fetch_or(PlayStateMask::kTalk); });
    std::shared_ptr<DevAudioIO> audio;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        if (!m_audio)
            m_audio = std::make_shared<DevAudioIO>();
        audio = m_audio;
    }
    // Each talk frame goes through the device's session as it is at that moment, so a session
    // replaced by a reconnect is never used after it is gone.
    audio->StartTalk(window, [this, uid](std::vector<char> frame) {
        if (NetProImple* session = liveSession(uid))
            if (NetProParse* parser = session->parser())
                parser->SendAudioFrame(std::move(frame));
    });
    callResult(cb, code, result, text, uid, nullptr, slot);
}

int LumoraInstance::EndTalk(std::string uid, DeviceResultCallback cb)
{
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kTalk); });
    // The application's callback receives the stop reply unchanged.
    const int rc = request(uid, kTalkReply, std::move(cb), [](NetProImple& s) { return s.SendStopTalk(); });
    // The microphone stops whether or not the device could be told.
    std::shared_ptr<DevAudioIO> audio;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        audio = m_audio;
    }
    if (audio)
        audio->StopTalk();
    return rc;
}

// ---- Face pictures ------------------------------------------------------------------------------

int LumoraInstance::BeginFace(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    withSlot(uid, 0, [&](StreamSlot& s) {
        s.streamCallback = cb;
        s.streamIndex = stream;
    });
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kFaceReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                  char* data, int slot) {
            OnFaceStarted(code, result, std::move(text), std::move(replyUid), data, slot, cb);
        }))
        return -11;
    return session->SendBeginFace();
}

void LumoraInstance::OnFaceStarted(int code, int result, std::string text, std::string uid, char* data, int slot,
                                   DeviceResultCallback cb)
{
    if (!validSlot(slot))
        slot = 0;
    // A refused (or empty) answer ends the request: its caller hears of it, the stream stays off.
    if (text.empty() || result < 0) {
        callResult(cb, code, result < 0 ? result : -1, text, uid, data, slot);
        return;
    }
    NetProImple* session = nullptr;
    if (!withDevice(uid, [&](DeviceEntry& e) {
            StreamSlot& s = e.slots[static_cast<size_t>(slot)];
            s.playState.fetch_or(PlayStateMask::kFace);
            session = e.session.get();
        }))
        return;
    callResult(cb, code, result, text, uid, data, slot);
    if (session == nullptr)
        return;
    session->SetSnapDataCallback([this](int type, int status, std::vector<char>& frame, unsigned length,
                                        std::string frameUid, int kind, uint64_t pts, int frameSlot) {
        AVDataProcess(type, status, frame, length, std::move(frameUid), kind, pts, frameSlot);
    });
    m_streamPool.Schedule([this, uid, slot] { ContinueStream(uid, 5, slot); });
}

int LumoraInstance::EndFace(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    // The slot's closing flag belongs to LogoutDev: ending the face pictures leaves it alone.
    withSlot(uid, 0, [&cb](StreamSlot& s) {
        s.streamCallback = cb;
        s.playState.fetch_and(~PlayStateMask::kFace);
    });
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kFaceReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                  char* data, int slot) {
            OnFaceStopped(code, result, std::move(text), std::move(replyUid), data, slot, cb);
        }))
        return -11;
    return session->SendEndFace(0);
}

void LumoraInstance::OnFaceStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
                                   DeviceResultCallback cb)
{
    if (!validSlot(slot))
        slot = 0;
    callResult(cb, code, result, text, uid, data, slot);
}

// ---- Local recording ----------------------------------------------------------------------------

int LumoraInstance::StartRecordFile(std::string uid, int slot, std::string path)
{
    if (!validSlot(slot) || liveSession(uid) == nullptr)
        return -11;
    bool playing = false;
    withSlot(uid, slot, [&](StreamSlot& s) { playing = (s.playState.load() & PlayStateMask::kVideo) != 0; });
    if (!playing)
        return -11;
    if (path.empty()) {
        // The UID becomes a folder name: it must stay one name inside the record folder.
        if (!IsDeviceUid(uid))
            return kLumoraBadUid;
        const std::string folder = recordFolder() + "//" + uid + "//";
        if (!MakeDirs(folder)) {
            NETLOG("could not make the record folder " << folder);
            return -1;
        }
        path = folder + localTimeName("%04d%02d%02d-%02d%02d%02d.avi");
    }
    int result = -11;
    withSlot(uid, slot, [&](StreamSlot& s) {
        // Checked again under the lock: the video may have stopped meanwhile.
        if (!(s.playState.load() & PlayStateMask::kVideo))
            return;
        if (!s.recorder)
            s.recorder = std::make_shared<AviRecorder>();
        // Open closes a recording the recorder still had; the channel writes nothing while the
        // recorder's lock is held by Open.
        // The codec and the frame rate are taken from the stream itself once it arrives.
        s.recorder->SetStartBound(std::chrono::milliseconds(m_options.recordStartBoundMs));
        result = s.recorder->Open(path, s.width, s.height, kRecordFps);
        if (result == 0) {
            s.playState.fetch_or(PlayStateMask::kLocalRecord);
            if (s.decoder)
                s.decoder->SetRecorder(s.recorder.get());
        } else {
            NETLOG("could not open the recording " << path);
            s.playState.fetch_and(~PlayStateMask::kLocalRecord);
            if (s.decoder)
                s.decoder->SetRecorder(nullptr);
        }
    });
    return result;
}

int LumoraInstance::StopRecordFile(std::string uid, int slot)
{
    if (!validSlot(slot) || !withDevice(uid, [](DeviceEntry&) {}))
        return -11;
    // Ends the recording whether or not the video still plays (the channel lets go first).
    const int result = finishLocalRecording(uid, slot);
    withSlot(uid, slot, [this](StreamSlot& s) { ReleaseSlotRecorder(s); });
    return result;
}

void LumoraInstance::ReleaseSlotRecorder(StreamSlot& slot)
{
    if (slot.decoder)
        slot.decoder->SetRecorder(nullptr);
    if (slot.recorder)
        slot.recorder->Close();
    slot.recorder.reset();
    slot.playState.fetch_and(~PlayStateMask::kLocalRecord);
}

// ---- Local AVI playback -------------------------------------------------------------------------

int LumoraInstance::PlayLocalAVIFile(std::string path, HWND window)
{
    std::lock_guard<std::mutex> calls(m_localPlayerCalls);
    std::shared_ptr<PlayLocalRecImple> player;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        if (!m_localPlayer)
            m_localPlayer = std::make_shared<PlayLocalRecImple>();
        player = m_localPlayer;
    }
    return player->OpenAVIFile(path, static_cast<int>(reinterpret_cast<intptr_t>(window)));
}

namespace {

template <class F> auto withPlayer(std::mutex& mediaMutex, const std::shared_ptr<PlayLocalRecImple>& slot, F&& fn)
{
    std::shared_ptr<PlayLocalRecImple> player;
    {
        std::lock_guard<std::mutex> lock(mediaMutex);
        player = slot;
    }
    return fn(player.get());
}

} // namespace

void LumoraInstance::EndLocalAVIFile()
{
    std::lock_guard<std::mutex> calls(m_localPlayerCalls);
    withPlayer(m_mediaMutex, m_localPlayer, [](PlayLocalRecImple* p) {
        if (p)
            p->CloseAVIFile();
        return 0;
    });
}

int LumoraInstance::GetAVIFileFrames()
{
    return withPlayer(m_mediaMutex, m_localPlayer, [](PlayLocalRecImple* p) { return p ? p->FrameCount() : 0; });
}

void LumoraInstance::SetAVIFileFrame(int frame)
{
    withPlayer(m_mediaMutex, m_localPlayer, [frame](PlayLocalRecImple* p) {
        if (p)
            p->SetPosition(frame);
        return 0;
    });
}

int LumoraInstance::GetLocalPlayPos()
{
    return withPlayer(m_mediaMutex, m_localPlayer, [](PlayLocalRecImple* p) { return p ? p->Position() : 0; });
}

void LumoraInstance::LocalPlayOrStop(int paused)
{
    withPlayer(m_mediaMutex, m_localPlayer, [paused](PlayLocalRecImple* p) {
        if (p)
            p->SetPaused(paused != 0);
        return 0;
    });
}

// ---- Folders ------------------------------------------------------------------------------------

void LumoraInstance::SetDownloadPath(std::string path)
{
    setFolder(m_downloadFolder, std::move(path));
}

void LumoraInstance::SetSnapPath(std::string path)
{
    setFolder(m_snapFolder, std::move(path));
}

void LumoraInstance::SetFacePath(std::string path)
{
    setFolder(m_faceFolder, std::move(path));
}

void LumoraInstance::SetRecPath(std::string path)
{
    setFolder(m_recordFolder, std::move(path));
}

void LumoraInstance::SetComparePath(std::string path)
{
    setFolder(m_compareFolder, std::move(path));
}

void LumoraInstance::SetAlarmPath(std::string path)
{
    setFolder(m_alarmFolder, std::move(path));
}

// ---- Teardown -----------------------------------------------------------------------------------

void LumoraInstance::ReleaseAudio()
{
    std::shared_ptr<DevAudioIO> audio;
    std::shared_ptr<FrameBufferPool> pool;
    std::shared_ptr<PlayLocalRecImple> player;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        audio = std::move(m_audio);
        pool = std::move(m_audioPool);
        player = std::move(m_localPlayer);
    }
    // The player stops its sound thread before the queue it reads goes.
    if (audio)
        audio->Release();
    player.reset();
    audio.reset();
    pool.reset();
}
